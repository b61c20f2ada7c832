#define LOG_TAG "qvsd"
#include "qvsd_srv.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "libep/ep.h"
#include "libep/ep_beneath.h"
#include "liblog/log2.h"
#include "libpack/zcomp.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_escape.h"
#include "libpwd/libpwd.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"
#include "libqvsd/qvsd_wire.h"
#include "librdir/librdir.h"
#include "librdir/mfile.h"
#include "librdir/rdir_line.h"

namespace {

/* Multi-block transfers: the plain bytes and the blocks one request may move, and the lines of one
 * block-digest reply (17 bytes each). */
constexpr uint32_t MULTI_DATA_MAX = 8u << 20;
constexpr uint32_t MULTI_BLOCKS_MAX = 4096;
constexpr uint32_t DIGEST_LINES_MAX = 65536;
constexpr size_t DIGEST_LINE_LEN = 17; /* 16 hex digits and a line feed */
/* The largest multi-block write argument: its header line, then per block 8 bytes of lengths and
 * the block compressed (at most len + len / 255 + 16 bytes). */
constexpr uint32_t MULTI_ARG_MAX = 64 + MULTI_DATA_MAX + MULTI_DATA_MAX / 255 + MULTI_BLOCKS_MAX * (8 + 16 + 1);
/* Largest request body a session reads: a data block of the largest block size, compressed, or the
 * largest multi-block write, with room for the members around it. Anything longer ends the session
 * before it is allocated. */
constexpr uint32_t REQ_MAX = std::max<uint32_t>(4u << 20, MULTI_ARG_MAX) + QVSD_REPLY_OVERHEAD;
/* Largest read or directory batch one reply carries. */
constexpr uint32_t DATA_MAX = 2u << 20;
/* Open files and directories one session may hold. */
constexpr size_t HANDLES_MAX = 256;
constexpr size_t PATH_MAX_LEN = 4096;
constexpr int REFUSE_WAIT_MS = 5000; /* how long a refused client may take to send its request */
constexpr int32_t E_CRED = 1; /* "credentials required": the client then sends its real login */
constexpr int32_t E_STATE = -13; /* the object is in the wrong state for this request */
/* A walk read waits in slices of this length, so that a stop is seen while the client's read
 * time-out runs. */
constexpr int WALK_SLICE_MS = 1000;
constexpr int WALK_TIMEOUT_MAX_MS = 600000;
/* Listing text a walk keeps queued for a client that does not read: past it the walk pauses
 * until the client reads. */
constexpr size_t WALK_QUEUE_MAX = 1u << 20;
constexpr size_t DIGEST_CHUNK = 1u << 20; /* bytes read per step of a whole-file digest */
constexpr size_t LIST_TEXT_KEEP = 4u << 20; /* a larger batch list text is not kept after use */
constexpr size_t XATTR_NAME_MAX_LEN = 255;
/* A digest job holds about two blocks, and per block of its window one digest of each block-sum
 * algorithm (at most 180 bytes): these bounds keep one job of a session below 100 MiB. */
constexpr uint32_t HASH_BS_MAX = 16u << 20;
constexpr uint32_t HASH_BLOCKS_MAX = 1u << 18;

/* An open file and the position that reads and writes without an offset use. */
/* The running digest of one direction of a handle: what it read (or wrote) from offset 0 on,
 * as long as every transfer went on where the last one ended. */
struct run_digest {
  std::shared_ptr<pl_hash> h;
  uint64_t end = 0;
  bool broken = false;
};

struct srv_file {
  ep_file *f = nullptr;
  int64_t pos = 0;
  run_digest rd, wr;
};

/* A directory read in progress: the reader and the line that did not fit the last batch. */
struct srv_dir {
  os_dir *dir = nullptr;
  std::string pending;
  bool done = false;
};

/* The session's server-side walk. The listing engine's thread calls open_walk_dir with this
 * record, so the record outlives the engine: the destructor closes the engine first. */
struct srv_walk {
  const qvsd_srv_conf *conf = nullptr;
  int root_fd = -1;    /* the export root (O_PATH): every directory is opened beneath it */
  librdir *r = nullptr;
  std::string top;     /* full path of the walked root */
  uint32_t flag = 0;
  int timeout_ms = 0;  /* the client's read time-out */
  srv_walk() = default;
  srv_walk(const srv_walk &) = delete;
  srv_walk &operator=(const srv_walk &) = delete;
  ~srv_walk()
  {
    if (r)
      LOGD("walk [%s] closed: at most %llu bytes of its listing were queued\n", top.c_str(),
           (unsigned long long)librdir_queued_peak(r));
    librdir_close(r);
    if (root_fd >= 0)
      close(root_fd);
  }
};

/* An output lock a session holds: the locked directory's descriptor carries the flock. */
using lock_key = std::pair<uint64_t, uint64_t>; /* st_dev, st_ino of the locked directory */

/* Holders of output locks, shared by every session: the text another session is told. */
struct lock_holder {
  uint64_t session = 0;
  std::string text;
};
std::mutex g_locks_mu;
std::map<lock_key, lock_holder> g_locks;
std::atomic<uint64_t> g_session_serial{0};

/* A session's work buffer. Growing it leaves the new bytes as they are: every user writes before
 * it reads, and a zero fill would make a session hold the whole size of the largest reply it was
 * ever allowed (a walk read may ask for megabytes and get a few kilobytes), and clear each block
 * of a write just before the frame's bytes are read over it. */
class scratch_buf {
public:
  void resize(size_t n)
  {
    if (n > cap_) {
      std::unique_ptr<uint8_t[]> p(new uint8_t[n]);
      if (n_)
        memcpy(p.get(), p_.get(), n_);
      p_ = std::move(p);
      cap_ = n;
    }
    n_ = n;
  }
  uint8_t *data() { return p_.get(); }
  size_t size() const { return n_; }

private:
  std::unique_ptr<uint8_t[]> p_;
  size_t cap_ = 0;
  size_t n_ = 0;
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
  scratch_buf req; /* the request frame being served; read whole over what was there */
  scratch_buf scratch;
  std::map<int64_t, srv_file> files;
  std::map<int64_t, srv_dir> dirs;
  int64_t next_fd = 3;
  uint64_t bytes_in = 0, bytes_out = 0;
  vperror err{};
  const std::atomic<int> *stop = nullptr;
  uint64_t serial = 0;
  std::unique_ptr<srv_walk> walk;
  std::map<lock_key, int> locks; /* output locks held: descriptor of each locked directory */
  ep_batch *batch = nullptr;     /* the session's batch file-list job */
  std::string list_text;         /* the last batch list received, unescaped; kept for its capacity */
  bool batch_checked = false;    /* its lists come with their digests (QVSD_MFILE_F_DIGESTS) */
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

/* The text with the export's location on this host replaced by export paths: "<root>/a" reads
 * "/a" and "<root>" alone reads "/". A longer name that merely begins like the root is kept. */
std::string hide_root(const session *s, const char *text)
{
  const std::string &root = s->conf->root_path;
  std::string out = text;
  if (root.empty() || root == "/")
    return out;
  size_t pos = 0;
  while ((pos = out.find(root, pos)) != std::string::npos) {
    size_t end = pos + root.size();
    char next = end < out.size() ? out[end] : 0;
    if (next == '/') {
      out.erase(pos, root.size());
      pos++; /* past the "/" that now begins the export path */
    } else if (next == 0 || strchr("] \t\n:,'\"", next)) {
      out.replace(pos, root.size(), "/");
      pos++;
    } else {
      pos = end;
    }
  }
  return out;
}

bool rep_verr(session *s, int code)
{
  return rep_err(s, code, hide_root(s, vperror_str(&s->err)).c_str());
}

/* A success reply of the ioctl2 carrier: its "data" member is always there, empty or not. */
bool rep_data(session *s, const void *p, size_t n)
{
  return rep_ok(s) && qvsd_msg_add_raw(&s->rep, "data", p, (uint32_t)n) == 0;
}

bool rep_text(session *s, const std::string &t)
{
  return rep_data(s, t.data(), t.size());
}

bool rep_read_only(session *s)
{
  return rep_err(s, VERR_ACCESS, "the export is read-only");
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
    if (s->conf->read_only)
      return rep_read_only(s);
    if (mode & O_EXCL)
      how = EP_O_WRITE | EP_O_EXCL;
    else if (mode & O_TRUNC)
      how = EP_O_WRITE;
    else
      how = EP_O_SYNC;
    if (mode & QVSD_O_SOLE)
      how |= EP_O_SOLE;
  }
  ep_file *f = ep_file_open(s->conf->root, full.c_str(), how, &s->err);
  if (!f)
    return rep_verr(s, s->err.code);
  int64_t fd = s->next_fd++;
  s->files[fd] = srv_file{f, 0, {}, {}};
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

/* Adds the bytes of a transfer at off to the running digest d and returns its hex text, or ""
 * once the transfers left a gap (or memory ran out). */
std::string run_digest_add(run_digest *d, const void *data, size_t n, uint64_t off)
{
  if (!d->broken && !d->h) {
    d->h.reset(pl_hash_new(PL_HASH_XXH3), pl_hash_free);
    d->broken = !d->h;
  }
  if (d->broken || off != d->end) {
    d->broken = true;
    return "";
  }
  pl_hash_update(d->h.get(), data, n);
  d->end += n;
  uint8_t out[PL_HASH_MAX_LEN];
  size_t len = pl_hash_peek(d->h.get(), out);
  return pl_hex(out, len);
}

bool want_digest(const req_view &r)
{
  int32_t v = 0;
  return r.i32("digest", &v) && v == 1;
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
  std::string dg = want_digest(r) ? run_digest_add(&sf->rd, s->scratch.data(), (size_t)n, (uint64_t)off) : "";
  return rep_ok(s) && qvsd_msg_add_i32(&s->rep, "len", (int32_t)n) == 0 && qvsd_msg_add_i32(&s->rep, "flags", 0) == 0 &&
         qvsd_msg_add_raw(&s->rep, "data", dst, (uint32_t)packed) == 0 &&
         (!want_digest(r) || qvsd_msg_add_str(&s->rep, "digest", dg.c_str()) == 0);
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
    /* Data that travels as it is (pack=none, or LZ4 that did not compress) is written from the
     * frame itself. */
    if (zcomp_decompress_view(&s->codec, data, (int)plen, &plain, len) < 0)
      return rep_err(s, VERR_PROTO, "data does not unpack to its length");
  } else if (plen != 0) {
    return rep_err(s, VERR_PROTO, "data does not unpack to its length");
  }
  int64_t n = len ? ep_file_pwrite(sf->f, plain, (size_t)len, (uint64_t)off, &s->err) : 0;
  if (n < 0)
    return rep_verr(s, (int)n);
  sf->pos = off + n;
  std::string dg = want_digest(r) ? run_digest_add(&sf->wr, plain, (size_t)n, (uint64_t)off) : "";
  if (!want_digest(r) && n > 0)
    sf->wr.broken = true; /* bytes the running digest never saw */
  return rep_ok(s) && qvsd_msg_add_i32(&s->rep, "len", (int32_t)n) == 0 &&
         (!want_digest(r) || qvsd_msg_add_str(&s->rep, "digest", dg.c_str()) == 0);
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
  sf->wr.broken = true; /* what was written is no longer the whole file */
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

/* ---- argument texts ---- */

/* The argument of a carrier: the "data" bytes as sent, and as text (up to a NUL). */
struct arg_view {
  std::string_view raw;
  std::string_view text;
};

/* The TAB-separated fields of t; with max, the last field keeps the rest (TABs included). */
std::vector<std::string_view> fields_of(std::string_view t, size_t max = SIZE_MAX)
{
  std::vector<std::string_view> out;
  size_t pos = 0;
  while (out.size() + 1 < max) {
    size_t tab = t.find('\t', pos);
    if (tab == std::string_view::npos)
      break;
    out.push_back(t.substr(pos, tab - pos));
    pos = tab + 1;
  }
  out.push_back(t.substr(pos));
  return out;
}

/* A number that makes up the whole field (no sign for unsigned types, no blanks). */
template <typename T> bool num(std::string_view f, T *out, int base = 10)
{
  if (f.empty())
    return false;
  auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), *out, base);
  return ec == std::errc() && end == f.data() + f.size();
}

bool bad_arg(session *s, const char *what)
{
  return rep_err(s, VERR_PARAM, what);
}

/* An escaped path field as an endpoint path of the export. */
int arg_path(session *s, std::string_view field, std::string *full)
{
  std::string p;
  if (str_unescape_cstr_append(field.data(), field.size(), &p) < 0 || p.size() != strlen(p.c_str())) {
    VPERROR_SET(&s->err, VERR_PARAM, "bad path text");
    return VERR_PARAM;
  }
  return full_path(s, p.c_str(), full);
}

/* An escaped zz-string path (a plain path, or path, kind and stream name): its path part is
 * resolved like any other path, the rest is kept. The result is a zz-string again. */
int arg_zz_path(session *s, std::string_view field, std::string *full_zz)
{
  std::string zz;
  if (str_unescape_cstr_append(field.data(), field.size(), &zz) < 0) {
    VPERROR_SET(&s->err, VERR_PARAM, "bad path text");
    return VERR_PARAM;
  }
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < zz.size() && zz[i] != 0 && parts.size() < 4) {
    size_t e = zz.find('\0', i);
    if (e == std::string::npos)
      e = zz.size();
    parts.emplace_back(zz, i, e - i);
    i = e + 1;
  }
  if (parts.size() != 1 && parts.size() != 3) {
    VPERROR_SET(&s->err, VERR_PARAM, "a stream path has a path, a kind and a name");
    return VERR_PARAM;
  }
  std::string full;
  int rc = full_path(s, parts[0].c_str(), &full);
  if (rc < 0)
    return rc;
  full_zz->assign(full);
  full_zz->push_back('\0');
  for (size_t k = 1; k < parts.size(); k++) {
    full_zz->append(parts[k]);
    full_zz->push_back('\0');
  }
  full_zz->push_back('\0');
  return 0;
}

/* An escaped name field (an extended attribute's name): no NUL, not empty, not too long. */
bool arg_name(std::string_view field, std::string *name)
{
  return str_unescape_cstr_append(field.data(), field.size(), name) >= 0 && !name->empty() &&
         name->size() == strlen(name->c_str()) && name->size() <= XATTR_NAME_MAX_LEN;
}

/* The attribute text of close and set-attribute requests: type, mode, alternate mode, creation,
 * write and access times (hex), uid, gid. */
bool parse_attr(std::string_view text, bool keep_special, file_attr *a)
{
  std::string t(text);
  int type = 0;
  unsigned mode = 0, alt = 0, uid = 0, gid = 0;
  unsigned long long tc = 0, tw = 0, ta = 0;
  int used = 0;
  if (sscanf(t.c_str(), "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u%n", &type, &mode, &alt, &tc, &tw, &ta, &uid, &gid, &used) != 8 ||
      (size_t)used != t.size())
    return false;
  /* A served file gains a set-user-ID or set-group-ID bit only where the operator allows it. */
  uint32_t drop = keep_special ? 0 : (uint32_t)(S_ISUID | S_ISGID);
  a->type = (uint32_t)type;
  a->attrib_mode = mode & ~drop;
  a->alt_mode = alt & ~drop;
  a->time_create = tc;
  a->time_write = tw;
  a->time_access = ta;
  a->uid = uid;
  a->gid = gid;
  return true;
}

bool is_device(const file_attr &a)
{
  uint32_t kind = a.attrib_mode & S_IFMT;
  return kind == S_IFCHR || kind == S_IFBLK;
}

/* ---- file ioctl codes (command 20) ---- */

bool io_ping(session *s, const req_view &, const arg_view &, int32_t)
{
  return rep_ok(s);
}

bool io_pack(session *s, const req_view &, const arg_view &a, int32_t)
{
  zcomp next;
  snprintf(next.name, sizeof next.name, "%.*s", (int)a.text.size(), a.text.data());
  if (zcomp_open(&next) < 0)
    return rep_err(s, VERR_NOTSUP, "unknown codec");
  zcomp_close(&s->codec);
  s->codec = next;
  return rep_ok(s);
}

bool io_close_attr(session *s, const req_view &r, const arg_view &a, int32_t)
{
  file_attr at;
  if (!parse_attr(a.text, s->conf->keep_special, &at))
    return bad_arg(s, "bad attribute text");
  if (s->conf->read_only) {
    /* The handle still goes: a client must not keep it open by asking for attributes. */
    int64_t fd = 0;
    r.i64("fd", &fd);
    auto it = s->files.find(fd);
    if (it == s->files.end())
      return bad_handle(s);
    ep_file *f = it->second.f;
    s->files.erase(it);
    ep_file_close(f, nullptr, &s->err);
    return rep_read_only(s);
  }
  return do_close(s, r, &at);
}

/* "%s\t%lu\t%lu\t%lu\t%u\t%u\t%u": path, access, write and creation seconds, their nanoseconds.
 * The endpoint sets whole seconds; the creation time is carried, never applied. */
bool io_lutime(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  uint64_t ta = 0, tw = 0, tc = 0;
  uint32_t ns[3];
  if (f.size() != 7 || !num(f[1], &ta) || !num(f[2], &tw) || !num(f[3], &tc) || !num(f[4], &ns[0]) ||
      !num(f[5], &ns[1]) || !num(f[6], &ns[2]))
    return bad_arg(s, "bad set-times request");
  std::string full;
  int rc = arg_path(s, f[0], &full);
  if (rc >= 0)
    rc = ep_lutime(s->conf->root, full.c_str(), ta, tw, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_ok(s);
}

/* "%s\t%d": 0 removes an empty directory, 1 the directory with everything below it. */
bool io_rmdir2(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  int tree = 0;
  if (f.size() != 2 || !num(f[1], &tree) || (tree != 0 && tree != 1))
    return bad_arg(s, "bad remove-directory request");
  std::string full;
  int rc = arg_path(s, f[0], &full);
  if (rc >= 0)
    rc = tree ? ep_remove_tree(s->conf->root, full.c_str(), &s->err) : ep_remove(s->conf->root, full.c_str(), 0, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_ok(s);
}

/* "%s\t%d": path (a zz-string escaped whole with EP_C_ZZ), the endpoint's remove flags. */
bool io_remove2(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  uint32_t how = 0;
  int flags = 0;
  if (f.size() != 2 || !num(f[1], &flags) || flags < 0)
    return bad_arg(s, "bad remove request");
  how = (uint32_t)flags;
  std::string full;
  int rc = (how & EP_C_ZZ) ? arg_zz_path(s, f[0], &full) : arg_path(s, f[0], &full);
  if (rc >= 0)
    rc = ep_remove(s->conf->root, full.c_str(), how, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_ok(s);
}

/* "%s\t" and the attribute text. */
bool io_set_attr_path(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text, 2);
  file_attr at;
  if (f.size() != 2 || !parse_attr(f[1], s->conf->keep_special, &at))
    return bad_arg(s, "bad set-attributes request");
  std::string full;
  int rc = arg_path(s, f[0], &full);
  if (rc >= 0)
    rc = ep_set_attr(s->conf->root, full.c_str(), &at, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_ok(s);
}

/* "%s\t%s\t" and the attribute text, then optionally "\t%x\t%llx": path, link target, attributes,
 * the create flags (EP_C_*) and the device number. */
bool io_create(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  if (f.size() != 10 && f.size() != 12)
    return bad_arg(s, "bad create request");
  uint32_t how = 0;
  uint64_t rdev = 0;
  if (f.size() == 12 && (!num(f[10], &how, 16) || !num(f[11], &rdev, 16) || (how & ~(EP_C_ZZ | EP_C_NOREPLACE))))
    return bad_arg(s, "bad create flags");
  file_attr at;
  std::string_view attr_text(f[2].data(), (size_t)(f[9].data() + f[9].size() - f[2].data()));
  if (!parse_attr(attr_text, s->conf->keep_special, &at))
    return bad_arg(s, "bad attribute text");
  at.rdev = rdev;
  if (is_device(at) && !s->conf->keep_special)
    return rep_err(s, VERR_ACCESS, "device nodes are not created on this export");
  std::string link;
  if (str_unescape_cstr_append(f[1].data(), f[1].size(), &link) < 0 || link.size() != strlen(link.c_str()) ||
      link.size() >= OS_DIRENT_LINK_SIZE)
    return bad_arg(s, "bad link text");
  /* A link's target is data: it is stored as given and never resolved by the server. */
  at.link_name = link.c_str();
  std::string full;
  int rc = (how & EP_C_ZZ) ? arg_zz_path(s, f[0], &full) : arg_path(s, f[0], &full);
  if (rc >= 0)
    rc = ep_create(s->conf->root, full.c_str(), &at, how, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_ok(s);
}

/* "%s" or "%s\t%o": the directory and the mode of the directories made (0755 by default). */
bool io_mkdir_p(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  uint32_t mode = 0755;
  if (f.size() > 2 || (f.size() == 2 && (!num(f[1], &mode, 8) || mode > 07777)))
    return bad_arg(s, "bad make-directories request");
  if (!s->conf->keep_special)
    mode &= ~(uint32_t)(S_ISUID | S_ISGID);
  std::string full;
  int rc = arg_path(s, f[0], &full);
  if (rc >= 0)
    rc = ep_mkdirs(s->conf->root, full.c_str(), mode, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_ok(s);
}

/* ---- ioctl2 codes (command 8) ---- */

/* "escaped path\tflags in hex": the long entry line. */
bool io2_stat(session *s, const req_view &, const arg_view &a, int32_t olen)
{
  auto f = fields_of(a.text);
  if (f.size() != 2)
    return bad_arg(s, "bad status request");
  std::string full;
  int rc = arg_path(s, f[0], &full);
  if (rc < 0)
    return rep_verr(s, rc);
  os_dirent d;
  rc = ep_stat(s->conf->root, full.c_str(), &d, &s->err);
  if (rc < 0)
    return rep_verr(s, rc);
  std::string line;
  if (!entry_line(d, true, &line))
    return bad_arg(s, "entry cannot travel");
  line.push_back('\n');
  if (olen >= 0 && line.size() > (size_t)olen)
    return rep_err(s, VERR_OVERFLOW, "reply larger than asked for");
  return rep_text(s, line);
}

/* Bytes a reply of a request may carry: what the client accepts, within the session's limit. */
size_t reply_cap(int32_t olen)
{
  return olen > 0 ? std::min<size_t>((size_t)olen, DATA_MAX) : 0;
}

/* "%lx\t%u\t%u\t%u\t%s": handle, algorithm flags, block size, blocks per window and a state text
 * this server does not take; the job runs on the handle of the "fd" member. */
bool io2_hash_init(session *s, const req_view &r, const arg_view &a, int32_t)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  auto f = fields_of(a.text);
  uint64_t handle = 0;
  uint32_t flags = 0, bs = 0, count = 0;
  if ((f.size() != 4 && f.size() != 5) || !num(f[0], &handle, 16) || !num(f[1], &flags) || !num(f[2], &bs) ||
      !num(f[3], &count) || bs == 0 || bs > HASH_BS_MAX || count > HASH_BLOCKS_MAX)
    return bad_arg(s, "bad digest job request");
  if (f.size() == 5 && !f[4].empty())
    return rep_err(s, VERR_NOTSUP, "a digest job does not continue a saved state here");
  int rc = ep_hash_open(sf->f, flags, bs, count, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_data(s, nullptr, 0);
}

/* "%lld\t%u": the digest text of a range. */
bool io2_hash_range(session *s, const req_view &r, const arg_view &a, int32_t olen)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  auto f = fields_of(a.text);
  int64_t off = 0;
  uint32_t len = 0;
  if (f.size() != 2 || !num(f[0], &off) || off < 0 || !num(f[1], &len))
    return bad_arg(s, "bad digest range");
  std::vector<char> text(reply_cap(olen) + 1);
  int n = ep_hash_get(sf->f, (uint64_t)off, len, text.data(), text.size(), &s->err);
  return n < 0 ? rep_verr(s, n) : rep_data(s, text.data(), (size_t)n);
}

/* "%u": the raw digest of the first job algorithm in the flag. */
bool io2_hash_block(session *s, const req_view &r, const arg_view &a, int32_t)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  uint32_t flag = 0;
  if (!num(a.text, &flag))
    return bad_arg(s, "bad digest flag");
  uint8_t out[PL_HASH_MAX_LEN];
  int n = ep_hash_get_bin(sf->f, flag, out, sizeof out, &s->err);
  return n < 0 ? rep_verr(s, n) : rep_data(s, out, (size_t)n);
}

/* The per-block records of the last range, within "olen". */
bool io2_hash_get2(session *s, const req_view &r, const arg_view &, int32_t olen)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  std::vector<char> out(reply_cap(olen) + 1);
  int n = ep_hash_get2(sf->f, out.data(), out.size(), &s->err);
  return n < 0 ? rep_verr(s, n) : rep_data(s, out.data(), (size_t)n);
}

bool io2_hash_close(session *s, const req_view &r, const arg_view &, int32_t)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  ep_hash_close(sf->f);
  return rep_data(s, nullptr, 0);
}

#ifdef QV_TEST_HOOKS
/* For tests: QV_TEST_REFUSE_LIST=<text> answers every checked list for a directory whose name
 * holds the text as damaged on the way, however often it comes. */
bool refused_for_test(std::string_view dir)
{
  static const char *const v = getenv("QV_TEST_REFUSE_LIST");
  return v && *v && dir.find(v) != std::string_view::npos;
}
#else
bool refused_for_test(std::string_view)
{
  return false;
}
#endif

#ifdef QV_TEST_HOOKS
/* For tests: QV_TEST_WALK_QUEUE_MAX=<bytes> sets the bound of a walk's queued text, so a small tree
 * is enough to reach it. */
size_t walk_queue_max()
{
  static const size_t v = [] {
    const char *e = getenv("QV_TEST_WALK_QUEUE_MAX");
    unsigned long long n = e && *e ? strtoull(e, nullptr, 10) : 0;
    return n ? (size_t)n : WALK_QUEUE_MAX;
  }();
  return v;
}
#else
/* A build without test hooks has no such switch. */
constexpr size_t walk_queue_max()
{
  return WALK_QUEUE_MAX;
}
#endif

/* The part of a full path below the export root: "" for the root; false for a path elsewhere. */
bool rel_below(const std::string &root, const char *path, std::string *rel)
{
  size_t n = root.size();
  if (root == "/") {
    if (path[0] != '/')
      return false;
    *rel = path + 1;
    return true;
  }
  if (strncmp(path, root.c_str(), n) != 0 || (path[n] != '/' && path[n] != 0))
    return false;
  *rel = path[n] ? path + n + 1 : "";
  return true;
}

/* The listing engine's directory opener: beneath the export root, never through a link. */
int open_walk_dir(void *arg, const char *path)
{
  auto *w = static_cast<srv_walk *>(arg);
  std::string rel;
  if (!rel_below(w->conf->root_path, path, &rel)) {
    errno = EXDEV;
    return -1;
  }
  int fd = ep_open_beneath(w->root_fd, rel.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) {
    os_errno_set_verr(fd);
    return -1;
  }
  return fd;
}

/* Whether full is the walked root or lies below it. */
bool in_walk(const srv_walk &w, const std::string &full)
{
  if (full == w.top)
    return true;
  std::string prefix = w.top == "/" ? "/" : w.top + "/";
  return full.compare(0, prefix.size(), prefix) == 0;
}

/* Escaped pattern field: null when empty. */
bool arg_pattern(std::string_view field, std::string *out, const char **p)
{
  if (str_unescape_cstr_append(field.data(), field.size(), out) < 0 || out->size() != strlen(out->c_str()))
    return false;
  *p = out->empty() ? nullptr : out->c_str();
  return true;
}

/* "%s\t%x\t%d\t%s\t%s\t%s\t%s\t%s": root, listing flags, read time-out, the five patterns. */
bool io2_rdir_open(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  uint32_t flag = 0;
  int timeout = 0;
  if (f.size() != 8 || !num(f[1], &flag, 16) || !num(f[2], &timeout))
    return bad_arg(s, "bad walk request");
  std::string pat[5];
  const char *pp[5];
  for (int i = 0; i < 5; i++)
    if (!arg_pattern(f[3 + i], &pat[i], &pp[i]))
      return bad_arg(s, "bad pattern text");
  auto w = std::make_unique<srv_walk>();
  w->conf = s->conf;
  int rc = arg_path(s, f[0], &w->top);
  if (rc < 0)
    return rep_verr(s, rc);
  s->walk.reset();
  w->flag = flag;
  w->timeout_ms = timeout <= 0 ? (int)LIBRDIR_TIMEOUT_DEFAULT : std::min(timeout, WALK_TIMEOUT_MAX_MS);
  w->root_fd = open(s->conf->root_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (w->root_fd < 0)
    return rep_err(s, os_verr_last(), "export root cannot be opened");
  /* The engine opens its root by name once before it starts; that name is checked here the way
   * every directory of the walk is opened, so a link on the way is refused first. */
  int probe = open_walk_dir(w.get(), w->top.c_str());
  if (probe < 0) {
    rc = os_verr_last();
    VPERROR_SET(&s->err, rc, "walk [%s] error: %s", w->top.c_str(), verr2str(rc));
    return rep_verr(s, rc);
  }
  close(probe);
  librdir_param p;
  p.flag = flag;
  p.timeout = (uint32_t)std::min(w->timeout_ms, WALK_SLICE_MS);
  p.include = pp[0];
  p.exclude = pp[1];
  p.dir_include = pp[2];
  p.dir_exclude = pp[3];
  p.misc_exclude = pp[4];
  p.err = &s->err;
  p.open_dir = open_walk_dir;
  p.open_arg = w.get();
  p.queue_max = walk_queue_max();
  w->r = librdir_open(w->top.c_str(), &p);
  if (!w->r)
    return rep_verr(s, s->err.code ? s->err.code : VERR_FAIL);
  s->walk = std::move(w);
  return rep_data(s, nullptr, 0);
}

bool io2_rdir_close(session *s, const req_view &, const arg_view &, int32_t)
{
  s->walk.reset();
  return rep_data(s, nullptr, 0);
}

bool no_walk(session *s)
{
  return rep_err(s, VERR_HANDLE, "no walk is open");
}

/* "%s": a directory at or below the walked root. */
bool io2_rdir_enum(session *s, const req_view &, const arg_view &a, int32_t)
{
  if (!s->walk)
    return no_walk(s);
  std::string full;
  int rc = arg_path(s, a.text, &full);
  if (rc < 0)
    return rep_verr(s, rc);
  if (!in_walk(*s->walk, full))
    return rep_err(s, VERR_PARAM, "the directory is not part of the walk");
  rc = (s->walk->flag & LIBRDIR_F_GEN2) ? librdir_enum_dir2(s->walk->r, full.c_str())
                                        : librdir_enum_dir(s->walk->r, full.c_str());
  return rc < 0 ? rep_err(s, rc) : rep_data(s, nullptr, 0);
}

/* The next chunk of the walk: up to olen - 1 bytes, empty when nothing came within the client's
 * read time-out. */
bool io2_rdir_read(session *s, const req_view &, const arg_view &, int32_t olen)
{
  if (!s->walk)
    return no_walk(s);
  size_t cap = olen > 1 ? reply_cap(olen - 1) : 0;
  if (cap < 2)
    return bad_arg(s, "reply length too small for the walk");
  s->scratch.resize(cap);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s->walk->timeout_ms);
  int n = 0;
  for (;;) {
    n = librdir_read_item_list(s->walk->r, reinterpret_cast<char *>(s->scratch.data()), (uint32_t)cap);
    if (n != 0 || s->stop->load() || std::chrono::steady_clock::now() >= deadline)
      break;
  }
  if (n < 0)
    return rep_err(s, VERR_FAIL, "the walk cannot be read");
  return rep_data(s, s->scratch.data(), (size_t)n);
}

bool io2_rdir_dropped(session *s, const req_view &, const arg_view &, int32_t)
{
  if (!s->walk)
    return no_walk(s);
  return rep_text(s, std::to_string(librdir_drop_long_dirs(s->walk->r)));
}

/* "%s\t%s": escaped user and group names; "%lld\t%lld" with -1 for a name this host does not know. */
bool io2_lookup_ids(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  if (f.size() != 2)
    return bad_arg(s, "bad owner lookup");
  long long id[2] = {-1, -1};
  for (int i = 0; i < 2; i++) {
    std::string name;
    if (str_unescape_cstr_append(f[i].data(), f[i].size(), &name) < 0 || name.size() != strlen(name.c_str()))
      return bad_arg(s, "bad name text");
    if (name.empty())
      continue;
    uint32_t uid = 0, gid = 0;
    vperror quiet{};
    if (ep_lookup_ids(s->conf->root, i == 0 ? name.c_str() : nullptr, i == 1 ? name.c_str() : nullptr, &uid, &gid,
                      &quiet) == 0)
      id[i] = i == 0 ? uid : gid;
  }
  return rep_text(s, std::to_string(id[0]) + "\t" + std::to_string(id[1]));
}

/* The algorithm name: the digest of the whole file, read through the handle, as lower-case hex. */
bool io2_file_digest(session *s, const req_view &r, const arg_view &a, int32_t)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  pl_hash_alg alg;
  if (a.text == "xxh3") {
    /* The endpoint reads a file open for writing through a second descriptor of its own. */
    uint8_t d[EP_DIGEST_LEN];
    int rc = ep_file_digest(sf->f, d, s->stop, &s->err);
    if (rc < 0)
      return rep_verr(s, rc);
    return rep_text(s, pl_hex(d, sizeof d));
  }
  if (a.text == "sha256")
    alg = PL_HASH_SHA256;
  else
    return rep_err(s, VERR_NOTSUP, "unknown digest algorithm");
  std::unique_ptr<pl_hash, void (*)(pl_hash *)> h(pl_hash_new(alg), pl_hash_free);
  if (!h)
    return rep_err(s, VERR_NOMEM, "out of memory");
  s->scratch.resize(DIGEST_CHUNK);
  for (uint64_t off = 0;;) {
    if (s->stop->load())
      return rep_err(s, VERR_CANCELLED, "the server is stopping");
    int64_t n = ep_file_pread(sf->f, s->scratch.data(), DIGEST_CHUNK, off, &s->err);
    if (n < 0)
      return rep_verr(s, (int)n);
    pl_hash_update(h.get(), s->scratch.data(), (size_t)n);
    off += (uint64_t)n;
    if ((size_t)n < DIGEST_CHUNK)
      break;
  }
  uint8_t d[PL_HASH_MAX_LEN];
  size_t len = pl_hash_final(h.get(), d);
  return rep_text(s, pl_hex(d, len));
}

/* Releases one held output lock. */
void unlock_one(session *s, std::map<lock_key, int>::iterator it)
{
  std::lock_guard<std::mutex> g(g_locks_mu);
  auto h = g_locks.find(it->first);
  if (h != g_locks.end() && h->second.session == s->serial)
    g_locks.erase(h);
  close(it->second); /* the flock goes with the last descriptor of its open file */
  s->locks.erase(it);
}

/* Opens a directory of the export beneath its root, never through a link. A descriptor or a
 * negative code with the session's record filled. */
int open_export_dir(session *s, const std::string &full, int flags)
{
  std::string rel;
  if (!rel_below(s->conf->root_path, full.c_str(), &rel)) {
    VPERROR_SET(&s->err, VERR_PARAM, "[%s] is outside the export", full.c_str());
    return VERR_PARAM;
  }
  int top = open(s->conf->root_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) {
    int rc = os_verr_last();
    VPERROR_SET(&s->err, rc, "export root cannot be opened");
    return rc;
  }
  int fd = ep_open_beneath(top, rel.c_str(), flags | O_DIRECTORY, 0);
  close(top);
  if (fd < 0)
    VPERROR_SET(&s->err, fd, "open [%s] error: %s", full.c_str(), verr2str(fd));
  return fd;
}

/* "%s\t%u\t%s": the escaped root, 1 take or 0 release, the holder's text. */
bool io2_output_lock(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text, 3);
  uint32_t take = 0;
  if (f.size() != 3 || !num(f[1], &take) || take > 1)
    return bad_arg(s, "bad output lock request");
  std::string full;
  int rc = arg_path(s, f[0], &full);
  if (rc < 0)
    return rep_verr(s, rc);
  int fd = open_export_dir(s, full, O_RDONLY);
  if (fd < 0)
    return rep_verr(s, fd);
  struct stat st;
  if (fstat(fd, &st) < 0) {
    rc = os_verr_last();
    close(fd);
    return rep_err(s, rc);
  }
  lock_key key{(uint64_t)st.st_dev, (uint64_t)st.st_ino};
  auto held = s->locks.find(key);
  if (!take) {
    close(fd);
    if (held != s->locks.end())
      unlock_one(s, held);
    return rep_data(s, nullptr, 0);
  }
  std::lock_guard<std::mutex> g(g_locks_mu);
  if (held != s->locks.end()) {
    close(fd);
    g_locks[key] = lock_holder{s->serial, std::string(f[2])};
    return rep_data(s, nullptr, 0);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
    int eno = errno;
    close(fd);
    if (eno != EWOULDBLOCK)
      return rep_err(s, os_verr_get(eno), "the output lock cannot be taken");
    auto h = g_locks.find(key);
    std::string text = h != g_locks.end() ? h->second.text : std::string();
    return rep_err(s, VERR_LOCK, "the output is locked by another run") &&
           qvsd_msg_add_raw(&s->rep, "data", text.data(), (uint32_t)text.size()) == 0;
  }
  s->locks[key] = fd;
  g_locks[key] = lock_holder{s->serial, std::string(f[2])};
  return rep_data(s, nullptr, 0);
}

/* "%lld": "%llu\t%llu\t%d", the data at or after the offset; 1 when only a hole follows. */
bool io2_next_data(session *s, const req_view &r, const arg_view &a, int32_t)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  int64_t off = 0;
  if (!num(a.text, &off) || off < 0)
    return bad_arg(s, "bad offset");
  uint64_t start = 0, end = 0;
  int rc = ep_file_next_data(sf->f, (uint64_t)off, &start, &end, &s->err);
  if (rc < 0)
    return rep_verr(s, rc);
  return rep_text(s, std::to_string(start) + "\t" + std::to_string(end) + "\t" + (rc == 1 ? "1" : "0"));
}

/* "%s\t%s": the existing entry, the new name (whatever is there is replaced). */
bool io2_hard_link(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  if (f.size() != 2)
    return bad_arg(s, "bad link request");
  std::string target, path;
  int rc = arg_path(s, f[0], &target);
  if (rc >= 0)
    rc = arg_path(s, f[1], &path);
  if (rc >= 0)
    rc = ep_hard_link(s->conf->root, target.c_str(), path.c_str(), &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_data(s, nullptr, 0);
}

/* "%s\t%s\t%d": old path, new path, 1 when an existing new path must stay. */
bool io2_rename(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  int noreplace = 0;
  if (f.size() != 3 || !num(f[2], &noreplace) || (noreplace != 0 && noreplace != 1))
    return bad_arg(s, "bad rename request");
  std::string from, to;
  int rc = arg_path(s, f[0], &from);
  if (rc >= 0)
    rc = arg_path(s, f[1], &to);
  if (rc >= 0)
    rc = ep_rename(s->conf->root, from.c_str(), to.c_str(), noreplace == 1, &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_data(s, nullptr, 0);
}

/* "%s\t%s": path and attribute name; the value's bytes, refused when longer than "olen". */
bool io2_xattr_get(session *s, const req_view &, const arg_view &a, int32_t olen)
{
  auto f = fields_of(a.text);
  std::string name;
  if (f.size() != 2 || !arg_name(f[1], &name))
    return bad_arg(s, "bad attribute request");
  std::string full, value;
  int rc = arg_path(s, f[0], &full);
  if (rc < 0)
    return rep_verr(s, rc);
  int64_t n = ep_xattr_get(s->conf->root, full.c_str(), name.c_str(), &value, &s->err);
  if (n < 0)
    return rep_verr(s, (int)n);
  if (value.size() > reply_cap(olen))
    return rep_err(s, VERR_OVERFLOW, "the value is longer than the reply may be");
  return rep_text(s, value);
}

/* "%s\t%s\t" and the value's raw bytes to the end of the argument. */
bool io2_xattr_set(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.raw, 3);
  std::string name;
  if (f.size() != 3 || !arg_name(f[1], &name))
    return bad_arg(s, "bad attribute request");
  std::string full;
  int rc = arg_path(s, f[0], &full);
  if (rc >= 0)
    rc = ep_xattr_set(s->conf->root, full.c_str(), name.c_str(), f[2].data(), f[2].size(), &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_data(s, nullptr, 0);
}

/* ---- multi-block transfers and block digests ---- */

/* The block layout "%lld\t%u\t%u" (offset, block length, block count) shared by the three
 * requests: checked against the bounds of one request. false with s->err filled (VERR_PARAM). */
struct block_span {
  int64_t off = 0;
  uint32_t bl = 0, count = 0;
};

bool parse_span(session *s, std::string_view text, uint32_t bl_max, uint32_t count_max, uint64_t bytes_max,
                block_span *out)
{
  auto f = fields_of(text);
  if (f.size() != 3 || !num(f[0], &out->off) || out->off < 0 || !num(f[1], &out->bl) || !num(f[2], &out->count)) {
    VPERROR_SET(&s->err, VERR_PARAM, "bad block request: offset, block length and block count expected");
    return false;
  }
  uint64_t bytes = (uint64_t)out->bl * out->count;
  if (out->bl == 0 || out->count == 0 || out->bl > bl_max || out->count > count_max || bytes > bytes_max ||
      (uint64_t)out->off > (uint64_t)INT64_MAX - bytes) {
    VPERROR_SET(&s->err, VERR_PARAM, "block request of %u blocks of %u bytes is outside the server's bounds",
                out->count, out->bl);
    return false;
  }
  return true;
}

/* "%lld\t%u\t%u": per block its plain length and compressed length (4 bytes big-endian each) and
 * the compressed bytes; the first block shorter than the block length (empty at the end of the
 * file) is the last one sent. */
bool io2_pread_multi(session *s, const req_view &r, const arg_view &a, int32_t olen)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  block_span sp;
  if (!parse_span(s, a.text, MULTI_DATA_MAX, MULTI_BLOCKS_MAX, MULTI_DATA_MAX, &sp))
    return rep_verr(s, VERR_PARAM);
  uint32_t bound = zcomp_bound(sp.bl);
  uint64_t need = (uint64_t)sp.count * (8 + bound);
  if (olen < 0 || need > (uint64_t)olen)
    return bad_arg(s, "the reply room is smaller than the blocks asked for");
  std::vector<uint8_t> plain(sp.bl);
  s->scratch.resize((size_t)need);
  size_t at = 0;
  int64_t total = 0;
  for (uint32_t i = 0; i < sp.count; i++) {
    uint64_t off = (uint64_t)sp.off + (uint64_t)i * sp.bl;
    int64_t n = ep_file_pread(sf->f, plain.data(), sp.bl, off, &s->err);
    if (n < 0)
      return rep_verr(s, (int)n);
    int packed = 0;
    if (n > 0) {
      packed = zcomp_compress(&s->codec, plain.data(), (int)n, s->scratch.data() + at + 8, (int)bound);
      if (packed <= 0)
        return rep_err(s, VERR_FAIL, "compression failed");
    }
    qvsd_put_be32(s->scratch.data() + at, (uint32_t)n);
    qvsd_put_be32(s->scratch.data() + at + 4, (uint32_t)packed);
    at += 8 + (size_t)packed;
    total += n;
    if (n < (int64_t)sp.bl)
      break;
  }
  sf->pos = sp.off + total;
  return rep_data(s, s->scratch.data(), at);
}

/* "%lld\t%u\t%u\n" and exactly that many blocks in the form of the multi-block read; every block
 * but the last is whole. The blocks are all checked and unpacked before the first byte is written,
 * so a request that does not decode changes nothing. Reply: the decimal count written. */
bool io2_pwrite_multi(session *s, const req_view &r, const arg_view &a, int32_t)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  size_t nl = a.raw.substr(0, 64).find('\n');
  if (nl == std::string_view::npos)
    return bad_arg(s, "bad block request: a header line expected");
  block_span sp;
  if (!parse_span(s, a.raw.substr(0, nl), MULTI_DATA_MAX, MULTI_BLOCKS_MAX, MULTI_DATA_MAX, &sp))
    return rep_verr(s, VERR_PARAM);
  std::string_view rest = a.raw.substr(nl + 1);
  std::vector<uint8_t> plain((size_t)sp.bl * sp.count);
  size_t len = 0;
  for (uint32_t i = 0; i < sp.count; i++) {
    if (rest.size() < 8)
      return rep_err(s, VERR_PROTO, "fewer blocks than the header names");
    uint32_t n = qvsd_get_be32(rest.data()), packed = qvsd_get_be32(rest.data() + 4);
    rest.remove_prefix(8);
    bool last = i + 1 == sp.count;
    if (n == 0 || n > sp.bl || (!last && n != sp.bl) || packed == 0 || packed > rest.size())
      return rep_err(s, VERR_PROTO, "a block's lengths do not fit the request");
    const void *out = nullptr;
    if (zcomp_decompress_view(&s->codec, rest.data(), (int)packed, &out, (int)n) < 0)
      return rep_err(s, VERR_PROTO, "a block does not unpack to its length");
    memcpy(plain.data() + len, out, n);
    len += n;
    rest.remove_prefix(packed);
  }
  if (!rest.empty())
    return rep_err(s, VERR_PROTO, "bytes after the last block");
  int64_t n = ep_file_pwrite(sf->f, plain.data(), len, (uint64_t)sp.off, &s->err);
  if (n < 0)
    return rep_verr(s, (int)n);
  /* These bytes are not in the running digest: one that already covers them no longer holds. */
  if ((uint64_t)sp.off < sf->wr.end)
    sf->wr.broken = true;
  sf->pos = sp.off + n;
  return rep_text(s, std::to_string(n));
}

/* "%lld\t%u\t%u": one line per block in file order, the 64-bit XXH3 of the block's bytes as 16
 * lower-case hex digits; the file's end cuts the last block short, and blocks past it give no line.
 * The blocks are read through the handle, so a file open for writing is digested as it is now. */
bool io2_block_digests(session *s, const req_view &r, const arg_view &a, int32_t olen)
{
  srv_file *sf = file_of(s, r);
  if (!sf)
    return bad_handle(s);
  block_span sp;
  if (!parse_span(s, a.text, HASH_BS_MAX, DIGEST_LINES_MAX, UINT64_MAX, &sp))
    return rep_verr(s, VERR_PARAM);
  if ((uint64_t)sp.count * DIGEST_LINE_LEN > reply_cap(olen))
    return bad_arg(s, "the reply room is smaller than the digests asked for");
  std::vector<uint8_t> block(sp.bl);
  std::string out;
  out.reserve((size_t)sp.count * DIGEST_LINE_LEN);
  for (uint32_t i = 0; i < sp.count; i++) {
    if (s->stop->load())
      return rep_err(s, VERR_CANCELLED, "the server is stopping");
    uint64_t off = (uint64_t)sp.off + (uint64_t)i * sp.bl;
    int64_t n = ep_file_pread(sf->f, block.data(), sp.bl, off, &s->err);
    if (n < 0)
      return rep_verr(s, (int)n);
    if (n == 0)
      break;
    char line[DIGEST_LINE_LEN + 1];
    snprintf(line, sizeof line, "%016" PRIx64 "\n", pl_hash_xxh3_64(block.data(), (size_t)n));
    out.append(line, DIGEST_LINE_LEN);
    if (n < (int64_t)sp.bl)
      break;
  }
  return rep_text(s, out);
}

/* ---- batch file lists ---- */

void batch_close(session *s)
{
  ep_batch_close(s->batch);
  s->batch = nullptr;
}

bool no_batch(session *s)
{
  return rep_err(s, VERR_HANDLE, "no batch job is open");
}

/* "%d\t%d\t%d\t%x\t%x\t%x\t%x", optionally followed by "\t%x": the largest data buffer, the
 * result time-out, remove flags, uid, gid, mode word and directory mode of the job, and the job
 * flags (QVSD_MFILE_F_*). The data buffer is at most 2 MiB (+ 4 for a block header; the most one
 * reply carries) and the time-out at most MFILE_WAIT_MAX_MS, because the session waits that long
 * for each result read. Directories of an initial sync list get the owner asked for, and their
 * mode loses the set-ID bits unless the export keeps them. Opening a job closes the one before it. */
constexpr int32_t MFILE_WAIT_MAX_MS = 10000;

bool io2_mfile_open(session *s, const req_view &, const arg_view &a, int32_t)
{
  auto f = fields_of(a.text);
  int32_t size = 0, timeout = 0, flags = 0;
  uint32_t uid = 0, gid = 0, mode = 0, dir_mode = 0, job_flags = 0;
  if ((f.size() != 7 && f.size() != 8) || !num(f[0], &size) || !num(f[1], &timeout) || !num(f[2], &flags) ||
      !num(f[3], &uid, 16) || !num(f[4], &gid, 16) || !num(f[5], &mode, 16) || !num(f[6], &dir_mode, 16) ||
      (f.size() == 8 && !num(f[7], &job_flags, 16)) || size < (int32_t)MFILE_SIZE_MIN || timeout < 0 ||
      flags < INT8_MIN || flags > INT8_MAX || (job_flags & ~QVSD_MFILE_F_DIGESTS) != 0)
    return bad_arg(s, "bad batch job request");
  batch_close(s);
  ep_batch_param p;
  p.max_size = std::min<uint32_t>((uint32_t)size, MFILE_SIZE_DEFAULT + 4);
  p.timeout = (uint32_t)std::min(timeout, MFILE_WAIT_MAX_MS);
  p.uid = uid;
  p.gid = gid;
  p.dir_mode = dir_mode & (s->conf->keep_special ? 07777u : 01777u);
  p.flags = (job_flags & QVSD_MFILE_F_DIGESTS) ? (uint32_t)EP_BATCH_DIGESTS : 0u;
  /* Without keep_special, the entries a list creates lose the set-ID bits of their modes, as
   * every other request that sets a mode does. */
  if (!s->conf->keep_special)
    p.flags |= EP_BATCH_NO_SET_ID;
  s->batch = ep_batch_open(s->conf->root, &s->err, &p);
  if (!s->batch)
    return rep_verr(s, s->err.code ? s->err.code : VERR_FAIL);
  s->batch_checked = (job_flags & QVSD_MFILE_F_DIGESTS) != 0;
  return rep_data(s, nullptr, 0);
}

bool io2_mfile_close(session *s, const req_view &, const arg_view &, int32_t)
{
  batch_close(s);
  return rep_data(s, nullptr, 0);
}

/* The next results of the job, within "olen"; empty when none came within the job's wait. The
 * argument only names the read for the client. */
bool io2_mfile_result(session *s, const req_view &, const arg_view &, int32_t olen)
{
  if (!s->batch)
    return no_batch(s);
  size_t cap = reply_cap(olen);
  if (cap < 2)
    return bad_arg(s, "reply length too small for batch results");
  s->scratch.resize(cap);
  int n = ep_batch_ret(s->batch, reinterpret_cast<char *>(s->scratch.data()), (uint32_t)cap, &s->err);
  if (n < 0)
    return rep_verr(s, n);
  return rep_data(s, s->scratch.data(), (size_t)n);
}

/* The call codes and the batch types they carry. */
struct mfile_call {
  int32_t code;
  int type;
};
const mfile_call g_mfile_calls[] = {
    {QVSD_IOCTL2_MFILE_CALL_FIRST, MFILE_READ_LIST},       /* 10133 */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 1, MFILE_CREATE_DIR},  /* 10134 */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 2, MFILE_WRITE_FILE},  /* 10135 */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 3, MFILE_DELETE},      /* 10136 */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 5, MFILE_CLEAR_FILES}, /* 10138 */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 7, MFILE_SYNC_INIT},   /* 10140 */
    {QVSD_IOCTL2_MFILE_CALL_LAST, MFILE_HARDLINK},         /* 10141 */
};

/* One batch call: the escaped base directory (an export path) and the escaped list, "%s\t%s", the
 * base alone, or "\t%s". For hard links the base is an escaped zz-string: the export path and the
 * links' directory relative to it. */
bool io2_mfile_call(session *s, const req_view &r, const arg_view &a, int32_t)
{
  if (!s->batch)
    return no_batch(s);
  int32_t code = 0;
  int type = 0;
  r.i32("cmd", &code);
  for (const mfile_call &c : g_mfile_calls)
    if (code == c.code)
      type = c.type;
  if (!type)
    return rep_err(s, VERR_NOTSUP, "not supported");
  size_t tab = a.text.find('\t');
  std::string_view dir_field = a.text.substr(0, tab);
  std::string_view list_field = tab == std::string_view::npos ? std::string_view() : a.text.substr(tab + 1);
  /* A checked job's list ends with its digest: a list damaged on the way is refused whole, before
   * any of its lines could make an entry under a wrong name or with wrong attributes. */
  std::string_view want;
  if (s->batch_checked && tab != std::string_view::npos) {
    size_t last = list_field.rfind('\t');
    if (last == std::string_view::npos || list_field.size() - last - 1 != 32)
      return rep_err(s, VERR_PROTO, "batch list without its digest");
    want = list_field.substr(last + 1);
    list_field = list_field.substr(0, last);
  }
  /* Lists follow one another: each is unescaped into the memory of the last one. */
  std::string &list = s->list_text;
  list.clear();
  if (list.capacity() > LIST_TEXT_KEEP)
    std::string().swap(list);
  list.reserve(list_field.size());
  if (tab != std::string_view::npos && str_unescape_cstr_append(list_field.data(), list_field.size(), &list) < 0)
    return bad_arg(s, "bad list text");
  if (!want.empty()) {
    uint8_t d[16];
    pl_hash_once(PL_HASH_XXH3, list.data(), list.size(), d);
    if (pl_hex(d, sizeof d) != want || refused_for_test(dir_field)) {
      LOGW("%s: a batch list for [%.*s] was damaged on the way: refused\n", s->peer,
           (int)std::min<size_t>(dir_field.size(), 256), dir_field.data());
      return rep_err(s, VERR_PROTO, "batch list damaged on the way");
    }
  }
  std::string dir;
  int rc;
  if (type == MFILE_HARDLINK) {
    std::string zz;
    if (str_unescape_cstr_append(dir_field.data(), dir_field.size(), &zz) < 0)
      return bad_arg(s, "bad path text");
    size_t first = zz.find('\0');
    std::string base = zz.substr(0, first);
    std::string links = first != std::string::npos && first + 1 < zz.size() ? std::string(zz.c_str() + first + 1) : "";
    std::string full;
    rc = full_path(s, base.c_str(), &full);
    if (rc < 0)
      return rep_verr(s, rc);
    std::string out_zz = full + '\0' + links + '\0' + '\0';
    if (str_escape_tab_zz_append(out_zz.c_str(), &dir) < 0)
      return rep_err(s, VERR_NOMEM, "out of memory");
  } else {
    rc = arg_path(s, dir_field, &dir);
    if (rc < 0)
      return rep_verr(s, rc);
  }
  if (list.size() > UINT32_MAX)
    return bad_arg(s, "list too long");
  rc = ep_batch_call(s->batch, type, dir.c_str(), list.data(), (uint32_t)list.size(), &s->err);
  return rc < 0 ? rep_verr(s, rc) : rep_data(s, nullptr, 0);
}

/* ---- the two carriers ---- */

/* One code of a carrier. writes: refused on a read-only export before the handler runs. */
struct carrier_code {
  int32_t code;
  bool writes;
  bool (*serve)(session *s, const req_view &r, const arg_view &a, int32_t olen);
};

const carrier_code g_ioctl_codes[] = {
    {QVSD_IOCTL_PING, false, io_ping},
    {QVSD_IOCTL_PACK, false, io_pack},
    {QVSD_IOCTL_CLOSE_ATTR, false, io_close_attr}, /* refuses the attributes itself, still closing */
    {QVSD_IOCTL_LUTIME, true, io_lutime},
    {QVSD_IOCTL_RMDIR2, true, io_rmdir2},
    {QVSD_IOCTL_REMOVE2, true, io_remove2},
    {QVSD_IOCTL_SET_ATTR_PATH, true, io_set_attr_path},
    {QVSD_IOCTL_CREATE, true, io_create},
    {QVSD_IOCTL_MKDIR_P, true, io_mkdir_p},
};

const carrier_code g_ioctl2_codes[] = {
    {QVSD_IOCTL2_STAT, false, io2_stat},
    {QVSD_IOCTL2_HASH_INIT, false, io2_hash_init},
    {QVSD_IOCTL2_HASH_RANGE, false, io2_hash_range},
    {QVSD_IOCTL2_HASH_BLOCK, false, io2_hash_block},
    {QVSD_IOCTL2_HASH_GET2, false, io2_hash_get2},
    {QVSD_IOCTL2_HASH_CLOSE, false, io2_hash_close},
    {QVSD_IOCTL2_RDIR_OPEN, false, io2_rdir_open},
    {QVSD_IOCTL2_RDIR_CLOSE, false, io2_rdir_close},
    {QVSD_IOCTL2_RDIR_ENUM, false, io2_rdir_enum},
    {QVSD_IOCTL2_RDIR_READ, false, io2_rdir_read},
    {QVSD_IOCTL2_RDIR_DROPPED, false, io2_rdir_dropped},
    {QVSD_IOCTL2_LOOKUP_IDS, false, io2_lookup_ids},
    {QVSD_IOCTL2_FILE_DIGEST, false, io2_file_digest},
    {QVSD_IOCTL2_OUTPUT_LOCK, false, io2_output_lock}, /* a lock changes nothing on disk */
    {QVSD_IOCTL2_NEXT_DATA, false, io2_next_data},
    {QVSD_IOCTL2_HARD_LINK, true, io2_hard_link},
    {QVSD_IOCTL2_RENAME, true, io2_rename},
    {QVSD_IOCTL2_XATTR_GET, false, io2_xattr_get},
    {QVSD_IOCTL2_XATTR_SET, true, io2_xattr_set},
    {QVSD_IOCTL2_PREAD_MULTI, false, io2_pread_multi},
    {QVSD_IOCTL2_PWRITE_MULTI, true, io2_pwrite_multi},
    {QVSD_IOCTL2_BLOCK_DIGESTS, false, io2_block_digests},
    /* Batch file lists: a job that only reads may run on a read-only export. */
    {QVSD_IOCTL2_MFILE_OPEN, false, io2_mfile_open},
    {QVSD_IOCTL2_MFILE_CLOSE, false, io2_mfile_close},
    {QVSD_IOCTL2_MFILE_RESULT, false, io2_mfile_result},
    {QVSD_IOCTL2_MFILE_CALL_FIRST, false, io2_mfile_call},     /* 10133 read files */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 1, true, io2_mfile_call},  /* 10134 create directories */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 2, true, io2_mfile_call},  /* 10135 write files */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 3, true, io2_mfile_call},  /* 10136 delete */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 5, true, io2_mfile_call},  /* 10138 clear files */
    {QVSD_IOCTL2_MFILE_CALL_FIRST + 7, true, io2_mfile_call},  /* 10140 initial sync list */
    {QVSD_IOCTL2_MFILE_CALL_LAST, true, io2_mfile_call},       /* 10141 hard links */
};

template <size_t N> bool serve_carrier(session *s, const req_view &r, const carrier_code (&table)[N])
{
  int32_t code = 0, olen = 0;
  uint32_t n = 0;
  const void *arg = r.raw("data", &n);
  if (!r.i32("cmd", &code))
    return rep_err(s, VERR_PARAM, "cmd missing");
  r.i32("olen", &olen);
  arg_view a;
  if (arg) {
    a.raw = std::string_view(static_cast<const char *>(arg), n);
    a.text = a.raw.substr(0, strnlen(a.raw.data(), n));
  }
  for (const carrier_code &c : table) {
    if (c.code != code)
      continue;
    if (c.writes && s->conf->read_only)
      return rep_read_only(s);
    return c.serve(s, r, a, olen);
  }
  return rep_err(s, VERR_NOTSUP, "not supported");
}

bool do_ioctl(session *s, const req_view &r)
{
  return serve_carrier(s, r, g_ioctl_codes);
}

bool do_ioctl2(session *s, const req_view &r)
{
  return serve_carrier(s, r, g_ioctl2_codes);
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
  case QVSD_CMD_PWRITE:
    /* No handle of a read-only export is writable; the refusal says why instead of a bad handle. */
    if (s->conf->read_only)
      return rep_read_only(s);
    return do_pwrite(s, r, cmd == QVSD_CMD_PWRITE);
  case QVSD_CMD_SETLEN:
    if (s->conf->read_only)
      return rep_read_only(s);
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
  s.stop = stop;
  s.serial = g_session_serial.fetch_add(1) + 1;
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
    /* An exit needs none of its members: whatever they hold, the session ends as asked, with
     * no reply. */
    if (cmd != QVSD_CMD_EXIT && !members_valid(members, mlen)) {
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
  s.walk.reset();
  batch_close(&s);
  while (!s.locks.empty())
    unlock_one(&s, s.locks.begin());
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
