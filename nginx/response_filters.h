// The module's header and body filters, which host the filter library for
// each main request with `tagsmith on`, and their place in nginx's chains.
#ifndef TAGSMITH_NGINX_RESPONSE_FILTERS_H_
#define TAGSMITH_NGINX_RESPONSE_FILTERS_H_

#include "nginx/ngx_headers.h"

namespace tagsmith::nginx_host {

// Puts both filters at the top of nginx's chains (postconfiguration).
ngx_int_t InstallFilters(ngx_conf_t* cf);

}  // namespace tagsmith::nginx_host

#endif  // TAGSMITH_NGINX_RESPONSE_FILTERS_H_
