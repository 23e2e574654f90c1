// Drives the block's own text: a response's header block, cut at a seam,
// is scanned and its Content-Security-Policy values judged; a snippet is
// expanded with an account and the nonce found. Checks that the nonce is
// one a policy names and holds only bytes an attribute can take, that the
// expanded text has exactly the length its fields and script tags give,
// and that the default marker lies inside the snippet. A broken promise
// aborts.
//
// Input layout (FuzzedDataProvider): the seam from the end, the snippet
// and the account from the front, the header block is the rest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "buffer/response_chain.h"
#include "tagging/header_scan.h"
#include "tagging/script_policy.h"
#include "tagging/snippet_block.h"
#include "tagging/working_heap.h"

namespace {

void Check(bool promise) {
  if (!promise) std::abort();
}

bool IsNonceByte(char c) {
  return std::strchr("+/-_=", c) != nullptr || (c >= '0' && c <= '9') ||
         ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

// Script start tags and "{account}" fields of the snippet, counted apart
// from the expansion's own scan.
void CountFields(const std::string& text, std::size_t* tags,
                 std::size_t* fields) {
  *tags = *fields = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 9, "{account}") == 0) {
      ++*fields;
      i += 9;
      continue;
    }
    if (i + 7 < text.size()) {
      std::string word = text.substr(i, 7);
      for (char& c : word) c = static_cast<char>(std::tolower(c));
      if (word == "<script" && std::strchr(" \t\n\f\r>/", text[i + 7]) &&
          text[i + 7] != '\0') {
        ++*tags;
        i += 7;
        continue;
      }
    }
    ++i;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t seam = in.ConsumeIntegral<std::uint16_t>();
  const std::string snippet = in.ConsumeRandomLengthString(4096);
  const std::string account = in.ConsumeRandomLengthString(15);
  const std::string head =
      "HTTP/1.1 200 OK\r\n" + in.ConsumeRemainingBytesAsString();

  // The header block in two records, each in its own block.
  const std::size_t cut = head.empty() ? 0 : seam % head.size();
  std::string first = head.substr(0, cut);
  std::string second = head.substr(cut);
  ChunkNode nodes[2] = {};
  nodes[0] = ChunkNode{nullptr, nullptr, first.data(),
                       static_cast<std::uint32_t>(first.size())};
  nodes[1] = ChunkNode{nullptr, nullptr, second.data(),
                       static_cast<std::uint32_t>(second.size())};
  ChunkNode* headNode = first.empty() ? &nodes[1] : &nodes[0];
  if (!first.empty() && !second.empty()) {
    nodes[0].next = &nodes[1];
    nodes[1].prev = &nodes[0];
  }
  CloseChain(headNode);
  const ResponseFacts facts = ScanResponseHeaders(headNode);

  ScriptPolicy policy;
  Check(JudgeScriptPolicy(facts, ProcessHeap(), &policy));
  const std::string nonce(policy.nonce, policy.nonceLength);
  for (char c : nonce) Check(IsNonceByte(c));
  // The nonce stands in the headers after "nonce-" in any case.
  if (!nonce.empty()) {
    std::string folded = head;
    for (char& c : folded) c = static_cast<char>(std::tolower(c));
    std::string sought = "'nonce-" + nonce + "'";
    for (char& c : sought) c = static_cast<char>(std::tolower(c));
    Check(folded.find(sought) != std::string::npos);
  }

  HeapBuffer out{nullptr, 0, 0};
  const TextSpan text{snippet.data(), snippet.size()};
  Check(ExpandBlockText(text, nullptr, TextSpan{account.data(), account.size()},
                        TextSpan{nonce.data(), nonce.size()}, ProcessHeap(),
                        &out));
  std::size_t tags = 0;
  std::size_t fields = 0;
  CountFields(snippet, &tags, &fields);
  if (nonce.empty()) tags = 0;
  Check(out.length == snippet.size() + fields * account.size() - fields * 9 +
                          tags * (nonce.size() + 9));
  ReleaseBuffer(ProcessHeap(), &out);

  const TextSpan marker = DefaultSnippetMarker(snippet.data(), snippet.size());
  Check(marker.length == 0 ||
        (marker.bytes >= snippet.data() &&
         marker.bytes + marker.length <= snippet.data() + snippet.size()));
  (void)HasInlineScript(snippet.data(), snippet.size());
  return 0;
}
