#include "tagging/script_policy.h"

#include <cstring>

#include "buffer/chain_cursor.h"

namespace {

bool IsPolicySpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Whether a token is `word`, in any ASCII case.
bool TokenIs(const char* token, std::uint32_t length, const char* word) {
  if (std::strlen(word) != length) return false;
  for (std::uint32_t i = 0; i < length; ++i) {
    if (FoldCase(static_cast<unsigned char>(token[i])) !=
        FoldCase(static_cast<unsigned char>(word[i]))) {
      return false;
    }
  }
  return true;
}
bool TokenStarts(const char* token, std::uint32_t length, const char* word) {
  const auto n = static_cast<std::uint32_t>(std::strlen(word));
  return length >= n && TokenIs(token, n, word);
}

// A nonce that can stand in a double-quoted attribute: base64 or its URL
// variant.
bool IsNonceByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '-' ||
         c == '_' || c == '=';
}

// Calls visit(token, length) for each source of the directive `name` in the
// policy, and returns whether the directive is there. Only the first
// directive of a name counts.
template <typename Visit>
bool ForEachSource(PolicyText policy, const char* name, Visit visit) {
  const char* p = policy.bytes;
  const char* const end = p + policy.length;
  while (p < end) {
    const char* directiveEnd = static_cast<const char*>(
        std::memchr(p, ';', static_cast<std::size_t>(end - p)));
    if (directiveEnd == nullptr) directiveEnd = end;
    bool first = true;
    bool ours = false;
    while (p < directiveEnd) {
      while (p < directiveEnd && IsPolicySpace(*p)) ++p;
      const char* token = p;
      while (p < directiveEnd && !IsPolicySpace(*p)) ++p;
      const auto length = static_cast<std::uint32_t>(p - token);
      if (length == 0) break;
      if (first) {
        ours = TokenIs(token, length, name);
        first = false;
        if (!ours) break;
      } else {
        visit(token, length);
      }
    }
    if (ours) return true;
    p = directiveEnd + 1;
  }
  return false;
}

// The directive that governs scripts: script-src, else default-src.
template <typename Visit>
bool ForEachScriptSource(PolicyText policy, Visit visit) {
  return ForEachSource(policy, "script-src", visit) ||
         ForEachSource(policy, "default-src", visit);
}

// The nonce of a 'nonce-...' source, or an empty text.
PolicyText NonceOf(const char* token, std::uint32_t length) {
  constexpr std::uint32_t kPrefix = 7;  // 'nonce-
  if (!TokenStarts(token, length, "'nonce-") || length < kPrefix + 2 ||
      token[length - 1] != '\'' || length - kPrefix - 1 > kMaxNonceLength) {
    return PolicyText{nullptr, 0};
  }
  for (std::uint32_t i = kPrefix; i + 1 < length; ++i) {
    if (!IsNonceByte(token[i])) return PolicyText{nullptr, 0};
  }
  return PolicyText{token + kPrefix, length - kPrefix - 1};
}

}  // namespace

PolicyText FirstNonce(PolicyText policy) {
  PolicyText found{nullptr, 0};
  ForEachScriptSource(policy, [&found](const char* token, std::uint32_t n) {
    if (found.length == 0) found = NonceOf(token, n);
  });
  return found;
}

bool AllowsInline(PolicyText policy, PolicyText nonce) {
  bool unsafeInline = false;
  bool voided = false;  // a nonce, hash or 'strict-dynamic' voids it
  bool nonceMatches = false;
  const bool restricts =
      ForEachScriptSource(policy, [&](const char* token, std::uint32_t n) {
        const PolicyText named = NonceOf(token, n);
        if (named.length > 0) {
          voided = true;
          nonceMatches = nonceMatches || (named.length == nonce.length &&
                                          std::memcmp(named.bytes, nonce.bytes,
                                                      named.length) == 0);
        } else if (TokenIs(token, n, "'unsafe-inline'")) {
          unsafeInline = true;
        } else if (TokenIs(token, n, "'strict-dynamic'") ||
                   TokenStarts(token, n, "'sha256-") ||
                   TokenStarts(token, n, "'sha384-") ||
                   TokenStarts(token, n, "'sha512-")) {
          voided = true;
        }
      });
  return !restricts || nonceMatches || (unsafeInline && !voided);
}

bool JudgeScriptPolicy(const ResponseFacts& facts, const WorkingHeap& heap,
                       ScriptPolicy* policy) {
  policy->inlineAllowed = true;
  policy->nonceLength = 0;
  const std::uint32_t count =
      facts.policyCount < kMaxPolicies ? facts.policyCount : kMaxPolicies;
  HeapBuffer texts[kMaxPolicies] = {};
  PolicyText values[kMaxPolicies] = {};
  bool ok = true;
  for (std::uint32_t i = 0; i < count && ok; ++i) {
    const ValueSpan& span = facts.policies[i];
    if (span.first.node == span.last.node) {
      values[i] = PolicyText{
          span.first.pos,
          static_cast<std::uint32_t>(span.last.pos - span.first.pos + 1)};
      continue;
    }
    HeapBuffer* text = &texts[i];
    ForEachSpanPiece(span, [&](const char* bytes, std::uint32_t n) {
      ok = ok && ReserveBuffer(heap, text, n, 0xFFFFFFF0u);
      if (ok) {
        std::memcpy(text->bytes + text->length, bytes, n);
        text->length += n;
      }
    });
    values[i] =
        PolicyText{text->bytes, static_cast<std::uint32_t>(text->length)};
  }
  if (ok) {
    for (std::uint32_t i = 0; i < count && policy->nonceLength == 0; ++i) {
      const PolicyText nonce = FirstNonce(values[i]);
      if (nonce.length == 0) continue;
      std::memcpy(policy->nonce, nonce.bytes, nonce.length);
      policy->nonceLength = nonce.length;
    }
    // The policy judged: the first that names a nonce, else the first.
    policy->inlineAllowed = policy->nonceLength > 0 || count == 0 ||
                            AllowsInline(values[0], PolicyText{nullptr, 0});
  }
  for (HeapBuffer& text : texts) ReleaseBuffer(heap, &text);
  return ok;
}
