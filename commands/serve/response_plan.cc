// The response decision; see response_plan.h.
#include "commands/serve/response_plan.h"

#include <cstdio>
#include <string_view>
#include <utility>

#include "host/http_date.h"

namespace tagsmith::host {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? a[i] - 'A' + 'a' : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? b[i] - 'A' + 'a' : b[i];
    if (x != y) return false;
  }
  return true;
}

// The comma-separated elements of every field, in order; empty ones are
// kept so that a malformed list is seen.
std::vector<std::string_view> Elements(const std::vector<std::string>& fields) {
  std::vector<std::string_view> elements;
  for (const std::string& field : fields) {
    std::string_view rest = field;
    for (;;) {
      const std::size_t comma = rest.find(',');
      elements.push_back(Trim(rest.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return elements;
}

// Only "chunked", once and last ("gzip, chunked" is still framed by its
// chunks); anything else leaves the body's end to a guess.
bool TransferEncodingIsSound(const RequestHead& head) {
  if (head.transfer_encodings.empty()) return true;
  if (head.version < 11) return false;
  const std::vector<std::string_view> codings =
      Elements(head.transfer_encodings);
  for (std::size_t i = 0; i < codings.size(); ++i) {
    const bool chunked = EqualsNoCase(codings[i], "chunked");
    if (codings[i].empty() || chunked != (i + 1 == codings.size()))
      return false;
  }
  return true;
}

bool HostIsSound(const RequestHead& head) {
  if (head.version < 11) return head.hosts.size() <= 1;
  if (head.hosts.size() != 1) return false;
  // One authority, not a list.
  return head.hosts[0].find_first_of(", \t") == std::string::npos;
}

// Whether a validator list (If-None-Match) names `tag`, comparing weakly.
bool MatchesTag(const std::vector<std::string>& fields,
                const std::string& tag) {
  auto opaque = [](std::string_view t) {
    if (t.size() >= 2 && t[0] == 'W' && t[1] == '/') t.remove_prefix(2);
    return t;
  };
  for (const std::string_view candidate : Elements(fields))
    if (candidate == "*" || opaque(candidate) == opaque(tag)) return true;
  return false;
}

HeadVerdict Refuse(unsigned status) {
  HeadVerdict verdict;
  verdict.next = HeadVerdict::Next::kRefuse;
  verdict.status = status;
  return verdict;
}

}  // namespace

HeadVerdict CheckHead(const RequestHead& head) {
  if (head.header_bytes > kHeaderLimit) return Refuse(431);
  if (!TransferEncodingIsSound(head) || !HostIsSound(head)) return Refuse(400);
  HeadVerdict verdict;
  // HTTP/1.0 clients know no expectations; theirs are ignored.
  if (head.version >= 11 && !head.expectations.empty()) {
    const std::vector<std::string_view> expected = Elements(head.expectations);
    if (expected.size() != 1 || !EqualsNoCase(expected[0], "100-continue"))
      return Refuse(417);
    // No body: nothing to wait for, the answer comes at once.
    if (head.has_body) verdict.next = HeadVerdict::Next::kContinueRead;
  }
  return verdict;
}

ResponsePlan ErrorPlan(unsigned status, const std::string& app_directory) {
  ResponsePlan plan;
  plan.status = status;
  plan.text = std::to_string(status) + " " + ReasonPhrase(status) + "\n";
  plan.body_size = plan.text.size();
  plan.app_directory = app_directory;
  return plan;
}

ResponsePlan PlanResponse(const StaticSite& site, const RequestHead& head) {
  const bool is_head = head.method == "HEAD";
  ResponsePlan plan;
  if (head.version / 10 != 1) {
    // The application's settings apply to the refusal too.
    plan = ErrorPlan(505, site.Resolve(head.target).app_directory);
  } else if (!is_head && head.method != "GET") {
    plan = ErrorPlan(405, site.Resolve(head.target).app_directory);
    plan.extra_fields.emplace_back("Allow", "GET, HEAD");
    plan.keep_alive = head.keep_alive;
  } else {
    Lookup lookup = site.Resolve(head.target);
    switch (lookup.kind) {
      case Lookup::Kind::kFile: {
        plan.status = 200;
        plan.content_type = ContentTypeFor(lookup.name);
        plan.body_size = lookup.size;
        plan.app_directory = lookup.app_directory;
        const std::string tag = EntityTag(lookup);
        const std::time_t modified =
            static_cast<std::time_t>(lookup.modified_ns / 1000000000);
        plan.extra_fields.emplace_back("Last-Modified", HttpDate(modified));
        plan.extra_fields.emplace_back("ETag", tag);
        std::time_t since = 0;
        const bool unchanged =
            !head.if_none_match.empty()
                ? MatchesTag(head.if_none_match, tag)
                : ParseHttpDate(head.if_modified_since, &since) &&
                      modified <= since;
        if (unchanged) {
          plan.status = 304;
        } else {
          plan.file = std::move(lookup.file);
        }
        break;
      }
      case Lookup::Kind::kRedirect:
        plan = ErrorPlan(301, lookup.app_directory);
        plan.extra_fields.emplace_back("Location", lookup.location);
        break;
      case Lookup::Kind::kBadRequest:
        plan = ErrorPlan(400, lookup.app_directory);
        break;
      case Lookup::Kind::kForbidden:
        plan = ErrorPlan(403, lookup.app_directory);
        break;
      case Lookup::Kind::kNotFound:
        plan = ErrorPlan(404, lookup.app_directory);
        break;
      case Lookup::Kind::kUnavailable:
        plan = ErrorPlan(503, lookup.app_directory);
        break;
    }
    plan.keep_alive = head.keep_alive && plan.status != 400;
  }
  plan.head_only = is_head || plan.status == 304;
  plan.method = head.method;
  plan.target = head.target;
  return plan;
}

HeaderFields ResponseFields(const ResponsePlan& plan, unsigned version,
                            bool closing, std::time_t now) {
  HeaderFields fields;
  // Room for these, the plan's own and what the coding adds, so the list
  // is not regrown.
  fields.reserve(8 + plan.extra_fields.size());
  fields.emplace_back("Server", "tagsmith");
  fields.emplace_back("Date", HttpDate(now));
  // A 304 describes the client's copy; it has no body to frame.
  if (plan.status != 304) {
    if (!plan.content_type.empty())
      fields.emplace_back("Content-Type", plan.content_type);
    fields.emplace_back("Content-Length", std::to_string(plan.body_size));
  }
  for (const auto& field : plan.extra_fields) fields.push_back(field);
  if (!plan.keep_alive || closing)
    fields.emplace_back("Connection", "close");
  else if (version == 10)
    fields.emplace_back("Connection", "keep-alive");
  return fields;
}

std::string EntityTag(const Lookup& file) {
  // W/"inode-size-mtime" in lowercase hex without leading zeros, written by
  // hand: printf's parsing showed in the profile of every response.
  auto hex = [](std::string* out, unsigned long long value) {
    char digits[16];
    int count = 0;
    do {
      digits[count++] = "0123456789abcdef"[value & 0xf];
      value >>= 4;
    } while (value != 0);
    while (count > 0) out->push_back(digits[--count]);
  };
  std::string tag;
  tag.reserve(3 + 3 * 16 + 3);
  tag.append("W/\"");
  hex(&tag, static_cast<unsigned long long>(file.inode));
  tag.push_back('-');
  hex(&tag, static_cast<unsigned long long>(file.size));
  tag.push_back('-');
  hex(&tag, static_cast<unsigned long long>(file.modified_ns));
  tag.push_back('"');
  return tag;
}

bool ParseHttpDate(const std::string& text, std::time_t* when) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr",
                                        "May", "Jun", "Jul", "Aug",
                                        "Sep", "Oct", "Nov", "Dec"};
  char weekday[4], month[4], zone[4];
  int day, year, hour, minute, second, used = 0;
  if (text.size() != 29 ||
      std::sscanf(text.c_str(), "%3s, %2d %3s %4d %2d:%2d:%2d %3s%n", weekday,
                  &day, month, &year, &hour, &minute, &second, zone,
                  &used) != 8 ||
      used != 29 || std::string_view(zone) != "GMT")
    return false;
  int month_index = -1;
  for (int i = 0; i < 12; ++i)
    if (std::string_view(month) == kMonths[i]) month_index = i;
  if (month_index < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60 || year < 1970)
    return false;
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month_index;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  *when = timegm(&parts);
  return true;
}

}  // namespace tagsmith::host
