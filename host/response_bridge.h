// The bridge between a server that holds a response as a status and a header
// table (Apache, nginx) and the filter, which reads and writes the HTTP/1.1
// bytes of one response. The host builds the head the filter is given with
// AppendStatusLine/AppendField/EndHead; a ResponseBridge then follows what
// the filter lets out, tells the head from the body, and says whether the
// filter kept the head as it was (the host keeps its own table) or changed
// it (the host takes the parsed head). The bridge owns a copy of the head it
// was given and of a changed head; body bytes stay the caller's.
#ifndef TAGSMITH_HOST_RESPONSE_BRIDGE_H_
#define TAGSMITH_HOST_RESPONSE_BRIDGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tagsmith::host {

// "HTTP/1.1 200 OK\r\n". An empty reason gives "HTTP/1.1 200 \r\n".
void AppendStatusLine(std::string* head, unsigned status,
                      std::string_view reason);
// "Name: value\r\n". REQUIRES: no CR, LF or NUL in either.
void AppendField(std::string* head, std::string_view name,
                 std::string_view value);
// The blank line that ends the head.
void EndHead(std::string* head);

// A head as the filter wrote it, in order, repeated fields kept.
struct ParsedHead {
  unsigned status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> fields;
};

// Parses one whole head strictly: "HTTP/1.x DDD[ reason]" and CRLF, then
// fields "name: value" with a token for the name, the value trimmed of
// spaces and tabs, each ended by CRLF (no folded lines, no bare CR or LF,
// no NUL), then CRLF and nothing after it. Writes `out` only on success.
bool ParseHead(std::string_view head, ParsedHead* out);

// A Content-Length value as the filter writes it: 1 to 18 digits and
// nothing else. Writes `length` only on success.
bool ParseContentLength(std::string_view text, std::uint64_t* length);

class ResponseBridge {
 public:
  enum class Head {
    kPending,    // the filter has not yet written the whole head
    kUnchanged,  // it wrote the head it was given, byte for byte
    kChanged,    // it wrote another head, parsed into changed()
    kBroken,     // what it wrote does not parse, or ended inside the head
  };

  // The most bytes a changed head may have before it counts as broken.
  static constexpr std::size_t kMaxHead = 64 * 1024;

  // `head`: the bytes the filter is given, ended by the blank line.
  explicit ResponseBridge(std::string head) : head_(std::move(head)) {}

  const std::string& head() const { return head_; }
  Head state() const { return state_; }
  // REQUIRES: state() == kChanged.
  const ParsedHead& changed() const;

  // Takes the next bytes the filter let out, in order, and answers how many
  // from their front belong to the head; the rest are body. Once the state
  // is no longer kPending, every byte is body (0 is answered).
  std::size_t Take(std::string_view bytes);
  // The response has ended: a head still pending is broken.
  void Finish();

 private:
  std::size_t TakeChanged(std::string_view bytes);

  std::string head_;
  Head state_ = Head::kPending;
  std::size_t matched_ = 0;  // bytes that equal the head given so far
  bool differs_ = false;     // the filter's head is another one
  std::string written_;      // that head, while it comes
  ParsedHead changed_;
};

}  // namespace tagsmith::host

#endif  // TAGSMITH_HOST_RESPONSE_BRIDGE_H_
