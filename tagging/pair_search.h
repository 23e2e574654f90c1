// A fast filter for the search of a fixed text in a record's bytes: finds
// the positions whose byte matches the text's first character and whose
// byte `distance` further on matches its last character, both under ASCII
// case folding. Reads only [begin, end); owns nothing.
#ifndef TAGSMITH_TAGGING_PAIR_SEARCH_H_
#define TAGSMITH_TAGGING_PAIR_SEARCH_H_

#include <cstddef>

// The first p in [begin, end - distance) with FoldCase(p[0]) == first and
// FoldCase(p[distance]) == last, or null. `first` and `last` are folded
// (capital) characters.
const char* FindFoldedPair(const char* begin, const char* end,
                           unsigned char first, unsigned char last,
                           std::size_t distance);

// Copies `count` bytes from `from` to `to` (not overlapping) and tells
// whether any of them folds to `folded` (a folded character), so that a
// search for it can be skipped without reading the bytes again.
bool CopyFindingFolded(char* to, const char* from, std::size_t count,
                       unsigned char folded);

// The same for either of two folded letters whose codes differ in one bit
// (such as "B" and "J"): one test of each byte serves both, so the copy
// costs no more than for one.
// REQUIRES: both are letters and their codes differ in exactly one bit.
bool CopyFindingEitherFolded(char* to, const char* from, std::size_t count,
                             unsigned char first, unsigned char second);

// The same with a chosen implementation, so that tests reach each of them:
// FindFoldedPair picks the widest one the processor has. False when this
// build or processor has no such implementation.
enum class PairSearchKind { kScalar, kSse2, kAvx2, kAvx512 };
bool FindFoldedPairWith(PairSearchKind kind, const char* begin, const char* end,
                        unsigned char first, unsigned char last,
                        std::size_t distance, const char** found);

#endif  // TAGSMITH_TAGGING_PAIR_SEARCH_H_
