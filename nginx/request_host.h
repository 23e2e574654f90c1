// One response hosted for the filter: the HTTP_FILTER_CONTEXT it is given,
// the callbacks it calls back, the raising of raw data, and the bridge that
// follows what it lets out. Lives in the request's pool (destroyed by a pool
// cleanup); every byte it hands on (the head's table aside) is a buffer of
// that pool, linked into `out` for the next body filter.
#ifndef TAGSMITH_NGINX_REQUEST_HOST_H_
#define TAGSMITH_NGINX_REQUEST_HOST_H_

#include <cstddef>
#include <cstdint>
#include <optional>

#include "host/held_budget.h"
#include "host/response_bridge.h"
#include "isapi/isapi.h"
#include "nginx/ngx_headers.h"

namespace tagsmith::host {
class FilterModule;
}

namespace tagsmith::nginx_host {

// The most bytes one raw-data notification carries.
inline constexpr std::size_t kMaxRawPiece = 64 * 1024;

struct RequestHost {
  ngx_http_request_t* request = nullptr;
  const tagsmith::host::FilterModule* filter = nullptr;
  HTTP_FILTER_CONTEXT context;
  bool secure = false;
  DWORD disabled = 0;  // notifications the filter asked not to get
  ngx_str_t app_dir = ngx_null_string;  // empty: the location's root
  std::optional<tagsmith::host::ResponseBridge> bridge;
  // The worker's budget for what responses hold, and what this one was
  // lent of it (given back when the request's pool goes).
  tagsmith::host::HeldBudget* budget = nullptr;
  std::uint64_t lent = 0;

  // What the filter let out after the head, waiting for the next filter.
  ngx_chain_t* out = nullptr;
  ngx_chain_t** out_tail = &out;
  std::uint64_t body_given = 0;    // body bytes raised to the filter
  std::uint64_t body_written = 0;  // body bytes it let out
  bool failed = false;             // a pool allocation was refused

  // The AllocMem blocks (MemBlock records in the pool), so that the
  // filter's own bytes are sent without another copy.
  ngx_array_t blocks;
  char* scratch = nullptr;       // where read-only body bytes are raised
  u_char* file_piece = nullptr;  // where a file buffer's bytes are read

  // The module's own state of the response.
  bool head_sent = false;       // the next header filter has been called
  bool held_whole = false;      // a candidate: held to its last buffer
  bool ranges_allowed = false;  // the handler offered ranges
  bool discard = false;         // a HEAD's head went: no body follows
};

// A new host for `r` in its pool, or null when memory was refused.
RequestHost* CreateRequestHost(ngx_http_request_t* r,
                               const tagsmith::host::FilterModule& filter,
                               tagsmith::host::HeldBudget* budget,
                               const ngx_str_t& app_dir);

// Whether the filter is still to be given raw data.
bool RaisesRawData(const RequestHost& host);
// Raises `notification` when the filter wants it and has not turned it off.
void Raise(RequestHost* host, DWORD notification, void* record);
// One AllocMem block.
struct MemBlock {
  const char* start;
  std::size_t size;
};
// Where bytes to raise come from.
enum class Source {
  kBody,          // the server's body in a buffer filters may not change
  kWritableBody,  // the server's body in a buffer it lets filters change
                  // (nginx's temporary ones) and reuses once it is sent
  kPoolBytes,     // writable bytes of the request's pool that live as long
                  // as it: the head the host built, the filter's writes
};
// Raises `bytes` as raw data in pieces of at most kMaxRawPiece and lets out
// what the filter leaves in each record. Read-only body bytes are copied
// into the host's writable piece first; the others are raised in place.
void RaiseRawData(RequestHost* host, const char* bytes, std::size_t length,
                  Source source);
// Takes bytes the filter let out: the head's part to the bridge, the rest
// into `out`, copied unless `stable` (they live as long as the request).
void LetOut(RequestHost* host, const char* bytes, std::size_t length,
            bool stable);
// A zeroed buffer record from `pool` (nginx's ngx_calloc_buf, typed).
inline ngx_buf_t* NewBuf(ngx_pool_t* pool) {
  return static_cast<ngx_buf_t*>(ngx_pcalloc(pool, sizeof(ngx_buf_t)));
}
// Appends `buf` (not copied) to `out`.
void AppendOut(RequestHost* host, ngx_buf_t* buf);

}  // namespace tagsmith::nginx_host

#endif  // TAGSMITH_NGINX_REQUEST_HOST_H_
