#define LOG_TAG "sdcli"
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_escape.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

int result(qvsd_cli *c, int rc)
{
  if (rc == -1)
    return -1; /* refused by a gate; the error is set */
  qvsd_cli_set_last_error(c, rc);
  return rc == 0 ? 0 : -1;
}

void unlink_file(qvsd_file *f)
{
  auto &v = f->cli->files;
  v.erase(std::remove(v.begin(), v.end(), f), v.end());
  delete f;
}

} // namespace

int qvsd_attr_text(const file_attr *a, char *out, size_t size)
{
  int n = snprintf(out, size, "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", (int)a->type, a->attrib_mode, a->alt_mode,
                   (unsigned long long)a->time_create, (unsigned long long)a->time_write,
                   (unsigned long long)a->time_access, a->uid, a->gid);
  return n < 0 || (size_t)n >= size ? -1 : n;
}

qvsd_file *qvsd_cli_open(qvsd_cli *c, const char *path, int64_t flags)
{
  if (!c || !path)
    return nullptr;
  if (((flags & QVSD_O_NEEDS_167) && qvsd_cli_gate(c, "1.6.7") < 0) ||
      ((flags & QVSD_O_NEEDS_182) && qvsd_cli_gate(c, "1.8.2") < 0))
    return nullptr;
  std::string sent;
  if (flags & QVSD_O_NAME_LIST) {
    if (*path == 0) {
      result(c, QVSD_R_EMPTY_LIST);
      return nullptr;
    }
    if (str_escape_tab_zz_append(path, &sent) < 0) {
      result(c, QVSD_R_MEMORY);
      return nullptr;
    }
  } else {
    sent = path;
  }
  LOGV("%s mode=%d\n", (flags & QVSD_O_NAME_LIST) ? sent.c_str() : path, (int)flags);
  qvsd_file *f = new (std::nothrow) qvsd_file;
  if (!f) {
    result(c, QVSD_R_MEMORY);
    return nullptr;
  }
  f->cli = c;
  f->path = path;
  f->flags = flags;
  f->need_read_timeout = f->need_write_timeout = c->windows;
  f->want_digest = c->ver_value >= qvsd_version_parse(QVSD_VER_OWN_CODES);
  int rc = QVSD_R_MEMORY;
  const void *slots[3];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_str(&c->req, "path", sent.c_str()) == 0 &&
      qvsd_msg_add_i64(&c->req, "mode", flags) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_OPEN, qvsd_pol_fd, 3, slots, 0);
  if (result(c, rc) < 0) {
    delete f;
    return nullptr;
  }
  f->fd = qvsd_attr_i64(slots[2]);
  c->files.push_back(f);
  return f;
}

static int close_imp(qvsd_file *f, const file_attr *attr)
{
  qvsd_cli *c = f->cli;
  int rc = 0;
  if (c->conn.ops && !c->conn.closed) {
    if (attr) {
      char text[256];
      if (qvsd_attr_text(attr, text, sizeof text) < 0)
        rc = result(c, QVSD_R_MEMORY);
      else
        rc = qvsd_cli_ioctl(f, QVSD_IOCTL_CLOSE_ATTR, text, -1);
    } else {
      int r = QVSD_R_MEMORY;
      const void *slots[2];
      if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", f->fd) == 0)
        r = qvsd_exchange(c, QVSD_CMD_CLOSE, qvsd_pol_plain, 2, slots, 0);
      rc = result(c, r);
    }
  }
  unlink_file(f);
  return rc;
}

int qvsd_cli_close(qvsd_file *f)
{
  return f ? close_imp(f, nullptr) : -1;
}

int qvsd_cli_close_attr(qvsd_file *f, const file_attr *attr)
{
  return f ? close_imp(f, attr) : -1;
}

int64_t qvsd_cli_seek(qvsd_file *f, int64_t off, int whence)
{
  if (!f)
    return -1;
  qvsd_cli *c = f->cli;
  LOGV("offset=%" PRIu64 " mode=%d\n", (uint64_t)off, whence);
  int rc = QVSD_R_MEMORY;
  const void *slots[3];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", f->fd) == 0 &&
      qvsd_msg_add_i64(&c->req, "offset", off) == 0 && qvsd_msg_add_i64(&c->req, "mode", whence) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_SEEK, qvsd_pol_seek, 3, slots, 0);
  if (result(c, rc) < 0)
    return -1;
  f->pos = qvsd_attr_i64(slots[2]);
  return f->pos;
}

int qvsd_cli_set_len(qvsd_file *f, int64_t len)
{
  if (!f)
    return -1;
  qvsd_cli *c = f->cli;
  int rc = QVSD_R_MEMORY;
  const void *slots[2];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", f->fd) == 0 &&
      qvsd_msg_add_i64(&c->req, "len", len) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_SETLEN, qvsd_pol_plain, 2, slots, 0);
  if (result(c, rc) < 0)
    return -1;
  f->digest.clear(); /* what was written is no longer the whole file */
  f->digest_end = -1;
  return qvsd_cli_seek(f, 0, 1) < 0 ? -1 : 0;
}

/* The "digest" member of the reply just decoded, or null: a server that does not keep running
 * digests leaves it out, and the reply is good without it. */
static const char *reply_digest(const qvsd_cli *c)
{
  if (!c->rep || qvsd_attr_len(c->rep) < 4)
    return nullptr;
  const uint8_t *m = c->rep + 4;
  uint32_t len = qvsd_attr_len(c->rep) - 4, off = 0;
  while (off + 4 <= len) {
    const uint8_t *a = m + off;
    uint32_t plen = qvsd_attr_padlen(a), nl = 0;
    if (plen < 4 || plen > len - off)
      return nullptr;
    const char *name = qvsd_attr_name(a, &nl);
    if (qvsd_attr_type(a) == QVSD_T_STRING && nl == 6 && memcmp(name, "digest", 6) == 0)
      return qvsd_attr_check(a, len - off, true) < 0 ? nullptr : qvsd_attr_str(a);
    off += plen;
  }
  return nullptr;
}

/* The server's running digest after a transfer that ended at end ("" when it has none). */
static void keep_digest(qvsd_file *f, const char *hex, int64_t end)
{
  if (hex && *hex) {
    f->digest = hex;
    f->digest_end = end;
  } else {
    f->digest.clear();
    f->digest_end = -1;
  }
}

/* One read exchange: up to chunk bytes into dst; the count or a negative result code. */
static int64_t read_chunk(qvsd_file *f, void *dst, uint32_t chunk, bool positioned)
{
  qvsd_cli *c = f->cli;
  bool dg = f->want_digest && positioned;
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_i64(&c->req, "fd", f->fd) < 0 ||
      qvsd_msg_add_i32(&c->req, "len", (int32_t)chunk) < 0 ||
      (positioned && qvsd_msg_add_i64(&c->req, "offset", f->pos) < 0) ||
      (dg && qvsd_msg_add_i32(&c->req, "digest", 1) < 0))
    return -QVSD_R_MEMORY;
  const void *slots[5];
  int rc = qvsd_exchange(c, positioned ? QVSD_CMD_PREAD : QVSD_CMD_READ, qvsd_pol_read, 5, slots,
                         zcomp_bound(chunk) + QVSD_REPLY_OVERHEAD);
  if (rc)
    return rc == -1 ? -1 : -rc;
  uint32_t plen = qvsd_attr_data_len(slots[4]);
  int n = 0;
  if (plen > 0) {
    n = zcomp_decompress(&c->codec, qvsd_attr_data(slots[4]), (int)plen, dst, (int)chunk);
    if (n < 0) {
      LOGD("sdcomp_unpack pack_len=%d buf_len=%d ret=%d\n", (int)plen, (int)chunk, n);
      return -QVSD_R_UNPACK;
    }
  }
  if (dg)
    keep_digest(f, reply_digest(c), f->pos + n);
  return n;
}

static int64_t write_chunk(qvsd_file *f, const void *src, uint32_t chunk, bool positioned)
{
  qvsd_cli *c = f->cli;
  void *room = nullptr;
  int off = -1;
  bool dg = f->want_digest && positioned;
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_i64(&c->req, "fd", f->fd) < 0 ||
      qvsd_msg_add_i32(&c->req, "flags", 0) < 0 || qvsd_msg_add_i32(&c->req, "len", (int32_t)chunk) < 0 ||
      (positioned && qvsd_msg_add_i64(&c->req, "offset", f->pos) < 0) ||
      (dg && qvsd_msg_add_i32(&c->req, "digest", 1) < 0) ||
      (off = qvsd_msg_reserve_raw(&c->req, "data", zcomp_bound(chunk), &room)) < 0)
    return -QVSD_R_MEMORY;
  int n = 0;
  if (chunk > 0) {
    n = zcomp_compress(&c->codec, src, (int)chunk, room, (int)zcomp_bound(chunk));
    if (n <= 0)
      return -QVSD_R_UNPACK;
  }
  if (qvsd_msg_shrink_raw(&c->req, off, (uint32_t)n) < 0)
    return -QVSD_R_MEMORY;
  const void *slots[3];
  int rc = qvsd_exchange(c, positioned ? QVSD_CMD_PWRITE : QVSD_CMD_WRITE, qvsd_pol_len, 3, slots, 0);
  if (rc)
    return rc == -1 ? -1 : -rc;
  int32_t written = qvsd_attr_i32(slots[2]);
  if (dg)
    keep_digest(f, reply_digest(c), f->pos + written);
  return written;
}

static int64_t transfer(qvsd_file *f, void *rbuf, const void *wbuf, int64_t len, int64_t off)
{
  if (!f || len < 0)
    return -1;
  qvsd_cli *c = f->cli;
  bool reading = rbuf != nullptr;
  bool &need = reading ? f->need_read_timeout : f->need_write_timeout;
  if (need) {
    char ms[16];
    snprintf(ms, sizeof ms, "%d", reading ? c->read_timeout_ms - 1000 : c->write_timeout_ms);
    if (qvsd_cli_ioctl(f, reading ? QVSD_IOCTL_READ_TIMEOUT : QVSD_IOCTL_WRITE_TIMEOUT, ms, -1) < 0) {
      if (reading) {
        LOGW("warn: set_read_timeout %s\n", qvsd_cli_last_errstr(c));
        return -1;
      }
      LOGW("warn: set_write_timeout %s\n", qvsd_cli_last_errstr(c));
    }
    need = false;
  }
  bool positioned = false;
  if (off >= 0) {
    if (!c->ver_164 && qvsd_cli_seek(f, off, 0) < 0)
      return -1;
    f->pos = off;
    positioned = c->ver_164;
  }
  int64_t total = 0, left = len;
  do {
    uint32_t chunk = (uint32_t)std::min<int64_t>(left, c->block_size);
    int64_t n = reading ? read_chunk(f, static_cast<char *>(rbuf) + total, chunk, positioned)
                        : write_chunk(f, static_cast<const char *>(wbuf) + total, chunk, positioned);
    if (n < 0)
      return result(c, n == -1 ? -1 : (int)-n);
    total += n;
    f->pos += n;
    left -= chunk;
    if (n < chunk)
      break;
  } while (left > 0);
  qvsd_cli_set_last_error(c, 0);
  return total;
}

int64_t qvsd_cli_read(qvsd_file *f, void *buf, int64_t len, int64_t off)
{
  return buf ? transfer(f, buf, nullptr, len, off) : -1;
}

int64_t qvsd_cli_write(qvsd_file *f, const void *buf, int64_t len, int64_t off)
{
  return buf || len == 0 ? transfer(f, nullptr, buf ? buf : "", len, off) : -1;
}

int qvsd_cli_statfs(qvsd_cli *c, const char *path, qvsd_statfs *out)
{
  if (!c || !path || !out)
    return -1;
  int rc = QVSD_R_MEMORY;
  const void *slots[9];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_str(&c->req, "path", path) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_STATFS, qvsd_pol_statfs, 9, slots, 0);
  if (result(c, rc) < 0)
    return -1;
  out->flags = (uint32_t)qvsd_attr_i32(slots[2]);
  out->name_len = (uint32_t)qvsd_attr_i32(slots[3]);
  out->avail_bytes = (uint64_t)qvsd_attr_i64(slots[4]);
  out->free_bytes = (uint64_t)qvsd_attr_i64(slots[5]);
  out->total_bytes = (uint64_t)qvsd_attr_i64(slots[6]);
  snprintf(out->fs_name, sizeof out->fs_name, "%s", qvsd_attr_str(slots[7]));
  snprintf(out->vol_name, sizeof out->vol_name, "%s", qvsd_attr_str(slots[8]));
  return 0;
}
