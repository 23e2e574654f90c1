// What a page's Content-Security-Policy headers allow of the tracking
// block's scripts: the nonce the block's script tags are to carry, and
// whether an inline script may run at all. Reads the policy values where
// the header scan found them; a value cut by seams is gathered into
// working storage released before the call returns. The nonce is copied
// into the caller's ScriptPolicy.
#ifndef TAGSMITH_TAGGING_SCRIPT_POLICY_H_
#define TAGSMITH_TAGGING_SCRIPT_POLICY_H_

#include <cstdint>

#include "tagging/header_scan.h"
#include "tagging/working_heap.h"

inline constexpr std::uint32_t kMaxNonceLength = 256;

struct ScriptPolicy {
  bool inlineAllowed;
  char nonce[kMaxNonceLength];
  std::uint32_t nonceLength;  // 0: the tags carry no nonce
};

// Judges one policy value, given the nonce the tags will carry (length 0
// for none). Its script directive is "script-src", else "default-src";
// without either it allows everything. Sets *nonce to the first nonce the
// directive names, when it names one. Exposed for tests.
struct PolicyText {
  const char* bytes;
  std::uint32_t length;
};
bool AllowsInline(PolicyText policy, PolicyText nonce);
PolicyText FirstNonce(PolicyText policy);

// The policy that governs the block: the first that names a nonce, else the
// first. Its nonce, and whether it lets an inline script run. False when the
// heap refuses the room to gather a value cut by seams.
bool JudgeScriptPolicy(const ResponseFacts& facts, const WorkingHeap& heap,
                       ScriptPolicy* policy);

#endif  // TAGSMITH_TAGGING_SCRIPT_POLICY_H_
