// The serve session's client queue: what is queued comes out in order,
// kept bytes as views of where they lie, copies merged into runs.
#include "commands/serve/queued_client.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace tagsmith::host {
namespace {

TEST(QueuedClient, TakesTheBytesInOrderInAsFewPiecesAsTheyAllow) {
  // Kept bytes are slices of `memory`, given as offset and length; copies
  // are their own text.
  const std::string memory = "0123456789abcdefghij";
  struct Send {
    bool kept;
    std::size_t offset, size;  // into memory, when kept
    std::string text;          // when copied
  };
  struct Case {
    const char* name;
    std::vector<Send> sends;
    std::string bytes;
    std::size_t pieces;
  };
  const Case cases[] = {
      {"nothing", {}, "", 0},
      {"empty sends queue nothing",
       {{false, 0, 0, ""}, {true, 3, 0, ""}},
       "",
       0},
      {"copies make one run",
       {{false, 0, 0, "ab"}, {false, 0, 0, "cd"}},
       "abcd",
       1},
      {"adjacent kept slices join",
       {{true, 0, 4, ""}, {true, 4, 6, ""}},
       "0123456789",
       1},
      {"apart kept slices do not",
       {{true, 0, 2, ""}, {true, 5, 2, ""}},
       "0156",
       2},
      {"out of order slices do not",
       {{true, 4, 2, ""}, {true, 0, 4, ""}},
       "450123",
       2},
      {"kinds alternate",
       {{false, 0, 0, "H:"},
        {true, 0, 3, ""},
        {false, 0, 0, "-"},
        {true, 3, 2, ""}},
       "H:012-34",
       4},
  };
  for (const Case& c : cases) {
    QueuedClient client;
    for (const Send& send : c.sends) {
      if (send.kept)
        client.SendKept(
            std::string_view(memory).substr(send.offset, send.size));
      else
        client.Send(send.text);
    }
    EXPECT_EQ(client.empty(), c.pieces == 0) << c.name;
    WriteBatch batch;
    batch.copies = "left over from the last write";
    client.Take(&batch);
    std::string bytes;
    for (std::string_view piece : batch.pieces) {
      bytes.append(piece);
      const bool in_memory = piece.data() >= memory.data() &&
                             piece.data() < memory.data() + memory.size();
      const bool in_copies =
          piece.data() >= batch.copies.data() &&
          piece.data() < batch.copies.data() + batch.copies.size();
      EXPECT_TRUE(in_memory || in_copies)
          << c.name << ": a piece points elsewhere";
    }
    EXPECT_EQ(bytes, c.bytes) << c.name;
    EXPECT_EQ(batch.pieces.size(), c.pieces) << c.name;
    EXPECT_TRUE(client.empty()) << c.name;
  }
}

TEST(QueuedClient, ALostClientDropsWhatWasQueuedAndRefusesMore) {
  const std::string memory = "kept";
  QueuedClient client;
  client.Send("copied");
  client.SendKept(memory);
  client.MarkLost();
  EXPECT_TRUE(client.empty());
  EXPECT_THROW(client.Send("more"), std::runtime_error);
  EXPECT_THROW(client.SendKept(memory), std::runtime_error);
}

}  // namespace
}  // namespace tagsmith::host
