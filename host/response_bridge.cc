// The structured-response bridge; see response_bridge.h.
#include "host/response_bridge.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "host/http_response.h"

namespace tagsmith::host {

namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kHeadEnd = "\r\n\r\n";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A token's characters, as a field name has them.
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c))
    return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// What a reason phrase or a field value may hold: tab, space, visible
// characters and bytes 0x80 to 0xFF; no other control byte.
bool IsTextChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == '\t' || (byte >= 0x20 && byte != 0x7F);
}

bool AllText(std::string_view text) {
  return std::all_of(text.begin(), text.end(), IsTextChar);
}

// Cuts the next CRLF-ended line off `rest`; false when there is none.
bool NextLine(std::string_view* rest, std::string_view* line) {
  const std::size_t end = rest->find(kCrlf);
  if (end == std::string_view::npos) return false;
  *line = rest->substr(0, end);
  rest->remove_prefix(end + kCrlf.size());
  return true;
}

bool ParseStatusLine(std::string_view line, ParsedHead* head) {
  constexpr std::string_view kVersion = "HTTP/1.";
  if (line.size() < 12 || line.substr(0, kVersion.size()) != kVersion ||
      !IsDigit(line[7]) || line[8] != ' ' || !IsDigit(line[9]) ||
      !IsDigit(line[10]) || !IsDigit(line[11]) || line[9] == '0')
    return false;
  head->status = static_cast<unsigned>(
      (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0'));
  if (line.size() == 12) return true;
  if (line[12] != ' ' || !AllText(line.substr(13))) return false;
  head->reason.assign(line.substr(13));
  return true;
}

bool ParseField(std::string_view line, ParsedHead* head) {
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = line.substr(colon + 1);
  if (!std::all_of(name.begin(), name.end(), IsTokenChar) || !AllText(value))
    return false;
  head->fields.emplace_back(std::string(name), std::string(Trim(value)));
  return true;
}

}  // namespace

void AppendStatusLine(std::string* head, unsigned status,
                      std::string_view reason) {
  head->append("HTTP/1.1 ");
  head->append(std::to_string(status));
  head->push_back(' ');
  head->append(reason);
  head->append(kCrlf);
}

void AppendField(std::string* head, std::string_view name,
                 std::string_view value) {
  assert(name.find_first_of(std::string_view("\r\n\0", 3)) ==
         std::string_view::npos);
  assert(value.find_first_of(std::string_view("\r\n\0", 3)) ==
         std::string_view::npos);
  head->append(name);
  head->append(": ");
  head->append(value);
  head->append(kCrlf);
}

void EndHead(std::string* head) { head->append(kCrlf); }

bool ParseContentLength(std::string_view text, std::uint64_t* length) {
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), IsDigit))
    return false;
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<unsigned>(c - '0');
  *length = value;
  return true;
}

bool ParseHead(std::string_view head, ParsedHead* out) {
  ParsedHead parsed;
  std::string_view rest = head;
  std::string_view line;
  if (!NextLine(&rest, &line) || !ParseStatusLine(line, &parsed)) return false;
  for (;;) {
    if (!NextLine(&rest, &line)) return false;
    if (line.empty()) break;
    if (!ParseField(line, &parsed)) return false;
  }
  if (!rest.empty()) return false;
  *out = std::move(parsed);
  return true;
}

const ParsedHead& ResponseBridge::changed() const {
  assert(state_ == Head::kChanged);
  return changed_;
}

std::size_t ResponseBridge::Take(std::string_view bytes) {
  if (state_ != Head::kPending) return 0;
  if (differs_) return TakeChanged(bytes);
  // While the bytes are the head given, nothing is copied.
  const std::size_t count = std::min(bytes.size(), head_.size() - matched_);
  if (bytes.substr(0, count) ==
      std::string_view(head_).substr(matched_, count)) {
    matched_ += count;
    if (matched_ == head_.size()) state_ = Head::kUnchanged;
    return count;
  }
  differs_ = true;
  written_.assign(head_, 0, matched_);
  return TakeChanged(bytes);
}

std::size_t ResponseBridge::TakeChanged(std::string_view bytes) {
  const std::size_t before = written_.size();
  const std::size_t room = kMaxHead + kHeadEnd.size() - before;
  written_.append(bytes.substr(0, room));
  // The end may straddle the bytes taken before and these.
  const std::size_t from = before >= 3 ? before - 3 : 0;
  const std::size_t end = written_.find(kHeadEnd, from);
  if (end == std::string::npos) {
    if (written_.size() > kMaxHead) state_ = Head::kBroken;
    return bytes.size();
  }
  written_.resize(end + kHeadEnd.size());
  state_ = ParseHead(written_, &changed_) ? Head::kChanged : Head::kBroken;
  return written_.size() - before;
}

void ResponseBridge::Finish() {
  if (state_ == Head::kPending) state_ = Head::kBroken;
}

}  // namespace tagsmith::host
