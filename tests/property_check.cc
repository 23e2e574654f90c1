#include "tests/property_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "host/chunks.h"
#include "host/stand_in_server.h"
#include "tagging/profile_reader.h"
#include "tests/body_codings.h"
#include "tests/check_text.h"
#include "tests/coded_check.h"

namespace tagsmith::checks {
namespace {

const std::string kPlainHead =
    "\r\n<script src=\"http://www.google-analytics.com/urchin.js\" "
    "type=\"text/javascript\">\r\n</script>\r\n<script "
    "type=\"text/javascript\">\r\n\t_uacct = \"";
const std::string kSecureHead =
    "\r\n<script src=\"https://ssl.google-analytics.com/urchin.js\" "
    "type=\"text/javascript\">\r\n</script>\r\n<script "
    "type=\"text/javascript\">\r\n\t_uacct = \"";
const std::string kTail = "\";\r\n\turchinTracker();\r\n</script>\r\n\r\n";

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
