#include "tests/filter_harness.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "filter/filter_entry.h"
#include "host/chunks.h"
#include "tests/test_support.h"

namespace tagsmith::testing {
namespace {

BOOL WINAPI LinkedGetFilterVersion(HTTP_FILTER_VERSION* version) {
  return FillFilterVersion(version);
}

DWORD WINAPI LinkedHttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD type,
                                  LPVOID notification) {
  return DispatchNotification(pfc, type, notification);
}

// The heap the end-of-request pass gets in HeapFilter(): counts its
// allocations, refuses the chosen one, and counts what is still held and
// the most bytes it lent at once (as the C library sizes its blocks).
struct CountingHeap {
  std::uint64_t calls = 0;
  std::uint64_t refuse = 0;
  std::int64_t held = 0;
  std::uint64_t bytes = 0;
  std::uint64_t peak = 0;
};
CountingHeap testHeap;

void* CountingAllocate(void*, std::size_t size) {
  if (++testHeap.calls == testHeap.refuse) return nullptr;
  ++testHeap.held;
  void* block = std::malloc(size);
  testHeap.peak =
      std::max(testHeap.peak, testHeap.bytes += malloc_usable_size(block));
  return block;
}

void CountingRelease(void*, void* block) {
  if (block == nullptr) return;
  testHeap.bytes -= malloc_usable_size(block);
  --testHeap.held;
  std::free(block);
}

const WorkingHeap kCountingHeap = {&CountingAllocate, &CountingRelease,
                                   nullptr};

DWORD WINAPI HeapHttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD type,
                                LPVOID notification) {
  return DispatchNotification(pfc, type, notification, kCountingHeap);
}

}  // namespace

const host::FilterModule& HeapFilter() {
  static const host::FilterModule module = host::FilterModule::FromEntryPoints(
      {&LinkedGetFilterVersion, &HeapHttpFilterProc});
  return module;
}

HeapResult FilterRefusingHeap(const std::string& response, const FilterRun& run,
                              std::uint64_t refuseHeapCall) {
  testHeap = CountingHeap{0, refuseHeapCall, 0};
  host::RequestSettings settings;
  settings.app_physical_path = run.appDir;
  settings.secure_port = run.secure;
  settings.refuse_alloc_call = run.refuseAlloc;
  host::StringSink client;
  host::ServeResponse(HeapFilter(), settings, host::SplitAt(response, run.cuts),
                      client);
  return HeapResult{client.bytes(), testHeap.calls, testHeap.held};
}

HeldResult FilterHeld(const std::vector<std::string>& chunks,
                      const FilterRun& run) {
  testHeap = CountingHeap{};
  host::RequestSettings settings;
  settings.app_physical_path = run.appDir;
  settings.keep_memory_until_destroyed = true;  // so that its count stays
  host::StringSink client;
  host::StandInRequest request(HeapFilter(), settings, client);
  request.SendResponse();
  for (const std::string& chunk : chunks) request.SendRawData(chunk);
  request.EndOfRequest();
  return HeldResult{client.bytes(), request.memory().bytes_held(),
                    testHeap.peak};
}

const host::FilterModule& LinkedFilter() {
  static const host::FilterModule module = host::FilterModule::FromEntryPoints(
      {&LinkedGetFilterVersion, &LinkedHttpFilterProc});
  return module;
}

Result Filter(const std::string& response, const FilterRun& run) {
  host::RequestSettings settings;
  settings.app_physical_path = run.appDir;
  settings.secure_port = run.secure;
  settings.refuse_alloc_call = run.refuseAlloc;
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
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error))
    ADD_FAILURE() << "cannot read " << path;
  return test_support::ReadFile(path);
}

std::string Response(const std::string& headers, const std::string& body,
                     const std::string& status) {
  return status + "\r\n" + headers + "\r\n" + body;
}

}  // namespace tagsmith::testing
