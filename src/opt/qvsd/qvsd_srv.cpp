#define LOG_TAG "qvsd"
#include "qvsd_srv.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "libep/ep.h"
#include "libep/ep_beneath.h"
#include "liblog/log2.h"
#include "libpack/zcomp.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_escape.h"
#include "libpwd/libpwd.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"
#include "libqvsd/qvsd_wire.h"

namespace {

/* Largest request body a session reads: a data block of the largest block size, compressed, with
 * room for the members around it. Anything longer ends the session before it is allocated. */
constexpr uint32_t REQ_MAX = (4u << 20) + QVSD_REPLY_OVERHEAD;
/* Largest read or directory batch one reply carries. */
constexpr uint32_t DATA_MAX = 2u << 20;
/* Open files and directories one session may hold. */
constexpr size_t HANDLES_MAX = 256;
constexpr size_t PATH_MAX_LEN = 4096;
constexpr int REFUSE_WAIT_MS = 5000; /* how long a refused client may take to send its request */
constexpr int32_t E_CRED = 1; /* "credentials required": the client then sends its real login */
constexpr int32_t E_STATE = -13; /* the object is in the wrong state for this request */

/* An open file and the position that reads and writes without an offset use. */
struct srv_file {
  ep_file *f = nullptr;
  int64_t pos = 0;
};

/* A directory read in progress: the reader and the line that did not fit the last batch. */
struct srv_dir {
  os_dir *dir = nullptr;
  std::string pending;
  bool done = false;
};

struct session {
  const qvsd_srv_conf *conf;
  net *conn;
  const char *peer;
  bool logged_in = false;
  std::string user;
  std::string challenge_user;
  char challenge[33] = {};
  zcomp codec;
  qvsd_msg rep;
  std::vector<uint8_t> req;
  std::vector<uint8_t> scratch;
  std::map<int64_t, srv_file> files;
  std::map<int64_t, srv_dir> dirs;
  int64_t next_fd = 3;
  uint64_t bytes_in = 0, bytes_out = 0;
  vperror err{};
};

/* ---- request members ---- */

/* The members of the received root, by name (first wins), after the shared decoder's checks. */
struct req_view {
  const uint8_t *members = nullptr;
  uint32_t len = 0;
  const void *find(const char *name, uint8_t type) const
  {
    uint32_t off = 0, nl = (uint32_t)strlen(name);
    while (off + 4 <= len) {
      const uint8_t *a = members + off;
      uint32_t plen = qvsd_attr_padlen(a);
      if (plen < 4 || plen > len - off)
        return nullptr;
      uint32_t l = 0;
      const char *n = qvsd_attr_name(a, &l);
      if (qvsd_attr_type(a) == type && l == nl && memcmp(n, name, nl) == 0)
        return a;
      off += plen;
    }
    return nullptr;
  }
  bool i64(const char *name, int64_t *v) const
  {
    const void *a = find(name, QVSD_T_INT64);
    if (a)
      *v = qvsd_attr_i64(a);
    return a != nullptr;
  }
  bool i32(const char *name, int32_t *v) const
  {
    const void *a = find(name, QVSD_T_INT32);
    if (a)
      *v = qvsd_attr_i32(a);
    return a != nullptr;
  }
  const char *str(const char *name) const
  {
    const void *a = find(name, QVSD_T_STRING);
    return a ? qvsd_attr_str(a) : nullptr;
  }
  const void *raw(const char *name, uint32_t *n) const
  {
    const void *a = find(name, QVSD_T_RAW);
    if (!a)
      return nullptr;
    *n = qvsd_attr_data_len(a);
    return qvsd_attr_data(a);
  }
};

/* Every member of the root must be a well-formed named attribute; one that is not ends the
 * request with an error instead of being half read. */
bool members_valid(const uint8_t *p, uint32_t len)
{
  uint32_t off = 0;
  while (off < len) {
    if (len - off < 4)
      return false;
    const uint8_t *a = p + off;
    uint32_t plen = qvsd_attr_padlen(a);
    if (plen < 4 || plen > len - off || qvsd_attr_check(a, len - off, true) < 0)
      return false;
    off += plen;
  }
  return true;
}

/* ---- replies ---- */

bool send_frame(session *s, uint8_t cmd)
{
  uint8_t head[QVSD_FRAME_HEAD];
  qvsd_frame_head(head, s->conf->proto, cmd, s->rep.data);
  if (net_write_all(s->conn, head, sizeof head) != (int)sizeof head)
    return false;
  if (s->rep.len > 4 && net_write_all(s->conn, s->rep.data + 4, (int)s->rep.len - 4) != (int)s->rep.len - 4)
    return false;
  s->bytes_out += QVSD_FRAME_HEAD + s->rep.len - 4;
  return true;
}

/* Starts a reply with its errno members; the handler adds the rest. */
bool rep_begin(session *s, int32_t code, const char *text)
{
  return qvsd_msg_reset(&s->rep) == 0 && qvsd_msg_add_i32(&s->rep, "errno", code) == 0 &&
         qvsd_msg_add_str(&s->rep, "errno_str", text ? text : "") == 0;
}

bool rep_ok(session *s)
{
  return rep_begin(s, 0, "");
}

/* An error reply: the code and its text (the record's message when it has one). */
bool rep_err(session *s, int32_t code, const char *text = nullptr)
{
  if (code >= 0)
    code = VERR_FAIL;
  return rep_begin(s, code, text && *text ? text : verr2str(code));
}

bool rep_verr(session *s, int code)
{
  return rep_err(s, code, vperror_str(&s->err));
}

/* ---- paths ---- */

/* The endpoint path of a client path: "/" is the root, "/a/b" lies below it. A path that is not
 * absolute, too long, or holds an empty, "." or ".." component is refused here, before the
 * endpoint's own resolution (which also refuses every link on the way). */
int full_path(session *s, const char *p, std::string *out)
{
  if (!p) {
    VPERROR_SET(&s->err, VERR_PARAM, "path missing");
    return VERR_PARAM;
  }
  size_t n = strnlen(p, PATH_MAX_LEN + 1);
  if (n > PATH_MAX_LEN || p[0] != '/') {
    VPERROR_SET(&s->err, VERR_PARAM, "[%.256s] is not a path of the export", p);
    return VERR_PARAM;
  }
  size_t i = 1;
  while (i < n) {
    size_t j = i;
    while (j < n && p[j] != '/')
      j++;
    std::string_view c(p + i, j - i);
    bool last = j >= n;
    if ((c.empty() && !last) || c == "." || c == "..") {
      VPERROR_SET(&s->err, VERR_PARAM, "[%.256s] is outside the export", p);
      return VERR_PARAM;
    }
    i = j + 1;
  }
  std::string rel(p, n);
  while (rel.size() > 1 && rel.back() == '/')
    rel.pop_back();
  const std::string &root = s->conf->root_path;
  if (rel == "/")
    *out = root;
  else if (root == "/")
    *out = rel;
  else
    *out = root + rel;
  return 0;
}

/* The part of a full endpoint path below the root ("" for the root itself). */
std::string below_root(const session *s, const std::string &full)
{
  const std::string &root = s->conf->root_path;
  if (full == root)
    return "";
  return root == "/" ? full.substr(1) : full.substr(root.size() + 1);
}

/* ---- entry texts ---- */

int32_t kind_of(const os_dirent &d)
{
  return (int32_t)d.type;
}

/* The entry line of directory reads and status by path: 10 fields, or 19 in the long form. */
bool entry_line(const os_dirent &d, bool long_form, std::string *out)
{
  char buf[512];
  int n = snprintf(buf, sizeof buf, "%u\t%u\t%u\t%u\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t", d.type,
                   d.attrib_mode, d.uid, d.gid, d.time_access, d.time_write, d.time_create, d.size);
  if (n < 0 || (size_t)n >= sizeof buf)
    return false;
  out->append(buf, (size_t)n);
  if (long_form) {
    n = snprintf(buf, sizeof buf, "%u\t%u\t%u\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t",
                 d.time_access_ns, d.time_write_ns, d.time_create_ns, d.st_nlink, d.st_dev, d.st_rdev, d.st_ino,
                 d.st_blksize, d.st_blocks);
    if (n < 0 || (size_t)n >= sizeof buf)
      return false;
    out->append(buf, (size_t)n);
  }
  /* Names travel raw between TABs: one that holds a TAB or a line feed cannot be sent. */
  if (strpbrk(d.name, "\t\n") || strpbrk(d.link_name, "\t\n"))
    return false;
  out->append(d.name);
  out->push_back('\t');
  out->append(d.link_name);
  return true;
}

bool add_stat_members(session *s, const os_dirent &d, bool long_form)
{
  qvsd_msg *m = &s->rep;
  bool ok = qvsd_msg_add_i32(m, "type", kind_of(d)) == 0 && qvsd_msg_add_i32(m, "attrib_mode", (int32_t)d.attrib_mode) == 0 &&
            qvsd_msg_add_i32(m, "uid", (int32_t)d.uid) == 0 && qvsd_msg_add_i32(m, "gid", (int32_t)d.gid) == 0 &&
            qvsd_msg_add_i64(m, "len", d.size) == 0 && qvsd_msg_add_i64(m, "time_access", d.time_access) == 0 &&
            qvsd_msg_add_i64(m, "time_write", d.time_write) == 0 && qvsd_msg_add_i64(m, "time_create", d.time_create) == 0;
  if (!ok || !long_form)
    return ok;
  return qvsd_msg_add_i32(m, "time_access_ns", (int32_t)d.time_access_ns) == 0 &&
         qvsd_msg_add_i32(m, "time_write_ns", (int32_t)d.time_write_ns) == 0 &&
         qvsd_msg_add_i32(m, "time_create_ns", (int32_t)d.time_create_ns) == 0 &&
         qvsd_msg_add_i64(m, "st_nlink", (int64_t)d.st_nlink) == 0 && qvsd_msg_add_i64(m, "st_dev", (int64_t)d.st_dev) == 0 &&
         qvsd_msg_add_i64(m, "st_rdev", (int64_t)d.st_rdev) == 0 && qvsd_msg_add_i64(m, "st_ino", (int64_t)d.st_ino) == 0 &&
         qvsd_msg_add_i64(m, "st_blksize", (int64_t)d.st_blksize) == 0 &&
         qvsd_msg_add_i64(m, "st_blocks", (int64_t)d.st_blocks) == 0;
}

/* ---- login ---- */

bool equal_ct(const std::string &a, const std::string &b)
{
  unsigned char diff = a.size() != b.size();
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; i++)
    diff |= (unsigned char)(a[i] ^ b[i]);
  return diff == 0;
}

bool login_failed(session *s, const char *user)
{
  LOGW("login of [%s] from %s refused\n", user ? user : "", s->peer);
  std::this_thread::sleep_for(std::chrono::milliseconds(s->conf->fail_delay_ms));
  return rep_err(s, VERR_ACCESS, "login failed");
}

bool do_login(session *s, const req_view &r)
{
  const char *user = r.str("user"), *pw = r.str("passwd");
  if (!user || !pw)
    return rep_err(s, VERR_PARAM, "user and passwd required");
  bool probe = strcmp(user, ":") == 0 && *pw == 0;
  if (probe) {
    if (!s->conf->anonymous)
      return rep_begin(s, E_CRED, "credentials required");
    s->logged_in = true;
    s->user = "anonymous";
  } else {
    if (s->conf->proto != QVSD_SRV_LOGIN_PASSWORD)
      return login_failed(s, user);
    auto it = s->conf->users.find(user);
    char want[64] = {};
    if (it == s->conf->users.end() || qvsd_passwd_digest(it->second.c_str(), want, sizeof want) < 0 ||
        !equal_ct(want, pw))
      return login_failed(s, user);
    s->logged_in = true;
    s->user = user;
  }
  LOGI("login of [%s] from %s\n", s->user.c_str(), s->peer);
  return rep_ok(s) && qvsd_msg_add_i32(&s->rep, "os_type", 2) == 0;
}

bool do_challenge(session *s, const req_view &r)
{
  const char *user = r.str("user");
  if (s->conf->proto != QVSD_SRV_LOGIN_KEY || !user)
    return rep_err(s, VERR_NOTSUP, "key login not offered");
  unsigned char raw[16];
  if (getrandom(raw, sizeof raw, 0) != (ssize_t)sizeof raw)
    return rep_err(s, VERR_FAIL, "no random challenge");
  for (size_t i = 0; i < sizeof raw; i++)
    snprintf(s->challenge + 2 * i, 3, "%02x", raw[i]);
  s->challenge_user = user;
  return rep_ok(s) && qvsd_msg_add_i32(&s->rep, "ver", 1) == 0 && qvsd_msg_add_str(&s->rep, "cert", s->challenge) == 0;
}

bool do_login_key(session *s, const req_view &r)
{
  const char *lkey = r.str("lkey");
  std::string user = s->challenge_user;
  bool had = s->challenge[0] != 0;
  /* A challenge answers one attempt only. */
  std::string challenge = s->challenge;
  memset(s->challenge, 0, sizeof s->challenge);
  s->challenge_user.clear();
  if (!lkey || !had)
    return login_failed(s, user.c_str());
  auto it = s->conf->users.find(user);
  char want[LIBPWD_KEY_LEN + 1] = {};
  if (it == s->conf->users.end() ||
      libpwd_build_key(user.c_str(), it->second.c_str(), challenge.c_str(), want, sizeof want) < 0 ||
      !equal_ct(want, lkey))
    return login_failed(s, user.c_str());
  s->logged_in = true;
  s->user = user;
  LOGI("login of [%s] from %s\n", s->user.c_str(), s->peer);
  return rep_ok(s);
}

bool do_info(session *s)
{
  std::string info = "ver=[" QVSD_SRV_VERSION "]\nplat=[linux]\nlog_file=[" + s->conf->log_file + "]\n";
  return rep_ok(s) && qvsd_msg_add_str(&s->rep, "info", info.c_str()) == 0;
}

/* ---- files ---- */

srv_file *file_of(session *s, const req_view &r)
{
  int64_t fd = 0;
  if (!r.i64("fd", &fd))
    return nullptr;
  auto it = s->files.find(fd);
  return it == s->files.end() ? nullptr : &it->second;
}

bool bad_handle(session *s)
{
  return rep_err(s, VERR_HANDLE, "invalid handle");
}

bool do_open(session *s, const req_view &r)
{
  int64_t mode = 0;
  const char *p = r.str("path");
  std::string full;
  int rc = full_path(s, p, &full);
  if (rc < 0)
    return rep_verr(s, rc);
  if (!r.i64("mode", &mode))
    return rep_err(s, VERR_PARAM, "mode missing");
  if (mode & QVSD_O_NAME_LIST)
    return rep_err(s, VERR_NOTSUP, "name lists are not served");
  if (s->files.size() + s->dirs.size() >= HANDLES_MAX)
    return rep_err(s, VERR_BUSY, "too many open handles");
  int how = EP_O_READ;
  int acc = (int)(mode & O_ACCMODE);
  if (acc != O_RDONLY) {
    if (mode & O_EXCL)
      how = EP_O_WRITE | EP_O_EXCL;
    else if (mode & O_TRUNC)
      how = EP_O_WRITE;
    else
      how = EP_O_SYNC;
  }
  ep_file *f = ep_file_open(s->conf->root, full.c_str(), how, &s->err);
  if (!f)
    return rep_verr(s, s->err.code);
  int64_t fd = s->next_fd++;
  s->files[fd] = srv_file{f, 0};
  return rep_ok(s) && qvsd_msg_add_i64(&s->rep, "fd", fd) == 0;
}

bool do_close(session *s, const req_view &r, const file_attr *attr)
{
  int64_t fd = 0;
  r.i64("fd", &fd);
  auto it = s->files.find(fd);
  if (it == s->files.end())
    return bad_handle(s);
  ep_file *f = it->second.f;
  s->files.erase(it);
  int rc = ep_file_close(f, attr, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_ok(s);
}

bool do_pread(session *s, const req_view &r, bool positioned)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  int32_t len = 0;
  int64_t off = 0;
  if (!r.i32("len", &len) || len < 0 || (uint32_t)len > DATA_MAX || (positioned && (!r.i64("offset", &off) || off < 0)))
    return rep_err(s, VERR_PARAM, "bad read request");
  if (!positioned)
    off = sf->pos;
  s->scratch.resize((size_t)len + zcomp_bound((uint32_t)len) + 1);
  int64_t n = ep_file_pread(sf->f, s->scratch.data(), (size_t)len, (uint64_t)off, &s->err);
  if (n < 0)
    return rep_verr(s, (int)n);
  sf->pos = off + n;
  int packed = 0;
  uint8_t *dst = s->scratch.data() + len;
  if (n > 0) {
    packed = zcomp_compress(&s->codec, s->scratch.data(), (int)n, dst, (int)zcomp_bound((uint32_t)n));
    if (packed <= 0)
      return rep_err(s, VERR_FAIL, "compression failed");
  }
  return rep_ok(s) && qvsd_msg_add_i32(&s->rep, "len", (int32_t)n) == 0 && qvsd_msg_add_i32(&s->rep, "flags", 0) == 0 &&
         qvsd_msg_add_raw(&s->rep, "data", dst, (uint32_t)packed) == 0;
}

bool do_pwrite(session *s, const req_view &r, bool positioned)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  int32_t len = 0;
  int64_t off = 0;
  uint32_t plen = 0;
  const void *data = r.raw("data", &plen);
  if (!data || !r.i32("len", &len) || len < 0 || (uint32_t)len > DATA_MAX ||
      (positioned && (!r.i64("offset", &off) || off < 0)))
    return rep_err(s, VERR_PARAM, "bad write request");
  if (!positioned)
    off = sf->pos;
  const void *plain = data;
  if (len > 0) {
    void *out = nullptr;
    if (zcomp_decompress_exact(&s->codec, data, (int)plen, &out, len) < 0)
      return rep_err(s, VERR_PROTO, "data does not unpack to its length");
    plain = out;
  } else if (plen != 0) {
    return rep_err(s, VERR_PROTO, "data does not unpack to its length");
  }
  int64_t n = len ? ep_file_pwrite(sf->f, plain, (size_t)len, (uint64_t)off, &s->err) : 0;
  if (n < 0)
    return rep_verr(s, (int)n);
  sf->pos = off + n;
  return rep_ok(s) && qvsd_msg_add_i32(&s->rep, "len", (int32_t)n) == 0;
}

bool do_setlen(session *s, const req_view &r)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  int64_t len = 0;
  if (!r.i64("len", &len) || len < 0)
    return rep_err(s, VERR_PARAM, "bad length");
  int rc = ep_file_truncate(sf->f, (uint64_t)len, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_ok(s);
}

/* mode 0 from the start, 1 from the position, 2 from the end; the new position is the reply. */
bool do_seek(session *s, const req_view &r)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  int64_t off = 0, mode = 0, base = 0;
  if (!r.i64("offset", &off) || !r.i64("mode", &mode) || mode < 0 || mode > 2)
    return rep_err(s, VERR_PARAM, "bad seek request");
  if (mode == 1) {
    base = sf->pos;
  } else if (mode == 2) {
    os_dirent d;
    int rc = ep_file_stat(sf->f, &d, &s->err);
    if (rc < 0)
      return rep_verr(s, rc);
    base = d.size;
  }
  if ((off < 0 && (off == INT64_MIN || base < -off)) || (off > 0 && base > INT64_MAX - off))
    return rep_err(s, VERR_SEEK, "seek outside the file");
  sf->pos = base + off;
  return rep_ok(s) && qvsd_msg_add_i64(&s->rep, "offset", sf->pos) == 0;
}

bool do_fstat(session *s, const req_view &r, bool long_form)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  os_dirent d;
  int rc = ep_file_stat(sf->f, &d, &s->err);
  if (rc < 0)
    return rep_verr(s, rc);
  return rep_ok(s) && add_stat_members(s, d, long_form);
}

bool do_stat_path(session *s, const req_view &r, bool long_form)
{
  std::string full;
  int rc = full_path(s, r.str("path"), &full);
  if (rc < 0)
    return rep_verr(s, rc);
  os_dirent d;
  rc = ep_stat(s->conf->root, full.c_str(), &d, &s->err);
  if (rc < 0)
    return rep_verr(s, rc);
  return rep_ok(s) && add_stat_members(s, d, long_form);
}

bool do_statfs(session *s, const req_view &r)
{
  std::string full;
  int rc = full_path(s, r.str("path"), &full);
  if (rc < 0)
    return rep_verr(s, rc);
  os_dirent d;
  rc = ep_stat(s->conf->root, full.c_str(), &d, &s->err);
  if (rc < 0)
    return rep_verr(s, rc);
  /* The volume is measured at the root: the export is one tree and its paths are never resolved
   * outside the endpoint. */
  ep_vol_info v;
  rc = ep_local_vol_info(s->conf->root_path.c_str(), &v, &s->err);
  if (rc < 0)
    return rep_verr(s, rc);
  qvsd_msg *m = &s->rep;
  return rep_ok(s) && qvsd_msg_add_i32(m, "flags", (int32_t)v.flags) == 0 &&
         qvsd_msg_add_i32(m, "name_len", (int32_t)v.name_len) == 0 &&
         qvsd_msg_add_i64(m, "avail_bytes", (int64_t)v.avail_bytes) == 0 &&
         qvsd_msg_add_i64(m, "free_bytes", (int64_t)v.free_bytes) == 0 &&
         qvsd_msg_add_i64(m, "total_bytes", (int64_t)v.total_bytes) == 0 &&
         qvsd_msg_add_str(m, "fs_name", v.fs_name.c_str()) == 0 && qvsd_msg_add_str(m, "vol_name", v.vol_name.c_str()) == 0;
}

/* ---- directories ---- */

bool do_opendir(session *s, const req_view &r)
{
  std::string full;
  int rc = full_path(s, r.str("path"), &full);
  if (rc < 0)
    return rep_verr(s, rc);
  const char *pattern = r.str("pattern");
  if (pattern && *pattern && strcmp(pattern, "*") != 0)
    return rep_err(s, VERR_NOTSUP, "patterns are not served");
  if (s->files.size() + s->dirs.size() >= HANDLES_MAX)
    return rep_err(s, VERR_BUSY, "too many open handles");
  std::string rel = below_root(s, full);
  int top = open(s->conf->root_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0)
    return rep_err(s, os_verr_last(), "export root cannot be opened");
  int fd = ep_open_beneath(top, rel.c_str(), O_RDONLY | O_DIRECTORY, 0);
  close(top);
  if (fd < 0) {
    VPERROR_SET(&s->err, fd, "opendir [%.256s] error: %s", r.str("path"), verr2str(fd));
    return rep_verr(s, fd);
  }
  os_dir *d = os_opendir_fd(fd, full.c_str(), OS_DIRENT_O_DEFAULT, &s->err);
  if (!d)
    return rep_verr(s, s->err.code);
  int64_t id = s->next_fd++;
  s->dirs[id].dir = d;
  return rep_ok(s) && qvsd_msg_add_i64(&s->rep, "fd", id) == 0;
}

bool do_readdir(session *s, const req_view &r, bool long_form)
{
  int64_t id = 0;
  int32_t cap = 0;
  r.i64("fd", &id);
  auto it = s->dirs.find(id);
  if (it == s->dirs.end())
    return bad_handle(s);
  if (!r.i32("len", &cap) || cap < 2 || (uint32_t)cap > DATA_MAX)
    return rep_err(s, VERR_PARAM, "bad batch length");
  srv_dir &d = it->second;
  std::string out;
  for (;;) {
    if (!d.pending.empty()) {
      if (out.size() + d.pending.size() > (size_t)cap - 1) {
        if (out.empty())
          return rep_err(s, VERR_OVERFLOW, "entry does not fit the batch");
        break;
      }
      out += d.pending;
      d.pending.clear();
    }
    if (d.done) {
      if (out.size() < (size_t)cap)
        out.push_back('\n'); /* the empty line ends the directory */
      break;
    }
    os_dirent e;
    int rc = os_readdir(d.dir, &e);
    if (rc < 0 && out.empty())
      return rep_verr(s, rc);
    if (rc <= 0) {
      d.done = true;
      continue;
    }
    std::string line;
    if (!entry_line(e, long_form, &line)) {
      LOGW("entry [%s] of a listing skipped: its name cannot travel\n", e.name);
      continue;
    }
    line.push_back('\n');
    d.pending = std::move(line);
  }
  s->scratch.resize(zcomp_bound((uint32_t)out.size()) + 1);
  int packed = zcomp_compress(&s->codec, out.data(), (int)out.size(), s->scratch.data(), (int)s->scratch.size());
  if (packed <= 0)
    return rep_err(s, VERR_FAIL, "compression failed");
  return rep_ok(s) && qvsd_msg_add_i32(&s->rep, "len", (int32_t)out.size()) == 0 &&
         qvsd_msg_add_raw(&s->rep, "data", s->scratch.data(), (uint32_t)packed) == 0;
}

bool do_closedir(session *s, const req_view &r)
{
  int64_t id = 0;
  r.i64("fd", &id);
  auto it = s->dirs.find(id);
  if (it == s->dirs.end())
    return bad_handle(s);
  os_closedir(it->second.dir);
  s->dirs.erase(it);
  return rep_ok(s);
}

/* ---- the two ioctl carriers ---- */

/* The attribute text of close and set-attribute requests: type, mode, alternate mode, creation,
 * write and access times (hex), uid, gid. */
bool parse_attr(const char *text, uint32_t n, file_attr *a)
{
  std::string t(text, strnlen(text, n));
  int type = 0;
  unsigned mode = 0, alt = 0, uid = 0, gid = 0;
  unsigned long long tc = 0, tw = 0, ta = 0;
  int used = 0;
  if (sscanf(t.c_str(), "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u%n", &type, &mode, &alt, &tc, &tw, &ta, &uid, &gid, &used) != 8 ||
      (size_t)used != t.size())
    return false;
  a->type = (uint32_t)type;
  /* A served file never gains a set-user-ID or set-group-ID bit. */
  a->attrib_mode = mode & ~(uint32_t)(S_ISUID | S_ISGID);
  a->alt_mode = alt & ~(uint32_t)(S_ISUID | S_ISGID);
  a->time_create = tc;
  a->time_write = tw;
  a->time_access = ta;
  a->uid = uid;
  a->gid = gid;
  return true;
}

bool do_ioctl(session *s, const req_view &r)
{
  int32_t code = 0;
  uint32_t n = 0;
  const void *arg = r.raw("data", &n);
  if (!r.i32("cmd", &code))
    return rep_err(s, VERR_PARAM, "cmd missing");
  const char *text = arg ? static_cast<const char *>(arg) : "";
  switch (code) {
  case QVSD_IOCTL_PING:
    return rep_ok(s);
  case QVSD_IOCTL_PACK: {
    zcomp next;
    snprintf(next.name, sizeof next.name, "%.*s", (int)strnlen(text, n), text);
    if (zcomp_open(&next) < 0)
      return rep_err(s, VERR_NOTSUP, "unknown codec");
    zcomp_close(&s->codec);
    s->codec = next;
    return rep_ok(s);
  }
  case QVSD_IOCTL_CLOSE_ATTR: {
    file_attr a;
    if (!parse_attr(text, n, &a))
      return rep_err(s, VERR_PARAM, "bad attribute text");
    return do_close(s, r, &a);
  }
  default:
    return rep_err(s, VERR_NOTSUP, "not supported");
  }
}

bool do_ioctl2(session *s, const req_view &r)
{
  int32_t code = 0, olen = 0;
  uint32_t n = 0;
  const void *arg = r.raw("data", &n);
  if (!r.i32("cmd", &code))
    return rep_err(s, VERR_PARAM, "cmd missing");
  r.i32("olen", &olen);
  if (code != QVSD_IOCTL2_STAT)
    return rep_err(s, VERR_NOTSUP, "not supported");
  /* "escaped path\tflags in hex" */
  std::string t(arg ? static_cast<const char *>(arg) : "", arg ? strnlen(static_cast<const char *>(arg), n) : 0);
  size_t tab = t.rfind('\t');
  if (tab == std::string::npos)
    return rep_err(s, VERR_PARAM, "bad status request");
  std::string path;
  if (str_unescape_cstr_append(t.data(), tab, &path) < 0 || path.size() != strlen(path.c_str()))
    return rep_err(s, VERR_PARAM, "bad path text");
  std::string full;
  int rc = full_path(s, path.c_str(), &full);
  if (rc < 0)
    return rep_verr(s, rc);
  os_dirent d;
  rc = ep_stat(s->conf->root, full.c_str(), &d, &s->err);
  if (rc < 0)
    return rep_verr(s, rc);
  std::string line;
  if (!entry_line(d, true, &line))
    return rep_err(s, VERR_PARAM, "entry cannot travel");
  line.push_back('\n');
  if (olen >= 0 && line.size() > (size_t)olen)
    return rep_err(s, VERR_OVERFLOW, "reply larger than asked for");
  return rep_ok(s) && qvsd_msg_add_raw(&s->rep, "data", line.data(), (uint32_t)line.size()) == 0;
}

/* ---- the loop ---- */

/* Answers one request. false when the session ends (exit, or a reply that cannot be built). */
bool serve_one(session *s, uint8_t cmd, const req_view &r, bool *reply)
{
  *reply = true;
  if (cmd == QVSD_CMD_EXIT) {
    *reply = false;
    return false;
  }
  if (!s->logged_in) {
    switch (cmd) {
    case QVSD_CMD_LOGIN:
      return do_login(s, r);
    case QVSD_CMD_LOGIN_CHALLENGE:
      return do_challenge(s, r);
    case QVSD_CMD_LOGIN_KEY:
      return do_login_key(s, r);
    default:
      return rep_err(s, VERR_ACCESS, "login required");
    }
  }
  switch (cmd) {
  case QVSD_CMD_LOGIN:
  case QVSD_CMD_LOGIN_CHALLENGE:
  case QVSD_CMD_LOGIN_KEY:
    return rep_err(s, E_STATE, "already logged in");
  case QVSD_CMD_INFO:
    return do_info(s);
  case QVSD_CMD_IOCTL:
    return do_ioctl(s, r);
  case QVSD_CMD_IOCTL2:
    return do_ioctl2(s, r);
  case QVSD_CMD_OPEN:
    return do_open(s, r);
  case QVSD_CMD_CLOSE:
    return do_close(s, r, nullptr);
  case QVSD_CMD_READ:
    return do_pread(s, r, false);
  case QVSD_CMD_PREAD:
    return do_pread(s, r, true);
  case QVSD_CMD_WRITE:
    return do_pwrite(s, r, false);
  case QVSD_CMD_PWRITE:
    return do_pwrite(s, r, true);
  case QVSD_CMD_SETLEN:
    return do_setlen(s, r);
  case QVSD_CMD_SEEK:
    return do_seek(s, r);
  case QVSD_CMD_FSTAT:
    return do_fstat(s, r, false);
  case QVSD_CMD_FSTAT_L:
    return do_fstat(s, r, true);
  case QVSD_CMD_STAT:
  case QVSD_CMD_STAT2:
    return do_stat_path(s, r, false);
  case QVSD_CMD_STAT_L:
    return do_stat_path(s, r, true);
  case QVSD_CMD_STATFS:
    return do_statfs(s, r);
  case QVSD_CMD_OPENDIR:
  case QVSD_CMD_OPENDIR2:
    return do_opendir(s, r);
  case QVSD_CMD_READDIR:
    return do_readdir(s, r, false);
  case QVSD_CMD_READDIR_L:
    return do_readdir(s, r, true);
  case QVSD_CMD_CLOSEDIR:
    return do_closedir(s, r);
  default:
    return rep_err(s, VERR_NOTSUP, "not supported");
  }
}

/* Reads exactly n bytes in short reads so that a stop is seen; a client silent for the idle
 * limit (counted from its last byte) is given up. false when the session must end. */
bool read_exact(session *s, uint8_t *buf, uint32_t n, const std::atomic<int> *stop)
{
  uint32_t got = 0;
  auto last = std::chrono::steady_clock::now();
  while (got < n) {
    if (stop->load())
      return false;
    int k = net_read(s->conn, buf + got, (int)std::min<uint32_t>(n - got, 1u << 30));
    if (k < 0 || (k == 0 && s->conn->closed))
      return false;
    if (k > 0) {
      got += (uint32_t)k;
      last = std::chrono::steady_clock::now();
      continue;
    }
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - last);
    if (idle.count() >= s->conf->idle_timeout_ms) {
      LOGI("%s idle for %d ms, session ended\n", s->peer, s->conf->idle_timeout_ms);
      return false;
    }
  }
  return true;
}

/* Reads one frame into s->req; its command into *cmd. false when the session must end. */
bool read_frame(session *s, uint8_t *cmd, const std::atomic<int> *stop)
{
  uint8_t head[QVSD_FRAME_HEAD];
  if (!read_exact(s, head, sizeof head, stop))
    return false;
  if (head[0] != QVSD_MAGIC0 || head[1] != QVSD_MAGIC1) {
    LOGW("%s sent a frame with magic %02x %02x, session ended\n", s->peer, head[0], head[1]);
    return false;
  }
  uint32_t word = qvsd_get_be32(head + 4);
  uint32_t t = qvsd_frame_body_len(head);
  if (qvsd_attr_type(head + 4) != QVSD_T_TABLE || qvsd_attr_named(head + 4) || (word & QVSD_ATTR_LEN_MAX) < 4 ||
      t > REQ_MAX) {
    LOGW("%s sent a frame of %u bytes that is not a request, session ended\n", s->peer, t);
    return false;
  }
  s->req.resize(t);
  memcpy(s->req.data(), head + 4, 4);
  if (t > 4 && !read_exact(s, s->req.data() + 4, t - 4, stop)) {
    LOGW("%s ended inside a frame\n", s->peer);
    return false;
  }
  s->bytes_in += QVSD_FRAME_HEAD + t - 4;
  *cmd = head[3];
  return true;
}

} // namespace

int qvsd_srv_users_load(const char *file, std::map<std::string, std::string> *users, vperror *err)
{
  int fd = open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return VPERROR_SET(err, os_verr_last(), "users file [%s]: %s", file, os_strerror_last()), -1;
  struct stat st;
  if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return VPERROR_SET(err, VERR_PARAM, "users file [%s] is not a regular file", file), -1;
  }
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    close(fd);
    return VPERROR_SET(err, VERR_ACCESS, "users file [%s] may be read by group or others (chmod 600 it)", file), -1;
  }
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    text.append(buf, (size_t)n);
    if (text.size() > (1u << 20)) {
      close(fd);
      return VPERROR_SET(err, VERR_OVERFLOW, "users file [%s] is larger than 1 MiB", file), -1;
    }
  }
  close(fd);
  if (n < 0)
    return VPERROR_SET(err, os_verr_last(), "users file [%s]: %s", file, os_strerror_last()), -1;
  size_t pos = 0, line_no = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    line_no++;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.empty() || line[0] == '#')
      continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0)
      return VPERROR_SET(err, VERR_PARAM, "users file [%s] line %zu: not name:password", file, line_no), -1;
    (*users)[line.substr(0, colon)] = line.substr(colon + 1);
  }
  if (users->empty())
    return VPERROR_SET(err, VERR_PARAM, "users file [%s] holds no account", file), -1;
  return 0;
}

void qvsd_srv_refuse(const qvsd_srv_conf *conf, net *conn, const char *peer, int32_t code, const char *text,
                     const std::atomic<int> *stop)
{
  /* The refusal answers the client's first request: closing with that request unread would reset
   * the connection and could lose the reply before the client reads it. */
  qvsd_srv_conf c = *conf;
  c.idle_timeout_ms = REFUSE_WAIT_MS;
  session s;
  s.conf = &c;
  s.conn = conn;
  s.peer = peer;
  uint8_t cmd = 0;
  if (read_frame(&s, &cmd, stop) && rep_err(&s, code, text))
    send_frame(&s, cmd);
  qvsd_msg_free(&s.rep);
}

int64_t qvsd_srv_session(const qvsd_srv_conf *conf, net *conn, const char *peer, bool tls, const std::atomic<int> *stop)
{
  session s;
  s.conf = conf;
  s.conn = conn;
  s.peer = peer;
  snprintf(s.codec.name, sizeof s.codec.name, "none");
  zcomp_open(&s.codec);
  auto start = std::chrono::steady_clock::now();
  int64_t served = 0;
  for (;;) {
    uint8_t cmd = 0;
    if (!read_frame(&s, &cmd, stop))
      break;
    const uint8_t *members = s.req.data() + 4;
    uint32_t mlen = (uint32_t)s.req.size() - 4;
    /* The announced length counts no padding: members end where it says. */
    uint32_t root_len = qvsd_attr_len(s.req.data());
    if (root_len - 4 < mlen)
      mlen = root_len - 4;
    req_view r{members, mlen};
    bool reply = true, go_on;
    s.err = vperror{};
    if (!members_valid(members, mlen)) {
      LOGW("%s sent command %u with members that do not decode\n", peer, cmd);
      go_on = rep_err(&s, VERR_PROTO, "request does not decode");
    } else {
      go_on = serve_one(&s, cmd, r, &reply);
    }
    served++;
    if (reply) {
      if (!go_on && !rep_err(&s, VERR_NOMEM, "reply cannot be built"))
        break;
      if (!send_frame(&s, cmd))
        break;
      go_on = true;
    }
    if (!go_on)
      break;
  }
  for (auto &f : s.files)
    ep_file_close(f.second.f, nullptr, &s.err);
  for (auto &d : s.dirs)
    os_closedir(d.second.dir);
  zcomp_close(&s.codec);
  qvsd_msg_free(&s.rep);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  LOGI("session of %s user=[%s] tls=%s requests=%" PRId64 " bytes_in=%" PRIu64 " bytes_out=%" PRIu64 " ms=%lld\n", peer,
       s.user.c_str(), tls ? "yes" : "no", served, s.bytes_in, s.bytes_out, (long long)ms);
  return served;
}
