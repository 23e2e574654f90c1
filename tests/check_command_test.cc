// tagsmith check: the scan's warnings and lines, the nearest key, the web
// user's missing permission, the values read as the filter reads them, and
// the exit status and result word of the command.
#include "commands/check_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands/config_report.h"
#include "commands/config_scan.h"
#include "commands/web_user_access.h"
#include "tests/test_support.h"

namespace tagsmith::host {
namespace {

using test_support::ScratchDir;
using test_support::WriteFile;
using Texts = std::vector<std::string>;

// Each warning starts with its expected text's line and holds the rest.
void ExpectWarnings(const Texts& got, const Texts& want) {
  ASSERT_EQ(got.size(), want.size()) << ::testing::PrintToString(got);
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::size_t space = want[i].find(' ');
    EXPECT_EQ(got[i].rfind(want[i].substr(0, space), 0), 0u) << got[i];
    EXPECT_NE(got[i].find(want[i].substr(space + 1)), std::string::npos)
        << got[i];
  }
}

TEST(ConfigScan, WarnsWithTheLine) {
  const struct {
    std::string text;
    Texts warnings;
  } cases[] = {
      {"[ga1]\r\nAccount=UA-1\r\n", {}},
      {"\xEF\xBB\xBF[GA1]\nAcount=UA-1\n", {"2: nearest is 'Account'"}},
      {"[ga1]\r\r\nalwaysssl=1\nDiagnostic=1\n", {"4: is 'Diagnostics'"}},
      {"Account=UA-1\n[about]\nWhatever=1\n", {"1: before any section"}},
      {"[ga1]\nAccount=1\nAccount=2\n[ga1]\nAccount=3\n",
       {"3: first, at line 2", "4: a second [ga1]"}},
      {" [ ga1 ] \nAccount\n[broken\n", {"2: no '=' on the line 'Account'"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Texts got;
    for (const ConfigWarning& w : ScanConfigText(c.text).warnings)
      got.push_back(std::to_string(w.line) + ": " + w.text);
    ExpectWarnings(got, c.warnings);
  }
  const ConfigScan scan = ScanConfigText("[x]\n[ga1]\nAccount=1\nDiagnostics=");
  EXPECT_EQ(scan.sections, (Texts{"x", "ga1"}));
  EXPECT_EQ(scan.ga1_line, 2u);
  EXPECT_EQ(scan.ga1_body, 10u);     // just past "[ga1]\n"
  EXPECT_EQ(scan.key_lines[2], 3u);  // Account
  EXPECT_EQ(scan.key_lines[4], 4u);  // Diagnostics
  EXPECT_EQ(NearestFilterKey("insertbefore"), "InsertBeforeScriptBlock");
  EXPECT_EQ(NearestFilterKey("AppendAfter"), "AppendAfterScriptBlock");
}

TEST(WebUserAccess, NamesTheMissingPermission) {
  const UserIdentity web{"www-data", 33, {33}};
  const PathStep root{"/", S_IFDIR | 0755, 0, 0};
  const PathStep file{"/srv/t", S_IFREG | 0644, 0, 0};
  const struct {
    std::vector<PathStep> steps;
    UserIdentity user;
    std::string missing;
  } cases[] = {
      {{root, {"/srv", S_IFDIR | 0711, 0, 0}, file}, web, ""},
      {{root, {"/srv", S_IFDIR | 0700, 0, 0}, file},
       web,
       "www-data has no search (x) permission on /srv (drwx------, owner 0, "
       "group 0)"},
      {{root, {"/srv/t", S_IFREG | 0640, 0, 0}},
       web,
       "www-data has no read (r) permission on /srv/t (-rw-r-----, owner 0, "
       "group 0)"},
      {{root, {"/srv/t", S_IFREG | 0640, 0, 33}}, web, ""},
      // The owner's bits decide for the owner, even when the others' allow.
      {{root, {"/srv/t", S_IFREG | 0044, 33, 0}},
       web,
       "www-data has no read (r) permission on /srv/t (----r--r--, owner 33, "
       "group 0)"},
      {{root, {"/srv/t", S_IFREG | 0000, 0, 0}}, {"root", 0, {0}}, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MissingReadAccess(c.steps, c.user), c.missing);
}

TEST(ConfigReport, ReadsAsTheFilterDoes) {
  ScratchDir dir;
  WriteFile(dir.path() + "/tagsmith.config",
            "[ga1]\r\nAccount=UA-1234567890-123\r\nAlwaysSSL=no\r\n"
            "InsertBeforeScriptBlock=\" <b>\"\r\nDiagnostics=maybe\r\n");
  const ConfigReport report = ReportConfig(dir.path(), std::nullopt);
  EXPECT_EQ(report.account, "UA-1234567890-1");
  EXPECT_TRUE(report.secure_forced && !report.result_header);
  EXPECT_EQ(report.insert_before_length, 4u);
  ExpectWarnings(report.warnings,
                 {"line first 15, 'UA-1234567890-1', in every page",
                  "line AlwaysSSL 'no' forces the secure variant",
                  "line InsertBeforeScriptBlock has blanks", "line 'maybe'"});
  ScratchDir other;
  WriteFile(other.path() + "/tagsmith.config", "[about]\nA=1\n[GA]\n");
  ExpectWarnings(ReportConfig(other.path(), std::nullopt).warnings,
                 {"no (found: [about], [GA])"});
}

int Check(const std::vector<std::string>& args, std::string* out) {
  std::FILE* file = std::tmpfile();
  const int status = CheckCommand(args, file, file);
  std::rewind(file);
  out->clear();
  for (int c; (c = std::fgetc(file)) != EOF;) out->push_back(char(c));
  std::fclose(file);
  return status;
}

TEST(CheckCommand, ExitStatusAndResultWord) {
  const std::string filter = std::string(TAGSMITH_BIN_DIR) + "/libtagsmith.so";
  ScratchDir dir;
  const std::string page = dir.path() + "/page.http", plain = page + ".404";
  WriteFile(page, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n</body>");
  WriteFile(plain, "HTTP/1.1 404 Not Found\r\n\r\n");
  // The web server's user may search the directory: only the file counts.
  ::chmod(dir.path().c_str(), 0755);
  std::string out;
  EXPECT_EQ(Check({dir.path()}, &out), 1) << out;  // no tagsmith.config
  WriteFile(dir.path() + "/tagsmith.config", "[ga1]\nAccount=UA-9\n");
  EXPECT_EQ(Check({dir.path()}, &out), 0) << out;
  const struct {
    std::string config, response, result;
    int status;
  } cases[] = {
      {"[ga1]\nAccount=UA-9\n", page, "tagged", 0},
      {"[ga1]\nAccount=UA-9\n", plain, "none (", 1},
      {"[ga1]\nAccount=\nDiagnostics=0\n", page, "no-account", 1},
      {"[ga1]\nAccount=UA-9\n[ga1]\n", page, "tagged", 1},  // warns
  };
  for (const auto& c : cases) {
    WriteFile(dir.path() + "/tagsmith.config", c.config);
    EXPECT_EQ(Check({dir.path(), c.response, "--filter", filter}, &out),
              c.status);
    EXPECT_NE(out.find("\nresult: " + c.result), std::string::npos) << out;
  }
  EXPECT_EQ(Check({dir.path() + "/missing"}, &out), 2);
  EXPECT_EQ(Check({dir.path(), page, "extra"}, &out), 2);
  EXPECT_EQ(Check({dir.path(), dir.path() + "/missing.http"}, &out), 2);
}

// The snippet and marker a page would get, or why it gets none.
TEST(ConfigReport, ShowsTheSnippetAndItsMarker) {
  const struct {
    std::string keys;
    std::string file;  // written as tag.html
    std::string marker;
    std::string problem;  // the start of the warning's reason
  } cases[] = {
      {"Snippet=tag.html\n",
       "<script src=\"https://t.example/a.js?id={account}\">",
       "https://t.example/a.js", ""},
      {"Snippet=tag.html\nSnippetMarker=count(\n", "<script>count()</script>",
       "count(", ""},
      {"Snippet=tag.html\n", "<script>count()</script>", "",
       "snippet-no-marker"},
      {"Snippet=sub/tag.html\n", "x", "", "snippet-unreadable (not a plain"},
      {"Snippet=tag.html\n", std::string(64 * 1024 + 1, 'x'), "",
       "snippet-unreadable ("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    ScratchDir dir;
    WriteFile(dir.path() + "/tagsmith.config", "[ga1]\nAccount=G-1\n" + c.keys);
    WriteFile(dir.path() + "/tag.html", c.file);
    const ConfigReport report = ReportConfig(dir.path(), std::nullopt);
    EXPECT_EQ(report.snippet_marker, c.marker);
    EXPECT_EQ(report.snippet_problem.rfind(c.problem, 0), 0u)
        << report.snippet_problem;
    EXPECT_EQ(report.warnings.size(), c.problem.empty() ? 0u : 1u);
  }
}

}  // namespace
}  // namespace tagsmith::host
