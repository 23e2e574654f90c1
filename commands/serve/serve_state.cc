// See serve_state.h.
#include "commands/serve/serve_state.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "host/http_date.h"
#include "host/platform.h"

namespace tagsmith::host {

namespace {

// Writes all of `bytes`; a failed write drops the rest of the line.
void WriteWhole(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(descriptor, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void RequestLog::Line(std::string_view line) noexcept {
  try {
    // Made whole outside the lock, then one write of it.
    const std::string stamp = LogTime(std::chrono::system_clock::now());
    std::string stamped;
    stamped.reserve(stamp.size() + 1 + line.size() + 1);
    stamped.append(stamp).append(" ").append(line).append("\n");
    const int descriptor = fileno(out_);
    if (descriptor >= 0 && stamped.size() <= kAtomicLine) {
      std::shared_lock<std::shared_mutex> lock(mutex_);
      WriteWhole(descriptor, stamped);
      return;
    }
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (descriptor >= 0) {
      WriteWhole(descriptor, stamped);
      return;
    }
    std::fwrite(stamped.data(), 1, stamped.size(), out_);
    std::fflush(out_);
  } catch (...) {
    // No memory for the line (or a lock that failed): the request goes on.
  }
}

bool MemoryReturn::Due(std::uint64_t released, std::uint64_t held,
                       std::chrono::steady_clock::duration since) {
  if (since < kInterval) return false;
  return released >= kReturnAfter || (held == 0 && released >= kReturnWhenIdle);
}

void MemoryReturn::Released(std::uint64_t bytes, std::uint64_t held) noexcept {
  const std::uint64_t total =
      released_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  if (total < kReturnWhenIdle) return;
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count();
  const std::chrono::nanoseconds since(
      now - last_ns_.load(std::memory_order_relaxed));
  if (!Due(total, held, since)) return;
  if (busy_.exchange(true, std::memory_order_acquire)) return;
  released_.store(0, std::memory_order_relaxed);
  platform::ReturnFreeMemory();
  last_ns_.store(now, std::memory_order_relaxed);
  busy_.store(false, std::memory_order_release);
}

void ShedWaiting(Worker& worker, bool all) {
  constexpr std::size_t kShedAtOnce = 16;  // per worker and pause
  std::size_t count =
      all ? worker.waiting.size()
          : std::clamp<std::size_t>(worker.waiting.size() / 2, 1, kShedAtOnce);
  while (count-- > 0 && !worker.waiting.empty()) {
    // A session leaves the list itself, when shed or destroyed.
    std::shared_ptr<Waiting> session = worker.waiting.front().lock();
    if (session)
      session->Shed();
    else
      worker.waiting.pop_front();
  }
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(std::min<std::size_t>(text.size(), 512));
  for (char c : text.substr(0, 512)) out += (c > 0x20 && c < 0x7f) ? c : '?';
  return out.empty() ? "-" : out;
}

const std::string_view kUnavailableResponse =
    "HTTP/1.1 503 Service Unavailable\r\nServer: tagsmith\r\n"
    "Content-Type: text/plain\r\nContent-Length: 24\r\n"
    "Retry-After: 1\r\nConnection: close\r\n\r\n"
    "503 Service Unavailable\n";

}  // namespace tagsmith::host
