// The connection filter and the filter's host services; see
// connection_filter.h.
//
// One response's life on a connection: its first bytes start a cycle
// (send-response), each data bucket is read and raised as raw data, and the
// request's end-of-request bucket ends it (end-of-request), when what the
// filter wrote goes on down the chain and the response's pool is released.
// HTTP/1.x sends one response after another, each ended by its own
// end-of-request bucket before the next request is read, so bytes of two
// responses never meet in one cycle. Nothing here throws.
#include "apache/connection_filter.h"

#include <algorithm>
#include <cstring>

#include "apr_buckets.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_connection.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "http_ssl.h"
#include "util_filter.h"

#include "apache/module_config.h"
#include "filter/isapi.h"
#include "host/filter_module.h"
#include "host/platform.h"
#include "host/server_variable.h"

APLOG_USE_MODULE(tagsmith);

namespace tagsmith::apache {

namespace {

constexpr char kFilterName[] = "TAGSMITH";
// What the filter lets through goes on down the chain once this much has
// gathered, so that a large page is not held twice.
constexpr apr_off_t kPassOnBytes = 64 * 1024;
// The most bytes of a bucket raised in one raw-data notification; also the
// size of the writable copy the filter is given.
constexpr apr_size_t kMaxRawChunk = 64 * 1024;

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

ConnectionState* StateOf(conn_rec* connection) {
  return static_cast<ConnectionState*>(
      ap_get_module_config(connection->conn_config, &tagsmith_module));
}

ConnectionState* StateOf(HTTP_FILTER_CONTEXT* context) {
  return context ? static_cast<ConnectionState*>(context->ServerContext)
                 : nullptr;
}

bool IsSecure(ConnectionState* state) {
  if (state->secure < 0) state->secure = ap_ssl_conn_is_ssl(state->connection) ? 1 : 0;
  return state->secure == 1;
}

// Raises one notification if the filter asked for it.
void Raise(ConnectionState* state, DWORD notification, void* record) {
  if (state->filter->Wants(notification, IsSecure(state)))
    state->filter->Notify(&state->context, notification, record);
}

void PassOn(ConnectionState* state) {
  if (APR_BRIGADE_EMPTY(state->out)) return;
  const apr_status_t status = ap_pass_brigade(state->self->next, state->out);
  apr_brigade_cleanup(state->out);
  state->out_bytes = 0;
  if (status != APR_SUCCESS && state->out_status == APR_SUCCESS)
    state->out_status = status;
}

void MoveOut(ConnectionState* state, apr_bucket* bucket) {
  APR_BUCKET_REMOVE(bucket);
  APR_BRIGADE_INSERT_TAIL(state->out, bucket);
}

// Sends a copy of `bytes` on: the caller's buffer may go as soon as this
// returns.
void SendCopy(ConnectionState* state, const void* bytes, apr_size_t length) {
  APR_BRIGADE_INSERT_TAIL(
      state->out,
      apr_bucket_heap_create(static_cast<const char*>(bytes), length, nullptr,
                             state->connection->bucket_alloc));
  state->out_bytes += static_cast<apr_off_t>(length);
  if (state->out_bytes >= kPassOnBytes) PassOn(state);
}

// Raises `bytes` as raw data, in pieces the filter can count, each in a
// writable buffer as the platform's own send buffer is; sends on whatever
// the filter leaves in the record.
void RaiseRawData(ConnectionState* state, const char* bytes,
                  apr_size_t length) {
  const bool wanted =
      state->filter->Wants(SF_NOTIFY_SEND_RAW_DATA, IsSecure(state));
  while (length > 0) {
    const apr_size_t piece = std::min(length, kMaxRawChunk);
    if (!wanted) {
      SendCopy(state, bytes, piece);
    } else {
      if (!state->scratch && state->response_pool)
        state->scratch =
            static_cast<char*>(apr_palloc(state->response_pool, kMaxRawChunk));
      std::memcpy(state->scratch, bytes, piece);
      HTTP_FILTER_RAW_DATA raw;
      raw.pvInData = state->scratch;
      raw.cbInData = static_cast<DWORD>(piece);
      raw.cbInBuffer = static_cast<DWORD>(kMaxRawChunk);
      raw.dwReserved = 0;
      state->filter->Notify(&state->context, SF_NOTIFY_SEND_RAW_DATA, &raw);
      if (raw.cbInData > 0 && raw.pvInData)
        SendCopy(state, raw.pvInData, raw.cbInData);
    }
    bytes += piece;
    length -= piece;
  }
}

BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, LPSTR name,
                              LPVOID buffer, LPDWORD size) {
  ConnectionState* state = StateOf(context);
  if (!state || !name || !size) return FALSE;
  if (std::strcmp(name, host::kAppPhysicalPath) != 0) {
    host::platform::SetCallbackError(
        host::platform::CallbackError::kUnknownVariable);
    return FALSE;
  }
  if (!state->app_dir) {
    host::platform::SetCallbackError(host::platform::CallbackError::kNoData);
    return FALSE;
  }
  return host::AnswerServerVariable(state->app_dir, state->app_dir_length,
                                    buffer, size);
}

BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* context, LPVOID buffer,
                        LPDWORD bytes, DWORD) {
  ConnectionState* state = StateOf(context);
  if (!state || !bytes || (!buffer && *bytes != 0)) return FALSE;
  if (state->out_status != APR_SUCCESS) return FALSE;
  // The bytes come back to the filter as raw data first, as on the
  // platform; its own writes pass through its closed chain.
  HTTP_FILTER_RAW_DATA raw;
  raw.pvInData = buffer;
  raw.cbInData = *bytes;
  raw.cbInBuffer = *bytes;
  raw.dwReserved = 0;
  Raise(state, SF_NOTIFY_SEND_RAW_DATA, &raw);
  if (raw.cbInData > 0) {
    if (!raw.pvInData) return FALSE;
    SendCopy(state, raw.pvInData, raw.cbInData);
  }
  return state->out_status == APR_SUCCESS ? TRUE : FALSE;
}

VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, DWORD size, DWORD) {
  ConnectionState* state = StateOf(context);
  if (!state || !state->response_pool) return nullptr;
  return apr_palloc(state->response_pool, size);
}

BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD) {
  host::platform::SetCallbackError(
      host::platform::CallbackError::kNotSupported);
  return FALSE;
}

BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, enum SF_REQ_TYPE,
                                  PVOID, ULONG_PTR, ULONG_PTR) {
  host::platform::SetCallbackError(
      host::platform::CallbackError::kNotSupported);
  return FALSE;
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
  HTTP_FILTER_CONTEXT& context = state->context;
  std::memset(&context, 0, sizeof context);
  context.cbSize = sizeof context;
  context.Revision = HTTP_FILTER_REVISION;
  context.ServerContext = state;
  context.fIsSecurePort = IsSecure(state) ? TRUE : FALSE;
  context.pFilterContext = nullptr;
  context.GetServerVariable = GetServerVariable;
  context.AddResponseHeaders = AddResponseHeaders;
  context.WriteClient = WriteClient;
  context.AllocMem = AllocMem;
  context.ServerSupportFunction = ServerSupportFunction;
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
      if (std::strcmp(ap_get_protocol(state->connection),
                      AP_PROTOCOL_HTTP1) != 0) {
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
