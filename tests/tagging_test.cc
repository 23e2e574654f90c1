// Whole responses through the filter: what a tagged page looks like, when a
// page is left alone, and that seams and refused allocations never change
// the result.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tagging/account_rule.h"
#include "tests/filter_harness.h"
#include "tests/property_check.h"

namespace tagsmith::testing {
namespace {

std::string Block(const std::string& account, bool secure = false,
                  const std::string& before = "",
                  const std::string& after = "") {
  checks::SiteValues site;
  site.insertBefore = before;
  site.appendAfter = after;
  return checks::ExpectedBlock(site, account, secure);
}

// Inserts `block` before the last "</body>" and sets Content-Length (when
// `length` is given) the way a correct filter must.
std::string Tagged(const std::string& headers, const std::string& body,
                   const std::string& block) {
  std::string tagged = body;
  tagged.insert(tagged.rfind("</body>"), block);
  return Response(headers, tagged);
}

std::string Config(const std::string& lines) { return "[ga1]\r\n" + lines; }

TEST(Tagging, TagsPageWithConfiguredAccountAndTrueLength) {
  AppDir app(Config("Account=UA-1234-1\r\n"));
  const std::string body = "<html><body><p>hi</p></body></html>\n";
  const std::string block = Block("UA-1234-1");
  const std::string out =
      Filter(Response("Content-Type: text/html\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n",
                      body),
             InApp(app.path()))
          .client;
  EXPECT_EQ(out, Tagged("Content-Type: text/html\r\nContent-Length: " +
                            std::to_string(body.size() + block.size()) + "\r\n",
                        body, block));
}

TEST(Tagging, ChoosesVariantAndTexts) {
  const std::string headers = "Content-Type: text/html\r\n";
  const std::string body = "<body>x</BODY >";
  const std::string in = Response(headers, body);
  auto tagged = [&](const std::string& block) {
    std::string b = body;
    b.insert(b.rfind("</BODY"), block);
    return Response(headers, b);
  };
  struct Case {
    const char* name;
    std::string config;
    bool secure;
    std::string expected;
  } cases[] = {
      {"plain", Config("Account=UA-1\r\n"), false, tagged(Block("UA-1"))},
      {"tls", Config("Account=UA-1\r\n"), true, tagged(Block("UA-1", true))},
      {"AlwaysSSL=0 forces secure", Config("Account=UA-1\r\nAlwaysSSL=0\r\n"),
       false, tagged(Block("UA-1", true))},
      {"empty AlwaysSSL", Config("Account=UA-1\r\nAlwaysSSL=\r\n"), false,
       tagged(Block("UA-1"))},
      {"texts around the script",
       Config("InsertBeforeScriptBlock=<!-- a "
              "-->\r\nAppendAfterScriptBlock=<i>z</i>\r\nAccount=UA-1\r\n"),
       false, tagged(Block("UA-1", false, "<!-- a -->", "<i>z</i>"))},
      {"15 characters whole", Config("Account=UA-123456789012\r\n"), false,
       tagged(Block("UA-123456789012"))},
      {"16 characters cut", Config("Account=UA-1234567890123\r\n"), false,
       tagged(Block("UA-123456789012"))},
      {"section and keys in any case", Config("account = \"UA-5\"\r\n"), false,
       tagged(Block("UA-5"))},
      {"no account", Config("AlwaysSSL=1\r\n"), false, in},
      {"other section", "[ga2]\r\nAccount=UA-1\r\n", false, in},
  };
  for (const Case& k : cases) {
    AppDir app(k.config);
    FilterRun run = InApp(app.path());
    run.secure = k.secure;
    EXPECT_EQ(Filter(in, run).client, k.expected) << k.name;
  }
}

TEST(Tagging, AccountFromThePagesOwnHeader) {
  const std::string headers =
      "Content-Type: text/html\r\nX-Tagsmith: UA-42-7\r\n";
  const std::string body = "<body></body>";
  const std::string in = Response(headers, body);
  // No application path at all, no file, a file without an account: the
  // header's account is used; a configured account wins over it.
  EXPECT_EQ(Filter(in).client, Tagged(headers, body, Block("UA-42-7")));
  AppDir empty("");
  EXPECT_EQ(Filter(in, InApp(empty.path())).client,
            Tagged(headers, body, Block("UA-42-7")));
  AppDir configured(Config("Account=UA-1\r\n"));
  EXPECT_EQ(Filter(in, InApp(configured.path())).client,
            Tagged(headers, body, Block("UA-1")));
  const std::string noAccount =
      Response("Content-Type: text/html\r\nX-Tagsmith: \r\n", body);
  EXPECT_EQ(Filter(noAccount).client, noAccount);
}

// A "tagsmith.config" that is no plain file reads as no file, at once: the
// page is tagged from its own header, or leaves untouched.
TEST(Tagging, ConfigurationThatIsNoPlainFileReadsAsNoFile) {
  const std::string headers =
      "Content-Type: text/html\r\nX-Tagsmith: UA-42-7\r\n";
  const std::string withHeader = Response(headers, "<body></body>");
  const std::string without =
      Response("Content-Type: text/html\r\n", "<body></body>");
  for (const std::string kind : {"fifo", "directory", "device"}) {
    AppDir app(Config("Account=UA-1\r\n"));
    const std::filesystem::path file = app.path() + "/tagsmith.config";
    std::filesystem::remove(file);
    if (kind == "fifo") {
      ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    }
    if (kind == "directory") std::filesystem::create_directory(file);
    if (kind == "device") std::filesystem::create_symlink("/dev/zero", file);
    EXPECT_EQ(Filter(withHeader, InApp(app.path())).client,
              Tagged(headers, "<body></body>", Block("UA-42-7")))
        << kind;
    EXPECT_EQ(Filter(without, InApp(app.path())).client, without) << kind;
  }
}

TEST(Tagging, UnusableApplicationPathReadsAsNoFile) {
  const std::string in =
      Response("Content-Type: text/html\r\n", "<body></body>");
  AppDir app(Config("Account=UA-1\r\n"));
  // The name and its NUL take 17 bytes of the 2048.
  for (size_t length : {2031u, 2032u, 5000u}) {
    std::string path =
        app.path() + std::string(length - app.path().size(), '/');
    const std::string expected = length <= 2031
                                     ? Tagged("Content-Type: text/html\r\n",
                                              "<body></body>", Block("UA-1"))
                                     : in;
    EXPECT_EQ(Filter(in, InApp(path)).client, expected) << length;
  }
  EXPECT_EQ(Filter(in, InApp("")).client, in);
}

TEST(Tagging, ChangedFileAppliesToTheNextPage) {
  const std::string in =
      Response("Content-Type: text/html\r\n", "<body></body>");
  AppDir app(Config("Account=UA-OLD\r\n"));
  EXPECT_EQ(
      Filter(in, InApp(app.path())).client,
      Tagged("Content-Type: text/html\r\n", "<body></body>", Block("UA-OLD")));
  app.Rewrite(Config("Account=UA-NEW\r\n"));
  EXPECT_EQ(
      Filter(in, InApp(app.path())).client,
      Tagged("Content-Type: text/html\r\n", "<body></body>", Block("UA-NEW")));
  // The file is read once a page's headers are in: a change after that,
  // before the page's end, applies from the next page on.
  host::RequestSettings settings;
  settings.app_physical_path = app.path();
  host::StringSink client;
  host::StandInRequest request(LinkedFilter(), settings, client);
  request.SendResponse();
  request.SendRawData(in.substr(0, in.size() - 7));
  app.Rewrite(Config("Account=UA-LATER\r\n"));
  request.SendRawData(in.substr(in.size() - 7));
  request.EndOfRequest();
  EXPECT_EQ(client.bytes(), Tagged("Content-Type: text/html\r\n",
                                   "<body></body>", Block("UA-NEW")));
}

TEST(Tagging, WhereTheBlockGoes) {
  AppDir app(Config("Account=UA-1\r\n"));
  const std::string b = Block("UA-1");
  const std::string h = "Content-Type: text/html\r\n";
  struct Case {
    const char* name;
    std::string body;
    std::string expected;  // the body as it must leave
  } cases[] = {
      {"two closing tags", "<body>a</body>b</body>c",
       "<body>a</body>b" + b + "</body>c"},
      {"no closing tag", "<body>a", "<body>a"},
      {"tag broken over lines", "<BODY>a</BODY\n></HTML>",
       "<BODY>a" + b + "</BODY\n></HTML>"},
      {"bytes after the tag", "<body></body></html>\n\n<!-- x -->",
       "<body>" + b + "</body></html>\n\n<!-- x -->"},
      {"already tagged, plain",
       "<SCRIPT "
       "SRC=\"HTTP://WWW.GOOGLE-ANALYTICS.COM/URCHIN.JS\"></script></body>",
       "<SCRIPT "
       "SRC=\"HTTP://WWW.GOOGLE-ANALYTICS.COM/URCHIN.JS\"></script></body>"},
      {"already tagged after the tag",
       "<body></body><script "
       "src=\"https://ssl.google-analytics.com/urchin.js\">",
       "<body></body><script "
       "src=\"https://ssl.google-analytics.com/urchin.js\">"},
      {"type before src is no marker",
       "<script type=\"text/javascript\" "
       "src=\"http://www.google-analytics.com/urchin.js\"></script></body>",
       "<script type=\"text/javascript\" "
       "src=\"http://www.google-analytics.com/urchin.js\"></script>" +
           b + "</body>"},
      {"single quotes are no marker",
       "<script "
       "src='http://www.google-analytics.com/urchin.js'></script></body>",
       "<script src='http://www.google-analytics.com/urchin.js'></script>" + b +
           "</body>"},
      {"two spaces are no marker",
       "<script  "
       "src=\"http://www.google-analytics.com/urchin.js\"></script></body>",
       "<script  src=\"http://www.google-analytics.com/urchin.js\"></script>" +
           b + "</body>"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(Filter(Response(h, k.body), InApp(app.path())).client,
              Response(h, k.expected))
        << k.name;
  }
  // A closing tag inside the headers is never taken.
  const std::string inHeaders = Response("X-Note: </body>\r\n" + h, "<body>");
  EXPECT_EQ(Filter(inHeaders, InApp(app.path())).client, inHeaders);
  const std::string markerInHeaders = Response(
      "X-Note: <script src=\"http://www.google-analytics.com/urchin.js\"\r\n" +
          h,
      "</body>");
  EXPECT_NE(Filter(markerInHeaders, InApp(app.path())).client, markerInHeaders)
      << "markers are only looked for in the body";
}

TEST(Tagging, ContentLengthRewrite) {
  // A block of 200 bytes in all, so the arithmetic reads plainly.
  const std::string account = "UA-1";
  const std::string pad(200 - Block(account).size(), 'x');
  AppDir app(Config("InsertBeforeScriptBlock=" + pad +
                    "\r\nAccount=" + account + "\r\n"));
  const std::string block = Block(account, false, pad);
  ASSERT_EQ(block.size(), 200u);
  const std::string body = "<body></body>";
  struct Case {
    std::string stated;
    std::string rewritten;
  } cases[] = {
      {"30", "230"},          {"700", "900"},        {"30 ", "230"},
      {"030", "230"},         {"0030", "230"},       {"abc", "200"},
      {"999800", "1000000"},  {"4294967295", "199"}, {"-1", "199"},
      {"99999999999", "199"}, {"+5", "205"},         {" 7", "207"},
  };
  for (const Case& k : cases) {
    const std::string in =
        Response("Content-Type: text/html\r\nContent-Length: " + k.stated +
                     "\r\nX-After: 1\r\n",
                 body);
    EXPECT_EQ(Filter(in, InApp(app.path())).client,
              Tagged("Content-Type: text/html\r\nContent-Length: " +
                         k.rewritten + "\r\nX-After: 1\r\n",
                     body, block))
        << k.stated;
  }
  const std::string noLength = Response("Content-Type: text/html\r\n", body);
  EXPECT_EQ(Filter(noLength, InApp(app.path())).client,
            Tagged("Content-Type: text/html\r\n", body, block));
  const std::string noTag =
      Response("Content-Type: text/html\r\nContent-Length: 6\r\n", "<body>");
  EXPECT_EQ(Filter(noTag, InApp(app.path())).client, noTag);
}

// A tagged response whose header values and closing tag every seam may cut.
TEST(Tagging, SeamsNeverChangeTheResult) {
  AppDir app(Config("AppendAfterScriptBlock=<!--z-->\r\n"));
  const std::string in = Response(
      "Content-Type: text/html\r\nX-Tagsmith: UA-SEAM-9\r\nContent-Length: "
      "98\r\n",
      "<html><body><p>x</p></BODY></html>");
  const std::string expected = Filter(in, InApp(app.path())).client;
  ASSERT_NE(expected, in);
  ASSERT_NE(expected.find("_uacct = \"UA-SEAM-9\""), std::string::npos);
  std::vector<std::vector<std::size_t>> splits;
  for (std::size_t cut = 0; cut <= in.size(); ++cut) splits.push_back({cut});
  std::vector<std::size_t> bytes;
  for (std::size_t cut = 1; cut < in.size(); ++cut) bytes.push_back(cut);
  splits.push_back(bytes);
  for (std::size_t a = 0; a < in.size(); a += 3) {
    for (std::size_t b = a; b < in.size(); b += 5)
      splits.push_back({a, b, b + 1});
  }
  for (const auto& cuts : splits) {
    FilterRun run = InApp(app.path());
    run.cuts = cuts;
    const Result r = Filter(in, run);
    ASSERT_EQ(r.client, expected)
        << "seams at " << ::testing::PrintToString(cuts);
    // Whichever allocation is refused, the page leaves whole: tagged or not.
    if (cuts.size() == 1 || cuts.size() == bytes.size()) {
      for (std::uint64_t n = 1; n <= r.allocs; ++n) {
        run.refuseAlloc = n;
        const std::string out = Filter(in, run).client;
        EXPECT_TRUE(out == in || out == expected)
            << "allocation " << n << " refused, " << cuts.size() << " seams";
      }
    }
  }
}

// The account goes between double quotes in a script: one that could end
// the string or the element, or holds a control byte but TAB, is not used.
TEST(Tagging, AnAccountMayNotEndItsStringOrScript) {
  // clang-format off
  const std::pair<std::string, bool> cases[] = {
      {"UA-1234-1", true}, {"UA\t\xC3\xA9'> ", true}, {"U\";alert(1)//", false}, {"U</script>", false},
      {"UA\\1", false}, {"UA\x01", false}, {"UA\x7F", false}, {std::string("UA\0", 3), false}, {"UA\r", false}};
  // clang-format on
  for (const auto& [account, usable] : cases) {
    EXPECT_EQ(IsUsableAccount(account.data(),
                              static_cast<std::uint32_t>(account.size())),
              usable)
        << account;
  }
}

}  // namespace
}  // namespace tagsmith::testing
