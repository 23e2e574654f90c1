// Chunk framing and gzip/zlib/raw-deflate streams for the tests and the
// property checker: building them, and reading them by the rules the
// filter promises to follow, written apart from the filter's own code.
#ifndef TAGSMITH_TESTS_BODY_CODINGS_H_
#define TAGSMITH_TESTS_BODY_CODINGS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tagsmith::checks {

// A well-formed chunked body, taken apart. Offsets are into the body.
struct Deframed {
  struct Chunk {
    std::size_t sizeLine;   // its first digit
    std::size_t digitsEnd;  // just after its last digit
    std::size_t data;       // its first data byte
    std::size_t size;
  };
  std::string data;           // the chunks' data, in order
  std::vector<Chunk> chunks;  // the chunks of non-zero size
  std::size_t lastChunk = 0;  // the first digit of the size-0 chunk
};

// Whether a chunked body has begun its framing (its first byte is a hex
// digit).
bool BeginsFramed(std::string_view body);

// The body taken apart when it is framed well to its very end; nullopt
// otherwise.
std::optional<Deframed> Deframe(std::string_view body);

// Frames `data` in chunks of the sizes given, repeated as needed (0 means
// one chunk of everything), each size line with `extension` ("" for none),
// then the last chunk, `trailers` (whole lines) and CRLF.
std::string Frame(std::string_view data, const std::vector<std::size_t>& sizes,
                  std::string_view extension = "",
                  std::string_view trailers = "");

enum class Format { kGzip, kZlib, kRaw };

std::string Compress(std::string_view page, Format format, int level = 6);

// How a body announced with a content coding reads.
enum class Reading { kPlain, kDecoded, kUntouched };

// Reads `bytes` under the announced `gzip` (true) or deflate content
// coding: the page and its format when decoded. Untouched: a broken gzip
// or zlib stream, or a zlib stream that needs a preset dictionary.
Reading ReadCoded(bool gzip, std::string_view bytes, std::string* page,
                  Format* format);

// The largest page the filter decodes.
inline constexpr std::size_t kDecodedLimit = 64u * 1024 * 1024;

// Whether a body taken as a plain page reads as markup: its first byte
// after spaces, TABs, CRs, LFs and one UTF-8 byte order mark is "<".
bool ReadsAsMarkup(std::string_view body);

// Inflates one whole stream of `format` that ends exactly at the end of
// `bytes`, into at most `limit` bytes; nullopt otherwise.
std::optional<std::string> Inflate(std::string_view bytes, Format format,
                                   std::size_t limit = kDecodedLimit);

}  // namespace tagsmith::checks

#endif  // TAGSMITH_TESTS_BODY_CODINGS_H_
