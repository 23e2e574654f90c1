// Our profile reader against the platform's, row by row over the recorded
// behaviour table:
//   profile_check.exe DIR
// DIR (a Windows path) holds cases.tsv and the case files it names. For each
// row, ReadProfileString and GetPrivateProfileStringA are called with the same
// section, key, buffer size and full path, and must give the same count and
// the same bytes up to the NUL. The platform's answer must also be the one
// recorded in the table, so that the comparison stands on known ground. Rows
// where our reader is known to differ are listed below with the reason, and
// must still differ.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tagging/profile_reader.h"
#include "tests/profile_table.h"
#include "tests/windows/check.h"

namespace {

using tagsmith::profile_table::Escape;
using tagsmith::profile_table::kKnownDifferences;
using tagsmith::profile_table::SplitTabs;
using tagsmith::profile_table::Unescape;
using tagsmith::wincheck::Checks;

// One reader's answer: the count returned and the bytes before the NUL it
// wrote (or "(no NUL)" markers when the buffer holds none where it should).
struct Answer {
  DWORD count = 0;
  std::string value;
  bool terminated = false;
  bool overrun = false;
  std::string Describe() const {
    return std::to_string(count) + " \"" + Escape(value) + "\"" +
           (terminated ? "" : " (no NUL after it)") +
           (overrun ? " (wrote past the buffer)" : "");
  }
  bool operator==(const Answer& other) const {
    return count == other.count && value == other.value &&
           terminated == other.terminated && overrun == other.overrun;
  }
};

constexpr std::size_t kGuard = 64;
constexpr char kFill = '\x5A';

template <typename Reader>
Answer Ask(Reader read, DWORD size) {
  std::vector<char> buffer(size + kGuard, kFill);
  Answer answer;
  answer.count = read(buffer.data(), size);
  const std::size_t count = answer.count < size ? answer.count : size;
  answer.value.assign(buffer.data(), count);
  answer.terminated = size == 0 || (count < size && buffer[count] == '\0');
  for (std::size_t i = size; i < buffer.size(); ++i)
    if (buffer[i] != kFill) answer.overrun = true;
  return answer;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: profile_check DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  Checks checks;
  std::ifstream table(dir + "\\cases.tsv", std::ios::binary);
  if (!checks.Expect(table.good(), "cases.tsv opens", dir + "\\cases.tsv"))
    return checks.Finish();
  std::string line;
  std::getline(table, line);  // the header
  std::set<std::string> seen;
  int rows = 0;
  while (std::getline(table, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> f = SplitTabs(line);
    std::string section, key, recorded;
    if (f.size() < 7 || !Unescape(f[2], &section) || !Unescape(f[3], &key) ||
        !Unescape(f[6], &recorded)) {
      checks.Expect(false, "row parses", line);
      continue;
    }
    ++rows;
    const std::string& name = f[0];
    std::string path = dir + "\\" + f[1];
    for (char& c : path)
      if (c == '/') c = '\\';
    const DWORD size = static_cast<DWORD>(std::stoul(f[4]));
    const DWORD recorded_count = static_cast<DWORD>(std::stoul(f[5]));

    const Answer ours = Ask(
        [&](char* out, DWORD n) {
          return ReadProfileString(section.c_str(), key.c_str(), "", out, n,
                                   path.c_str());
        },
        size);
    const Answer platform = Ask(
        [&](char* out, DWORD n) {
          return GetPrivateProfileStringA(section.c_str(), key.c_str(), "", out,
                                          n, path.c_str());
        },
        size);

    const bool as_recorded =
        platform.count == recorded_count && platform.value == recorded;
    if (!as_recorded) {
      checks.Expect(false, name + ": platform as recorded",
                    "platform " + platform.Describe() + ", table " +
                        std::to_string(recorded_count) + " \"" + f[6] + "\"");
      continue;
    }
    const auto known = kKnownDifferences.find(name);
    if (known == kKnownDifferences.end()) {
      checks.Expect(
          ours == platform, name,
          "ours " + ours.Describe() + ", platform " + platform.Describe());
    } else {
      seen.insert(name);
      checks.Expect(!(ours == platform),
                    name + " still differs (" + known->second + ")",
                    "both give " + ours.Describe());
    }
  }
  checks.Expect(rows > 100, "table has its rows", std::to_string(rows));
  for (const auto& [name, why] : kKnownDifferences)
    if (!seen.count(name))
      checks.Expect(false, name + " is in the table",
                    "known difference not found");
  return checks.Finish();
}
