#include "tagging/markup_start.h"

bool ReadsAsMarkup(const ChainCursor& first) {
  ChainCursor c = first;
  bool byteOrderMark = false;
  while (HasByte(c)) {
    const unsigned char b = ByteAt(c);
    if (b == '<') return true;
    if (b == 0xEF && !byteOrderMark && MatchAt(c, "\xEF\xBB\xBF")) {
      byteOrderMark = true;
      if (!Advance(&c, 3)) return false;
      continue;
    }
    if (b != ' ' && b != '\t' && b != '\r' && b != '\n') return false;
    if (!StepForward(&c)) return false;
  }
  return false;
}
