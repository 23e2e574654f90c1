#include "buffer/edit_plan.h"

#include <cassert>

#include "buffer/chain_edit.h"

namespace {

// The position the plan names k-th: edit k/2's start, then its end.
const ChainCursor& PositionAt(const EditPlan& plan, std::uint32_t k) {
  const SpanEdit& edit = plan.edits[k / 2];
  return k % 2 == 0 ? edit.from : edit.to;
}

// True when the plan's positions, each edit's start and then its end,
// appear in this order in the chain's records, none before the one before
// it: the edits are in chain order and do not overlap. An edit to the end
// must be the last.
[[maybe_unused]] bool InChainOrder(const ResponseChain& chain,
                                   const EditPlan& plan) {
  const std::uint32_t n = 2 * plan.count;
  std::uint32_t k = 0;
  for (const ChunkNode* node = chain.head; node != nullptr && k < n;
       node = node->next) {
    const char* const end = node->data + node->length;
    const char* before = node->data;  // the last position found in `node`
    while (k < n) {
      if (k % 2 == 1 && plan.edits[k / 2].toEnd) {
        if (k + 1 != n) return false;
        ++k;
        continue;
      }
      const ChainCursor& at = PositionAt(plan, k);
      if (at.node != node) break;
      if (at.pos < before || at.pos > end) return false;
      before = at.pos;
      ++k;
    }
  }
  return k == n;
}

}  // namespace

EditPlan EmptyEditPlan() {
  EditPlan plan;
  plan.count = 0;
  return plan;
}

void AddEdit(EditPlan* plan, const ChainCursor& from, const ChainCursor* to,
             ChunkNode* const* pieces, std::uint32_t count, ChunkNode* spare) {
  assert(plan->count < kMaxPlanEdits);
  assert(count <= kMaxEditPieces);
  // Only the end of the chain lies after an edit to the end.
  assert(plan->count == 0 || !plan->edits[plan->count - 1].toEnd);
  SpanEdit& edit = plan->edits[plan->count++];
  edit.from = from;
  edit.toEnd = to == nullptr;
  edit.to = to != nullptr ? *to : from;
  for (std::uint32_t i = 0; i < count; ++i) edit.pieces[i] = pieces[i];
  edit.count = count;
  edit.spare = spare;
}

void ApplyEditPlan(ResponseChain* chain, const EditPlan& plan) {
  assert(chain->head != nullptr && chain->head->prev == chain->head);
  assert(InChainOrder(*chain, plan));
  // The last first: an edit changes its own records and what follows them,
  // never a position before its start.
  for (std::uint32_t i = plan.count; i-- > 0;) {
    const SpanEdit& edit = plan.edits[i];
    ReplaceSpan(chain, edit.from, edit.toEnd ? nullptr : &edit.to, edit.pieces,
                edit.count, edit.spare);
  }
}
