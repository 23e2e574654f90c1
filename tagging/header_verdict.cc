#include "tagging/header_verdict.h"

#include <cassert>

#include "tagging/account_rule.h"

HeaderVerdict JudgeHeaders(HTTP_FILTER_CONTEXT* pfc, const ResponseFacts& facts,
                           SiteConfig* config) {
  HeaderVerdict verdict{};
  // The scan clears every flag for what must leave untouched whatever its
  // body (not a "200", a Content-Length the rewrite cannot correct), so
  // only candidates keep kIsHtml, and only for them is the file read.
  if ((facts.flags & kIsHtml) == 0) return verdict;
  // Read also when the codings rule tagging out, so that the result header
  // can say why.
  const bool account = ReadSiteConfig(pfc, facts, config);
  verdict.resultHeader =
      DiagnosticsOn(config->diagnostics, config->diagnosticsLength);
  const CodingVerdict codings = JudgeCodings(facts.codings, &verdict.plan);
  TagOutcome& outcome = verdict.outcome;
  if (codings == CodingVerdict::kNotHandled) {
    outcome.result = TagResult::kCodingNotHandled;
    outcome.coding = UnhandledCoding(facts.codings);
  } else if (codings == CodingVerdict::kInvalid) {
    outcome.result = TagResult::kCodingInvalid;
  } else if (!account) {
    outcome.result = TagResult::kNoAccount;
  } else if (!ChosenAccountIsUsable(facts, *config)) {
    outcome.result = TagResult::kAccountInvalid;
  } else {
    outcome.result = TagResult::kTagged;
    verdict.hold = true;
    verdict.resultHeader = false;
  }
  return verdict;
}

namespace {

[[maybe_unused]] bool HoldsRecord(const ResponseChain& chain,
                                  const ChunkNode* wanted) {
  for (const ChunkNode* node = chain.head; node != nullptr; node = node->next)
    if (node == wanted) return true;
  return false;
}

}  // namespace

bool KeepPage(HTTP_FILTER_CONTEXT* pfc, ResponseChain* chain,
              const ResponseFacts& facts, const SiteConfig& config,
              const CodingPlan& plan) {
  assert(chain->kept == nullptr && chain->head != nullptr);
  assert(HoldsRecord(*chain, facts.bodyStart.node));
  void* block = AllocHeld(pfc, chain, sizeof(KeptPage));
  if (block == nullptr) return false;
  auto* kept = static_cast<KeptPage*>(block);
  kept->facts = facts;
  CopySiteConfig(config, &kept->config);
  kept->plan = plan;
  kept->watch = BodyWatch{false, false, 0, nullptr, nullptr, 0, false, false};
  chain->kept = kept;
  if (!plan.chunked && plan.content == ContentCoding::kNone) {
    // From the CR of the empty line: neither it nor its LF can be part of
    // a marker, so the watch sees what the end's duplicate check would.
    StartBodyWatch(&kept->watch, facts.bodyStart);
  }
  return true;
}
