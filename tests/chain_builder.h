// Builds chains for tests, closed unless asked otherwise: one record per
// piece, each piece copied into a block of exactly its own size so that a
// read past a record traps under AddressSanitizer.
#ifndef TAGSMITH_TESTS_CHAIN_BUILDER_H_
#define TAGSMITH_TESTS_CHAIN_BUILDER_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "buffer/chain_cursor.h"
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

#endif  // TAGSMITH_TESTS_CHAIN_BUILDER_H_
