// See http_response.h.
#include "host/http_response.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>

namespace tagsmith::host {

namespace {

// A header block longer than this is not one of ours.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

const char* ReasonPhrase(unsigned status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 417:
      return "Expectation Failed";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

std::string SerializeHead(unsigned status, const HeaderFields& fields) {
  // Sized first, then copied into place: one allocation for the block and
  // no per-piece bookkeeping.
  const std::string_view reason = ReasonPhrase(status);
  const std::string code = std::to_string(status);
  std::size_t size = 9 + code.size() + 1 + reason.size() + 4;
  for (const auto& field : fields)
    size += field.first.size() + 2 + field.second.size() + 2;
  std::string head(size, '\0');
  char* at = &head[0];
  auto put = [&at](std::string_view piece) {
    std::memcpy(at, piece.data(), piece.size());
    at += piece.size();
  };
  put("HTTP/1.1 ");
  put(code);
  put(" ");
  put(reason);
  put("\r\n");
  for (const auto& field : fields) {
    assert(field.first.find_first_of(std::string("\r\n\0", 3)) ==
               std::string::npos &&
           field.second.find_first_of(std::string("\r\n\0", 3)) ==
               std::string::npos);
    put(field.first);
    put(": ");
    put(field.second);
    put("\r\n");
  }
  put("\r\n");
  assert(at == head.data() + head.size());
  return head;
}

namespace {

// A moment in UTC, split into its calendar fields.
struct CivilTime {
  long long year;
  int month;    // 1..12
  int day;      // 1..31
  int weekday;  // 0 Sunday .. 6 Saturday
  int hour, minute, second;
};

// Seconds since 1970-01-01 to a civil date (proleptic Gregorian), without
// the C library's non-reentrant gmtime.
CivilTime ToCivil(long long seconds) {
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  CivilTime civil;
  civil.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  civil.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  civil.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  civil.year = yoe + era * 400 + (civil.month <= 2 ? 1 : 0);
  civil.hour = static_cast<int>(rest / 3600);
  civil.minute = static_cast<int>(rest / 60 % 60);
  civil.second = static_cast<int>(rest % 60);
  return civil;
}

// Writes `value` (0 <= value < 10^width) as `width` decimal digits at `at`;
// answers the position after them. printf's "%0*d" without its parsing,
// which showed in the profile of every response (two dates a head).
char* Digits(char* at, long long value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at + width;
}

char* Text(char* at, const char* text) {
  while (*text) *at++ = *text++;
  return at;
}

}  // namespace

std::string HttpDate(std::time_t when) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed",
                                      "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr",
                                        "May", "Jun", "Jul", "Aug",
                                        "Sep", "Oct", "Nov", "Dec"};
  const CivilTime t = ToCivil(static_cast<long long>(when));
  char text[64];
  if (t.year < 0 || t.year > 9999) {
    std::snprintf(text, sizeof text, "%s, %02d %s %04lld %02d:%02d:%02d GMT",
                  kDays[t.weekday], t.day, kMonths[t.month - 1], t.year, t.hour,
                  t.minute, t.second);
    return text;
  }
  char* at = Text(text, kDays[t.weekday]);
  at = Text(at, ", ");
  at = Digits(at, t.day, 2);
  *at++ = ' ';
  at = Text(at, kMonths[t.month - 1]);
  *at++ = ' ';
  at = Digits(at, t.year, 4);
  *at++ = ' ';
  at = Digits(at, t.hour, 2);
  *at++ = ':';
  at = Digits(at, t.minute, 2);
  *at++ = ':';
  at = Digits(at, t.second, 2);
  at = Text(at, " GMT");
  return std::string(text, at);
}

std::string LogTime(std::chrono::system_clock::time_point when) {
  const long long millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(
          when.time_since_epoch())
          .count();
  long long seconds = millis / 1000;
  long long fraction = millis % 1000;
  if (fraction < 0) {
    fraction += 1000;
    --seconds;
  }
  const CivilTime t = ToCivil(seconds);
  char text[64];
  if (t.year < 0 || t.year > 9999) {
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03lldZ",
                  t.year, t.month, t.day, t.hour, t.minute, t.second, fraction);
    return text;
  }
  char* at = Digits(text, t.year, 4);
  *at++ = '-';
  at = Digits(at, t.month, 2);
  *at++ = '-';
  at = Digits(at, t.day, 2);
  *at++ = 'T';
  at = Digits(at, t.hour, 2);
  *at++ = ':';
  at = Digits(at, t.minute, 2);
  *at++ = ':';
  at = Digits(at, t.second, 2);
  *at++ = '.';
  at = Digits(at, fraction, 3);
  *at++ = 'Z';
  return std::string(text, at);
}

void ChunkedWatch::Observe(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    switch (state_) {
      case State::kSizeFirst:
      case State::kSize: {
        const int digit = HexDigit(c);
        if (digit >= 0 && digits_ < 15) {
          size_ = size_ * 16 + static_cast<unsigned>(digit);
          ++digits_;
          state_ = State::kSize;
        } else if (state_ == State::kSize && (c == ';' || c == '\r')) {
          state_ = c == ';' ? State::kExtension : State::kSizeLf;
        } else {
          state_ = State::kBroken;
        }
        break;
      }
      case State::kExtension:
        if (c == '\r')
          state_ = State::kSizeLf;
        else if (c == '\n')
          state_ = State::kBroken;
        break;
      case State::kSizeLf:
        if (c != '\n')
          state_ = State::kBroken;
        else
          state_ = size_ == 0 ? State::kTrailerStart : State::kData;
        break;
      case State::kData: {
        // Data bytes are skipped in bulk, not looked at.
        const std::uint64_t take =
            std::min<std::uint64_t>(size_, bytes.size() - i);
        size_ -= take;
        i += static_cast<std::size_t>(take) - 1;
        if (size_ == 0) state_ = State::kDataCr;
        break;
      }
      case State::kDataCr:
        state_ = c == '\r' ? State::kDataLf : State::kBroken;
        break;
      case State::kDataLf:
        state_ = c == '\n' ? State::kSizeFirst : State::kBroken;
        digits_ = 0;
        break;
      case State::kTrailerStart:
        state_ = c == '\r'   ? State::kEndLf
                 : c == '\n' ? State::kBroken
                             : State::kTrailer;
        break;
      case State::kTrailer:
        if (c == '\r')
          state_ = State::kTrailerLf;
        else if (c == '\n')
          state_ = State::kBroken;
        break;
      case State::kTrailerLf:
        state_ = c == '\n' ? State::kTrailerStart : State::kBroken;
        break;
      case State::kEndLf:
        state_ = c == '\n' ? State::kEnded : State::kBroken;
        break;
      case State::kEnded:  // bytes after the body's end
      case State::kBroken:
        state_ = State::kBroken;
        return;
    }
  }
}

void SentFraming::Observe(std::string_view bytes) {
  bytes_sent_ += bytes.size();
  if (head_done_) {
    ObserveBody(bytes);
    return;
  }
  if (head_broken_) return;
  // The usual case, a whole head in the first window of the first send:
  // read where it lies, not copied first.
  if (head_.empty()) {
    const std::size_t end = bytes.substr(0, kUsualHead).find("\r\n\r\n");
    if (end != std::string_view::npos) {
      head_done_ = true;
      ReadHead(bytes.substr(0, end + 4));
      std::string().swap(head_);  // frees it, allocating nothing
      ObserveBody(bytes.substr(end + 4));
      return;
    }
  }
  // A window at a time, so that only the head itself is kept (bytes of the
  // body may follow it in the same send).
  std::size_t used = 0;
  while (used < bytes.size()) {
    const std::size_t before = head_.size();
    const std::string_view window = bytes.substr(used, kUsualHead);
    head_.append(window);
    const std::size_t end =
        head_.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    if (end != std::string::npos) {
      const std::size_t head_size = end + 4;
      used += head_size - before;
      head_done_ = true;
      head_.resize(head_size);
      ReadHead(head_);
      std::string().swap(head_);  // frees it, allocating nothing
      ObserveBody(bytes.substr(used));
      return;
    }
    used += window.size();
    if (head_.size() > kMaxHeadBytes) {
      head_broken_ = true;
      return;
    }
  }
}

void SentFraming::CountUnseenBody(std::uint64_t size) {
  if (size == 0) return;
  bytes_sent_ += size;
  body_bytes_ += size;
  if (!head_done_ || chunked_) head_broken_ = true;
}

void SentFraming::ObserveBody(std::string_view bytes) {
  body_bytes_ += bytes.size();
  if (chunked_ && !head_request_) chunks_.Observe(bytes);
}

void SentFraming::ReadHead(std::string_view head) {
  int lengths = 0, transfer_codings = 0;
  std::size_t start = head.find("\r\n");  // skip the status line
  while (start != std::string_view::npos && start + 2 < head.size()) {
    start += 2;
    const std::size_t end = head.find("\r\n", start);
    if (end == std::string_view::npos || end == start) break;
    std::string_view line(head.data() + start, end - start);
    start = end;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = Trim(line.substr(0, colon));
    if (EqualNoCase(name, "transfer-encoding")) {
      ++transfer_codings;
      chunked_ = EqualNoCase(Trim(line.substr(colon + 1)), "chunked");
      continue;
    }
    if (!EqualNoCase(name, "content-length")) continue;
    ++lengths;
    std::string_view value = Trim(line.substr(colon + 1));
    std::uint64_t length = 0;
    bool valid = !value.empty() && value.size() <= 18;
    for (char c : value) {
      if (c < '0' || c > '9') valid = false;
      length = length * 10 + static_cast<unsigned>(c - '0');
    }
    if (!valid) head_broken_ = true;
    content_length_ = length;
  }
  // One Content-Length, or chunked alone: a response may not carry both,
  // and any other transfer coding leaves its end to the connection's close.
  const bool usable = transfer_codings == 0
                          ? lengths == 1
                          : transfer_codings == 1 && chunked_ && lengths == 0;
  if (!usable) head_broken_ = true;
}

bool SentFraming::Complete() const {
  if (!head_done_) return false;
  // No body may follow, whatever the fields say of the body GET would get.
  if (head_request_) return body_bytes_ == 0;
  if (head_broken_) return false;
  return chunked_ ? chunks_.Ended() : body_bytes_ == content_length_;
}

}  // namespace tagsmith::host
