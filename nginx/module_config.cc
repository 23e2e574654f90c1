// The directives; see module_config.h. Nothing here lets an exception out.
#include "nginx/module_config.h"

#include <sys/stat.h>

#include <exception>
#include <string>

#include "host/filter_module.h"
#include "host/held_budget.h"
#include "host/platform.h"
#include "host/server_heap.h"

namespace tagsmith::nginx_host {

namespace {

std::string Text(const ngx_str_t& text) {
  return std::string(reinterpret_cast<const char*>(text.data), text.len);
}

// The directive's one argument as a full path (relative to nginx's
// prefix), NUL-terminated; false when it could not be made.
bool FullPath(ngx_conf_t* cf, ngx_str_t* path) {
  *path = static_cast<ngx_str_t*>(cf->args->elts)[1];
  return ngx_conf_full_name(cf->cycle, path, 0) == NGX_OK;
}

char* SetFilter(ngx_conf_t* cf, ngx_command_t*, void* conf) {
  auto* main = static_cast<MainConf*>(conf);
  if (main->filter_path.len != 0) return const_cast<char*>("is duplicate");
  ngx_str_t path;
  if (!FullPath(cf, &path)) return static_cast<char*>(NGX_CONF_ERROR);
  // Only a check here: each worker loads the library for itself.
  try {
    tagsmith::host::FilterModule::CheckLoadable(Text(path));
  } catch (const std::exception& error) {
    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0, "tagsmith_filter \"%V\": %s",
                       &path, error.what());
    return static_cast<char*>(NGX_CONF_ERROR);
  } catch (...) {
    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                       "tagsmith_filter \"%V\": cannot be loaded", &path);
    return static_cast<char*>(NGX_CONF_ERROR);
  }
  main->filter_path = path;
  return NGX_CONF_OK;
}

char* SetApplication(ngx_conf_t* cf, ngx_command_t*, void* conf) {
  auto* loc = static_cast<LocConf*>(conf);
  if (loc->app_dir.data != nullptr) return const_cast<char*>("is duplicate");
  ngx_str_t path;
  if (!FullPath(cf, &path)) return static_cast<char*>(NGX_CONF_ERROR);
  // ngx_conf_full_name leaves the name NUL-terminated.
  struct stat info;
  if (stat(reinterpret_cast<const char*>(path.data), &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    ngx_conf_log_error(NGX_LOG_EMERG, cf, ngx_errno,
                       "tagsmith_application \"%V\": not a directory", &path);
    return static_cast<char*>(NGX_CONF_ERROR);
  }
  // Trailing slashes go: the filter appends "/tagsmith.config".
  while (path.len > 1 && path.data[path.len - 1] == '/') --path.len;
  loc->app_dir = path;
  return NGX_CONF_OK;
}

}  // namespace

ngx_command_t kCommands[] = {
    {ngx_string("tagsmith_filter"), NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
     SetFilter, NGX_HTTP_MAIN_CONF_OFFSET, 0, nullptr},
    {ngx_string("tagsmith_max_held"), NGX_HTTP_MAIN_CONF | NGX_CONF_TAKE1,
     ngx_conf_set_size_slot, NGX_HTTP_MAIN_CONF_OFFSET,
     offsetof(MainConf, max_held), nullptr},
    {ngx_string("tagsmith"),
     NGX_HTTP_MAIN_CONF | NGX_HTTP_SRV_CONF | NGX_HTTP_LOC_CONF | NGX_CONF_FLAG,
     ngx_conf_set_flag_slot, NGX_HTTP_LOC_CONF_OFFSET,
     offsetof(LocConf, enable), nullptr},
    {ngx_string("tagsmith_application"),
     NGX_HTTP_MAIN_CONF | NGX_HTTP_SRV_CONF | NGX_HTTP_LOC_CONF |
         NGX_CONF_TAKE1,
     SetApplication, NGX_HTTP_LOC_CONF_OFFSET, 0, nullptr},
    ngx_null_command};

void* CreateMainConf(ngx_conf_t* cf) {
  // Zeroed: no path, no filter, no budget yet.
  auto* main = static_cast<MainConf*>(ngx_pcalloc(cf->pool, sizeof(MainConf)));
  if (main == nullptr) return nullptr;
  main->max_held = NGX_CONF_UNSET_SIZE;
  return main;
}

void* CreateLocConf(ngx_conf_t* cf) {
  auto* loc = static_cast<LocConf*>(ngx_pcalloc(cf->pool, sizeof(LocConf)));
  if (loc == nullptr) return nullptr;
  loc->enable = NGX_CONF_UNSET;
  return loc;
}

char* MergeLocConf(ngx_conf_t* cf, void* parent, void* child) {
  auto* prev = static_cast<LocConf*>(parent);
  auto* loc = static_cast<LocConf*>(child);
  ngx_conf_merge_value(loc->enable, prev->enable, 0);
  if (loc->app_dir.data == nullptr) loc->app_dir = prev->app_dir;
  auto* main = static_cast<MainConf*>(
      ngx_http_conf_get_module_main_conf(cf, ngx_http_tagsmith_module));
  if (loc->enable && main->filter_path.len == 0) {
    ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                       "\"tagsmith on\" needs \"tagsmith_filter PATH;\" "
                       "in the http block");
    return static_cast<char*>(NGX_CONF_ERROR);
  }
  return NGX_CONF_OK;
}

ngx_int_t InitProcess(ngx_cycle_t* cycle) {
  auto* main = static_cast<MainConf*>(
      ngx_http_cycle_get_module_main_conf(cycle, ngx_http_tagsmith_module));
  if (main == nullptr || main->filter_path.len == 0) return NGX_OK;
  tagsmith::host::KeepFreedHeap();
  try {
    main->budget = new tagsmith::host::HeldBudget(
        main->max_held != NGX_CONF_UNSET_SIZE
            ? main->max_held
            : tagsmith::host::DefaultHeldLimit(
                  tagsmith::host::platform::PhysicalMemory()));
    main->filter = new tagsmith::host::FilterModule(
        tagsmith::host::FilterModule::Load(Text(main->filter_path)));
  } catch (const std::exception& error) {
    // The worker serves on; its responses pass untouched.
    ngx_log_error(NGX_LOG_ALERT, cycle->log, 0,
                  "tagsmith_filter \"%V\": %s; responses pass untouched",
                  &main->filter_path, error.what());
  } catch (...) {
    ngx_log_error(NGX_LOG_ALERT, cycle->log, 0,
                  "tagsmith_filter \"%V\": cannot be loaded; responses pass "
                  "untouched",
                  &main->filter_path);
  }
  return NGX_OK;
}

void ExitProcess(ngx_cycle_t* cycle) {
  auto* main = static_cast<MainConf*>(
      ngx_http_cycle_get_module_main_conf(cycle, ngx_http_tagsmith_module));
  if (main == nullptr) return;
  delete main->filter;
  main->filter = nullptr;
  delete main->budget;
  main->budget = nullptr;
}

}  // namespace tagsmith::nginx_host
