// What `tagsmith check` finds in the text of a tagsmith.config, line by
// line, with the lines cut and the section headers told apart as the
// filter's profile reader (tagging/profile_reader.h) does: the sections, the
// lines of the keys of the first [ga1] block, and the lines the filter reads
// differently from what they seem to say. The values themselves are read
// with the filter's reader, not here. The scan owns what it returns; it
// keeps no view of the text.
#ifndef TAGSMITH_COMMANDS_CONFIG_SCAN_H_
#define TAGSMITH_COMMANDS_CONFIG_SCAN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tagsmith::host {

// The keys the filter reads in [ga1], in the order it reads them.
inline constexpr const char* kFilterKeys[] = {"InsertBeforeScriptBlock",
                                              "AppendAfterScriptBlock",
                                              "Account",
                                              "AlwaysSSL",
                                              "Diagnostics",
                                              "Snippet",
                                              "SnippetMarker"};
inline constexpr std::size_t kFilterKeyCount =
    sizeof(kFilterKeys) / sizeof(kFilterKeys[0]);

struct ConfigWarning {
  std::uint32_t line;  // counting from 1
  std::string text;    // without the line number
};

struct ConfigScan {
  std::vector<std::string> sections;  // header names as written, in order
  std::uint32_t ga1_line = 0;         // the first [ga1] header; 0: none
  // Byte offset just past the first [ga1] header's line end (the text's
  // size when it has none); 0 when there is no [ga1].
  std::size_t ga1_body = 0;
  // The line of each filter key in the first [ga1] block (kFilterKeys
  // order), the first line naming it; 0 where the key is not there.
  std::uint32_t key_lines[kFilterKeyCount] = {};
  std::vector<ConfigWarning> warnings;
};

// Scans the whole text. Warns of: a key of the first [ga1] block that the
// filter does not read (naming the nearest key it does), a line there with
// no '=', a key named twice there (the first wins), a filter key before any
// section header, and a second [ga1] block (never read).
ConfigScan ScanConfigText(std::string_view text);

// The filter key nearest to `name` by edit distance, ignoring ASCII case.
std::string NearestFilterKey(std::string_view name);

}  // namespace tagsmith::host

#endif  // TAGSMITH_COMMANDS_CONFIG_SCAN_H_
