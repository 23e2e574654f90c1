// Re-encoding a compressed page with a text inserted: the walk cuts the
// stream after the last whole symbol before the insertion point, and the
// body that results decodes to exactly the tagged page, for each block
// kind and wrapper, wherever the point lies in its block, and with every
// working-heap allocation refused.
#include "tagging/body_encoding.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tagging/body_coding.h"
#include "tagging/deflate_cut.h"
#include "tests/body_codings.h"
#include "tests/chain_builder.h"

namespace tagsmith::testing {
namespace {

using checks::Format;

std::string Page(std::size_t size) {
  std::string page = "<html><body>\n";
  for (unsigned i = 0; page.size() < size; ++i) {
    page += "<tr><td>" + std::to_string(i * 2654435761u % 99991) +
            "</td><td class=\"c" + std::to_string(i % 7) + "\">row " +
            std::to_string(i) + "</td></tr>\n";
  }
  return page + "</body></html>\n";
}

// Compressed whole, or with a sync flush every `flushEvery` bytes (so
// with an empty stored block after each piece).
std::string Deflate(const std::string& page, Format format, int level,
                    int strategy, int memLevel, std::size_t flushEvery) {
  const int bits = format == Format::kGzip   ? 16 + MAX_WBITS
                   : format == Format::kZlib ? MAX_WBITS
                                             : -MAX_WBITS;
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, bits, memLevel, strategy);
  std::string out(deflateBound(&s, page.size()), '\0');
  const std::size_t pieces = flushEvery == 0 ? 1 : page.size() / flushEvery + 1;
  out.resize(out.size() + pieces * 8);
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  for (std::size_t from = 0; from < page.size();) {
    const std::size_t piece = flushEvery == 0 ? page.size() : flushEvery;
    const std::size_t length = std::min(piece, page.size() - from);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(page.data() + from));
    s.avail_in = static_cast<uInt>(length);
    from += length;
    deflate(&s, from == page.size() ? Z_FINISH : Z_SYNC_FLUSH);
  }
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// Refuses its `refuse`th allocation (counting from 0); -1 refuses none.
struct Refusing {
  int refuse;
  int count;
};
void* RefusingAllocate(void* opaque, std::size_t size) {
  auto* r = static_cast<Refusing*>(opaque);
  return r->count++ == r->refuse ? nullptr : std::malloc(size);
}
void RefusingRelease(void*, void* block) { std::free(block); }

enum class Where { kBlockStart, kBlockMiddle, kBlockEnd, kFinalBlock };

struct Case {
  const char* name;
  Format format;
  int level, strategy, memLevel;
  std::size_t flushEvery;
  std::size_t pageSize;
  Where where;
  bool cuts;  // the walk reads the block (not stored)
};

TEST(EncodeTagged, CutsInsideTheBlockAndDecodesToTheTaggedPage) {
  const Case cases[] = {
      {"dynamic, block start", Format::kGzip, 6, Z_DEFAULT_STRATEGY, 8, 0,
       300000, Where::kBlockStart, true},
      {"dynamic, block middle", Format::kGzip, 6, Z_DEFAULT_STRATEGY, 8, 0,
       300000, Where::kBlockMiddle, true},
      {"dynamic, block end", Format::kGzip, 6, Z_DEFAULT_STRATEGY, 8, 0, 300000,
       Where::kBlockEnd, true},
      {"dynamic, final block", Format::kGzip, 6, Z_DEFAULT_STRATEGY, 8, 0,
       300000, Where::kFinalBlock, true},
      {"zlib wrapper, final block", Format::kZlib, 6, Z_DEFAULT_STRATEGY, 8, 0,
       300000, Where::kFinalBlock, true},
      {"zlib wrapper, block middle", Format::kZlib, 9, Z_DEFAULT_STRATEGY, 8, 0,
       300000, Where::kBlockMiddle, true},
      {"raw, small blocks", Format::kRaw, 6, Z_DEFAULT_STRATEGY, 1, 0, 60000,
       Where::kBlockMiddle, true},
      {"raw, small final block", Format::kRaw, 6, Z_DEFAULT_STRATEGY, 1, 0,
       60000, Where::kFinalBlock, true},
      {"fixed codes, block middle", Format::kGzip, 6, Z_FIXED, 8, 0, 200000,
       Where::kBlockMiddle, true},
      {"fixed codes, final block", Format::kZlib, 6, Z_FIXED, 2, 0, 50000,
       Where::kFinalBlock, true},
      {"literals only", Format::kGzip, 6, Z_HUFFMAN_ONLY, 8, 0, 100000,
       Where::kBlockMiddle, true},
      {"sync flushes, walk crosses stored blocks", Format::kGzip, 6,
       Z_DEFAULT_STRATEGY, 8, 300, 100000, Where::kBlockMiddle, true},
      {"stored", Format::kGzip, 0, Z_DEFAULT_STRATEGY, 8, 0, 100000,
       Where::kBlockMiddle, false},
      {"stored, final block", Format::kZlib, 0, Z_DEFAULT_STRATEGY, 8, 0,
       100000, Where::kFinalBlock, false},
  };
  const std::string insert = "<script>track()</script>";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string page = Page(c.pageSize);
    const std::string input =
        Deflate(page, c.format, c.level, c.strategy, c.memLevel, c.flushEvery);
    TestChain chain(TestChain::Cut(
        input, {input.size() / 3, input.size() / 2, input.size() / 2 + 1}));
    const ChainCursor first = CursorAtStart(chain.head());
    DecodedBody decoded;
    ASSERT_EQ(DecodeBody(ProcessHeap(),
                         c.format == Format::kGzip ? ContentCoding::kGzip
                                                   : ContentCoding::kDeflate,
                         &first, &decoded),
              Decoding::kDecoded);
    ASSERT_EQ(decoded.pageLength, page.size());
    // A block (or a run of small ones) half-way through the stream.
    const std::uint32_t k = (decoded.boundaries.count - 1) / 2;
    const std::uint64_t start = decoded.boundaries.items[k].pageBytes;
    const std::uint64_t end = k + 1 < decoded.boundaries.count
                                  ? decoded.boundaries.items[k + 1].pageBytes
                                  : decoded.pageLength;
    std::uint64_t at = page.size() - 15;
    if (c.where == Where::kBlockStart) at = start + 1;
    if (c.where == Where::kBlockMiddle) at = (start + end) / 2;
    if (c.where == Where::kBlockEnd) at = end - 1;

    // The walk from the last resume point before the offset.
    std::uint32_t r = 0;
    while (r + 1 < decoded.resumes.count &&
           decoded.resumes.items[r + 1].pageBytes <= at)
      ++r;
    ASSERT_LT(r, decoded.resumes.count);
    DeflateCut cut;
    const Walk walk =
        FindCut(ProcessHeap(), first, decoded.page, decoded.pageLength,
                decoded.resumes.items[r], at, &cut);
    if (c.cuts) {
      ASSERT_EQ(walk, Walk::kCut);
      EXPECT_LE(cut.pageBytes, at);
      EXPECT_LT(at - cut.pageBytes, 258u);  // at most one symbol before
      EXPECT_EQ(cut.finalBlock,
                c.where == Where::kFinalBlock || end == page.size());
    } else {
      EXPECT_EQ(walk, Walk::kFallBack);
    }

    const InsertText text{insert.data(),
                          static_cast<std::uint32_t>(insert.size())};
    std::uint64_t kept = 0;
    HeapBuffer tail{nullptr, 0, 0};
    ASSERT_TRUE(
        EncodeTagged(ProcessHeap(), decoded, at, &text, 1, &kept, &tail));
    const std::string tailBytes(tail.bytes, tail.length);
    const std::string out = input.substr(0, kept) + tailBytes;
    const std::string tagged = page.substr(0, at) + insert + page.substr(at);
    const auto inflated = checks::Inflate(out, c.format);
    ASSERT_TRUE(inflated.has_value());
    EXPECT_TRUE(*inflated == tagged);
    if (c.cuts) {
      // Bit for bit up to the cut, but for a final block's BFINAL bit.
      std::string expected = input.substr(0, cut.bit / 8);
      if (cut.finalBlock)
        expected[cut.blockBit / 8] &=
            static_cast<char>(~(1u << cut.blockBit % 8));
      EXPECT_TRUE(out.compare(0, expected.size(), expected) == 0);
    }
    ReleaseBuffer(ProcessHeap(), &tail);

    // Any allocation refused: false, and nothing held.
    for (int refuse = 0;; ++refuse) {
      Refusing refusing{refuse, 0};
      const WorkingHeap heap{&RefusingAllocate, &RefusingRelease, &refusing};
      HeapBuffer refused{nullptr, 0, 0};
      const bool done =
          EncodeTagged(heap, decoded, at, &text, 1, &kept, &refused);
      if (refusing.count <= refuse) {
        ASSERT_TRUE(done);
        EXPECT_EQ(refused.length, tailBytes.size());
        ReleaseBuffer(ProcessHeap(), &refused);
        break;
      }
      EXPECT_FALSE(done) << "refused allocation " << refuse;
      EXPECT_EQ(refused.bytes, nullptr);
    }
    ReleaseDecoded(ProcessHeap(), &decoded);
  }
}

}  // namespace
}  // namespace tagsmith::testing
