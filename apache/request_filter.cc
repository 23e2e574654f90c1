// The request filter: the notifications of one response; see
// request_filter.h (the host services are in host_services.cc).
//
// A response's life: its first brigade starts it (send-response, then its
// head as raw data), each data bucket is read and raised as raw data, and
// its end-of-stream ends it (end-of-request), when what the filter wrote
// goes on down the chain. Once the filter has let the response go and asked
// for no more raw data, every later bucket passes as it came, unread, with
// its flushes in place. Nothing here throws.
#include "apache/request_filter.h"

#include <cstring>
#include <new>

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "apr_buckets.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "http_ssl.h"
#include "util_filter.h"
// clang-format on

#include "apache/module_config.h"
#include "apache/response_head.h"
#include "apache/response_state.h"
#include "host/filter_module.h"

APLOG_USE_MODULE(tagsmith);

namespace tagsmith::apache {

namespace {

constexpr char kFilterName[] = "TAGSMITH";

// The filter's context in the request's filter chain.
struct FilterConfig {
  const host::FilterModule* filter;
  host::HeldBudget* budget;
  const char* app_dir;
  ResponseState* state;  // once the response has started
};

apr_status_t DeleteState(void* state) {
  delete static_cast<ResponseState*>(state);
  return APR_SUCCESS;
}

void MoveOut(ResponseState* state, apr_bucket* bucket) {
  APR_BUCKET_REMOVE(bucket);
  APR_BRIGADE_INSERT_TAIL(state->out, bucket);
}

bool IsSecure(request_rec* r) {
  conn_rec* c = r->connection;
  while (c->master) c = c->master;  // an HTTP/2 stream: its connection
  return ap_ssl_conn_is_ssl(c) != 0;
}

// The response's first brigade: its state, send-response and its head.
// Null when the state cannot be had (the response then passes untouched).
ResponseState* StartResponse(ap_filter_t* f) {
  request_rec* r = f->r;
  auto* config = static_cast<FilterConfig*>(f->ctx);
  // A 304 stands for the page the filter would have tagged: it carries the
  // validator that page carries.
  if (r->status == HTTP_NOT_MODIFIED && r->content_type &&
      std::strncmp(r->content_type, "text/html", 9) == 0)
    WeakenEtag(r);
  ResponseState* state = nullptr;
  try {
    state =
        new ResponseState(r, f, *config->filter, config->budget, BuildHead(r));
  } catch (const std::exception&) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                  "Tagsmith: no memory to host the response; it goes out "
                  "unfiltered");
    return nullptr;
  }
  apr_pool_cleanup_register(r->pool, state, DeleteState, apr_pool_cleanup_null);
  apr_bucket_alloc_t* alloc = r->connection->bucket_alloc;
  state->out = apr_brigade_create(r->pool, alloc);
  state->held = apr_brigade_create(r->pool, alloc);
  state->secure = IsSecure(r);
  state->app_dir = config->app_dir;
  state->app_dir_length = state->app_dir ? std::strlen(state->app_dir) : 0;
  InitContext(state);
  config->state = state;
  Raise(state, SF_NOTIFY_SEND_RESPONSE, nullptr);
  const std::string& head = state->bridge.head();
  RaiseRawData(state, head.data(), head.size());
  return state;
}

// The end of the response: end-of-request, in which the filter writes what
// it held; then a head never written is the server's own, and the
// metadata held follows the bytes.
void EndResponse(ResponseState* state) {
  if (state->ended) return;
  state->ended = true;
  state->ending = true;
  Raise(state, SF_NOTIFY_END_OF_REQUEST, nullptr);
  state->ending = false;
  FinishHead(state);
  APR_BRIGADE_CONCAT(state->out, state->held);
}

// Metadata: end-of-stream ends the response; a flush goes on in place once
// the head has (before, it would send the head the filter may yet change,
// and nothing of the body); anything else waits while the response is held.
void OnMetadata(ResponseState* state, apr_bucket* bucket) {
  if (APR_BUCKET_IS_EOS(bucket)) {
    EndResponse(state);
    MoveOut(state, bucket);
  } else if (state->head_out) {
    MoveOut(state, bucket);
    if (APR_BUCKET_IS_FLUSH(bucket)) PassOn(state);
  } else if (APR_BUCKET_IS_FLUSH(bucket)) {
    apr_bucket_delete(bucket);
  } else {
    APR_BUCKET_REMOVE(bucket);
    APR_BRIGADE_INSERT_TAIL(state->held, bucket);
  }
}

// Reads a data bucket without blocking first; when that would block, what
// has gathered goes on with a flush before the blocking read, so that a
// slow source never holds back bytes already let out.
apr_status_t ReadBucket(ResponseState* state, apr_bucket* bucket,
                        const char** bytes, apr_size_t* length) {
  apr_status_t status =
      apr_bucket_read(bucket, bytes, length, APR_NONBLOCK_READ);
  if (status != APR_EAGAIN) return status;
  if (state->head_out && !APR_BRIGADE_EMPTY(state->out)) {
    APR_BRIGADE_INSERT_TAIL(state->out, apr_bucket_flush_create(bucket->list));
    PassOn(state);
  }
  return apr_bucket_read(bucket, bytes, length, APR_BLOCK_READ);
}

apr_status_t TagsmithRequestFilter(ap_filter_t* f, apr_bucket_brigade* bb) {
  ResponseState* state = static_cast<FilterConfig*>(f->ctx)->state;
  if (state == nullptr) {
    state = StartResponse(f);
    if (state == nullptr) {
      ap_remove_output_filter(f);
      return ap_pass_brigade(f->next, bb);
    }
  }
  while (!APR_BRIGADE_EMPTY(bb)) {
    apr_bucket* bucket = APR_BRIGADE_FIRST(bb);
    if (APR_BUCKET_IS_METADATA(bucket)) {
      OnMetadata(state, bucket);
      continue;
    }
    // Let go, or ended: the bucket passes as it is (a file stays a file).
    if (state->ended || !Wants(state, SF_NOTIFY_SEND_RAW_DATA)) {
      if (state->head_out) {
        MoveOut(state, bucket);
        continue;
      }
    }
    const char* bytes = nullptr;
    apr_size_t length = 0;
    const apr_status_t status = ReadBucket(state, bucket, &bytes, &length);
    if (status != APR_SUCCESS) {
      // The response's source failed: what is held goes out, and the
      // failure goes up as it came.
      ap_log_rerror(APLOG_MARK, APLOG_ERR, status, f->r,
                    "Tagsmith: reading the response failed; sending what "
                    "was held");
      EndResponse(state);
      PassOn(state);
      return status;
    }
    RaiseRawData(state, bytes, length);
    apr_bucket_delete(bucket);
  }
  PassOn(state);
  return state->out_status;
}

}  // namespace

void RegisterRequestFilter() {
  ap_register_output_filter(kFilterName, TagsmithRequestFilter, nullptr,
                            AP_FTYPE_CONTENT_SET);
}

void AddRequestFilter(request_rec* r, const host::FilterModule& filter,
                      host::HeldBudget* budget) {
  if (r->main) return;  // a subrequest's output is its parent's
  const auto* dir = static_cast<const DirConfig*>(
      ap_get_module_config(r->per_dir_config, &tagsmith_module));
  if (dir->enabled != 1) return;
  auto* config =
      static_cast<FilterConfig*>(apr_palloc(r->pool, sizeof(FilterConfig)));
  config->filter = &filter;
  config->budget = budget;
  config->app_dir = dir->app_dir ? dir->app_dir : ap_context_document_root(r);
  config->state = nullptr;
  ap_add_output_filter(kFilterName, config, r, r->connection);
}

}  // namespace tagsmith::apache
