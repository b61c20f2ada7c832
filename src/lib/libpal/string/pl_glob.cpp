#define LOG_TAG "pal"
#include "libpal/string/pl_glob.h"

#include <cctype>
#include <cstring>
#include <string>

#include "liblog/log2.h"

namespace {

inline unsigned char fold(unsigned char c, int nocase)
{
  return nocase ? static_cast<unsigned char>(tolower(c)) : c;
}

/* Reads the class that starts after "[" at p. Returns the position after "]" and sets *member,
 * or null when the class runs to the end of the pattern (the "[" is then an ordinary char). */
const char *match_class(const char *p, unsigned char c, int nocase, bool *member)
{
  bool in = false;
  bool first = true;
  unsigned char tc = fold(c, nocase);
  while (*p && (first || *p != ']')) {
    first = false;
    unsigned char lo = static_cast<unsigned char>(*p);
    unsigned char hi = lo;
    if (p[1] == '-' && p[2] && p[2] != ']') {
      hi = static_cast<unsigned char>(p[2]);
      p += 3;
    } else {
      p += 1;
    }
    lo = fold(lo, nocase);
    hi = fold(hi, nocase);
    if (lo <= tc && tc <= hi)
      in = true;
  }
  if (*p != ']')
    return nullptr;
  *member = in;
  return p + 1;
}

} // namespace

int pl_glob_match(const char *pattern, const char *text, int nocase, int trace)
{
  if (!pattern || !text)
    return 0;
  const char *p = pattern;
  const char *t = text;
  const char *back_pat = nullptr;
  const char *back_txt = nullptr;

  for (;;) {
    unsigned char c = static_cast<unsigned char>(*t);
    unsigned char d = static_cast<unsigned char>(*p);
    bool ordinary = false;
    switch (d) {
    case '?':
      if (c == '\0') {
        if (trace)
          LOGD("Wildcard: anything but nul");
        return 0;
      }
      p++;
      t++;
      continue;
    case '*':
      if (p[1] == '\0')
        return 1;
      back_pat = ++p;
      back_txt = t;
      continue;
    case '[': {
      if (c == '\0') {
        if (trace)
          LOGD("Character class: No possible match");
        return 0;
      }
      const char *q = p + 1;
      bool negate = false;
      if (*q == '!') {
        negate = true;
        q++;
      }
      bool member = false;
      const char *after = match_class(q, c, nocase, &member);
      if (!after) {
        ordinary = true;
        break;
      }
      if (member != negate) {
        p = after;
        t++;
        continue;
      }
      goto backtrack;
    }
    case '\\':
      if (p[1] != '\0') {
        p++;
        d = static_cast<unsigned char>(*p);
      }
      ordinary = true;
      break;
    default:
      ordinary = true;
      break;
    }
    if (ordinary) {
      if (fold(c, nocase) == fold(d, nocase)) {
        if (d == '\0')
          return 1;
        p++;
        t++;
        continue;
      }
      if (c == '\0') {
        if (trace)
          LOGD("d=[%c] c=[%c] back_pat=%d return false", d ? d : ' ', ' ', back_pat ? 1 : 0);
        return 0;
      }
    }
  backtrack:
    if (!back_pat) {
      if (trace)
        LOGD("d=[%c] c=[%c] back_pat=%d return false", d ? d : ' ', c ? c : ' ', 0);
      return 0;
    }
    t = ++back_txt;
    p = back_pat;
  }
}

int pl_glob_match_multi(const char *text, const char *patterns, int nocase, int trace)
{
  if (!text || !patterns)
    return 0;
  const char *start = patterns;
  for (;;) {
    const char *bar = strchr(start, '|');
    std::string alt = bar ? std::string(start, static_cast<size_t>(bar - start)) : std::string(start);
    if (pl_glob_match(alt.c_str(), text, nocase, trace))
      return 1;
    if (!bar)
      return 0;
    start = bar + 1;
  }
}
