#include "tagging/content_length.h"

#include "buffer/chain_cursor.h"

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

void RewriteContentLength(const ResponseFacts& facts, std::uint32_t added,
                          LengthRewrite* rewrite) {
  const ValueSpan& span = facts.lengthValue;
  const std::uint32_t newLength = ParseLengthValue(span) + added;

  auto* first = const_cast<ChunkNode*>(span.first.node);
  auto* last = const_cast<ChunkNode*>(span.last.node);
  // The tail starts after the old value and runs to the end of its record
  // as it stands now: shortened already when it also held the body tag.
  ChunkNode* const lineTail = &rewrite->lineTail;
  lineTail->data = span.last.pos + 1;
  lineTail->length = static_cast<std::uint32_t>(
      last->data + last->length - lineTail->data);
  lineTail->next = last->next;
  lineTail->prev = &rewrite->value;
  if (lineTail->next != nullptr) lineTail->next->prev = lineTail;

  ChunkNode* const value = &rewrite->value;
  value->data = rewrite->digits;
  value->length = FormatDecimal(newLength, rewrite->digits);
  value->prev = first;
  value->next = lineTail;

  // The record where the value began ends just before it; any records the
  // value ran through are left out of the chain.
  first->length = static_cast<std::uint32_t>(span.first.pos - first->data);
  first->next = value;
}
