#include "tagging/content_length.h"

#include <cassert>

#include "buffer/chain_cursor.h"
#include "buffer/chain_edit.h"

namespace {

enum class ParseState { kLeadingSpace, kSign, kDigits, kDone };

}  // namespace

std::uint32_t ParseLengthValue(const ValueSpan& span) {
  std::uint32_t value = 0;
  bool negative = false;
  bool overflow = false;
  ParseState state = ParseState::kLeadingSpace;
  ForEachSpanPiece(span, [&](const char* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count && state != ParseState::kDone; ++i) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      if (state == ParseState::kLeadingSpace) {
        if (IsWhiteSpace(c)) continue;
        state = ParseState::kSign;
      }
      if (state == ParseState::kSign) {
        state = ParseState::kDigits;
        if (c == '+' || c == '-') {
          negative = c == '-';
          continue;
        }
      }
      if (c < '0' || c > '9') {
        state = ParseState::kDone;
        break;
      }
      const std::uint32_t digit = c - '0';
      if (value > (0xFFFFFFFFu - digit) / 10) overflow = true;
      value = value * 10 + digit;
    }
  });
  if (overflow) value = 0xFFFFFFFFu;
  return negative ? 0u - value : value;
}

std::uint32_t FormatDecimal(std::uint32_t value, char* out) {
  char reversed[10];
  std::uint32_t n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (std::uint32_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
  return n;
}

void PlanContentLength(EditPlan* plan, const ResponseFacts& facts,
                       std::uint32_t newLength, LengthRewrite* rewrite) {
  assert((facts.flags & kHasContentLength) != 0);
  const ValueSpan& span = facts.lengthValue;
  PointRecord(&rewrite->value, rewrite->digits,
              FormatDecimal(newLength, rewrite->digits));
  ChunkNode* const pieces[] = {&rewrite->value};
  // The span ends just after the value's last byte, which may be its
  // record's end; the rest of that record follows the new digits.
  const ChainCursor end{span.last.node, span.last.pos + 1};
  AddEdit(plan, span.first, &end, pieces, 1, &rewrite->lineTail);
}
