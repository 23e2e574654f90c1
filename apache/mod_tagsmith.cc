// mod_tagsmith: hosts the Tagsmith filter library in Apache httpd. The
// module record, its hooks, and the filter each child process loads once;
// the directives are in module_config.*, the hosting of responses in
// connection_filter.*. No exception leaves a hook.
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

#include "apache/connection_filter.h"
#include "apache/module_config.h"
#include "host/filter_module.h"

APLOG_USE_MODULE(tagsmith);

namespace tagsmith::apache {

namespace {

apr_status_t UnloadFilter(void* filter) {
  delete static_cast<host::FilterModule*>(filter);
  return APR_SUCCESS;
}

// HTTP/2 connections are not hosted: say so once at start-up for each host
// that has Tagsmith On and allows h2 or h2c.
void WarnAboutHttp2(server_rec* main_server) {
  if (!ap_find_linked_module("mod_http2.c")) return;
  const int main_on = ServerConfigOf(main_server)->tagsmith_on;
  for (server_rec* server = main_server; server; server = server->next) {
    if (!main_on && !ServerConfigOf(server)->tagsmith_on) continue;
    if (!ap_is_allowed_protocol(nullptr, nullptr, server, "h2") &&
        !ap_is_allowed_protocol(nullptr, nullptr, server, "h2c"))
      continue;
    const char* name = server->server_hostname ? server->server_hostname : "*";
    ap_log_error(APLOG_MARK, APLOG_WARNING, 0, server,
                 "Tagsmith On for %s, which allows HTTP/2: responses on "
                 "HTTP/2 connections are not filtered and go out untagged",
                 server->port ? apr_psprintf(server->process->pconf, "%s:%u",
                                             name, server->port)
                              : name);
  }
}

int PostConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*,
               server_rec* main_server) {
  if (!CheckConfiguration(pconf, main_server))
    return HTTP_INTERNAL_SERVER_ERROR;
  // Apache reads its configuration twice at start-up; warn on the real one.
  if (ap_state_query(AP_SQ_MAIN_STATE) != AP_SQ_MS_CREATE_PRE_CONFIG)
    WarnAboutHttp2(main_server);
  return OK;
}

void TestConfig(apr_pool_t* pconf, server_rec* main_server) {
  CheckConfiguration(pconf, main_server);
}

void ChildInit(apr_pool_t* pchild, server_rec* main_server) {
  ServerConfig* config = ServerConfigOf(main_server);
  config->filter = nullptr;
  if (!config->filter_path || !config->any_on) return;
  try {
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

int PreConnection(conn_rec* connection, void*) {
  // HTTP/2 streams and connections to a backend are not clients' wire.
  if (connection->master || connection->outgoing) return OK;
  const ServerConfig* config = ServerConfigOf(ap_server_conf);
  if (config->filter) AddConnectionFilter(connection, *config->filter);
  return OK;
}

void InsertFilter(request_rec* request) { NoteRequest(request); }

void RegisterHooks(apr_pool_t*) {
  ap_hook_post_config(PostConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_test_config(TestConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_pre_connection(PreConnection, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_insert_filter(InsertFilter, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_insert_error_filter(InsertFilter, nullptr, nullptr, APR_HOOK_MIDDLE);
  RegisterConnectionFilter();
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
