// The text tests the property checks share: ASCII case folding and white
// space, header lines, and the status line and header lines of a response
// found as the filter must find them. Everything reads the caller's bytes.
#ifndef TAGSMITH_TESTS_CHECK_TEXT_H_
#define TAGSMITH_TESTS_CHECK_TEXT_H_

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tagsmith::checks {

inline constexpr std::size_t npos = std::string_view::npos;

inline constexpr std::string_view kMarkers[] = {
    "<script src=\"http://www.google-analytics.com/urchin.js\"",
    "<script src=\"https://ssl.google-analytics.com/urchin.js\""};

inline bool IsSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

inline unsigned char Lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

inline bool HasPrefixNoCase(std::string_view s, std::size_t at,
                            std::string_view p) {
  if (at > s.size() || s.size() - at < p.size()) return false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (Lower(s[at + i]) != Lower(p[i])) return false;
  }
  return true;
}

inline bool ContainsNoCase(std::string_view s, std::size_t from,
                           std::string_view p) {
  for (std::size_t at = from; at + p.size() <= s.size(); ++at) {
    if (HasPrefixNoCase(s, at, p)) return true;
  }
  return false;
}

// The rest of a header line from `at`: up to its first CR or LF.
inline std::string_view LineValue(std::string_view in, std::size_t at) {
  const std::size_t end = in.find_first_of("\r\n", at);
  return in.substr(at, (end == npos ? in.size() : end) - at);
}

// The status line and header lines of a response. The status line is the
// one holding the first "200" that is followed by white space (no CR may come
// before it); it ends at the next LF after that white-space byte. Header
// lines end with LF; the first line that begins with CR starts the body.
struct Head {
  bool complete = false;           // a 200 status line and headers with an end
  std::vector<std::size_t> lines;  // where each header line begins
  std::size_t bodyStart = 0;       // the CR that begins the empty line
};

inline Head ReadHead(std::string_view in) {
  Head head;
  std::size_t i = 0;
  while (!HasPrefixNoCase(in, i, "200")) {
    if (i >= in.size() || in[i] == '\r') return head;
    ++i;
  }
  if (i + 3 >= in.size() || !IsSpace(in[i + 3])) return head;
  std::size_t line = in.find('\n', i + 4);
  if (line == npos || ++line >= in.size()) return head;
  while (in[line] != '\r') {
    head.lines.push_back(line);
    const std::size_t end = in.find('\n', line);
    if (end == npos || end + 1 >= in.size()) return head;
    line = end + 1;
  }
  head.complete = true;
  head.bodyStart = line;
  return head;
}

inline std::string Where(std::string_view what, std::size_t at) {
  return std::string(what) + " (byte " + std::to_string(at) + ")";
}

// The first offset where a and b differ, or npos when they are equal.
inline std::size_t FirstDifference(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return i;
  }
  return a.size() == b.size() ? npos : n;
}

}  // namespace tagsmith::checks

#endif  // TAGSMITH_TESTS_CHECK_TEXT_H_
