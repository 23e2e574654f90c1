// The end-of-request pass: closes the response's chain, tags the page when
// it is a candidate, and writes the whole response to the client. The
// records and texts spliced in while tagging live in this call's frame and
// are written out before it returns.
#ifndef TAGSMITH_FILTER_END_OF_REQUEST_H_
#define TAGSMITH_FILTER_END_OF_REQUEST_H_

#include "buffer/response_chain.h"
#include "filter/isapi.h"

// Runs once per response: afterwards the chain is passing, so a second
// end-of-request, or the server handing our own writes back as raw data,
// finds nothing to do.
void RunEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain);

#endif  // TAGSMITH_FILTER_END_OF_REQUEST_H_
