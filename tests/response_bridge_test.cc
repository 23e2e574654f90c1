#include "host/response_bridge.h"

#include <gtest/gtest.h>

#include <string>

namespace tagsmith::host {
namespace {

std::string Head(const std::string& fields) {
  return "HTTP/1.1 200 OK\r\n" + fields + "\r\n";
}

// What the bridge makes of `written` when the filter lets it out cut at
// `cut` (and whole): the state, and the body bytes it found.
struct Seen {
  ResponseBridge::Head state;
  std::string body;
  ParsedHead changed;
};

Seen Follow(const std::string& given, const std::string& written,
            std::size_t cut) {
  ResponseBridge bridge(given);
  std::string body;
  for (std::string_view piece : {std::string_view(written).substr(0, cut),
                                 std::string_view(written).substr(cut)}) {
    const std::size_t head = bridge.Take(piece);
    body.append(piece.substr(head));
  }
  bridge.Finish();
  Seen seen{bridge.state(), body, {}};
  if (seen.state == ResponseBridge::Head::kChanged)
    seen.changed = bridge.changed();
  return seen;
}

TEST(ResponseBridge, TellsHeadFromBodyWhereverTheFilterCutsIt) {
  using H = ResponseBridge::Head;
  const std::string cl =
      Head("Content-Type: text/html\r\nContent-Length: 5\r\n");
  const std::string none = Head("Content-Type: text/html\r\n");
  const std::string twice = Head("Set-Cookie: a=1\r\nSet-Cookie: b=2\r\n");
  struct Case {
    const char* name;
    std::string given, written;
    H state;
    std::string body;
    std::vector<std::pair<std::string, std::string>> fields;
  } cases[] = {
      {"as given, with a length", cl, cl + "hello", H::kUnchanged, "hello", {}},
      {"as given, no length", none, none + "<p>", H::kUnchanged, "<p>", {}},
      {"repeated fields kept", twice, twice + "x", H::kUnchanged, "x", {}},
      {"body that starts like a head",
       cl,
       cl + "HTTP/1.1 200 OK\r\n\r\n",
       H::kUnchanged,
       "HTTP/1.1 200 OK\r\n\r\n",
       {}},
      {"length changed",
       cl,
       Head("Content-Type: text/html\r\nContent-Length: 12\r\n") +
           "hello tagged",
       H::kChanged,
       "hello tagged",
       {{"Content-Type", "text/html"}, {"Content-Length", "12"}}},
      {"result field added",
       none,
       Head("Content-Type: text/html\r\nX-Tagsmith-Result: tagged\r\n") + "b",
       H::kChanged,
       "b",
       {{"Content-Type", "text/html"}, {"X-Tagsmith-Result", "tagged"}}},
      {"repeated fields parsed in order",
       twice,
       Head("Set-Cookie: a=1\r\nSet-Cookie:  b=2 \r\nX: \r\n"),
       H::kChanged,
       "",
       {{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}, {"X", ""}}},
      {"nothing written", cl, "", H::kBroken, "", {}},
      {"ends inside the given head", cl, cl.substr(0, 20), H::kBroken, "", {}},
      {"ends inside a changed head",
       cl,
       "HTTP/1.1 200 OK\r\nX: 1\r\n",
       H::kBroken,
       "",
       {}},
      {"folded field",
       cl,
       "HTTP/1.1 200 OK\r\nA: 1\r\n 2\r\n\r\n",
       H::kBroken,
       "",
       {}},
      {"bare LF",
       cl,
       "HTTP/1.1 200 OK\r\nA: 1\nB: 2\r\n\r\n",
       H::kBroken,
       "",
       {}},
      {"space before colon",
       cl,
       "HTTP/1.1 200 OK\r\nA : 1\r\n\r\n",
       H::kBroken,
       "",
       {}},
      {"no status code", cl, "HTTP/1.1 2x0 OK\r\n\r\n", H::kBroken, "", {}},
      {"not HTTP/1", cl, "HTTP/2 200 OK\r\n\r\n", H::kBroken, "", {}},
  };
  for (const Case& c : cases) {
    for (std::size_t cut = 0; cut <= c.written.size(); ++cut) {
      SCOPED_TRACE(std::string(c.name) + ", cut at " + std::to_string(cut));
      const Seen seen = Follow(c.given, c.written, cut);
      ASSERT_EQ(seen.state, c.state);
      if (c.state == H::kBroken) continue;
      EXPECT_EQ(seen.body, c.body);
      if (c.state == H::kChanged) {
        EXPECT_EQ(seen.changed.status, 200u);
        EXPECT_EQ(seen.changed.reason, "OK");
        EXPECT_EQ(seen.changed.fields, c.fields);
      }
    }
  }
}

TEST(ResponseBridge, HeadsAreBuiltAsTheWireCarriesThem) {
  std::string head;
  AppendStatusLine(&head, 404, "Not Found");
  AppendField(&head, "Content-Type", "text/html; charset=utf-8");
  EndHead(&head);
  EXPECT_EQ(head,
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/html; "
            "charset=utf-8\r\n\r\n");
  ParsedHead parsed;
  ASSERT_TRUE(ParseHead(head, &parsed));
  EXPECT_EQ(parsed.status, 404u);
  const struct {
    const char* head;
    bool parses;
    unsigned status;
  } lines[] = {
      {"HTTP/1.0 304 \r\n\r\n", true, 304},
      {"HTTP/1.1 204\r\n\r\n", true, 204},
      {"HTTP/1.1 099 Low\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\n\r\nafter", false, 0},
      {"HTTP/1.1 200 O\x01K\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\n: empty name\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nA: caf\xc3\xa9\r\n\r\n", true, 200},
  };
  for (const auto& line : lines) {
    ParsedHead out;
    out.status = 7;
    EXPECT_EQ(ParseHead(line.head, &out), line.parses) << line.head;
    EXPECT_EQ(out.status, line.parses ? line.status : 7u) << line.head;
  }
}

TEST(ResponseBridge, AnOverlongChangedHeadIsBroken) {
  ResponseBridge bridge(Head(""));
  const std::string filler(ResponseBridge::kMaxHead, 'a');
  EXPECT_EQ(bridge.Take("HTTP/1.1 200 OK\r\nX: "), 20u);
  EXPECT_EQ(bridge.Take(filler), filler.size());
  EXPECT_EQ(bridge.state(), ResponseBridge::Head::kBroken);
  EXPECT_EQ(bridge.Take("\r\n\r\n"), 0u);
}

}  // namespace
}  // namespace tagsmith::host
