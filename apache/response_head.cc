// A request's head for the filter and back; see response_head.h.
#include "apache/response_head.h"

#include <cstring>

// Apache's headers need httpd.h first.
// clang-format off
#include "httpd.h"
#include "apr_strings.h"
#include "apr_tables.h"
#include "http_protocol.h"
// clang-format on

#include "host/http_response.h"
#include "host/response_bridge.h"

namespace tagsmith::apache {

namespace {

bool FitsOnALine(const char* text) {
  return std::strpbrk(text, "\r\n") == nullptr;
}

// The fields of one table, in order; the content type and coding are left
// to the request's own fields when it has them, as Apache's header filter
// does.
struct FieldSink {
  std::string* head;
  request_rec* request;
};

int AppendTableField(void* sink, const char* name, const char* value) {
  auto* fields = static_cast<FieldSink*>(sink);
  request_rec* r = fields->request;
  if ((r->content_type && host::EqualNoCase(name, "Content-Type")) ||
      (r->content_encoding && host::EqualNoCase(name, "Content-Encoding")))
    return 1;
  if (FitsOnALine(name) && FitsOnALine(value))
    host::AppendField(fields->head, name, value);
  return 1;
}

// "200 OK" from the request's own status line or Apache's table.
const char* ReasonOf(request_rec* r) {
  const char* line =
      r->status_line ? r->status_line : ap_get_status_line(r->status);
  const char* space = line ? std::strchr(line, ' ') : nullptr;
  return space ? space + 1 : "";
}

}  // namespace

std::string BuildHead(request_rec* r) {
  std::string head;
  host::AppendStatusLine(&head, static_cast<unsigned>(r->status), ReasonOf(r));
  if (r->content_type) {
    const char* type = ap_make_content_type(r, r->content_type);
    if (type && FitsOnALine(type))
      host::AppendField(&head, "Content-Type", type);
  }
  if (r->content_encoding && FitsOnALine(r->content_encoding))
    host::AppendField(&head, "Content-Encoding", r->content_encoding);
  FieldSink sink{&head, r};
  apr_table_do(AppendTableField, &sink, r->headers_out, nullptr);
  apr_table_do(AppendTableField, &sink, r->err_headers_out, nullptr);
  host::EndHead(&head);
  return head;
}

bool ApplyHead(request_rec* r, const host::ParsedHead& head) {
  std::uint64_t length = 0;
  bool has_length = false;
  for (const auto& [name, value] : head.fields) {
    if (!host::EqualNoCase(name, "Content-Length")) continue;
    if (!host::ParseContentLength(value, &length)) return false;
    has_length = true;
  }
  if (static_cast<unsigned>(r->status) != head.status) {
    r->status = static_cast<int>(head.status);
    r->status_line = nullptr;
  }
  apr_table_clear(r->headers_out);
  apr_table_clear(r->err_headers_out);
  r->content_encoding = nullptr;
  for (const auto& [name, value] : head.fields) {
    const char* text = apr_pstrmemdup(r->pool, value.data(), value.size());
    if (host::EqualNoCase(name, "Content-Type")) {
      ap_set_content_type(r, text);
    } else if (host::EqualNoCase(name, "Content-Encoding")) {
      r->content_encoding = text;
    } else if (!host::EqualNoCase(name, "Content-Length")) {
      apr_table_addn(r->headers_out,
                     apr_pstrmemdup(r->pool, name.data(), name.size()), text);
    }
  }
  if (has_length) ap_set_content_length(r, static_cast<apr_off_t>(length));
  WeakenEtag(r);
  return true;
}

void WeakenEtag(request_rec* r) {
  const char* etag = apr_table_get(r->headers_out, "ETag");
  if (etag && etag[0] == '"')
    apr_table_setn(r->headers_out, "ETag",
                   apr_pstrcat(r->pool, "W/", etag, nullptr));
}

}  // namespace tagsmith::apache
