#define LOG_TAG "pal"
#include "libpal/string/pl_scanf.h"

#include <cstring>
#include <new>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"
#include "libpal/string/pl_escape.h"

namespace {

enum field_form { F_STR, F_ESTR, F_DEC, F_HEX, F_SDEC };

struct sig_token {
  const char *word;
  field_form form;
  str_scan_kind kind;
};

const sig_token g_tokens[] = {
    {"str", F_STR, STR_SCAN_STR},   {"estr", F_ESTR, STR_SCAN_ESTR}, {"u32", F_DEC, STR_SCAN_U32},
    {"u64", F_DEC, STR_SCAN_U64},   {"x32", F_HEX, STR_SCAN_U32},    {"x64", F_HEX, STR_SCAN_U64},
    {"int", F_SDEC, STR_SCAN_I32},  {"i64", F_SDEC, STR_SCAN_I64},
};

const sig_token *token_find(const char *w, size_t n)
{
  for (const auto &t : g_tokens)
    if (strlen(t.word) == n && memcmp(t.word, w, n) == 0)
      return &t;
  return nullptr;
}

bool parse_unsigned(const char *s, int base, uint64_t max, uint64_t *out)
{
  if (!*s)
    return false;
  uint64_t v = 0;
  for (; *s; s++) {
    unsigned d;
    char c = *s;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    if (v > (max - d) / static_cast<uint64_t>(base))
      return false;
    v = v * static_cast<uint64_t>(base) + d;
  }
  *out = v;
  return true;
}

bool parse_signed(const char *s, int64_t min, int64_t max, int64_t *out)
{
  bool neg = *s == '-';
  uint64_t mag;
  uint64_t limit = neg ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
  if (!parse_unsigned(s + (neg ? 1 : 0), 10, limit, &mag))
    return false;
  *out = neg ? (mag == limit ? min : -static_cast<int64_t>(mag)) : static_cast<int64_t>(mag);
  return true;
}

bool convert(const sig_token &t, char *field, const str_scan_out &o)
{
  switch (t.form) {
  case F_STR:
    *static_cast<char **>(o.p) = field;
    return true;
  case F_ESTR: {
    auto *s = static_cast<std::string *>(o.p);
    s->clear();
    return str_unescape_cstr_append(field, strlen(field), s) >= 0;
  }
  case F_DEC:
  case F_HEX: {
    int base = t.form == F_HEX ? 16 : 10;
    uint64_t v;
    if (t.kind == STR_SCAN_U32) {
      if (!parse_unsigned(field, base, UINT32_MAX, &v))
        return false;
      *static_cast<uint32_t *>(o.p) = static_cast<uint32_t>(v);
    } else {
      if (!parse_unsigned(field, base, UINT64_MAX, &v))
        return false;
      *static_cast<uint64_t *>(o.p) = v;
    }
    return true;
  }
  case F_SDEC: {
    int64_t v;
    if (t.kind == STR_SCAN_I32) {
      if (!parse_signed(field, INT32_MIN, INT32_MAX, &v))
        return false;
      *static_cast<int32_t *>(o.p) = static_cast<int32_t>(v);
    } else {
      if (!parse_signed(field, INT64_MIN, INT64_MAX, &v))
        return false;
      *static_cast<int64_t *>(o.p) = v;
    }
    return true;
  }
  }
  return false;
}

} // namespace

int str_scanf_sep_vals(char *line, char sep, const char *sig, const str_scan_out *outs, size_t n)
{
  if (!line || !sig || (n && !outs) || sep == '\0')
    return VERR_PARAM;

  /* The signature is checked against the outputs before the line is touched. */
  const sig_token *toks[64];
  size_t nt = 0;
  for (const char *p = sig;;) {
    const char *bar = strchr(p, '|');
    size_t len = bar ? static_cast<size_t>(bar - p) : strlen(p);
    const sig_token *t = token_find(p, len);
    if (!t || nt >= sizeof toks / sizeof toks[0] || nt >= n || outs[nt].kind != t->kind || !outs[nt].p) {
      LOGE("signature [%s] does not match its %zu outputs at field %zu", sig, n, nt + 1);
      return VERR_PARAM;
    }
    toks[nt++] = t;
    if (!bar)
      break;
    p = bar + 1;
  }
  if (nt != n) {
    LOGE("signature [%s] has %zu fields for %zu outputs", sig, nt, n);
    return VERR_PARAM;
  }

  char *p = line;
  size_t done = 0;
  while (done < nt) {
    char *end = strchr(p, sep);
    if (end)
      *end = '\0';
    if (!convert(*toks[done], p, outs[done]))
      return static_cast<int>(done);
    done++;
    if (!end)
      break;
    p = end + 1;
  }
  return static_cast<int>(done);
}
