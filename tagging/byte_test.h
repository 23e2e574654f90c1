// One byte's test under ASCII case folding, shared by the pair searches and
// the pair places: a byte b folds to the letter L exactly when (b | 0x20) is
// L's small form; any other byte must be equal. So one OR and one compare
// test a byte, in a vector as well. Constants and pure functions only.
#ifndef TAGSMITH_TAGGING_BYTE_TEST_H_
#define TAGSMITH_TAGGING_BYTE_TEST_H_

struct ByteTest {
  unsigned char mask;
  unsigned char value;
};

// The test for `folded`, a folded (capital) character.
inline ByteTest TestFor(unsigned char folded) {
  if (folded >= 'A' && folded <= 'Z') {
    return {0x20, static_cast<unsigned char>(folded | 0x20)};
  }
  return {0, folded};
}

inline bool Passes(const char* p, ByteTest t) {
  return (static_cast<unsigned char>(*p) | t.mask) == t.value;
}

#endif  // TAGSMITH_TAGGING_BYTE_TEST_H_
