// Builds chains for tests, closed unless asked otherwise: one record per
// piece, each piece copied into a block of exactly its own size so that a
// read past a record traps under AddressSanitizer. ForEveryChainShape runs
// an edit on one text cut every way, then checks the chain's links; the
// test owns the chains and the records it links in.
#ifndef TAGSMITH_TESTS_CHAIN_BUILDER_H_
#define TAGSMITH_TESTS_CHAIN_BUILDER_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "buffer/chain_cursor.h"
#include "buffer/chain_edit.h"
#include "buffer/response_chain.h"

// The bytes of the records from `head` on, in order.
inline std::string ChainBytes(const ChunkNode* head) {
  std::string bytes;
  for (const ChunkNode* node = head; node != nullptr; node = node->next)
    if (node->length > 0) bytes.append(node->data, node->length);
  return bytes;
}

class TestChain {
 public:
  explicit TestChain(const std::vector<std::string>& pieces,
                     bool closed = true) {
    for (const std::string& piece : pieces) {
      blocks_.push_back(std::make_unique<char[]>(piece.size()));
      std::copy(piece.begin(), piece.end(), blocks_.back().get());
      nodes_.push_back(std::make_unique<ChunkNode>());
      ChunkNode* node = nodes_.back().get();
      node->data = blocks_.back().get();
      node->length = static_cast<std::uint32_t>(piece.size());
      node->next = nullptr;
      node->prev =
          nodes_.size() > 1 ? nodes_[nodes_.size() - 2].get() : nullptr;
      if (node->prev != nullptr) node->prev->next = node;
    }
    if (closed) CloseChain(head());
  }

  // Cuts `text` at each offset in `cuts` (ascending, inside the text).
  static std::vector<std::string> Cut(const std::string& text,
                                      const std::vector<size_t>& cuts) {
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t cut : cuts) {
      pieces.push_back(text.substr(from, cut - from));
      from = cut;
    }
    pieces.push_back(text.substr(from));
    return pieces;
  }

  // One byte per record.
  static std::vector<std::string> Bytes(const std::string& text) {
    std::vector<std::string> pieces;
    for (char c : text) pieces.emplace_back(1, c);
    return pieces;
  }

  ChunkNode* head() { return nodes_.front().get(); }
  ChunkNode* node(size_t i) { return nodes_.at(i).get(); }

  // A cursor on the byte at `offset` of the whole stream.
  ChainCursor At(size_t offset) {
    ChainCursor c = CursorAtStart(head());
    EXPECT_TRUE(Advance(&c, static_cast<std::uint32_t>(offset)));
    return c;
  }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::vector<std::unique_ptr<ChunkNode>> nodes_;
};

// One shape of a chain of a text, built afresh for each check.
struct ChainShape {
  TestChain& source;
  ResponseChain& chain;
  std::size_t textSize;
  std::size_t records;
  bool pastPrevious;
  std::deque<ChunkNode>& spliced;  // records that live as long as the chain

  // A cursor on the byte at `offset`; one at the text's end or beyond
  // stands just past the tail's last byte.
  ChainCursor At(std::size_t offset) const {
    if (offset < textSize) return source.At(offset);
    return ChainCursor{chain.tail, chain.tail->data + chain.tail->length};
  }
  // At(offset), but with pastPrevious a position that begins a record after
  // the head is given as the previous record's end: the same place.
  ChainCursor Place(std::size_t offset) const {
    ChainCursor c = At(offset);
    if (pastPrevious && c.node != chain.head && c.pos == c.node->data) {
      c.node = c.node->prev;
      c.pos = c.node->data + c.node->length;
    }
    return c;
  }
  // Records pointing at `texts`, to link in, as long-lived as the chain.
  std::vector<ChunkNode*> Pieces(const std::vector<std::string>& texts) const {
    std::vector<ChunkNode*> pieces;
    for (const std::string& text : texts) {
      pieces.push_back(&spliced.emplace_back());
      PointRecord(pieces.back(), text.data(),
                  static_cast<std::uint32_t>(text.size()));
    }
    return pieces;
  }
  ChunkNode* Spare() const { return &spliced.emplace_back(); }
  std::string Label() const {
    return std::to_string(records) + " records" +
           (pastPrevious ? ", from the previous record's end" : "");
  }
};

// Runs check(shape) on a fresh closed chain of `text` (not empty) in every
// shape: one byte a record, one record, and cut at each single seam; each
// with pastPrevious off and on. After each check the links must still make
// a well-formed chain: the closed head, each prev, the tail.
template <typename Check>
void ForEveryChainShape(const std::string& text, const char* name,
                        Check check) {
  std::vector<std::vector<std::string>> shapes = {TestChain::Bytes(text),
                                                  {text}};
  for (std::size_t cut = 1; cut < text.size(); ++cut)
    shapes.push_back(TestChain::Cut(text, {cut}));
  for (const auto& pieces : shapes) {
    for (const bool pastPrevious : {false, true}) {
      TestChain source(pieces);
      ResponseChain chain{};
      chain.head = source.head();
      chain.tail = source.node(pieces.size() - 1);
      std::deque<ChunkNode> spliced;
      const ChainShape shape{source,        chain,        text.size(),
                             pieces.size(), pastPrevious, spliced};
      check(shape);
      EXPECT_EQ(chain.head->prev, chain.head) << name << ", " << shape.Label();
      const ChunkNode* last = chain.head;
      for (; last->next != nullptr; last = last->next) {
        EXPECT_EQ(last->next->prev, last) << name << ", " << shape.Label();
      }
      EXPECT_EQ(chain.tail, last) << name << ", " << shape.Label();
    }
  }
}

#endif  // TAGSMITH_TESTS_CHAIN_BUILDER_H_
