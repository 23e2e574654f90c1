// See config_report.h.
#include "commands/config_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <utility>

#include "commands/web_user_access.h"
#include "tagging/plain_file.h"
#include "tagging/profile_reader.h"
#include "tagging/site_config.h"
#include "tagging/snippet_block.h"

namespace tagsmith::host {

namespace {

constexpr char kSection[] = "ga1";
constexpr std::size_t kInsertBefore = 0, kAppendAfter = 1, kAccount = 2,
                      kAlwaysSsl = 3, kDiagnostics = 4, kSnippet = 5,
                      kSnippetMarker = 6;
// The buffers the filter reads each key into (tagging/site_config.h).
constexpr std::uint32_t kFilterSizes[kFilterKeyCount] = {
    kBlockTextSize,  kBlockTextSize, kShortValueSize, kShortValueSize,
    kShortValueSize, kBlockTextSize, kBlockTextSize};

// The snippet file and the marker, judged as the filter judges them.
void ReportSnippet(const std::string& dir, ConfigReport* report) {
  const std::string& name = report->snippet;
  if (!IsPlainFileName(name.data(), static_cast<std::uint32_t>(name.size()))) {
    report->snippet_problem = "snippet-unreadable (not a plain file name)";
    return;
  }
  HeapBuffer text{nullptr, 0, 0};
  const std::string path = dir + "/" + name;
  if (!ReadPlainFile(path.c_str(), kMaxSnippetBytes, ProcessHeap(), &text)) {
    // A refused read may still have taken room.
    ReleaseBuffer(ProcessHeap(), &text);
    report->snippet_problem =
        "snippet-unreadable (" + path +
        " is missing, not a regular file, unreadable or over 64 KiB)";
    return;
  }
  report->snippet_bytes = text.length;
  if (report->snippet_marker.empty()) {
    const TextSpan marker = DefaultSnippetMarker(text.bytes, text.length);
    report->snippet_marker.assign(marker.bytes, marker.length);
    report->snippet_marker.resize(
        std::min(report->snippet_marker.find('\0'), marker.length));
  }
  ReleaseBuffer(ProcessHeap(), &text);
  if (report->snippet_marker.empty())
    report->snippet_problem =
        "snippet-no-marker (no SnippetMarker and no src=\"...\" in it)";
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' ||
         c == '\x1a';
}

std::string Lower(std::string s) {
  for (char& c : s) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  return s;
}

// The value of each key as read into a buffer as large as the largest file,
// so nothing is cut: what the file says, against what the filter uses.
std::string WholeValue(const std::string& path, const char* key) {
  std::vector<char> buffer(kMaxProfileFileBytes + 1);
  const std::uint32_t n = ReadProfileString(
      kSection, key, "", buffer.data(),
      static_cast<std::uint32_t>(buffer.size()), path.c_str());
  return std::string(buffer.data(), n);
}

std::string AtLine(std::uint32_t line) {
  return line ? "line " + std::to_string(line) + ": " : "";
}

}  // namespace

ConfigReport ReportConfig(const std::string& dir,
                          const std::optional<std::string>& web_user) {
  ConfigReport report;
  report.path = dir + "/tagsmith.config";
  std::vector<std::string>& warnings = report.warnings;

  struct stat st;
  if (::stat(report.path.c_str(), &st) != 0) {
    warnings.push_back("there is no tagsmith.config in " + dir +
                       ": the filter reads every value as empty");
  } else if (!S_ISREG(st.st_mode)) {
    warnings.push_back(report.path +
                       " is not a regular file: the filter "
                       "reads it as absent");
  } else if (static_cast<std::uint64_t>(st.st_size) > kMaxProfileFileBytes) {
    warnings.push_back(report.path + " is " + std::to_string(st.st_size) +
                       " bytes, over 1 MiB: the filter reads it as absent");
  } else {
    std::ifstream in(report.path, std::ios::binary);
    report.text.assign(std::istreambuf_iterator<char>(in), {});
    report.readable = in.is_open() && !in.bad();
    if (!report.readable) warnings.push_back("cannot read " + report.path);
  }
  if (!report.readable) return report;

  // The line-bound warnings, put in line order at the end.
  std::vector<std::pair<std::uint32_t, std::string>> at_lines;
  auto warn = [&at_lines](std::uint32_t line, std::string text) {
    at_lines.emplace_back(line, std::move(text));
  };
  const ConfigScan scan = ScanConfigText(report.text);
  report.ga1_line = scan.ga1_line;
  report.ga1_body = scan.ga1_body;
  if (scan.ga1_line == 0) {
    std::string found;
    for (const std::string& name : scan.sections)
      found += (found.empty() ? "" : ", ") + ("[" + name + "]");
    warnings.push_back(
        "no [ga1] section, the only one the filter reads (" +
        (found.empty() ? "no section found" : "found: " + found) + ")");
  }
  for (const ConfigWarning& warning : scan.warnings)
    warn(warning.line, warning.text);

  // The values, read exactly as the filter reads them.
  char storage[kFilterKeyCount][kBlockTextSize];
  ProfileQuery queries[kFilterKeyCount];
  for (std::size_t i = 0; i < kFilterKeyCount; ++i)
    queries[i] = {kFilterKeys[i], "", storage[i], kFilterSizes[i], 0};
  ReadProfileStrings(kSection, queries, kFilterKeyCount, report.path.c_str());
  auto value = [&](std::size_t i) {
    return std::string(storage[i], queries[i].length);
  };
  report.account = value(kAccount);
  report.secure_forced = queries[kAlwaysSsl].length > 0;
  report.insert_before_length = queries[kInsertBefore].length;
  report.append_after_length = queries[kAppendAfter].length;
  report.result_header =
      DiagnosticsOn(storage[kDiagnostics], queries[kDiagnostics].length);
  report.snippet = value(kSnippet);
  report.snippet_marker = value(kSnippetMarker);
  if (!report.snippet.empty()) ReportSnippet(dir, &report);
  if (!report.snippet_problem.empty())
    warn(scan.key_lines[kSnippet], "Snippet '" + report.snippet +
                                       "': pages go out untagged, " +
                                       report.snippet_problem);

  for (std::size_t i = 0; i < kFilterKeyCount; ++i) {
    const std::string whole = WholeValue(report.path, kFilterKeys[i]);
    const std::uint32_t at = scan.key_lines[i];
    const std::string key = kFilterKeys[i];
    if (whole.size() > queries[i].length) {
      warn(at,
           key + " is " + std::to_string(whole.size()) +
               " characters; the filter uses only its first " +
               std::to_string(queries[i].length) +
               (i == kAccount ? ", '" + value(i) + "', in every page" : ""));
    }
    // The reader drops blanks around a value, but keeps those inside quotes.
    if (!whole.empty() && (IsBlank(whole.front()) || IsBlank(whole.back())))
      warn(at, "the value of " + key +
                   " has blanks at its start or end, which the filter "
                   "keeps: '" +
                   whole + "'");
  }
  const std::string diagnostics = Lower(value(kDiagnostics));
  if (!diagnostics.empty() && !report.result_header && diagnostics != "0" &&
      diagnostics != "no" && diagnostics != "false" && diagnostics != "off")
    warn(scan.key_lines[kDiagnostics], "Diagnostics '" + value(kDiagnostics) +
                                           "' reads as off; 1, yes, true "
                                           "or on turn the result header on");
  const std::string always = Lower(value(kAlwaysSsl));
  if (always == "0" || always == "no" || always == "false" || always == "off")
    warn(scan.key_lines[kAlwaysSsl],
         "AlwaysSSL '" + value(kAlwaysSsl) +
             "' forces the secure variant all "
             "the same (any value does); leave it empty to follow "
             "the connection");

  std::stable_sort(
      at_lines.begin(), at_lines.end(),
      [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [line, text] : at_lines)
    warnings.push_back(AtLine(line) + text);

  if (web_user) {
    const std::optional<UserIdentity> user = FindUser(web_user->c_str());
    const auto steps = ReadAccessChain(report.path);
    if (user && steps) {
      const std::string missing = MissingReadAccess(*steps, *user);
      if (!missing.empty())
        warnings.push_back(missing + ", so the web server cannot read " +
                           report.path + " and tags nothing");
    }
  }
  return report;
}

}  // namespace tagsmith::host
