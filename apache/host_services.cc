// The host services the filter calls back, and the way what it lets out
// goes on: through the bridge, head first, then body buckets. See
// response_state.h. Nothing here throws.
#include <algorithm>
#include <cstring>
#include <exception>

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "apr_strings.h"
#include "http_log.h"
// clang-format on

#include "apache/module_config.h"
#include "apache/response_head.h"
#include "apache/response_state.h"
#include "host/filter_context.h"
#include "host/filter_module.h"
#include "host/platform.h"
#include "host/server_variable.h"

APLOG_USE_MODULE(tagsmith);

namespace tagsmith::apache {

namespace {

ResponseState* StateOf(HTTP_FILTER_CONTEXT* context) {
  return context ? static_cast<ResponseState*>(context->ServerContext)
                 : nullptr;
}

// The filter's head cannot be taken: the server's own head goes out with
// the filter's body, which may be of another length than it said.
void KeepServersHead(ResponseState* state, const char* why) {
  if (!state->head_error_logged)
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, state->request,
                  "Tagsmith: %s; the response goes out with the server's "
                  "own head",
                  why);
  state->head_error_logged = true;
  apr_table_unset(state->request->headers_out, "Content-Length");
}

// Once the bridge has the whole head, it is taken into the request before
// any body byte goes on.
void TakeHead(ResponseState* state) {
  switch (state->bridge.state()) {
    case host::ResponseBridge::Head::kPending:
      return;
    case host::ResponseBridge::Head::kUnchanged:
      break;
    case host::ResponseBridge::Head::kChanged:
      if (!ApplyHead(state->request, state->bridge.changed()))
        KeepServersHead(state,
                        "the filter wrote a Content-Length that is "
                        "not a number");
      break;
    case host::ResponseBridge::Head::kBroken:
      KeepServersHead(state,
                      "the filter wrote a response head that does "
                      "not parse");
      break;
  }
  state->head_out = true;
}

// Bytes the filter let out, in order. `piece`, when not null, is the
// writable piece the bytes were raised in (from the bucket allocator):
// this takes it, and sends it on as it is when the bytes are all of it.
void LetOut(ResponseState* state, const char* bytes, apr_size_t length,
            char* piece) {
  apr_bucket_alloc_t* alloc = state->request->connection->bucket_alloc;
  apr_size_t head = 0;
  if (!state->head_out) {
    try {
      head = state->bridge.Take(std::string_view(bytes, length));
      TakeHead(state);
    } catch (const std::exception&) {
      KeepServersHead(state, "no memory for the filter's response head");
      state->head_out = true;
      head = length;
    }
  }
  bytes += head;
  length -= head;
  apr_bucket* bucket = nullptr;
  if (length == 0) {
    // nothing goes on
  } else if (piece != nullptr && bytes == piece) {
    bucket = apr_bucket_heap_create(piece, length, apr_bucket_free, alloc);
    piece = nullptr;
  } else if (state->memory.Holds(bytes, length)) {
    // The filter's own blocks last as long as the request's pool; a pool
    // bucket copies them should the pool go first.
    bucket = apr_bucket_pool_create(bytes, length, state->request->pool, alloc);
  } else {
    bucket = apr_bucket_heap_create(bytes, length, nullptr, alloc);
  }
  if (piece != nullptr) apr_bucket_free(piece);
  if (bucket == nullptr) return;
  APR_BRIGADE_INSERT_TAIL(state->out, bucket);
  state->out_bytes += static_cast<apr_off_t>(length);
  if (state->out_bytes >= kPassOnBytes && !state->ending) PassOn(state);
}

BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, LPSTR name,
                              LPVOID buffer, LPDWORD size) {
  ResponseState* state = StateOf(context);
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
  ResponseState* state = StateOf(context);
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
    LetOut(state, static_cast<const char*>(raw.pvInData), raw.cbInData,
           nullptr);
  }
  return state->out_status == APR_SUCCESS ? TRUE : FALSE;
}

VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, DWORD size, DWORD) {
  ResponseState* state = StateOf(context);
  if (!state) return nullptr;
  void* block = state->memory.Allocate(size);
  // The first refusal of an episode of the child's budget is logged.
  if (!block && !state->refusal_logged &&
      state->memory.began_refusal_episode()) {
    state->refusal_logged = true;
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, state->request,
                  "Tagsmith: held memory at TagsmithMaxHeld's limit; pages "
                  "go out untagged until some is freed");
  }
  return block;
}

BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD) {
  host::platform::SetCallbackError(
      host::platform::CallbackError::kNotSupported);
  return FALSE;
}

BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* context,
                                  enum SF_REQ_TYPE request, PVOID,
                                  ULONG_PTR value1, ULONG_PTR) {
  ResponseState* state = StateOf(context);
  if (!state || request != SF_REQ_DISABLE_NOTIFICATIONS) {
    host::platform::SetCallbackError(
        host::platform::CallbackError::kNotSupported);
    return FALSE;
  }
  state->disabled |= static_cast<DWORD>(value1);
  return TRUE;
}

}  // namespace

bool Wants(const ResponseState* state, DWORD notification) {
  return (state->disabled & notification) == 0 &&
         state->filter->Wants(notification, state->secure);
}

void Raise(ResponseState* state, DWORD notification, void* record) {
  if (Wants(state, notification))
    state->filter->Notify(&state->context, notification, record);
}

void FinishHead(ResponseState* state) {
  if (state->head_out) return;
  state->bridge.Finish();
  TakeHead(state);
}

void PassOn(ResponseState* state) {
  if (APR_BRIGADE_EMPTY(state->out)) return;
  const apr_status_t status = ap_pass_brigade(state->self->next, state->out);
  apr_brigade_cleanup(state->out);
  state->out_bytes = 0;
  if (status != APR_SUCCESS && state->out_status == APR_SUCCESS)
    state->out_status = status;
}

// Each piece is a writable copy, as the platform's own send buffer is; a
// piece the filter leaves whole goes on as the bucket it already is.
void RaiseRawData(ResponseState* state, const char* bytes, apr_size_t length) {
  apr_bucket_alloc_t* alloc = state->request->connection->bucket_alloc;
  while (length > 0) {
    const apr_size_t size = std::min(length, kMaxRawChunk);
    if (!Wants(state, SF_NOTIFY_SEND_RAW_DATA)) {
      LetOut(state, bytes, size, nullptr);
    } else {
      auto* piece = static_cast<char*>(apr_bucket_alloc(size, alloc));
      std::memcpy(piece, bytes, size);
      HTTP_FILTER_RAW_DATA raw;
      raw.pvInData = piece;
      raw.cbInData = static_cast<DWORD>(size);
      raw.cbInBuffer = static_cast<DWORD>(size);
      raw.dwReserved = 0;
      state->filter->Notify(&state->context, SF_NOTIFY_SEND_RAW_DATA, &raw);
      if (raw.cbInData > 0 && raw.pvInData)
        LetOut(state, static_cast<const char*>(raw.pvInData), raw.cbInData,
               piece);
      else
        apr_bucket_free(piece);
    }
    bytes += size;
    length -= size;
  }
}

void InitContext(ResponseState* state) {
  host::InitFilterContext(&state->context, state, state->secure,
                          {GetServerVariable, AddResponseHeaders, WriteClient,
                           AllocMem, ServerSupportFunction});
}

}  // namespace tagsmith::apache
