// What the filter will use from an application directory's tagsmith.config,
// read with the filter's own profile reader and buffer sizes, and the
// warnings of `tagsmith check` about it (with the line numbers of
// commands/config_scan.h). The report owns its texts; `text` holds the file's
// bytes when it could be read, for the result probe.
#ifndef TAGSMITH_COMMANDS_CONFIG_REPORT_H_
#define TAGSMITH_COMMANDS_CONFIG_REPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands/config_scan.h"

namespace tagsmith::host {

struct ConfigReport {
  std::string path;       // DIR + "/tagsmith.config"
  bool readable = false;  // a regular file of at most 1 MiB, read
  std::string text;       // its bytes, when readable
  std::string account;    // as the filter uses it (at most 15 characters)
  bool secure_forced = false;
  std::uint32_t insert_before_length = 0;
  std::uint32_t append_after_length = 0;
  bool result_header = false;
  std::string snippet;  // the file named, when set
  std::size_t snippet_bytes = 0;
  std::string snippet_marker;   // set, or the snippet's own address
  std::string snippet_problem;  // the result word and why, when unusable
  std::uint32_t ga1_line = 0;
  std::size_t ga1_body = 0;           // see ConfigScan
  std::vector<std::string> warnings;  // "line N: ..." where a line is known
};

// Reads DIR/tagsmith.config. `web_user` is whose read access is checked
// (none: not checked).
ConfigReport ReportConfig(const std::string& dir,
                          const std::optional<std::string>& web_user);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_CONFIG_REPORT_H_
