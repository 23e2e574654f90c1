// Whether a body reads as markup: the test a body must pass to be tagged
// as a plain page when its headers announce a coding it turns out not to
// be in. Such a body is either a page the server codes later, which
// begins with a tag, or one in a coding the filter misread (a size line a
// lenient reader accepts, a stream it does not know), where a block put in
// would corrupt what a client decodes. Reads through a cursor; owns
// nothing.
#ifndef TAGSMITH_TAGGING_MARKUP_START_H_
#define TAGSMITH_TAGGING_MARKUP_START_H_

#include "buffer/chain_cursor.h"

// True when the first byte from `first` on, after spaces, TABs, CRs, LFs
// and one UTF-8 byte order mark among them, is "<". False when the chain
// ends first; never reads past its last byte.
bool ReadsAsMarkup(const ChainCursor& first);

#endif  // TAGSMITH_TAGGING_MARKUP_START_H_
