// Drives the filter through its two exported entry points in the stand-in
// server. The input chooses the response, its chunk seams (one-byte and
// zero-byte chunks included), whether the request came over TLS, the
// application path (none, empty, near and over the 2048-byte limit) and the
// content of its tagsmith.config, which AllocMem call is refused, and whether
// the body is compressed (gzip, zlib, raw deflate), chunk-framed, or both,
// whole or broken. Every promise in tests/property_check.h is checked; a
// broken one aborts.
//
// Input layout (FuzzedDataProvider): the choices are taken from the end of
// the input, the configuration from its front (ended by a backslash and one
// other byte), the response is the rest.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "host/filter_module.h"
#include "isapi/isapi.h"
#include "tests/body_codings.h"
#include "tests/property_check.h"

namespace {

using tagsmith::checks::Request;

const tagsmith::host::FilterModule& Filter() {
  static const tagsmith::host::FilterModule filter =
      tagsmith::host::FilterModule::FromEntryPoints(
          {&GetFilterVersion, &HttpFilterProc});
  return filter;
}

// One application directory per process; each input rewrites (or removes)
// its configuration file.
class AppDirectory {
 public:
  AppDirectory() {
    char pattern[] = "/tmp/tagsmith-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    dir_ = pattern;
    file_ = dir_ + "/tagsmith.config";
  }
  ~AppDirectory() {
    unlink(file_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& dir() const { return dir_; }
  void Write(const std::string& config) const {
    const int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, config.data(), config.size()) !=
                      static_cast<ssize_t>(config.size())) {
      std::perror("writing the configuration");
      std::abort();
    }
    close(fd);
  }
  void Remove() const { unlink(file_.c_str()); }

 private:
  std::string dir_, file_;
};

const AppDirectory& App() {
  static const AppDirectory app;
  return app;
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      text += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      text += hex;
    }
  }
  return text;
}

// Codes the body (what follows the first empty line) as `coding` chooses:
// bits 0-1 compress it (none, gzip, zlib, raw deflate) and announce it,
// bit 2 frames it in chunks of 1 + `chunkSize` bytes and announces that,
// bit 3 cuts one byte off the coded body (so that it breaks).
std::string CodeBody(std::string response, std::uint8_t coding,
                     std::uint8_t chunkSize) {
  const std::size_t end = response.find("\r\n\r\n");
  if (end == std::string::npos || (coding & 7) == 0) return response;
  std::string body = response.substr(end + 4);
  std::string headers = response.substr(0, end + 2);
  using tagsmith::checks::Format;
  static const Format kFormats[] = {Format::kGzip, Format::kZlib, Format::kRaw};
  if ((coding & 3) != 0) {
    body = tagsmith::checks::Compress(body, kFormats[(coding & 3) - 1],
                                      1 + (coding >> 4) % 9);
    headers += (coding & 3) == 1 ? "Content-Encoding: gzip\r\n"
                                 : "Content-Encoding: deflate\r\n";
  }
  if ((coding & 4) != 0) {
    body = tagsmith::checks::Frame(body, {1u + chunkSize});
    headers += "Transfer-Encoding: chunked\r\n";
  }
  if ((coding & 8) != 0 && !body.empty()) body.erase(body.size() / 2, 1);
  return headers + "\r\n" + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto flags = input.ConsumeIntegral<std::uint8_t>();
  const auto pathChoice = input.ConsumeIntegral<std::uint16_t>();
  const auto refuse = input.ConsumeIntegral<std::uint16_t>();
  const auto seamMode = input.ConsumeIntegral<std::uint8_t>();
  const auto coding = input.ConsumeIntegral<std::uint8_t>();
  const auto chunkSize = input.ConsumeIntegral<std::uint8_t>();
  std::vector<std::uint16_t> seamChoices(
      input.ConsumeIntegralInRange<std::size_t>(0, 12));
  for (auto& choice : seamChoices)
    choice = input.ConsumeIntegral<std::uint16_t>();
  const bool withFile = (flags & 0x10) != 0;
  const std::string config =
      withFile ? input.ConsumeRandomLengthString(4096) : "";
  Request request;
  request.response =
      CodeBody(input.ConsumeRemainingBytesAsString(), coding, chunkSize);
  request.secure = (flags & 1) != 0;
  request.refuseAlloc = refuse;

  const AppDirectory& app = App();
  if (withFile) {
    app.Write(config);
  } else {
    app.Remove();
  }
  const std::string& dir = app.dir();
  switch ((flags >> 1) & 7) {
    case 0:
      break;  // the server knows no directory
    case 1:
      request.appPath = "";
      break;
    case 5:  // around the longest path that still fits (2031 bytes)
      request.appPath =
          dir + std::string(2023 + pathChoice % 16 - dir.size(), '/');
      break;
    case 6:  // past it, up to beyond what the system takes as a path
      request.appPath =
          dir + std::string(2032 + pathChoice % 3000 - dir.size(), '/');
      break;
    case 7:
      request.appPath = dir + "/missing";
      break;
    default:
      request.appPath = dir;
  }

  const std::size_t length = request.response.size();
  switch (seamMode % 4) {
    case 1:  // one-byte chunks
      if (length <= 4096) {
        for (std::size_t at = 1; at < length; ++at) request.cuts.push_back(at);
        break;
      }
      [[fallthrough]];
    case 2: {  // chunks of one size
      const std::size_t step = 1 + seamMode / 4;
      for (std::size_t at = step; at < length; at += step)
        request.cuts.push_back(at);
      break;
    }
    default:  // chosen seams; equal ones make zero-byte chunks
      for (std::uint16_t choice : seamChoices)
        request.cuts.push_back(choice % (length + 1));
      std::sort(request.cuts.begin(), request.cuts.end());
  }

  const tagsmith::checks::SiteValues site =
      tagsmith::checks::ReadSiteValues(request.appPath);
  const tagsmith::checks::Verdict verdict =
      tagsmith::checks::CheckRequest(Filter(), request, site);
  if (!verdict.violation.empty()) {
    std::fprintf(stderr,
                 "broken promise: %s\nresponse: %s\nconfiguration: %s\nsecure "
                 "%d, path %s, "
                 "%zu seams, refused call %u\n",
                 verdict.violation.c_str(), Printable(request.response).c_str(),
                 withFile ? Printable(config).c_str() : "(no file)",
                 request.secure ? 1 : 0,
                 request.appPath
                     ? std::to_string(request.appPath->size()).c_str()
                     : "none",
                 request.cuts.size(), static_cast<unsigned>(refuse));
    std::abort();
  }
  return 0;
}
