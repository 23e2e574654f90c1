#include "tagging/pair_places.h"

#include <cassert>
#include <cstring>
#include <initializer_list>

#include "tagging/byte_test.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAGSMITH_PAIR_PLACES_X86 1
#endif

namespace {

constexpr std::size_t kBlock = 64;

struct PairTests {
  ByteTest oneFirst, oneLast, otherFirst, otherLast;
  std::size_t oneDistance, otherDistance;
};

void Note(PairPlaces* places, std::size_t at, std::uint64_t one,
          std::uint64_t other) {
  if (places->blocks < PairPlaces::kKept) {
    places->at[places->blocks] = static_cast<std::uint32_t>(at);
    places->one[places->blocks] = one;
    places->other[places->blocks] = other;
  }
  ++places->blocks;
}

// The positions of the block at `at` whose pair, `distance` on, lies
// before `count`.
std::uint64_t Before(std::size_t count, std::size_t at, std::size_t distance) {
  if (at + distance >= count) return 0;
  const std::size_t left = count - distance - at;
  return left >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
}

// Every width tests a block of 64 positions for both pairs from the same
// loads of its bytes (the bytes a distance on are one more load each, from
// the cache), copying the block on the way. Blocks whose pairs' bytes lie
// wholly in the run are read in place; the last, fewer than a block and
// the longer distance, from a copy padded with zeros, their places cut to
// the positions whose pairs lie in the run.
template <typename Width, bool kCopy>
void PlaceBlocks(const Width& width, const PairTests& t, char* to,
                 const char* from, std::size_t count, PairPlaces* places) {
  const std::size_t reach =
      kBlock +
      (t.oneDistance > t.otherDistance ? t.oneDistance : t.otherDistance);
  places->blocks = 0;
  std::size_t i = 0;
  for (; i + reach <= count; i += kBlock) {
    std::uint64_t one, other;
    width.template Block<kCopy>(kCopy ? to + i : nullptr, from + i, &one,
                                &other);
    if ((one | other) != 0) Note(places, i, one, other);
  }
  if (i == count) return;
  alignas(64) char padded[3 * kBlock] = {};
  std::memcpy(padded, from + i, count - i);
  if (kCopy) std::memcpy(to + i, from + i, count - i);
  for (std::size_t k = i; k < count; k += kBlock) {
    std::uint64_t one, other;
    width.template Block<false>(nullptr, padded + (k - i), &one, &other);
    one &= Before(count, k, t.oneDistance);
    other &= Before(count, k, t.otherDistance);
    if ((one | other) != 0) Note(places, k, one, other);
  }
}

struct ScalarWidth {
  PairTests t;
  explicit ScalarWidth(const PairTests& tests) : t(tests) {}
  template <bool kCopy>
  void Block(char* to, const char* from, std::uint64_t* one,
             std::uint64_t* other) const {
    if (kCopy) std::memcpy(to, from, kBlock);
    *one = *other = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
      const std::uint64_t bit = std::uint64_t{1} << k;
      if (Passes(from + k, t.oneFirst) &&
          Passes(from + k + t.oneDistance, t.oneLast)) {
        *one |= bit;
      }
      if (Passes(from + k, t.otherFirst) &&
          Passes(from + k + t.otherDistance, t.otherLast)) {
        *other |= bit;
      }
    }
  }
};

#if defined(TAGSMITH_PAIR_PLACES_X86)

// The four byte tests as vectors of type V, made with `splat`, and the
// distances.
#define TAGSMITH_PAIR_VECTORS(V, splat)                             \
  V oneFirstMask = splat(static_cast<char>(t.oneFirst.mask));       \
  V oneFirstValue = splat(static_cast<char>(t.oneFirst.value));     \
  V oneLastMask = splat(static_cast<char>(t.oneLast.mask));         \
  V oneLastValue = splat(static_cast<char>(t.oneLast.value));       \
  V otherFirstMask = splat(static_cast<char>(t.otherFirst.mask));   \
  V otherFirstValue = splat(static_cast<char>(t.otherFirst.value)); \
  V otherLastMask = splat(static_cast<char>(t.otherLast.mask));     \
  V otherLastValue = splat(static_cast<char>(t.otherLast.value));   \
  std::size_t oneDistance = t.oneDistance, otherDistance = t.otherDistance

// 16-byte vectors, four to a block.
struct Sse2Width {
  PairTests t;
  TAGSMITH_PAIR_VECTORS(__m128i, _mm_set1_epi8);
  __attribute__((target("sse2"))) explicit Sse2Width(const PairTests& tests)
      : t(tests) {}

  __attribute__((target("sse2"))) static __m128i Hits(__m128i v, __m128i mask,
                                                      __m128i value) {
    return _mm_cmpeq_epi8(_mm_or_si128(v, mask), value);
  }
  template <bool kCopy>
  __attribute__((target("sse2"))) void Block(char* to, const char* from,
                                             std::uint64_t* one,
                                             std::uint64_t* other) const {
    *one = *other = 0;
    for (std::size_t k = 0; k < kBlock; k += 16) {
      const auto* p = reinterpret_cast<const __m128i*>(from + k);
      const __m128i v = _mm_loadu_si128(p);
      if (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i*>(to + k), v);
      const __m128i a = _mm_and_si128(
          Hits(v, oneFirstMask, oneFirstValue),
          Hits(_mm_loadu_si128(
                   reinterpret_cast<const __m128i*>(from + k + oneDistance)),
               oneLastMask, oneLastValue));
      const __m128i b = _mm_and_si128(
          Hits(v, otherFirstMask, otherFirstValue),
          Hits(_mm_loadu_si128(
                   reinterpret_cast<const __m128i*>(from + k + otherDistance)),
               otherLastMask, otherLastValue));
      *one |= static_cast<std::uint64_t>(
                  static_cast<std::uint16_t>(_mm_movemask_epi8(a)))
              << k;
      *other |= static_cast<std::uint64_t>(
                    static_cast<std::uint16_t>(_mm_movemask_epi8(b)))
                << k;
    }
  }
};

// 32-byte vectors, two to a block.
struct Avx2Width {
  PairTests t;
  __attribute__((target("avx2"))) static __m256i Splat(char c) {
    return _mm256_set1_epi8(c);
  }
  TAGSMITH_PAIR_VECTORS(__m256i, Splat);
  __attribute__((target("avx2"))) explicit Avx2Width(const PairTests& tests)
      : t(tests) {}

  __attribute__((target("avx2"))) static __m256i Hits(__m256i v, __m256i mask,
                                                      __m256i value) {
    return _mm256_cmpeq_epi8(_mm256_or_si256(v, mask), value);
  }
  __attribute__((target("avx2"))) static __m256i Load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  template <bool kCopy>
  __attribute__((target("avx2"))) void Block(char* to, const char* from,
                                             std::uint64_t* one,
                                             std::uint64_t* other) const {
    *one = *other = 0;
    for (std::size_t k = 0; k < kBlock; k += 32) {
      const __m256i v = Load(from + k);
      if (kCopy) _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + k), v);
      const __m256i a = _mm256_and_si256(
          Hits(v, oneFirstMask, oneFirstValue),
          Hits(Load(from + k + oneDistance), oneLastMask, oneLastValue));
      const __m256i b = _mm256_and_si256(
          Hits(v, otherFirstMask, otherFirstValue),
          Hits(Load(from + k + otherDistance), otherLastMask, otherLastValue));
      *one |= static_cast<std::uint64_t>(
                  static_cast<std::uint32_t>(_mm256_movemask_epi8(a)))
              << k;
      *other |= static_cast<std::uint64_t>(
                    static_cast<std::uint32_t>(_mm256_movemask_epi8(b)))
                << k;
    }
  }
};

// 64-byte vectors with byte masks, one to a block. The compares to a mask
// run on one port only, so a block is told by one: a byte's test is
// ((b ^ letter) & ~0x20) == 0, each pair's two tests are OR-ed into one
// vector (zero where the pair stands) and the pairs' vectors joined by
// their minimum (their case bits, from the same byte, are equal).
struct Avx512Width {
  PairTests t;
  __attribute__((target("avx512f,avx512bw"))) static __m512i Splat(char c) {
    return _mm512_set1_epi8(c);
  }
  __m512i oneFirst = Splat(static_cast<char>(t.oneFirst.value));
  __m512i oneLast = Splat(static_cast<char>(t.oneLast.value));
  __m512i otherFirst = Splat(static_cast<char>(t.otherFirst.value));
  __m512i otherLast = Splat(static_cast<char>(t.otherLast.value));
  __m512i noCase = Splat(static_cast<char>(0xDF));
  std::size_t oneDistance = t.oneDistance, otherDistance = t.otherDistance;
  __attribute__((target("avx512f,avx512bw"))) explicit Avx512Width(
      const PairTests& tests)
      : t(tests) {}

  template <bool kCopy>
  __attribute__((target("avx512f,avx512bw"))) void Block(
      char* to, const char* from, std::uint64_t* one,
      std::uint64_t* other) const {
    const __m512i v = _mm512_loadu_si512(from);
    // (A ^ B) & C, then (A ^ B) | C.
    const __m512i oneRest = _mm512_ternarylogic_epi64(
        _mm512_loadu_si512(from + oneDistance), oneLast, noCase, 0x28);
    const __m512i otherRest = _mm512_ternarylogic_epi64(
        _mm512_loadu_si512(from + otherDistance), otherLast, noCase, 0x28);
    if (kCopy) _mm512_storeu_si512(to, v);
    const __m512i a = _mm512_ternarylogic_epi64(v, oneFirst, oneRest, 0xBE);
    const __m512i b = _mm512_ternarylogic_epi64(v, otherFirst, otherRest, 0xBE);
    if (_mm512_testn_epi8_mask(_mm512_min_epu8(a, b), noCase) == 0) {
      *one = *other = 0;
      return;
    }
    *one = _mm512_testn_epi8_mask(a, noCase);
    *other = _mm512_testn_epi8_mask(b, noCase);
  }
};

#undef TAGSMITH_PAIR_VECTORS
#endif

template <typename Width>
void PlaceWith(const PairTests& t, char* to, const char* from,
               std::size_t count, PairPlaces* places) {
  const Width width(t);
  if (to != nullptr) {
    PlaceBlocks<Width, true>(width, t, to, from, count, places);
  } else {
    PlaceBlocks<Width, false>(width, t, to, from, count, places);
  }
}

using Place = void (*)(const PairTests& t, char* to, const char* from,
                       std::size_t count, PairPlaces* places);

void PlaceScalar(const PairTests& t, char* to, const char* from,
                 std::size_t count, PairPlaces* places) {
  PlaceWith<ScalarWidth>(t, to, from, count, places);
}

#if defined(TAGSMITH_PAIR_PLACES_X86)
// Chosen at run time where the processor has the width; each is flattened
// so that its width's code compiles into it.
__attribute__((target("sse2"), flatten)) void PlaceSse2(const PairTests& t,
                                                        char* to,
                                                        const char* from,
                                                        std::size_t count,
                                                        PairPlaces* places) {
  PlaceWith<Sse2Width>(t, to, from, count, places);
}

__attribute__((target("avx2"), flatten)) void PlaceAvx2(const PairTests& t,
                                                        char* to,
                                                        const char* from,
                                                        std::size_t count,
                                                        PairPlaces* places) {
  PlaceWith<Avx2Width>(t, to, from, count, places);
}

__attribute__((target("avx512f,avx512bw"), flatten)) void PlaceAvx512(
    const PairTests& t, char* to, const char* from, std::size_t count,
    PairPlaces* places) {
  PlaceWith<Avx512Width>(t, to, from, count, places);
}
#endif

Place PlaceOf(PairSearchKind kind) {
  switch (kind) {
    case PairSearchKind::kScalar:
      return PlaceScalar;
#if defined(TAGSMITH_PAIR_PLACES_X86)
    case PairSearchKind::kSse2:
      return __builtin_cpu_supports("sse2") ? PlaceSse2 : nullptr;
    case PairSearchKind::kAvx2:
      return __builtin_cpu_supports("avx2") ? PlaceAvx2 : nullptr;
    case PairSearchKind::kAvx512:
      return __builtin_cpu_supports("avx512bw") ? PlaceAvx512 : nullptr;
#endif
    default:
      return nullptr;
  }
}

Place Widest() {
  for (PairSearchKind kind : {PairSearchKind::kAvx512, PairSearchKind::kAvx2,
                              PairSearchKind::kSse2}) {
    if (Place place = PlaceOf(kind)) return place;
  }
  return PlaceScalar;
}

[[maybe_unused]] bool IsLetter(unsigned char c) { return c >= 'A' && c <= 'Z'; }

void Run(Place place, char* to, const char* from, std::size_t count,
         FoldedPair one, FoldedPair other, PairPlaces* places) {
  assert(IsLetter(one.first) && IsLetter(one.last));
  assert(IsLetter(other.first) && IsLetter(other.last));
  assert(one.distance >= 1 && one.distance <= kMostPairDistance);
  assert(other.distance >= 1 && other.distance <= kMostPairDistance);
  const PairTests t{TestFor(one.first),   TestFor(one.last),
                    TestFor(other.first), TestFor(other.last),
                    one.distance,         other.distance};
  place(t, to, from, count, places);
}

}  // namespace

void FindPairPlaces(char* to, const char* from, std::size_t count,
                    FoldedPair one, FoldedPair other, PairPlaces* places) {
  // Chosen once: the processor does not change under the library.
  static const Place widest = Widest();
  Run(widest, to, from, count, one, other, places);
}

bool FindPairPlacesWith(PairSearchKind kind, char* to, const char* from,
                        std::size_t count, FoldedPair one, FoldedPair other,
                        PairPlaces* places) {
  const Place place = PlaceOf(kind);
  if (place == nullptr) return false;
  Run(place, to, from, count, one, other, places);
  return true;
}
