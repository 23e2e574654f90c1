// The module's directives and their configuration records. The records
// live in nginx's configuration pools; the filter a worker loaded is the
// one object of the module's own, held by the main record and deleted when
// the worker exits.
#ifndef TAGSMITH_NGINX_MODULE_CONFIG_H_
#define TAGSMITH_NGINX_MODULE_CONFIG_H_

#include "nginx/ngx_headers.h"

extern "C" ngx_module_t ngx_http_tagsmith_module;

namespace tagsmith::host {
class FilterModule;
class HeldBudget;
}  // namespace tagsmith::host

namespace tagsmith::nginx_host {

// http level: `tagsmith_filter PATH;`, `tagsmith_max_held SIZE;`.
struct MainConf {
  ngx_str_t filter_path;                 // empty when not given
  tagsmith::host::FilterModule* filter;  // loaded in each worker, or null
  size_t max_held;  // the bytes a worker's responses may hold at once
  tagsmith::host::HeldBudget* budget;  // each worker's, or null
};

// http, server, location: `tagsmith on|off;`, `tagsmith_application DIR;`.
struct LocConf {
  ngx_flag_t enable;
  ngx_str_t app_dir;  // empty: the location's root
};

extern ngx_command_t kCommands[];

void* CreateMainConf(ngx_conf_t* cf);
void* CreateLocConf(ngx_conf_t* cf);
char* MergeLocConf(ngx_conf_t* cf, void* parent, void* child);

// Loads the filter once per worker, after the worker took nginx's user.
ngx_int_t InitProcess(ngx_cycle_t* cycle);
void ExitProcess(ngx_cycle_t* cycle);

}  // namespace tagsmith::nginx_host

#endif  // TAGSMITH_NGINX_MODULE_CONFIG_H_
