// Driving a real `tagsmith serve` from tests: start it on free loopback
// ports, run client programs (curl, openssl, chromium) with a time limit,
// and talk raw HTTP over sockets. Every wait here is bounded.
#ifndef TAGSMITH_TESTS_SERVE_HARNESS_H_
#define TAGSMITH_TESTS_SERVE_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace tagsmith::serve_testing {

using test_support::ReadFile;
using test_support::ScratchDir;
using test_support::Spawn;
using test_support::WaitFor;
using test_support::WriteFile;

struct ProgramResult {
  int status = -1;  // exit status; -1 killed by a signal or not started
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs a program found on PATH with the given arguments (argv[0] is the
// program), standard input from /dev/null; kills it after `limit`.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         std::chrono::seconds limit);

// Whether a program is on PATH.
bool HaveProgram(const std::string& name);

// `tagsmith serve` in the background, on 127.0.0.1 port 0 (and HTTPS too
// when TLS arguments are given); stopped with SIGTERM by its process id.
class ServerProcess {
 public:
  // Starts the server and waits (at most 15 s) until it says where it
  // listens. started() tells whether it did.
  explicit ServerProcess(const std::vector<std::string>& args,
                         bool with_tls = false);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool started() const { return port_ != 0; }
  int port() const { return port_; }
  int tls_port() const { return tls_port_; }
  std::string Url(const std::string& path) const;
  std::string TlsUrl(const std::string& path) const;
  // Standard output and error so far.
  std::string Output() const;
  std::string Errors() const;
  // What each of its threads is doing, a line each (its state, the kernel
  // function it waits in, the system call it is in), for a failure's message.
  std::string Threads() const;
  // The most memory it has had resident so far (VmHWM), in KiB; 0 if
  // unknown.
  long PeakResidentKiB() const;
  // Sends SIGTERM and waits (at most 15 s, then SIGKILL); the exit status,
  // or -1 when it had to be killed.
  int Stop();

 private:
  ScratchDir logs_;
  pid_t pid_ = -1;
  int port_ = 0;
  int tls_port_ = 0;
};

// A raw HTTP/1.1 client over one loopback connection; each receive waits at
// most `timeout`.
class RawConnection {
 public:
  explicit RawConnection(
      int port, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);

  struct Response {
    int status = 0;
    std::string head;  // status line and headers, with the blank line
    std::string body;
    std::string Header(const std::string& name) const;  // "" when absent
  };
  // Reads one response framed by its Content-Length (no body after a HEAD
  // when `head_request`, nor in a 304). False when the connection ended or
  // timed out before it was whole.
  bool Read(Response* response, bool head_request = false);
  // Reads exactly `size` bytes into *bytes; false when they do not come.
  bool ReadSome(std::string* bytes, std::size_t size);
  // Reads until the server closes; false on timeout. What came is appended
  // to *rest.
  bool ReadUntilClosed(std::string* rest);

 private:
  bool Fill();  // more bytes into buffer_; false on close, error, timeout

  int fd_ = -1;
  std::string buffer_;
};

// Makes a throwaway self-signed certificate for localhost in `dir`, valid
// for a day, with openssl; *cert and *key name its files.
ProgramResult MakeCertificate(const std::string& dir, std::string* cert,
                              std::string* key);

// The first of chromium and chromium-browser on PATH; "" when neither is, or
// when TAGSMITH_NO_BROWSER=1 turns the browser checks off, with the reason
// in `skip_reason`.
std::string FindBrowser(std::string* skip_reason);

// A stand-in for the analytics script: urchinTracker() appends
// <p id="tracked">tracked for ACCOUNT</p> to the page's body.
extern const char kStandInTracker[];

// Headless `browser` loads `url`, runs its scripts for up to 5 s of virtual
// time and prints its DOM. The tracking script's host is mapped to the
// server: its port 80 to 127.0.0.1:`port`, its port 443 to
// 127.0.0.1:`tls_port` (the browser is told to accept any certificate),
// since whether a browser fetches the script over HTTP or upgrades it to
// HTTPS depends on its version and the age of its build. Every other name
// but 127.0.0.1 is unresolvable, so nothing leaves the machine.
ProgramResult DumpDom(const std::string& browser, const std::string& url,
                      int port, int tls_port);

// What `tagsmith run --app-dir DIR [--secure]` makes of a 200 response with
// these headers and body: the bytes that reach the client.
std::string FilteredByRun(const std::string& app_dir,
                          const std::string& content_type,
                          const std::string& body, bool secure);

// The body of a raw response (after the first blank line).
std::string BodyOf(const std::string& response);

// A port that was free a moment ago on 127.0.0.1.
int FreePort();
// Whether something accepts connections on 127.0.0.1:port.
bool Accepts(int port);
// Sends `request` on a new connection to `port` and reads until the server
// closes it: the response's exact bytes.
std::string Exchange(int port, const std::string& request);
// A process's resident memory in kB (VmRSS), or -1.
long ResidentKilobytes(pid_t pid);

}  // namespace tagsmith::serve_testing

#endif  // TAGSMITH_TESTS_SERVE_HARNESS_H_
