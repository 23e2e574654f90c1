// The end-of-request pass: closes the response's chain, tags the page when
// it is a candidate, and writes the whole response to the client. The
// records and texts spliced in while tagging live in this call's frame;
// the working storage of a coded body (de-framed view, decoded page,
// re-encoded body, zlib's state) comes from `heap` and is given back after
// the flush, before the call returns.
#ifndef TAGSMITH_FILTER_END_OF_REQUEST_H_
#define TAGSMITH_FILTER_END_OF_REQUEST_H_

#include "buffer/response_chain.h"
#include "isapi/isapi.h"
#include "tagging/working_heap.h"

// Runs once per response: afterwards the chain is passing, so a second
// end-of-request, or the server handing our own writes back as raw data,
// finds nothing to do.
void RunEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
                     const WorkingHeap& heap = ProcessHeap());

#endif  // TAGSMITH_FILTER_END_OF_REQUEST_H_
