#include "tagging/pair_search.h"

#include <cassert>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "tagging/byte_test.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

const char* FindScalar(const char* p, const char* stop, ByteTest first,
                       ByteTest last, std::size_t distance) {
  for (; p < stop; ++p) {
    if (Passes(p, first) && Passes(p + distance, last)) return p;
  }
  return nullptr;
}

bool CopyScalar(char* to, const char* from, std::size_t count, ByteTest t) {
  std::memcpy(to, from, count);
  for (std::size_t i = 0; i < count; ++i) {
    if (Passes(from + i, t)) return true;
  }
  return false;
}

#if defined(__x86_64__) || defined(__i386__)
#define TAGSMITH_PAIR_SEARCH_X86 1

// Both vector searches test 64 positions per round: the two byte tests of
// each 16 or 32 positions are AND-ed, and the rounds' results OR-ed, so that
// one mask tells whether the round holds a candidate at all.

__attribute__((target("sse2"))) const char* FindSse2(const char* p,
                                                     const char* stop,
                                                     ByteTest first,
                                                     ByteTest last,
                                                     std::size_t distance) {
  const __m128i firstMask = _mm_set1_epi8(static_cast<char>(first.mask));
  const __m128i firstValue = _mm_set1_epi8(static_cast<char>(first.value));
  const __m128i lastMask = _mm_set1_epi8(static_cast<char>(last.mask));
  const __m128i lastValue = _mm_set1_epi8(static_cast<char>(last.value));
  for (; stop - p >= 64; p += 64) {
    __m128i any = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16) {
      const __m128i a =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i b =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + distance));
      any = _mm_or_si128(
          any,
          _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, firstMask), firstValue),
                        _mm_cmpeq_epi8(_mm_or_si128(b, lastMask), lastValue)));
    }
    if (_mm_movemask_epi8(any) != 0) {
      return FindScalar(p, p + 64, first, last, distance);
    }
  }
  return FindScalar(p, stop, first, last, distance);
}

// The wide searches test 64 positions a block: the block at the positions
// against the first test and the block `distance` on against the last, as
// bit masks AND-ed, so that a position passes only with both bytes. A run
// of kRun blocks is told by one test of their last bytes alone (enough
// where that byte is rare), then by one test of their pairs together: in
// a page either byte alone may be common (a "j" or a "b" on every line), a
// pair at its distance is rare, so most runs end there and none stops for
// a byte that passes one test alone. Every byte read lies before
// `stop + distance`, the record's end: the last positions, fewer than a
// block, are tested in a copy padded with zeros, or one by one when the
// distance is a block or more.
constexpr std::size_t kBlock = 64;
// Each width's AnyPairInRun tests this many blocks at once.
constexpr std::size_t kRun = 4;

// The one search for any vector width: Width gives the tests as vectors
// (Width(first, last)), a block's pairs as a mask (Pairs), and whether a
// run holds a last byte (AnyLastInRun) or a pair (AnyPairInRun). Each caller
// below has its width's instructions and is flattened, so the search and its
// width's code compile into it.
template <typename Width>
const char* SearchBlocks(const char* p, const char* stop, ByteTest first,
                         ByteTest last, std::size_t distance) {
  const Width width(first, last);
  while (stop - p >= static_cast<std::ptrdiff_t>(kRun * kBlock)) {
    if (!width.AnyLastInRun(p + distance) || !width.AnyPairInRun(p, distance)) {
      p += kRun * kBlock;
      continue;
    }
    for (std::size_t k = 0; k < kRun; ++k, p += kBlock) {
      const std::uint64_t at = width.Pairs(p, distance);
      if (at != 0) return p + __builtin_ctzll(at);
    }
  }
  for (; stop - p >= static_cast<std::ptrdiff_t>(kBlock); p += kBlock) {
    const std::uint64_t at = width.Pairs(p, distance);
    if (at != 0) return p + __builtin_ctzll(at);
  }
  const auto left = static_cast<std::size_t>(stop - p);
  if (left == 0 || distance >= kBlock) {
    return FindScalar(p, stop, first, last, distance);
  }
  alignas(64) char padded[3 * kBlock] = {};
  std::memcpy(padded, p, left + distance);
  const std::uint64_t at =
      width.Pairs(padded, distance) & ((std::uint64_t{1} << left) - 1);
  return at != 0 ? p + __builtin_ctzll(at) : nullptr;
}

// 32-byte vectors, two to a block.
struct Avx2Width {
  __m256i firstMask, firstValue, lastMask, lastValue;

  __attribute__((target("avx2"))) Avx2Width(ByteTest first, ByteTest last)
      : firstMask(_mm256_set1_epi8(static_cast<char>(first.mask))),
        firstValue(_mm256_set1_epi8(static_cast<char>(first.value))),
        lastMask(_mm256_set1_epi8(static_cast<char>(last.mask))),
        lastValue(_mm256_set1_epi8(static_cast<char>(last.value))) {}

  // The positions of the 32 at `p` that pass both tests, as bytes of all
  // ones.
  __attribute__((target("avx2"))) __m256i PairVector(
      const char* p, std::size_t distance) const {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + distance));
    return _mm256_and_si256(
        _mm256_cmpeq_epi8(_mm256_or_si256(a, firstMask), firstValue),
        _mm256_cmpeq_epi8(_mm256_or_si256(b, lastMask), lastValue));
  }
  __attribute__((target("avx2"))) std::uint64_t Pairs(
      const char* b, std::size_t distance) const {
    const auto low = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(PairVector(b, distance)));
    const auto high = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(PairVector(b + 32, distance)));
    return low | static_cast<std::uint64_t>(high) << 32;
  }
  __attribute__((target("avx2"))) __m256i LastHits(const __m256i* v) const {
    return _mm256_cmpeq_epi8(_mm256_or_si256(_mm256_loadu_si256(v), lastMask),
                             lastValue);
  }
  // Written out, so that the compiler keeps every vector in a register.
  __attribute__((target("avx2"))) bool AnyLastInRun(const char* b) const {
    const auto* v = reinterpret_cast<const __m256i*>(b);
    const __m256i x = _mm256_or_si256(LastHits(v), LastHits(v + 1));
    const __m256i y = _mm256_or_si256(LastHits(v + 2), LastHits(v + 3));
    const __m256i z = _mm256_or_si256(LastHits(v + 4), LastHits(v + 5));
    const __m256i w = _mm256_or_si256(LastHits(v + 6), LastHits(v + 7));
    const __m256i all =
        _mm256_or_si256(_mm256_or_si256(x, y), _mm256_or_si256(z, w));
    return !_mm256_testz_si256(all, all);
  }
  __attribute__((target("avx2"))) bool AnyPairInRun(
      const char* b, std::size_t distance) const {
    const __m256i x =
        _mm256_or_si256(PairVector(b, distance), PairVector(b + 32, distance));
    const __m256i y = _mm256_or_si256(PairVector(b + 64, distance),
                                      PairVector(b + 96, distance));
    const __m256i z = _mm256_or_si256(PairVector(b + 128, distance),
                                      PairVector(b + 160, distance));
    const __m256i w = _mm256_or_si256(PairVector(b + 192, distance),
                                      PairVector(b + 224, distance));
    const __m256i all =
        _mm256_or_si256(_mm256_or_si256(x, y), _mm256_or_si256(z, w));
    return !_mm256_testz_si256(all, all);
  }
};

// 64-byte vectors with byte masks, one to a block.
struct Avx512Width {
  __m512i firstMask, firstValue, lastMask, lastValue;

  __attribute__((target("avx512f,avx512bw")))
  Avx512Width(ByteTest first, ByteTest last)
      : firstMask(_mm512_set1_epi8(static_cast<char>(first.mask))),
        firstValue(_mm512_set1_epi8(static_cast<char>(first.value))),
        lastMask(_mm512_set1_epi8(static_cast<char>(last.mask))),
        lastValue(_mm512_set1_epi8(static_cast<char>(last.value))) {}

  __attribute__((target("avx512f,avx512bw"))) std::uint64_t Pairs(
      const char* b, std::size_t distance) const {
    const __mmask64 firsts = _mm512_cmpeq_epi8_mask(
        _mm512_or_si512(_mm512_loadu_si512(b), firstMask), firstValue);
    return _mm512_mask_cmpeq_epi8_mask(
        firsts, _mm512_or_si512(_mm512_loadu_si512(b + distance), lastMask),
        lastValue);
  }
  __attribute__((target("avx512f,avx512bw"))) std::uint64_t Last(
      const char* b) const {
    return _mm512_cmpeq_epi8_mask(
        _mm512_or_si512(_mm512_loadu_si512(b), lastMask), lastValue);
  }
  __attribute__((target("avx512f,avx512bw"))) bool AnyLastInRun(
      const char* b) const {
    return (Last(b) | Last(b + kBlock) | Last(b + 2 * kBlock) |
            Last(b + 3 * kBlock)) != 0;
  }
  __attribute__((target("avx512f,avx512bw"))) bool AnyPairInRun(
      const char* b, std::size_t distance) const {
    return (Pairs(b, distance) | Pairs(b + kBlock, distance) |
            Pairs(b + 2 * kBlock, distance) |
            Pairs(b + 3 * kBlock, distance)) != 0;
  }
};

// Chosen at run time where the processor has the width, so that the
// library still runs on any processor of its kind.
__attribute__((target("avx2"), flatten)) const char* FindAvx2(
    const char* p, const char* stop, ByteTest first, ByteTest last,
    std::size_t distance) {
  return SearchBlocks<Avx2Width>(p, stop, first, last, distance);
}

__attribute__((target("avx512f,avx512bw"), flatten)) const char* FindAvx512(
    const char* p, const char* stop, ByteTest first, ByteTest last,
    std::size_t distance) {
  return SearchBlocks<Avx512Width>(p, stop, first, last, distance);
}

// The copies test each vector as it passes through a register, and tell
// the tests' result only at the end: the copy's loop has no branch of its
// own, and the bytes are read once.
__attribute__((target("avx2"))) bool CopyAvx2(char* to, const char* from,
                                              std::size_t count, ByteTest t) {
  const __m256i mask = _mm256_set1_epi8(static_cast<char>(t.mask));
  const __m256i value = _mm256_set1_epi8(static_cast<char>(t.value));
  __m256i any = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    const __m256i a =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i));
    const __m256i b =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i + 32), b);
    any = _mm256_or_si256(
        any,
        _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_or_si256(a, mask), value),
                        _mm256_cmpeq_epi8(_mm256_or_si256(b, mask), value)));
  }
  const bool found = !_mm256_testz_si256(any, any);
  return CopyScalar(to + i, from + i, count - i, t) || found;
}

__attribute__((target("avx512f,avx512bw"))) bool CopyAvx512(char* to,
                                                            const char* from,
                                                            std::size_t count,
                                                            ByteTest t) {
  const __m512i mask = _mm512_set1_epi8(static_cast<char>(t.mask));
  const __m512i value = _mm512_set1_epi8(static_cast<char>(t.value));
  __mmask64 any = 0;
  std::size_t i = 0;
  for (; i + 64 <= count; i += 64) {
    const __m512i a = _mm512_loadu_si512(from + i);
    _mm512_storeu_si512(to + i, a);
    any |= _mm512_cmpeq_epi8_mask(_mm512_or_si512(a, mask), value);
  }
  if (i < count) {
    const __mmask64 left = (~std::uint64_t{0}) >> (64 - (count - i));
    const __m512i a = _mm512_maskz_loadu_epi8(left, from + i);
    _mm512_mask_storeu_epi8(to + i, left, a);
    any |= _mm512_mask_cmpeq_epi8_mask(left, _mm512_or_si512(a, mask), value);
  }
  return any != 0;
}

#endif

using Copy = bool (*)(char* to, const char* from, std::size_t count,
                      ByteTest t);

Copy WidestCopy() {
#if defined(TAGSMITH_PAIR_SEARCH_X86)
  if (__builtin_cpu_supports("avx512bw")) return CopyAvx512;
  if (__builtin_cpu_supports("avx2")) return CopyAvx2;
#endif
  return CopyScalar;
}

using Search = const char* (*)(const char* p, const char* stop, ByteTest first,
                               ByteTest last, std::size_t distance);

// The implementation of `kind`, or null when this build or processor has
// none.
Search SearchOf(PairSearchKind kind) {
  switch (kind) {
    case PairSearchKind::kScalar:
      return FindScalar;
#if defined(TAGSMITH_PAIR_SEARCH_X86)
    case PairSearchKind::kSse2:
      return __builtin_cpu_supports("sse2") ? FindSse2 : nullptr;
    case PairSearchKind::kAvx2:
      return __builtin_cpu_supports("avx2") ? FindAvx2 : nullptr;
    case PairSearchKind::kAvx512:
      return __builtin_cpu_supports("avx512bw") ? FindAvx512 : nullptr;
#endif
    default:
      return nullptr;
  }
}

Search Widest() {
  for (PairSearchKind kind : {PairSearchKind::kAvx512, PairSearchKind::kAvx2,
                              PairSearchKind::kSse2}) {
    if (Search search = SearchOf(kind)) return search;
  }
  return FindScalar;
}

const char* Run(Search search, const char* begin, const char* end,
                unsigned char first, unsigned char last, std::size_t distance) {
  if (end - begin <= static_cast<std::ptrdiff_t>(distance)) return nullptr;
  return search(begin, end - distance, TestFor(first), TestFor(last), distance);
}

}  // namespace

bool FindFoldedPairWith(PairSearchKind kind, const char* begin, const char* end,
                        unsigned char first, unsigned char last,
                        std::size_t distance, const char** found) {
  *found = nullptr;
  const Search search = SearchOf(kind);
  if (search == nullptr) return false;
  *found = Run(search, begin, end, first, last, distance);
  return true;
}

const char* FindFoldedPair(const char* begin, const char* end,
                           unsigned char first, unsigned char last,
                           std::size_t distance) {
  // Chosen once: the processor does not change under the library.
  static const Search widest = Widest();
  return Run(widest, begin, end, first, last, distance);
}

bool CopyFindingFolded(char* to, const char* from, std::size_t count,
                       unsigned char folded) {
  static const Copy widest = WidestCopy();
  return widest(to, from, count, TestFor(folded));
}

bool CopyFindingEitherFolded(char* to, const char* from, std::size_t count,
                             unsigned char first, unsigned char second) {
  const auto differ = static_cast<unsigned char>(first ^ second);
  assert(first >= 'A' && first <= 'Z' && second >= 'A' && second <= 'Z');
  assert(differ != 0 && (differ & (differ - 1)) == 0);
  // Both bits may be either way: the case bit and the one they differ in.
  const auto mask = static_cast<unsigned char>(0x20 | differ);
  static const Copy widest = WidestCopy();
  return widest(to, from, count,
                ByteTest{mask, static_cast<unsigned char>(first | mask)});
}
