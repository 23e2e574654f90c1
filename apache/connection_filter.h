// Hosting the filter on an HTTP/1.x connection: a connection-level output
// filter that sees each response as the bytes that go on the wire (status
// line, headers, body, chunk framing), raises the filter's notifications
// for it, and serves the filter's callbacks. Each connection's state lives
// in the connection's pool; each response's AllocMem blocks live in a pool
// of their own, released once its end-of-request notification has returned.
#ifndef TAGSMITH_APACHE_CONNECTION_FILTER_H_
#define TAGSMITH_APACHE_CONNECTION_FILTER_H_

#include "httpd.h"

namespace tagsmith::host {
class FilterModule;
}

namespace tagsmith::apache {

// Registers the connection filter with Apache (at hook registration).
void RegisterConnectionFilter();

// Puts the filter on a new client connection, hosting `filter`. Not for
// HTTP/2 streams or connections to a backend.
void AddConnectionFilter(conn_rec* connection,
                         const host::FilterModule& filter);

// Records, for the response that the connection sends next, whether it is
// hosted (Tagsmith On) and which directory is its APPL_PHYSICAL_PATH
// (TagsmithApplication, else the context's document root). Called for every
// request that reaches its handler or its error response; a response whose
// request was never recorded passes unhosted.
void NoteRequest(request_rec* request);

}  // namespace tagsmith::apache

#endif  // TAGSMITH_APACHE_CONNECTION_FILTER_H_
