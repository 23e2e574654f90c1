#include "tests/coded_check.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "tests/check_text.h"

namespace tagsmith::checks {
namespace {

bool IsNamed(const std::string& coding, std::string_view header,
             std::string_view value) {
  return coding.size() == header.size() + 1 + value.size() &&
         HasPrefixNoCase(coding, 0, header) &&
         HasPrefixNoCase(coding, header.size() + 1, value);
}

}  // namespace

std::string ReadCodedBody(std::string_view in, const Head& head,
                          const std::vector<std::string>& codings,
                          std::size_t lengths, CodedBody* body) {
  int transfers = 0, contents = 0;
  bool chunked = false, gzip = false, deflate = false;
  for (const std::string& coding : codings) {
    if (HasPrefixNoCase(coding, 0, "Transfer-Encoding:")) {
      ++transfers;
      chunked = IsNamed(coding, "Transfer-Encoding:", "chunked");
      if (!chunked) return "changed a response with " + coding;
    } else {
      ++contents;
      gzip = IsNamed(coding, "Content-Encoding:", "gzip") ||
             IsNamed(coding, "Content-Encoding:", "x-gzip");
      deflate = IsNamed(coding, "Content-Encoding:", "deflate");
      if (!gzip && !deflate) return "changed a response with " + coding;
    }
  }
  if (transfers > 1 || contents > 1)
    return "changed a response with two headers of one coding";
  if (chunked && lengths > 0)
    return "changed a chunked response with a Content-Length";
  if (in.size() < head.bodyStart + 2 || in[head.bodyStart + 1] != '\n') {
    return "changed a coded response whose empty line has no LF";
  }
  body->first = head.bodyStart + 2;
  std::string_view bytes = in.substr(body->first);
  if (chunked && BeginsFramed(bytes)) {
    std::optional<Deframed> framing = Deframe(bytes);
    if (!framing) return "changed a response whose chunk framing is broken";
    body->framed = true;
    body->framing = std::move(*framing);
    bytes = body->framing.data;
  }
  body->page = std::string(bytes);
  if (gzip || deflate) {
    std::string page;
    switch (ReadCoded(gzip, bytes, &page, &body->format)) {
      case Reading::kUntouched:
        return "changed a response whose compressed body is broken";
      case Reading::kDecoded:
        body->compressed = true;
        body->page = std::move(page);
        break;
      case Reading::kPlain:
        break;
    }
  }
  const bool plain =
      !body->compressed && (gzip || deflate || (chunked && !body->framed));
  if (plain && !ReadsAsMarkup(body->page)) {
    return "changed a page not in its announced coding that does not read as "
           "markup";
  }
  return "";
}

namespace {

std::string HexOf(std::size_t n) {
  char text[24];
  std::snprintf(text, sizeof text, "%zx", n);
  return text;
}

// A framed page, not compressed: the block as a chunk of its own.
std::string FramedWithBlock(std::string_view in, const CodedBody& body,
                            std::size_t tag, const std::string& block) {
  std::string out(in);
  std::size_t offset = 0;
  for (const Deframed::Chunk& chunk : body.framing.chunks) {
    if (tag >= offset + chunk.size) {
      offset += chunk.size;
      continue;
    }
    const std::size_t k = tag - offset;
    if (k == 0) {
      out.insert(body.first + chunk.sizeLine,
                 HexOf(block.size()) + "\r\n" + block + "\r\n");
    } else {
      out.insert(body.first + chunk.data + k,
                 "\r\n" + HexOf(block.size()) + "\r\n" + block + "\r\n" +
                     HexOf(chunk.size - k) + "\r\n");
      out.replace(body.first + chunk.sizeLine, chunk.digitsEnd - chunk.sizeLine,
                  HexOf(k));
    }
    break;
  }
  return out;
}

// A compressed page: the headers as they came but for the Content-Length,
// which states the body's length; the body a stream of the same format,
// framed again when it came framed, that inflates to `tagged`.
std::string CheckCompressed(std::string_view in, std::string_view out,
                            const CodedBody& body, std::size_t lengthLine,
                            const std::vector<std::string>& taggedPages) {
  std::size_t outFirst = body.first;
  std::string_view stated;
  if (lengthLine == npos) {
    if (out.substr(0, body.first) != in.substr(0, body.first))
      return "changed the headers";
  } else {
    const std::size_t valueAt = lengthLine + 16;
    const std::size_t valueEnd = valueAt + LineValue(in, valueAt).size();
    if (out.substr(0, valueAt) != in.substr(0, valueAt))
      return "changed the headers";
    std::size_t d = valueAt;
    while (d < out.size() && out[d] >= '0' && out[d] <= '9') ++d;
    stated = out.substr(valueAt, d - valueAt);
    const std::string_view rest = in.substr(valueEnd, body.first - valueEnd);
    if (out.substr(d, rest.size()) != rest)
      return "changed the headers after the Content-Length";
    outFirst = d + rest.size();
  }
  std::string_view stream = out.substr(outFirst);
  std::optional<Deframed> framing;
  if (body.framed) {
    framing = Deframe(stream);
    if (!framing) return "the body's new framing is broken";
    const std::string_view inLast =
        in.substr(body.first + body.framing.lastChunk);
    if (stream.substr(framing->lastChunk) != inLast)
      return "the last chunk or trailers changed";
    stream = framing->data;
  } else if (lengthLine != npos && stated != std::to_string(stream.size())) {
    return "Content-Length is \"" + std::string(stated) +
           "\", not the body's " + std::to_string(stream.size());
  }
  // The tagged page may pass the limit by the block's length.
  std::optional<std::string> page =
      Inflate(stream, body.format, 2 * kDecodedLimit);
  if (!page) return "the body is no longer a whole stream of its format";
  for (const std::string& tagged : taggedPages) {
    if (*page == tagged) return "";
  }
  return "the decoded page is not the page with its block";
}

}  // namespace

std::string CheckCodedOutput(std::string_view in, std::string_view out,
                             const CodedBody& body, std::size_t lengthLine,
                             const std::vector<std::string_view>& accounts,
                             bool securePort, const SiteValues& site) {
  for (std::string_view marker : kMarkers) {
    if (ContainsNoCase(body.page, 0, marker))
      return "tagged a page that loads the script already";
  }
  if (accounts.empty()) return "tagged a page without a usable account";
  const std::size_t tag = LastClosingBodyTag(body.page);
  if (tag == npos) return "tagged a page without a closing body tag";
  const bool secure = securePort || site.alwaysSsl;
  std::vector<std::string> tagged;
  for (std::string_view account : accounts) {
    const std::string block = ExpectedBlock(site, account, secure);
    if (!body.compressed) {
      if (out == FramedWithBlock(in, body, tag, block)) return "";
      continue;
    }
    tagged.push_back(body.page);
    tagged.back().insert(tag, block);
  }
  if (!body.compressed)
    return "the framed page is not the page with its block as a chunk";
  return CheckCompressed(in, out, body, lengthLine, tagged);
}

}  // namespace tagsmith::checks
