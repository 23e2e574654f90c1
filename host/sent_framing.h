// A watch on the bytes that reached the client for one response, so that
// `tagsmith serve` keeps the connection only when the client can tell
// where the response ended. It reads the caller's bytes as they are sent
// and keeps only a copy of the header block until its end is seen.
#ifndef TAGSMITH_HOST_SENT_FRAMING_H_
#define TAGSMITH_HOST_SENT_FRAMING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tagsmith::host {

// Follows a chunked body as it goes out, byte by byte across sends: chunk
// size lines (1 to 15 hex digits, optionally ";" and an extension, CRLF),
// that many data bytes and CRLF, the last chunk of size 0, trailer lines,
// and the blank line that ends the body. Anything else breaks it for good.
class ChunkedWatch {
 public:
  void Observe(std::string_view bytes);
  // Counts `size` bytes of a body that is not chunked, sent without being
  // read here (from a file by the kernel). Before the whole head, or after
  // a chunked one, the framing can no longer be followed: not Complete.
  void CountUnseenBody(std::uint64_t size);
  // The body ended well, and nothing came after it.
  bool Ended() const { return state_ == State::kEnded; }

 private:
  enum class State {
    kSizeFirst,
    kSize,
    kExtension,
    kSizeLf,
    kData,
    kDataCr,
    kDataLf,
    kTrailerStart,
    kTrailer,
    kTrailerLf,
    kEndLf,
    kEnded,
    kBroken
  };
  State state_ = State::kSizeFirst;
  std::uint64_t size_ = 0;  // the size line's value, then the data left
  int digits_ = 0;
};

// Follows the bytes sent to the client for one response: finds the end of
// its header block, reads how its body is framed (one Content-Length, or
// Transfer-Encoding: chunked alone), and follows the body.
class SentFraming {
 public:
  // `head_request`: the response answers HEAD or is a 304, so no body may
  // follow, and its framing fields need not frame anything.
  // Takes the room of a usual header block at once (throws std::bad_alloc),
  // so that following the head once it has gone needs no more.
  explicit SentFraming(bool head_request) : head_request_(head_request) {
    head_.reserve(kUsualHead);
  }

  void Observe(std::string_view bytes);
  // Counts `size` bytes of a body that is not chunked, sent without being
  // read here (from a file by the kernel). Before the whole head, or after
  // a chunked one, the framing can no longer be followed: not Complete.
  void CountUnseenBody(std::uint64_t size);

  // True when what went out is one whole response the client can find the
  // end of: exactly one valid Content-Length and exactly that many body
  // bytes, or a chunked body that ended well with nothing after it (for
  // HEAD or a 304: the whole head and no body). The next response on the
  // connection then starts where the client expects.
  bool Complete() const;

  std::uint64_t bytes_sent() const { return bytes_sent_; }

 private:
  static constexpr std::size_t kUsualHead = 1024;

  void ReadHead(std::string_view head);  // the whole header block
  void ObserveBody(std::string_view bytes);

  bool head_request_;
  std::uint64_t bytes_sent_ = 0;
  std::string head_;  // the header block until its end is seen
  bool head_done_ = false;
  bool head_broken_ = false;  // too long, or its framing unusable
  bool chunked_ = false;
  std::uint64_t content_length_ = 0;
  std::uint64_t body_bytes_ = 0;
  ChunkedWatch chunks_;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_SENT_FRAMING_H_
