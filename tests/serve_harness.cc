// See serve_harness.h.
#include "tests/serve_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace tagsmith::serve_testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int PortAfter(const std::string& output, const std::string& prefix) {
  const std::string::size_type at = output.find(prefix);
  if (at == std::string::npos) return 0;
  const std::string::size_type end = output.find('/', at + prefix.size());
  if (end == std::string::npos) return 0;
  return std::atoi(
      output.substr(at + prefix.size(), end - at - prefix.size()).c_str());
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         std::chrono::seconds limit) {
  ScratchDir scratch;
  ProgramResult result;
  const pid_t pid =
      Spawn(argv, scratch.path() + "/out", scratch.path() + "/err");
  if (pid < 0) return result;
  std::optional<int> status = WaitFor(pid, limit);
  if (!status) {
    result.timed_out = true;
    kill(pid, SIGKILL);
    int ignored;
    waitpid(pid, &ignored, 0);
  } else if (WIFEXITED(*status)) {
    result.status = WEXITSTATUS(*status);
  }
  result.out = ReadFile(scratch.path() + "/out");
  result.err = ReadFile(scratch.path() + "/err");
  return result;
}

bool HaveProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::string::size_type start = 0;
  while (start <= dirs.size()) {
    std::string::size_type colon = dirs.find(':', start);
    if (colon == std::string::npos) colon = dirs.size();
    const std::string candidate =
        dirs.substr(start, colon - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = colon + 1;
  }
  return false;
}

ServerProcess::ServerProcess(const std::vector<std::string>& args,
                             bool with_tls) {
  std::vector<std::string> argv{std::string(TAGSMITH_BIN_DIR) + "/tagsmith",
                                "serve", "--listen", "127.0.0.1:0"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = Spawn(argv, logs_.path() + "/out", logs_.path() + "/err");
  if (pid_ < 0) return;
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (Clock::now() < deadline) {
    const std::string output = Output();
    const int port = PortAfter(output, "listening on http://127.0.0.1:");
    const int tls_port = PortAfter(output, "listening on https://127.0.0.1:");
    if (port != 0 && (!with_tls || tls_port != 0)) {
      port_ = port;
      tls_port_ = tls_port;
      return;
    }
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // it exited: never started
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ServerProcess::~ServerProcess() { Stop(); }

std::string ServerProcess::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ServerProcess::TlsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(tls_port_) + path;
}

std::string ServerProcess::Output() const {
  return ReadFile(logs_.path() + "/out");
}

std::string ServerProcess::Threads() const {
  std::string out;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    const std::string dir = task.path().string();
    const std::string stat = ReadFile(dir + "/stat");
    const std::string::size_type paren = stat.rfind(')');
    out += task.path().filename().string() + " " +
           (paren == std::string::npos ? "?" : stat.substr(paren + 2, 1)) +
           " " + ReadFile(dir + "/wchan") + " syscall " +
           ReadFile(dir + "/syscall");
    if (out.back() != '\n') out += '\n';
  }
  return out;
}

long ServerProcess::PeakResidentKiB() const {
  const std::string status =
      ReadFile("/proc/" + std::to_string(pid_) + "/status");
  const std::string::size_type at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

std::string ServerProcess::Errors() const {
  return ReadFile(logs_.path() + "/err");
}

int ServerProcess::Stop() {
  if (pid_ < 0) return -1;
  kill(pid_, SIGTERM);
  std::optional<int> status = WaitFor(pid_, std::chrono::seconds(15));
  int result = -1;
  if (!status) {
    kill(pid_, SIGKILL);
    int ignored;
    waitpid(pid_, &ignored, 0);
  } else if (WIFEXITED(*status)) {
    result = WEXITSTATUS(*status);
  }
  pid_ = -1;
  return result;
}

RawConnection::RawConnection(int port, std::chrono::milliseconds timeout) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  timeval tv;
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n =
        send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool RawConnection::Fill() {
  char chunk[65536];
  const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::string RawConnection::Response::Header(const std::string& name) const {
  const std::string key = "\r\n" + name + ": ";
  const std::string::size_type at = head.find(key);
  if (at == std::string::npos) return "";
  const std::string::size_type start = at + key.size();
  return head.substr(start, head.find("\r\n", start) - start);
}

bool RawConnection::Read(Response* response, bool head_request) {
  std::string::size_type end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!Fill()) return false;
  response->head = buffer_.substr(0, end + 4);
  response->status = std::atoi(response->head.substr(9, 3).c_str());
  const std::string length = response->Header("Content-Length");
  const bool bodiless = head_request || response->status == 304;
  if (length.empty() && !bodiless) return false;
  const std::size_t size =
      bodiless ? 0 : static_cast<std::size_t>(std::stoull(length));
  while (buffer_.size() < end + 4 + size)
    if (!Fill()) return false;
  response->body = buffer_.substr(end + 4, size);
  buffer_.erase(0, end + 4 + size);
  return true;
}

bool RawConnection::ReadSome(std::string* bytes, std::size_t size) {
  while (buffer_.size() < size)
    if (!Fill()) return false;
  *bytes = buffer_.substr(0, size);
  buffer_.erase(0, size);
  return true;
}

bool RawConnection::ReadUntilClosed(std::string* rest) {
  for (;;) {
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
      break;  // reset: closed too
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
  rest->append(buffer_);
  buffer_.clear();
  return true;
}

ProgramResult MakeCertificate(const std::string& dir, std::string* cert,
                              std::string* key) {
  *cert = dir + "/cert.pem";
  *key = dir + "/key.pem";
  return RunProgram(
      {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
       "/CN=localhost", "-days", "1", "-keyout", *key, "-out", *cert},
      std::chrono::seconds(60));
}

const char kStandInTracker[] =
    "function urchinTracker() {\n"
    "  var p = document.createElement('p');\n"
    "  p.id = 'tracked';\n"
    "  p.textContent = 'tracked for ' + _uacct;\n"
    "  document.body.appendChild(p);\n"
    "}\n";

std::string FindBrowser(std::string* skip_reason) {
  const char* no_browser = std::getenv("TAGSMITH_NO_BROWSER");
  if (no_browser && std::string(no_browser) == "1") {
    *skip_reason = "TAGSMITH_NO_BROWSER=1: the browser check is turned off";
    return "";
  }
  for (const char* name : {"chromium", "chromium-browser"})
    if (HaveProgram(name)) return name;
  *skip_reason =
      "no chromium on PATH: the browser check did not run (scripts/test "
      "installs Debian's chromium when it can)";
  return "";
}

ProgramResult DumpDom(const std::string& browser, const std::string& url,
                      int port, int tls_port) {
  const std::string host = "www.google-analytics.com";
  ScratchDir profile;
  return RunProgram(
      {browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
       "--no-first-run", "--disable-background-networking",
       "--disable-component-update", "--disable-sync",
       "--disable-dev-shm-usage", "--user-data-dir=" + profile.path(),
       "--ignore-certificate-errors",
       "--host-resolver-rules=MAP " + host +
           ":80 127.0.0.1:" + std::to_string(port) + ", MAP " + host +
           ":443 127.0.0.1:" + std::to_string(tls_port) +
           ", MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
       "--virtual-time-budget=5000", "--dump-dom", url},
      std::chrono::seconds(90));
}

std::string FilteredByRun(const std::string& app_dir,
                          const std::string& content_type,
                          const std::string& body, bool secure) {
  ScratchDir scratch;
  const std::string input = scratch.path() + "/response.http";
  WriteFile(input, "HTTP/1.1 200 OK\r\nContent-Type: " + content_type +
                       "\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n" + body);
  std::vector<std::string> argv{std::string(TAGSMITH_BIN_DIR) + "/tagsmith",
                                "run", "--app-dir", app_dir, input};
  if (secure) argv.push_back("--secure");
  return RunProgram(argv, std::chrono::seconds(30)).out;
}

std::string BodyOf(const std::string& response) {
  const std::string::size_type end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool answered =
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answered;
}

std::string Exchange(int port, const std::string& request) {
  RawConnection connection(port);
  std::string response;
  if (connection.Send(request)) connection.ReadUntilClosed(&response);
  return response;
}

long ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

}  // namespace tagsmith::serve_testing
