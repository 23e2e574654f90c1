// mod_tagsmith: hosts the Tagsmith filter library in Apache httpd. The
// module record, its hooks, and the filter each child process loads once;
// the directives are in module_config.*, the hosting of responses in
// request_filter.*. No exception leaves a hook.
#include <exception>
#include <new>

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "ap_mpm.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_connection.h"
#include "http_core.h"
#include "http_log.h"
#include "http_main.h"
#include "http_protocol.h"
#include "http_request.h"
// clang-format on

#include "apache/module_config.h"
#include "apache/request_filter.h"
#include "host/filter_module.h"
#include "host/held_budget.h"
#include "host/platform.h"
#include "host/server_heap.h"

APLOG_USE_MODULE(tagsmith);

namespace tagsmith::apache {

namespace {

apr_status_t UnloadFilter(void* filter) {
  delete static_cast<host::FilterModule*>(filter);
  return APR_SUCCESS;
}

apr_status_t DeleteBudget(void* budget) {
  delete static_cast<host::HeldBudget*>(budget);
  return APR_SUCCESS;
}

// Runs on every reading of the configuration, before the logs are open and
// before a configuration test says "Syntax OK": a refusal fails both the
// test and the start.
int CheckConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*,
                server_rec* main_server) {
  return CheckConfiguration(pconf, main_server) ? OK : !OK;
}

void ChildInit(apr_pool_t* pchild, server_rec* main_server) {
  ServerConfig* config = ServerConfigOf(main_server);
  config->filter = nullptr;
  config->budget = nullptr;
  if (!config->filter_path || !config->any_on) return;
  host::KeepFreedHeap();
  try {
    config->budget = new host::HeldBudget(
        config->max_held_set
            ? config->max_held
            : host::DefaultHeldLimit(host::platform::PhysicalMemory()));
    apr_pool_cleanup_register(pchild, config->budget, DeleteBudget,
                              apr_pool_cleanup_null);
    auto* filter =
        new host::FilterModule(host::FilterModule::Load(config->filter_path));
    apr_pool_cleanup_register(pchild, filter, UnloadFilter,
                              apr_pool_cleanup_null);
    config->filter = filter;
  } catch (const std::exception& error) {
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, main_server,
                 "TagsmithFilter %s: %s; this process sends responses "
                 "unfiltered",
                 config->filter_path, error.what());
  } catch (...) {
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, main_server,
                 "TagsmithFilter %s: cannot be loaded; this process sends "
                 "responses unfiltered",
                 config->filter_path);
  }
}

// Every request that reaches its handler or its error response, on HTTP/1.x
// and HTTP/2 alike.
void InsertFilter(request_rec* request) {
  const ServerConfig* config = ServerConfigOf(ap_server_conf);
  if (config->filter)
    AddRequestFilter(request, *config->filter, config->budget);
}

void RegisterHooks(apr_pool_t*) {
  ap_hook_check_config(CheckConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_insert_filter(InsertFilter, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_insert_error_filter(InsertFilter, nullptr, nullptr, APR_HOOK_MIDDLE);
  RegisterRequestFilter();
}

}  // namespace

}  // namespace tagsmith::apache

extern "C" {
module AP_MODULE_DECLARE_DATA tagsmith_module = {
    STANDARD20_MODULE_STUFF,
    tagsmith::apache::CreateDirConfig,
    tagsmith::apache::MergeDirConfig,
    tagsmith::apache::CreateServerConfig,
    tagsmith::apache::MergeServerConfig,
    tagsmith::apache::kDirectives,
    tagsmith::apache::RegisterHooks,
    AP_MODULE_FLAG_NONE,
};
}
