#define LOG_TAG "pal"
#include "libpal/string/pl_escape.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"

namespace {

/* Bounded writer over a caller's buffer: remembers that something did not fit instead of
 * writing past the end. One byte is always kept for the terminating NUL. */
struct buf_sink {
  char *dst;
  size_t size;
  size_t n = 0;
  bool full = false;
  void put(const char *p, size_t k)
  {
    if (full || k > size - 1 - n) {
      full = true;
      return;
    }
    memcpy(dst + n, p, k);
    n += k;
  }
};

struct str_sink {
  std::string *out;
  void put(const char *p, size_t k) { out->append(p, k); }
};

bool is_octal(unsigned char c)
{
  return c >= '0' && c <= '7';
}

int hex_value(unsigned char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

/* Whether one of the eight bytes of x is a control character (below 32) or a backslash: the
 * bytes that escaping changes. Batch lists carry megabytes of Base64 text with neither, so the
 * scan looks at eight bytes at a time. */
inline bool word_needs_escape(uint64_t x)
{
  constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  uint64_t below32 = (x - 0x20 * ones) & ~x & highs;
  uint64_t bs = x ^ (0x5C * ones);
  uint64_t backslash = (bs - ones) & ~bs & highs;
  return (below32 | backslash) != 0;
}

template <typename Sink> void escape_into(const unsigned char *s, size_t len, Sink &out)
{
  size_t run = 0; /* start of the pending run of bytes copied as they are */
  for (size_t i = 0; i < len; i++) {
    while (i + 8 <= len) {
      uint64_t x;
      memcpy(&x, s + i, sizeof x);
      if (word_needs_escape(x))
        break;
      i += 8;
    }
    if (i >= len)
      break;
    unsigned char c = s[i];
    if (c >= 32 && c != '\\')
      continue;
    if (i > run)
      out.put(reinterpret_cast<const char *>(s + run), i - run);
    run = i + 1;
    switch (c) {
    case '\\':
      out.put("\\\\", 2);
      break;
    case 0:
      if (i + 1 < len && is_octal(s[i + 1]))
        out.put("\\000", 4);
      else
        out.put("\\0", 2);
      break;
    case 8:
      out.put("\\b", 2);
      break;
    case 9:
      out.put("\\t", 2);
      break;
    case 10:
      out.put("\\n", 2);
      break;
    case 12:
      out.put("\\f", 2);
      break;
    case 13:
      out.put("\\r", 2);
      break;
    default: {
      const char pair[2] = {'\\', static_cast<char>(c)};
      out.put(pair, 2);
      break;
    }
    }
  }
  if (len > run)
    out.put(reinterpret_cast<const char *>(s + run), len - run);
}

/* Bytes of the zz-string content: everything before its final NUL pair (0 for an empty one). */
size_t zz_content_len(const char *zz)
{
  size_t n = 0;
  while (zz[n])
    n += strlen(zz + n) + 1;
  return n == 0 ? 0 : n - 1;
}

template <typename Sink> void escape_zz_into(const char *zz, Sink &out)
{
  escape_into(reinterpret_cast<const unsigned char *>(zz), zz_content_len(zz), out);
  out.put("\\0\\0", 4);
}

void put_utf8(uint32_t cp, char *o, size_t *k)
{
  if (cp < 0x80) {
    o[0] = static_cast<char>(cp);
    *k = 1;
  } else if (cp < 0x800) {
    o[0] = static_cast<char>(0xC0 | (cp >> 6));
    o[1] = static_cast<char>(0x80 | (cp & 0x3F));
    *k = 2;
  } else if (cp < 0x10000) {
    o[0] = static_cast<char>(0xE0 | (cp >> 12));
    o[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    o[2] = static_cast<char>(0x80 | (cp & 0x3F));
    *k = 3;
  } else {
    o[0] = static_cast<char>(0xF0 | (cp >> 18));
    o[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    o[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    o[3] = static_cast<char>(0x80 | (cp & 0x3F));
    *k = 4;
  }
}

void log_unknown_escape(unsigned char c)
{
  if (c >= 32 && c < 127)
    LOGW("unknown escape sequence: '\\%c'\n", c);
  else
    LOGW("unknown escape sequence: '\\x%x'", c);
}

/* Returns 0, or -2 when the text ends in a lone backslash. */
template <typename Sink> int unescape_into(const unsigned char *s, size_t len, Sink &out)
{
  size_t run = 0;
  size_t i = 0;
  while (i < len) {
    if (s[i] != '\\') {
      const void *next = memchr(s + i, '\\', len - i);
      if (!next)
        break;
      i = static_cast<size_t>(static_cast<const unsigned char *>(next) - s);
    }
    if (i > run)
      out.put(reinterpret_cast<const char *>(s + run), i - run);
    if (i + 1 >= len) {
      LOGW("unterminated escape sequence at the end of [%.*s]", static_cast<int>(len > 64 ? 64 : len),
           reinterpret_cast<const char *>(s));
      return VERR_PARAM;
    }
    unsigned char c = s[i + 1];
    size_t used = 2; /* bytes of src taken by this escape */
    char o[4];
    size_t k = 1;
    switch (c) {
    case 'a': o[0] = 7; break;
    case 'b': o[0] = 8; break;
    case 't': o[0] = 9; break;
    case 'n': o[0] = 10; break;
    case 'v': o[0] = 11; break;
    case 'f': o[0] = 12; break;
    case 'r': o[0] = 13; break;
    case 'e': o[0] = 27; break;
    case '\\': case '"': case '\'': case '?': o[0] = static_cast<char>(c); break;
    case 'x': case 'u': case 'U': {
      size_t max_digits = c == 'x' ? 2 : (c == 'u' ? 4 : 8);
      uint32_t v = 0;
      size_t d = 0;
      while (d < max_digits && i + 2 + d < len && hex_value(s[i + 2 + d]) >= 0) {
        v = (v << 4) | static_cast<uint32_t>(hex_value(s[i + 2 + d]));
        d++;
      }
      if (d == 0 || (c != 'x' && (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)))) {
        /* no digits, or no character: the letter stands for itself and the digits follow */
        log_unknown_escape(c);
        o[0] = static_cast<char>(c);
        break;
      }
      used += d;
      if (c == 'x')
        o[0] = static_cast<char>(v);
      else
        put_utf8(v, o, &k);
      break;
    }
    default:
      if (is_octal(c)) {
        uint32_t v = c - '0';
        size_t d = 1;
        /* a third digit that would leave the byte range belongs to the text, not the escape */
        while (d < 3 && i + 1 + d < len && is_octal(s[i + 1 + d]) && v * 8 + (s[i + 1 + d] - '0') <= 0xFF) {
          v = v * 8 + (s[i + 1 + d] - '0');
          d++;
        }
        used = 1 + d;
        o[0] = static_cast<char>(v);
      } else {
        log_unknown_escape(c);
        o[0] = static_cast<char>(c);
      }
      break;
    }
    out.put(o, k);
    i += used;
    run = i;
  }
  if (len > run)
    out.put(reinterpret_cast<const char *>(s + run), len - run);
  return 0;
}

template <typename Fill> int to_buf(char *dst, size_t size, Fill fill)
{
  if (!dst || size == 0)
    return VERR_OVERFLOW;
  buf_sink b{dst, size};
  int rc = fill(b);
  if (rc == 0 && (b.full || b.n > INT_MAX))
    rc = VERR_OVERFLOW;
  if (rc < 0) {
    dst[0] = '\0';
    return rc;
  }
  dst[b.n] = '\0';
  return static_cast<int>(b.n);
}

template <typename Fill> int to_str(std::string *out, Fill fill)
{
  if (!out)
    return VERR_PARAM;
  size_t old = out->size();
  try {
    str_sink s{out};
    int rc = fill(s);
    if (rc < 0) {
      out->resize(old);
      return rc;
    }
  } catch (const std::bad_alloc &) {
    out->resize(old);
    return VERR_NOMEM;
  }
  size_t added = out->size() - old;
  if (added > INT_MAX) {
    out->resize(old);
    return VERR_OVERFLOW;
  }
  return static_cast<int>(added);
}

} // namespace

size_t str_escape_tab_len(const char *src, size_t len)
{
  if (!src)
    return 0;
  const auto *s = reinterpret_cast<const unsigned char *>(src);
  size_t n = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = s[i];
    if (c >= 32 && c != '\\')
      n += 1;
    else if (c == 0 && i + 1 < len && is_octal(s[i + 1]))
      n += 4;
    else
      n += 2;
  }
  return n;
}

int str_escape_tab_buf(const char *src, size_t len, char *dst, size_t size)
{
  if (!src && len)
    return VERR_PARAM;
  return to_buf(dst, size, [&](buf_sink &b) {
    escape_into(reinterpret_cast<const unsigned char *>(src), len, b);
    return 0;
  });
}

int str_escape_tab_append(const char *src, size_t len, std::string *out)
{
  if (!src && len)
    return VERR_PARAM;
  return to_str(out, [&](str_sink &s) {
    escape_into(reinterpret_cast<const unsigned char *>(src), len, s);
    return 0;
  });
}

size_t str_zz_len(const char *zz)
{
  if (!zz)
    return 0;
  size_t n = zz_content_len(zz);
  return n == 0 ? 1 : n + 2;
}

int str_escape_tab_zz_buf(const char *zz, char *dst, size_t size)
{
  if (!zz)
    return VERR_PARAM;
  return to_buf(dst, size, [&](buf_sink &b) {
    escape_zz_into(zz, b);
    return 0;
  });
}

int str_escape_tab_zz_append(const char *zz, std::string *out)
{
  if (!zz)
    return VERR_PARAM;
  return to_str(out, [&](str_sink &s) {
    escape_zz_into(zz, s);
    return 0;
  });
}

int str_unescape_cstr_buf(const char *src, size_t len, char *dst, size_t size)
{
  if (!src && len)
    return VERR_PARAM;
  return to_buf(dst, size,
                [&](buf_sink &b) { return unescape_into(reinterpret_cast<const unsigned char *>(src), len, b); });
}

int str_unescape_cstr_append(const char *src, size_t len, std::string *out)
{
  if (!src && len)
    return VERR_PARAM;
  return to_str(out,
                [&](str_sink &s) { return unescape_into(reinterpret_cast<const unsigned char *>(src), len, s); });
}
