#include "tagging/header_verdict.h"

#include "tagging/announced_coding.h"

bool WillNotTag(const ResponseFacts& facts) {
  // The scan clears every flag for what must leave untouched whatever its
  // body (not a "200", a Content-Length the rewrite cannot correct), so
  // only candidates keep kIsHtml; of those, the coding headers alone rule
  // out a transfer or content coding the filter does not splice into.
  if ((facts.flags & kIsHtml) == 0) return true;
  CodingPlan plan;
  return !DecideCodings(facts.codings, &plan);
}
