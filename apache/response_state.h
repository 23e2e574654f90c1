// The state of one response that mod_tagsmith hosts, shared by the request
// filter (request_filter.cc: the notifications) and the host services the
// filter calls back (host_services.cc). The record and everything it owns
// (the filter's AllocMem blocks, the bridge) are released with the
// request's pool, after every bucket that points into them has gone.
#ifndef TAGSMITH_APACHE_RESPONSE_STATE_H_
#define TAGSMITH_APACHE_RESPONSE_STATE_H_

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "apr_buckets.h"
#include "util_filter.h"
// clang-format on

#include <string>

#include "host/request_memory.h"
#include "host/response_bridge.h"
#include "isapi/isapi.h"

namespace tagsmith::host {
class FilterModule;
}

namespace tagsmith::apache {

// What the filter lets out goes on down the chain once this much has
// gathered, so that a large page is not held twice.
inline constexpr apr_off_t kPassOnBytes = 64 * 1024;
// The most bytes raised in one raw-data notification.
inline constexpr apr_size_t kMaxRawChunk = 64 * 1024;

struct ResponseState {
  ResponseState(request_rec* r, ap_filter_t* f,
                const host::FilterModule& module, host::HeldBudget* budget,
                std::string head)
      : request(r),
        self(f),
        filter(&module),
        memory(0, host::MemoryLayout::kArena, budget),
        bridge(std::move(head)) {}

  request_rec* request;
  ap_filter_t* self;
  const host::FilterModule* filter;
  bool secure = false;            // the client's connection is TLS
  const char* app_dir = nullptr;  // APPL_PHYSICAL_PATH
  apr_size_t app_dir_length = 0;
  HTTP_FILTER_CONTEXT context{};
  DWORD disabled = 0;  // notifications the filter asked to stop
  // The filter's AllocMem blocks, lent from the child's budget.
  host::RequestMemory memory;
  host::ResponseBridge bridge;
  bool head_out = false;  // the filter's head is in the request: body goes on
  bool ended = false;     // end-of-request has been raised
  // Inside the end-of-request call: what the filter writes then goes on
  // in one brigade with the end of the stream, so that a range of it can be
  // cut (it is the filter's own blocks, not copies).
  bool ending = false;
  bool head_error_logged = false;
  bool refusal_logged = false;

  // Buckets on their way down the chain, and the first failure there.
  apr_bucket_brigade* out = nullptr;
  apr_off_t out_bytes = 0;
  apr_status_t out_status = APR_SUCCESS;
  // Metadata that came while the response was held: it follows the bytes
  // the filter writes at the end.
  apr_bucket_brigade* held = nullptr;
};

// Whether the filter wants `notification` now.
bool Wants(const ResponseState* state, DWORD notification);
// Raises one notification, if the filter wants it.
void Raise(ResponseState* state, DWORD notification, void* record);
// Raises `bytes` as raw data, in writable pieces the filter may keep or
// change; what it leaves in each goes on.
void RaiseRawData(ResponseState* state, const char* bytes, apr_size_t length);
// The response has ended: a head the filter never wrote whole is broken,
// and the server's own goes out.
void FinishHead(ResponseState* state);
// Passes what has gathered in state->out down the chain.
void PassOn(ResponseState* state);
// The context the filter is given: an empty slot, the TLS flag, the
// callbacks.
void InitContext(ResponseState* state);

}  // namespace tagsmith::apache

#endif  // TAGSMITH_APACHE_RESPONSE_STATE_H_
