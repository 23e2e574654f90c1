// The duplicate check: whether a page already loads the analytics script
// from either host. It reads page bytes through a cursor and owns nothing;
// the records it reads may be the response chain itself or a de-framed
// view of its bytes.
#ifndef TAGSMITH_TAGGING_DUPLICATE_CHECK_H_
#define TAGSMITH_TAGGING_DUPLICATE_CHECK_H_

#include "buffer/chain_cursor.h"

// The markers: the start of the block's first script element for each host.
extern const char kPlainScriptMarker[];
extern const char kSecureScriptMarker[];

// True when a marker, in any letter case, begins at `from` or after it, up
// to the end of `from`'s chain. Steps back before `from` only to match a
// marker across a seam; never reads past the chain's last byte.
bool CarriesTrackingScript(const ChainCursor& from);

// True when a whole marker ends with the markers' common tail
// (marker_tail.h) and that tail begins at `tail`; reads across seams.
bool MarkerEndsWithTailAt(const ChainCursor& tail);

// True when `marker` (NUL-terminated, not empty), in any letter case,
// begins at `from` or after it, as above.
bool CarriesMarker(const ChainCursor& from, const char* marker);

#endif  // TAGSMITH_TAGGING_DUPLICATE_CHECK_H_
