#include "tagging/pair_search.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// A byte b folds to the letter L exactly when (b | 0x20) is L's small form;
// any other byte must be equal. So one OR and one compare test a byte.
struct ByteTest {
  unsigned char mask;
  unsigned char value;
};

ByteTest TestFor(unsigned char folded) {
  if (folded >= 'A' && folded <= 'Z') {
    return {0x20, static_cast<unsigned char>(folded | 0x20)};
  }
  return {0, folded};
}

bool Passes(const char* p, ByteTest t) {
  return (static_cast<unsigned char>(*p) | t.mask) == t.value;
}

const char* FindScalar(const char* p, const char* stop, ByteTest first,
                       ByteTest last, std::size_t distance) {
  for (; p < stop; ++p) {
    if (Passes(p, first) && Passes(p + distance, last)) return p;
  }
  return nullptr;
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

// The wide searches read each 64-byte block once and turn it into two bit
// masks: the positions passing the first test and those passing the last.
// A candidate at bit k needs the last test at bit k + distance, which may
// lie in the next block, so a block is decided once the next one's masks
// are known. The last, partial block is copied into a zero-padded buffer,
// so no byte past the record is read; its bits past the record are
// cleared, which also keeps every candidate short of `stop`. This needs
// 0 < distance < 64.
constexpr std::size_t kBlock = 64;

struct BlockHits {
  std::uint64_t first;
  std::uint64_t last;
};

std::uint64_t Candidates(const BlockHits& block, std::uint64_t nextLast,
                         std::size_t distance) {
  return block.first &
         ((block.last >> distance) | (nextLast << (kBlock - distance)));
}

// The search over the blocks from `p` to `end`, with HITS(block, tests)
// giving a block's masks. A macro rather than a template, so that each
// vector function below compiles it with its own instructions.
#define TAGSMITH_SEARCH_BLOCKS(HITS, tests)                                  \
  alignas(64) char padded[kBlock];                                           \
  BlockHits previous{0, 0};                                                  \
  const char* block = p;                                                     \
  for (; block < end; block += kBlock) {                                     \
    const std::size_t size = static_cast<std::size_t>(end - block);          \
    BlockHits hits;                                                          \
    if (size >= kBlock) {                                                    \
      hits = HITS(block, tests);                                             \
    } else {                                                                 \
      std::memcpy(padded, block, size);                                      \
      std::memset(padded + size, 0, kBlock - size);                          \
      hits = HITS(padded, tests);                                            \
      const std::uint64_t valid = (std::uint64_t{1} << size) - 1;            \
      hits.first &= valid;                                                   \
      hits.last &= valid;                                                    \
    }                                                                        \
    if (block != p) {                                                        \
      const std::uint64_t found = Candidates(previous, hits.last, distance); \
      if (found != 0) return block - kBlock + __builtin_ctzll(found);        \
    }                                                                        \
    previous = hits;                                                         \
  }                                                                          \
  /* The last block: nothing follows it. */                                  \
  const std::uint64_t found = Candidates(previous, 0, distance);             \
  return found != 0 ? block - kBlock + __builtin_ctzll(found) : nullptr;

struct Avx2Tests {
  __m256i firstMask, firstValue, lastMask, lastValue;
};

__attribute__((target("avx2"), always_inline)) inline BlockHits Avx2Hits(
    const char* block, const Avx2Tests& t) {
  BlockHits hits{0, 0};
  for (int half = 0; half < 2; ++half) {
    const __m256i v =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * half));
    hits.first |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(
                      _mm256_movemask_epi8(_mm256_cmpeq_epi8(
                          _mm256_or_si256(v, t.firstMask), t.firstValue))))
                  << (32 * half);
    hits.last |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(
                     _mm256_movemask_epi8(_mm256_cmpeq_epi8(
                         _mm256_or_si256(v, t.lastMask), t.lastValue))))
                 << (32 * half);
  }
  return hits;
}

// Chosen at run time where the processor has 32-byte vectors, so that the
// library still runs on any processor of its kind.
__attribute__((target("avx2"))) const char* FindAvx2(const char* p,
                                                     const char* stop,
                                                     ByteTest first,
                                                     ByteTest last,
                                                     std::size_t distance) {
  if (distance == 0 || distance >= kBlock) {
    return FindSse2(p, stop, first, last, distance);
  }
  const char* const end = stop + distance;
  const Avx2Tests tests{_mm256_set1_epi8(static_cast<char>(first.mask)),
                        _mm256_set1_epi8(static_cast<char>(first.value)),
                        _mm256_set1_epi8(static_cast<char>(last.mask)),
                        _mm256_set1_epi8(static_cast<char>(last.value))};
  TAGSMITH_SEARCH_BLOCKS(Avx2Hits, tests)
}

struct Avx512Tests {
  __m512i firstMask, firstValue, lastMask, lastValue;
};

__attribute__((target("avx512f,avx512bw"), always_inline)) inline BlockHits
Avx512Hits(const char* block, const Avx512Tests& t) {
  const __m512i v = _mm512_loadu_si512(block);
  return BlockHits{
      _mm512_cmpeq_epi8_mask(_mm512_or_si512(v, t.firstMask), t.firstValue),
      _mm512_cmpeq_epi8_mask(_mm512_or_si512(v, t.lastMask), t.lastValue)};
}

// 64-byte vectors with byte masks, where the processor has them.
__attribute__((target("avx512f,avx512bw"))) const char* FindAvx512(
    const char* p, const char* stop, ByteTest first, ByteTest last,
    std::size_t distance) {
  if (distance == 0 || distance >= kBlock) {
    return FindSse2(p, stop, first, last, distance);
  }
  const char* const end = stop + distance;
  const Avx512Tests tests{_mm512_set1_epi8(static_cast<char>(first.mask)),
                          _mm512_set1_epi8(static_cast<char>(first.value)),
                          _mm512_set1_epi8(static_cast<char>(last.mask)),
                          _mm512_set1_epi8(static_cast<char>(last.value))};
  TAGSMITH_SEARCH_BLOCKS(Avx512Hits, tests)
}

#undef TAGSMITH_SEARCH_BLOCKS

#endif

}  // namespace

bool FindFoldedPairWith(PairSearchKind kind, const char* begin, const char* end,
                        unsigned char first, unsigned char last,
                        std::size_t distance, const char** found) {
  *found = nullptr;
  if (end - begin <= static_cast<std::ptrdiff_t>(distance)) return true;
  const char* stop = end - distance;
  const ByteTest firstTest = TestFor(first);
  const ByteTest lastTest = TestFor(last);
  switch (kind) {
    case PairSearchKind::kScalar:
      *found = FindScalar(begin, stop, firstTest, lastTest, distance);
      return true;
#if defined(TAGSMITH_PAIR_SEARCH_X86)
    case PairSearchKind::kSse2:
      if (!__builtin_cpu_supports("sse2")) return false;
      *found = FindSse2(begin, stop, firstTest, lastTest, distance);
      return true;
    case PairSearchKind::kAvx2:
      if (!__builtin_cpu_supports("avx2")) return false;
      *found = FindAvx2(begin, stop, firstTest, lastTest, distance);
      return true;
    case PairSearchKind::kAvx512:
      if (!__builtin_cpu_supports("avx512bw")) return false;
      *found = FindAvx512(begin, stop, firstTest, lastTest, distance);
      return true;
#endif
    default:
      return false;
  }
}

const char* FindFoldedPair(const char* begin, const char* end,
                           unsigned char first, unsigned char last,
                           std::size_t distance) {
  const char* found = nullptr;
#if defined(TAGSMITH_PAIR_SEARCH_X86)
  if (FindFoldedPairWith(PairSearchKind::kAvx512, begin, end, first, last,
                         distance, &found) ||
      FindFoldedPairWith(PairSearchKind::kAvx2, begin, end, first, last,
                         distance, &found)) {
    return found;
  }
  if (!FindFoldedPairWith(PairSearchKind::kSse2, begin, end, first, last,
                          distance, &found)) {
    FindFoldedPairWith(PairSearchKind::kScalar, begin, end, first, last,
                       distance, &found);
  }
#else
  FindFoldedPairWith(PairSearchKind::kScalar, begin, end, first, last, distance,
                     &found);
#endif
  return found;
}
