// The directives and the start-up checks; see module_config.h. The checks
// run after the logs are open, so that a refusal is in the error log; the
// directives only record what they were given and where.
#include "apache/module_config.h"

#include <exception>

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "apr_file_info.h"
#include "apr_strings.h"
#include "http_log.h"
// clang-format on

#include "host/filter_module.h"

APLOG_USE_MODULE(tagsmith);

namespace tagsmith::apache {

namespace {

const char* WhereOf(cmd_parms* cmd) {
  if (!cmd->directive) return "(command line)";
  return apr_psprintf(cmd->pool, "%s:%d", cmd->directive->filename,
                      cmd->directive->line_num);
}

const char* SetFilter(cmd_parms* cmd, void*, const char* path) {
  if (const char* error = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return error;
  ServerConfig* config = ServerConfigOf(cmd->server);
  const char* resolved = ap_server_root_relative(cmd->pool, path);
  config->filter_path = resolved ? resolved : path;
  config->filter_where = WhereOf(cmd);
  return nullptr;
}

const char* SetMaxHeld(cmd_parms* cmd, void*, const char* value) {
  if (const char* error = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return error;
  // Whole bytes, as many as a 64-bit count holds with room to spare.
  constexpr apr_uint64_t kMost = apr_uint64_t{1} << 50;
  apr_uint64_t bytes = 0;
  const char* at = value;
  for (; *at >= '0' && *at <= '9' && bytes <= kMost; ++at)
    bytes = bytes * 10 + static_cast<apr_uint64_t>(*at - '0');
  if (at == value || *at != '\0' || bytes > kMost)
    return apr_psprintf(cmd->pool,
                        "TagsmithMaxHeld %s: not a number of bytes (0 to "
                        "%" APR_UINT64_T_FMT ")",
                        value, kMost);
  ServerConfig* config = ServerConfigOf(cmd->server);
  config->max_held = bytes;
  config->max_held_set = 1;
  return nullptr;
}

const char* SetEnabled(cmd_parms* cmd, void* dir_config, int on) {
  static_cast<DirConfig*>(dir_config)->enabled = on ? 1 : 0;
  if (on) ServerConfigOf(cmd->server)->tagsmith_on = 1;
  return nullptr;
}

// One message for a directory that cannot serve as an application's, or
// null when it can.
const char* ApplicationFault(apr_pool_t* pool, const char* dir) {
  if (!*dir || dir[0] != '/') return "is not an absolute path";
  apr_finfo_t info;
  const apr_status_t status = apr_stat(&info, dir, APR_FINFO_TYPE, pool);
  if (status != APR_SUCCESS) {
    char text[256];
    return apr_psprintf(pool, "cannot be used: %s",
                        apr_strerror(status, text, sizeof text));
  }
  if (info.filetype != APR_DIR) return "is not a directory";
  return nullptr;
}

// Checked as it is read, so that a configuration test refuses it with the
// file and line, as it does any other wrong directive.
const char* SetApplication(cmd_parms* cmd, void* dir_config, const char* dir) {
  if (const char* fault = ApplicationFault(cmd->temp_pool, dir))
    return apr_psprintf(cmd->pool, "TagsmithApplication %s: %s", dir, fault);
  static_cast<DirConfig*>(dir_config)->app_dir = dir;
  return nullptr;
}

// Apache keeps every directive handler behind one unprototyped pointer
// type; the cast goes through void (*)() so that it names no signature.
template <typename Handler>
cmd_func AsCommand(Handler handler) {
  return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(handler));
}

}  // namespace

const command_rec kDirectives[] = {
    AP_INIT_TAKE1("TagsmithFilter", AsCommand(SetFilter), nullptr, RSRC_CONF,
                  "the filter library that hosts Tagsmith (server config)"),
    AP_INIT_TAKE1("TagsmithMaxHeld", AsCommand(SetMaxHeld), nullptr, RSRC_CONF,
                  "the most bytes a child process's responses hold at once; "
                  "a page that would pass it goes out untagged (server "
                  "config; default a quarter of the memory, at most 1 GiB)"),
    AP_INIT_FLAG("Tagsmith", AsCommand(SetEnabled), nullptr,
                 RSRC_CONF | ACCESS_CONF,
                 "On to pass responses through the filter, Off not to"),
    AP_INIT_TAKE1("TagsmithApplication", AsCommand(SetApplication), nullptr,
                  RSRC_CONF | ACCESS_CONF,
                  "the web application's directory, where its "
                  "tagsmith.config is (default: the document root)"),
    {},
};

void* CreateServerConfig(apr_pool_t* pool, server_rec*) {
  return apr_pcalloc(pool, sizeof(ServerConfig));
}

void* MergeServerConfig(apr_pool_t* pool, void* base, void* add) {
  auto* merged =
      static_cast<ServerConfig*>(apr_pmemdup(pool, add, sizeof(ServerConfig)));
  const auto* parent = static_cast<const ServerConfig*>(base);
  if (!merged->filter_path) {
    merged->filter_path = parent->filter_path;
    merged->filter_where = parent->filter_where;
  }
  if (!merged->max_held_set) {
    merged->max_held = parent->max_held;
    merged->max_held_set = parent->max_held_set;
  }
  return merged;
}

void* CreateDirConfig(apr_pool_t* pool, char*) {
  auto* config = static_cast<DirConfig*>(apr_pcalloc(pool, sizeof(DirConfig)));
  config->enabled = -1;
  return config;
}

void* MergeDirConfig(apr_pool_t* pool, void* base, void* add) {
  const auto* parent = static_cast<const DirConfig*>(base);
  const auto* child = static_cast<const DirConfig*>(add);
  auto* merged = static_cast<DirConfig*>(apr_palloc(pool, sizeof(DirConfig)));
  merged->enabled = child->enabled != -1 ? child->enabled : parent->enabled;
  merged->app_dir = child->app_dir ? child->app_dir : parent->app_dir;
  return merged;
}

bool CheckConfiguration(apr_pool_t*, server_rec* main_server) {
  bool good = true;
  ServerConfig* main_config = ServerConfigOf(main_server);
  if (main_config->filter_path) {
    try {
      host::FilterModule::CheckLoadable(main_config->filter_path);
    } catch (const std::exception& error) {
      ap_log_error(APLOG_MARK, APLOG_EMERG, 0, main_server,
                   "TagsmithFilter %s (%s): %s", main_config->filter_path,
                   main_config->filter_where, error.what());
      good = false;
    } catch (...) {
      ap_log_error(APLOG_MARK, APLOG_EMERG, 0, main_server,
                   "TagsmithFilter %s (%s): cannot be loaded",
                   main_config->filter_path, main_config->filter_where);
      good = false;
    }
  }
  int any_on = 0;
  for (server_rec* server = main_server; server; server = server->next)
    any_on |= ServerConfigOf(server)->tagsmith_on;
  main_config->any_on = any_on;
  if (any_on && !main_config->filter_path) {
    ap_log_error(APLOG_MARK, APLOG_EMERG, 0, main_server,
                 "Tagsmith On is set, but no TagsmithFilter names the "
                 "filter library");
    good = false;
  }
  return good;
}

}  // namespace tagsmith::apache
