#define LOG_TAG "sdcli"
#include "libqvsd/qvsd_wire.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "liblog/log2.h"

const char *qvsd_result_str(int code)
{
  static const char *const k[] = {"ok",           "net error",          "net data error",
                                  "timeout error", "qvsd srv error",    "memory error",
                                  "user stop error", "unpack data error", "data len error"};
  if (code < 0 || code >= (int)(sizeof k / sizeof k[0]))
    return "unkown error";
  return k[code];
}

uint32_t qvsd_get_be32(const void *p)
{
  const uint8_t *b = static_cast<const uint8_t *>(p);
  return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}

uint64_t qvsd_get_be64(const void *p)
{
  const uint8_t *b = static_cast<const uint8_t *>(p);
  return (uint64_t)qvsd_get_be32(b) << 32 | qvsd_get_be32(b + 4);
}

void qvsd_put_be32(void *p, uint32_t v)
{
  uint8_t *b = static_cast<uint8_t *>(p);
  b[0] = (uint8_t)(v >> 24);
  b[1] = (uint8_t)(v >> 16);
  b[2] = (uint8_t)(v >> 8);
  b[3] = (uint8_t)v;
}

void qvsd_put_be64(void *p, uint64_t v)
{
  qvsd_put_be32(p, (uint32_t)(v >> 32));
  qvsd_put_be32(static_cast<uint8_t *>(p) + 4, (uint32_t)v);
}

static uint32_t name_part_for(uint32_t name_len)
{
  return qvsd_pad4(2 + name_len + 1);
}

uint32_t qvsd_attr_name_part(const void *a)
{
  if (!qvsd_attr_named(a))
    return 0;
  const uint8_t *b = static_cast<const uint8_t *>(a);
  return name_part_for((uint32_t)b[4] << 8 | b[5]);
}

const char *qvsd_attr_name(const void *a, uint32_t *len)
{
  if (!qvsd_attr_named(a)) {
    if (len)
      *len = 0;
    return "";
  }
  const uint8_t *b = static_cast<const uint8_t *>(a);
  if (len)
    *len = (uint32_t)b[4] << 8 | b[5];
  return reinterpret_cast<const char *>(b + 6);
}

const void *qvsd_attr_data(const void *a)
{
  return static_cast<const uint8_t *>(a) + 4 + qvsd_attr_name_part(a);
}

uint32_t qvsd_attr_data_len(const void *a)
{
  return qvsd_attr_len(a) - 4 - qvsd_attr_name_part(a);
}

int64_t qvsd_attr_i64(const void *a)
{
  return (int64_t)qvsd_get_be64(qvsd_attr_data(a));
}

int32_t qvsd_attr_i32(const void *a)
{
  return (int32_t)qvsd_get_be32(qvsd_attr_data(a));
}

int16_t qvsd_attr_i16(const void *a)
{
  const uint8_t *b = static_cast<const uint8_t *>(qvsd_attr_data(a));
  return (int16_t)((uint16_t)b[0] << 8 | b[1]);
}

int8_t qvsd_attr_i8(const void *a)
{
  return (int8_t) * static_cast<const uint8_t *>(qvsd_attr_data(a));
}

const char *qvsd_attr_str(const void *a)
{
  return static_cast<const char *>(qvsd_attr_data(a));
}

/* Checks the members of a table or array: value bytes [p, p + n). */
static int check_members(const uint8_t *p, uint32_t n, bool need_name, int depth)
{
  uint32_t off = 0;
  while (off < n) {
    if (n - off < 4)
      return -1;
    const uint8_t *a = p + off;
    uint32_t plen = qvsd_attr_padlen(a);
    if (plen < 4 || plen > n - off)
      return -1;
    if (qvsd_attr_check(a, n - off, need_name, depth + 1) < 0)
      return -1;
    off += plen;
  }
  return 0;
}

int qvsd_attr_check(const void *attr, uint32_t avail, bool need_name, int depth)
{
  const uint8_t *a = static_cast<const uint8_t *>(attr);
  if (avail < 4 || depth > QVSD_NEST_MAX)
    return -1;
  uint32_t len = qvsd_attr_len(a);
  if (len < 4 || qvsd_pad4(len) > avail)
    return -1;
  uint32_t head = 4;
  if (qvsd_attr_named(a)) {
    if (len < 6)
      return -1;
    uint32_t nlen = (uint32_t)a[4] << 8 | a[5];
    if (nlen == 0 || 6 + nlen + 1 > len || a[6 + nlen] != 0)
      return -1;
    head += name_part_for(nlen);
    if (head > len)
      return -1;
  } else if (need_name) {
    return -1;
  }
  uint32_t vlen = len - head;
  const uint8_t *v = a + head;
  switch (qvsd_attr_type(a)) {
  case QVSD_T_UNSPEC:
  case QVSD_T_RAW:
    return 0;
  case QVSD_T_ARRAY:
    return check_members(v, vlen, false, depth);
  case QVSD_T_TABLE:
    return check_members(v, vlen, true, depth);
  case QVSD_T_STRING:
    return vlen >= 1 && v[vlen - 1] == 0 ? 0 : -1;
  case QVSD_T_INT64:
    return vlen == 8 ? 0 : -1;
  case QVSD_T_INT32:
    return vlen == 4 ? 0 : -1;
  case QVSD_T_INT16:
    return vlen == 2 ? 0 : -1;
  case QVSD_T_INT8:
    return vlen == 1 ? 0 : -1;
  default:
    return -1;
  }
}

int cli_blobmsg_parse(const qvsd_policy *policy, int n, const void **slots, const void *members, uint32_t len)
{
  for (int i = 0; i < n; i++)
    slots[i] = nullptr;
  const uint8_t *p = static_cast<const uint8_t *>(members);
  uint32_t off = 0;
  while (off < len) {
    if (len - off < 4)
      break;
    const uint8_t *a = p + off;
    uint32_t plen = qvsd_attr_padlen(a);
    if (plen < 4 || plen > len - off)
      break;
    off += plen;
    /* The name length is read only where the member is long enough to have one; an unnamed or
     * shorter member matches no entry. */
    if (!qvsd_attr_named(a) || qvsd_attr_len(a) < 6)
      continue;
    uint32_t nlen = (uint32_t)a[4] << 8 | a[5];
    for (int i = 0; i < n; i++) {
      if (policy[i].type != QVSD_T_UNSPEC && policy[i].type != qvsd_attr_type(a))
        continue;
      if (strlen(policy[i].name) != nlen)
        continue;
      if (qvsd_attr_check(a, plen, true) < 0)
        return -1;
      if (!slots[i] && memcmp(a + 6, policy[i].name, nlen) == 0)
        slots[i] = a;
    }
  }
  for (int i = 0; i < 2 && i < n; i++)
    if (!slots[i]) {
      LOGV("ba[%d]=NULL error\n", i);
      return -1;
    }
  if (n >= 1 && qvsd_attr_i32(slots[0]) != 0)
    return 0;
  for (int i = 2; i < n; i++)
    if (!slots[i]) {
      LOGE("ba[%d]=NULL error\n", i);
      return -1;
    }
  return 0;
}

static int msg_reserve(qvsd_msg *m, uint32_t need)
{
  if (need <= m->cap)
    return 0;
  uint32_t cap = (need + 255) & ~255u;
  void *p = realloc(m->data, cap);
  if (!p)
    return -1;
  m->data = static_cast<uint8_t *>(p);
  m->cap = cap;
  return 0;
}

int qvsd_msg_reset(qvsd_msg *m)
{
  if (msg_reserve(m, 256) < 0)
    return -1;
  qvsd_put_be32(m->data, (uint32_t)QVSD_T_TABLE << 24 | 4);
  m->len = 4;
  return 0;
}

/* Appends a member's head and room for vlen value bytes; returns the offset of the value or -1.
 * With zero_value the value is zeroed; without it the caller writes all vlen bytes. The name part
 * and the padding after the value are zero either way. */
static int64_t msg_append(qvsd_msg *m, uint8_t type, const char *name, uint32_t vlen, bool zero_value)
{
  size_t nlen = strlen(name);
  if (m->len < 4 || nlen == 0 || nlen > 0xFFFF)
    return -1;
  uint32_t head = 4 + name_part_for((uint32_t)nlen);
  uint64_t alen = (uint64_t)head + vlen;
  uint64_t total = m->len + qvsd_pad4((uint32_t)(alen > 0xFFFFFFF0u ? 0xFFFFFFF0u : alen));
  if (alen > QVSD_ATTR_LEN_MAX || total > QVSD_ATTR_LEN_MAX)
    return -1;
  if (msg_reserve(m, (uint32_t)total) < 0)
    return -1;
  uint8_t *a = m->data + m->len;
  if (zero_value) {
    memset(a, 0, (size_t)(total - m->len));
  } else {
    memset(a, 0, head);
    memset(a + alen, 0, (size_t)(total - m->len - alen));
  }
  qvsd_put_be32(a, 0x80000000u | (uint32_t)type << 24 | (uint32_t)alen);
  a[4] = (uint8_t)(nlen >> 8);
  a[5] = (uint8_t)nlen;
  memcpy(a + 6, name, nlen);
  int64_t value_off = m->len + head;
  m->len = (uint32_t)total;
  qvsd_put_be32(m->data, (uint32_t)QVSD_T_TABLE << 24 | m->len);
  return value_off;
}

int qvsd_msg_add(qvsd_msg *m, uint8_t type, const char *name, const void *value, uint32_t vlen)
{
  int64_t off = msg_append(m, type, name, vlen, !value);
  if (off < 0)
    return -1;
  if (vlen && value)
    memcpy(m->data + off, value, vlen);
  return 0;
}

int qvsd_msg_add_i64(qvsd_msg *m, const char *name, int64_t v)
{
  uint8_t b[8];
  qvsd_put_be64(b, (uint64_t)v);
  return qvsd_msg_add(m, QVSD_T_INT64, name, b, 8);
}

int qvsd_msg_add_i32(qvsd_msg *m, const char *name, int32_t v)
{
  uint8_t b[4];
  qvsd_put_be32(b, (uint32_t)v);
  return qvsd_msg_add(m, QVSD_T_INT32, name, b, 4);
}

int qvsd_msg_add_str(qvsd_msg *m, const char *name, const char *s)
{
  if (!s)
    s = "";
  size_t n = strlen(s);
  if (n >= QVSD_ATTR_LEN_MAX)
    return -1;
  return qvsd_msg_add(m, QVSD_T_STRING, name, s, (uint32_t)n + 1);
}

int qvsd_msg_add_raw(qvsd_msg *m, const char *name, const void *p, uint32_t n)
{
  return qvsd_msg_add(m, QVSD_T_RAW, name, p, n);
}

int qvsd_msg_reserve_raw(qvsd_msg *m, const char *name, uint32_t max, void **value)
{
  uint32_t start = m->len;
  int64_t off = msg_append(m, QVSD_T_RAW, name, max, false);
  if (off < 0)
    return -1;
  *value = m->data + off;
  return (int)start;
}

int qvsd_msg_shrink_raw(qvsd_msg *m, int offset, uint32_t used)
{
  if (offset < 4 || (uint32_t)offset + 4 > m->len)
    return -1;
  uint8_t *a = m->data + offset;
  uint32_t plen = qvsd_attr_padlen(a);
  if ((uint32_t)offset + plen != m->len || qvsd_attr_type(a) != QVSD_T_RAW)
    return -1;
  uint32_t head = 4 + qvsd_attr_name_part(a);
  uint32_t vlen = qvsd_attr_len(a) - head;
  if (used > vlen)
    return -1;
  uint32_t alen = head + used;
  qvsd_put_be32(a, 0x80000000u | (uint32_t)QVSD_T_RAW << 24 | alen);
  uint32_t padded = qvsd_pad4(alen);
  memset(a + alen, 0, padded - alen); /* the padding after the cut value is zero on the wire */
  m->len = (uint32_t)offset + padded;
  qvsd_put_be32(m->data, (uint32_t)QVSD_T_TABLE << 24 | m->len);
  return 0;
}

void qvsd_msg_free(qvsd_msg *m)
{
  free(m->data);
  *m = qvsd_msg{};
}

void qvsd_frame_head(uint8_t out[QVSD_FRAME_HEAD], uint8_t proto, uint8_t cmd, const void *body)
{
  out[0] = QVSD_MAGIC0;
  out[1] = QVSD_MAGIC1;
  out[2] = proto;
  out[3] = cmd;
  memcpy(out + 4, body, 4);
}

uint32_t qvsd_frame_body_len(const uint8_t head[QVSD_FRAME_HEAD])
{
  uint32_t len = qvsd_attr_len(head + 4);
  return len < 4 ? 0 : qvsd_pad4(len);
}

uint64_t qvsd_version_parse(const char *text)
{
  if (!text || !*text)
    return 0;
  uint64_t parts[4] = {0, 0, 0, 0};
  int n = 0;
  const char *p = text;
  for (;;) {
    if (n == 4 || !isdigit((unsigned char)*p))
      return 0;
    uint64_t v = 0;
    while (isdigit((unsigned char)*p)) {
      v = v * 10 + (uint64_t)(*p - '0');
      if (v > 0xFFFF)
        return 0;
      p++;
    }
    parts[n++] = v;
    if (*p == 0)
      break;
    if (*p != '.')
      return 0;
    p++;
  }
  if (parts[0] == 0)
    return 0;
  return parts[0] << 48 | parts[1] << 32 | parts[2] << 16 | parts[3];
}

static void trim(const char *&b, const char *&e)
{
  while (b < e && isspace((unsigned char)*b))
    b++;
  while (e > b && isspace((unsigned char)e[-1]))
    e--;
}

int qvsd_info_get(const char *info, const char *key, char *out, size_t size)
{
  if (!info || !key || !out || size == 0)
    return -1;
  size_t klen = strlen(key);
  const char *line = info;
  while (*line) {
    const char *end = strchr(line, '\n');
    if (!end)
      end = line + strlen(line);
    const char *eq = static_cast<const char *>(memchr(line, '=', (size_t)(end - line)));
    if (eq) {
      const char *kb = line, *ke = eq;
      trim(kb, ke);
      if ((size_t)(ke - kb) == klen && memcmp(kb, key, klen) == 0) {
        const char *vb = eq + 1, *ve = end;
        trim(vb, ve);
        const char *open = static_cast<const char *>(memchr(vb, '[', (size_t)(ve - vb)));
        const char *close = nullptr;
        for (const char *q = ve; q > vb; q--)
          if (q[-1] == ']') {
            close = q - 1;
            break;
          }
        if (!open || !close || close < open)
          return -1;
        size_t n = (size_t)(close - open - 1);
        if (n + 1 > size)
          return -1;
        memcpy(out, open + 1, n);
        out[n] = 0;
        return 0;
      }
    }
    line = *end ? end + 1 : end;
  }
  return -1;
}
