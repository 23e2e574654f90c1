// Plans of several edits applied in one call, on chains cut at every seam
// and with each position that begins a record also given as the previous
// record's end: the bytes are those of the edits made left to right.
#include "buffer/edit_plan.h"

#include <gtest/gtest.h>

#include <deque>
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
  std::vector<std::vector<std::string>> shapes = {TestChain::Bytes(text),
                                                  {text}};
  for (std::size_t cut = 1; cut < text.size(); ++cut)
    shapes.push_back(TestChain::Cut(text, {cut}));
  for (const Plan& p : plans) {
    for (const auto& shape : shapes) {
      for (const bool pastPrevious : {false, true}) {
        TestChain source(shape);
        ResponseChain chain{};
        chain.head = source.head();
        chain.tail = source.node(shape.size() - 1);
        // An offset at a record's start may stand at the previous one's end.
        auto at = [&](std::size_t offset) {
          if (offset >= text.size())
            return ChainCursor{chain.tail,
                               chain.tail->data + chain.tail->length};
          ChainCursor c = source.At(offset);
          if (pastPrevious && c.node != chain.head && c.pos == c.node->data) {
            c.node = c.node->prev;
            c.pos = c.node->data + c.node->length;
          }
          return c;
        };
        std::deque<ChunkNode> records;
        EditPlan plan = EmptyEditPlan();
        for (const Step& step : p.steps) {
          std::vector<ChunkNode*> pieces;
          for (const std::string& piece : step.pieces) {
            records.emplace_back();
            PointRecord(&records.back(), piece.data(),
                        static_cast<std::uint32_t>(piece.size()));
            pieces.push_back(&records.back());
          }
          records.emplace_back();  // the spare
          const ChainCursor to = step.to == kEnd ? ChainCursor{} : at(step.to);
          AddEdit(&plan, at(step.from), step.to == kEnd ? nullptr : &to,
                  pieces.data(), static_cast<std::uint32_t>(pieces.size()),
                  &records.back());
        }
        ApplyEditPlan(&chain, plan);
        EXPECT_EQ(ChainBytes(chain.head), p.expected)
            << p.name << ", " << shape.size() << " records"
            << (pastPrevious ? ", from the previous record's end" : "");
        const ChunkNode* last = chain.head;
        while (last->next != nullptr) {
          EXPECT_EQ(last->next->prev, last) << p.name;
          last = last->next;
        }
        EXPECT_EQ(chain.tail, last) << p.name;
      }
    }
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
