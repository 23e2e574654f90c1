// The property checks' reading of a body whose headers announce codings
// (chunked, gzip, deflate) as the filter must read it, and the check of a
// tagged coded response against the page with its block. The body read is
// the caller's record; the checks read the caller's bytes.
#ifndef TAGSMITH_TESTS_CODED_CHECK_H_
#define TAGSMITH_TESTS_CODED_CHECK_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tests/body_codings.h"
#include "tests/check_text.h"
#include "tests/property_check.h"

namespace tagsmith::checks {

// The body of a response whose headers announce codings, read as the
// filter must read it.
struct CodedBody {
  bool framed = false;
  bool compressed = false;
  Format format = Format::kGzip;
  std::size_t first = 0;  // the body's first byte in the response
  Deframed framing;       // when framed
  std::string page;       // the page bytes the block goes into
};

// Empty when the body may be tagged; otherwise why it must leave untouched.
std::string ReadCodedBody(std::string_view in, const Head& head,
                          const std::vector<std::string>& codings,
                          std::size_t lengths, CodedBody* body);

// `out` is `in` tagged as promised, read through `body`'s codings: a framed
// page with the block as a chunk of its own, a compressed one as a stream
// of its format that inflates to the page with its block. `lengthLine`:
// where the Content-Length line begins, or npos.
std::string CheckCodedOutput(std::string_view in, std::string_view out,
                             const CodedBody& body, std::size_t lengthLine,
                             const std::vector<std::string_view>& accounts,
                             bool securePort, const SiteValues& site);

}  // namespace tagsmith::checks

#endif  // TAGSMITH_TESTS_CODED_CHECK_H_
