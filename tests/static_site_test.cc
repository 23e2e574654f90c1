// Mapping request targets to files: a scratch tree of applications with the
// traps a public server meets (traversal, encodings, links that lead out,
// configuration files, pipes), one case per line.
#include "host/static_site.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace tagsmith::host {
namespace {

namespace fs = std::filesystem;
using Kind = Lookup::Kind;

class SiteTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (fs::temp_directory_path() / "tagsmith-site-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    // Canonical, so expectations compare with what lookups give.
    top_ = fs::canonical(pattern).string();
    site_ = top_ + "/site";
    blog_ = top_ + "/blog";
    outside_ = top_ + "/outside";
    for (const std::string& dir :
         {site_, site_ + "/sub", site_ + "/noindex", site_ + "/blog-in-site",
          blog_, outside_})
      fs::create_directories(dir);
    for (const std::string& file :
         {site_ + "/index.html", site_ + "/tagsmith.config",
          site_ + "/page.html", site_ + "/sub/index.html",
          site_ + "/sub/other.config", site_ + "/noindex/a.txt",
          site_ + "/.hidden", blog_ + "/index.html", blog_ + "/post.html",
          outside_ + "/secret.txt"})
      std::ofstream(file) << "x";
    fs::create_symlink(outside_ + "/secret.txt", site_ + "/link-out");
    fs::create_directory_symlink(outside_, site_ + "/dirlink-out");
    fs::create_symlink("page.html", site_ + "/link-in");
    fs::create_symlink("tagsmith.config", site_ + "/link-config.html");
    fs::create_symlink(site_ + "/page.html", blog_ + "/root-page.html");
    fs::create_symlink(outside_ + "/secret.txt", site_ + "/sub/index2.html");
    ASSERT_EQ(mkfifo((site_ + "/fifo").c_str(), 0600), 0);
  }
  void TearDown() override { fs::remove_all(top_); }

  StaticSite Site() const {
    return StaticSite({{"/", site_}, {"/blog", blog_ + "/"}});
  }

  std::string top_, site_, blog_, outside_;
};

TEST_F(SiteTree, ResolvesEveryKindOfTarget) {
  const StaticSite site = Site();
  struct Case {
    const char* target;
    Kind kind;
    std::string path_or_location;  // file (relative to top) or redirect
    std::string app;               // application directory (relative)
  };
  const Case cases[] = {
      {"/", Kind::kFile, "site/index.html", "site"},
      {"/page.html", Kind::kFile, "site/page.html", "site"},
      {"/page.html?a=1&b=/../x", Kind::kFile, "site/page.html", "site"},
      {"//page.html", Kind::kFile, "site/page.html", "site"},
      {"/p%61ge.html", Kind::kFile, "site/page.html", "site"},
      {"/sub/", Kind::kFile, "site/sub/index.html", "site"},
      {"/sub", Kind::kRedirect, "/sub/", "site"},
      {"/sub?q=1", Kind::kRedirect, "/sub/?q=1", "site"},
      {"/link-in", Kind::kFile, "site/page.html", "site"},
      {"/noindex/", Kind::kNotFound, "", "site"},
      {"/missing.html", Kind::kNotFound, "", "site"},
      {"/page.html/", Kind::kNotFound, "", "site"},
      {"/page.html/x", Kind::kNotFound, "", "site"},
      // never served
      {"/tagsmith.config", Kind::kNotFound, "", "site"},
      {"/TagSmith.CONFIG", Kind::kNotFound, "", "site"},
      {"/tagsmith%2econfig", Kind::kNotFound, "", "site"},
      {"/sub/other.config", Kind::kNotFound, "", "site"},
      {"/link-config.html", Kind::kNotFound, "", "site"},
      {"/.hidden", Kind::kNotFound, "", "site"},
      {"/%2ehidden", Kind::kNotFound, "", "site"},
      // leading out
      {"/link-out", Kind::kForbidden, "", "site"},
      {"/dirlink-out/secret.txt", Kind::kForbidden, "", "site"},
      {"/sub/index2.html", Kind::kForbidden, "", "site"},
      {"/blog/root-page.html", Kind::kForbidden, "", "blog"},
      {"/fifo", Kind::kForbidden, "", "site"},
      // malformed
      {"/../outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/sub/../../outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/%2e%2e/outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/%2E%2E/outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/.%2e/outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/sub/..%2f..%2foutside/secret.txt", Kind::kBadRequest, "", ""},
      {"/%2f" "etc/passwd", Kind::kBadRequest, "", ""},
      {"/..%5c..%5coutside", Kind::kBadRequest, "", ""},
      {"/./page.html", Kind::kBadRequest, "", ""},
      {"/page.html%00.txt", Kind::kBadRequest, "", ""},
      {"/%zz", Kind::kBadRequest, "", ""},
      {"/%2", Kind::kBadRequest, "", ""},
      {"/%", Kind::kBadRequest, "", ""},
      {"/a b", Kind::kBadRequest, "", ""},
      {"/caf\xc3\xa9", Kind::kBadRequest, "", ""},
      {"http://example.com/page.html", Kind::kBadRequest, "", ""},
      {"*", Kind::kBadRequest, "", ""},
      {"", Kind::kBadRequest, "", ""},
      // applications
      {"/blog/", Kind::kFile, "blog/index.html", "blog"},
      {"/blog//post.html", Kind::kFile, "blog/post.html", "blog"},
      {"/blog", Kind::kRedirect, "/blog/", "blog"},
      {"/blo%67/post.html", Kind::kFile, "blog/post.html", "blog"},
      {"/blogx", Kind::kNotFound, "", "site"},
      {"/blog-in-site/", Kind::kNotFound, "", "site"},
      {"/blog/tagsmith.config", Kind::kNotFound, "", "blog"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const Lookup lookup = site.Resolve(c.target);
    EXPECT_EQ(static_cast<int>(lookup.kind), static_cast<int>(c.kind));
    if (c.kind == Kind::kFile) {
      EXPECT_EQ(lookup.path, top_ + "/" + c.path_or_location);
    } else {
      EXPECT_EQ(lookup.path, "");
    }
    if (c.kind == Kind::kRedirect) {
      EXPECT_EQ(lookup.location, c.path_or_location);
    }
    // A bad request belongs to no application; the root's settings apply.
    EXPECT_EQ(lookup.app_directory, top_ + "/" + (c.app.empty() ? "site" : c.app));
  }
}

TEST_F(SiteTree, LongestPrefixOnWholeSegmentsWins) {
  fs::create_directories(top_ + "/deep");
  const StaticSite site({{"/blog/2024", top_ + "/deep"},
                         {"/", site_},
                         {"/blog", blog_}});
  struct Case {
    std::vector<std::string> segments;
    const char* prefix;
  } cases[] = {
      {{}, "/"},
      {{"blog"}, "/blog"},
      {{"blog", "2024"}, "/blog/2024"},
      {{"blog", "2024", "x.html"}, "/blog/2024"},
      {{"blog", "2023"}, "/blog"},
      {{"blog2024"}, "/"},
      {{"Blog"}, "/"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(site.ApplicationFor(c.segments).prefix, c.prefix)
        << testing::PrintToString(c.segments);
}

TEST_F(SiteTree, RefusesBadApplications) {
  const std::vector<std::vector<Mount>> bad = {
      {},
      {{"/blog", blog_}},
      {{"/", site_}, {"/", blog_}},
      {{"/", site_}, {"/blog", blog_}, {"/blog/", site_}},
      {{"/", top_ + "/none"}},
      {{"/", site_ + "/page.html"}},
      {{"/", site_}, {"blog", blog_}},
      {{"/", site_}, {"/a/../b", blog_}},
      {{"/", site_}, {"/a%20b", blog_}},
  };
  for (const auto& mounts : bad) {
    std::string described;
    for (const Mount& m : mounts) described += m.prefix + "=" + m.directory + " ";
    EXPECT_THROW(StaticSite{mounts}, std::invalid_argument) << described;
  }
}

TEST(PercentDecode, DecodesEscapesAndRefusesBrokenOnes) {
  struct Case {
    const char* text;
    bool ok;
    std::string decoded;
  } cases[] = {
      {"", true, ""},
      {"plain", true, "plain"},
      {"%41%62", true, "Ab"},
      {"a%2Fb", true, "a/b"},
      {"a%2fb", true, "a/b"},
      {"%00", true, std::string(1, '\0')},
      {"%ff", true, "\xff"},
      {"100%", false, ""},
      {"%4", false, ""},
      {"%g0", false, ""},
      {"%0g", false, ""},
      {"%%41", false, ""},
  };
  for (const Case& c : cases) {
    std::string decoded = "untouched";
    EXPECT_EQ(PercentDecode(c.text, &decoded), c.ok) << c.text;
    EXPECT_EQ(decoded, c.ok ? c.decoded : "untouched") << c.text;
  }
}

TEST(ContentType, FollowsTheExtension) {
  struct Case {
    const char* name;
    const char* type;
  } cases[] = {
      {"index.html", "text/html"},   {"A.HTM", "text/html"},
      {"/x/y/s.css", "text/css"},    {"app.js", "text/javascript"},
      {"logo.png", "image/png"},     {"p.JPG", "image/jpeg"},
      {"a.jpeg", "image/jpeg"},      {"a.gif", "image/gif"},
      {"i.svg", "image/svg+xml"},    {"r.txt", "text/plain"},
      {"d.json", "application/json"}, {"favicon.ico", "image/x-icon"},
      {"archive.tar.gz", "application/octet-stream"},
      {"html", "application/octet-stream"},
      {"page.html.bak", "application/octet-stream"},
      {"dir.html/file", "application/octet-stream"},
      {"", "application/octet-stream"},
  };
  for (const Case& c : cases)
    EXPECT_STREQ(ContentTypeFor(c.name), c.type) << c.name;
}

}  // namespace
}  // namespace tagsmith::host
