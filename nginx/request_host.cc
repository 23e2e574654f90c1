// The per-response host; see request_host.h. Every callback is called from
// inside the filter, so none lets an exception out.
#include "nginx/request_host.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "host/filter_context.h"
#include "host/filter_module.h"
#include "host/platform.h"
#include "host/server_variable.h"

namespace tagsmith::nginx_host {

namespace {

using tagsmith::host::platform::CallbackError;
using tagsmith::host::platform::SetCallbackError;

RequestHost* HostOf(HTTP_FILTER_CONTEXT* context) {
  return context ? static_cast<RequestHost*>(context->ServerContext) : nullptr;
}

void DestroyHost(void* data) {
  auto* host = static_cast<RequestHost*>(data);
  if (host->budget != nullptr && host->lent != 0)
    host->budget->Refund(host->lent);
  host->~RequestHost();
}

// Whether [bytes, bytes + length) lies inside one AllocMem block: memory of
// the request's pool, which lives as long as the request.
bool InBlocks(const RequestHost& host, const char* bytes, std::size_t length) {
  const auto from = reinterpret_cast<std::uintptr_t>(bytes);
  const auto* blocks = static_cast<const MemBlock*>(host.blocks.elts);
  // The latest blocks are the likeliest: search from the back.
  for (ngx_uint_t i = host.blocks.nelts; i-- > 0;) {
    const auto start = reinterpret_cast<std::uintptr_t>(blocks[i].start);
    if (from >= start && from - start <= blocks[i].size &&
        length <= blocks[i].size - (from - start))
      return true;
  }
  return false;
}

// The physical directory of the request's application: the configured one,
// or the root of the location that served it. A root without variables is
// the location's own string, whole since the configuration was read; one
// with variables is worked out for this request.
bool AppDir(RequestHost* host, const char** dir, std::size_t* length) {
  ngx_str_t path = host->app_dir;
  if (path.len == 0) {
    auto* core = static_cast<ngx_http_core_loc_conf_t*>(
        ngx_http_get_module_loc_conf(host->request, ngx_http_core_module));
    std::size_t root_length = core->root.len;
    if (core->root_lengths != nullptr &&
        ngx_http_map_uri_to_path(host->request, &path, &root_length, 0) ==
            nullptr)
      return false;
    if (core->root_lengths == nullptr) path.data = core->root.data;
    path.len = root_length;
    while (path.len > 1 && path.data[path.len - 1] == '/') --path.len;
    if (path.len == 0) return false;
  }
  *dir = reinterpret_cast<const char*>(path.data);
  *length = path.len;
  return true;
}

BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* context, LPSTR name,
                              LPVOID buffer, LPDWORD size) {
  try {
    RequestHost* host = HostOf(context);
    if (!host || !name || !size) return FALSE;
    if (std::strcmp(name, tagsmith::host::kAppPhysicalPath) != 0) {
      SetCallbackError(CallbackError::kUnknownVariable);
      return FALSE;
    }
    const char* dir = nullptr;
    std::size_t length = 0;
    if (!AppDir(host, &dir, &length)) {
      SetCallbackError(CallbackError::kNoData);
      return FALSE;
    }
    return tagsmith::host::AnswerServerVariable(dir, length, buffer, size);
  } catch (...) {
    SetCallbackError(CallbackError::kNoData);
    return FALSE;
  }
}

BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD) {
  SetCallbackError(CallbackError::kNotSupported);
  return FALSE;
}

BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* context, LPVOID buffer,
                        LPDWORD bytes, DWORD) {
  try {
    RequestHost* host = HostOf(context);
    if (!host || !bytes || (!buffer && *bytes != 0)) return FALSE;
    if (host->failed) return FALSE;
    const auto* data = static_cast<const char*>(buffer);
    const std::size_t length = *bytes;
    if (length == 0) return TRUE;
    // The filter's own chunks live in the pool already; what it wrote from
    // its call frame (the block it inserts) is copied once.
    if (InBlocks(*host, data, length)) {
      RaiseRawData(host, data, length, Source::kPoolBytes);
    } else {
      auto* copy = static_cast<char*>(ngx_pnalloc(host->request->pool, length));
      if (copy == nullptr) {
        host->failed = true;
        return FALSE;
      }
      std::memcpy(copy, data, length);
      RaiseRawData(host, copy, length, Source::kPoolBytes);
    }
    return host->failed ? FALSE : TRUE;
  } catch (...) {
    return FALSE;
  }
}

VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT* context, DWORD size, DWORD) {
  try {
    RequestHost* host = HostOf(context);
    if (!host) return nullptr;
    // The slot first: a block is never lent without its record.
    auto* slot = static_cast<MemBlock*>(ngx_array_push(&host->blocks));
    if (slot == nullptr) return nullptr;
    bool first_refusal = false;
    if (host->budget != nullptr &&
        !host->budget->Charge(size, &first_refusal)) {
      if (first_refusal)
        ngx_log_error(NGX_LOG_WARN, host->request->connection->log, 0,
                      "tagsmith: held memory at its limit of %uL bytes "
                      "(tagsmith_max_held); pages go out untagged until some "
                      "is freed",
                      host->budget->limit());
      --host->blocks.nelts;
      return nullptr;
    }
    void* block = ngx_palloc(host->request->pool, size);
    if (block == nullptr) {
      if (host->budget != nullptr) host->budget->Refund(size);
      --host->blocks.nelts;
      return nullptr;
    }
    host->lent += size;
    *slot = MemBlock{static_cast<const char*>(block), size};
    return block;
  } catch (...) {
    return nullptr;
  }
}

BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* context,
                                  enum SF_REQ_TYPE request, PVOID,
                                  ULONG_PTR value1, ULONG_PTR) {
  RequestHost* host = HostOf(context);
  if (host == nullptr || request != SF_REQ_DISABLE_NOTIFICATIONS) {
    SetCallbackError(CallbackError::kNotSupported);
    return FALSE;
  }
  // For the rest of this response: the next one gets a new host.
  host->disabled |= static_cast<DWORD>(value1);
  return TRUE;
}

}  // namespace

RequestHost* CreateRequestHost(ngx_http_request_t* r,
                               const tagsmith::host::FilterModule& filter,
                               tagsmith::host::HeldBudget* budget,
                               const ngx_str_t& app_dir) {
  ngx_pool_cleanup_t* cleanup = ngx_pool_cleanup_add(r->pool, 0);
  void* memory = ngx_palloc(r->pool, sizeof(RequestHost));
  if (cleanup == nullptr || memory == nullptr) return nullptr;
  auto* host = new (memory) RequestHost;
  if (ngx_array_init(&host->blocks, r->pool, 4, sizeof(MemBlock)) != NGX_OK) {
    host->~RequestHost();
    return nullptr;
  }
  cleanup->handler = DestroyHost;
  cleanup->data = host;
  host->request = r;
  host->filter = &filter;
  host->budget = budget;
#if (NGX_HTTP_SSL)
  host->secure = r->connection->ssl != nullptr;
#endif
  host->app_dir = app_dir;
  tagsmith::host::InitFilterContext(
      &host->context, host, host->secure,
      {GetServerVariable, AddResponseHeaders, WriteClient, AllocMem,
       ServerSupportFunction});
  return host;
}

bool RaisesRawData(const RequestHost& host) {
  return (host.disabled & SF_NOTIFY_SEND_RAW_DATA) == 0 &&
         host.filter->Wants(SF_NOTIFY_SEND_RAW_DATA, host.secure);
}

void Raise(RequestHost* host, DWORD notification, void* record) {
  if ((host->disabled & notification) != 0 ||
      !host->filter->Wants(notification, host->secure))
    return;
  host->filter->Notify(&host->context, notification, record);
}

void RaiseRawData(RequestHost* host, const char* bytes, std::size_t length,
                  Source source) {
  const bool in_place = source != Source::kBody;
  if (source != Source::kPoolBytes) host->body_given += length;
  while (length > 0 && !host->failed) {
    const std::size_t piece = std::min(length, kMaxRawPiece);
    if (!RaisesRawData(*host)) {
      // The filter stopped looking (perhaps in the piece before): the rest
      // passes untouched.
      LetOut(host, bytes, length, source == Source::kPoolBytes);
      return;
    }
    char* record = const_cast<char*>(bytes);
    if (!in_place) {
      if (host->scratch == nullptr) {
        host->scratch =
            static_cast<char*>(ngx_pnalloc(host->request->pool, kMaxRawPiece));
        if (host->scratch == nullptr) {
          host->failed = true;
          return;
        }
      }
      std::memcpy(host->scratch, bytes, piece);
      record = host->scratch;
    }
    HTTP_FILTER_RAW_DATA raw;
    raw.pvInData = record;
    raw.cbInData = static_cast<DWORD>(piece);
    raw.cbInBuffer = static_cast<DWORD>(in_place ? piece : kMaxRawPiece);
    raw.dwReserved = 0;
    host->filter->Notify(&host->context, SF_NOTIFY_SEND_RAW_DATA, &raw);
    if (raw.cbInData > 0 && raw.pvInData != nullptr) {
      const auto* left = static_cast<const char*>(raw.pvInData);
      // Bytes left in the record are copied unless they are the pool's: the
      // scratch piece takes the next one, the server reuses its buffer.
      const bool stable = (source == Source::kPoolBytes && left >= record &&
                           left + raw.cbInData <= record + piece) ||
                          InBlocks(*host, left, raw.cbInData);
      LetOut(host, left, raw.cbInData, stable);
    }
    bytes += piece;
    length -= piece;
  }
}

void LetOut(RequestHost* host, const char* bytes, std::size_t length,
            bool stable) {
  std::size_t head = 0;
  if (host->bridge) head = host->bridge->Take(std::string_view(bytes, length));
  bytes += head;
  length -= head;
  if (length == 0) return;
  ngx_pool_t* pool = host->request->pool;
  ngx_buf_t* buf = NewBuf(pool);
  u_char* data = reinterpret_cast<u_char*>(const_cast<char*>(bytes));
  if (buf != nullptr && !stable) {
    data = static_cast<u_char*>(ngx_pnalloc(pool, length));
    if (data != nullptr) std::memcpy(data, bytes, length);
  }
  if (buf == nullptr || data == nullptr) {
    host->failed = true;
    return;
  }
  buf->start = buf->pos = data;
  buf->end = buf->last = data + length;
  if (stable) {
    buf->memory = 1;
  } else {
    buf->temporary = 1;
  }
  host->body_written += length;
  AppendOut(host, buf);
}

void AppendOut(RequestHost* host, ngx_buf_t* buf) {
  ngx_chain_t* link = ngx_alloc_chain_link(host->request->pool);
  if (link == nullptr) {
    host->failed = true;
    return;
  }
  link->buf = buf;
  link->next = nullptr;
  *host->out_tail = link;
  host->out_tail = &link->next;
}

}  // namespace tagsmith::nginx_host
