#include "tests/filter_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "filter/filter_entry.h"
#include "host/chunks.h"

namespace tagsmith::testing {
namespace {

BOOL WINAPI LinkedGetFilterVersion(HTTP_FILTER_VERSION* version) {
  return FillFilterVersion(version);
}

DWORD WINAPI LinkedHttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD type,
                                  LPVOID notification) {
  return DispatchNotification(pfc, type, notification);
}

}  // namespace

const host::FilterModule& LinkedFilter() {
  static const host::FilterModule module = host::FilterModule::FromEntryPoints(
      {&LinkedGetFilterVersion, &LinkedHttpFilterProc});
  return module;
}

Result Filter(const std::string& response, const FilterRun& run) {
  host::RequestSettings settings;
  settings.app_physical_path = run.appDir;
  settings.secure_port = run.secure;
  settings.refuse_alloc_call = run.failAlloc;
  host::StringSink client;
  const host::ServeSummary summary = host::ServeResponse(
      LinkedFilter(), settings, host::SplitAt(response, run.cuts), client);
  EXPECT_EQ(summary.client_error, "");
  return Result{client.bytes(), summary.alloc_calls};
}

AppDir::AppDir(const std::string& config) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tagsmith-app-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
  Rewrite(config);
}

AppDir::~AppDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void AppDir::Rewrite(const std::string& config) const {
  std::ofstream out(path_ + "/tagsmith.config", std::ios::binary);
  out << config;
  if (!out) ADD_FAILURE() << "cannot write the configuration in " << path_;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) ADD_FAILURE() << "cannot read " << path;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Response(const std::string& headers, const std::string& body,
                     const std::string& status) {
  return status + "\r\n" + headers + "\r\n" + body;
}

}  // namespace tagsmith::testing
