// Runs responses through the filter's own code, linked into the test
// binary, hosted by the stand-in server: every AllocMem block is its own
// exact-size allocation, so a read past a chunk traps under sanitizers.
#ifndef TAGSMITH_TESTS_FILTER_HARNESS_H_
#define TAGSMITH_TESTS_FILTER_HARNESS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/stand_in_server.h"

namespace tagsmith::testing {

struct FilterRun {
  std::optional<std::string> appDir;
  bool secure = false;
  std::uint64_t refuseAlloc = 0;  // the AllocMem call that is refused; 0: none
  std::vector<std::size_t> cuts;  // chunk seams
};

// A run whose application directory is `dir`.
inline FilterRun InApp(const std::string& dir) {
  FilterRun run;
  run.appDir = dir;
  return run;
}

struct Result {
  std::string client;        // what reached the client
  std::uint64_t allocs = 0;  // AllocMem calls made
};

// The filter as the server would have loaded it, linked in.
const host::FilterModule& LinkedFilter();

Result Filter(const std::string& response, const FilterRun& run = {});

// The filter linked in, with a working heap that refuses its
// `refuseHeapCall`th allocation (0: none) and counts what it lends.
const host::FilterModule& HeapFilter();
struct HeapResult {
  std::string client;
  std::uint64_t heapCalls =
      0;                      // allocations asked for, the refused one included
  std::int64_t heapHeld = 0;  // blocks not given back
};
HeapResult FilterRefusingHeap(const std::string& response, const FilterRun& run,
                              std::uint64_t refuseHeapCall);

// The response sent in `chunks` through HeapFilter(): what reached the
// client, the bytes asked of AllocMem, and the most the heap lent at once.
struct HeldResult {
  std::string client;
  std::uint64_t allocBytes = 0;
  std::uint64_t heapPeak = 0;
};
HeldResult FilterHeld(const std::vector<std::string>& chunks,
                      const FilterRun& run);

// A temporary application directory holding a "tagsmith.config"; removed
// with the object.
class AppDir {
 public:
  explicit AppDir(const std::string& config);
  ~AppDir();
  AppDir(const AppDir&) = delete;
  AppDir& operator=(const AppDir&) = delete;
  const std::string& path() const { return path_; }
  void Rewrite(const std::string& config) const;

 private:
  std::string path_;
};

// Reads a whole file; fails the test when it cannot.
std::string ReadFile(const std::string& path);

// Builds "HTTP/1.1 200 OK" responses: the headers given, then the body.
std::string Response(const std::string& headers, const std::string& body,
                     const std::string& status = "HTTP/1.1 200 OK");

}  // namespace tagsmith::testing

#endif  // TAGSMITH_TESTS_FILTER_HARNESS_H_
