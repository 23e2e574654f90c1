#include "tagging/profile_reader.h"

#include <cstddef>
#include <cstring>

#include "tagging/small_file_read.h"

namespace {

// ASCII only, whatever the locale: bytes 0x80-0xFF are never blank and
// never fold, as in the platform reader.
bool IsBlank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' ||
         c == 0x1A;
}
bool IsLineEnd(unsigned char c) { return c == '\n' || c == '\r'; }
unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A'))
                                : c;
}

// Compares a name arriving byte by byte with the wanted one, ignoring case
// and blanks at both ends, without storing it: a name in the file may be
// longer than any buffer.
struct NameMatcher {
  const char* want;
  std::size_t wantLen;
  std::size_t fed;   // bytes after the leading blanks, stops at wantLen + 1
  std::size_t end;   // `fed` after the last non-blank byte
  bool prefixEqual;  // the first min(fed, wantLen) bytes equal `want`

  void Start() {
    fed = end = 0;
    prefixEqual = true;
  }
  void Feed(unsigned char c) {
    if (fed == 0 && IsBlank(c)) return;
    if (fed < wantLen && Fold(c) != Fold(static_cast<unsigned char>(want[fed])))
      prefixEqual = false;
    if (fed <= wantLen) ++fed;
    if (!IsBlank(c)) end = fed;
  }
  // Trailing blanks are excluded because `end` stops at the last non-blank.
  bool Matches() const { return prefixEqual && end == wantLen; }
  // Whether no bytes to come can make it match: `end` never falls again.
  bool Lost() const { return !prefixEqual || end > wantLen; }
};

// Collects the value after '=' straight into out, from its first non-blank
// byte on. It keeps up to `size` bytes, one more than the result holds, so
// that an opening quote can still be dropped; the rest is only counted.
struct ValueSink {
  char* out;
  std::uint32_t size;
  std::uint64_t seen;  // bytes since the first non-blank
  std::uint64_t end;   // `seen` after the last non-blank byte
  unsigned char first, last;

  void Feed(unsigned char c) {
    if (seen == 0 && IsBlank(c)) return;
    if (seen == 0) first = c;
    if (seen < size) out[seen] = static_cast<char>(c);
    ++seen;
    if (!IsBlank(c)) {
      end = seen;
      last = c;
    }
  }
  std::uint32_t Finish() const {
    const std::uint32_t cap = size - 1;
    std::uint32_t n;
    if (end >= 2 && (first == '"' || first == '\'') && last == first) {
      const std::uint64_t inner = end - 2;
      // The platform reader drops one more byte when the quoted text is
      // exactly cap long; longer text is cut at cap as usual.
      n = inner < cap ? static_cast<std::uint32_t>(inner)
                      : (inner == cap && cap > 0 ? cap - 1 : cap);
      std::memmove(out, out + 1,
                   n);  // out[1..n] were stored: n <= cap, n <= inner
    } else {
      n = end < cap ? static_cast<std::uint32_t>(end) : cap;
    }
    out[n] = '\0';
    return n;
  }
};

enum class State { LineStart, SkipLine, Header, Key, Value };
enum class Outcome { Searching, Done };

// Looks for up to kMaxProfileKeys keys of one section in one pass.
static_assert(kMaxProfileKeys <= 16, "a key's bit fits in Parser::live");
struct Parser {
  State state;
  bool inSection;      // inside the first block of the wanted section
  bool headerClosed;   // the header line has had a ']'
  bool headerMatches;  // the name up to the latest ']' is the wanted one
  NameMatcher section;
  std::size_t keyCount;
  std::size_t pending;  // keys not found yet
  std::size_t current;  // the key whose value is being read
  // Bit i: key i is not found yet and the line's name so far may still be
  // it. Only these are fed, so a name costs a byte or two per key.
  unsigned live;
  NameMatcher keys[kMaxProfileKeys];
  ValueSink values[kMaxProfileKeys];
  bool found[kMaxProfileKeys];

  // The first key not found yet that the line's name matches, or keyCount.
  std::size_t MatchingKey() const {
    for (std::size_t i = 0; i < keyCount; ++i) {
      if ((live >> i & 1u) != 0 && keys[i].Matches()) return i;
    }
    return keyCount;
  }
  // Feeds the name's byte to the keys still live, dropping those it rules
  // out.
  void FeedKeys(unsigned char c) {
    for (std::size_t i = 0; i < keyCount; ++i) {
      if ((live >> i & 1u) == 0) continue;
      keys[i].Feed(c);
      if (keys[i].Lost()) live &= ~(1u << i);
    }
  }
  // A key's first line wins, even an empty one; later lines naming it are
  // skipped.
  Outcome Resolve(std::size_t i) {
    found[i] = true;
    return --pending == 0 ? Outcome::Done : Outcome::Searching;
  }

  // One byte of the file. CR, LF and (for the rest of the line) NUL end a line.
  Outcome Step(unsigned char c) {
    const bool lineEnd = IsLineEnd(c);
    switch (state) {
      case State::LineStart:
        if (lineEnd || IsBlank(c)) return Outcome::Searching;
        if (c == '[') {
          section.Start();
          headerClosed = headerMatches = false;
          state = State::Header;
        } else if (inSection && c != '\0') {
          live = 0;
          for (std::size_t i = 0; i < keyCount; ++i) {
            if (found[i]) continue;
            keys[i].Start();
            live |= 1u << i;
          }
          FeedKeys(c);
          state = State::Key;
        } else {
          state =
              State::SkipLine;  // outside the section, keys are skipped unread
        }
        return Outcome::Searching;
      case State::SkipLine:
        if (lineEnd) state = State::LineStart;
        return Outcome::Searching;
      case State::Header:
        if (lineEnd || c == '\0') {
          state = lineEnd ? State::LineStart : State::SkipLine;
          if (!headerClosed)
            return Outcome::Searching;  // "[name" alone is not a header
          if (inSection)
            return Outcome::Done;  // a later block is never searched
          inSection = headerMatches;
          return Outcome::Searching;
        }
        if (c ==
            ']') {  // the name runs to the last ']', so each one re-decides
          headerClosed = true;
          headerMatches = section.Matches();
        }
        section.Feed(c);
        return Outcome::Searching;
      case State::Key:
        if (c == '=') {  // the first '=' splits; later ones are in the value
          current = MatchingKey();
          state = current < keyCount ? State::Value : State::SkipLine;
          return Outcome::Searching;
        }
        if (lineEnd || c == '\0') {
          state = lineEnd ? State::LineStart : State::SkipLine;
          // No '=': the key is found all the same, with an empty value.
          const std::size_t i = MatchingKey();
          return i < keyCount ? Resolve(i) : Outcome::Searching;
        }
        FeedKeys(c);
        return Outcome::Searching;
      case State::Value:
        if (lineEnd || c == '\0') {
          state = lineEnd ? State::LineStart : State::SkipLine;
          return Resolve(current);
        }
        values[current].Feed(c);
        return Outcome::Searching;
    }
    return Outcome::Done;
  }
};

std::uint32_t CopyCut(const char* from, char* out, std::uint32_t size) {
  std::uint32_t n = 0;
  if (from != nullptr) {
    while (n + 1 < size && from[n] != '\0') {
      out[n] = from[n];
      ++n;
    }
  }
  out[n] = '\0';
  return n;
}

}  // namespace

void ReadProfileStrings(const char* section, ProfileQuery* queries,
                        std::size_t count, const char* path) {
  Parser p{};
  p.state = State::LineStart;
  p.keyCount = count < kMaxProfileKeys ? count : kMaxProfileKeys;
  bool sought[kMaxProfileKeys] = {};
  for (std::size_t i = 0; i < p.keyCount; ++i) {
    ProfileQuery& q = queries[i];
    // A key that cannot be looked up counts as found, so it is not sought.
    sought[i] = q.size != 0 && q.out != nullptr && q.key != nullptr;
    p.found[i] = !sought[i];
    if (sought[i]) ++p.pending;
    p.keys[i].want = q.key;
    p.keys[i].wantLen = q.key != nullptr ? std::strlen(q.key) : 0;
    p.values[i] = ValueSink{q.out, q.size, 0, 0, 0, 0};
  }
  const bool searchable =
      section != nullptr && path != nullptr && p.pending > 0;
  // Whatever is not a regular file of at most the bound reads as absent:
  // a missing file, a device, a larger file alike give the defaults.
  SmallFile file;
  const bool opened =
      searchable && OpenSmallFile(path, kMaxProfileFileBytes, &file) ==
                        SmallFileStatus::kRead;
  if (opened) {
    p.section.want = section;
    p.section.wantLen = std::strlen(section);
    unsigned char buf[kProfileReadChunk];
    Outcome outcome = Outcome::Searching;
    for (bool firstChunk = true; outcome == Outcome::Searching;
         firstChunk = false) {
      std::size_t n = 0;
      if (ReadSmallFile(&file, buf, sizeof buf, &n) != SmallFileStatus::kRead) {
        // A file that cannot be read, is not a regular file or has grown
        // past the bound has no settings, not even those seen.
        for (std::size_t i = 0; i < p.keyCount; ++i) p.found[i] = false;
        break;
      }
      // Skip a UTF-8 byte-order mark; the bytes after it are taken as they are.
      std::size_t i =
          (firstChunk && n >= 3 && std::memcmp(buf, "\xEF\xBB\xBF", 3) == 0)
              ? 3
              : 0;
      for (; i < n && outcome == Outcome::Searching; ++i)
        outcome = p.Step(buf[i]);
      if (outcome == Outcome::Searching && n < sizeof buf) {
        // End of file (an empty file too) ends the last line, which may have
        // no line end of its own.
        p.Step('\n');
        break;
      }
    }
    CloseSmallFile(&file);
  }
  for (std::size_t i = 0; i < p.keyCount; ++i) {
    ProfileQuery& q = queries[i];
    if (q.size == 0 || q.out == nullptr) {
      q.length = 0;
    } else if (opened && sought[i] && p.found[i]) {
      q.length = p.values[i].Finish();
    } else {
      q.length = CopyCut(q.defaultValue, q.out, q.size);
    }
  }
  for (std::size_t i = p.keyCount; i < count; ++i) queries[i].length = 0;
}

std::uint32_t ReadProfileString(const char* section, const char* key,
                                const char* defaultValue, char* out,
                                std::uint32_t size, const char* path) {
  ProfileQuery query{key, defaultValue, out, size, 0};
  ReadProfileStrings(section, &query, 1, path);
  return query.length;
}
