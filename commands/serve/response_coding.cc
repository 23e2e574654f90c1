// See response_coding.h.
#include "commands/serve/response_coding.h"

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <utility>

namespace tagsmith::host {

namespace {

// Cuts `*text` at the first `separator`: answers what came before it and
// leaves the rest (everything, when there is none, leaving nothing).
std::string_view Next(std::string_view* text, char separator) {
  const std::size_t at = text->find(separator);
  const std::string_view piece = text->substr(0, at);
  text->remove_prefix(at == std::string_view::npos ? text->size() : at + 1);
  return piece;
}

// A weight as "q=" gives it: "0" to "1" with at most three decimals. False
// for anything else, which then accepts nothing.
bool WeightAboveZero(std::string_view value, bool* above_zero) {
  if (value.empty() || (value[0] != '0' && value[0] != '1')) return false;
  if (value.size() > 1 && (value[1] != '.' || value.size() > 5)) return false;
  bool nonzero = value[0] == '1';
  for (char c : value.substr(std::min<std::size_t>(2, value.size()))) {
    if (c < '0' || c > '9' || (value[0] == '1' && c != '0')) return false;
    if (c != '0') nonzero = true;
  }
  *above_zero = nonzero;
  return true;
}

bool IsHtml(std::string_view content_type) {
  std::string_view rest = content_type;
  return EqualNoCase(Trim(Next(&rest, ';')), "text/html");
}

}  // namespace

std::uint64_t CompressedBound(std::uint64_t size) {
  // zlib's bound for its own wrapper, and the larger gzip header and
  // trailer on top.
  return size + (size >> 12) + (size >> 14) + (size >> 25) + 13 + 18;
}

bool AcceptsGzip(std::string_view accept_encoding) {
  // -1: not named; 0: refused; 1: accepted.
  int gzip = -1, any = -1;
  std::string_view list = accept_encoding;
  while (!list.empty()) {
    std::string_view element = Next(&list, ',');
    const std::string_view coding = Trim(Next(&element, ';'));
    bool accepted = true;
    while (!element.empty()) {
      std::string_view parameter = Trim(Next(&element, ';'));
      const std::string_view name = Trim(Next(&parameter, '='));
      if (EqualNoCase(name, "q") &&
          !WeightAboveZero(Trim(parameter), &accepted))
        accepted = false;
    }
    if (EqualNoCase(coding, "gzip") || EqualNoCase(coding, "x-gzip"))
      gzip = std::max(gzip, accepted ? 1 : 0);
    else if (coding == "*")
      any = std::max(any, accepted ? 1 : 0);
  }
  return gzip >= 0 ? gzip == 1 : any == 1;
}

ResponseCoder::ResponseCoder(const CodingOptions& options,
                             const CodingRequest& request) {
  bodiless_ = request.status == 304;
  vary_ = options.gzip && (request.status == 200 || bodiless_) &&
          IsHtml(request.content_type) &&
          request.body_size <= kMaxCompressedPage;
  gzip_ = vary_ && !bodiless_ && AcceptsGzip(request.accept_encoding);
  // A 304 has no body, so nothing to frame.
  chunked_ = options.chunked && request.http11 && !bodiless_;
}

void ResponseCoder::Compress(std::string* body) {
  assert(gzip_);
  z_stream stream{};
  // Window bits 15 + 16: a gzip header and trailer around the deflate data.
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    gzip_ = false;
    return;
  }
  std::string out;
  out.resize(deflateBound(&stream, static_cast<uLong>(body->size())));
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body->data()));
  stream.avail_in = static_cast<uInt>(body->size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  // The bound holds the whole stream, so one call finishes it.
  const int result = deflate(&stream, Z_FINISH);
  const std::size_t produced = out.size() - stream.avail_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END) {
    gzip_ = false;
    return;
  }
  out.resize(produced);
  body->swap(out);
}

void ResponseCoder::SetFields(std::uint64_t length,
                              HeaderFields* fields) const {
  // The framing field takes the Content-Length's place, so that a response
  // the options leave alone keeps its fields as they were.
  std::pair<std::string, std::string> framing =
      chunked_ ? std::make_pair(std::string("Transfer-Encoding"),
                                std::string("chunked"))
               : std::make_pair(std::string("Content-Length"),
                                std::to_string(length));
  auto at = std::find_if(fields->begin(), fields->end(), [](const auto& f) {
    return EqualNoCase(f.first, "Content-Length");
  });
  if (bodiless_) {
    if (at != fields->end()) fields->erase(at);
  } else if (at == fields->end()) {
    fields->push_back(std::move(framing));
  } else {
    *at = std::move(framing);
  }
  if (gzip_) fields->emplace_back("Content-Encoding", "gzip");
  if (vary_) fields->emplace_back("Vary", "Accept-Encoding");
}

std::string ResponseCoder::Piece(std::string_view data) const {
  if (!chunked_) return std::string(data);
  if (data.empty()) return std::string();
  char size[24];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  std::string chunk = size;
  chunk.reserve(chunk.size() + data.size() + 2);
  chunk.append(data);
  chunk.append("\r\n");
  return chunk;
}

std::string_view ResponseCoder::End() const {
  return chunked_ ? std::string_view("0\r\n\r\n") : std::string_view();
}

}  // namespace tagsmith::host
