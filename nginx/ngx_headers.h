// nginx's own headers, which are C: included with C linkage, in the order
// nginx wants them.
#ifndef TAGSMITH_NGINX_NGX_HEADERS_H_
#define TAGSMITH_NGINX_NGX_HEADERS_H_

extern "C" {
// clang-format off
#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>
// clang-format on
}

#endif  // TAGSMITH_NGINX_NGX_HEADERS_H_
