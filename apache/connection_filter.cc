// The connection filter: the notifications of each response; see
// connection_filter.h (the host services are in host_services.cc).
//
// One response's life on a connection: its first bytes start a cycle
// (send-response), each data bucket is read and raised as raw data, and the
// request's end-of-request bucket ends it (end-of-request), when what the
// filter wrote goes on down the chain and the response's pool is released.
// HTTP/1.x sends one response after another, each ended by its own
// end-of-request bucket before the next request is read, so bytes of two
// responses never meet in one cycle. Nothing here throws.
#include "apache/connection_filter.h"

#include <cstring>

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "apr_buckets.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_connection.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "util_filter.h"
// clang-format on

#include "apache/connection_state.h"
#include "apache/module_config.h"

APLOG_USE_MODULE(tagsmith);

namespace tagsmith::apache {

namespace {

constexpr char kFilterName[] = "TAGSMITH";

void MoveOut(ConnectionState* state, apr_bucket* bucket) {
  APR_BUCKET_REMOVE(bucket);
  APR_BRIGADE_INSERT_TAIL(state->out, bucket);
}

ConnectionState* StateOf(conn_rec* connection) {
  return static_cast<ConnectionState*>(
      ap_get_module_config(connection->conn_config, &tagsmith_module));
}

// A response's first bytes: a new pool and a fresh context with an empty
// slot, then send-response.
void StartHostedResponse(ConnectionState* state) {
  apr_pool_create(&state->response_pool, state->connection->pool);
  apr_pool_tag(state->response_pool, "tagsmith_response");
  state->scratch = nullptr;
  state->app_dir = state->next_app_dir
                       ? apr_pstrdup(state->response_pool, state->next_app_dir)
                       : nullptr;
  state->app_dir_length = state->app_dir ? std::strlen(state->app_dir) : 0;
  ResetContext(state);
  state->phase = Phase::kHosted;
  Raise(state, SF_NOTIFY_SEND_RESPONSE, nullptr);
}

// The end of a hosted response: end-of-request, in which the filter writes
// the response out; then its pool goes, and its held metadata follows its
// bytes.
void FinishHostedResponse(ConnectionState* state) {
  Raise(state, SF_NOTIFY_END_OF_REQUEST, nullptr);
  apr_pool_destroy(state->response_pool);
  state->response_pool = nullptr;
  state->scratch = nullptr;
  state->app_dir = nullptr;
  state->context.pFilterContext = nullptr;  // its records went with the pool
  APR_BRIGADE_CONCAT(state->out, state->held);
  if (state->flush_held) {
    APR_BRIGADE_INSERT_TAIL(
        state->out, apr_bucket_flush_create(state->connection->bucket_alloc));
    state->flush_held = false;
  }
}

// An interim response ("HTTP/1.1 100 Continue") comes before the real one
// and is flushed at once; a 101 hands the connection to another protocol.
bool IsStatusLine1xx(const char* bytes, apr_size_t length) {
  return length >= 12 && std::memcmp(bytes, "HTTP/1.", 7) == 0 &&
         bytes[8] == ' ' && bytes[9] == '1';
}

void OnMetadata(ConnectionState* state, apr_bucket* bucket) {
  if (AP_BUCKET_IS_EOR(bucket) || AP_BUCKET_IS_EOC(bucket)) {
    if (state->phase == Phase::kHosted) FinishHostedResponse(state);
    state->phase = Phase::kIdle;
    state->next_hosted = false;
    state->next_app_dir = nullptr;
    MoveOut(state, bucket);
    return;
  }
  if (state->phase == Phase::kHosted) {
    // The filter holds every byte until the end of the request, so a flush
    // now would send nothing of this response.
    if (APR_BUCKET_IS_FLUSH(bucket)) {
      state->flush_held = true;
      apr_bucket_delete(bucket);
    } else {
      APR_BUCKET_REMOVE(bucket);
      APR_BRIGADE_INSERT_TAIL(state->held, bucket);
    }
    return;
  }
  if (state->phase == Phase::kInterim && APR_BUCKET_IS_FLUSH(bucket))
    state->phase = Phase::kIdle;
  MoveOut(state, bucket);
}

apr_status_t TagsmithOutputFilter(ap_filter_t* f, apr_bucket_brigade* bb) {
  ConnectionState* state = static_cast<ConnectionState*>(f->ctx);
  while (!APR_BRIGADE_EMPTY(bb)) {
    apr_bucket* bucket = APR_BRIGADE_FIRST(bb);
    if (APR_BUCKET_IS_METADATA(bucket)) {
      OnMetadata(state, bucket);
      continue;
    }
    if (state->phase == Phase::kIdle) {
      // HTTP/2 frames are not the wire format the filter reads.
      if (std::strcmp(ap_get_protocol(state->connection), AP_PROTOCOL_HTTP1) !=
          0) {
        ap_remove_output_filter(f);
        APR_BRIGADE_CONCAT(state->out, bb);
        break;
      }
      if (!state->next_hosted) state->phase = Phase::kPassing;
    }
    if (state->phase == Phase::kPassing || state->phase == Phase::kInterim) {
      MoveOut(state, bucket);
      continue;
    }
    const char* bytes = nullptr;
    apr_size_t length = 0;
    const apr_status_t status =
        apr_bucket_read(bucket, &bytes, &length, APR_BLOCK_READ);
    if (status != APR_SUCCESS) {
      // The response's source failed: what is held goes out, the rest of
      // the response passes as it comes.
      ap_log_cerror(APLOG_MARK, APLOG_ERR, status, state->connection,
                    "Tagsmith: reading a response failed; sending what "
                    "was held");
      if (state->phase == Phase::kHosted) FinishHostedResponse(state);
      state->phase = Phase::kPassing;
      PassOn(state);
      return status;
    }
    if (state->phase == Phase::kIdle) {
      if (length == 0) {
        apr_bucket_delete(bucket);
        continue;
      }
      if (IsStatusLine1xx(bytes, length)) {
        state->phase = bytes[10] == '0' && bytes[11] == '1' ? Phase::kPassing
                                                            : Phase::kInterim;
        MoveOut(state, bucket);
        continue;
      }
      StartHostedResponse(state);
    }
    RaiseRawData(state, bytes, length);
    apr_bucket_delete(bucket);
  }
  PassOn(state);
  const apr_status_t status = state->out_status;
  state->out_status = APR_SUCCESS;
  return status;
}

}  // namespace

void RegisterConnectionFilter() {
  ap_register_output_filter(kFilterName, TagsmithOutputFilter, nullptr,
                            AP_FTYPE_CONNECTION);
}

void AddConnectionFilter(conn_rec* connection,
                         const host::FilterModule& filter) {
  auto* state = static_cast<ConnectionState*>(
      apr_pcalloc(connection->pool, sizeof(ConnectionState)));
  state->connection = connection;
  state->filter = &filter;
  state->phase = Phase::kIdle;
  state->secure = -1;
  state->out_status = APR_SUCCESS;
  state->out = apr_brigade_create(connection->pool, connection->bucket_alloc);
  state->held = apr_brigade_create(connection->pool, connection->bucket_alloc);
  ap_set_module_config(connection->conn_config, &tagsmith_module, state);
  state->self = ap_add_output_filter(kFilterName, state, nullptr, connection);
}

void NoteRequest(request_rec* request) {
  if (request->main) return;  // a subrequest's output is its parent's
  ConnectionState* state = StateOf(request->connection);
  if (!state) return;
  const auto* dir = static_cast<const DirConfig*>(
      ap_get_module_config(request->per_dir_config, &tagsmith_module));
  state->next_hosted = dir->enabled == 1;
  state->next_app_dir =
      dir->app_dir ? dir->app_dir : ap_context_document_root(request);
}

}  // namespace tagsmith::apache
