#include "tests/property_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "host/chunks.h"
#include "host/stand_in_server.h"
#include "tagging/profile_reader.h"
#include "tests/body_codings.h"

namespace tagsmith::checks {
namespace {

constexpr std::size_t npos = std::string_view::npos;

const std::string kPlainHead =
    "\r\n<script src=\"http://www.google-analytics.com/urchin.js\" "
    "type=\"text/javascript\">\r\n</script>\r\n<script "
    "type=\"text/javascript\">\r\n\t_uacct = \"";
const std::string kSecureHead =
    "\r\n<script src=\"https://ssl.google-analytics.com/urchin.js\" "
    "type=\"text/javascript\">\r\n</script>\r\n<script "
    "type=\"text/javascript\">\r\n\t_uacct = \"";
const std::string kTail = "\";\r\n\turchinTracker();\r\n</script>\r\n\r\n";
const std::string_view kMarkers[] = {
    "<script src=\"http://www.google-analytics.com/urchin.js\"",
    "<script src=\"https://ssl.google-analytics.com/urchin.js\""};

bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The accounts the block may carry: the configured one when set, else the
// page's own; none with a quote, backslash, "<" or control byte but TAB.
std::vector<std::string_view> UsableAccounts(
    const SiteValues& site, std::vector<std::string_view> accounts) {
  if (!site.account.empty()) accounts.assign(1, site.account);
  std::vector<std::string_view> usable;
  for (std::string_view account : accounts) {
    bool ok = true;
    for (const unsigned char c : account)
      ok = ok && !std::strchr("\"\\<\x7F", c) && (c >= 32 || c == '\t');
    if (ok) usable.push_back(account);
  }
  return usable;
}
unsigned char Lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

bool HasPrefixNoCase(std::string_view s, std::size_t at, std::string_view p) {
  if (at > s.size() || s.size() - at < p.size()) return false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (Lower(s[at + i]) != Lower(p[i])) return false;
  }
  return true;
}

bool ContainsNoCase(std::string_view s, std::size_t from, std::string_view p) {
  for (std::size_t at = from; at + p.size() <= s.size(); ++at) {
    if (HasPrefixNoCase(s, at, p)) return true;
  }
  return false;
}

// The rest of a header line from `at`: up to its first CR or LF.
std::string_view LineValue(std::string_view in, std::size_t at) {
  const std::size_t end = in.find_first_of("\r\n", at);
  return in.substr(at, (end == npos ? in.size() : end) - at);
}

// The status line and header lines of a response. The status line is the
// one holding the first "200" that is followed by white space (no CR may come
// before it); it ends at the next LF after that white-space byte. Header
// lines end with LF; the first line that begins with CR starts the body.
struct Head {
  bool complete = false;           // a 200 status line and headers with an end
  std::vector<std::size_t> lines;  // where each header line begins
  std::size_t bodyStart = 0;       // the CR that begins the empty line
};

Head ReadHead(std::string_view in) {
  Head head;
  std::size_t i = 0;
  while (!HasPrefixNoCase(in, i, "200")) {
    if (i >= in.size() || in[i] == '\r') return head;
    ++i;
  }
  if (i + 3 >= in.size() || !IsSpace(in[i + 3])) return head;
  std::size_t line = in.find('\n', i + 4);
  if (line == npos || ++line >= in.size()) return head;
  while (in[line] != '\r') {
    head.lines.push_back(line);
    const std::size_t end = in.find('\n', line);
    if (end == npos || end + 1 >= in.size()) return head;
    line = end + 1;
  }
  head.complete = true;
  head.bodyStart = line;
  return head;
}

std::string Where(std::string_view what, std::size_t at) {
  return std::string(what) + " (byte " + std::to_string(at) + ")";
}

// The first offset where a and b differ, or npos when they are equal.
std::size_t FirstDifference(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return i;
  }
  return a.size() == b.size() ? npos : n;
}

// The body of a response whose headers announce codings, read as the
// filter must read it.
struct CodedBody {
  bool framed = false;
  bool compressed = false;
  Format format = Format::kGzip;
  std::size_t first = 0;  // the body's first byte in the response
  Deframed framing;       // when framed
  std::string page;       // the page bytes the block goes into
};

bool IsNamed(const std::string& coding, std::string_view header,
             std::string_view value) {
  return coding.size() == header.size() + 1 + value.size() &&
         HasPrefixNoCase(coding, 0, header) &&
         HasPrefixNoCase(coding, header.size() + 1, value);
}

// Empty when the body may be tagged; otherwise why it must leave untouched.
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

}  // namespace

SiteValues ReadSiteValues(const std::optional<std::string>& appPath) {
  SiteValues site;
  static constexpr char kName[] = "/tagsmith.config";
  if (!appPath || appPath->empty() ||
      appPath->find('\0') != std::string::npos ||
      appPath->size() + sizeof(kName) > 2048) {
    return site;
  }
  const std::string path = *appPath + kName;
  char text[2048];
  char shortValue[16];
  auto read = [&](const char* key, char* out, std::uint32_t size) {
    const std::uint32_t n =
        ReadProfileString("ga1", key, "", out, size, path.c_str());
    return std::string(out, n);
  };
  site.insertBefore = read("InsertBeforeScriptBlock", text, sizeof text);
  site.appendAfter = read("AppendAfterScriptBlock", text, sizeof text);
  site.account = read("Account", shortValue, sizeof shortValue);
  site.alwaysSsl = !read("AlwaysSSL", shortValue, sizeof shortValue).empty();
  std::string diagnostics = read("Diagnostics", shortValue, sizeof shortValue);
  for (char& c : diagnostics)
    c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  site.diagnostics = diagnostics == "1" || diagnostics == "yes" ||
                     diagnostics == "true" || diagnostics == "on";
  return site;
}

std::string ExpectedBlock(const SiteValues& site, std::string_view account,
                          bool secure) {
  std::string block = site.insertBefore;
  block += secure ? kSecureHead : kPlainHead;
  block += account;
  block += kTail;
  block += site.appendAfter;
  return block;
}

bool ClosingBodyTagAt(std::string_view in, std::size_t at) {
  auto skipSpace = [&in](std::size_t i) {
    while (i < in.size() && IsSpace(in[i])) ++i;
    return i;
  };
  if (at >= in.size() || in[at] != '<') return false;
  std::size_t i = skipSpace(at + 1);
  if (i >= in.size() || in[i] != '/') return false;
  i = skipSpace(i + 1);
  if (!HasPrefixNoCase(in, i, "body")) return false;
  i = skipSpace(i + 4);
  return i < in.size() && in[i] == '>';
}

std::size_t LastClosingBodyTag(std::string_view in) {
  for (std::size_t at = in.size(); at-- > 0;) {
    if (ClosingBodyTagAt(in, at)) return at;
  }
  return npos;
}

std::uint32_t StatedLength(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && IsSpace(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  std::uint64_t n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10 + static_cast<unsigned>(value[i] - '0');
    if (n > 0xFFFFFFFFull) n = 0x100000000ull;  // stays "too large"
  }
  const std::uint32_t v =
      n > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
  return negative ? 0u - v : v;
}

// When `out`'s last header line, one more than `in` has, is a result
// header: the line checked and taken out into `rest`. Empty when there is
// none or it is well placed and formed.
std::string TakeResultHeader(std::string_view in, std::string_view out,
                             const SiteValues& site, std::string* rest) {
  static constexpr std::string_view kName = "X-Tagsmith-Result: ";
  const Head outHead = ReadHead(out);
  if (!outHead.complete || outHead.lines.empty() ||
      out.substr(outHead.lines.back(), kName.size()) != kName) {
    return "";
  }
  const Head inHead = ReadHead(in);
  // A response whose own last header line has that name keeps it: only a
  // line the filter added counts.
  if (inHead.complete && inHead.lines.size() == outHead.lines.size()) return "";
  if (!inHead.complete || inHead.lines.size() + 1 != outHead.lines.size()) {
    return "added a result header to a response that is not a candidate";
  }
  if (!site.diagnostics) return "added a result header without Diagnostics";
  const std::size_t line = outHead.lines.back();
  const std::string_view value = out.substr(
      line + kName.size(), outHead.bodyStart - 2 - line - kName.size());
  // clang-format off
  static constexpr std::string_view kWords[] = {
      "tagged", "tagged gzip", "tagged deflate", "tagged chunked", "tagged gzip chunked",
      "tagged deflate chunked", "no-account", "account-invalid", "already-tagged",
      "no-closing-body-tag", "coding-invalid", "too-large", "no-memory"};
  // clang-format on
  bool known =
      value.substr(0, 19) == "coding-not-handled " && value.size() > 19;
  for (std::string_view word : kWords) known = known || value == word;
  if (out.substr(outHead.bodyStart - 2, 2) != "\r\n" || !known) {
    return "a result header out of form: " + std::string(value);
  }
  *rest = std::string(out.substr(0, line)) +
          std::string(out.substr(outHead.bodyStart));
  return "";
}

std::string CheckOutput(std::string_view in, std::string_view out,
                        bool securePort, const SiteValues& site) {
  if (out == in) return "";
  std::string withoutResult;
  const std::string result = TakeResultHeader(in, out, site, &withoutResult);
  if (!result.empty()) return result;
  if (!withoutResult.empty()) {
    out = withoutResult;
    if (out == in) return "";
  }
  const Head head = ReadHead(in);
  if (!head.complete)
    return "changed a response without a 200 status line and complete headers";

  // Which header lines forbid tagging, and which tell the account and length.
  bool html = false;
  std::vector<std::string> codings;  // the coding headers that name one
  std::vector<std::string_view> accounts;
  std::vector<std::size_t> lengthLines;
  for (const std::size_t line : head.lines) {
    if (HasPrefixNoCase(in, line, "Content-Type: text/html")) html = true;
    if (HasPrefixNoCase(in, line, "X-Tagsmith: ")) {
      const std::string_view value = LineValue(in, line + 12);
      if (!value.empty()) accounts.push_back(value);
    }
    if (HasPrefixNoCase(in, line, "Content-Length:"))
      lengthLines.push_back(line);
    for (std::string_view coding :
         {"Transfer-Encoding:", "Content-Encoding:"}) {
      if (!HasPrefixNoCase(in, line, coding)) continue;
      std::string_view value = LineValue(in, line + coding.size());
      while (!value.empty() && IsSpace(value.front())) value.remove_prefix(1);
      while (!value.empty() && IsSpace(value.back())) value.remove_suffix(1);
      if (value.empty() ||
          (value.size() == 8 && HasPrefixNoCase(value, 0, "identity")))
        continue;
      codings.push_back(std::string(coding) + " " + std::string(value));
    }
  }
  if (!html) return "changed a response that is not HTML";
  if (!codings.empty()) {
    CodedBody body;
    const std::string refused =
        ReadCodedBody(in, head, codings, lengthLines.size(), &body);
    if (!refused.empty()) return refused;
    if (body.framed || body.compressed) {
      if (lengthLines.size() > 1)
        return "tagged a page with more than one Content-Length";
      std::size_t lengthLine = npos;
      if (lengthLines.size() == 1) {
        lengthLine = lengthLines[0];
        if (!HasPrefixNoCase(in, lengthLine, "Content-Length: ") ||
            LineValue(in, lengthLine + 16).empty()) {
          return "tagged a page whose Content-Length cannot be corrected";
        }
      }
      return CheckCodedOutput(in, out, body, lengthLine,
                              UsableAccounts(site, accounts), securePort, site);
    }
    // Plain bytes under announced codings: the plain page's rules.
  }
  for (std::string_view marker : kMarkers) {
    if (ContainsNoCase(in, head.bodyStart, marker))
      return "tagged a page that loads the script already";
  }
  accounts = UsableAccounts(site, accounts);
  if (accounts.empty()) return "tagged a page without a usable account";

  const std::size_t tag = LastClosingBodyTag(in);
  if (tag == npos || tag <= head.bodyStart)
    return "tagged a page without a closing body tag in its body";

  // The Content-Length value, when there is one: exactly one such header,
  // one space after its colon, a value before the line ends.
  std::size_t valueStart = npos, valueEnd = npos;
  if (lengthLines.size() > 1)
    return "tagged a page with more than one Content-Length";
  if (lengthLines.size() == 1) {
    valueStart = lengthLines[0] + 16;
    if (!HasPrefixNoCase(in, lengthLines[0], "Content-Length: ") ||
        LineValue(in, valueStart).empty()) {
      return "tagged a page whose Content-Length cannot be corrected";
    }
    valueEnd = valueStart + LineValue(in, valueStart).size();
  }

  // Take `out` apart: the head up to the length value, the new digits, the
  // rest up to the tag, the block, the tag and everything after it.
  std::string_view block;
  std::string_view digits;
  if (valueStart == npos) {
    if (out.size() <= in.size())
      return "changed the page without adding a block";
    const std::size_t length = out.size() - in.size();
    if (out.substr(0, tag) != in.substr(0, tag)) {
      return Where("changed bytes before the block",
                   FirstDifference(out.substr(0, tag), in.substr(0, tag)));
    }
    block = out.substr(tag, length);
    if (out.substr(tag + length) != in.substr(tag))
      return "changed bytes after the block";
  } else {
    if (out.size() < valueStart ||
        out.substr(0, valueStart) != in.substr(0, valueStart)) {
      return Where(
          "changed bytes before the Content-Length value",
          FirstDifference(out.substr(0, valueStart), in.substr(0, valueStart)));
    }
    std::size_t d = valueStart;
    while (d < out.size() && out[d] >= '0' && out[d] <= '9') ++d;
    digits = out.substr(valueStart, d - valueStart);
    const std::size_t between =
        tag - valueEnd;  // bytes from the value's end to the tag
    const std::size_t kept = out.size() - d;  // everything after the digits
    if (kept <= in.size() - valueEnd)
      return "Content-Length changed but no block was added";
    const std::size_t length = kept - (in.size() - valueEnd);
    if (out.substr(d, between) != in.substr(valueEnd, between)) {
      return Where(
          "changed bytes between the Content-Length value and the block",
          valueEnd + FirstDifference(out.substr(d, between),
                                     in.substr(valueEnd, between)));
    }
    block = out.substr(d + between, length);
    if (out.substr(d + between + length) != in.substr(tag))
      return "changed bytes after the block";
    const std::string want = std::to_string(static_cast<std::uint32_t>(
        StatedLength(in.substr(valueStart, valueEnd - valueStart)) + length));
    if (digits != want) {
      return "Content-Length is \"" + std::string(digits) + "\", not \"" +
             want + "\"";
    }
  }

  const bool secure = securePort || site.alwaysSsl;
  for (std::string_view account : accounts) {
    if (block == ExpectedBlock(site, account, secure)) return "";
  }
  return Where(std::string("the block is not the ") +
                   (secure ? "secure" : "plain") + " one for the account \"" +
                   std::string(accounts.back()) + "\"",
               tag);
}

std::string CheckAgainstReference(std::string_view in,
                                  std::string_view reference,
                                  std::string_view out, bool refused) {
  if (out == reference) return "";
  if (refused && out == in) return "";
  const std::size_t at = FirstDifference(out, reference);
  return Where(
      refused ? "with an allocation refused the output is neither the response "
                "untouched nor the whole-response result"
              : "the seams changed the output",
      at);
}

Served Serve(const host::FilterModule& filter, const Request& request) {
  host::RequestSettings settings;
  settings.app_physical_path = request.appPath;
  settings.secure_port = request.secure;
  settings.refuse_alloc_call = request.refuseAlloc;
  host::StringSink client;
  const host::ServeSummary summary = host::ServeResponse(
      filter, settings, host::SplitAt(request.response, request.cuts), client);
  if (!summary.client_error.empty()) {
    throw std::runtime_error("sending to the client failed: " +
                             summary.client_error);
  }
  return Served{client.bytes(), summary.alloc_calls};
}

Verdict CheckRequest(const host::FilterModule& filter, const Request& request,
                     const SiteValues& site) {
  Verdict verdict;
  Request whole = request;
  whole.cuts.clear();
  whole.refuseAlloc = 0;
  verdict.reference = Serve(filter, whole).client;
  verdict.violation =
      CheckOutput(request.response, verdict.reference, request.secure, site);
  if (!verdict.violation.empty()) {
    verdict.violation = "sent whole: " + verdict.violation;
    return verdict;
  }
  Request seamed = request;
  seamed.refuseAlloc = 0;
  const Served cut = Serve(filter, seamed);
  verdict.violation = CheckAgainstReference(request.response, verdict.reference,
                                            cut.client, false);
  if (!verdict.violation.empty() || request.refuseAlloc == 0 || cut.allocs == 0)
    return verdict;
  seamed.refuseAlloc = 1 + (request.refuseAlloc - 1) % cut.allocs;
  verdict.violation = CheckAgainstReference(request.response, verdict.reference,
                                            Serve(filter, seamed).client, true);
  if (!verdict.violation.empty()) {
    verdict.violation +=
        ", AllocMem call " + std::to_string(seamed.refuseAlloc) + " refused";
  }
  return verdict;
}

}  // namespace tagsmith::checks
