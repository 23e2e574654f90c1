// The header and body filters; see response_filters.h. A response is given
// to the filter as its HTTP/1.1 head and then its body. One the filter lets
// go on its headers goes on at once, and its later buffers pass as they
// came (file buffers, flushes and all) once the filter stops looking; a
// candidate is held to its last buffer, then its head goes to the next
// header filter and what the filter wrote to the next body filter. Nothing
// here lets an exception out.
#include "nginx/response_filters.h"

#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "host/filter_module.h"
#include "nginx/held_body.h"
#include "nginx/module_config.h"
#include "nginx/request_host.h"
#include "nginx/response_head.h"

namespace tagsmith::nginx_host {

namespace {

using tagsmith::host::ResponseBridge;

ngx_http_output_header_filter_pt next_header_filter;
ngx_http_output_body_filter_pt next_body_filter;

RequestHost* HostOf(ngx_http_request_t* r) {
  return static_cast<RequestHost*>(
      ngx_http_get_module_ctx(r, ngx_http_tagsmith_module));
}

// Gives nginx the head the filter let out, and calls the next header
// filter.
ngx_int_t SendHead(RequestHost* host) {
  ngx_http_request_t* r = host->request;
  ResponseBridge& bridge = *host->bridge;
  bridge.Finish();
  switch (bridge.state()) {
    case ResponseBridge::Head::kChanged:
      if (!ApplyHead(r, bridge.changed())) return NGX_ERROR;
      break;
    case ResponseBridge::Head::kBroken:
      ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                    "tagsmith: the filter wrote a head that does not parse; "
                    "the server's head goes on");
      // Its length need not be that of the bytes that follow: the body is
      // framed by what is sent instead.
      ngx_http_clear_content_length(r);
      break;
    default:
      break;
  }
  // A page the filter changed is another representation: a client must not
  // take it for the server's (nor join its bytes to the server's).
  if (bridge.state() == ResponseBridge::Head::kChanged ||
      host->body_written != host->body_given)
    ngx_http_weak_etag(r);
  if (host->held_whole && !OfferRanges(host)) return NGX_ERROR;
  host->head_sent = true;
  const ngx_int_t rc = next_header_filter(r);
  // nginx knows a HEAD's head is all once its last header filter ran.
  if (r->header_only) host->discard = true;
  return rc;
}

// A 304 carries the validator the client holds: one that was sent the page
// tagged holds the weak form of the server's ETag, and is given it again.
void KeepWeakEtagOfNotModified(ngx_http_request_t* r) {
  const ngx_http_headers_out_t& out = r->headers_out;
  if (out.status != NGX_HTTP_NOT_MODIFIED || out.etag == nullptr ||
      r->headers_in.if_none_match == nullptr)
    return;
  const std::string_view etag(
      reinterpret_cast<const char*>(out.etag->value.data), out.etag->value.len);
  const std::string_view held(
      reinterpret_cast<const char*>(r->headers_in.if_none_match->value.data),
      r->headers_in.if_none_match->value.len);
  if (etag.substr(0, 2) != "W/" &&
      held.find("W/" + std::string(etag)) != std::string_view::npos)
    ngx_http_weak_etag(r);
}

ngx_int_t StartResponse(ngx_http_request_t* r,
                        const tagsmith::host::FilterModule& filter,
                        tagsmith::host::HeldBudget* budget,
                        const ngx_str_t& app_dir) {
  KeepWeakEtagOfNotModified(r);
  std::string head;
  if (!BuildHead(r, &head)) return next_header_filter(r);
  RequestHost* host = CreateRequestHost(r, filter, budget, app_dir);
  // The filter is given the head in the pool, where what it leaves of it
  // lives as long as the request; the bridge keeps the text to compare.
  auto* raised = static_cast<char*>(ngx_pnalloc(r->pool, head.size()));
  if (host == nullptr || raised == nullptr) return NGX_ERROR;
  std::memcpy(raised, head.data(), head.size());
  const std::size_t head_size = head.size();
  host->bridge.emplace(std::move(head));
  host->ranges_allowed = r->allow_ranges;
  ngx_http_set_ctx(r, host, ngx_http_tagsmith_module);
  Raise(host, SF_NOTIFY_SEND_RESPONSE, nullptr);
  RaiseRawData(host, raised, head_size, Source::kPoolBytes);
  if (host->failed) return NGX_ERROR;
  if (host->bridge->state() != ResponseBridge::Head::kPending ||
      !RaisesRawData(*host))
    return SendHead(host);
  // A candidate: its body comes to this filter in memory, and nginx's own
  // range filters step aside (a range is cut here, from the page sent).
  host->held_whole = true;
  // Subrequests (SSI includes) made from now on take the flag too.
  r->main_filter_need_in_memory = 1;
  r->filter_need_in_memory = 1;
  r->allow_ranges = 0;
  return NGX_OK;
}

ngx_int_t HeaderFilter(ngx_http_request_t* r) {
  if (r != r->main || HostOf(r) != nullptr || r->headers_out.status < 200)
    return next_header_filter(r);
  auto* loc = static_cast<LocConf*>(
      ngx_http_get_module_loc_conf(r, ngx_http_tagsmith_module));
  auto* main = static_cast<MainConf*>(
      ngx_http_get_module_main_conf(r, ngx_http_tagsmith_module));
  if (!loc->enable || main->filter == nullptr) return next_header_filter(r);
  try {
    return StartResponse(r, *main->filter, main->budget, loc->app_dir);
  } catch (const std::exception& error) {
    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                  "tagsmith: %s; the response goes on untouched", error.what());
  } catch (...) {
    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                  "tagsmith: the response goes on untouched");
  }
  RequestHost* host = HostOf(r);
  if (host != nullptr && host->head_sent) return NGX_ERROR;
  ngx_http_set_ctx(r, nullptr, ngx_http_tagsmith_module);
  return next_header_filter(r);
}

// Gives the filter the bytes of `in`, or passes them on once it stopped
// looking; at the last buffer, the end of the request.
ngx_int_t TakeBody(RequestHost* host, ngx_chain_t* in) {
  bool last = false;
  for (ngx_chain_t* link = in; link != nullptr; link = link->next) {
    ngx_buf_t* buf = link->buf;
    if (buf->last_buf) last = true;
    if (host->discard) {
      MarkSent(buf);
    } else if (!RaisesRawData(*host)) {
      AppendOut(host, buf);
    } else if (!RaiseBuffer(host, buf)) {
      return NGX_ERROR;
    }
    if (host->failed) return NGX_ERROR;
  }
  if (last) {
    Raise(host, SF_NOTIFY_END_OF_REQUEST, nullptr);
    if (host->failed) return NGX_ERROR;
  }
  if (host->discard) return NGX_OK;
  if (!host->head_sent) {
    if (!last && host->bridge->state() == ResponseBridge::Head::kPending &&
        RaisesRawData(*host))
      return NGX_OK;  // still held
    const ngx_int_t rc = SendHead(host);
    if (rc == NGX_ERROR || rc > NGX_OK) return rc;
    if (host->discard) return rc;
  }
  if (last && !EndOut(host)) return NGX_ERROR;
  return PassOut(host, next_body_filter);
}

ngx_int_t BodyFilter(ngx_http_request_t* r, ngx_chain_t* in) {
  RequestHost* host = HostOf(r);
  if (host == nullptr || r != r->main) return next_body_filter(r, in);
  try {
    return TakeBody(host, in);
  } catch (const std::exception& error) {
    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0, "tagsmith: %s",
                  error.what());
  } catch (...) {
    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                  "tagsmith: the response failed");
  }
  return NGX_ERROR;
}

}  // namespace

ngx_int_t InstallFilters(ngx_conf_t*) {
  next_header_filter = ngx_http_top_header_filter;
  ngx_http_top_header_filter = HeaderFilter;
  next_body_filter = ngx_http_top_body_filter;
  ngx_http_top_body_filter = BodyFilter;
  return NGX_OK;
}

}  // namespace tagsmith::nginx_host
