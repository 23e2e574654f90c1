#include "tagging/profile_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/profile_call.h"
#include "tests/profile_table.h"

namespace {

using profile_call::Call;
using profile_call::Result;
using tagsmith::profile_table::Escape;
using tagsmith::profile_table::kKnownDifferences;
using tagsmith::profile_table::SplitTabs;
using tagsmith::profile_table::Unescape;

namespace fs = std::filesystem;

const std::string kProfileDir = std::string(TAGSMITH_TESTDATA_DIR) + "/profile";

TEST(ProfileReaderTable, MatchesThePlatformReaderRowByRow) {
  const std::string tablePath = kProfileDir + "/cases.tsv";
  std::ifstream in(tablePath, std::ios::binary);
  ASSERT_TRUE(in) << "cannot open the behaviour table " << tablePath
                  << " (TAGSMITH_TESTDATA_DIR is " << TAGSMITH_TESTDATA_DIR
                  << ")";

  std::string line;
  ASSERT_TRUE(std::getline(in, line)) << tablePath << " is empty";
  ASSERT_EQ(line.rfind(
                "case\tfile\tsection\tkey\tbufsize\treturns\tvalue-escaped", 0),
            0u)
      << "unexpected header line in " << tablePath << ": " << line;

  std::string failures;
  std::set<std::string> seen;
  int rows = 0, matching = 0, differingAsExpected = 0;
  for (int lineNo = 2; std::getline(in, line); ++lineNo) {
    if (line.empty()) continue;
    const std::vector<std::string> f = SplitTabs(line);
    std::string section, key, want;
    if (f.size() < 7 || !Unescape(f[2], &section) || !Unescape(f[3], &key) ||
        !Unescape(f[6], &want)) {
      failures += "line " + std::to_string(lineNo) + ": malformed row\n";
      continue;
    }
    ++rows;
    const std::string& name = f[0];
    seen.insert(name);
    const std::uint32_t size = static_cast<std::uint32_t>(std::stoul(f[4]));
    const std::uint32_t wantRet = static_cast<std::uint32_t>(std::stoul(f[5]));

    const Result r =
        Call(section.c_str(), key.c_str(), "", size, kProfileDir + "/" + f[1]);
    const std::string got =
        "returns " + std::to_string(r.ret) + " \"" + Escape(r.value) + "\"";
    const std::string expected = "returns " + f[5] + " \"" + f[6] + "\"";
    if (!r.defects.empty()) failures += name + ": " + r.defects + "\n";
    const bool same = r.ret == wantRet && r.value == want;
    const bool expectDiff = kKnownDifferences.count(name) != 0;
    if (same && expectDiff) {
      failures += name + ": now matches the platform (" + got +
                  "); take it off the expected differences\n";
    } else if (!same && !expectDiff) {
      failures += name + ": platform " + expected + ", ours " + got + "\n";
    }
    if (same) ++matching;
    if (!same && expectDiff) ++differingAsExpected;
  }
  for (const auto& [name, why] : kKnownDifferences) {
    if (seen.count(name) == 0)
      failures +=
          name + ": listed as an expected difference but not in the table\n";
  }
  EXPECT_GT(rows, 0) << "no rows in " << tablePath;
  EXPECT_TRUE(failures.empty()) << failures;
  std::printf("[ profile ] %d rows: %d match, %d differ as expected\n", rows,
              matching, differingAsExpected);
}

// A fresh directory for generated profile files, removed afterwards.

TEST(ProfileReaderTable, FiveKeysInOnePassEqualFiveReads) {
  const char* keys[] = {"InsertBeforeScriptBlock", "AppendAfterScriptBlock",
                        "Account", "AlwaysSSL", "Diagnostics"};
  int files = 0;
  for (const auto& entry : fs::directory_iterator(kProfileDir + "/cases")) {
    const std::string path = entry.path().string();
    ++files;
    for (std::uint32_t size : {2048u, 16u, 4u, 1u}) {
      char single[5][2048];
      char together[5][2048];
      ProfileQuery queries[5];
      for (int i = 0; i < 5; ++i) {
        const std::uint32_t n = ReadProfileString(
            "ga1", keys[i], "dflt", single[i], size, path.c_str());
        queries[i] = ProfileQuery{keys[i], "dflt", together[i], size, 0};
        ASSERT_EQ(n, std::strlen(single[i])) << path;
      }
      ReadProfileStrings("ga1", queries, 5, path.c_str());
      for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(queries[i].length, std::strlen(single[i]))
            << path << " " << keys[i];
        EXPECT_STREQ(together[i], single[i])
            << path << " " << keys[i] << " " << size;
      }
    }
  }
  EXPECT_GT(files, 50);
}

// The sample tagsmith.config of the Windows zip explains every key in a
// section of its own: the filter's one-pass read of [ga1] gives exactly the
// sample's values, with the file's own line ends and with the CR LF ones the
// zip gives it.
TEST(ProfileReader, SampleConfigurationGivesItsGa1ValuesOnly) {
  const std::string sample =
      std::string(TAGSMITH_SOURCE_DIR) + "/packaging/windows/tagsmith.config";
  std::ifstream in(sample, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  ASSERT_NE(text.find("[about]"), std::string::npos) << sample;
  std::string crlf;
  for (char c : text)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::string crlf_path =
      (fs::temp_directory_path() /
       ("tagsmith-sample-" + std::to_string(getpid())))
          .string();
  std::ofstream(crlf_path, std::ios::binary) << crlf;
  const std::pair<const char*, const char*> expected[] = {
      {"Account", "UA-123456-1"},
      {"AlwaysSSL", ""},
      {"InsertBeforeScriptBlock", "<!-- analytics -->"},
      {"AppendAfterScriptBlock", "<!-- end of analytics -->"},
      {"Diagnostics", ""}};
  for (const std::string& path : {sample, crlf_path}) {
    char values[5][2048];
    ProfileQuery queries[5];
    for (int i = 0; i < 5; ++i)
      queries[i] =
          ProfileQuery{expected[i].first, "absent", values[i], 2048, 0};
    ReadProfileStrings("ga1", queries, 5, path.c_str());
    for (int i = 0; i < 5; ++i)
      EXPECT_STREQ(values[i], expected[i].second)
          << path << " " << expected[i].first;
  }
  std::remove(crlf_path.c_str());
}

}  // namespace
