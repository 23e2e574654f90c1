// The fast duplicate check must answer exactly as trying both markers at
// every byte of the body would, whatever the seams, letter case and
// vector width.
#include "tagging/duplicate_check.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tagging/header_scan.h"
#include "tagging/pair_places.h"
#include "tagging/pair_search.h"
#include "tests/chain_builder.h"

namespace {

const char* NaiveFind(const char* begin, const char* end, unsigned char first,
                      unsigned char last, std::size_t distance) {
  for (const char* p = begin; p + distance < end; ++p) {
    if (FoldCase(static_cast<unsigned char>(p[0])) == first &&
        FoldCase(static_cast<unsigned char>(p[distance])) == last) {
      return p;
    }
  }
  return nullptr;
}

TEST(PairSearch, EveryWidthAgreesWithTheNaiveSearch) {
  std::mt19937 rng(7);
  const std::string alphabet = "gG\"'xX <>/\x80\xE7\xC7ga";
  for (PairSearchKind kind : {PairSearchKind::kScalar, PairSearchKind::kSse2,
                              PairSearchKind::kAvx2, PairSearchKind::kAvx512}) {
    const char* probe;
    if (!FindFoldedPairWith(kind, "", "", 'G', '"', 1, &probe)) continue;
    for (int round = 0; round < 3000; ++round) {
      // Every other round sparse, so that long runs hold no candidate.
      const unsigned sparse = round % 2 == 0 ? 4 : 300;
      std::string text(rng() % 1500, 'x');
      for (char& c : text) {
        if (rng() % sparse == 0) c = alphabet[rng() % alphabet.size()];
      }
      const std::size_t distance = 1 + rng() % 70;
      const unsigned char first = rng() % 2 ? 'G' : '"';
      const unsigned char last = rng() % 2 ? '"' : 'X';
      for (std::size_t from = 0; from < std::min<std::size_t>(text.size(), 3);
           ++from) {
        const char* found;
        ASSERT_TRUE(FindFoldedPairWith(kind, text.data() + from,
                                       text.data() + text.size(), first, last,
                                       distance, &found));
        ASSERT_EQ(found,
                  NaiveFind(text.data() + from, text.data() + text.size(),
                            first, last, distance))
            << "kind " << static_cast<int>(kind) << " round " << round;
      }
      // Both pairs' places in one pass, copying or not, as the naive search
      // finds them one at a time.
      const FoldedPair one{
          'G', 'X',
          static_cast<std::uint32_t>(1 + distance % kMostPairDistance)};
      const FoldedPair other{'G', 'G',
                             static_cast<std::uint32_t>(1 + rng() % 9)};
      std::string to(text.size(), '\0');
      PairPlaces places;
      ASSERT_TRUE(FindPairPlacesWith(kind, round % 2 ? to.data() : nullptr,
                                     text.data(), text.size(), one, other,
                                     &places));
      ASSERT_TRUE(round % 2 == 0 || to == text);
      if (!AllKept(places)) continue;
      std::string seen[2] = {std::string(text.size(), '.'),
                             std::string(text.size(), '.')};
      for (std::uint32_t i = 0; i < places.blocks; ++i) {
        for (std::uint32_t k = 0; k < 64; ++k) {
          if (places.one[i] >> k & 1) seen[0].at(places.at[i] + k) = '1';
          if (places.other[i] >> k & 1) seen[1].at(places.at[i] + k) = '1';
        }
      }
      for (const std::size_t p : {std::size_t{0}, std::size_t{1}}) {
        const FoldedPair pair = p == 0 ? one : other;
        std::string expected(text.size(), '.');
        for (const char* at = text.data();
             (at = NaiveFind(at, text.data() + text.size(), pair.first,
                             pair.last, pair.distance));
             ++at) {
          expected[at - text.data()] = '1';
        }
        ASSERT_EQ(seen[p], expected) << static_cast<int>(kind) << round;
      }
    }
  }
}

TEST(PairSearch, CopyFindsTheFoldedByteWhereverItStands) {
  for (std::size_t size = 0; size < 300; size += 7) {
    for (std::size_t at = 0; at <= size; at += 5) {
      for (const char put : {'j', 'J', '*'}) {
        std::string from(size, 'i');
        if (at < size) from[at] = put;
        std::string to(size, '\0');
        const bool found = CopyFindingFolded(to.data(), from.data(), size, 'J');
        ASSERT_EQ(to, from);
        ASSERT_EQ(found, at < size && put != '*') << size << " " << at;
      }
    }
  }
}

TEST(PairSearch, CopyFindsEitherLetterAndNoOtherByte) {
  for (int c = 0; c < 256; ++c) {
    std::string from(70, 'i'), to(70, '\0');
    from[c % 70] = static_cast<char>(c);
    ASSERT_EQ(CopyFindingEitherFolded(to.data(), from.data(), 70, 'J', 'B'),
              (c | 0x20) == 'b' || (c | 0x20) == 'j')
        << c;
    ASSERT_EQ(to, from);
  }
}

// The body of a response, walked byte by byte with both markers.
bool NaiveCarries(const ResponseFacts& facts) {
  ChainCursor c = facts.bodyStart;
  do {
    if (MatchAt(c, kSecureScriptMarker) || MatchAt(c, kPlainScriptMarker)) {
      return true;
    }
  } while (StepForward(&c));
  return false;
}

TEST(DuplicateCheck, AgreesWithTheByteByByteWalk) {
  std::mt19937 rng(11);
  const std::string markers[] = {
      kPlainScriptMarker,
      kSecureScriptMarker,
      "<SCRIPT SRC=\"HTTPS://SSL.GOOGLE-ANALYTICS.COM/URCHIN.JS\"",
      "<script src=\"http://ssl.google-analytics.com/urchin.js\"",
      "<script src=\"https://www.google-analytics.com/urchin.js\"",
      "<script src=\"http://www.google-analytics.com/urchin.js'"};
  int found = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string body(rng() % 200, 'a');
    for (char& c : body) c = "ab<\"g/ "[rng() % 7];
    std::string marker = markers[rng() % 6];
    if (rng() % 3 == 0) marker.erase(rng() % marker.size(), 1);
    body.insert(rng() % (body.size() + 1), marker);
    // Sometimes the marker, or its end, sits in the headers instead.
    const std::string headers = rng() % 8 == 0 ? "X-A: " + marker + "\r\n" : "";
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n" + headers + "\r\n" +
        body;
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1 + rng() % 40; at < response.size();
         at += 1 + rng() % 60) {
      cuts.push_back(at);
    }
    TestChain chain(rng() % 5 == 0 ? TestChain::Bytes(response)
                                   : TestChain::Cut(response, cuts));
    const ResponseFacts facts = ScanResponseHeaders(chain.head());
    ASSERT_TRUE(facts.flags & kIsHtml);
    const bool expected = NaiveCarries(facts);
    found += expected;
    ASSERT_EQ(CarriesTrackingScript(facts.bodyStart), expected) << response;
  }
  EXPECT_GT(found, 400) << "the rounds must exercise both answers";
  EXPECT_LT(found, 1600);
}

}  // namespace
