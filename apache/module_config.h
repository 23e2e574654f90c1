// mod_tagsmith's configuration: the three directives, the records they
// fill, and the start-up checks of what they name. Every record lives in
// Apache's configuration pool; the loaded filter that a child process holds
// lives in that child's pool (see mod_tagsmith.cc).
#ifndef TAGSMITH_APACHE_MODULE_CONFIG_H_
#define TAGSMITH_APACHE_MODULE_CONFIG_H_

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "http_config.h"
// clang-format on

namespace tagsmith::host {
class FilterModule;
class HeldBudget;
}  // namespace tagsmith::host

// The module record, the one symbol the module exports.
extern "C" __attribute__((visibility("default")))
module AP_MODULE_DECLARE_DATA tagsmith_module;

namespace tagsmith::apache {

// Per server (virtual host). Only the main server's filter fields are used.
struct ServerConfig {
  const char* filter_path;   // TagsmithFilter, resolved against ServerRoot
  const char* filter_where;  // "FILE:LINE" of that directive
  int tagsmith_on;           // Tagsmith On appears in this server's config
  int any_on;                // main server: in any server's config
  const host::FilterModule* filter;  // main server, in a child: the filter
  // TagsmithMaxHeld: the bytes a child's responses may hold at once.
  apr_uint64_t max_held;
  int max_held_set;
  host::HeldBudget* budget;  // main server, in a child: its budget
};

// Per directory or location.
struct DirConfig {
  int enabled;          // Tagsmith: 1 On, 0 Off, -1 not set here
  const char* app_dir;  // TagsmithApplication, or null
};

extern const command_rec kDirectives[];

void* CreateServerConfig(apr_pool_t* pool, server_rec* server);
void* MergeServerConfig(apr_pool_t* pool, void* base, void* add);
void* CreateDirConfig(apr_pool_t* pool, char* dir);
void* MergeDirConfig(apr_pool_t* pool, void* base, void* add);

inline ServerConfig* ServerConfigOf(server_rec* server) {
  return static_cast<ServerConfig*>(
      ap_get_module_config(server->module_config, &tagsmith_module));
}

// Checks what the directives named (the library loads and exports both
// entry points) and that Tagsmith On has a filter, logging one error per
// fault with the directive, the path and where it was set. Returns false
// when anything is wrong: Apache must not start. (An application
// directory is checked as its directive is read.)
bool CheckConfiguration(apr_pool_t* pool, server_rec* main_server);

}  // namespace tagsmith::apache

#endif  // TAGSMITH_APACHE_MODULE_CONFIG_H_
