// Drives the deflate walk against zlib. The input is either a page that
// zlib compresses (level, strategy, memory level, wrapper and flushes
// chosen by the input; the page repeated up to 100 KB so that there are
// resume points inside blocks), or a raw deflate stream taken as it is
// when zlib inflates it whole. For offsets the input picks, the walk from
// each of the last resume points before the offset must read the bytes
// zlib decoded (or fall back cleanly), and the re-encoded body with a text
// inserted must inflate to exactly the tagged page. A broken promise
// aborts.
//
// Input layout (FuzzedDataProvider): the choices from the end, the page
// or stream is the rest.
#include <fuzzer/FuzzedDataProvider.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "buffer/response_chain.h"
#include "tagging/body_coding.h"
#include "tagging/body_encoding.h"
#include "tagging/deflate_cut.h"
#include "tests/body_codings.h"

namespace {

using tagsmith::checks::Format;

void Check(bool promise) {
  if (!promise) std::abort();
}

// Compresses `page` in pieces, each ended by a flush the input picks.
std::string Compress(FuzzedDataProvider* in, const std::string& page,
                     Format format) {
  const int level = in->ConsumeIntegralInRange(0, 9);
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY,
                            Z_RLE, Z_FIXED};
  const int strategy = strategies[in->ConsumeIntegralInRange(0, 4)];
  const int memLevel = in->ConsumeIntegralInRange(1, 9);
  const int bits = format == Format::kGzip   ? 16 + MAX_WBITS
                   : format == Format::kZlib ? MAX_WBITS
                                             : -MAX_WBITS;
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, bits, memLevel, strategy) != Z_OK)
    std::abort();
  std::string out;
  const int flushes[] = {Z_NO_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH,
                         Z_PARTIAL_FLUSH, Z_BLOCK};
  std::size_t done = 0;
  int ret = Z_OK;
  while (ret != Z_STREAM_END) {
    std::size_t piece = in->ConsumeIntegralInRange<std::size_t>(1, 1 << 16);
    if (piece > page.size() - done) piece = page.size() - done;
    const int flush = done + piece == page.size()
                          ? Z_FINISH
                          : flushes[in->ConsumeIntegralInRange(0, 4)];
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(page.data() + done));
    s.avail_in = static_cast<uInt>(piece);
    done += piece;
    do {
      char buffer[16384];
      s.next_out = reinterpret_cast<Bytef*>(buffer);
      s.avail_out = sizeof buffer;
      ret = deflate(&s, flush);
      out.append(buffer, sizeof buffer - s.avail_out);
    } while (s.avail_out == 0 || (flush == Z_FINISH && ret != Z_STREAM_END));
  }
  deflateEnd(&s);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool asStream = in.ConsumeBool();
  const Format format =
      asStream ? Format::kRaw
               : static_cast<Format>(in.ConsumeIntegralInRange(0, 2));
  const unsigned repeat = in.ConsumeIntegralInRange(1, 64);
  const unsigned offsets = in.ConsumeIntegralInRange(1, 4);
  std::vector<std::uint32_t> picks;
  for (unsigned i = 0; i < offsets; ++i)
    picks.push_back(in.ConsumeIntegral<std::uint32_t>());
  std::string input;
  if (asStream) {
    input = in.ConsumeRemainingBytesAsString();
  } else {
    const std::string piece = in.ConsumeBytesAsString(in.remaining_bytes() / 2);
    std::string page;
    for (unsigned i = 0; i < repeat && page.size() < 100000; ++i) page += piece;
    if (page.empty()) return 0;
    input = Compress(&in, page, format);
  }
  if (input.size() < 2) return 0;

  ChunkNode node{nullptr, nullptr, input.data(),
                 static_cast<std::uint32_t>(input.size())};
  node.prev = &node;
  const ChainCursor first{&node, input.data()};
  DecodedBody decoded;
  const ContentCoding coding =
      format == Format::kGzip ? ContentCoding::kGzip : ContentCoding::kDeflate;
  if (DecodeBody(ProcessHeap(), coding, &first, &decoded) !=
      Decoding::kDecoded) {
    // zlib's own stream always decodes (a raw one may read as zlib).
    Check(asStream || format == Format::kRaw);
    return 0;
  }
  if (decoded.pageLength == 0) {
    ReleaseDecoded(ProcessHeap(), &decoded);
    return 0;
  }
  const std::string page(decoded.page, decoded.pageLength);
  const std::string insert = "<script>t()</script>";
  for (const std::uint32_t pick : picks) {
    const std::uint64_t at = pick % decoded.pageLength;
    // The walks from the last few resume points before the offset: each
    // must cross what follows it (later blocks too) as zlib did.
    std::uint32_t last = 0;
    while (last < decoded.resumes.count &&
           decoded.resumes.items[last].pageBytes <= at)
      ++last;
    for (std::uint32_t r = last > 6 ? last - 6 : 0; r < last; ++r) {
      DeflateCut cut;
      const Walk walk =
          FindCut(ProcessHeap(), first, decoded.page, decoded.pageLength,
                  decoded.resumes.items[r], at, &cut);
      Check(walk != Walk::kMismatch && walk != Walk::kNoMemory);
      if (walk == Walk::kCut) {
        Check(cut.pageBytes <= at && at - cut.pageBytes < 258);
        Check(cut.bit <= std::uint64_t{input.size()} * 8);
      }
    }
    const InsertText text{insert.data(),
                          static_cast<std::uint32_t>(insert.size())};
    std::uint64_t kept = 0;
    HeapBuffer tail{nullptr, 0, 0};
    Check(EncodeTagged(ProcessHeap(), decoded, at, &text, 1, &kept, &tail));
    Check(kept <= input.size());
    const std::string out =
        input.substr(0, kept) + std::string(tail.bytes, tail.length);
    ReleaseBuffer(ProcessHeap(), &tail);
    const Format outFormat = decoded.format == BodyFormat::kGzip ? Format::kGzip
                             : decoded.format == BodyFormat::kZlib
                                 ? Format::kZlib
                                 : Format::kRaw;
    const auto inflated = tagsmith::checks::Inflate(out, outFormat);
    Check(inflated.has_value() &&
          *inflated == page.substr(0, at) + insert + page.substr(at));
  }
  ReleaseDecoded(ProcessHeap(), &decoded);
  return 0;
}
