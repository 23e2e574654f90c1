// See sent_framing.h.
#include "host/sent_framing.h"

#include <algorithm>

#include "host/http_response.h"

namespace tagsmith::host {

namespace {

// A header block longer than this is not one of ours.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

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
