// What the status line and headers alone say about tagging: a response
// that these rule out is let go as soon as its header block is in, instead
// of being held to the end of the request. Nothing here reads the body or
// the site's configuration (which is read afresh at the end of the request
// for every candidate), and nothing is kept.
#ifndef TAGSMITH_TAGGING_HEADER_VERDICT_H_
#define TAGSMITH_TAGGING_HEADER_VERDICT_H_

#include "tagging/header_scan.h"

// True when the response will not be tagged whatever its body holds.
// `facts` come from ScanResponseHeaders over a chain that holds the whole
// header block; only what lies inside that block may be consulted, since
// nothing after it has arrived yet.
bool WillNotTag(const ResponseFacts& facts);

#endif  // TAGSMITH_TAGGING_HEADER_VERDICT_H_
