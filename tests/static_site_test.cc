// Mapping request targets to open files: a scratch tree of applications
// with the traps a public server meets (traversal, encodings, links that
// lead out, configuration files under other names, pipes, names swapped
// while they are looked up), one case per line, for each way of opening.
#include "commands/serve/static_site.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

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
    for (const std::string& dir : {site_, site_ + "/sub", site_ + "/noindex",
                                   site_ + "/blog-in-site", blog_, outside_})
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
    // Links that stay inside, by every route the walk must follow.
    fs::create_symlink(site_ + "/page.html", site_ + "/abs-in");
    fs::create_symlink("../page.html", site_ + "/sub/up.html");
    fs::create_symlink("../../outside/secret.txt", site_ + "/sub/up-out");
    fs::create_directory_symlink("sub", site_ + "/dirlink-in");
    fs::create_symlink("./sub/../link-in", site_ + "/chain.html");
    fs::create_symlink(".hidden", site_ + "/link-hidden.html");
    fs::create_symlink("sub/other.config", site_ + "/link-other.txt");
    fs::create_symlink("loop", site_ + "/loop");
    fs::create_hard_link(site_ + "/tagsmith.config", site_ + "/hard.txt");
    // Another application's settings, linked from the one beside it.
    std::ofstream(blog_ + "/tagsmith.config") << "x";
    fs::create_hard_link(blog_ + "/tagsmith.config", site_ + "/blog.txt");
    fs::create_hard_link(site_ + "/tagsmith.config", blog_ + "/site.txt");
    // Only a file's own name is a configuration name, not a directory's.
    fs::create_directories(site_ + "/dir.config");
    std::ofstream(site_ + "/dir.config/a.txt") << "x";
    fs::create_directory_symlink("dir.config", site_ + "/link-dir-config");
  }
  void TearDown() override { fs::remove_all(top_); }

  StaticSite Site(Resolution resolution) const {
    return StaticSite({{"/", site_}, {"/blog", blog_ + "/"}}, resolution);
  }

  // Both ways of opening; the one-step way only where the kernel has it.
  std::vector<Resolution> Resolutions() const {
    std::vector<Resolution> all{Resolution::kWalk};
    if (StaticSite({{"/", site_}}).opens_in_one_step())
      all.push_back(Resolution::kAutomatic);
    return all;
  }

  std::string top_, site_, blog_, outside_;
};

TEST_F(SiteTree, ResolvesEveryKindOfTarget) {
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
      {"/abs-in", Kind::kFile, "site/page.html", "site"},
      {"/sub/up.html", Kind::kFile, "site/page.html", "site"},
      {"/chain.html", Kind::kFile, "site/page.html", "site"},
      {"/dirlink-in/", Kind::kFile, "site/sub/index.html", "site"},
      {"/dirlink-in", Kind::kRedirect, "/dirlink-in/", "site"},
      {"//sub", Kind::kRedirect, "/sub/", "site"},
      {"///sub?a=//b", Kind::kRedirect, "/sub/?a=//b", "site"},
      {"/loop", Kind::kNotFound, "", "site"},
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
      {"/hard.txt", Kind::kNotFound, "", "site"},
      {"/blog.txt", Kind::kNotFound, "", "site"},
      {"/blog/site.txt", Kind::kNotFound, "", "blog"},
      {"/link-other.txt", Kind::kNotFound, "", "site"},
      {"/link-hidden.html", Kind::kNotFound, "", "site"},
      {"/dir.config/a.txt", Kind::kFile, "site/dir.config/a.txt", "site"},
      {"/link-dir-config/a.txt", Kind::kFile, "site/dir.config/a.txt", "site"},
      {"/.hidden", Kind::kNotFound, "", "site"},
      {"/%2ehidden", Kind::kNotFound, "", "site"},
      // leading out
      {"/link-out", Kind::kForbidden, "", "site"},
      {"/dirlink-out/secret.txt", Kind::kForbidden, "", "site"},
      {"/sub/index2.html", Kind::kForbidden, "", "site"},
      {"/sub/up-out", Kind::kForbidden, "", "site"},
      {"/blog/root-page.html", Kind::kForbidden, "", "blog"},
      {"/fifo", Kind::kForbidden, "", "site"},
      // malformed
      {"/../outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/sub/../../outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/%2e%2e/outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/%2E%2E/outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/.%2e/outside/secret.txt", Kind::kBadRequest, "", ""},
      {"/sub/..%2f..%2foutside/secret.txt", Kind::kBadRequest, "", ""},
      {"/%2f"
       "etc/passwd",
       Kind::kBadRequest, "", ""},
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
  for (const Resolution resolution : Resolutions()) {
    const StaticSite site = Site(resolution);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.target) +
                   (site.opens_in_one_step() ? " (one step)" : " (walk)"));
      const Lookup lookup = site.Resolve(c.target);
      EXPECT_EQ(static_cast<int>(lookup.kind), static_cast<int>(c.kind));
      // The open file is the expected one: the same device and inode.
      EXPECT_EQ(lookup.file.valid(), c.kind == Kind::kFile);
      if (c.kind == Kind::kFile) {
        struct stat expected, opened;
        ASSERT_EQ(stat((top_ + "/" + c.path_or_location).c_str(), &expected),
                  0);
        ASSERT_EQ(fstat(lookup.file.get(), &opened), 0);
        EXPECT_EQ(opened.st_ino, expected.st_ino);
        EXPECT_EQ(lookup.inode, expected.st_ino);
        EXPECT_EQ(lookup.size, static_cast<std::uint64_t>(expected.st_size));
        EXPECT_EQ(lookup.name, fs::path(c.path_or_location).filename());
      }
      if (c.kind == Kind::kRedirect) {
        EXPECT_EQ(lookup.location, c.path_or_location);
      }
      // A bad request belongs to no application; the root's settings apply.
      EXPECT_EQ(lookup.app_directory,
                top_ + "/" + (c.app.empty() ? "site" : c.app));
    }
  }
}

// Names swapped while they are looked up, as someone who can write to the
// directory may: a file with a link that leads out, and a directory with a
// link to a directory outside. Every file answered holds the inside bytes.
TEST_F(SiteTree, ANameSwappedDuringTheLookupNeverLeadsOut) {
  fs::create_directories(site_ + "/d");
  std::ofstream(site_ + "/f.txt") << "inside";
  std::ofstream(site_ + "/d/secret.txt") << "inside";
  std::ofstream(outside_ + "/secret.txt", std::ios::trunc) << "OUTSIDE!";
  fs::create_symlink(outside_ + "/secret.txt", site_ + "/flink");
  fs::create_directory_symlink(outside_, site_ + "/dlink");
  for (const Resolution resolution : Resolutions()) {
    const StaticSite site = Site(resolution);
    SCOPED_TRACE(site.opens_in_one_step() ? "one step" : "walk");
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      while (!done) {
        renameat2(AT_FDCWD, (site_ + "/f.txt").c_str(), AT_FDCWD,
                  (site_ + "/flink").c_str(), RENAME_EXCHANGE);
        renameat2(AT_FDCWD, (site_ + "/d").c_str(), AT_FDCWD,
                  (site_ + "/dlink").c_str(), RENAME_EXCHANGE);
      }
    });
    int files = 0, outside = 0;
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
      for (const char* target : {"/f.txt", "/d/secret.txt"}) {
        const Lookup lookup = site.Resolve(target);
        if (lookup.kind != Kind::kFile) continue;
        ++files;
        char bytes[16];
        const ssize_t n = pread(lookup.file.get(), bytes, sizeof bytes, 0);
        if (std::string(bytes, n > 0 ? static_cast<std::size_t>(n) : 0) !=
                "inside" ||
            lookup.size != 6)
          ++outside;
      }
    }
    done = true;
    swapper.join();
    EXPECT_GT(files, 0);
    EXPECT_EQ(outside, 0) << "of " << files << " files answered";
  }
}

TEST_F(SiteTree, LongestPrefixOnWholeSegmentsWins) {
  fs::create_directories(top_ + "/deep");
  const StaticSite site(
      {{"/blog/2024", top_ + "/deep"}, {"/", site_}, {"/blog", blog_}});
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
    for (const Mount& m : mounts)
      described += m.prefix + "=" + m.directory + " ";
    EXPECT_THROW(StaticSite{mounts}, std::invalid_argument) << described;
  }
}

TEST(PercentDecode, DecodesEscapesAndRefusesBrokenOnes) {
  struct Case {
    const char* text;
    bool ok;
    std::string decoded;
  } cases[] = {
      {"", true, ""},         {"plain", true, "plain"},
      {"%41%62", true, "Ab"}, {"a%2Fb", true, "a/b"},
      {"a%2fb", true, "a/b"}, {"%00", true, std::string(1, '\0')},
      {"%ff", true, "\xff"},  {"100%", false, ""},
      {"%4", false, ""},      {"%g0", false, ""},
      {"%0g", false, ""},     {"%%41", false, ""},
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
      {"index.html", "text/html"},
      {"A.HTM", "text/html"},
      {"/x/y/s.css", "text/css"},
      {"app.js", "text/javascript"},
      {"logo.png", "image/png"},
      {"p.JPG", "image/jpeg"},
      {"a.jpeg", "image/jpeg"},
      {"a.gif", "image/gif"},
      {"i.svg", "image/svg+xml"},
      {"r.txt", "text/plain"},
      {"d.json", "application/json"},
      {"favicon.ico", "image/x-icon"},
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
