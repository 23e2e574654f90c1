// The hosted response's buffers; see held_body.h.
#include "nginx/held_body.h"

#include <string>
#include <string_view>

#include "nginx/held_range.h"
#include "nginx/response_head.h"

namespace tagsmith::nginx_host {

namespace {

std::string_view View(const ngx_str_t& text) {
  return std::string_view(reinterpret_cast<const char*>(text.data), text.len);
}

// Reads a file buffer's bytes piece by piece and raises them.
bool RaiseFile(RequestHost* host, ngx_buf_t* buf) {
  ngx_pool_t* pool = host->request->pool;
  if (host->file_piece == nullptr) {
    host->file_piece = static_cast<u_char*>(ngx_pnalloc(pool, kMaxRawPiece));
    if (host->file_piece == nullptr) return false;
  }
  while (buf->file_pos < buf->file_last) {
    const off_t left = buf->file_last - buf->file_pos;
    const std::size_t want = left < static_cast<off_t>(kMaxRawPiece)
                                 ? static_cast<std::size_t>(left)
                                 : kMaxRawPiece;
    const ssize_t got =
        ngx_read_file(buf->file, host->file_piece, want, buf->file_pos);
    if (got <= 0) return false;
    // The piece is the host's own, read again for the next part.
    RaiseRawData(host, reinterpret_cast<const char*>(host->file_piece),
                 static_cast<std::size_t>(got), Source::kWritableBody);
    buf->file_pos += got;
    if (host->failed) return false;
  }
  return true;
}

// Keeps bytes first..last (counted over the whole of `out`) and drops the
// rest. The buffers are the pool's, in memory.
void Cut(RequestHost* host, const ByteSpan& span) {
  std::uint64_t offset = 0;
  ngx_chain_t** tail = &host->out;
  for (ngx_chain_t* link = host->out; link != nullptr; link = link->next) {
    ngx_buf_t* buf = link->buf;
    const auto size = static_cast<std::uint64_t>(buf->last - buf->pos);
    const std::uint64_t start = offset;
    offset += size;
    if (size == 0 || offset <= span.first || start > span.last) continue;
    if (span.first > start) buf->pos += span.first - start;
    if (span.last + 1 < offset) buf->last -= offset - (span.last + 1);
    *tail = link;
    tail = &link->next;
  }
  *tail = nullptr;
  host->out_tail = tail;
}

}  // namespace

void MarkSent(ngx_buf_t* buf) {
  if (ngx_buf_in_memory(buf)) buf->pos = buf->last;
  if (buf->in_file) buf->file_pos = buf->file_last;
}

bool RaiseBuffer(RequestHost* host, ngx_buf_t* buf) {
  if (ngx_buf_in_memory(buf)) {
    // nginx lets the filters change a temporary buffer's bytes: it is
    // raised where it lies.
    if (buf->last > buf->pos)
      RaiseRawData(host, reinterpret_cast<const char*>(buf->pos),
                   static_cast<std::size_t>(buf->last - buf->pos),
                   buf->temporary ? Source::kWritableBody : Source::kBody);
    MarkSent(buf);
  } else if (buf->in_file && !RaiseFile(host, buf)) {
    ngx_log_error(NGX_LOG_ERR, host->request->connection->log, ngx_errno,
                  "tagsmith: reading \"%V\" failed", &buf->file->name);
    return false;
  }
  // A response let go passes its flushes; a held one has nothing to flush.
  if (buf->flush && host->head_sent) {
    ngx_buf_t* flush = NewBuf(host->request->pool);
    if (flush == nullptr) return false;
    flush->flush = 1;
    AppendOut(host, flush);
  }
  return !host->failed;
}

bool OfferRanges(RequestHost* host) {
  ngx_http_request_t* r = host->request;
  ngx_http_headers_out_t& out = r->headers_out;
  if (!host->ranges_allowed || out.status != NGX_HTTP_OK ||
      r->http_version < NGX_HTTP_VERSION_10 || out.content_length_n < 0 ||
      static_cast<std::uint64_t>(out.content_length_n) != host->body_written)
    return true;
  out.accept_ranges = PushHeader(r, "Accept-Ranges", "bytes");
  if (out.accept_ranges == nullptr) return false;
  if (r->headers_in.range == nullptr) return true;
  const std::string_view if_range =
      r->headers_in.if_range ? View(r->headers_in.if_range->value) : "";
  const std::string_view etag = out.etag ? View(out.etag->value) : "";
  const auto length = static_cast<std::uint64_t>(out.content_length_n);
  ByteSpan span;
  if (!ChooseRange(View(r->headers_in.range->value), if_range, etag, length,
                   &span))
    return true;
  Cut(host, span);
  out.status = NGX_HTTP_PARTIAL_CONTENT;
  out.status_line.len = 0;
  out.content_length_n = static_cast<off_t>(span.last - span.first + 1);
  out.content_range =
      PushHeader(r, "Content-Range",
                 "bytes " + std::to_string(span.first) + "-" +
                     std::to_string(span.last) + "/" + std::to_string(length));
  return out.content_range != nullptr;
}

bool EndOut(RequestHost* host) {
  for (ngx_chain_t* link = host->out; link != nullptr; link = link->next)
    link->buf->last_buf = link->buf->last_in_chain = 0;
  ngx_buf_t* last = nullptr;
  if (host->out != nullptr) {
    ngx_chain_t* link = host->out;
    while (link->next != nullptr) link = link->next;
    last = link->buf;
  }
  if (last == nullptr) {
    last = NewBuf(host->request->pool);
    if (last == nullptr) return false;
    AppendOut(host, last);
    if (host->failed) return false;
  }
  last->last_buf = 1;
  last->last_in_chain = 1;
  return true;
}

ngx_int_t PassOut(RequestHost* host, ngx_http_output_body_filter_pt next) {
  // Even with nothing new: a call without buffers is how nginx has the
  // filters after this one send what they still hold.
  ngx_chain_t* out = host->out;
  host->out = nullptr;
  host->out_tail = &host->out;
  const ngx_int_t rc = next(host->request, out);
  // The filters after this one keep links of their own: these go back to
  // the pool for the next buffers.
  while (out != nullptr) {
    ngx_chain_t* next_link = out->next;
    ngx_free_chain(host->request->pool, out);
    out = next_link;
  }
  return rc;
}

}  // namespace tagsmith::nginx_host
