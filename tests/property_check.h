// What the filter promises about every response, as checks shared by the
// randomized tests and the fuzz targets. Each check returns an empty string
// when the promise holds and otherwise one line that says what is wrong.
//
// The checks derive the tagged form from its definition (the response's
// header lines, the closing-tag grammar, the block's texts), not from the
// filter's code: the response with one block inserted before the last
// closing body tag after the headers, its Content-Length value (if any)
// replaced by the old value plus the block's length, nothing else changed.
#ifndef TAGSMITH_TESTS_PROPERTY_CHECK_H_
#define TAGSMITH_TESTS_PROPERTY_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/filter_module.h"

namespace tagsmith::checks {

// What the application's configuration gives a page: each value as read,
// empty when it is not set or there is no usable file.
struct SiteValues {
  std::string account;
  std::string insertBefore;
  std::string appendAfter;
  bool alwaysSsl = false;
  bool diagnostics = false;  // the result header asked for
};

// The values the filter reads for an application directory: none without a
// directory, for an empty one, or one too long for "/tagsmith.config" to fit
// the filter's 2048-byte path; otherwise what the profile reader returns for
// the filter's keys and buffer sizes.
SiteValues ReadSiteValues(const std::optional<std::string>& appPath);

// The tracking block for `account`: insert-before text, script head (secure
// or plain), account, script tail, append-after text.
std::string ExpectedBlock(const SiteValues& site, std::string_view account,
                          bool secure);

// Whether a closing body tag begins at in[at]: "<", white space, "/", white
// space, "body" in any case, white space, ">".
bool ClosingBodyTagAt(std::string_view in, std::size_t at);
// The offset of the last closing body tag in `in`, or npos.
std::size_t LastClosingBodyTag(std::string_view in);

// A Content-Length value read as the server's runtime reads it: leading
// white space, one sign, digits; too large is 4294967295, then a minus
// negates modulo 2^32; no digits give 0.
std::uint32_t StatedLength(std::string_view value);

// `out` is `in` exactly, or `in` tagged once as promised for a request
// over TLS (`securePort`) or not, with `site` configured; either one with
// a result header as its last header line only when `site` asks for it
// and `in` is a "200" HTML page.
std::string CheckOutput(std::string_view in, std::string_view out,
                        bool securePort, const SiteValues& site);

// Seams never change the output: without a refused allocation `out` equals
// `reference`, the output of the same response sent as one chunk; with one,
// `out` is `in` or `reference`, whole.
std::string CheckAgainstReference(std::string_view in,
                                  std::string_view reference,
                                  std::string_view out, bool refused);

// One response as the server sends it.
struct Request {
  std::string response;
  std::vector<std::size_t> cuts;  // chunk seams, ascending, <= size
  bool secure = false;
  std::optional<std::string> appPath;
  // Which AllocMem call to refuse, counted from 1 and taken modulo the
  // number of calls the same seams make; 0 refuses none.
  std::uint64_t refuseAlloc = 0;
};

struct Served {
  std::string client;        // what reached the client
  std::uint64_t allocs = 0;  // AllocMem calls, the refused one included
};

// Serves the request through `filter` in the stand-in server. Throws
// std::runtime_error when a send to the client failed.
Served Serve(const host::FilterModule& filter, const Request& request);

struct Verdict {
  std::string violation;  // empty when every promise held
  std::string reference;  // the output of the response sent whole
};

// Serves the response whole, then with its seams, then with its seams and
// the refused allocation (if any), and checks all three outputs.
Verdict CheckRequest(const host::FilterModule& filter, const Request& request,
                     const SiteValues& site);

}  // namespace tagsmith::checks

#endif  // TAGSMITH_TESTS_PROPERTY_CHECK_H_
