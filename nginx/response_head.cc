// The header table and the filter's head; see response_head.h.
#include "nginx/response_head.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace tagsmith::nginx_host {

namespace {

std::string_view View(const ngx_str_t& text) {
  return std::string_view(reinterpret_cast<const char*>(text.data), text.len);
}

bool Writable(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) ==
         std::string_view::npos;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         ngx_strncasecmp(reinterpret_cast<u_char*>(const_cast<char*>(a.data())),
                         reinterpret_cast<u_char*>(const_cast<char*>(b.data())),
                         a.size()) == 0;
}

// The Content-Type nginx's header filter writes: the type, and the charset
// when one was set apart from a type that names none.
std::string ContentType(ngx_http_request_t* r) {
  const ngx_http_headers_out_t& out = r->headers_out;
  std::string value(View(out.content_type));
  if (out.content_type_len == out.content_type.len && out.charset.len != 0) {
    value.append("; charset=");
    value.append(View(out.charset));
  }
  return value;
}

bool CopyText(ngx_pool_t* pool, const std::string& text, ngx_str_t* out) {
  auto* data = static_cast<u_char*>(ngx_pnalloc(pool, text.size() + 1));
  if (data == nullptr) return false;
  std::memcpy(data, text.data(), text.size());
  data[text.size()] = '\0';
  out->data = data;
  out->len = text.size();
  return true;
}

// Forgets an entry of the table: nginx skips entries whose hash is 0, and
// no pointer of headers_out may keep naming it.
void Remove(ngx_http_request_t* r, ngx_table_elt_t* entry) {
  entry->hash = 0;
  ngx_http_headers_out_t& out = r->headers_out;
  for (ngx_table_elt_t** named :
       {&out.server, &out.date, &out.content_length, &out.content_encoding,
        &out.location, &out.refresh, &out.last_modified, &out.content_range,
        &out.accept_ranges, &out.www_authenticate, &out.expires, &out.etag}) {
    if (*named == entry) *named = nullptr;
  }
}

// Calls `visit` with each entry of the table nginx writes (hash not 0).
template <typename Visit>
void ForEachEntry(ngx_http_request_t* r, Visit visit) {
  for (ngx_list_part_t* part = &r->headers_out.headers.part; part != nullptr;
       part = part->next) {
    auto* elts = static_cast<ngx_table_elt_t*>(part->elts);
    for (ngx_uint_t i = 0; i < part->nelts; ++i)
      if (elts[i].hash != 0) visit(&elts[i]);
  }
}

std::vector<ngx_table_elt_t*> Entries(ngx_http_request_t* r) {
  std::vector<ngx_table_elt_t*> entries;
  ForEachEntry(
      r, [&entries](ngx_table_elt_t* entry) { entries.push_back(entry); });
  return entries;
}

}  // namespace

bool BuildHead(ngx_http_request_t* r, std::string* head) {
  const ngx_http_headers_out_t& out = r->headers_out;
  // Room for the whole head at once: the status line and the fields made
  // here are short, every entry takes its name, value and four bytes.
  std::size_t room = 256 + out.content_type.len + out.charset.len;
  ForEachEntry(r, [&room](ngx_table_elt_t* entry) {
    room += entry->key.len + entry->value.len + 4;
  });
  head->reserve(room);
  std::string_view reason;
  if (out.status_line.len > 4) reason = View(out.status_line).substr(4);
  if (!Writable(reason)) return false;
  tagsmith::host::AppendStatusLine(head, static_cast<unsigned>(out.status),
                                   reason);
  if (out.content_type.len != 0) {
    const std::string type = ContentType(r);
    if (!Writable(type)) return false;
    tagsmith::host::AppendField(head, "Content-Type", type);
  }
  if (out.content_length == nullptr && out.content_length_n >= 0)
    tagsmith::host::AppendField(head, "Content-Length",
                                std::to_string(out.content_length_n));
  if (out.last_modified == nullptr && out.last_modified_time != -1) {
    u_char date[sizeof("Mon, 28 Sep 1970 06:00:00 GMT")];
    u_char* end = ngx_http_time(date, out.last_modified_time);
    tagsmith::host::AppendField(
        head, "Last-Modified",
        std::string_view(reinterpret_cast<char*>(date), end - date));
  }
  bool writable = true;
  ForEachEntry(r, [head, &writable](ngx_table_elt_t* entry) {
    const std::string_view name = View(entry->key);
    const std::string_view value = View(entry->value);
    if (name.empty() || !Writable(name) || !Writable(value)) writable = false;
    if (writable) tagsmith::host::AppendField(head, name, value);
  });
  if (!writable) return false;
  tagsmith::host::EndHead(head);
  return true;
}

bool ApplyHead(ngx_http_request_t* r, const tagsmith::host::ParsedHead& head) {
  ngx_http_headers_out_t& out = r->headers_out;
  if (head.status != out.status) {
    out.status = head.status;
    out.status_line.len = 0;
  }
  const std::vector<ngx_table_elt_t*> entries = Entries(r);
  std::vector<bool> kept(entries.size(), false);
  bool has_length = false;
  for (const auto& [name, value] : head.fields) {
    if (SameName(name, "Content-Length")) {
      std::uint64_t length = 0;
      if (!tagsmith::host::ParseContentLength(value, &length)) return false;
      has_length = true;
      out.content_length_n = static_cast<off_t>(length);
      if (out.content_length != nullptr) Remove(r, out.content_length);
      continue;
    }
    if (SameName(name, "Content-Type") && out.content_type.len != 0) {
      if (value != ContentType(r)) {
        if (!CopyText(r->pool, value, &out.content_type)) return false;
        const std::size_t semicolon = value.find(';');
        out.content_type_len =
            semicolon == std::string::npos ? value.size() : semicolon;
        out.content_type_lowcase = nullptr;
        out.charset.len = 0;
      }
      continue;
    }
    if (SameName(name, "Last-Modified") && out.last_modified == nullptr &&
        out.last_modified_time != -1)
      continue;
    // One of the table's entries, kept as it is, or one the filter added.
    bool found = false;
    for (std::size_t i = 0; i < entries.size() && !found; ++i) {
      if (kept[i] || !SameName(View(entries[i]->key), name) ||
          View(entries[i]->value) != value)
        continue;
      kept[i] = found = true;
    }
    if (!found && PushHeader(r, name, value) == nullptr) return false;
  }
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (!kept[i]) Remove(r, entries[i]);
  if (!has_length) out.content_length_n = -1;
  return true;
}

ngx_table_elt_t* PushHeader(ngx_http_request_t* r, const std::string& name,
                            const std::string& value) {
  auto* entry =
      static_cast<ngx_table_elt_t*>(ngx_list_push(&r->headers_out.headers));
  if (entry == nullptr) return nullptr;
  // Counted only once it is whole.
  entry->hash = 0;
  if (!CopyText(r->pool, name, &entry->key) ||
      !CopyText(r->pool, value, &entry->value))
    return nullptr;
  entry->lowcase_key = static_cast<u_char*>(ngx_pnalloc(r->pool, name.size()));
  if (entry->lowcase_key == nullptr) return nullptr;
  ngx_strlow(entry->lowcase_key, entry->key.data, name.size());
  entry->hash = 1;
  return entry;
}

}  // namespace tagsmith::nginx_host
