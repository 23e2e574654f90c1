// The raw-data step: each outgoing chunk is held in the response's chain
// until the header block is in; then the headers and the site's
// configuration are judged (tagging/header_verdict.h): a response they
// rule out is let go at once (what is held goes out, with the result
// header when its site asks for it; the rest passes untouched), and a page
// that may be tagged stays held to the end of the request, with the
// configuration read for it kept. Once a response is let go, the
// filter asks the server (SF_REQ_DISABLE_NOTIFICATIONS) to stop raising
// raw data for it. The chunk's bytes belong to the server; what is held
// comes from AllocMem (buffer/response_chain.h).
#ifndef TAGSMITH_FILTER_RAW_DATA_H_
#define TAGSMITH_FILTER_RAW_DATA_H_

#include "isapi/isapi.h"

// Handles one SF_NOTIFY_SEND_RAW_DATA. Allocates nothing to judge the
// headers: the arriving chunk is read where it lies.
void HandleRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* raw);

#endif  // TAGSMITH_FILTER_RAW_DATA_H_
