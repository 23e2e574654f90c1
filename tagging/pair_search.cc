#include "tagging/pair_search.h"

#include <cstdint>

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

__attribute__((target("sse2"))) const char* FindSse2(
    const char* p, const char* stop, ByteTest first, ByteTest last,
    std::size_t distance) {
  const __m128i firstMask = _mm_set1_epi8(static_cast<char>(first.mask));
  const __m128i firstValue = _mm_set1_epi8(static_cast<char>(first.value));
  const __m128i lastMask = _mm_set1_epi8(static_cast<char>(last.mask));
  const __m128i lastValue = _mm_set1_epi8(static_cast<char>(last.value));
  for (; stop - p >= 64; p += 64) {
    __m128i any = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i b = _mm_loadu_si128(
          reinterpret_cast<const __m128i*>(p + i + distance));
      any = _mm_or_si128(
          any, _mm_and_si128(
                   _mm_cmpeq_epi8(_mm_or_si128(a, firstMask), firstValue),
                   _mm_cmpeq_epi8(_mm_or_si128(b, lastMask), lastValue)));
    }
    if (_mm_movemask_epi8(any) != 0) {
      return FindScalar(p, p + 64, first, last, distance);
    }
  }
  return FindScalar(p, stop, first, last, distance);
}

// Chosen at run time where the processor has 32-byte vectors, so that the
// library still runs on any processor of its kind.
__attribute__((target("avx2"))) const char* FindAvx2(
    const char* p, const char* stop, ByteTest first, ByteTest last,
    std::size_t distance) {
  const __m256i firstMask = _mm256_set1_epi8(static_cast<char>(first.mask));
  const __m256i firstValue = _mm256_set1_epi8(static_cast<char>(first.value));
  const __m256i lastMask = _mm256_set1_epi8(static_cast<char>(last.mask));
  const __m256i lastValue = _mm256_set1_epi8(static_cast<char>(last.value));
  for (; stop - p >= 64; p += 64) {
    __m256i any = _mm256_setzero_si256();
    for (int i = 0; i < 64; i += 32) {
      const __m256i a =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
      const __m256i b = _mm256_loadu_si256(
          reinterpret_cast<const __m256i*>(p + i + distance));
      any = _mm256_or_si256(
          any, _mm256_and_si256(
                   _mm256_cmpeq_epi8(_mm256_or_si256(a, firstMask), firstValue),
                   _mm256_cmpeq_epi8(_mm256_or_si256(b, lastMask), lastValue)));
    }
    if (_mm256_movemask_epi8(any) != 0) {
      return FindScalar(p, p + 64, first, last, distance);
    }
  }
  return FindScalar(p, stop, first, last, distance);
}

// 64-byte vectors with byte masks, where the processor has them.
__attribute__((target("avx512f,avx512bw"))) const char* FindAvx512(
    const char* p, const char* stop, ByteTest first, ByteTest last,
    std::size_t distance) {
  const __m512i firstMask = _mm512_set1_epi8(static_cast<char>(first.mask));
  const __m512i firstValue = _mm512_set1_epi8(static_cast<char>(first.value));
  const __m512i lastMask = _mm512_set1_epi8(static_cast<char>(last.mask));
  const __m512i lastValue = _mm512_set1_epi8(static_cast<char>(last.value));
  for (; stop - p >= 64; p += 64) {
    const __m512i a = _mm512_loadu_si512(p);
    const __m512i b = _mm512_loadu_si512(p + distance);
    const __mmask64 hits =
        _mm512_cmpeq_epi8_mask(_mm512_or_si512(a, firstMask), firstValue) &
        _mm512_cmpeq_epi8_mask(_mm512_or_si512(b, lastMask), lastValue);
    if (hits != 0) return p + __builtin_ctzll(hits);
  }
  return FindScalar(p, stop, first, last, distance);
}

#endif

}  // namespace

bool FindFoldedPairWith(PairSearchKind kind, const char* begin,
                        const char* end, unsigned char first,
                        unsigned char last, std::size_t distance,
                        const char** found) {
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
  FindFoldedPairWith(PairSearchKind::kScalar, begin, end, first, last,
                     distance, &found);
#endif
  return found;
}
