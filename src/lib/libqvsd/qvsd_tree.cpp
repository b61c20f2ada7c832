#define LOG_TAG "sdcli"
/* Named tree requests: each formats its argument text, sends it through one of the two carriers
 * and converts the reply. */
#include <charconv>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_escape.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"
#include "libqvsd/qvsd_tree.h"

namespace {

/* Largest text reply these requests take (a status line, a digest text, a lookup). */
constexpr int TEXT_MAX = 64 * 1024;
/* Largest extended attribute value fetched. */
constexpr int XATTR_MAX = 1 << 20;

int no_memory(qvsd_cli *c)
{
  qvsd_cli_set_last_error(c, QVSD_R_MEMORY);
  return -1;
}

/* Appends the escaped path (a zz-string whole with its NULs when zz). */
bool add_path(std::string *out, const char *path, bool zz)
{
  return (zz ? str_escape_tab_zz_append(path, out) : str_escape_tab_append(path, strlen(path), out)) >= 0;
}

bool add_text(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
bool add_text(std::string *out, const char *fmt, ...)
{
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0 || (size_t)n >= sizeof buf)
    return false;
  out->append(buf, (size_t)n);
  return true;
}

/* An ioctl2 whose reply is a short text, delivered NUL-terminated into *out. */
int text_call(void *h, int32_t code, const std::string &arg, std::string *out, int max = TEXT_MAX)
{
  const void *data = nullptr;
  int n = 0;
  if (qvsd_cli_ioctl2_ptr(h, code, arg.data(), (int)arg.size(), &data, max, &n) < 0)
    return -1;
  out->assign(static_cast<const char *>(data), (size_t)n);
  return 0;
}

int plain_call(void *h, int32_t code, const std::string &arg)
{
  int n = 0;
  return qvsd_cli_ioctl2(h, code, arg.data(), (int)arg.size(), nullptr, 0, &n);
}

/* A reply that does not hold what its request promises. */
int bad_reply(qvsd_cli *c, const char *what)
{
  LOGE("%s: reply does not parse\n", what);
  qvsd_cli_set_last_error(c, QVSD_R_DATA);
  return -1;
}

/* Value of one hex digit of either case, or -1. */
int hex_value(char ch)
{
  if (ch >= '0' && ch <= '9')
    return ch - '0';
  if (ch >= 'a' && ch <= 'f')
    return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F')
    return ch - 'A' + 10;
  return -1;
}

} // namespace

int qvsd_cli_lutime(qvsd_cli *c, const char *path, uint64_t time_access, uint64_t time_write)
{
  std::string arg;
  if (!add_path(&arg, path, false) ||
      !add_text(&arg, "\t%lu\t%lu\t%lu\t%u\t%u\t%u", (unsigned long)time_access, (unsigned long)time_write, 0ul, 0u,
                0u, 0u))
    return no_memory(c);
  return qvsd_cli_ioctl(c, QVSD_IOCTL_LUTIME, arg.c_str(), -1);
}

int qvsd_cli_create_file_or_dir(qvsd_cli *c, const char *path, const file_attr *attr, uint32_t how, bool zz)
{
  char text[256];
  std::string arg;
  const char *link = attr->link_name ? attr->link_name : "";
  if (!add_path(&arg, path, zz))
    return no_memory(c);
  arg.push_back('\t');
  if (str_escape_tab_append(link, strlen(link), &arg) < 0 || qvsd_attr_text(attr, text, sizeof text) < 0)
    return no_memory(c);
  arg.push_back('\t');
  arg += text;
  if (!add_text(&arg, "\t%x\t%llx", how, (unsigned long long)attr->rdev))
    return no_memory(c);
  return qvsd_cli_ioctl(c, QVSD_IOCTL_CREATE, arg.c_str(), -1);
}

int qvsd_cli_mkdir_p(qvsd_cli *c, const char *path, uint32_t mode)
{
  std::string arg;
  if (!add_path(&arg, path, false) || !add_text(&arg, "\t%o", mode & 07777))
    return no_memory(c);
  return qvsd_cli_ioctl(c, QVSD_IOCTL_MKDIR_P, arg.c_str(), -1);
}

int qvsd_cli_set_attr_path(qvsd_cli *c, const char *path, const file_attr *attr)
{
  char text[256];
  std::string arg;
  if (!add_path(&arg, path, false) || qvsd_attr_text(attr, text, sizeof text) < 0)
    return no_memory(c);
  arg.push_back('\t');
  arg += text;
  return qvsd_cli_ioctl(c, QVSD_IOCTL_SET_ATTR_PATH, arg.c_str(), -1);
}

int qvsd_cli_remove2(qvsd_cli *c, const char *path, uint32_t how, bool zz)
{
  std::string arg;
  if (!add_path(&arg, path, zz) || !add_text(&arg, "\t%d", (int)how))
    return no_memory(c);
  return qvsd_cli_ioctl(c, QVSD_IOCTL_REMOVE2, arg.c_str(), -1);
}

int qvsd_cli_rmdir2(qvsd_cli *c, const char *path, bool tree)
{
  std::string arg;
  if (!add_path(&arg, path, false) || !add_text(&arg, "\t%d", tree ? 1 : 0))
    return no_memory(c);
  return qvsd_cli_ioctl(c, QVSD_IOCTL_RMDIR2, arg.c_str(), -1);
}

int qvsd_cli_hard_link(qvsd_cli *c, const char *target, const char *path)
{
  std::string arg;
  if (!add_path(&arg, target, false))
    return no_memory(c);
  arg.push_back('\t');
  if (!add_path(&arg, path, false))
    return no_memory(c);
  return plain_call(c, QVSD_IOCTL2_HARD_LINK, arg);
}

int qvsd_cli_rename(qvsd_cli *c, const char *from, const char *to, bool noreplace)
{
  std::string arg;
  if (!add_path(&arg, from, false))
    return no_memory(c);
  arg.push_back('\t');
  if (!add_path(&arg, to, false) || !add_text(&arg, "\t%d", noreplace ? 1 : 0))
    return no_memory(c);
  return plain_call(c, QVSD_IOCTL2_RENAME, arg);
}

int64_t qvsd_cli_xattr_get(qvsd_cli *c, const char *path, const char *name, std::string *value)
{
  std::string arg;
  if (!add_path(&arg, path, false))
    return no_memory(c);
  arg.push_back('\t');
  if (!add_path(&arg, name, false))
    return no_memory(c);
  if (text_call(c, QVSD_IOCTL2_XATTR_GET, arg, value, XATTR_MAX) < 0)
    return -1;
  return (int64_t)value->size();
}

int qvsd_cli_xattr_set(qvsd_cli *c, const char *path, const char *name, const void *value, size_t len)
{
  std::string arg;
  if (!add_path(&arg, path, false))
    return no_memory(c);
  arg.push_back('\t');
  if (!add_path(&arg, name, false))
    return no_memory(c);
  arg.push_back('\t');
  if (len > (size_t)XATTR_MAX)
    return no_memory(c);
  arg.append(static_cast<const char *>(value), len);
  return plain_call(c, QVSD_IOCTL2_XATTR_SET, arg);
}

int qvsd_cli_lookup_ids(qvsd_cli *c, const char *user, const char *group, uint32_t *uid, uint32_t *gid)
{
  std::string arg, rep;
  if (!add_path(&arg, user ? user : "", false))
    return no_memory(c);
  arg.push_back('\t');
  if (!add_path(&arg, group ? group : "", false))
    return no_memory(c);
  if (text_call(c, QVSD_IOCTL2_LOOKUP_IDS, arg, &rep) < 0)
    return -1;
  int64_t u = -1, g = -1;
  if (qvsd_lookup_ids_parse(rep.c_str(), &u, &g) < 0)
    return bad_reply(c, "lookup_ids");
  if (user && *user) {
    if (u < 0) {
      VPERROR_SET(c->err, VERR_FILE_NOT_FOUND, "uid name=[%s] not exist", user);
      return -1;
    }
    *uid = (uint32_t)u;
  }
  if (group && *group) {
    if (g < 0) {
      VPERROR_SET(c->err, VERR_FILE_NOT_FOUND, "gid name=[%s] not exist", group);
      return -1;
    }
    *gid = (uint32_t)g;
  }
  return 0;
}

int qvsd_cli_output_lock(qvsd_cli *c, const char *root, bool take, const char *holder)
{
  std::string arg, rep;
  if (!add_path(&arg, root, false) || !add_text(&arg, "\t%u\t", take ? 1u : 0u) ||
      !add_path(&arg, holder ? holder : "", false))
    return no_memory(c);
  return text_call(c, QVSD_IOCTL2_OUTPUT_LOCK, arg, &rep);
}

int qvsd_cli_rdir_open(qvsd_cli *c, const char *path, const qvsd_rdir_param *p)
{
  std::string arg;
  if (!add_path(&arg, path, false) || !add_text(&arg, "\t%x\t%d", p->flag, (int)p->timeout_ms))
    return no_memory(c);
  for (const char *t : {p->include, p->exclude, p->dir_include, p->dir_exclude, p->misc_exclude}) {
    arg.push_back('\t');
    if (!add_path(&arg, t ? t : "", false))
      return no_memory(c);
  }
  return plain_call(c, QVSD_IOCTL2_RDIR_OPEN, arg);
}

int qvsd_cli_rdir_enum(qvsd_cli *c, const char *dir)
{
  std::string arg;
  if (!add_path(&arg, dir, false))
    return no_memory(c);
  return plain_call(c, QVSD_IOCTL2_RDIR_ENUM, arg);
}

int qvsd_cli_rdir_read(qvsd_cli *c, char *buf, uint32_t len)
{
  if (len < 2)
    return -1;
  int n = 0;
  if (qvsd_cli_ioctl2(c, QVSD_IOCTL2_RDIR_READ, nullptr, 0, buf, (int)(len - 1), &n) < 0)
    return -1;
  buf[n] = 0;
  return n;
}

int qvsd_cli_rdir_close(qvsd_cli *c)
{
  return plain_call(c, QVSD_IOCTL2_RDIR_CLOSE, std::string());
}

int64_t qvsd_cli_rdir_dropped(qvsd_cli *c)
{
  std::string rep;
  if (text_call(c, QVSD_IOCTL2_RDIR_DROPPED, std::string(), &rep) < 0)
    return -1;
  int64_t v = qvsd_rdir_dropped_parse(rep.c_str());
  if (v < 0)
    return bad_reply(c, "rdir_dropped");
  return v;
}

int qvsd_cli_hash_init(qvsd_file *f, uint32_t flags, uint32_t bs, uint32_t block_count)
{
  std::string arg;
  if (!add_text(&arg, "%lx\t%u\t%u\t%u\t", (unsigned long)f->fd, flags, bs, block_count))
    return no_memory(f->cli);
  return plain_call(f, QVSD_IOCTL2_HASH_INIT, arg);
}

int qvsd_cli_hash_range(qvsd_file *f, uint64_t off, uint64_t len, char *text, size_t size)
{
  std::string arg, rep;
  if (size == 0 || len > UINT32_MAX || !add_text(&arg, "%lld\t%u", (long long)off, (unsigned)len))
    return no_memory(f->cli);
  if (text_call(f, QVSD_IOCTL2_HASH_RANGE, arg, &rep) < 0)
    return -1;
  if (rep.size() >= size)
    return bad_reply(f->cli, "hash_range");
  memcpy(text, rep.c_str(), rep.size() + 1);
  return (int)rep.size();
}

int qvsd_cli_hash_get2(qvsd_file *f, char *buf, size_t len)
{
  int n = 0;
  int cap = len > (size_t)INT32_MAX ? INT32_MAX : (int)len;
  if (qvsd_cli_ioctl2(f, QVSD_IOCTL2_HASH_GET2, nullptr, 0, buf, cap, &n) < 0)
    return -1;
  return n;
}

int qvsd_cli_hash_bin(qvsd_file *f, uint32_t flag, uint8_t *buf, size_t len)
{
  std::string arg;
  int n = 0;
  if (!add_text(&arg, "%u", flag))
    return no_memory(f->cli);
  int cap = len > 4096 ? 4096 : (int)len;
  if (qvsd_cli_ioctl2(f, QVSD_IOCTL2_HASH_BLOCK, arg.data(), (int)arg.size(), buf, cap, &n) < 0)
    return -1;
  return n;
}

int qvsd_cli_hash_close(qvsd_file *f)
{
  return plain_call(f, QVSD_IOCTL2_HASH_CLOSE, std::string());
}

int qvsd_cli_next_data(qvsd_file *f, uint64_t off, uint64_t *data_off, uint64_t *data_end)
{
  std::string arg, rep;
  if (!add_text(&arg, "%lld", (long long)off))
    return no_memory(f->cli);
  if (text_call(f, QVSD_IOCTL2_NEXT_DATA, arg, &rep) < 0)
    return -1;
  uint64_t a = 0, b = 0;
  int end = qvsd_next_data_parse(rep.c_str(), off, &a, &b);
  if (end < 0)
    return bad_reply(f->cli, "next_data");
  *data_off = a;
  *data_end = b;
  return end;
}

int qvsd_cli_file_digest(qvsd_file *f, uint8_t *out, size_t len)
{
  std::string rep;
  if (text_call(f, QVSD_IOCTL2_FILE_DIGEST, std::string("xxh3"), &rep) < 0)
    return -1;
  if (qvsd_file_digest_parse(rep.data(), rep.size(), out, len) < 0)
    return bad_reply(f->cli, "file_digest");
  return 0;
}

/* ---- reply texts ---- */

int qvsd_lookup_ids_parse(const char *text, int64_t *uid, int64_t *gid)
{
  long long u = -1, g = -1;
  if (sscanf(text, "%lld\t%lld", &u, &g) != 2 || u < -1 || g < -1 || u > UINT32_MAX || g > UINT32_MAX)
    return -1;
  *uid = u;
  *gid = g;
  return 0;
}

int qvsd_next_data_parse(const char *text, uint64_t off, uint64_t *start, uint64_t *end)
{
  unsigned long long a = 0, b = 0;
  int flag = 0;
  if (sscanf(text, "%llu\t%llu\t%d", &a, &b, &flag) != 3 || flag < 0 || flag > 1)
    return -1;
  /* A range that begins before off or holds no byte would have a copy loop ask for the same
   * range again, forever. */
  if (flag == 0 && (a < off || b <= a))
    return -1;
  *start = a;
  *end = b;
  return flag;
}

int qvsd_file_digest_parse(const char *text, size_t n, uint8_t *out, size_t len)
{
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\0'))
    n--;
  if (n != 2 * len)
    return -1;
  for (size_t i = 0; i < len; i++) {
    int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0)
      return -1;
    out[i] = (uint8_t)(hi << 4 | lo);
  }
  return 0;
}

int64_t qvsd_rdir_dropped_parse(const char *text)
{
  /* Digits only: a sign or a count above INT64_MAX would come back negative, as a failure the
   * caller's error record knows nothing about. */
  size_t n = strlen(text);
  if (n == 0 || strspn(text, "0123456789") != n)
    return -1;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(text, text + n, v);
  if (ec != std::errc() || end != text + n || v > (uint64_t)INT64_MAX)
    return -1;
  return (int64_t)v;
}
