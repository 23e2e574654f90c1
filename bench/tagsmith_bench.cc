// Benchmarks of the filter as the server runs it: the library loaded through
// its two entry points, hosted by the stand-in server, with a client that
// discards what it is sent.
//
// filter/CASE/PAGE_BYTES/CHUNK_BYTES serves one response per iteration and
// reports `floor_ratio`: its processor time over that of the floor, one
// memcpy of the same bytes into freshly allocated blocks of the same chunk
// sizes, the two measured in alternating rounds of the same run.
// fixed/... report the cost of one small page in microseconds.
// coded/... report `ratio`: a chunked page over the same page plain, and a
// gzip page tagged over inflating it alone.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/filter_module.h"
#include "host/platform.h"
#include "host/server_heap.h"
#include "host/stand_in_server.h"
#include "tests/body_codings.h"

namespace {

using tagsmith::host::ClientSink;
using tagsmith::host::FilterModule;
using tagsmith::host::RequestSettings;
using tagsmith::host::StandInRequest;

class DiscardingSink : public ClientSink {
 public:
  void Send(std::string_view bytes) override { sent_ += bytes.size(); }
  std::size_t sent() const { return sent_; }

 private:
  std::size_t sent_ = 0;
};

constexpr char kMarker[] =
    "<script src=\"http://www.google-analytics.com/urchin.js\" "
    "type=\"text/javascript\"></script>\n";

// HTML of `size` bytes with a tag every few dozen bytes, closing body and
// html at the end; `marker` puts the tracking script near the end, and
// without `closed` the page has no closing body tag.
std::string HtmlPage(std::size_t size, bool marker, bool closed = true,
                     bool prose = false) {
  const std::string head =
      "<!DOCTYPE html>\n<html><head><title>Bench</title></head>\n<body>\n";
  const std::string tail = std::string(marker ? kMarker : "") +
                           "<p class=\"end\">fin</p>\n" +
                           (closed ? "</body>\n" : "") + "</html>\n";
  std::string page = head;
  for (unsigned i = 0; page.size() + tail.size() < size; ++i) {
    page += "<li class=\"item\"><a href=\"/docs/page" + std::to_string(i) +
            ".html\">Entry " + std::to_string(i) +
            (prose ? "</a> <em>with</em> a job to be done.</li>\n"
                   : "</a> <em>with</em> some text.</li>\n");
  }
  page.resize(size > tail.size() ? size - tail.size() : 0);
  return page + tail;
}

// kNoAccount: an HTML page served from no application directory, so there
// is no configuration and no account. kUnclosed: a page with no closing
// body tag, held to its end and let go untouched. kTaggedProse: a tagged
// page whose every line holds a "b" and a "j", as most text does, the
// letters the copy tests for to skip the watch's searches.
enum class Case {
  kTagged,
  kAlreadyTagged,
  kNonHtml,
  kNotFound,
  kNoAccount,
  kUnclosed,
  kTaggedProse
};
const char* const kCaseNames[] = {"tagged",      "already_tagged", "non_html",
                                  "not_found",   "no_account",     "unclosed",
                                  "tagged_prose"};

std::string MakeResponse(Case c, std::size_t pageBytes,
                         const std::string& extraHeaders = "") {
  const std::string body =
      HtmlPage(pageBytes, c == Case::kAlreadyTagged, c != Case::kUnclosed,
               c == Case::kTaggedProse);
  const char* status = c == Case::kNotFound ? "404 Not Found" : "200 OK";
  const char* type =
      c == Case::kNonHtml ? "application/octet-stream" : "text/html";
  return std::string("HTTP/1.1 ") + status +
         "\r\nServer: bench\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
         extraHeaders + "\r\n" + body;
}

// The library beside this program and an application directory whose
// configuration names an account.
struct Setup {
  FilterModule filter;
  std::string appDir;

  static const Setup& Get() {
    static const Setup setup = Make();
    return setup;
  }

 private:
  static Setup Make() {
    std::string dir, error;
    if (!tagsmith::host::platform::ExecutableDirectory(&dir, &error)) {
      std::fprintf(stderr, "tagsmith_bench: %s\n", error.c_str());
      std::exit(2);
    }
    FilterModule filter = FilterModule::Load(tagsmith::host::platform::JoinPath(
        dir, tagsmith::host::platform::FilterLibraryFileName()));
    std::string app =
        (std::filesystem::temp_directory_path() / "tagsmith-bench-app")
            .string();
    std::filesystem::create_directories(app);
    std::ofstream(app + "/tagsmith.config")
        << "[ga1]\r\nAccount=UA-BENCH-1\r\n";
    return Setup{std::move(filter), app};
  }
};

// Serves `response` once, in chunks of `chunk` bytes; returns the bytes
// that reached the client.
std::size_t Serve(const Setup& setup, const RequestSettings& settings,
                  std::string& response, std::size_t chunk) {
  DiscardingSink client;
  StandInRequest request(setup.filter, settings, client);
  request.SendResponse();
  for (std::size_t at = 0; at < response.size(); at += chunk) {
    request.SendRawData(&response[at], std::min(chunk, response.size() - at));
  }
  request.EndOfRequest();
  return client.sent();
}

constexpr int kRounds = 5;

// Processor time of `count` calls of `work`, in seconds.
template <typename Work>
double CpuSeconds(benchmark::IterationCount count, Work work) {
  const std::clock_t start = std::clock();
  for (benchmark::IterationCount i = 0; i < count; ++i) work();
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

// The floor: each chunk copied once into a block of its own size.
void Floor(const std::string& response, std::size_t chunk,
           std::vector<void*>& blocks) {
  for (std::size_t at = 0; at < response.size(); at += chunk) {
    const std::size_t n = std::min(chunk, response.size() - at);
    void* block = std::malloc(n);
    std::memcpy(block, response.data() + at, n);
    blocks.push_back(block);
  }
  benchmark::DoNotOptimize(blocks.data());
  benchmark::ClobberMemory();
  for (void* block : blocks) std::free(block);
  blocks.clear();
}

void BM_Filter(benchmark::State& state, Case c, std::size_t page,
               std::size_t chunk) {
  const Setup& setup = Setup::Get();
  RequestSettings settings;
  if (c != Case::kNoAccount) settings.app_physical_path = setup.appDir;
  settings.arena_memory = true;
  std::string response = MakeResponse(c, page);
  // Measure the path the case names.
  const std::size_t out = Serve(setup, settings, response, chunk);
  if ((c == Case::kTagged || c == Case::kTaggedProse) !=
      (out > response.size())) {
    state.SkipWithError("the response was not handled as the case expects");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(Serve(setup, settings, response, chunk));
  }
  // The ratio to the floor: filter and floor alternate in rounds, each timed
  // in processor time, and the best round of each counts, so that other
  // work on a shared machine disturbs the ratio as little as possible. The
  // floor runs as many times a round as take about as long as the filter's
  // round (once at least), so that a response that passes without a copy
  // does not make the floor run for minutes.
  std::vector<void*> blocks;
  blocks.reserve(response.size() / chunk + 1);
  const benchmark::IterationCount perRound =
      std::max<benchmark::IterationCount>(1, state.iterations() / kRounds);
  auto serve = [&] {
    benchmark::DoNotOptimize(Serve(setup, settings, response, chunk));
  };
  auto floor = [&] { Floor(response, chunk, blocks); };
  const double floorOnce = std::max(1e-9, CpuSeconds(2, floor) / 2);
  const double filterRound = CpuSeconds(perRound, serve);
  const auto floorPerRound = std::clamp<benchmark::IterationCount>(
      static_cast<benchmark::IterationCount>(filterRound / floorOnce), 1,
      perRound);
  double bestFilter = 1e300;
  double bestFloor = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    bestFilter = std::min(bestFilter, CpuSeconds(perRound, serve) / perRound);
    bestFloor =
        std::min(bestFloor, CpuSeconds(floorPerRound, floor) / floorPerRound);
  }
  state.SetBytesProcessed(state.iterations() * response.size());
  state.counters["floor_ratio"] = bestFilter / bestFloor;
}

void BM_Floor(benchmark::State& state, std::size_t page, std::size_t chunk) {
  const std::string response = MakeResponse(Case::kTagged, page);
  std::vector<void*> blocks;
  blocks.reserve(response.size() / chunk + 1);
  for (auto _ : state) Floor(response, chunk, blocks);
  state.SetBytesProcessed(state.iterations() * response.size());
}

// One small page, in one chunk: tagged from the configuration file, or from
// its own account header without any file.
void BM_FixedCost(benchmark::State& state, bool configFile) {
  const Setup& setup = Setup::Get();
  RequestSettings settings;
  settings.arena_memory = true;
  if (configFile) settings.app_physical_path = setup.appDir;
  std::string response = MakeResponse(
      Case::kTagged, 2048, configFile ? "" : "X-Tagsmith: UA-HEADER-1\r\n");
  if (Serve(setup, settings, response, response.size()) <= response.size()) {
    state.SkipWithError("the page was not tagged");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(Serve(setup, settings, response, response.size()));
  }
  double best = 1e300;
  const benchmark::IterationCount perRound =
      std::max<benchmark::IterationCount>(1, state.iterations() / kRounds);
  for (int round = 0; round < kRounds; ++round) {
    best = std::min(best, CpuSeconds(perRound, [&] {
                      benchmark::DoNotOptimize(
                          Serve(setup, settings, response, response.size()));
                    }));
  }
  state.counters["us_per_page"] = best * 1e6 / perRound;
}

// A 1 MB page framed in chunks of 8 KB of data, against the same page plain
// with its Content-Length, both tagged and both delivered in 8 KB pieces:
// `ratio` is the chunked page's processor time over the plain one's.
void BM_ChunkedVsPlain(benchmark::State& state) {
  const Setup& setup = Setup::Get();
  RequestSettings settings;
  settings.app_physical_path = setup.appDir;
  settings.arena_memory = true;
  const std::string page = HtmlPage(1 << 20, false);
  std::string plain = MakeResponse(Case::kTagged, 1 << 20);
  std::string framed =
      "HTTP/1.1 200 OK\r\nServer: bench\r\nContent-Type: text/html\r\n"
      "Transfer-Encoding: chunked\r\n\r\n";
  for (std::size_t at = 0; at < page.size(); at += 8192) {
    const std::size_t n = std::min<std::size_t>(8192, page.size() - at);
    char line[16];
    std::snprintf(line, sizeof line, "%zx\r\n", n);
    framed += line + page.substr(at, n) + "\r\n";
  }
  framed += "0\r\n\r\n";
  if (Serve(setup, settings, framed, 8192) <= framed.size() ||
      Serve(setup, settings, plain, 8192) <= plain.size()) {
    state.SkipWithError("a page was not tagged");
    return;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(Serve(setup, settings, framed, 8192));
  const benchmark::IterationCount perRound =
      std::max<benchmark::IterationCount>(1, state.iterations() / kRounds);
  double bestFramed = 1e300, bestPlain = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    bestFramed = std::min(
        bestFramed, CpuSeconds(perRound, [&] {
          benchmark::DoNotOptimize(Serve(setup, settings, framed, 8192));
        }));
    bestPlain = std::min(
        bestPlain, CpuSeconds(perRound, [&] {
          benchmark::DoNotOptimize(Serve(setup, settings, plain, 8192));
        }));
  }
  state.counters["ratio"] = bestFramed / bestPlain;
}

// Inflates a gzip member whole into `out` (sized for the page).
std::size_t InflateAlone(const std::string& gz, std::string& out) {
  z_stream s{};
  inflateInit2(&s, 16 + MAX_WBITS);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  s.avail_in = static_cast<uInt>(gz.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  inflate(&s, Z_FINISH);
  const std::size_t n = s.total_out;
  inflateEnd(&s);
  return n;
}

// The dense 1 MB page gzip-compressed at level 6 and tagged, against
// inflating the same bytes alone: `ratio` is the filter's processor time
// over the inflate's. With `tagInMiddle` the last closing body tag is
// half-way, with as many list lines after it (so half the page is
// compressed anew).
void BM_GzipVsInflate(benchmark::State& state, bool tagInMiddle) {
  const Setup& setup = Setup::Get();
  RequestSettings settings;
  settings.app_physical_path = setup.appDir;
  settings.arena_memory = true;
  std::string page = HtmlPage(tagInMiddle ? 1 << 19 : 1 << 20, false);
  for (unsigned i = 0; tagInMiddle && page.size() < (1u << 20); ++i) {
    page += "<li class=\"late\"><a href=\"/docs/more" + std::to_string(i) +
            ".html\">More " + std::to_string(i) + "</a> and text.</li>\n";
  }
  const std::string gz =
      tagsmith::checks::Compress(page, tagsmith::checks::Format::kGzip, 6);
  std::string response =
      "HTTP/1.1 200 OK\r\nServer: bench\r\nContent-Type: text/html\r\n"
      "Content-Encoding: gzip\r\nContent-Length: " +
      std::to_string(gz.size()) + "\r\n\r\n" + gz;
  std::string out(page.size() + 1, '\0');
  if (InflateAlone(gz, out) != page.size() ||
      Serve(setup, settings, response, 65536) == response.size()) {
    state.SkipWithError("the page was not tagged");
    return;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(Serve(setup, settings, response, 65536));
  const benchmark::IterationCount perRound =
      std::max<benchmark::IterationCount>(1, state.iterations() / kRounds);
  double bestTagged = 1e300, bestInflate = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    bestTagged = std::min(
        bestTagged, CpuSeconds(perRound, [&] {
          benchmark::DoNotOptimize(Serve(setup, settings, response, 65536));
        }));
    bestInflate = std::min(bestInflate, CpuSeconds(perRound, [&] {
                             benchmark::DoNotOptimize(InflateAlone(gz, out));
                           }));
  }
  state.counters["ratio"] = bestTagged / bestInflate;
  state.counters["compressed_kb"] = gz.size() / 1024.0;
}

void RegisterAll() {
  benchmark::RegisterBenchmark("coded/chunked_vs_plain/1048576/8192",
                               BM_ChunkedVsPlain)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("coded/gzip_vs_inflate/1048576",
                               BM_GzipVsInflate, false)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("coded/gzip_vs_inflate/1048576/tag_in_middle",
                               BM_GzipVsInflate, true)
      ->Unit(benchmark::kMicrosecond);
  const std::size_t pages[] = {4096, 65536, 1 << 20, 16 << 20};
  const std::size_t chunks[] = {512, 8192, 65536};
  for (Case c :
       {Case::kTagged, Case::kAlreadyTagged, Case::kNonHtml, Case::kNotFound,
        Case::kNoAccount, Case::kUnclosed, Case::kTaggedProse}) {
    for (std::size_t page : pages) {
      for (std::size_t chunk : chunks) {
        const std::string name =
            std::string("filter/") + kCaseNames[static_cast<int>(c)] + "/" +
            std::to_string(page) + "/" + std::to_string(chunk);
        benchmark::RegisterBenchmark(name.c_str(), BM_Filter, c, page, chunk)
            ->Unit(benchmark::kMicrosecond);
      }
    }
  }
  for (std::size_t page : pages) {
    for (std::size_t chunk : chunks) {
      const std::string name =
          "floor/" + std::to_string(page) + "/" + std::to_string(chunk);
      benchmark::RegisterBenchmark(name.c_str(), BM_Floor, page, chunk)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::RegisterBenchmark("fixed/config_file", BM_FixedCost, true)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("fixed/header_account", BM_FixedCost, false)
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
  // As every server that hosts the filter does: freed blocks stay in the
  // heap, so that a page's blocks are not mapped and faulted in anew.
  tagsmith::host::KeepFreedHeap();
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
