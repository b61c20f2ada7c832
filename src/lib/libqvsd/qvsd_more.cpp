#define LOG_TAG "sdcli"
/* Named client operations of the commands and carrier codes the copy engine does not use: each
 * builds its members or argument text, runs one exchange and converts the reply. */
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mbedtls/arc4.h>

#include "liblog/log2.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_base64.h"
#include "libpal/string/pl_escape.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

constexpr int TEXT_MAX = 64 * 1024;
/* ioctl2 codes that have no name in the code table. */
constexpr int32_t IOCTL2_COUNTERS = 10001;
constexpr int32_t IOCTL2_BCOUNT_GET = 10107;
constexpr int32_t IOCTL2_HASH_10109 = 10109;
/* Largest plain length of one pre-compressed read: its reply must fit one frame. */
constexpr uint32_t PACKED_READ_MAX = 4u << 20;
constexpr int VSS_REPLY_MAX = 4096;
constexpr uint32_t HASH_BITS_OLD = 1023; /* what servers before "1.6.3" use */
constexpr int STAT_SLOTS = (int)(sizeof qvsd_pol_stat / sizeof qvsd_pol_stat[0]);

int result(qvsd_cli *c, int rc)
{
  if (rc == -1)
    return -1; /* a gate refused it; the error is set */
  qvsd_cli_set_last_error(c, rc);
  return rc == 0 ? 0 : -1;
}

int fail(qvsd_cli *c, int code, const char *text)
{
  VPERROR_SET(c->err, code, "%s", text);
  return -1;
}

bool add_text(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
bool add_text(std::string *out, const char *fmt, ...)
{
  char buf[128];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0 || (size_t)n >= sizeof buf)
    return false;
  out->append(buf, (size_t)n);
  return true;
}

bool add_escaped(std::string *out, const char *text)
{
  return str_escape_tab_append(text, strlen(text), out) >= 0;
}

/* A field that travels as it stands must not split the argument. */
bool plain_field(const char *s)
{
  return strpbrk(s, "\t\n") == nullptr;
}

/* Drops what servers put after a text value (a NUL, a line end). */
void trim_end(std::string *s)
{
  while (!s->empty() && (s->back() == '\0' || s->back() == '\n' || s->back() == '\r'))
    s->pop_back();
}

/* A whole decimal or hexadecimal number (digits only, no sign or blank); false for anything else. */
bool parse_u64(const std::string &s, int base, uint64_t *out)
{
  if (s.empty() || s.size() > 20)
    return false;
  for (char ch : s)
    if (base == 16 ? !isxdigit((unsigned char)ch) : !isdigit((unsigned char)ch))
      return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s.c_str(), &end, base);
  if (*end || errno)
    return false;
  *out = v;
  return true;
}

/* An ioctl2 whose reply is text of at most max bytes. */
int text_call(void *h, int32_t code, const char *arg, int len, std::string *out, int max = TEXT_MAX)
{
  const void *data = nullptr;
  int n = 0;
  if (qvsd_cli_ioctl2_ptr(h, code, arg, len, &data, max, &n) < 0)
    return -1;
  out->assign(static_cast<const char *>(data), (size_t)n);
  return 0;
}

int bad_reply(qvsd_cli *c, const char *what, const std::string &text)
{
  LOGE("%s: reply [%.64s] does not parse\n", what, text.c_str());
  return result(c, QVSD_R_DATA);
}

int stat_by_path(qvsd_cli *c, uint8_t cmd, const char *path, os_dirent *d)
{
  if (!c || !path || !d)
    return -1;
  bool full = c->ver_153;
  const void *s[STAT_SLOTS];
  int rc = QVSD_R_MEMORY;
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_str(&c->req, "path", path) == 0)
    rc = qvsd_exchange(c, cmd, qvsd_pol_stat, full ? STAT_SLOTS : QVSD_POL_STAT_SHORT, s, 0);
  if (result(c, rc) < 0)
    return -1;
  qvsd_status_reply(s, full, d);
  return 0;
}

/* A new file handle for descriptor fd, joined to the context's list. */
qvsd_file *new_handle(qvsd_cli *c, const char *path, int64_t flags, int64_t fd)
{
  qvsd_file *f = new (std::nothrow) qvsd_file;
  if (!f)
    return nullptr;
  f->cli = c;
  f->path = path;
  f->flags = flags;
  f->fd = fd;
  f->need_read_timeout = f->need_write_timeout = c->windows;
  c->files.push_back(f);
  return f;
}

/* The per-handle timeout a Windows server needs before the first transfer of a handle. A failed
 * read timeout fails the read; a failed write timeout is only reported. */
int first_transfer(qvsd_file *f, bool reading)
{
  qvsd_cli *c = f->cli;
  bool &need = reading ? f->need_read_timeout : f->need_write_timeout;
  if (!need)
    return 0;
  int rc = reading ? qvsd_cli_set_read_timeout(f, c->read_timeout_ms - 1000)
                   : qvsd_cli_set_write_timeout(f, c->write_timeout_ms);
  if (rc < 0) {
    if (reading) {
      LOGW("warn: set_read_timeout %s\n", qvsd_cli_last_errstr(c));
      return -1;
    }
    LOGW("warn: set_write_timeout %s\n", qvsd_cli_last_errstr(c));
  }
  need = false;
  return 0;
}

/* Moves to off for a transfer: *positioned tells whether the request carries the offset. */
int place(qvsd_file *f, int64_t off, bool *positioned)
{
  *positioned = false;
  if (off < 0)
    return 0;
  if (!f->cli->ver_164 && qvsd_cli_seek(f, off, 0) < 0)
    return -1;
  f->pos = off;
  *positioned = f->cli->ver_164;
  return 0;
}

bool is_file(const void *h)
{
  return h && *static_cast<const uint32_t *>(h) == QVSD_KIND_FILE;
}

} // namespace

/* ---- commands ---- */

int qvsd_cli_lsblk(qvsd_cli *c, std::string *out)
{
  if (!c || !out)
    return -1;
  const void *s[3];
  int rc = QVSD_R_MEMORY;
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_str(&c->req, "param", "") == 0)
    rc = qvsd_exchange(c, QVSD_CMD_LSBLK, qvsd_pol_lsblk, 3, s, 0);
  if (result(c, rc) < 0)
    return -1;
  out->assign(qvsd_attr_str(s[2]));
  return 0;
}

int64_t qvsd_cli_write_named(qvsd_cli *c, const char *path, const char *name, int32_t flags, const void *buf,
                             uint32_t len)
{
  if (!c || !path || !name || (!buf && len))
    return -1;
  if (len > QVSD_BS_FAST)
    return fail(c, VERR_PARAM, "named data above one block");
  void *room = nullptr;
  int off = -1;
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_str(&c->req, "path", path) < 0 ||
      qvsd_msg_add_str(&c->req, "name", name) < 0 || qvsd_msg_add_i32(&c->req, "flags", flags) < 0 ||
      qvsd_msg_add_i32(&c->req, "len", (int32_t)len) < 0 ||
      (off = qvsd_msg_reserve_raw(&c->req, "data", zcomp_bound(len), &room)) < 0)
    return result(c, QVSD_R_MEMORY);
  int n = 0;
  if (len > 0 && (n = zcomp_compress(&c->codec, buf, (int)len, room, (int)zcomp_bound(len))) <= 0)
    return result(c, QVSD_R_UNPACK);
  if (qvsd_msg_shrink_raw(&c->req, off, (uint32_t)n) < 0)
    return result(c, QVSD_R_MEMORY);
  const void *s[3];
  if (result(c, qvsd_exchange(c, QVSD_CMD_WRITE_NAMED, qvsd_pol_len, 3, s, 0)) < 0)
    return -1;
  return qvsd_attr_i32(s[2]);
}

int qvsd_cli_fd(void *h)
{
  int64_t fd = 0;
  qvsd_cli *c = cli_get_ctx(h, &fd);
  if (!c)
    return -1;
  const void *s[2];
  int rc = QVSD_R_MEMORY;
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", fd) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_FD, qvsd_pol_plain, 2, s, 0);
  return result(c, rc);
}

int qvsd_cli_fdinfo(void *h, qvsd_fdinfo *out)
{
  int64_t fd = 0;
  qvsd_cli *c = cli_get_ctx(h, &fd);
  if (!c || !out)
    return -1;
  const void *s[7];
  int rc = QVSD_R_MEMORY;
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", fd) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_FDINFO, qvsd_pol_fdinfo, 7, s, 0);
  if (result(c, rc) < 0)
    return -1;
  out->type = qvsd_attr_i32(s[2]);
  out->len = qvsd_attr_i64(s[3]);
  out->offset = qvsd_attr_i64(s[4]);
  out->sector_bytes = qvsd_attr_i32(s[5]);
  snprintf(out->info, sizeof out->info, "%s", qvsd_attr_str(s[6]));
  return 0;
}

int qvsd_cli_futime(qvsd_file *f, const qvsd_times *t)
{
  if (!f || !t)
    return -1;
  qvsd_cli *c = f->cli;
  bool full = c->ver_153;
  int rc = QVSD_R_MEMORY;
  const void *s[2];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", f->fd) == 0 &&
      qvsd_msg_add_i64(&c->req, "time_access", t->access) == 0 &&
      qvsd_msg_add_i64(&c->req, "time_write", t->write) == 0 &&
      qvsd_msg_add_i64(&c->req, "time_create", t->create) == 0 &&
      (!full || (qvsd_msg_add_i32(&c->req, "time_access_ns", (int32_t)t->access_ns) == 0 &&
                 qvsd_msg_add_i32(&c->req, "time_write_ns", (int32_t)t->write_ns) == 0 &&
                 qvsd_msg_add_i32(&c->req, "time_create_ns", (int32_t)t->create_ns) == 0)))
    rc = qvsd_exchange(c, full ? QVSD_CMD_FUTIME_L : QVSD_CMD_FUTIME, qvsd_pol_plain, 2, s, 0);
  return result(c, rc);
}

int qvsd_cli_range(qvsd_file *f, int32_t type, int64_t offset, int64_t len)
{
  if (!f)
    return -1;
  qvsd_cli *c = f->cli;
  int rc = QVSD_R_MEMORY;
  const void *s[2];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", f->fd) == 0 &&
      qvsd_msg_add_i32(&c->req, "type", type) == 0 && qvsd_msg_add_i64(&c->req, "offset", offset) == 0 &&
      qvsd_msg_add_i64(&c->req, "len", len) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_RANGE, qvsd_pol_plain, 2, s, 0);
  return result(c, rc);
}

qvsd_file *qvsd_cli_open_win(qvsd_cli *c, const char *path, const qvsd_win_open *w)
{
  if (!c || !path || !w)
    return nullptr;
  LOGV("%s access=%x disp=%d\n", path, (unsigned)w->desire_access, (int)w->creat_disp);
  int rc = QVSD_R_MEMORY;
  const void *s[3];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_str(&c->req, "path", path) == 0 &&
      qvsd_msg_add_i32(&c->req, "desire_access", w->desire_access) == 0 &&
      qvsd_msg_add_i32(&c->req, "share_mode", w->share_mode) == 0 &&
      qvsd_msg_add_str(&c->req, "sec_attrib", "") == 0 &&
      qvsd_msg_add_i32(&c->req, "creat_disp", w->creat_disp) == 0 &&
      qvsd_msg_add_i32(&c->req, "flag_attrib", w->flag_attrib) == 0 &&
      qvsd_msg_add_i64(&c->req, "temp_handle", w->temp_handle) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_OPEN_WIN, qvsd_pol_fd, 3, s, 0);
  if (result(c, rc) < 0)
    return nullptr;
  qvsd_file *f = new_handle(c, path, 0, qvsd_attr_i64(s[2]));
  if (!f)
    result(c, QVSD_R_MEMORY); /* the descriptor stays open on the server until exit */
  return f;
}

qvsd_file *qvsd_cli_open2(qvsd_cli *c, const char *path, int32_t flag, int32_t mode)
{
  if (!c || !path)
    return nullptr;
  LOGV("%s flag=%x mode=%o\n", path, (unsigned)flag, (unsigned)mode);
  int rc = QVSD_R_MEMORY;
  const void *s[3];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_str(&c->req, "path", path) == 0 &&
      qvsd_msg_add_i32(&c->req, "flag", flag) == 0 && qvsd_msg_add_i32(&c->req, "mode", mode) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_OPEN2, qvsd_pol_fd, 3, s, 0);
  if (result(c, rc) < 0)
    return nullptr;
  qvsd_file *f = new_handle(c, path, flag, qvsd_attr_i64(s[2]));
  if (!f)
    result(c, QVSD_R_MEMORY);
  return f;
}

int qvsd_cli_stat_cmd(qvsd_cli *c, const char *path, os_dirent *d)
{
  return stat_by_path(c, c && c->ver_153 ? QVSD_CMD_STAT_L : QVSD_CMD_STAT, path, d);
}

int qvsd_cli_stat2(qvsd_cli *c, const char *path, os_dirent *d)
{
  return stat_by_path(c, QVSD_CMD_STAT2, path, d);
}

int64_t qvsd_cli_pwritex(qvsd_file *f, int64_t off, uint32_t len, int32_t mode)
{
  if (!f)
    return -1;
  qvsd_cli *c = f->cli;
  if (qvsd_cli_gate(c, "1.5.2") < 0)
    return -1;
  if (c->ver_value >= qvsd_version_parse("1.6.2")) {
    std::string arg, rep;
    if (!add_text(&arg, "%lld\t%u", (long long)off, len))
      return result(c, QVSD_R_MEMORY);
    if (text_call(f, QVSD_IOCTL2_PWRITEX, arg.c_str(), -1, &rep, 64) < 0)
      return -1;
    trim_end(&rep);
    uint64_t n = 0;
    if (!parse_u64(rep, 10, &n) || n > len)
      return bad_reply(c, "pwritex", rep);
    return (int64_t)n;
  }
  int rc = QVSD_R_MEMORY;
  const void *s[3];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", f->fd) == 0 &&
      qvsd_msg_add_i32(&c->req, "mode", mode) == 0 && qvsd_msg_add_i32(&c->req, "len", (int32_t)len) == 0 &&
      qvsd_msg_add_i64(&c->req, "offset", off) == 0)
    rc = qvsd_exchange(c, QVSD_CMD_PWRITEX_OLD, qvsd_pol_len, 3, s, 0);
  if (result(c, rc) < 0)
    return -1;
  return qvsd_attr_i32(s[2]);
}

int64_t qvsd_cli_read_packed(qvsd_file *f, uint32_t len, int64_t off, void *buf, size_t size, uint32_t *plain)
{
  if (!f || !buf || !plain)
    return -1;
  qvsd_cli *c = f->cli;
  if (len > PACKED_READ_MAX)
    return fail(c, VERR_PARAM, "packed read too long");
  bool positioned = false;
  if (first_transfer(f, true) < 0 || place(f, off, &positioned) < 0)
    return -1;
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_i64(&c->req, "fd", f->fd) < 0 ||
      qvsd_msg_add_i32(&c->req, "len", (int32_t)len) < 0 ||
      (positioned && qvsd_msg_add_i64(&c->req, "offset", f->pos) < 0))
    return result(c, QVSD_R_MEMORY);
  const void *s[5];
  /* Room for a reply up to twice the plain length, so that a larger one is seen as a bad payload
   * rather than a broken frame. */
  int rc = qvsd_exchange(c, positioned ? QVSD_CMD_PREAD : QVSD_CMD_READ, qvsd_pol_read, 5, s,
                         4 * len + 2 * QVSD_REPLY_OVERHEAD);
  if (result(c, rc) < 0)
    return -1;
  uint32_t packed = qvsd_attr_data_len(s[4]);
  int32_t n = qvsd_attr_i32(s[2]);
  if ((uint64_t)packed > 2ull * len) {
    LOGD("pack_len=%u > 2*len=%u\n", packed, 2 * len);
    return result(c, QVSD_R_UNPACK);
  }
  if (n < 0 || (uint32_t)n > len)
    return bad_reply(c, "read_packed", std::to_string(n));
  if (packed > size)
    return fail(c, VERR_OVERFLOW, "packed reply larger than the buffer");
  memcpy(buf, qvsd_attr_data(s[4]), packed);
  *plain = (uint32_t)n;
  f->pos += n;
  return packed;
}

int64_t qvsd_cli_write_packed(qvsd_file *f, const void *packed, uint32_t packed_len, uint32_t plain_len, int64_t off)
{
  if (!f || (!packed && packed_len))
    return -1;
  qvsd_cli *c = f->cli;
  if (plain_len > (uint32_t)INT32_MAX)
    return fail(c, VERR_PARAM, "packed write too long");
  bool positioned = false;
  if (first_transfer(f, false) < 0 || place(f, off, &positioned) < 0)
    return -1;
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_i64(&c->req, "fd", f->fd) < 0 ||
      qvsd_msg_add_i32(&c->req, "flags", 0) < 0 || qvsd_msg_add_i32(&c->req, "len", (int32_t)plain_len) < 0 ||
      (positioned && qvsd_msg_add_i64(&c->req, "offset", f->pos) < 0) ||
      qvsd_msg_add_raw(&c->req, "data", packed, packed_len) < 0)
    return result(c, QVSD_R_MEMORY);
  const void *s[3];
  if (result(c, qvsd_exchange(c, positioned ? QVSD_CMD_PWRITE : QVSD_CMD_WRITE, qvsd_pol_len, 3, s, 0)) < 0)
    return -1;
  int32_t n = qvsd_attr_i32(s[2]);
  f->pos += n;
  return n;
}

/* ---- file ioctl ---- */

int qvsd_cli_err_class(const void *h)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  if (!c)
    return -1;
  int32_t e = c->srv_errno;
  if (e == 0)
    return 0;
  if (c->os_type == 1) {
    if (e == 2 || e == 55)
      return 2;
    return e == 23 || e == 1117 ? 1 : 3;
  }
  if (e == 6)
    return 2;
  return e == 5 ? 1 : 3;
}

int qvsd_cli_file_ioctl(void *h, int32_t code, void *arg, int len)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  if (!c)
    return -1;
  auto needs = [&](size_t size, bool file) {
    if (!arg || len != (int)size)
      return fail(c, VERR_PARAM, "file ioctl argument of the wrong size"), false;
    if (file && !is_file(h))
      return fail(c, VERR_HANDLE, "file ioctl needs a file handle"), false;
    return true;
  };
  switch (code) {
  case QVSD_IOCTL_FDINFO:
    return needs(sizeof(qvsd_fdinfo), false) ? qvsd_cli_fdinfo(h, static_cast<qvsd_fdinfo *>(arg)) : -1;
  case QVSD_IOCTL_ERR_CLASS:
    return qvsd_cli_err_class(h);
  case QVSD_IOCTL_FSTAT:
    return needs(sizeof(os_dirent), true)
               ? qvsd_cli_fstat(static_cast<qvsd_file *>(h), static_cast<os_dirent *>(arg))
               : -1;
  case QVSD_IOCTL_FUTIME:
    return needs(sizeof(qvsd_times), true)
               ? qvsd_cli_futime(static_cast<qvsd_file *>(h), static_cast<const qvsd_times *>(arg))
               : -1;
  case QVSD_IOCTL_RANGE: {
    if (!needs(sizeof(qvsd_range), true))
      return -1;
    const qvsd_range *r = static_cast<const qvsd_range *>(arg);
    return qvsd_cli_range(static_cast<qvsd_file *>(h), r->type, r->offset, r->len);
  }
  default:
    return qvsd_cli_ioctl(h, code, arg, len);
  }
}

int qvsd_cli_set_pack(qvsd_cli *c, const char *name)
{
  if (!c || !name)
    return -1;
  if (!*name || strlen(name) > ZCOMP_NAME_MAX)
    return fail(c, VERR_PARAM, "compression name empty or too long");
  return qvsd_cli_ioctl(c, QVSD_IOCTL_PACK, name, -1);
}

int qvsd_cli_utime(qvsd_cli *c, const char *path, const qvsd_times *t)
{
  if (!c || !path || !t)
    return -1;
  std::string arg;
  if (!add_escaped(&arg, path) ||
      !add_text(&arg, "\t%lu\t%lu\t%lu\t%u\t%u\t%u", (unsigned long)t->access, (unsigned long)t->write,
                (unsigned long)t->create, t->access_ns, t->write_ns, t->create_ns))
    return result(c, QVSD_R_MEMORY);
  return qvsd_cli_ioctl(c, QVSD_IOCTL_UTIME, arg.c_str(), -1);
}

int qvsd_cli_set_attr(qvsd_file *f, const file_attr *attr)
{
  if (!f || !attr)
    return -1;
  char text[256];
  if (qvsd_attr_text(attr, text, sizeof text) < 0)
    return result(f->cli, QVSD_R_MEMORY);
  return qvsd_cli_ioctl(f, QVSD_IOCTL_SET_ATTR, text, -1);
}

int qvsd_cli_create_file_or_dir_zz(qvsd_cli *c, const char *names, const file_attr *attr)
{
  if (!c || !names || !attr)
    return -1;
  if (*names == 0)
    return result(c, QVSD_R_EMPTY_LIST);
  const char *link = attr->link_name ? attr->link_name : "";
  char text[256];
  std::string arg;
  if (str_escape_tab_zz_append(names, &arg) < 0 || qvsd_attr_text(attr, text, sizeof text) < 0)
    return result(c, QVSD_R_MEMORY);
  arg.push_back('\t');
  if (!add_escaped(&arg, link))
    return result(c, QVSD_R_MEMORY);
  arg.push_back('\t');
  arg += text;
  return qvsd_cli_ioctl(c, QVSD_IOCTL_CREATE_ZZ, arg.c_str(), -1);
}

static int set_timeout(qvsd_file *f, int32_t code, int ms)
{
  if (!f)
    return -1;
  char text[16];
  snprintf(text, sizeof text, "%d", ms);
  return qvsd_cli_ioctl(f, code, text, -1);
}

int qvsd_cli_set_read_timeout(qvsd_file *f, int ms)
{
  return set_timeout(f, QVSD_IOCTL_READ_TIMEOUT, ms);
}

int qvsd_cli_set_write_timeout(qvsd_file *f, int ms)
{
  return set_timeout(f, QVSD_IOCTL_WRITE_TIMEOUT, ms);
}

/* ---- ioctl2 ---- */

int qvsd_cli_caps(qvsd_cli *c, std::string *out)
{
  if (!c || !out)
    return -1;
  return text_call(c, QVSD_IOCTL2_CAPS, nullptr, 0, out);
}

int qvsd_cli_allow_set_readonly(qvsd_cli *c)
{
  if (!c)
    return -1;
  if (qvsd_cli_gate(c, "1.6.1") < 0)
    return -1;
  std::string caps;
  if (qvsd_cli_caps(c, &caps) < 0)
    return -1;
  static const char key[] = "allow_set_readonly=";
  size_t at = 0;
  while (at < caps.size()) {
    size_t end = caps.find('\n', at);
    if (end == std::string::npos)
      end = caps.size();
    std::string line = caps.substr(at, end - at);
    trim_end(&line);
    if (line.compare(0, sizeof key - 1, key) == 0)
      return line.substr(sizeof key - 1) != "0" ? 1 : 0;
    at = end + 1;
  }
  return 0;
}

/* RC4 of value under key, as Base64 appended to out. */
static bool rc4_base64(const char *key, const std::string &value, std::string *out)
{
  std::string enc(value.size(), '\0');
  mbedtls_arc4_context ctx;
  mbedtls_arc4_init(&ctx);
  mbedtls_arc4_setup(&ctx, reinterpret_cast<const unsigned char *>(key), (unsigned)strlen(key));
  int rc = mbedtls_arc4_crypt(&ctx, value.size(), reinterpret_cast<const unsigned char *>(value.data()),
                              reinterpret_cast<unsigned char *>(enc.data()));
  mbedtls_arc4_free(&ctx);
  if (rc != 0)
    return false;
  std::string b64(str_base64_len(enc.size()) + 1, '\0');
  int n = str_base64_encode(enc.data(), enc.size(), b64.data(), b64.size());
  if (n < 0)
    return false;
  out->append(b64.data(), (size_t)n);
  return true;
}

int qvsd_cli_set_account(qvsd_cli *c, const char *text)
{
  if (!c || !text)
    return -1;
  if (!c->lkey[0])
    return fail(c, VERR_NOTSUP, "account settings need a key login");
  std::string arg;
  const char *p = text;
  bool ok = true;
  while (*p && ok) {
    const char *nl = strchr(p, '\n');
    size_t n = nl ? (size_t)(nl - p) : strlen(p);
    size_t body = n > 0 && p[n - 1] == '\r' ? n - 1 : n;
    const char *eq = static_cast<const char *>(memchr(p, '=', body));
    size_t klen = eq ? (size_t)(eq - p) : 0;
    bool secret = eq && ((klen == 4 && memcmp(p, "user", 4) == 0) || (klen == 6 && memcmp(p, "passwd", 6) == 0));
    if (secret) {
      std::string value(eq + 1, body - klen - 1);
      arg.append(p, klen + 1);
      ok = rc4_base64(c->lkey, value, &arg);
      std::fill(value.begin(), value.end(), '\0');
      arg.append(p + body, n - body); /* the line's CR */
    } else {
      arg.append(p, n);
    }
    if (nl)
      arg.push_back('\n');
    p = nl ? nl + 1 : p + n;
  }
  if (!ok)
    return result(c, QVSD_R_MEMORY);
  int n = 0;
  return qvsd_cli_ioctl2(c, QVSD_IOCTL2_SET_ACCOUNT, arg.c_str(), -1, nullptr, 0, &n);
}

int qvsd_cli_query(qvsd_cli *c, const char *a, const char *b, std::string *out, int max)
{
  if (!c || !a || !b || !out)
    return -1;
  if (!plain_field(a) || !plain_field(b))
    return fail(c, VERR_PARAM, "query text holds a tab or a line feed");
  std::string arg = std::string(a) + "\t" + b;
  return text_call(c, QVSD_IOCTL2_QUERY, arg.c_str(), -1, out, max);
}

int qvsd_cli_counters(qvsd_cli *c, const char *arg, uint64_t out[QVSD_COUNTERS])
{
  if (!c || !arg || !out)
    return -1;
  std::string rep;
  if (text_call(c, IOCTL2_COUNTERS, arg, -1, &rep, 1024) < 0)
    return -1;
  trim_end(&rep);
  uint64_t v[QVSD_COUNTERS];
  size_t at = 0;
  for (int i = 0; i < QVSD_COUNTERS; i++) {
    size_t tab = rep.find('\t', at);
    bool last = i == QVSD_COUNTERS - 1;
    if (last != (tab == std::string::npos))
      return bad_reply(c, "counters", rep);
    std::string field = rep.substr(at, last ? std::string::npos : tab - at);
    if (!parse_u64(field, 10, &v[i]))
      return bad_reply(c, "counters", rep);
    at = tab + 1;
  }
  memcpy(out, v, sizeof v);
  return 0;
}

int qvsd_cli_dir_seek(qvsd_dir *d, uint64_t index)
{
  if (!d)
    return -1;
  char arg[32];
  snprintf(arg, sizeof arg, "%lu", (unsigned long)index);
  int n = 0;
  if (qvsd_cli_ioctl2(d, QVSD_IOCTL2_DIR_SEEK, arg, -1, nullptr, 0, &n) < 0)
    return -1;
  /* The batch held entries from before the new place. */
  d->pos = -1;
  d->fill = 0;
  d->count = index;
  return 0;
}

int qvsd_cli_bcount_init(qvsd_file *f, int32_t flags, uint32_t bs, int32_t block_count, const char *state)
{
  if (!f)
    return -1;
  if (!state)
    state = "";
  if (!plain_field(state))
    return fail(f->cli, VERR_PARAM, "state text holds a tab or a line feed");
  std::string arg;
  if (!add_text(&arg, "%lx\t%d\t%u\t%d\t", (unsigned long)f->fd, (int)flags, bs, (int)block_count))
    return result(f->cli, QVSD_R_MEMORY);
  arg += state;
  int n = 0;
  return qvsd_cli_ioctl2(f, QVSD_IOCTL2_BCOUNT_INIT, arg.c_str(), -1, nullptr, 0, &n);
}

int qvsd_cli_bcount_get(qvsd_file *f, int64_t off, uint32_t len, void *buf, size_t size)
{
  if (!f || (!buf && size))
    return -1;
  char arg[48];
  snprintf(arg, sizeof arg, "%lld\t%u", (long long)off, len);
  int n = 0;
  int cap = size > (size_t)INT32_MAX ? INT32_MAX : (int)size;
  if (qvsd_cli_ioctl2(f, IOCTL2_BCOUNT_GET, arg, -1, buf, cap, &n) < 0)
    return -1;
  return n;
}

int qvsd_cli_hash_10109(qvsd_file *f, uint32_t v1, uint32_t v2)
{
  if (!f)
    return -1;
  char arg[64];
  snprintf(arg, sizeof arg, "%lx\t%u\t%u", (unsigned long)f->fd, v1, v2);
  int n = 0;
  return qvsd_cli_ioctl2(f, IOCTL2_HASH_10109, arg, -1, nullptr, 0, &n);
}

int64_t qvsd_cli_hash_bits(void *h)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  if (!c)
    return -1;
  if (c->ver_value < qvsd_version_parse("1.6.3"))
    return HASH_BITS_OLD;
  std::string rep;
  if (text_call(h, QVSD_IOCTL2_HASH_BITS, nullptr, 0, &rep, 64) < 0)
    return -1;
  trim_end(&rep);
  uint64_t v = 0;
  if (!parse_u64(rep, 16, &v) || v > UINT32_MAX)
    return bad_reply(c, "hash_bits", rep);
  return (int64_t)v;
}

int qvsd_cli_vss_mount(qvsd_cli *c, const char *arg, char *out, size_t size)
{
  if (!c || !arg || !out || size == 0)
    return -1;
  int cap = (int)std::min<size_t>(size - 1, VSS_REPLY_MAX);
  int n = 0;
  if (qvsd_cli_ioctl2(c, QVSD_IOCTL2_VSS_MOUNT, arg, -1, out, cap, &n) < 0)
    return -1;
  out[n] = 0;
  return n;
}
