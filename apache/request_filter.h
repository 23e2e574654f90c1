// Hosting the filter on a request: an output filter that sees the response
// as its handler and the content filters made it (before the protocol
// frames it, so HTTP/1.x and HTTP/2 alike), gives the filter its HTTP/1.1
// bytes through the bridge, and takes back what the filter lets out. It
// runs after the filters that make the page (includes, substitutions) and
// before those that compress it.
#ifndef TAGSMITH_APACHE_REQUEST_FILTER_H_
#define TAGSMITH_APACHE_REQUEST_FILTER_H_

#include "httpd.h"

namespace tagsmith::host {
class FilterModule;
class HeldBudget;
}  // namespace tagsmith::host

namespace tagsmith::apache {

// Registers the request filter with Apache (at hook registration).
void RegisterRequestFilter();

// Puts the filter on `request` when its configuration says Tagsmith On and
// it is no subrequest (whose output is part of its parent's). What the
// filter holds is lent from `budget`, the child's (none: no limit).
void AddRequestFilter(request_rec* request, const host::FilterModule& filter,
                      host::HeldBudget* budget);

}  // namespace tagsmith::apache

#endif  // TAGSMITH_APACHE_REQUEST_FILTER_H_
