#define LOG_TAG "ep"
/* The remote endpoint: a tree exported by a qvsd server, reached at qvp:// (TCP) or qvps:// (TLS).
 *
 * Every slot sends the request of the service client that runs the same operation of the server's
 * local endpoint on the export, so the two sides refuse and resolve paths alike. A client
 * connection serves one thread at a time, and the engine calls an endpoint from several threads at
 * once: the endpoint keeps a pool of logged-in connections. A file handle or a listing holds one
 * for its life; a tree change borrows one for its request. The connection that takes the output
 * lock stays out of the pool until the endpoint closes, because the server ties the lock to it.
 *
 * Reconnecting: a request that may safely be repeated (open, create, set times and attributes,
 * status, removal, renaming, walk enumeration) is sent once more on a new connection when the
 * first one broke (result codes -466, -40, -400, -454, -453). Requests that carry data are not
 * repeated: their failure reaches the engine, which counts it.
 *
 * Secrets: the URL may hold a password. It is kept to reconnect and never logged; messages name
 * the server as host:port. */
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "libep/ep.h"
#include "liblog/log2.h"
#include "libnet/net_url.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/pl_str.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"
#include "librdir/mfile.h"

namespace {

/* A pooled connection with its own error record: the client writes its errors there. */
struct rconn {
  vperror err{};
  qvsd_cli *c = nullptr;
};

struct remote_ep {
  std::string url;  /* as resolved: may carry the password, never logged */
  std::string host; /* "host:port" for messages */
  std::string root;
  std::mutex lock;
  std::vector<rconn *> idle;
  rconn *lock_conn = nullptr;
  bool gated = false; /* the first connection passed the version check */
};

remote_ep *R(ep *e)
{
  return static_cast<remote_ep *>(e->impl);
}

bool is_remote_url(const char *url)
{
  return strncasecmp(url, "qvp://", 6) == 0 || strncasecmp(url, "qvps://", 7) == 0;
}

bool r_match(const char *url)
{
  return url && is_remote_url(url);
}

/* Result codes after which the connection is gone and a new one may carry the request. */
bool conn_broken(int code)
{
  return code == VERR_PROTO || code == VERR_TIMEOUT || code == -400 || code == -454 || code == -453;
}

void conn_free(rconn *rc)
{
  if (!rc)
    return;
  if (rc->c)
    qvsd_cli_exit(rc->c);
  delete rc;
}

/* The error of a failed request into the caller's record, naming the server and the path. */
int fail(remote_ep *r, rconn *rc, const char *what, const char *path, vperror *err)
{
  int code = rc && rc->err.code ? rc->err.code : VERR_FAIL;
  const char *msg = rc ? vperror_str(&rc->err) : "";
  VPERROR_SET(err, code, "%s [%s] on %s error: %s", what, path ? path : "", r->host.c_str(),
              *msg ? msg : verr2str(code));
  return code;
}

rconn *conn_new(remote_ep *r, vperror *err)
{
  auto *rc = new (std::nothrow) rconn;
  if (!rc) {
    VPERROR_SET(err, VERR_NOMEM, "connection to %s: out of memory", r->host.c_str());
    return nullptr;
  }
  rc->c = qvsd_cli_connect(r->url.c_str(), &rc->err);
  if (!rc->c) {
    int code = rc->err.code ? rc->err.code : VERR_FAIL;
    const char *msg = vperror_str(&rc->err);
    VPERROR_SET(err, code, "qvsd %s: %s", r->host.c_str(), *msg ? msg : verr2str(code));
    delete rc;
    return nullptr;
  }
  if (qvsd_cli_gate(rc->c, QVSD_VER_MIN_RUN) < 0) {
    VPERROR_SET(err, rc->err.code, "qvsd %s (version %s): %s", r->host.c_str(), rc->c->ver, QVSD_ERR_GATE_TEXT);
    conn_free(rc);
    return nullptr;
  }
  return rc;
}

rconn *conn_get(remote_ep *r, vperror *err)
{
  {
    std::lock_guard<std::mutex> g(r->lock);
    if (!r->idle.empty()) {
      rconn *rc = r->idle.back();
      r->idle.pop_back();
      rc->err = vperror{};
      return rc;
    }
  }
  return conn_new(r, err);
}

/* Back into the pool, or closed when the connection broke. */
void conn_put(remote_ep *r, rconn *rc)
{
  if (!rc)
    return;
  if (conn_broken(rc->err.code) || !rc->c || rc->c->conn.closed) {
    conn_free(rc);
    return;
  }
  std::lock_guard<std::mutex> g(r->lock);
  r->idle.push_back(rc);
}

/* Runs op on a pooled connection; with retry, a broken connection is replaced once and op sent
 * again. op returns a negative value on failure (the error in the connection's record). */
template <class Op>
int64_t with_conn(ep *e, const char *what, const char *path, bool retry, vperror *err, Op op)
{
  remote_ep *r = R(e);
  rconn *rc = conn_get(r, err);
  if (!rc)
    return err && err->code ? err->code : VERR_FAIL;
  int64_t n = op(rc);
  if (n < 0 && retry && conn_broken(rc->err.code)) {
    LOGD("need reconnect!! %s [%s] eno=%d [%s]", what, path ? path : "", rc->err.code, vperror_str(&rc->err));
    conn_free(rc);
    rc = conn_new(r, err);
    if (!rc)
      return err && err->code ? err->code : VERR_FAIL;
    LOGD("qvsd_cli_reconnect ok");
    n = op(rc);
  }
  if (n < 0)
    n = fail(r, rc, what, path, err);
  conn_put(r, rc);
  return n;
}

/* ---- probing ---- */

int r_open(ep *e, const char *url, ep_info *info, vperror *err)
{
  info->is_local = false;
  char buf[URL_BUF_SIZE];
  struct url u;
  if (strlen(url) >= URL_BUF_SIZE || url_parser(&u, url, buf, sizeof buf) < 0 || !*u.host) {
    char masked[URL_BUF_SIZE];
    VPERROR_SET(err, VERR_PARAM, "url [%s] syntax error", url_text_mask(url, masked, sizeof masked));
    return -1;
  }
  char path[EP_PATH_SIZE];
  int n = str_path_normalize(*u.path ? u.path : "/", path, sizeof path);
  if (n < 0) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "path too long: [%.64s...]", u.path);
    return -1;
  }
  if (n == 0 || path[0] != '/') {
    snprintf(path, sizeof path, "/");
    n = 1;
  }
  while (n > 1 && path[n - 1] == '/')
    path[--n] = 0;
  auto *r = new (std::nothrow) remote_ep;
  if (!r) {
    VPERROR_SET(err, VERR_NOMEM, "ep_open: out of memory");
    return -1;
  }
  e->impl = r;
  r->url = url;
  bool tls = strncasecmp(url, "qvps://", 7) == 0;
  unsigned port = u.port ? u.port : (unsigned)(tls ? QVSD_PORT_TLS : QVSD_PORT_TCP);
  r->host = strchr(u.host, ':') ? std::string("[") + u.host + "]:" + std::to_string(port)
                                 : std::string(u.host) + ":" + std::to_string(port);
  r->root = path;
  qvsd_cli_init();
  rconn *rc = conn_new(r, err);
  if (!rc)
    return -1;
  info->path = path;
  info->is_local = false;
  info->posix_host = !rc->c->windows;
  /* The multi-block requests are not sent by this endpoint yet: data moves in single blocks. */
  info->multi_block = false;
  int rs = qvsd_cli_stat(rc->c, path, 0, &info->root);
  if (rs < 0) {
    int code = rc->err.code;
    if (code != VERR_FILE_NOT_FOUND && code != VERR_PATH_NOT_FOUND) {
      LOGE("stat [%s] eno=%d error: %s", path, code, vperror_str(&rc->err));
      fail(r, rc, "stat", path, err);
      conn_free(rc);
      return -1;
    }
    info->not_exist = true;
    os_dirent_clear(&info->root);
    rc->err = vperror{};
  } else {
    info->is_dir = ((info->root.type & ~TYPE_F_SYMLINK) & TYPE_KIND_MASK) == TYPE_DIR;
  }
  /* The volume of a root that does not exist yet is the export's. */
  qvsd_statfs fs;
  if (qvsd_cli_statfs(rc->c, info->not_exist ? "/" : path, &fs) < 0) {
    LOGE("statfs [%s] eno=%d error: %s", path, rc->err.code, vperror_str(&rc->err));
    fail(r, rc, "statfs", path, err);
    conn_free(rc);
    return -1;
  }
  info->fs.fs_name = fs.fs_name;
  info->fs.vol_name = fs.vol_name;
  info->fs.name_len = fs.name_len;
  info->fs.flags = fs.flags;
  info->fs.avail_bytes = fs.avail_bytes;
  info->fs.free_bytes = fs.free_bytes;
  info->fs.total_bytes = fs.total_bytes;
  conn_put(r, rc);
  return 0;
}

void r_close(ep *e)
{
  remote_ep *r = R(e);
  if (!r)
    return;
  if (r->lock_conn) {
    qvsd_cli_output_lock(r->lock_conn->c, r->root.c_str(), false, "");
    conn_free(r->lock_conn);
  }
  for (rconn *rc : r->idle)
    conn_free(rc);
  delete r;
  e->impl = nullptr;
}

int r_lookup_ids(ep *e, const char *user, const char *group, uint32_t *uid, uint32_t *gid, vperror *err)
{
  return (int)with_conn(e, "lookup_ids", user && *user ? user : group, true, err,
                        [&](rconn *rc) { return qvsd_cli_lookup_ids(rc->c, user, group, uid, gid); });
}

int r_lock_root(ep *e, vperror *err)
{
  remote_ep *r = R(e);
  if (r->lock_conn)
    return 0;
  rconn *rc = conn_get(r, err);
  if (!rc)
    return err->code;
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  char holder[320];
  snprintf(holder, sizeof holder, "qvcp on %s pid %d", host, (int)getpid());
  if (qvsd_cli_output_lock(rc->c, r->root.c_str(), true, holder) < 0) {
    int code = rc->err.code;
    if (code == VERR_LOCK)
      VPERROR_SET(err, VERR_LOCK, "[%s] on %s is in use by another run (%s)", r->root.c_str(), r->host.c_str(),
                  vperror_str(&rc->err));
    else
      fail(r, rc, "lock", r->root.c_str(), err);
    conn_put(r, rc);
    return err->code;
  }
  r->lock_conn = rc;
  return 0;
}

/* ---- listing: the server-side walk ---- */

struct rlist {
  ep_list h;
  rconn *rc = nullptr;
  std::mutex lock;
  std::atomic<bool> stop{false};
  std::string root;
};

rlist *RL(ep_list *l)
{
  return static_cast<rlist *>(l->impl);
}

ep_list *r_list_open(ep *e, const ep_list_param *p, vperror *err)
{
  remote_ep *r = R(e);
  auto *rl = new (std::nothrow) rlist;
  if (!rl) {
    VPERROR_SET(err, VERR_NOMEM, "list_open: out of memory");
    return nullptr;
  }
  rl->h.e = e;
  rl->h.impl = rl;
  rl->root = r->root;
  rl->rc = conn_get(r, err);
  if (!rl->rc) {
    delete rl;
    return nullptr;
  }
  qvsd_rdir_param q;
  q.flag = p->flag;
  q.timeout_ms = p->timeout;
  q.include = p->include;
  q.exclude = p->exclude;
  q.dir_include = p->dir_include;
  q.dir_exclude = p->dir_exclude;
  q.misc_exclude = p->misc_exclude;
  if (qvsd_cli_rdir_open(rl->rc->c, r->root.c_str(), &q) < 0) {
    LOGE("qvsd_cli_rdir_open [%s] eno=%d [%s]", r->root.c_str(), rl->rc->err.code, vperror_str(&rl->rc->err));
    fail(r, rl->rc, "list", r->root.c_str(), err);
    conn_put(r, rl->rc);
    delete rl;
    return nullptr;
  }
  return &rl->h;
}

int r_list_enum(ep_list *l, const char *dir)
{
  rlist *rl = RL(l);
  std::lock_guard<std::mutex> g(rl->lock);
  if (rl->stop.load())
    return VERR_CANCELLED;
  if (qvsd_cli_rdir_enum(rl->rc->c, dir) < 0) {
    LOGE("qvsd_rdir_enum=[%s] eno=%d [%s]", dir, rl->rc->err.code, vperror_str(&rl->rc->err));
    return rl->rc->err.code ? rl->rc->err.code : VERR_FAIL;
  }
  return 0;
}

int r_list_read(ep_list *l, char *buf, uint32_t len)
{
  rlist *rl = RL(l);
  std::lock_guard<std::mutex> g(rl->lock);
  if (rl->stop.load())
    return 0;
  int n = qvsd_cli_rdir_read(rl->rc->c, buf, len);
  if (n < 0) {
    LOGE("qvsd_rdir_read [%s] eno=%d [%s]", rl->root.c_str(), rl->rc->err.code, vperror_str(&rl->rc->err));
    return rl->rc->err.code ? rl->rc->err.code : VERR_FAIL;
  }
  return n;
}

/* Any thread: a read blocked on the server gives up at once. */
void r_list_stop(ep_list *l)
{
  rlist *rl = RL(l);
  rl->stop.store(true);
  qvsd_cli_stop(rl->rc->c);
}

void r_list_close(ep_list *l)
{
  rlist *rl = RL(l);
  remote_ep *r = R(l->e);
  if (rl->stop.load()) {
    conn_free(rl->rc); /* the stop mark stays on the connection */
  } else {
    qvsd_cli_rdir_close(rl->rc->c);
    conn_put(r, rl->rc);
  }
  delete rl;
}

uint64_t r_list_drop_long_dirs(ep_list *l)
{
  rlist *rl = RL(l);
  std::lock_guard<std::mutex> g(rl->lock);
  int64_t n = rl->stop.load() ? 0 : qvsd_cli_rdir_dropped(rl->rc->c);
  return n > 0 ? (uint64_t)n : 0;
}

/* ---- files ---- */

struct rfile {
  ep_file h;
  rconn *rc = nullptr;
  qvsd_file *f = nullptr;
  std::string path;
  int how = EP_O_READ;
  int64_t stat_size = -1; /* the size the last status of the open file gave */
};

rfile *RF(ep_file *f)
{
  return static_cast<rfile *>(f->impl);
}

int file_fail(ep_file *f, const char *what, vperror *err)
{
  rfile *rf = RF(f);
  return fail(R(f->e), rf->rc, what, rf->path.c_str(), err);
}

ep_file *r_file_open(ep *e, const char *path, int how, vperror *err)
{
  remote_ep *r = R(e);
  int64_t flags = O_RDONLY;
  if ((how & 0xf) == EP_O_WRITE)
    flags = O_WRONLY | O_CREAT | O_TRUNC | ((how & EP_O_EXCL) ? O_EXCL : 0);
  else if ((how & 0xf) == EP_O_SYNC)
    flags = O_RDWR | O_CREAT;
  if (how & EP_O_SOLE)
    flags |= QVSD_O_SOLE;
  auto *rf = new (std::nothrow) rfile;
  if (!rf) {
    VPERROR_SET(err, VERR_NOMEM, "open: out of memory");
    return nullptr;
  }
  rf->h.e = e;
  rf->h.impl = rf;
  rf->path = path;
  rf->how = how & 0xf;
  for (int attempt = 0; attempt < 2; attempt++) {
    rf->rc = conn_get(r, err);
    if (!rf->rc)
      break;
    rf->f = qvsd_cli_open(rf->rc->c, path, flags);
    if (rf->f)
      return &rf->h;
    int code = rf->rc->err.code;
    if (attempt == 0 && conn_broken(code)) {
      LOGD("need reconnect!! open=[%s] eno=%d [%s]", path, code, vperror_str(&rf->rc->err));
      conn_free(rf->rc);
      continue;
    }
    fail(r, rf->rc, (how & 0xf) == EP_O_READ ? "open" : "open for writing", path, err);
    conn_put(r, rf->rc);
    break;
  }
  delete rf;
  return nullptr;
}

int64_t r_file_pread(ep_file *f, void *buf, size_t len, uint64_t off, vperror *err)
{
  int64_t n = qvsd_cli_read(RF(f)->f, buf, (int64_t)len, (int64_t)off);
  return n < 0 ? file_fail(f, "read", err) : n;
}

int64_t r_file_pwrite(ep_file *f, const void *buf, size_t len, uint64_t off, vperror *err)
{
  int64_t n = qvsd_cli_write(RF(f)->f, buf, (int64_t)len, (int64_t)off);
  return n < 0 ? file_fail(f, "write", err) : n;
}

int r_file_truncate(ep_file *f, uint64_t size, vperror *err)
{
  return qvsd_cli_set_len(RF(f)->f, (int64_t)size) < 0 ? file_fail(f, "truncate", err) : 0;
}

int r_file_stat(ep_file *f, os_dirent *d, vperror *err)
{
  if (qvsd_cli_fstat(RF(f)->f, d) < 0)
    return file_fail(f, "fstat", err);
  RF(f)->stat_size = d->size;
  return 0;
}

int r_file_next_data(ep_file *f, uint64_t off, uint64_t *data_off, uint64_t *data_end, vperror *err)
{
  int rc = qvsd_cli_next_data(RF(f)->f, off, data_off, data_end);
  return rc < 0 ? file_fail(f, "seek data", err) : rc;
}

int r_file_close(ep_file *f, const file_attr *attr, vperror *err)
{
  rfile *rf = RF(f);
  remote_ep *r = R(f->e);
  int rc = attr ? qvsd_cli_close_attr(rf->f, attr) : qvsd_cli_close(rf->f);
  int code = rc < 0 ? fail(r, rf->rc, "close", rf->path.c_str(), err) : 0;
  conn_put(r, rf->rc);
  delete rf;
  return code;
}

/* The server digests what it reads or writes through the handle as it goes: that digest is the
 * whole file's when the transfers ran from offset 0 to the end without a gap, that is for a file
 * written after a truncating open, or read to the size its last status gave. Otherwise the server
 * reads the file once more. */
int r_file_digest(ep_file *f, uint8_t out[EP_DIGEST_LEN], const std::atomic<int> *, vperror *err)
{
  rfile *rf = RF(f);
  const qvsd_file *qf = rf->f;
  bool whole = qf->digest_end >= 0 && qf->digest.size() == 2 * EP_DIGEST_LEN &&
               ((rf->how == EP_O_WRITE) || (rf->how == EP_O_READ && qf->digest_end == rf->stat_size));
  if (whole) {
    bool ok = true;
    for (size_t i = 0; i < EP_DIGEST_LEN && ok; i++) {
      unsigned v = 0;
      ok = isxdigit((unsigned char)qf->digest[2 * i]) && isxdigit((unsigned char)qf->digest[2 * i + 1]) &&
           sscanf(qf->digest.c_str() + 2 * i, "%2x", &v) == 1;
      out[i] = (uint8_t)v;
    }
    if (ok)
      return 0;
  }
  return qvsd_cli_file_digest(rf->f, out, EP_DIGEST_LEN) < 0 ? file_fail(f, "digest", err) : 0;
}

int r_hash_open(ep_file *f, uint32_t flags, uint32_t bs, uint32_t block_count, vperror *err)
{
  return qvsd_cli_hash_init(RF(f)->f, flags, bs, block_count) < 0 ? file_fail(f, "hash", err) : 0;
}

int r_hash_get(ep_file *f, uint64_t off, uint64_t len, char *text, size_t size, vperror *err)
{
  int n = qvsd_cli_hash_range(RF(f)->f, off, len, text, size);
  return n < 0 ? file_fail(f, "hash", err) : n;
}

int r_hash_get2(ep_file *f, char *buf, size_t len, vperror *err)
{
  int n = qvsd_cli_hash_get2(RF(f)->f, buf, len);
  return n < 0 ? file_fail(f, "hash", err) : n;
}

int r_hash_get_bin(ep_file *f, uint32_t flag, uint8_t *buf, size_t len, vperror *err)
{
  int n = qvsd_cli_hash_bin(RF(f)->f, flag, buf, len);
  return n < 0 ? file_fail(f, "hash", err) : n;
}

void r_hash_close(ep_file *f)
{
  qvsd_cli_hash_close(RF(f)->f);
}

/* ---- tree changes ---- */

int r_create(ep *e, const char *path, const file_attr *attr, uint32_t how, vperror *err)
{
  return (int)with_conn(e, "create", path, true, err, [&](rconn *rc) {
    return qvsd_cli_create_file_or_dir(rc->c, path, attr, how, (how & EP_C_ZZ) != 0);
  });
}

int r_set_attr(ep *e, const char *path, const file_attr *attr, vperror *err)
{
  return (int)with_conn(e, "set_lstat", path, true, err,
                        [&](rconn *rc) { return qvsd_cli_set_attr_path(rc->c, path, attr); });
}

int r_lutime(ep *e, const char *path, uint64_t ta, uint64_t tw, vperror *err)
{
  return (int)with_conn(e, "lutime", path, true, err, [&](rconn *rc) { return qvsd_cli_lutime(rc->c, path, ta, tw); });
}

int r_remove(ep *e, const char *path, uint32_t how, vperror *err)
{
  return (int)with_conn(e, "remove", path, true, err,
                        [&](rconn *rc) { return qvsd_cli_remove2(rc->c, path, how, (how & EP_C_ZZ) != 0); });
}

int r_remove_tree(ep *e, const char *path, vperror *err)
{
  return (int)with_conn(e, "remove tree", path, true, err,
                        [&](rconn *rc) { return qvsd_cli_rmdir2(rc->c, path, true); });
}

int r_hard_link(ep *e, const char *target, const char *path, vperror *err)
{
  return (int)with_conn(e, "link", path, true, err,
                        [&](rconn *rc) { return qvsd_cli_hard_link(rc->c, target, path); });
}

int r_mkdirs(ep *e, const char *path, uint32_t mode, vperror *err)
{
  return (int)with_conn(e, "mkdirs", path, true, err, [&](rconn *rc) { return qvsd_cli_mkdir_p(rc->c, path, mode); });
}

int r_stat(ep *e, const char *path, os_dirent *d, vperror *err)
{
  return (int)with_conn(e, "stat", path, true, err, [&](rconn *rc) { return qvsd_cli_stat(rc->c, path, 0, d); });
}

int r_rename(ep *e, const char *from, const char *to, bool noreplace, vperror *err)
{
  return (int)with_conn(e, "rename", from, true, err,
                        [&](rconn *rc) { return qvsd_cli_rename(rc->c, from, to, noreplace); });
}

int64_t r_xattr_get(ep *e, const char *path, const char *name, std::string *value, vperror *err)
{
  return with_conn(e, "getxattr", path, true, err,
                   [&](rconn *rc) { return qvsd_cli_xattr_get(rc->c, path, name, value); });
}

int r_xattr_set(ep *e, const char *path, const char *name, const void *value, size_t len, vperror *err)
{
  return (int)with_conn(e, "setxattr", path, true, err,
                        [&](rconn *rc) { return qvsd_cli_xattr_set(rc->c, path, name, value, len); });
}

/* ---- batch file lists: the server's batch service on its export ---- */

/* A batch job holds one connection for its life: the server ties the job to the session.
 *
 * Calls are sent behind: batch_call builds the request text on the caller's thread and hands the
 * sending, and the wait for the server's reply, to the job's sender thread. The engine builds its
 * next list while this one travels (and, over TLS, is encrypted); a server that reads slowly no
 * longer holds the engine. Every other use of the connection (the next call, results, close)
 * first waits until the sender is done. A call that failed fails the job: every later use reports
 * it, under the call's own directory, and close drops the connection. */
struct rbatch {
  ep_batch h;
  rconn *rc = nullptr;
  bool checked = false; /* lists travel with their digests */
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::condition_variable cv;
  os_thread *sender = nullptr;
  bool busy = false;    /* a call is with the sender */
  bool quit = false;
  bool failed = false;  /* a call failed: the job takes nothing more */
  vperror fail_err{};   /* that failure, as the connection recorded it */
  std::string sent_dir; /* the directory of the last call sent */
};

rbatch *RB(ep_batch *b)
{
  return static_cast<rbatch *>(b->impl);
}

/* Slice of the waits between the engine and the sender; a wait ends when the sender's exchange
 * does, which the connection's time limits and the stop bound. */
constexpr auto SENDER_SLICE = std::chrono::milliseconds(200);

/* Marks the job failed with the connection's error. The sender calls it under rb->lock; the
 * engine's thread only when no sender is running. */
void fail_with_conn(rbatch *rb)
{
  rb->failed = true;
  rb->fail_err = rb->rc->err;
}

/* Sends the prepared call. A list the server answered as damaged on the way (it did none of it)
 * goes once more from the text the connection keeps; any other failure is final, since a reply
 * that could not be read may follow a list the server ran. 0, or -1 (the caller fails the job). */
int send_call(rbatch *rb)
{
  int rc = qvsd_cli_mfile_send(rb->rc->c);
  if (rc == QVSD_MFILE_DAMAGED && !rb->stop.load()) {
    LOGW("batch [%s]: the list was damaged on the way: sent once more", rb->sent_dir.c_str());
    rc = qvsd_cli_mfile_send(rb->rc->c);
  }
  return rc < 0 ? -1 : 0;
}

int sender_proc(void *arg)
{
  auto *rb = static_cast<rbatch *>(arg);
  std::unique_lock<std::mutex> g(rb->lock);
  for (;;) {
    while (!rb->busy && !rb->quit)
      rb->cv.wait_for(g, SENDER_SLICE);
    if (!rb->busy)
      return 0;
    g.unlock();
    int rc = send_call(rb);
    g.lock();
    if (rc < 0)
      fail_with_conn(rb);
    rb->busy = false;
    rb->cv.notify_all();
  }
}

/* Waits until the sender has finished the call it holds; false when a call of the job failed. */
bool settle(rbatch *rb)
{
  std::unique_lock<std::mutex> g(rb->lock);
  while (rb->busy)
    rb->cv.wait_for(g, SENDER_SLICE);
  return !rb->failed;
}

/* The job's failed call into err, under that call's directory. Never -466, which tells the engine
 * that the list of the call in hand came damaged and may go once more: the failed list already
 * went twice, or its reply could not be read. */
int fail_job(rbatch *rb, vperror *err)
{
  remote_ep *r = R(rb->h.e);
  int code = rb->fail_err.code && rb->fail_err.code != VERR_PROTO ? rb->fail_err.code : VERR_FAIL;
  const char *msg = vperror_str(&rb->fail_err);
  VPERROR_SET(err, code, "batch [%s] on %s error: %s", rb->sent_dir.c_str(), r->host.c_str(),
              *msg ? msg : verr2str(code));
  return code;
}

/* Ends the sender after the call it holds. */
void sender_end(rbatch *rb)
{
  if (!rb->sender)
    return;
  {
    std::lock_guard<std::mutex> g(rb->lock);
    rb->quit = true;
  }
  rb->cv.notify_all();
  /* No limit of its own: the exchange in hand ends within the connection's time limits. */
  os_thread_wait(rb->sender, OS_THREAD_WAIT_FOREVER, nullptr);
  os_thread_free(rb->sender);
  rb->sender = nullptr;
}

ep_batch *r_batch_open(ep *e, const ep_batch_param *p, vperror *err)
{
  remote_ep *r = R(e);
  auto *rb = new (std::nothrow) rbatch;
  if (!rb) {
    VPERROR_SET(err, VERR_NOMEM, "batch_open: out of memory");
    return nullptr;
  }
  rb->h.e = e;
  rb->h.impl = rb;
  rb->rc = conn_get(r, err);
  if (!rb->rc) {
    delete rb;
    return nullptr;
  }
  qvsd_mfile_param q;
  q.max_mfile_size = (int32_t)(p->max_size ? p->max_size : MFILE_SIZE_DEFAULT);
  q.timeout_ms = (int32_t)p->timeout;
  q.uid = p->uid;
  q.gid = p->gid;
  q.dir_mode = p->dir_mode;
  q.flags = (p->flags & EP_BATCH_DIGESTS) ? QVSD_MFILE_F_DIGESTS : 0;
  if (qvsd_cli_mfile_open(rb->rc->c, &q) < 0) {
    fail(r, rb->rc, "batch_open", r->root.c_str(), err);
    conn_put(r, rb->rc);
    delete rb;
    return nullptr;
  }
  rb->checked = q.flags != 0;
  return &rb->h;
}

int r_batch_call(ep_batch *b, int type, const char *dir, const char *list, uint32_t len, vperror *err)
{
  rbatch *rb = RB(b);
  if (!settle(rb))
    return fail_job(rb, err);
  if (qvsd_cli_mfile_prepare(rb->rc->c, type, dir, list, len, rb->checked) < 0)
    return fail(R(b->e), rb->rc, "batch", dir, err);
  rb->sent_dir = dir ? dir : "";
  if (!rb->sender)
    rb->sender = os_thread_init("ep_batch_send", sender_proc, rb);
  if (!rb->sender) {
    /* No thread: the call is sent here, as a plain exchange. */
    if (send_call(rb) < 0) {
      fail_with_conn(rb);
      return fail_job(rb, err);
    }
    return 0;
  }
  {
    std::lock_guard<std::mutex> g(rb->lock);
    rb->busy = true;
  }
  rb->cv.notify_all();
  return 0;
}

int r_batch_ret(ep_batch *b, char *buf, uint32_t len, vperror *err)
{
  rbatch *rb = RB(b);
  if (!settle(rb))
    return fail_job(rb, err);
  int n = qvsd_cli_mfile_result(rb->rc->c, "batch", buf, len);
  if (n < 0) {
    /* A reply that came too late may still be on its way: the connection is out of step, and the
     * job fails with it so that close drops the connection rather than pooling it. */
    fail_with_conn(rb);
    return fail(R(b->e), rb->rc, "batch results", "", err);
  }
  return n;
}

void r_batch_stop(ep_batch *b)
{
  rbatch *rb = RB(b);
  rb->stop.store(true);
  qvsd_cli_stop(rb->rc->c);
}

void r_batch_close(ep_batch *b)
{
  rbatch *rb = RB(b);
  remote_ep *r = R(b->e);
  sender_end(rb);
  if (rb->stop.load() || !settle(rb)) {
    conn_free(rb->rc); /* the stop mark stays on the connection */
  } else {
    qvsd_cli_mfile_close(rb->rc->c);
    conn_put(r, rb->rc);
  }
  delete rb;
}

} // namespace

const ep_ops ep_remote_ops = {
    .name = "remote",
    .caps = 0,
    .match = r_match,
    .open = r_open,
    .close = r_close,
    .lookup_ids = r_lookup_ids,
    .lock_root = r_lock_root,
    .list_open = r_list_open,
    .list_enum = r_list_enum,
    .list_read = r_list_read,
    .list_stop = r_list_stop,
    .list_close = r_list_close,
    .list_drop_long_dirs = r_list_drop_long_dirs,
    .file_open = r_file_open,
    .file_pread = r_file_pread,
    .file_pwrite = r_file_pwrite,
    .file_truncate = r_file_truncate,
    .file_stat = r_file_stat,
    .file_next_data = r_file_next_data,
    .file_copy_range = nullptr, /* the engine moves the data through its buffer */
    .file_close = r_file_close,
    .file_digest = r_file_digest,
    .hash_open = r_hash_open,
    .hash_get = r_hash_get,
    .hash_get2 = r_hash_get2,
    .hash_get_bin = r_hash_get_bin,
    .hash_close = r_hash_close,
    .create = r_create,
    .set_attr = r_set_attr,
    .lutime = r_lutime,
    .remove = r_remove,
    .remove_tree = r_remove_tree,
    .hard_link = r_hard_link,
    .mkdirs = r_mkdirs,
    .stat = r_stat,
    .rename = r_rename,
    .xattr_get = r_xattr_get,
    .xattr_set = r_xattr_set,
    .batch_open = r_batch_open,
    .batch_call = r_batch_call,
    .batch_ret = r_batch_ret,
    .batch_stop = r_batch_stop,
    .batch_close = r_batch_close,
};
