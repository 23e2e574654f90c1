#include "tagging/header_scan.h"

#include <cassert>
#include <cstring>

namespace {

constexpr unsigned char kCr = '\r';
constexpr unsigned char kLf = '\n';

bool EndsLine(unsigned char c) { return c == kCr || c == kLf; }

// Fills `span` with the value that starts at `c` and runs to the byte
// before the first CR or LF (or to the chain's last byte). False, span
// untouched, when the value is empty or the chain has ended.
bool ReadValueSpan(ChainCursor c, ValueSpan* span) {
  if (!HasByte(c) || EndsLine(ByteAt(c))) return false;
  ValueSpan found{c, c};
  // A value ends with its line, even a line ending in a bare LF, so that it
  // never takes in the header lines below it.
  while (StepForward(&c) && !EndsLine(ByteAt(c))) found.last = c;
  *span = found;
  return true;
}

// Skips TAB, VT, FF and spaces; stops on a line end or past the chain.
void SkipBlanks(ChainCursor* c) {
  while (HasByte(*c) && IsWhiteSpace(ByteAt(*c)) && !EndsLine(ByteAt(*c))) {
    if (!StepForward(c)) return;
  }
}

// Reads the coding value that starts at `c` (the rest of its line, trimmed
// of white space) into `value`. A value longer than `capacity` names no
// coding the filter knows; it is cut at `capacity` + 1 bytes, so that it
// still reads as another coding.
std::uint32_t ReadCodingValue(ChainCursor c, char* value,
                              std::uint32_t capacity) {
  SkipBlanks(&c);
  std::uint32_t length = 0;
  std::uint32_t trimmed = 0;  // the length without trailing white space
  while (HasByte(c) && !EndsLine(ByteAt(c)) && length <= capacity) {
    value[length++] = static_cast<char>(ByteAt(c));
    if (!IsWhiteSpace(ByteAt(c))) trimmed = length;
    if (!StepForward(&c)) break;
  }
  return trimmed;
}

constexpr std::uint32_t kLongestCoding = 16;

enum class LineVerdict {
  kGoOn,    // the line is noted, or not one of ours
  kRefuse,  // the response must leave untouched
};

// Looks at one header line whose first byte is under `line`.
LineVerdict InspectHeaderLine(const ChainCursor& line,
                              std::uint32_t* contentLengths,
                              ResponseFacts* facts) {
  // Every header looked for begins with a C, an X or a T: any other line
  // is passed over without a comparison.
  switch (FoldCase(ByteAt(line))) {
    case 'C':
    case 'X':
    case 'T':
      break;
    default:
      return LineVerdict::kGoOn;
  }
  ChainCursor value = line;
  if (MatchAt(line, "Content-Type: ")) {
    if (Advance(&value, 14) && MatchAt(value, "text/html")) {
      facts->flags |= kIsHtml;
    }
    return LineVerdict::kGoOn;
  }
  if (MatchAt(line, "X-Tagsmith: ")) {
    if (Advance(&value, 12) && ReadValueSpan(value, &facts->accountValue)) {
      facts->flags |= kHasAccountHeader;
    }
    return LineVerdict::kGoOn;
  }
  if (MatchAt(line, "Content-Length:")) {
    ++facts->codings.lengthHeaders;
    // Only one length, written as the rewrite expects it, can be corrected;
    // any other would go out stating the old length of a longer page.
    if (++*contentLengths > 1) return LineVerdict::kRefuse;
    if (!Advance(&value, 15) || !HasByte(value) || ByteAt(value) != ' ' ||
        !Advance(&value, 1) || !ReadValueSpan(value, &facts->lengthValue)) {
      return LineVerdict::kRefuse;
    }
    facts->flags |= kHasContentLength;
    return LineVerdict::kGoOn;
  }
  if (MatchAt(line, "Content-Security-Policy:")) {
    if (Advance(&value, 24)) {
      SkipBlanks(&value);
      ValueSpan span{};
      if (ReadValueSpan(value, &span)) {
        if (facts->policyCount < kMaxPolicies) {
          facts->policies[facts->policyCount] = span;
        }
        ++facts->policyCount;
      }
    }
    return LineVerdict::kGoOn;
  }
  // Codings are only noted here; whether the body can be read and tagged
  // is decided once all the headers are known.
  char coding[kLongestCoding + 1];
  if (MatchAt(line, "Transfer-Encoding:")) {
    const std::uint32_t n = Advance(&value, 18)
                                ? ReadCodingValue(value, coding, kLongestCoding)
                                : 0;
    NoteTransferCoding(coding, n, &facts->codings);
    return LineVerdict::kGoOn;
  }
  if (MatchAt(line, "Content-Encoding:")) {
    const std::uint32_t n = Advance(&value, 17)
                                ? ReadCodingValue(value, coding, kLongestCoding)
                                : 0;
    NoteContentCoding(coding, n, &facts->codings);
    return LineVerdict::kGoOn;
  }
  return LineVerdict::kGoOn;
}

// Moves `c` onto the first byte of the next line: on to the next LF (the
// current byte included), then one step more. False when the chain ends
// first.
bool NextLine(ChainCursor* c) {
  assert(HasByte(*c));
  for (;;) {
    const char* end = c->node->data + c->node->length;
    const auto* lf = static_cast<const char*>(
        std::memchr(c->pos, kLf, static_cast<std::size_t>(end - c->pos)));
    // Not in this record: on from its last byte into the next one.
    c->pos = lf != nullptr ? lf : end - 1;
    if (!StepForward(c)) return false;
    if (lf != nullptr) return true;
  }
}

// Finds the first "200" of the status line, followed by white space. On
// success `c` stands on that white-space byte.
bool FindStatus200(ChainCursor* c) {
  while (!MatchAt(*c, "200")) {
    if (ByteAt(*c) == kCr || !StepForward(c)) return false;
  }
  // Only the first "200" counts; the byte after it must exist.
  return Advance(c, 3) && HasByte(*c) && IsWhiteSpace(ByteAt(*c));
}

}  // namespace

ResponseFacts ScanResponseHeaders(const ChunkNode* head) {
  assert(head != nullptr);
  ResponseFacts facts{};
  const ChunkNode* first = FirstRecordWithBytes(head);
  if (first == nullptr) return facts;
  ChainCursor c = CursorAtStart(first);
  if (ByteAt(c) == kCr || !FindStatus200(&c)) return facts;

  // The status line runs to the next LF after the white space; when that
  // byte is itself an LF, to the LF after it.
  if (!StepForward(&c) || !NextLine(&c) || ByteAt(c) == kCr) return facts;

  std::uint32_t contentLengths = 0;
  for (;;) {
    if (InspectHeaderLine(c, &contentLengths, &facts) == LineVerdict::kRefuse) {
      return ResponseFacts{};
    }
    // Headers without an end leave the page untagged.
    if (!NextLine(&c)) return ResponseFacts{};
    if (ByteAt(c) == kCr) {
      facts.bodyStart = c;
      return facts;
    }
  }
}

void MoveFactsToHeldCopy(ResponseFacts* facts, const char* arriving,
                         std::uint32_t count, const ResponseChain& chain,
                         const AppendMark& mark) {
  const auto begin = reinterpret_cast<std::uintptr_t>(arriving);
  const auto move = [&](ChainCursor* c) {
    const auto at = reinterpret_cast<std::uintptr_t>(c->pos);
    // Positions in records held before stay where they are.
    if (at < begin || at - begin >= count) return;
    *c = HeldPositionOf(chain, mark, static_cast<std::uint32_t>(at - begin));
  };
  const auto moveSpan = [&](ValueSpan* span) {
    move(&span->first);
    move(&span->last);
  };
  move(&facts->bodyStart);
  moveSpan(&facts->accountValue);
  moveSpan(&facts->lengthValue);
  for (ValueSpan& policy : facts->policies) moveSpan(&policy);
}
