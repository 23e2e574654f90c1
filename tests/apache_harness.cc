// See apache_harness.h.
#include "tests/apache_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tagsmith::apache_testing {

namespace fs = std::filesystem;
using serve_testing::BodyOf;
using serve_testing::ReadFile;
using serve_testing::RunProgram;
using serve_testing::WriteFile;

namespace {

constexpr char kApache[] = "/usr/sbin/apache2";
constexpr char kModules[] = "/usr/lib/apache2/modules";
const std::string kBin = TAGSMITH_BIN_DIR;

std::string ModuleLine(const std::string& name) {
  return "LoadModule " + name + "_module " + kModules + "/mod_" + name +
         ".so\n";
}

void WriteSite(const std::string& dir) {
  for (const char* sub : {"site", "blog", "cgi", "logs", "files"})
    fs::create_directories(dir + "/" + sub);
  const std::string real = std::string(TAGSMITH_TESTDATA_DIR) + "/real/";
  const std::string page = BodyOf(ReadFile(real + "p08-codecs.get.http"));
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
  WriteFile(dir + "/site/tagsmith.config", "[ga1]\nAccount=UA-AP-1\n");
  WriteFile(dir + "/blog/tagsmith.config", "[ga1]\nAccount=UA-BLOG-1\n");
  // Two writes with a pause between, so that Apache cannot know the length
  // before it sends the headers: the page goes out chunked.
  const std::string half = std::to_string(page.size() / 2);
  WriteFile(dir + "/cgi/page.cgi",
            "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\n"
            "head -c " +
                half + " '" + dir +
                "/site/page.html'\nsleep 0.2\n"
                "tail -c +" +
                std::to_string(page.size() / 2 + 1) + " '" + dir +
                "/site/page.html'\n");
  // Streams: three events a second apart; and a page in two halves with a
  // flush and a pause between, of the type its query names.
  WriteFile(dir + "/cgi/events.cgi",
            "#!/bin/sh\nprintf 'Content-Type: text/event-stream\\r\\n\\r\\n'\n"
            "for i in 1 2 3; do printf 'data: event %s\\n\\n' $i; sleep 1; "
            "done\n");
  WriteFile(dir + "/cgi/halves.cgi",
            "#!/bin/sh\nprintf 'Content-Type: %s\\r\\n\\r\\n' "
            "\"$QUERY_STRING\"\nprintf '<html><body><p>first half</p>\\n'\n"
            "sleep 1.5\nprintf '<p>second half</p></body></html>\\n'\n");
  // Apache's children run as another user when it starts as root; the
  // files are a day old so that conditional requests are not weak.
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24);
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    fs::permissions(entry.path(),
                    entry.is_directory() || entry.path().extension() == ".cgi"
                        ? fs::perms(0755)
                        : fs::perms(0644));
    if (entry.is_regular_file()) fs::last_write_time(entry.path(), old);
  }
  fs::permissions(dir, fs::perms(0755));
}

std::string Configuration(const std::string& dir, int port, int tls_port,
                          const ApacheOptions& options) {
  std::string conf = "ServerRoot " + dir + "\nServerName 127.0.0.1\n";
  conf += "Listen 127.0.0.1:" + std::to_string(port) + "\n";
  conf += "PidFile " + dir + "/logs/httpd.pid\nDefaultRuntimeDir " + dir +
          "/logs\nErrorLog " + dir + "/logs/error.log\nLogLevel warn\n";
  if (geteuid() == 0 && getpwnam("www-data"))
    conf += "User www-data\nGroup www-data\n";
  // One child serving every connection, so that its memory can be watched.
  conf +=
      "StartServers 1\nServerLimit 1\nThreadLimit 64\nThreadsPerChild 64\n"
      "MaxRequestWorkers 64\nMinSpareThreads 1\nMaxSpareThreads 64\n"
      "MaxConnectionsPerChild 0\nKeepAlive On\nMaxKeepAliveRequests 0\n"
      "KeepAliveTimeout 30\n";
  for (const char* name : {"mpm_event", "authz_core", "mime", "alias", "cgid",
                           "deflate", "proxy", "proxy_http"})
    conf += ModuleLine(name);
  if (options.tls) conf += ModuleLine("ssl");
  if (options.http2) {
    conf += ModuleLine("http2");
    conf += "Protocols h2 h2c http/1.1\n";
  }
  conf += "LoadModule tagsmith_module " + kBin + "/mod_tagsmith.so\n";
  conf += "TypesConfig /etc/mime.types\nDocumentRoot " + dir + "/site\n";
  conf += "<Directory " + dir + ">\n  Require all granted\n</Directory>\n";
  // An alias's directory is its own application unless told otherwise.
  conf += "ScriptAlias /cgi-bin/ " + dir + "/cgi/\nScriptSock " + dir +
          "/logs/cgid.sock\n<Location /cgi-bin>\n  TagsmithApplication " + dir +
          "/site\n</Location>\n";
  conf += "Alias /untagged " + dir +
          "/site\n<Location /untagged>\n"
          "  Tagsmith Off\n</Location>\n";
  conf += "Alias /files " + dir + "/files\n";
  conf += "Alias /gz " + dir +
          "/site\n<Location /gz>\n"
          "  SetOutputFilter DEFLATE\n</Location>\n";
  conf += "Alias /blog " + dir +
          "/blog\n<Location /blog>\n"
          "  TagsmithApplication " +
          dir + "/blog\n</Location>\n";
  if (options.backend_port)
    conf += "ProxyPass /proxy/ http://127.0.0.1:" +
            std::to_string(options.backend_port) + "/\n";
  if (options.tls)
    conf += "Listen 127.0.0.1:" + std::to_string(tls_port) +
            " https\n<VirtualHost 127.0.0.1:" + std::to_string(tls_port) +
            ">\n  SSLEngine on\n  SSLCertificateFile " + dir +
            "/cert.pem\n  SSLCertificateKeyFile " + dir +
            "/key.pem\n</VirtualHost>\n";
  conf += options.filter_line.empty()
              ? "TagsmithFilter " + dir + "/libtagsmith.so\n"
              : options.filter_line + "\n";
  conf += "Tagsmith On\n" + options.extra + "\n";
  return conf;
}

}  // namespace

bool HaveApache() {
  return access(kApache, X_OK) == 0 &&
         access((kBin + "/mod_tagsmith.so").c_str(), R_OK) == 0;
}

ApacheServer::ApacheServer(const ApacheOptions& options) {
  WriteSite(dir());
  port_ = FreePort();
  if (options.tls) {
    tls_port_ = FreePort();
    RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                "/CN=127.0.0.1", "-keyout", dir() + "/key.pem", "-out",
                dir() + "/cert.pem"},
               std::chrono::seconds(30));
    fs::permissions(dir() + "/key.pem", fs::perms(0644));
  }
  // Each child loads the filter after it has become Apache's user, who may
  // not reach the build tree: it gets a copy of its own.
  fs::copy_file(kBin + "/libtagsmith.so", dir() + "/libtagsmith.so");
  fs::permissions(dir() + "/libtagsmith.so", fs::perms(0755));
  WriteFile(dir() + "/httpd.conf",
            Configuration(dir(), port_, tls_port_, options));
  pid_ = serve_testing::Spawn(
      {kApache, "-f", dir() + "/httpd.conf", "-DFOREGROUND"},
      dir() + "/logs/stdout", dir() + "/logs/stderr");
}

ApacheServer::~ApacheServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!serve_testing::WaitFor(pid_, std::chrono::seconds(15))) {
    kill(pid_, SIGKILL);
    int ignored;
    waitpid(pid_, &ignored, 0);
  }
}

bool ApacheServer::Started() {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (pid_ <= 0) return false;
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

int ApacheServer::WaitForExit() {
  if (pid_ <= 0) return -1;
  const std::optional<int> status =
      serve_testing::WaitFor(pid_, std::chrono::seconds(20));
  if (!status) return -1;
  pid_ = -1;
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

std::string ApacheServer::Errors() const {
  return ReadFile(dir() + "/logs/error.log") + ReadFile(dir() + "/logs/stderr");
}

pid_t ApacheServer::ServingChild() const {
  pid_t best = -1;
  long most_threads = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return -1;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream status("/proc/" + std::string(entry->d_name) + "/status");
    long parent = 0, threads = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("PPid:", 0) == 0) parent = std::atol(line.c_str() + 5);
      if (line.rfind("Threads:", 0) == 0) threads = std::atol(line.c_str() + 8);
    }
    if (parent == pid_ && threads > most_threads) {
      best = pid;
      most_threads = threads;
    }
  }
  closedir(proc);
  return best;
}

Backend::Backend(const std::vector<std::string>& argv,
                 const std::string& log_dir)
    : pid_(serve_testing::Spawn(argv, log_dir + "/out", log_dir + "/err")) {}

Backend::~Backend() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  serve_testing::WaitFor(pid_, std::chrono::seconds(10));
}

bool Backend::Answers(const std::string& url) const {
  for (int tries = 0; pid_ > 0 && tries < 100; ++tries) {
    if (RunProgram({"curl", "-sf", "-o", "/dev/null", url}, kClientLimit)
            .status == 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::string TagsmithRun(const std::string& response, const std::string& app_dir,
                        bool secure) {
  ScratchDir scratch;
  WriteFile(scratch.path() + "/response.http", response);
  std::vector<std::string> argv{kBin + "/tagsmith", "run", "--app-dir", app_dir,
                                scratch.path() + "/response.http"};
  if (secure) argv.push_back("--secure");
  return RunProgram(argv, std::chrono::seconds(30)).out;
}

namespace {

std::string Describe(const std::string& bytes) {
  int blocks = 0;
  for (std::string::size_type at = 0;
       (at = bytes.find("/urchin.js\"", at)) != std::string::npos; ++at)
    ++blocks;
  return std::to_string(bytes.size()) + " bytes, " + std::to_string(blocks) +
         " tracking block(s)";
}

}  // namespace

::testing::AssertionResult SameBytes(const std::string& got,
                                     const std::string& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  std::string::size_type at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at])
    ++at;
  return ::testing::AssertionFailure()
         << "got " << Describe(got) << ", expected " << Describe(expected)
         << "; first difference at byte " << at << ": \"" << got.substr(at, 60)
         << "\" against \"" << expected.substr(at, 60) << "\"";
}

std::string WithDateOf(const std::string& response, const std::string& from) {
  const std::string name = "\r\nDate: ";
  const std::string::size_type at = response.find(name);
  const std::string::size_type source = from.find(name);
  if (at == std::string::npos || source == std::string::npos) return response;
  const std::string::size_type end = response.find("\r\n", at + 2);
  const std::string::size_type source_end = from.find("\r\n", source + 2);
  std::string result = response;
  result.replace(at, end - at, from, source, source_end - source);
  return result;
}

}  // namespace tagsmith::apache_testing
