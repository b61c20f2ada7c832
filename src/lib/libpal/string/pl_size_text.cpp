#include "libpal/string/pl_size_text.h"

#include <cstdio>

#include "libpal/comm/verr.h"

namespace {

/* Puts the result of snprintf into the caller's contract: the length, or an empty text and
 * VERR_OVERFLOW when it was cut. */
int fit(int n, char *buf, size_t size)
{
  if (n < 0 || static_cast<size_t>(n) >= size) {
    buf[0] = '\0';
    return VERR_OVERFLOW;
  }
  return n;
}

} // namespace

int str_size_text(uint64_t value, char *buf, size_t size)
{
  if (!buf)
    return VERR_PARAM;
  if (size == 0)
    return VERR_OVERFLOW;
  if (value < 1024)
    return fit(snprintf(buf, size, "%llu", static_cast<unsigned long long>(value)), buf, size);

  static const char units[] = "KMGTPEZY";
  uint64_t whole = value;
  uint64_t rem = 0;
  int div = 0;
  while (whole >= 1024 && div < 8) {
    rem = whole % 1024;
    whole /= 1024;
    div++;
  }
  /* A remainder of 973 or more rounds to 10 tenths: 1048575 is 1023 and 1023/1024, "1024.0K". */
  unsigned digit = static_cast<unsigned>((rem * 10 + 512) / 1024);
  if (digit >= 10) {
    whole++;
    digit = 0;
  }
  return fit(snprintf(buf, size, "%llu.%u%c", static_cast<unsigned long long>(whole), digit, units[div - 1]),
             buf, size);
}

int str_time_span_text(int64_t ms, char *buf, size_t size)
{
  if (!buf)
    return VERR_PARAM;
  if (size == 0)
    return VERR_OVERFLOW;
  if (ms < 0)
    ms = 0;
  const int64_t day_ms = 86400000;
  long long days = static_cast<long long>(ms / day_ms);
  int64_t rest = ms % day_ms;
  int hh = static_cast<int>(rest / 3600000);
  int mm = static_cast<int>(rest / 60000 % 60);
  int ss = static_cast<int>(rest / 1000 % 60);
  int milli = static_cast<int>(rest % 1000);
  int n;
  if (days > 0)
    n = snprintf(buf, size, "%lld day%s %02d:%02d:%02d.%03d", days, days == 1 ? "" : "s", hh, mm, ss, milli);
  else
    n = snprintf(buf, size, "%02d:%02d:%02d.%03d", hh, mm, ss, milli);
  return fit(n, buf, size);
}
