// Plans of several edits applied in one call, on chains cut at every seam
// and with each position that begins a record also given as the previous
// record's end: the bytes are those of the edits made left to right.
#include "buffer/edit_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "buffer/chain_edit.h"
#include "tests/chain_builder.h"

namespace {

constexpr std::size_t kEnd = std::string::npos;  // `to` null

struct Step {
  std::size_t from;
  std::size_t to;
  std::vector<std::string> pieces;
};

struct Plan {
  const char* name;
  std::vector<Step> steps;
  std::string expected;
};

TEST(EditPlan, AppliesEveryEditWhateverTheSeams) {
  const std::string text = "abcdefgh";
  const std::vector<Plan> plans = {
      {"empty", {}, "abcdefgh"},
      {"apart", {{1, 2, {"X"}}, {5, 5, {"Y", "Z"}}}, "aXcdeYZfgh"},
      {"adjacent", {{2, 4, {"X"}}, {4, 6, {"Y"}}}, "abXYgh"},
      {"insertion after a span", {{2, 4, {"X"}}, {4, 4, {"I"}}}, "abXIefgh"},
      {"two insertions at one place",
       {{3, 3, {"A"}}, {3, 3, {"B"}}},
       "abcABdefgh"},
      {"three", {{0, 0, {"H"}}, {3, 5, {}}, {7, 8, {"Q"}}}, "HabcfgQ"},
      {"at the chain's end", {{0, 1, {""}}, {8, 8, {"Z"}}}, "bcdefghZ"},
      {"to the end", {{1, 2, {"X"}}, {6, kEnd, {"T"}}}, "aXcdefT"},
      {"to the end from the end", {{8, kEnd, {"E"}}}, "abcdefghE"},
  };
  for (const Plan& p : plans) {
    ForEveryChainShape(text, p.name, [&](const ChainShape& shape) {
      EditPlan plan = EmptyEditPlan();
      for (const Step& step : p.steps) {
        const std::vector<ChunkNode*> pieces = shape.Pieces(step.pieces);
        // An offset at a record's start may stand at the previous one's end.
        const ChainCursor to =
            step.to == kEnd ? ChainCursor{} : shape.Place(step.to);
        AddEdit(&plan, shape.Place(step.from), step.to == kEnd ? nullptr : &to,
                pieces.data(), static_cast<std::uint32_t>(pieces.size()),
                shape.Spare());
      }
      ApplyEditPlan(&shape.chain, plan);
      EXPECT_EQ(ChainBytes(shape.chain.head), p.expected)
          << p.name << ", " << shape.Label();
    });
  }
}

#ifndef NDEBUG
TEST(EditPlanDeathTest, RefusesEditsOutOfChainOrder) {
  TestChain source(TestChain::Cut("abcdefgh", {4}));
  ResponseChain chain{};
  chain.head = source.head();
  chain.tail = source.node(1);
  ChunkNode piece{}, spares[2]{};
  ChunkNode* const pieces[] = {&piece};
  const ChainCursor later = source.At(6), earlier = source.At(2);
  EditPlan plan = EmptyEditPlan();
  AddEdit(&plan, later, &later, pieces, 1, &spares[0]);
  AddEdit(&plan, earlier, &earlier, pieces, 1, &spares[1]);
  EXPECT_DEATH(ApplyEditPlan(&chain, plan), "InChainOrder");
}
#endif

}  // namespace
