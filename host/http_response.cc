// See http_response.h.
#include "host/http_response.h"

#include <cassert>
#include <cstring>

namespace tagsmith::host {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

const char* ReasonPhrase(unsigned status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    case 417:
      return "Expectation Failed";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

std::string SerializeHead(unsigned status, const HeaderFields& fields) {
  // Sized first, then copied into place: one allocation for the block and
  // no per-piece bookkeeping.
  const std::string_view reason = ReasonPhrase(status);
  const std::string code = std::to_string(status);
  std::size_t size = 9 + code.size() + 1 + reason.size() + 4;
  for (const auto& field : fields)
    size += field.first.size() + 2 + field.second.size() + 2;
  std::string head(size, '\0');
  char* at = &head[0];
  auto put = [&at](std::string_view piece) {
    std::memcpy(at, piece.data(), piece.size());
    at += piece.size();
  };
  put("HTTP/1.1 ");
  put(code);
  put(" ");
  put(reason);
  put("\r\n");
  for (const auto& field : fields) {
    assert(field.first.find_first_of(std::string("\r\n\0", 3)) ==
               std::string::npos &&
           field.second.find_first_of(std::string("\r\n\0", 3)) ==
               std::string::npos);
    put(field.first);
    put(": ");
    put(field.second);
    put("\r\n");
  }
  put("\r\n");
  assert(at == head.data() + head.size());
  return head;
}

}  // namespace tagsmith::host
