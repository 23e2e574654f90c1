// The recorded behaviour table of the platform's profile reader
// (cases.tsv in the shared test data): its escaping, its rows' fields, and
// the rows where our reader is known to differ. Shared by the Linux test
// and the Windows check program, so both read the table the same way.
#ifndef TAGSMITH_TESTS_PROFILE_TABLE_H_
#define TAGSMITH_TESTS_PROFILE_TABLE_H_

#include <cctype>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tagsmith::profile_table {

// Rows where our reader returns the file's bytes unchanged and the platform
// reader converts them to the ANSI code page. Matching them would mean
// decoding UTF-8 and UTF-16 and carrying a code page table.
inline const std::map<std::string, std::string> kKnownDifferences = {
    {"bom_utf8_nonascii",
     "UTF-8 file with a BOM: the platform converts the value to code page "
     "1252 (e-acute to E9, euro to 80, best fit, '?'); ours returns the UTF-8 "
     "bytes"},
    {"utf16le_bom_account",
     "UTF-16LE file: the platform decodes it; ours reads bytes, so no header "
     "matches and it returns 0"},
    {"utf16le_bom_nonascii",
     "UTF-16LE file: the platform decodes it and converts U+00E9 to E9; ours "
     "returns 0"},
};

// The table's escaping: bytes 0x20-0x7E stand for themselves but the
// backslash, written "\\"; every other byte is "\xHH".
inline std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c <= 0x7E) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// Undoes Escape; false when a backslash starts anything else.
inline bool Unescape(const std::string& in, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      *out += in[i];
    } else if (i + 1 < in.size() && in[i + 1] == '\\') {
      *out += '\\';
      ++i;
    } else if (i + 3 < in.size() && in[i + 1] == 'x' &&
               std::isxdigit(static_cast<unsigned char>(in[i + 2])) &&
               std::isxdigit(static_cast<unsigned char>(in[i + 3]))) {
      *out += static_cast<char>(std::stoi(in.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

// A row's tab-separated fields, an empty last field included.
inline std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.push_back("");
  return fields;
}

}  // namespace tagsmith::profile_table

#endif  // TAGSMITH_TESTS_PROFILE_TABLE_H_
