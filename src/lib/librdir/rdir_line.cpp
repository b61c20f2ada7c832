#define LOG_TAG "cdir"
#include "librdir/rdir_line.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"
#include "libpal/string/pl_base64.h"
#include "libpal/string/pl_escape.h"
#include "libpal/string/pl_scanf.h"

namespace {

bool is_line_safe(const char *s)
{
  return s && !strpbrk(s, "\t\n");
}

/* Runs fill on out and undoes a partial append when it fails or memory runs out. */
template <typename Fill> int append_guarded(std::string *out, Fill fill)
{
  if (!out)
    return VERR_PARAM;
  size_t old = out->size();
  try {
    int rc = fill();
    if (rc < 0) {
      out->resize(old);
      return rc;
    }
  } catch (const std::bad_alloc &) {
    out->resize(old);
    return VERR_NOMEM;
  }
  return static_cast<int>(out->size() - old);
}

/* Number writers for the fields of a listing line: the same digits as printf's %x and %lld, without
 * its format parsing, which is most of the cost of a line. Each returns the end of what it wrote. */
char *put_hex(char *p, uint64_t v)
{
  char tmp[16];
  int n = 0;
  do {
    tmp[n++] = "0123456789abcdef"[v & 15];
    v >>= 4;
  } while (v);
  while (n)
    *p++ = tmp[--n];
  return p;
}

char *put_udec(char *p, uint64_t v)
{
  char tmp[20];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  while (n)
    *p++ = tmp[--n];
  return p;
}

char *put_sdec(char *p, int64_t v)
{
  if (v >= 0)
    return put_udec(p, static_cast<uint64_t>(v));
  *p++ = '-';
  return put_udec(p, 0 - static_cast<uint64_t>(v));
}

int dirent_line_imp(const os_dirent *d, const char *prefix, std::string *out)
{
  if (!d)
    return VERR_PARAM;
  size_t nl = strnlen(d->name, sizeof d->name);
  size_t ll = strnlen(d->link_name, sizeof d->link_name);
  if (nl == sizeof d->name || ll == sizeof d->link_name)
    return VERR_PARAM;
  return append_guarded(out, [&]() -> int {
    out->append(prefix);
    if (str_escape_tab_append(d->name, nl, out) < 0)
      return VERR_NOMEM;
    out->push_back('\t');
    if (str_escape_tab_append(d->link_name, ll, out) < 0)
      return VERR_NOMEM;
    /* 13 numbers of at most 20 characters, each behind a TAB, and the TAB before the streams */
    char mid[13 * 21 + 2];
    char *p = mid;
    *p++ = '\t';
    p = put_hex(p, d->type);
    *p++ = '\t';
    p = put_hex(p, d->attrib_mode);
    *p++ = '\t';
    p = put_hex(p, alt_mode_default(d->type));
    *p++ = '\t';
    p = put_sdec(p, d->size);
    *p++ = '\t';
    p = put_hex(p, static_cast<uint64_t>(d->time_create));
    *p++ = '\t';
    p = put_hex(p, static_cast<uint64_t>(d->time_write));
    *p++ = '\t';
    p = put_hex(p, static_cast<uint64_t>(d->time_access));
    *p++ = '\t';
    p = put_udec(p, d->uid);
    *p++ = '\t';
    p = put_udec(p, d->gid);
    *p++ = '\t';
    p = put_sdec(p, static_cast<int64_t>(d->st_nlink));
    *p++ = '\t';
    p = put_hex(p, d->file_id_ext);
    *p++ = '\t';
    p = put_hex(p, d->st_ino);
    *p++ = '\t';
    p = put_hex(p, d->st_dev);
    *p++ = '\t';
    out->append(mid, static_cast<size_t>(p - mid));
    if (str_escape_tab_append(d->streams.data(), d->streams.size(), out) < 0)
      return VERR_NOMEM;
    out->push_back('\n');
    return 0;
  });
}

void attr_fields(const file_attr *a, char *buf, size_t size)
{
  snprintf(buf, size, "%x\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", a->type, a->attrib_mode, a->alt_mode,
           static_cast<unsigned long long>(a->time_create), static_cast<unsigned long long>(a->time_write),
           static_cast<unsigned long long>(a->time_access), a->uid, a->gid);
}

uint32_t be32_get(const uint8_t *p)
{
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void be32_put(uint8_t *p, uint32_t v)
{
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

} // namespace

uint32_t alt_mode_default(uint32_t type)
{
  if (!(type & TYPE_F_NOMODE))
    return 0x80;
  return os_type_kind(type) == TYPE_DIR ? 0755 : 0644;
}

int dirent_to_line(const os_dirent *d, std::string *out)
{
  return dirent_line_imp(d, "", out);
}

int dirent_to_line2(const os_dirent *d, std::string *out)
{
  if (!d)
    return VERR_PARAM;
  return dirent_line_imp(d, os_type_kind(d->type) == TYPE_DIR ? "D " : "F ", out);
}

int mstat_dir_line(const char *name, const file_attr *a, std::string *out)
{
  if (!a || !is_line_safe(name))
    return VERR_PARAM;
  return append_guarded(out, [&]() -> int {
    char f[200];
    attr_fields(a, f, sizeof f);
    out->append(name).append("\t").append(f);
    return 0;
  });
}

int libmfile_dir_scanf(char *line, char **name, file_attr *a)
{
  if (!line || !name || !a)
    return -1;
  file_attr t;
  int ret = str_scanf_sep_val(line, '\t', RDIR_DIR_LINE_SIG, name, &t.type, &t.attrib_mode, &t.alt_mode,
                              &t.time_create, &t.time_write, &t.time_access, &t.uid, &t.gid);
  if (ret != 9) {
    LOGE("ret=%d error: ret!=9", ret);
    return -1;
  }
  t.link_name = nullptr;
  *a = t;
  return 0;
}

int mstat_write_line(const char *name, const file_attr *a, const char *b64, std::string *out)
{
  if (!a || !is_line_safe(name))
    return VERR_PARAM;
  const char *link = a->link_name ? a->link_name : "";
  if (!b64)
    b64 = "";
  if (!is_line_safe(link) || !is_line_safe(b64))
    return VERR_PARAM;
  return append_guarded(out, [&]() -> int {
    char f[200];
    attr_fields(a, f, sizeof f);
    out->append(name).append("\t").append(link).append("\t").append(f).append("\t").append(b64);
    return 0;
  });
}

int libmfile_write_scanf(char *line, char **name, file_attr *a, char **b64)
{
  if (!line || !name || !a || !b64)
    return -1;
  file_attr t;
  char *link = nullptr;
  int ret = str_scanf_sep_val(line, '\t', RDIR_WRITE_LINE_SIG, name, &link, &t.type, &t.attrib_mode, &t.alt_mode,
                              &t.time_create, &t.time_write, &t.time_access, &t.uid, &t.gid, b64);
  if (ret != 11) {
    LOGE("ret=%d error: ret!=11", ret);
    return -1;
  }
  t.link_name = link && *link ? link : nullptr;
  *a = t;
  return 0;
}

int libmfile_write_result_line(int stage, int value, std::string *out, const uint8_t *digest)
{
  return append_guarded(out, [&]() -> int {
    char b[32 + 2 * MFILE_DIGEST_LEN];
    int n = snprintf(b, sizeof b, "%d\t%d", stage, value);
    if (digest) {
      b[n++] = '\t';
      n += str_hex_encode(digest, MFILE_DIGEST_LEN, b + n, sizeof b - static_cast<size_t>(n));
    }
    b[n++] = '\n';
    out->append(b, static_cast<size_t>(n));
    return 0;
  });
}

int libmfile_write_get_info(char *text, int *stage, int *value, uint8_t *digest, bool *has_digest)
{
  if (!text || !stage || !value || (has_digest && !digest))
    return -1;
  char *nl = strchr(text, '\n');
  size_t consumed;
  if (nl) {
    *nl = '\0';
    consumed = static_cast<size_t>(nl - text) + 1;
  } else {
    consumed = strlen(text) + 1;
  }
  if (consumed > INT32_MAX)
    return -1;
  /* The digest field, when there is one, is read apart: the two numbers come first. */
  char *third = nullptr;
  if (char *t1 = strchr(text, '\t')) {
    if (char *t2 = strchr(t1 + 1, '\t')) {
      *t2 = '\0';
      third = t2 + 1;
    }
  }
  int32_t s = 0, v = 0;
  int ret = str_scanf_sep_val(text, '\t', "int|int", &s, &v);
  if (ret != 2) {
    LOGE("ret=%d error: ret!=2", ret);
    return -1;
  }
  if (has_digest)
    *has_digest = false;
  if (third) {
    uint8_t d[MFILE_DIGEST_LEN];
    if (strlen(third) != 2 * MFILE_DIGEST_LEN || str_hex_decode(third, 2 * MFILE_DIGEST_LEN, d, sizeof d) < 0) {
      LOGE("write result: bad digest field");
      return -1;
    }
    if (has_digest) {
      memcpy(digest, d, sizeof d);
      *has_digest = true;
    }
  }
  *stage = s;
  *value = v;
  return static_cast<int>(consumed);
}

int libmfile_read_set_data_len_err(uint8_t *hdr, uint32_t dlen, int flag)
{
  if (!chk_assert(hdr != nullptr) || !chk_assert(dlen <= RDIR_MAX_MLEN))
    return -1;
  if (!chk_assert(flag >= MFILE_DATA_OK && flag <= MFILE_DATA_READ_ERR) ||
      !chk_assert(flag == MFILE_DATA_OK || dlen == 4))
    return -1;
  be32_put(hdr, dlen);
  if (flag == MFILE_DATA_OPEN_ERR)
    hdr[0] |= MFILE_F_OPEN_ERR;
  else if (flag == MFILE_DATA_READ_ERR)
    hdr[0] |= MFILE_F_READ_ERR;
  return 0;
}

int libmfile_read_set_err_block(uint8_t *blk, int flag, int code)
{
  if (!chk_assert(flag != MFILE_DATA_OK) || libmfile_read_set_data_len_err(blk, 4, flag) < 0)
    return -1;
  be32_put(blk + 4, static_cast<uint32_t>(code));
  return 0;
}

int libmfile_read_get_data_len_err(uint8_t *buf, size_t avail, size_t *consumed, mfile_data *out)
{
  if (!buf || !consumed || !out)
    return VERR_PARAM;
  if (avail < MFILE_DATA_HDR_SIZE) {
    LOGE("data block header: %zu bytes left, 4 needed", avail);
    return VERR_PROTO;
  }
  uint8_t flags = buf[0] & (MFILE_F_OPEN_ERR | MFILE_F_READ_ERR);
  uint32_t len = be32_get(buf) & RDIR_MAX_MLEN;
  if (flags) {
    if (len != 4 || avail < 8) {
      LOGE("data block flags=0x%x len=%u avail=%zu error: a flagged block holds a 4-byte code", flags, len,
           avail);
      return VERR_PROTO;
    }
    out->flags = flags;
    out->len = len;
    out->code = static_cast<int>(be32_get(buf + 4));
    out->data.clear();
    buf[0] &= static_cast<uint8_t>(~(MFILE_F_OPEN_ERR | MFILE_F_READ_ERR));
    *consumed = 8;
    return 0;
  }
  if (avail - MFILE_DATA_HDR_SIZE < len) {
    LOGE("data block len=%u avail=%zu error: data len beyond the reply", len, avail);
    return VERR_PROTO;
  }
  try {
    out->data.assign(buf + MFILE_DATA_HDR_SIZE, buf + MFILE_DATA_HDR_SIZE + len);
  } catch (const std::bad_alloc &) {
    return VERR_NOMEM;
  }
  out->flags = 0;
  out->len = len;
  out->code = 0;
  *consumed = MFILE_DATA_HDR_SIZE + len;
  return 0;
}
