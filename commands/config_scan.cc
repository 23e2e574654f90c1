// `tagsmith check`'s scan of a tagsmith.config; see config_scan.h.
#include "commands/config_scan.h"

#include <algorithm>

namespace tagsmith::host {

namespace {

// The reader's blanks and line ends (tagging/profile_reader.cc).
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' ||
         c == '\x1a';
}
char Fold(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return Fold(x) == Fold(y); });
}

int FilterKeyIndex(std::string_view name) {
  for (std::size_t i = 0; i < kFilterKeyCount; ++i)
    if (SameName(name, kFilterKeys[i])) return static_cast<int>(i);
  return -1;
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] =
          std::min({row[j] + 1, row[j - 1] + 1,
                    diagonal + (Fold(a[i - 1]) == Fold(b[j - 1]) ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

}  // namespace

std::string NearestFilterKey(std::string_view name) {
  // A key cut short is taken for the key it begins ("AppendAfter").
  if (!name.empty())
    for (const char* key : kFilterKeys)
      if (SameName(name, std::string_view(key).substr(0, name.size())))
        return key;
  const char* best = kFilterKeys[0];
  std::size_t best_distance = EditDistance(name, best);
  for (const char* key : kFilterKeys) {
    const std::size_t distance = EditDistance(name, key);
    if (distance < best_distance) {
      best = key;
      best_distance = distance;
    }
  }
  return best;
}

ConfigScan ScanConfigText(std::string_view text) {
  ConfigScan scan;
  enum class Where { kBeforeAny, kFirstGa1, kOther } where = Where::kBeforeAny;
  std::size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  std::uint32_t number = 0;
  while (pos < text.size()) {
    // A CR LF pair ends one line; a lone CR or LF ends one too.
    std::size_t end = text.find_first_of("\r\n", pos);
    std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end != std::string_view::npos && text[end] == '\r' &&
        next < text.size() && text[next] == '\n') {
      ++next;
    }
    std::string_view line = text.substr(
        pos, (end == std::string_view::npos ? text.size() : end) - pos);
    line = line.substr(0, line.find('\0'));  // a NUL ends the line's content
    pos = next;
    ++number;
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty()) continue;

    const std::size_t close = trimmed.rfind(']');
    if (trimmed.front() == '[' && close != std::string_view::npos) {
      const std::string_view name = Trim(trimmed.substr(1, close - 1));
      scan.sections.emplace_back(name);
      if (!SameName(name, "ga1")) {
        where = Where::kOther;
      } else if (scan.ga1_line == 0) {
        scan.ga1_line = number;
        scan.ga1_body = pos;
        where = Where::kFirstGa1;
      } else {
        scan.warnings.push_back(
            {number,
             "a second [ga1] section: the filter reads only the "
             "first, at line " +
                 std::to_string(scan.ga1_line)});
        where = Where::kOther;
      }
      continue;
    }
    if (trimmed.front() == '[') continue;  // no ']': the reader skips it

    const std::size_t equals = trimmed.find('=');
    const std::string_view key = Trim(trimmed.substr(0, equals));
    const int index = FilterKeyIndex(key);
    if (where == Where::kBeforeAny) {
      if (index >= 0)
        scan.warnings.push_back(
            {number, Quoted(key) +
                         " is before any section header, so the "
                         "filter never reads it; put it under [ga1]"});
      continue;
    }
    if (where != Where::kFirstGa1) continue;
    if (equals == std::string_view::npos) {
      scan.warnings.push_back(
          {number, "no '=' on the line " + Quoted(trimmed) +
                       ": the filter reads it as a key with an empty value"});
      if (index < 0) continue;
    } else if (index < 0) {
      scan.warnings.push_back(
          {number, Quoted(key) +
                       " is not a key the filter reads (the "
                       "nearest is '" +
                       NearestFilterKey(key) + "')"});
      continue;
    }
    std::uint32_t& first = scan.key_lines[index];
    if (first == 0) {
      first = number;
    } else {
      scan.warnings.push_back(
          {number, std::string(kFilterKeys[index]) +
                       " is set again: the filter uses the first, at line " +
                       std::to_string(first)});
    }
  }
  return scan;
}

}  // namespace tagsmith::host
