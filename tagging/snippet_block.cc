#include "tagging/snippet_block.h"

#include <cassert>
#include <cstring>

#include "buffer/chain_cursor.h"
#include "tagging/plain_file.h"
#include "tagging/script_policy.h"
#include "tagging/tracking_block.h"

namespace {

constexpr char kAccountField[] = "{account}";
constexpr std::size_t kAccountFieldLength = sizeof(kAccountField) - 1;
// The expanded text may hold the account many times over; past this it is
// taken as refused.
constexpr std::size_t kMaxBlockBytes = 16u << 20;

bool StartsFolded(const char* p, const char* end, const char* lower) {
  for (; *lower != '\0'; ++p, ++lower) {
    if (p == end || FoldCase(static_cast<unsigned char>(*p)) !=
                        FoldCase(static_cast<unsigned char>(*lower))) {
      return false;
    }
  }
  return true;
}

bool IsTagSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// The length of a script start tag's "<script" at p, or 0.
std::size_t ScriptTagAt(const char* p, const char* end) {
  constexpr std::size_t kOpen = 7;  // <script
  if (!StartsFolded(p, end, "<script") || end - p <= 7) return 0;
  const char next = p[kOpen];
  return IsTagSpace(next) || next == '>' || next == '/' ? kOpen : 0;
}

bool Append(const WorkingHeap& heap, HeapBuffer* out, const char* bytes,
            std::size_t length) {
  if (length == 0) return true;
  if (!ReserveBuffer(heap, out, length, kMaxBlockBytes)) return false;
  std::memcpy(out->bytes + out->length, bytes, length);
  out->length += length;
  return true;
}

}  // namespace

bool IsPlainFileName(const char* name, std::uint32_t length) {
  if (length == 0 || (length == 1 && name[0] == '.') ||
      (length == 2 && name[0] == '.' && name[1] == '.')) {
    return false;
  }
  for (std::uint32_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c == '\\' || c == ':' || c < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

TextSpan DefaultSnippetMarker(const char* text, std::size_t length) {
  const char* const end = text + length;
  for (const char* p = text; p < end; ++p) {
    // An attribute of its own: not the end of data-src="..." or the like.
    if ((p == text || !IsTagSpace(p[-1])) || !StartsFolded(p, end, "src=\"")) {
      continue;
    }
    const char* value = p + 5;
    const char* q = value;
    while (q < end && *q != '"' && *q != '?' && *q != '#' && *q != '\0' &&
           !StartsFolded(q, end, kAccountField)) {
      ++q;
    }
    return TextSpan{value, static_cast<std::size_t>(q - value)};
  }
  return TextSpan{nullptr, 0};
}

bool HasInlineScript(const char* text, std::size_t length) {
  const char* const end = text + length;
  for (const char* p = text; p < end; ++p) {
    const std::size_t open = ScriptTagAt(p, end);
    if (open == 0) continue;
    const char* q = p + open;
    bool src = false;
    for (; q < end && *q != '>'; ++q) {
      src = src || (IsTagSpace(q[-1]) && StartsFolded(q, end, "src") &&
                    end - q > 3 && (q[3] == '=' || IsTagSpace(q[3])));
    }
    if (!src) return true;
    p = q;
    if (p == end) break;
  }
  return false;
}

bool ExpandBlockText(TextSpan text, const ValueSpan* account,
                     TextSpan configured, TextSpan nonce,
                     const WorkingHeap& heap, HeapBuffer* out) {
  const char* const end = text.bytes + text.length;
  const char* copied = text.bytes;
  bool ok = true;
  for (const char* p = text.bytes; p < end && ok;) {
    if (*p == '{' && static_cast<std::size_t>(end - p) >= kAccountFieldLength &&
        std::memcmp(p, kAccountField, kAccountFieldLength) == 0) {
      ok = Append(heap, out, copied, static_cast<std::size_t>(p - copied));
      if (account == nullptr) {
        ok = ok && Append(heap, out, configured.bytes, configured.length);
      } else {
        ForEachSpanPiece(*account, [&](const char* bytes, std::uint32_t n) {
          ok = ok && Append(heap, out, bytes, n);
        });
      }
      p += kAccountFieldLength;
      copied = p;
      continue;
    }
    const std::size_t open = nonce.length > 0 ? ScriptTagAt(p, end) : 0;
    if (open > 0) {
      p += open;
      ok = Append(heap, out, copied, static_cast<std::size_t>(p - copied)) &&
           Append(heap, out, " nonce=\"", 8) &&
           Append(heap, out, nonce.bytes, nonce.length) &&
           Append(heap, out, "\"", 1);
      copied = p;
      continue;
    }
    ++p;
  }
  return ok &&
         Append(heap, out, copied, static_cast<std::size_t>(end - copied));
}

void StartBlockText(BlockText* block) {
  block->snippet = HeapBuffer{nullptr, 0, 0};
  block->text = HeapBuffer{nullptr, 0, 0};
  block->built = false;
  block->ownMarker = false;
  block->marker[0] = '\0';
}

void ReleaseBlockText(const WorkingHeap& heap, BlockText* block) {
  ReleaseBuffer(heap, &block->snippet);
  ReleaseBuffer(heap, &block->text);
}

TagResult PrepareBlockText(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                           const SiteConfig& config, const WorkingHeap& heap,
                           BlockText* block) {
  const bool snippet = config.snippetLength > 0;
  if (snippet) {
    // The file's name after a slash, as the configuration file's is.
    char name[kBlockTextSize + 1];
    name[0] = '/';
    std::memcpy(name + 1, config.snippet, config.snippetLength + 1);
    char path[kConfigPathSize];
    if (!IsPlainFileName(config.snippet, config.snippetLength) ||
        !SiteFilePath(pfc, name, path) ||
        !ReadPlainFile(path, kMaxSnippetBytes, heap, &block->snippet)) {
      return TagResult::kSnippetUnreadable;
    }
    TextSpan marker{config.snippetMarker, config.snippetMarkerLength};
    if (marker.length == 0) {
      marker =
          DefaultSnippetMarker(block->snippet.bytes, block->snippet.length);
    }
    // Cut at a NUL, and to the buffer: a shorter marker only tags less.
    const void* nul = marker.length > 0
                          ? std::memchr(marker.bytes, '\0', marker.length)
                          : nullptr;
    if (nul != nullptr) {
      marker.length = static_cast<std::size_t>(static_cast<const char*>(nul) -
                                               marker.bytes);
    }
    if (marker.length == 0) return TagResult::kSnippetNoMarker;
    if (marker.length >= kBlockTextSize) marker.length = kBlockTextSize - 1;
    std::memcpy(block->marker, marker.bytes, marker.length);
    block->marker[marker.length] = '\0';
    block->ownMarker = true;
  }

  ScriptPolicy policy;
  if (!JudgeScriptPolicy(facts, heap, &policy)) return TagResult::kNoMemory;
  const bool inlineScript =
      !snippet || HasInlineScript(block->snippet.bytes, block->snippet.length);
  if (inlineScript && !policy.inlineAllowed) return TagResult::kBlockedByPolicy;
  if (!snippet && policy.nonceLength == 0) return TagResult::kTagged;

  // The account as the fixed block takes it: the configured one, else the
  // page's own header value, wherever seams cut it.
  const TextSpan configured{config.account, config.accountLength};
  const ValueSpan* header =
      config.accountLength > 0 ? nullptr : &facts.accountValue;
  assert(header == nullptr || (facts.flags & kHasAccountHeader) != 0);
  const TextSpan nonce{policy.nonce, policy.nonceLength};
  bool ok = true;
  if (snippet) {
    ok = ExpandBlockText(TextSpan{block->snippet.bytes, block->snippet.length},
                         header, configured, nonce, heap, &block->text);
  } else {
    const bool secure = pfc->fIsSecurePort != 0 || config.alwaysSslLength > 0;
    const char* head = secure ? kSecureScriptHead : kPlainScriptHead;
    // The account goes in as it stands; the account rule keeps "<" out of it.
    ok = ExpandBlockText(TextSpan{head, std::strlen(head)}, nullptr, {}, nonce,
                         heap, &block->text);
    if (ok && header == nullptr) {
      ok = Append(heap, &block->text, config.account, config.accountLength);
    } else if (ok) {
      ForEachSpanPiece(*header, [&](const char* bytes, std::uint32_t n) {
        ok = ok && Append(heap, &block->text, bytes, n);
      });
    }
    ok = ok && ExpandBlockText(TextSpan{kScriptTail, std::strlen(kScriptTail)},
                               nullptr, {}, nonce, heap, &block->text);
  }
  if (!ok) return TagResult::kNoMemory;
  block->built = true;
  return TagResult::kTagged;
}
