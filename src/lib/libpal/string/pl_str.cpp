#include "libpal/string/pl_str.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

struct size_unit {
  const char *name;
  double factor;
};

/* Taken left to right: the first unit that is a prefix of the rest of the unit text wins. */
const size_unit g_size_units[] = {
    {"c", 1.0},
    {"w", 2.0},
    {"b", 512.0},
    {"kB", 1000.0},
    {"kD", 1000.0},
    {"k", 1024.0},
    {"KB", 1000.0},
    {"KD", 1000.0},
    {"K", 1024.0},
    {"MB", 1000000.0},
    {"MD", 1000000.0},
    {"M", 1048576.0},
    {"GB", 1000000000.0},
    {"GD", 1000000000.0},
    {"G", 1073741824.0},
    {"TB", 1000000000000.0},
    {"T", 1099511627776.0},
    {"PB", 1000000000000000.0},
    {"P", 1125899906842624.0},
};

bool is_blank(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_ascii_letter(char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

uint64_t str_size_parse(const char *text)
{
  if (!text || !*text)
    return 0;
  if (is_blank(text[0]) || text[0] == '+' || text[0] == '-')
    return 0;
  size_t len = strnlen(text, 258);
  if (len > 256)
    return 0;

  size_t unit_at = len;
  while (unit_at > 0 && is_ascii_letter(text[unit_at - 1]))
    unit_at--;
  if (len - unit_at > 2)
    return 0;

  char number[260];
  memcpy(number, text, unit_at);
  number[unit_at] = '\0';
  char *end = nullptr;
  double value = strtod(number, &end);
  if (end == number)
    return 0;

  const char *unit = text + unit_at;
  while (*unit) {
    const size_unit *hit = nullptr;
    for (const auto &u : g_size_units) {
      size_t n = strlen(u.name);
      if (strncmp(unit, u.name, n) == 0) {
        hit = &u;
        break;
      }
    }
    /* An unknown unit letter has factor 0: the value becomes 0 and parsing ends. */
    if (!hit)
      return 0;
    value *= hit->factor;
    unit += strlen(hit->name);
  }
  /* strtod accepts "inf" and "nan" (they are not letters at the end only when followed by
   * digits, but "1e999" overflows to inf); such values convert to nothing meaningful. */
  if (!(value >= 0.0) || value >= 18446744073709551616.0)
    return 0;
  return static_cast<uint64_t>(value);
}

uint32_t str_octal_parse(const char *text)
{
  if (!text)
    return 0;
  const char *p = text;
  while (is_blank(*p))
    p++;
  bool neg = false;
  if (*p == '+' || *p == '-') {
    neg = *p == '-';
    p++;
  }
  uint32_t v = 0;
  while (*p >= '0' && *p <= '7') {
    v = v * 8u + static_cast<uint32_t>(*p - '0');
    p++;
  }
  return neg ? 0u - v : v;
}

int str_path_normalize(const char *in, char *out, size_t size)
{
  if (!in || !out || size == 0)
    return -1;
  while (is_blank(*in))
    in++;
  size_t n = strlen(in);
  while (n > 0 && is_blank(in[n - 1]))
    n--;
  if (n >= 7 && strncmp(in, "file://", 7) == 0) {
    in += 7;
    n -= 7;
  }
  size_t o = 0;
  for (size_t i = 0; i < n; i++) {
    char c = in[i] == '\\' ? '/' : in[i];
    if (c == '/' && o > 0 && out[o - 1] == '/')
      continue;
    if (o + 1 >= size) {
      out[0] = '\0';
      return -1;
    }
    out[o++] = c;
  }
  out[o] = '\0';
  return static_cast<int>(o);
}
