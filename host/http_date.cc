// See http_date.h.
#include "host/http_date.h"

#include <cstdio>

namespace tagsmith::host {

namespace {

// A moment in UTC, split into its calendar fields.
struct CivilTime {
  long long year;
  int month;    // 1..12
  int day;      // 1..31
  int weekday;  // 0 Sunday .. 6 Saturday
  int hour, minute, second;
};

// Seconds since 1970-01-01 to a civil date (proleptic Gregorian), without
// the C library's non-reentrant gmtime.
CivilTime ToCivil(long long seconds) {
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  CivilTime civil;
  civil.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  civil.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  civil.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  civil.year = yoe + era * 400 + (civil.month <= 2 ? 1 : 0);
  civil.hour = static_cast<int>(rest / 3600);
  civil.minute = static_cast<int>(rest / 60 % 60);
  civil.second = static_cast<int>(rest % 60);
  return civil;
}

// Writes `value` (0 <= value < 10^width) as `width` decimal digits at `at`;
// answers the position after them. printf's "%0*d" without its parsing,
// which showed in the profile of every response (two dates a head).
char* Digits(char* at, long long value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at + width;
}

char* Text(char* at, const char* text) {
  while (*text) *at++ = *text++;
  return at;
}

}  // namespace

std::string HttpDate(std::time_t when) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed",
                                      "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr",
                                        "May", "Jun", "Jul", "Aug",
                                        "Sep", "Oct", "Nov", "Dec"};
  const CivilTime t = ToCivil(static_cast<long long>(when));
  char text[64];
  if (t.year < 0 || t.year > 9999) {
    std::snprintf(text, sizeof text, "%s, %02d %s %04lld %02d:%02d:%02d GMT",
                  kDays[t.weekday], t.day, kMonths[t.month - 1], t.year, t.hour,
                  t.minute, t.second);
    return text;
  }
  char* at = Text(text, kDays[t.weekday]);
  at = Text(at, ", ");
  at = Digits(at, t.day, 2);
  *at++ = ' ';
  at = Text(at, kMonths[t.month - 1]);
  *at++ = ' ';
  at = Digits(at, t.year, 4);
  *at++ = ' ';
  at = Digits(at, t.hour, 2);
  *at++ = ':';
  at = Digits(at, t.minute, 2);
  *at++ = ':';
  at = Digits(at, t.second, 2);
  at = Text(at, " GMT");
  return std::string(text, at);
}

std::string LogTime(std::chrono::system_clock::time_point when) {
  const long long millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(
          when.time_since_epoch())
          .count();
  long long seconds = millis / 1000;
  long long fraction = millis % 1000;
  if (fraction < 0) {
    fraction += 1000;
    --seconds;
  }
  const CivilTime t = ToCivil(seconds);
  char text[64];
  if (t.year < 0 || t.year > 9999) {
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03lldZ",
                  t.year, t.month, t.day, t.hour, t.minute, t.second, fraction);
    return text;
  }
  char* at = Digits(text, t.year, 4);
  *at++ = '-';
  at = Digits(at, t.month, 2);
  *at++ = '-';
  at = Digits(at, t.day, 2);
  *at++ = 'T';
  at = Digits(at, t.hour, 2);
  *at++ = ':';
  at = Digits(at, t.minute, 2);
  *at++ = ':';
  at = Digits(at, t.second, 2);
  *at++ = '.';
  at = Digits(at, fraction, 3);
  *at++ = 'Z';
  return std::string(text, at);
}

}  // namespace tagsmith::host
