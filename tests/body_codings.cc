#include "tests/body_codings.h"

#include <zlib.h>

#include <cstdio>

namespace tagsmith::checks {
namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int WindowBits(Format format) {
  switch (format) {
    case Format::kGzip:
      return 16 + 15;
    case Format::kZlib:
      return 15;
    case Format::kRaw:
      return -15;
  }
  return 15;
}

}  // namespace

bool ReadsAsMarkup(std::string_view body) {
  bool mark = false;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '<') return true;
    if (!mark && body.substr(i, 3) == "\xEF\xBB\xBF") {
      mark = true;
      i += 2;
    } else if (std::string_view(" \t\r\n").find(body[i]) ==
               std::string_view::npos) {
      return false;
    }
  }
  return false;
}

bool BeginsFramed(std::string_view body) {
  return !body.empty() && Hex(body[0]) >= 0;
}

std::optional<Deframed> Deframe(std::string_view body) {
  Deframed out;
  std::size_t i = 0;
  auto crlf = [&](std::size_t at) {
    return at + 1 < body.size() && body[at] == '\r' && body[at + 1] == '\n';
  };
  for (;;) {
    const std::size_t line = i;
    std::size_t size = 0;
    while (i < body.size() && Hex(body[i]) >= 0 && i - line < 9)
      size = size * 16 + Hex(body[i++]);
    const std::size_t digits = i - line;
    if (digits == 0 || digits > 8) return std::nullopt;
    const std::size_t digitsEnd = i;
    if (i < body.size() && body[i] == ';') {
      while (i < body.size() && body[i] != '\r' && body[i] != '\n') ++i;
    }
    if (!crlf(i)) return std::nullopt;
    i += 2;
    if (size == 0) {
      out.lastChunk = line;
      break;
    }
    if (body.size() - i < size + 2 || !crlf(i + size)) return std::nullopt;
    out.chunks.push_back({line, digitsEnd, i, size});
    out.data.append(body.substr(i, size));
    i += size + 2;
  }
  for (;;) {
    if (crlf(i))
      return i + 2 == body.size() ? std::optional<Deframed>(out) : std::nullopt;
    const std::size_t end = body.find_first_of("\r\n", i);
    if (end == std::string_view::npos || end == i || !crlf(end))
      return std::nullopt;
    i = end + 2;
  }
}

std::string Frame(std::string_view data, const std::vector<std::size_t>& sizes,
                  std::string_view extension, std::string_view trailers) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t n = 0; at < data.size(); ++n) {
    std::size_t size = sizes.empty() ? 0 : sizes[n % sizes.size()];
    if (size == 0 || size > data.size() - at) size = data.size() - at;
    char line[24];
    std::snprintf(line, sizeof line, "%zx", size);
    out += line;
    out += extension;
    out += "\r\n";
    out.append(data.substr(at, size));
    out += "\r\n";
    at += size;
  }
  out += "0";
  out += extension;
  out += "\r\n";
  out += trailers;
  out += "\r\n";
  return out;
}

std::string Compress(std::string_view page, Format format, int level) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, WindowBits(format), 8,
               Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, page.size()) + 32, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(page.data()));
  s.avail_in = static_cast<uInt>(page.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::optional<std::string> Inflate(std::string_view bytes, Format format,
                                   std::size_t limit) {
  z_stream s{};
  if (inflateInit2(&s, WindowBits(format)) != Z_OK) return std::nullopt;
  std::string page;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  s.avail_in = static_cast<uInt>(bytes.size());
  int ret = Z_OK;
  char buffer[65536];
  while (ret == Z_OK) {
    s.next_out = reinterpret_cast<Bytef*>(buffer);
    s.avail_out = sizeof buffer;
    ret = inflate(&s, Z_NO_FLUSH);
    page.append(buffer, sizeof buffer - s.avail_out);
    if (page.size() > limit) ret = Z_MEM_ERROR;
    if (ret == Z_BUF_ERROR && s.avail_in == 0) break;
  }
  const bool whole = ret == Z_STREAM_END && s.avail_in == 0;
  inflateEnd(&s);
  if (!whole) return std::nullopt;
  return page;
}

Reading ReadCoded(bool gzip, std::string_view bytes, std::string* page,
                  Format* format) {
  const auto b = [&](std::size_t i) {
    return static_cast<unsigned char>(bytes[i]);
  };
  if (gzip) {
    if (bytes.size() < 2 || b(0) != 0x1F || b(1) != 0x8B)
      return Reading::kPlain;
    *format = Format::kGzip;
  } else if (bytes.size() >= 2 && (b(0) & 0x0F) == 8 && (b(0) >> 4) <= 7 &&
             (b(0) * 256 + b(1)) % 31 == 0) {
    if ((b(1) & 0x20) != 0)
      return Reading::kUntouched;  // needs a preset dictionary
    *format = Format::kZlib;
  } else {
    *format = Format::kRaw;
  }
  std::optional<std::string> inflated = Inflate(bytes, *format);
  if (!inflated)
    return *format == Format::kRaw ? Reading::kPlain : Reading::kUntouched;
  *page = std::move(*inflated);
  return Reading::kDecoded;
}

}  // namespace tagsmith::checks
