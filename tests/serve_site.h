// The site the `tagsmith serve` tests run against: three applications
// and a file outside them, written into a scratch directory for each test,
// and the curl and certificate helpers those tests share. The scratch
// directory is the fixture's; the server each test starts is the test's.
#ifndef TAGSMITH_TESTS_SERVE_SITE_H_
#define TAGSMITH_TESTS_SERVE_SITE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/serve_harness.h"

namespace tagsmith::serve_testing {

inline const std::string kRealDir =
    std::string(TAGSMITH_TESTDATA_DIR) + "/real";
inline constexpr char kPlainScript[] =
    "<script src=\"http://www.google-analytics.com/urchin.js\"";
inline constexpr char kSecureScript[] =
    "<script src=\"https://ssl.google-analytics.com/urchin.js\"";

inline std::string Page(const std::string& title,
                        const std::string& filler = "") {
  return "<!DOCTYPE html>\n<html>\n<head><title>" + title +
         "</title></head>\n<body>\n<h1>" + title + "</h1>\n" + filler +
         "<p>END-OF-CONTENT</p>\n</body>\n</html>\n";
}

inline std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::string::size_type at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++count;
  return count;
}

// Three applications: the root ("/"), a blog with its own account at
// "/blog", and one with AlwaysSSL at "/secure"; plus a file outside all of
// them that a symbolic link points at.
class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(top_.path().empty());
    root_ = top_.path() + "/site";
    blog_ = top_.path() + "/blog";
    secure_ = top_.path() + "/secure";
    for (const std::string& dir :
         {root_, root_ + "/sub", blog_, secure_, top_.path() + "/outside"})
      std::filesystem::create_directories(dir);
    WriteFile(root_ + "/tagsmith.config",
              "[ga1]\nAccount=UA-ROOT-1\nInsertBeforeScriptBlock=<!-- root "
              "-->\n");
    WriteFile(blog_ + "/tagsmith.config", "[ga1]\nAccount=UA-BLOG-2\n");
    WriteFile(secure_ + "/tagsmith.config",
              "[ga1]\nAccount=UA-SSL-3\nAlwaysSSL=1\n");
    WriteFile(root_ + "/index.html", Page("Root index"));
    WriteFile(root_ + "/page.html", Page("A page", std::string(5000, 'x')));
    WriteFile(root_ + "/sub/index.html", Page("Sub index"));
    WriteFile(root_ + "/tagged.html",
              Page("Already tagged", std::string(kPlainScript) +
                                         " type=\"text/javascript\">"
                                         "</script>\n"));
    WriteFile(root_ + "/notes.txt", "plain text </body> stays as it is\n");
    WriteFile(root_ + "/image.png",
              BodyOf(ReadFile(kRealDir + "/a03-py.get.http")));
    WriteFile(blog_ + "/index.html", Page("Blog index"));
    WriteFile(secure_ + "/index.html", Page("Secure index"));
    WriteFile(top_.path() + "/outside/secret.html", Page("SECRET-OUTSIDE"));
    std::filesystem::create_symlink(top_.path() + "/outside/secret.html",
                                    root_ + "/link-out.html");
    std::filesystem::create_hard_link(root_ + "/tagsmith.config",
                                      root_ + "/hard.txt");
  }

  std::vector<std::string> Apps() const {
    return {root_,
            "--app",
            "/blog=" + blog_,
            "--app",
            "/secure=" + secure_,
            "--idle-timeout",
            "2"};
  }

  // A throwaway self-signed certificate for localhost, valid for a day.
  void MakeCertificate(std::string* cert, std::string* key) {
    ASSERT_TRUE(HaveProgram("openssl"))
        << "openssl is needed to make a certificate";
    const ProgramResult made =
        serve_testing::MakeCertificate(top_.path(), cert, key);
    ASSERT_EQ(made.status, 0) << made.err;
  }

  std::vector<std::string> WithTls(const std::string& cert,
                                   const std::string& key) const {
    std::vector<std::string> args = Apps();
    args.insert(args.end(), {"--tls-listen", "127.0.0.1:0", "--tls-cert", cert,
                             "--tls-key", key});
    return args;
  }

  // curl, quiet but for errors, bounded in time.
  ProgramResult Curl(std::vector<std::string> args) {
    args.insert(args.begin(), {"curl", "-sS", "--max-time", "20"});
    return RunProgram(args, std::chrono::seconds(30));
  }

  ScratchDir top_;
  std::string root_, blog_, secure_;
};

}  // namespace tagsmith::serve_testing

#endif  // TAGSMITH_TESTS_SERVE_SITE_H_
