// ngx_http_tagsmith_module: hosts the Tagsmith filter library in nginx.
// The module record nginx loads; the directives are in module_config, the
// filters in response_filters.
#include "nginx/module_config.h"
#include "nginx/response_filters.h"

namespace {

ngx_int_t PostConfiguration(ngx_conf_t* cf) {
  return tagsmith::nginx_host::InstallFilters(cf);
}

ngx_http_module_t module_context = {
    nullptr,                               // preconfiguration
    PostConfiguration,                     // postconfiguration
    tagsmith::nginx_host::CreateMainConf,  // create main configuration
    nullptr,                               // init main configuration
    nullptr,                               // create server configuration
    nullptr,                               // merge server configuration
    tagsmith::nginx_host::CreateLocConf,   // create location configuration
    tagsmith::nginx_host::MergeLocConf,    // merge location configuration
};

}  // namespace

extern "C" {

ngx_module_t ngx_http_tagsmith_module = {
    NGX_MODULE_V1,
    &module_context,                    // module context
    tagsmith::nginx_host::kCommands,    // module directives
    NGX_HTTP_MODULE,                    // module type
    nullptr,                            // init master
    nullptr,                            // init module
    tagsmith::nginx_host::InitProcess,  // init process
    nullptr,                            // init thread
    nullptr,                            // exit thread
    tagsmith::nginx_host::ExitProcess,  // exit process
    nullptr,                            // exit master
    NGX_MODULE_V1_PADDING};

}  // extern "C"
