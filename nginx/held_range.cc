// The range decision of a held response; see held_range.h.
#include "nginx/held_range.h"

#include <limits>

#include "host/http_response.h"

namespace tagsmith::nginx_host {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number that is the whole of `text`; false when empty, not all
// digits, or too big for 64 bits.
bool ParseNumber(std::string_view text, std::uint64_t* value) {
  if (text.empty()) return false;
  std::uint64_t number = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (number > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
      return false;
    number = number * 10 + digit;
  }
  *value = number;
  return true;
}

bool IsStrongTag(std::string_view tag) {
  return tag.size() >= 2 && tag.front() == '"' && tag.back() == '"';
}

bool StartsWithBytes(std::string_view text) {
  constexpr std::string_view kUnit = "bytes=";
  if (text.size() < kUnit.size()) return false;
  for (std::size_t i = 0; i < kUnit.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kUnit[i]) return false;
  }
  return true;
}

}  // namespace

bool ChooseRange(std::string_view range, std::string_view if_range,
                 std::string_view etag, std::uint64_t length, ByteSpan* span) {
  if_range = host::Trim(if_range);
  if (!if_range.empty() &&
      (!IsStrongTag(if_range) || !IsStrongTag(etag) || if_range != etag))
    return false;
  range = host::Trim(range);
  if (length == 0 || !StartsWithBytes(range)) return false;
  const std::string_view bounds = host::Trim(range.substr(6));
  const std::size_t dash = bounds.find('-');
  if (dash == std::string_view::npos ||
      bounds.find(',') != std::string_view::npos)
    return false;
  const std::string_view from = host::Trim(bounds.substr(0, dash));
  const std::string_view to = host::Trim(bounds.substr(dash + 1));
  ByteSpan chosen;
  if (from.empty()) {
    std::uint64_t suffix = 0;
    if (!ParseNumber(to, &suffix) || suffix == 0) return false;
    chosen.first = suffix >= length ? 0 : length - suffix;
    chosen.last = length - 1;
  } else {
    if (!ParseNumber(from, &chosen.first) || chosen.first >= length)
      return false;
    chosen.last = length - 1;
    std::uint64_t last = 0;
    if (!to.empty()) {
      if (!ParseNumber(to, &last) || last < chosen.first) return false;
      if (last < chosen.last) chosen.last = last;
    }
  }
  *span = chosen;
  return true;
}

}  // namespace tagsmith::nginx_host
