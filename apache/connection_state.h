// The state of one client connection that hosts the filter, and the host
// services the filter calls back: the record lives in the connection's
// pool; the response's AllocMem blocks, its directory copy and its writable
// raw-data copy live in the response's pool. Used by connection_filter.cc
// (the notifications) and host_services.cc (the callbacks).
#ifndef TAGSMITH_APACHE_CONNECTION_STATE_H_
#define TAGSMITH_APACHE_CONNECTION_STATE_H_

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "apr_buckets.h"
#include "util_filter.h"
// clang-format on

#include "filter/isapi.h"

namespace tagsmith::host {
class FilterModule;
}

namespace tagsmith::apache {

// What the filter lets through goes on down the chain once this much has
// gathered, so that a large page is not held twice.
inline constexpr apr_off_t kPassOnBytes = 64 * 1024;
// The most bytes of a bucket raised in one raw-data notification; also the
// size of the writable copy the filter is given.
inline constexpr apr_size_t kMaxRawChunk = 64 * 1024;

enum class Phase {
  kIdle,     // between responses
  kHosted,   // a response held by the filter
  kPassing,  // a response not hosted: every bucket passes until its end
  kInterim,  // an interim (1xx) response: passes until its flush
};

struct ConnectionState {
  conn_rec* connection;
  const host::FilterModule* filter;
  ap_filter_t* self;
  Phase phase;
  int secure;  // the connection is TLS: 1, 0, or -1 not yet asked

  // The next response, as its request left it.
  bool next_hosted;
  const char* next_app_dir;  // in the request's pool, or configuration

  // The response being hosted. Its pool holds every AllocMem block, the
  // copy of its directory and the writable copy of each raw chunk.
  apr_pool_t* response_pool;
  const char* app_dir;
  apr_size_t app_dir_length;
  char* scratch;
  HTTP_FILTER_CONTEXT context;
  apr_bucket_brigade* held;  // its metadata buckets, sent after its bytes
  bool flush_held;           // a flush came while it was held

  // Buckets on their way down the chain, and the first failure there.
  apr_bucket_brigade* out;
  apr_off_t out_bytes;
  apr_status_t out_status;
};

// Whether the connection is TLS (asked of mod_ssl once).
bool IsSecure(ConnectionState* state);
// Raises one notification, if the filter asked for it.
void Raise(ConnectionState* state, DWORD notification, void* record);
// Passes what has gathered in state->out down the chain.
void PassOn(ConnectionState* state);
// Raises `bytes` as raw data and sends on what the filter lets through.
void RaiseRawData(ConnectionState* state, const char* bytes, apr_size_t length);
// A fresh context for a new response: an empty slot, the TLS flag, the
// callbacks.
void ResetContext(ConnectionState* state);

}  // namespace tagsmith::apache

#endif  // TAGSMITH_APACHE_CONNECTION_STATE_H_
