// See nginx_harness.h.
#include "tests/nginx_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tagsmith::nginx_testing {

namespace fs = std::filesystem;
using serve_testing::BodyOf;
using serve_testing::ReadFile;
using serve_testing::RunProgram;
using serve_testing::WriteFile;

namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";
const std::string kBin = TAGSMITH_BIN_DIR;

}  // namespace

namespace {

void WriteSite(const std::string& dir) {
  for (const char* sub : {"site", "blog", "logs", "tmp"})
    fs::create_directories(dir + "/" + sub);
  const std::string page = BodyOf(ReadFile(std::string(TAGSMITH_TESTDATA_DIR) +
                                           "/real/p08-codecs.get.http"));
  WriteFile(dir + "/site/page.html", page);
  WriteFile(dir + "/blog/page.html", page);
  std::string small = "<html><head><title>small</title></head><body>\n";
  while (small.size() < 1000) small += "<p>A short paragraph of text.</p>\n";
  WriteFile(dir + "/site/small.html", small + "</body></html>\n");
  std::string image = "\x89PNG\r\n\x1a\n";
  for (unsigned value = 1; image.size() < 4096;
       value = value * 1103515245 + 12345)
    image += static_cast<char>(value >> 16);
  WriteFile(dir + "/site/image.png", image);
  // Larger than the socket takes at once, so that nginx sends them in turns.
  std::string big_page = page;
  while (big_page.size() < 3000000) big_page += page;
  WriteFile(dir + "/site/big.html", big_page);
  std::string download;
  while (download.size() < 8000000) download += image;
  WriteFile(dir + "/site/big.bin", download);
  WriteFile(dir + "/site/tagsmith.config", "[ga1]\nAccount=UA-NX-1\n");
  WriteFile(dir + "/blog/tagsmith.config", "[ga1]\nAccount=UA-BLOG-1\n");
  // The worker runs as nginx's user when the master is root.
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    fs::permissions(entry.path(),
                    entry.is_directory() ? fs::perms(0777) : fs::perms(0644));
  fs::permissions(dir, fs::perms(0755));
}

std::string Configuration(const std::string& dir, int port, int tls_port,
                          const NginxOptions& options) {
  std::string conf = "load_module " + kBin + "/ngx_http_tagsmith_module.so;\n";
  conf += "daemon off;\nworker_processes 1;\npid " + dir + "/logs/nginx.pid;\n";
  conf += "error_log " + dir + "/logs/error.log warn;\n";
  conf += "events { worker_connections 512; }\nhttp {\n  access_log off;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    conf +=
        std::string("  ") + temp + "_temp_path " + dir + "/tmp/" + temp + ";\n";
  // sendfile on, as in Debian's own configuration.
  conf += "  include /etc/nginx/mime.types;\n  keepalive_requests 1000000;\n";
  conf += "  sendfile on;\n";
  conf += options.filter_line.empty()
              ? "  tagsmith_filter " + dir + "/libtagsmith.so;\n"
              : "  " + options.filter_line + "\n";
  conf += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n";
  if (options.tls)
    conf += "    listen 127.0.0.1:" + std::to_string(tls_port) +
            " ssl http2;\n    ssl_certificate " + dir +
            "/cert.pem;\n    ssl_certificate_key " + dir + "/key.pem;\n";
  conf += "    root " + dir + "/site;\n    tagsmith on;\n";
  conf +=
      "    location /untagged/ { tagsmith off; alias " + dir + "/site/; }\n";
  // Its application is the directory the alias maps to.
  conf += "    location /gz/ { gzip on; gzip_min_length 1; alias " + dir +
          "/site/; }\n";
  conf += "    location /blog/ { root " + dir + "; tagsmith_application " +
          dir + "/blog; }\n";
  if (options.backend_port)
    conf += "    location /proxy/ { proxy_pass http://127.0.0.1:" +
            std::to_string(options.backend_port) +
            "/; proxy_http_version 1.1; proxy_buffering off;"
            " tagsmith_application " +
            dir + "/site; }\n";
  conf += "  }\n" + options.http_extra + "\n}\n";
  return conf;
}

}  // namespace

bool HaveNginx() {
  return access(kNginx, X_OK) == 0 &&
         access((kBin + "/ngx_http_tagsmith_module.so").c_str(), R_OK) == 0;
}

NginxServer::NginxServer(const NginxOptions& options) {
  WriteSite(dir());
  port_ = FreePort();
  if (options.tls) {
    tls_port_ = FreePort();
    std::string cert, key;  // dir()/cert.pem and dir()/key.pem
    serve_testing::MakeCertificate(dir(), &cert, &key);
  }
  // The worker loads the filter as nginx's user, who may not reach the
  // build tree: it gets a copy of its own.
  fs::copy_file(kBin + "/libtagsmith.so", dir() + "/libtagsmith.so");
  fs::permissions(dir() + "/libtagsmith.so", fs::perms(0755));
  WriteFile(dir() + "/nginx.conf",
            Configuration(dir(), port_, tls_port_, options));
  pid_ = serve_testing::Spawn({kNginx, "-p", dir(), "-c", dir() + "/nginx.conf",
                               "-e", dir() + "/logs/error.log"},
                              dir() + "/logs/stdout", dir() + "/logs/stderr");
}

NginxServer::~NginxServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!serve_testing::WaitFor(pid_, std::chrono::seconds(15))) {
    kill(pid_, SIGKILL);
    int ignored;
    waitpid(pid_, &ignored, 0);
  }
}

bool NginxServer::Started() {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline && pid_ > 0) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (serve_testing::Accepts(port_) &&
        (!tls_port_ || serve_testing::Accepts(tls_port_)))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

serve_testing::ProgramResult NginxServer::Check() const {
  return RunProgram({kNginx, "-t", "-p", dir(), "-c", dir() + "/nginx.conf",
                     "-e", dir() + "/logs/check.log"},
                    std::chrono::seconds(30));
}

std::string NginxServer::Errors() const {
  return ReadFile(dir() + "/logs/error.log") + ReadFile(dir() + "/logs/stderr");
}

pid_t NginxServer::Worker() const {
  const std::string task = "/proc/" + std::to_string(pid_) + "/task/" +
                           std::to_string(pid_) + "/children";
  const pid_t worker = std::atoi(ReadFile(task).c_str());
  return worker > 0 ? worker : -1;
}

}  // namespace tagsmith::nginx_testing
