// The host services the filter calls back, and the raising of raw data;
// see connection_state.h. Nothing here throws.
#include <algorithm>
#include <cstring>

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "apr_strings.h"
#include "http_ssl.h"
// clang-format on

#include "apache/connection_state.h"
#include "host/filter_module.h"
#include "host/platform.h"
#include "host/server_variable.h"

namespace tagsmith::apache {

namespace {

ConnectionState* StateOf(HTTP_FILTER_CONTEXT* context) {
  return context ? static_cast<ConnectionState*>(context->ServerContext)
                 : nullptr;
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

BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, enum SF_REQ_TYPE, PVOID,
                                  ULONG_PTR, ULONG_PTR) {
  host::platform::SetCallbackError(
      host::platform::CallbackError::kNotSupported);
  return FALSE;
}

}  // namespace

bool IsSecure(ConnectionState* state) {
  if (state->secure < 0)
    state->secure = ap_ssl_conn_is_ssl(state->connection) ? 1 : 0;
  return state->secure == 1;
}

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

void ResetContext(ConnectionState* state) {
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
}

}  // namespace tagsmith::apache
