// What `tagsmith serve --gzip` and `--chunked` feed the filter: a response's
// fields and body in, the header fields and body bytes out, as the server
// cuts the body into pieces.
#include "commands/serve/response_coding.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace tagsmith::host {
namespace {

TEST(AcceptsGzip, ReadsCodingsAndWeights) {
  struct Case {
    const char* value;
    bool accepts;
  } cases[] = {
      {"", false},
      {"gzip", true},
      {"GZip", true},
      {"x-gzip", true},
      {"deflate, br", false},
      {"br,gzip;q=0.5", true},
      {"gzip ; q=1.000", true},
      {"gzip;q=0", false},
      {"gzip;Q=0.000", false},
      {"gzip;q=0.001", true},
      {"gzip;q=2", false},
      {"gzip;q=x", false},
      {"*", true},
      {"*;q=0", false},
      {"*, gzip;q=0", false},
      {"gzip;q=0, *", false},
      {"identity, *;q=0.3", true},
      {"gzipx, xgzip", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(AcceptsGzip(c.value), c.accepts) << c.value;
}

// The header fields and the body bytes, as the server makes them: the whole
// body compressed first when it must be, then fed in pieces of `piece`.
struct Coded {
  HeaderFields fields;
  std::string body;
};
Coded Code(const CodingOptions& options, CodingRequest request,
           std::string body, std::size_t piece) {
  request.body_size = request.body_size ? request.body_size : body.size();
  ResponseCoder coder(options, request);
  if (coder.compresses()) coder.Compress(&body);
  Coded coded;
  coded.fields = {{"Content-Type", std::string(request.content_type)},
                  {"Content-Length", std::to_string(request.body_size)}};
  coder.SetFields(body.size(), &coded.fields);
  for (std::size_t at = 0; at < body.size(); at += piece)
    coded.body += coder.Piece(std::string_view(body).substr(at, piece));
  coded.body += coder.End();
  return coded;
}

std::string Fields(const HeaderFields& fields) {
  std::string text;
  for (const auto& field : fields)
    text += field.first + ": " + field.second + "|";
  return text;
}

// Chunk framing off, as a client takes it: "" when it is not well formed.
std::string Dechunk(std::string framed) {
  std::string data;
  for (;;) {
    const std::size_t line_end = framed.find("\r\n");
    if (line_end == std::string::npos) return "";
    const std::size_t size =
        std::stoul(framed.substr(0, line_end), nullptr, 16);
    if (size == 0) return framed.substr(line_end) == "\r\n\r\n" ? data : "";
    if (framed.compare(line_end + 2 + size, 2, "\r\n") != 0) return "";
    data += framed.substr(line_end + 2, size);
    framed.erase(0, line_end + 4 + size);
  }
}

std::string Gunzip(const std::string& gzip) {
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return "gunzip failed";
  std::string out(1 << 20, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
  stream.avail_in = static_cast<uInt>(gzip.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&stream, Z_FINISH);
  out.resize(out.size() - stream.avail_out);
  const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return whole ? out : "gunzip failed";
}

TEST(ResponseCoder, CodesWhatTheOptionsAndTheRequestAllow) {
  const std::string page =
      "<html><body>" + std::string(3000, 'p') + "</body></html>\n";
  const CodingOptions none, gzip{true, false}, chunked{false, true},
      both{true, true};
  const CodingRequest html{200, "text/html", 0, "gzip, deflate", true};
  CodingRequest no_gzip = html, http10 = html, utf8 = html, png = html,
                missing = html, huge = html, not_modified = html;
  no_gzip.accept_encoding = "deflate";
  http10.http11 = false;
  utf8.content_type = "Text/HTML; charset=utf-8";
  png.content_type = "image/png";
  missing.status = 404;
  huge.body_size = kMaxCompressedPage + 1;
  not_modified.status = 304;
  const std::string n = std::to_string(page.size());
  struct Case {
    const char* name;
    CodingOptions options;
    CodingRequest request;
    std::string body;
    std::size_t piece;
    std::string fields;  // CONTENT-LENGTH: the compressed body's length
    std::string bytes;   // GUNZIP: the body inflates to `page`
  } cases[] = {
      {"no options", none, html, page, 100,
       "Content-Type: text/html|Content-Length: " + n + "|", page},
      {"gzip", gzip, html, page, 100,
       "Content-Type: text/html|Content-Length: CONTENT-LENGTH|"
       "Content-Encoding: gzip|Vary: Accept-Encoding|",
       "GUNZIP"},
      {"gzip, type with parameters", gzip, utf8, page, 100,
       "Content-Type: Text/HTML; charset=utf-8|Content-Length: CONTENT-LENGTH|"
       "Content-Encoding: gzip|Vary: Accept-Encoding|",
       "GUNZIP"},
      {"gzip, not accepted", gzip, no_gzip, page, 100,
       "Content-Type: text/html|Content-Length: " + n +
           "|Vary: Accept-Encoding|",
       page},
      {"gzip, not HTML", gzip, png, page, 100,
       "Content-Type: image/png|Content-Length: " + n + "|", page},
      {"gzip, not 200", gzip, missing, page, 100,
       "Content-Type: text/html|Content-Length: " + n + "|", page},
      {"gzip, too large to hold", gzip, huge, "x", 100,
       "Content-Type: text/html|Content-Length: 1|", "x"},
      {"chunked", chunked, html, "hello world", 4,
       "Content-Type: text/html|Transfer-Encoding: chunked|",
       "4\r\nhell\r\n4\r\no wo\r\n3\r\nrld\r\n0\r\n\r\n"},
      {"chunked, one piece of 16", chunked, html, std::string(16, 'a'), 100,
       "Content-Type: text/html|Transfer-Encoding: chunked|",
       "10\r\n" + std::string(16, 'a') + "\r\n0\r\n\r\n"},
      {"chunked, empty body", chunked, html, "", 4,
       "Content-Type: text/html|Transfer-Encoding: chunked|", "0\r\n\r\n"},
      {"chunked, HTTP/1.0", chunked, http10, "hello", 4,
       "Content-Type: text/html|Content-Length: 5|", "hello"},
      {"chunked, 304", chunked, not_modified, "", 4, "Content-Type: text/html|",
       ""},
      {"gzip, 304: the Vary of its 200", gzip, not_modified, "", 4,
       "Content-Type: text/html|Vary: Accept-Encoding|", ""},
      {"gzip and chunked", both, html, page, 7,
       "Content-Type: text/html|Transfer-Encoding: chunked|"
       "Content-Encoding: gzip|Vary: Accept-Encoding|",
       "GUNZIP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Coded coded = Code(c.options, c.request, c.body, c.piece);
    const bool framed =
        c.options.chunked && c.request.http11 && c.request.status != 304;
    const std::string body = framed ? Dechunk(coded.body) : coded.body;
    std::string fields = c.fields;
    const std::size_t at = fields.find("CONTENT-LENGTH");
    if (at != std::string::npos)
      fields.replace(at, 14, std::to_string(body.size()));
    EXPECT_EQ(Fields(coded.fields), fields);
    if (c.bytes == "GUNZIP") {
      EXPECT_EQ(body.substr(0, 2), "\x1f\x8b");
      EXPECT_LT(body.size(), page.size() / 4);
      EXPECT_TRUE(Gunzip(body) == page);
    } else {
      EXPECT_EQ(coded.body, c.bytes);
    }
  }
}

}  // namespace
}  // namespace tagsmith::host
