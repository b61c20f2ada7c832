#define LOG_TAG "sdcli"
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/string/pl_escape.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

bool num_i64(const char *s, int64_t *out)
{
  if (!*s)
    return false;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(s, &end, 10);
  if (*end || errno)
    return false;
  *out = v;
  return true;
}

bool num_u64(const char *s, uint64_t *out)
{
  if (!*s || *s == '-')
    return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s, &end, 10);
  if (*end || errno)
    return false;
  *out = v;
  return true;
}

bool num_u32(const char *s, uint32_t *out)
{
  int64_t v;
  if (!num_i64(s, &v) || v < INT32_MIN || v > UINT32_MAX)
    return false;
  *out = (uint32_t)v; /* a negative id is the 32-bit word the server printed signed */
  return true;
}

int result(qvsd_cli *c, int rc)
{
  if (rc == -1)
    return -1;
  qvsd_cli_set_last_error(c, rc);
  return rc == 0 ? 0 : -1;
}

} // namespace

int qvsd_dirent_line_parse(char *line, bool long_form, os_dirent *d)
{
  const size_t want = long_form ? 19 : 10;
  char *f[19];
  size_t n = 0;
  char *p = line;
  for (;;) {
    if (n == want)
      return -1; /* more fields than the form has */
    f[n++] = p;
    char *tab = strchr(p, '\t');
    if (!tab)
      break;
    *tab = 0;
    p = tab + 1;
  }
  if (n != want)
    return -1;
  os_dirent_clear(d);
  int64_t ta, tw, tc, len;
  if (!num_u32(f[0], &d->type) || !num_u32(f[1], &d->attrib_mode) || !num_u32(f[2], &d->uid) ||
      !num_u32(f[3], &d->gid) || !num_i64(f[4], &ta) || !num_i64(f[5], &tw) || !num_i64(f[6], &tc) ||
      !num_i64(f[7], &len))
    return -1;
  d->time_access = ta;
  d->time_write = tw;
  d->time_create = tc;
  d->size = len;
  size_t name_at = 8;
  if (long_form) {
    if (!num_u32(f[8], &d->time_access_ns) || !num_u32(f[9], &d->time_write_ns) ||
        !num_u32(f[10], &d->time_create_ns) || !num_u64(f[11], &d->st_nlink) || !num_u64(f[12], &d->st_dev) ||
        !num_u64(f[13], &d->st_rdev) || !num_u64(f[14], &d->st_ino) || !num_u64(f[15], &d->st_blksize) ||
        !num_u64(f[16], &d->st_blocks))
      return -1;
    name_at = 17;
  }
  size_t nl = strlen(f[name_at]), ll = strlen(f[name_at + 1]);
  if (nl > 511 || nl + 1 > sizeof d->name || ll > 4095 || ll + 1 > sizeof d->link_name)
    return -1;
  memcpy(d->name, f[name_at], nl + 1);
  memcpy(d->link_name, f[name_at + 1], ll + 1);
  return 0;
}

qvsd_dir *qvsd_cli_opendir(qvsd_cli *c, const char *path, const char *pattern, int32_t flag)
{
  if (!c || !path)
    return nullptr;
  if (!pattern)
    pattern = "";
  if (!c->ver_185 && flag != 0) {
    result(c, QVSD_R_NEEDS_185);
    return nullptr;
  }
  int rc = QVSD_R_MEMORY;
  const void *slots[3];
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_str(&c->req, "path", path) == 0 &&
      qvsd_msg_add_str(&c->req, "pattern", pattern) == 0 &&
      (!c->ver_185 || qvsd_msg_add_i32(&c->req, "flag", flag) == 0))
    rc = qvsd_exchange(c, c->ver_185 ? QVSD_CMD_OPENDIR2 : QVSD_CMD_OPENDIR, qvsd_pol_fd, 3, slots, 0);
  if (result(c, rc) < 0)
    return nullptr;
  qvsd_dir *d = new (std::nothrow) qvsd_dir;
  if (!d) {
    result(c, QVSD_R_MEMORY);
    return nullptr;
  }
  d->cli = c;
  d->fd = qvsd_attr_i64(slots[2]);
  c->dirs.push_back(d);
  return d;
}

/* Fetches the next batch of lines into the handle's buffer: a result code. */
static int read_batch(qvsd_dir *d)
{
  qvsd_cli *c = d->cli;
  uint32_t cap = c->block_size;
  if (d->buf.size() < (size_t)cap + 1)
    d->buf.resize((size_t)cap + 1);
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_i64(&c->req, "fd", d->fd) < 0 ||
      qvsd_msg_add_i32(&c->req, "len", (int32_t)cap) < 0)
    return QVSD_R_MEMORY;
  const void *slots[4];
  int rc = qvsd_exchange(c, c->ver_153 ? QVSD_CMD_READDIR_L : QVSD_CMD_READDIR, qvsd_pol_readdir, 4, slots,
                         zcomp_bound(cap) + QVSD_REPLY_OVERHEAD);
  if (rc == QVSD_R_SRV)
    LOGV("ctx->last_error=%d\n", c->srv_errno);
  if (rc)
    return rc;
  uint32_t plen = qvsd_attr_data_len(slots[3]);
  int n = plen ? zcomp_decompress(&c->codec, qvsd_attr_data(slots[3]), (int)plen, d->buf.data(), (int)cap) : 0;
  if (n < 0) {
    LOGD("sdcomp_unpack pack_len=%d buf_len=%d ret=%d\n", (int)plen, (int)cap, n);
    return QVSD_R_UNPACK;
  }
  d->buf[(size_t)n] = 0;
  d->fill = (uint32_t)n;
  d->pos = 0;
  return 0;
}

int qvsd_cli_readdir(qvsd_dir *d, const os_dirent **out)
{
  if (!d || !out)
    return -1;
  qvsd_cli *c = d->cli;
  if (d->pos < 0) {
    int rc = read_batch(d);
    if (rc) {
      /* the listing cannot continue on this stream */
      net_close(&c->conn);
      return result(c, rc);
    }
  }
  char *line = d->buf.data() + d->pos;
  char *nl = static_cast<char *>(memchr(line, '\n', d->fill - (uint32_t)d->pos));
  if (!nl) {
    LOGE("error: info=[%.200s]\n", line);
    d->pos = -1;
    return result(c, QVSD_R_DATA);
  }
  *nl = 0;
  d->pos = nl + 1 - d->buf.data();
  if ((uint32_t)d->pos >= d->fill)
    d->pos = -1;
  if (nl == line) {
    qvsd_cli_set_last_error(c, 0);
    return 0; /* an empty line ends the directory */
  }
  if (qvsd_dirent_line_parse(line, c->ver_153, &d->rec) < 0) {
    LOGE("error: info=[%.200s]\n", line);
    return result(c, QVSD_R_DATA);
  }
  d->count++;
  *out = &d->rec;
  return 1;
}

int qvsd_cli_closedir(qvsd_dir *d)
{
  if (!d)
    return -1;
  qvsd_cli *c = d->cli;
  int rc = 0;
  if (c->conn.ops && !c->conn.closed) {
    int r = QVSD_R_MEMORY;
    const void *slots[2];
    if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", d->fd) == 0)
      r = qvsd_exchange(c, QVSD_CMD_CLOSEDIR, qvsd_pol_plain, 2, slots, 0);
    rc = result(c, r);
  }
  auto &v = c->dirs;
  v.erase(std::remove(v.begin(), v.end(), d), v.end());
  delete d;
  return rc;
}

int qvsd_cli_stat(qvsd_cli *c, const char *path, uint32_t flags, os_dirent *d)
{
  if (!c || !path || !d)
    return -1;
  std::string arg;
  if (str_escape_tab_append(path, strlen(path), &arg) < 0)
    return result(c, QVSD_R_MEMORY);
  char tail[16];
  snprintf(tail, sizeof tail, "\t%x", flags);
  arg += tail;
  const void *data = nullptr;
  int n = 0;
  if (qvsd_cli_ioctl2_ptr(c, QVSD_IOCTL2_STAT, arg.c_str(), -1, &data, QVSD_STAT_LINE_MAX, &n) < 0)
    return -1;
  std::string line(static_cast<const char *>(data), (size_t)n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\0' || line.back() == '\r'))
    line.pop_back();
  if (qvsd_dirent_line_parse(line.data(), true, d) < 0) {
    LOGE("[%s] error: parse data\n", path);
    return result(c, QVSD_R_DATA);
  }
  return 0;
}

void qvsd_status_reply(const void *const *s, bool full, os_dirent *d)
{
  d->type = (uint32_t)qvsd_attr_i32(s[2]);
  d->attrib_mode = (uint32_t)qvsd_attr_i32(s[3]);
  d->uid = (uint32_t)qvsd_attr_i32(s[4]);
  d->gid = (uint32_t)qvsd_attr_i32(s[5]);
  d->size = qvsd_attr_i64(s[6]);
  d->time_access = qvsd_attr_i64(s[7]);
  d->time_write = qvsd_attr_i64(s[8]);
  d->time_create = qvsd_attr_i64(s[9]);
  if (!full) {
    d->time_access_ns = d->time_write_ns = d->time_create_ns = 0;
    return;
  }
  d->time_access_ns = (uint32_t)qvsd_attr_i32(s[10]);
  d->time_write_ns = (uint32_t)qvsd_attr_i32(s[11]);
  d->time_create_ns = (uint32_t)qvsd_attr_i32(s[12]);
  d->st_nlink = (uint64_t)qvsd_attr_i64(s[13]);
  d->st_dev = (uint64_t)qvsd_attr_i64(s[14]);
  d->st_rdev = (uint64_t)qvsd_attr_i64(s[15]);
  d->st_ino = (uint64_t)qvsd_attr_i64(s[16]);
  d->st_blksize = (uint64_t)qvsd_attr_i64(s[17]);
  d->st_blocks = (uint64_t)qvsd_attr_i64(s[18]);
}

int qvsd_cli_fstat(qvsd_file *f, os_dirent *d)
{
  if (!f || !d)
    return -1;
  qvsd_cli *c = f->cli;
  bool full = c->ver_153;
  int n = full ? (int)(sizeof qvsd_pol_stat / sizeof qvsd_pol_stat[0]) : QVSD_POL_STAT_SHORT;
  const void *s[sizeof qvsd_pol_stat / sizeof qvsd_pol_stat[0]];
  int rc = QVSD_R_MEMORY;
  if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", f->fd) == 0)
    rc = qvsd_exchange(c, full ? QVSD_CMD_FSTAT_L : QVSD_CMD_FSTAT, qvsd_pol_stat, n, s, 0);
  if (result(c, rc) < 0)
    return -1;
  qvsd_status_reply(s, full, d);
  return 0;
}
