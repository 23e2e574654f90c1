#include "tagging/header_verdict.h"

bool WillNotTag(const ResponseFacts& facts) {
  // The scan already clears every flag for what must leave untouched: not
  // a "200", a body whose coding it cannot splice into, a Content-Length
  // the rewrite cannot correct. So only candidates keep kIsHtml.
  return (facts.flags & kIsHtml) == 0;
}
