#define LOG_TAG "ep"
/* The local endpoint: a directory tree of this host.
 *
 * The root path is opened as the user gave it (links in it are followed: that is where the user
 * pointed); every path below it is resolved beneath the root's descriptor without following a
 * symbolic link in any component (ep_open_beneath), and every change is made with the *at calls
 * on the resolved parent directory, so a link swapped in for a directory in the middle of a run
 * is never followed, read or written through. A root that is not a directory (the file of a
 * single-file job, or an output root not created yet) is reached through its parent.
 *
 * Calls that have no *at form (extended attributes, the entry reader) use the parent's
 * descriptor through /proc/self/fd/N/name: the kernel starts from the directory object itself,
 * and only the last name is looked up there, never followed. */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "libep/ep.h"
#include "libep/ep_beneath.h"
#include "liblog/log2.h"
#include "libpal/os/os_file.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/pl_str.h"
#include "libpal/tframe/file_hash.h"
#include "librdir/librdir.h"
#include "librdir/mfile.h"

namespace {

/* Listing text queued ahead of the engine: four of its 64 KiB messages. */
constexpr size_t LOCAL_LIST_QUEUE_MAX = 0x40000;

template <typename F> auto eintr_retry(F f) -> decltype(f())
{
  decltype(f()) r;
  do {
    r = f();
  } while (r < 0 && errno == EINTR);
  return r;
}

/* Serial numbers tell endpoints apart in the per-thread caches even when one is freed and another
 * takes its address. */
std::atomic<uint64_t> g_serial{0};

struct local_ep {
  uint64_t serial = 0;
  std::string root; /* normalised root path */
  std::mutex lock;  /* guards the descriptors below while they are opened */
  std::atomic<bool> root_is_dir{false}; /* set once the root exists as a directory */
  int root_fd = -1;   /* the root directory (O_PATH), once it exists */
  int parent_fd = -1; /* a root that is not a directory: its parent (O_PATH) */
  std::string root_name;
  int lock_fd = -1;
  /* Bumped whenever a directory is removed or renamed: cached descriptors of parents are then
   * opened anew. */
  std::atomic<uint64_t> gen{0};
};

local_ep *L(ep *e)
{
  return static_cast<local_ep *>(e->impl);
}

int fail_errno(vperror *err, const char *what, const char *path)
{
  int eno = errno;
  int code = os_verr_get(eno);
  VPERROR_SET(err, code, "%s [%s] error: %s", what, path ? path : "", os_strerror(eno));
  return code;
}

int fail_code(vperror *err, int code, const char *what, const char *path)
{
  VPERROR_SET(err, code, "%s [%s] error: %s", what, path ? path : "", verr2str(code));
  return code;
}

/* --- resolution ------------------------------------------------------------------------------ */

int root_dir_fd(local_ep *l, vperror *err)
{
  std::lock_guard<std::mutex> g(l->lock);
  if (l->root_fd >= 0)
    return l->root_fd;
  int fd = eintr_retry([&] { return open(l->root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0)
    return fail_errno(err, "open root", l->root.c_str());
  l->root_fd = fd;
  l->root_is_dir = true;
  return fd;
}

int root_parent_fd(local_ep *l, vperror *err)
{
  std::lock_guard<std::mutex> g(l->lock);
  if (l->parent_fd >= 0)
    return l->parent_fd;
  std::string parent = l->root;
  size_t slash = parent.find_last_of('/');
  parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
  int fd = eintr_retry([&] { return open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0)
    return fail_errno(err, "open", parent.c_str());
  l->parent_fd = fd;
  return fd;
}

/* One resolved parent per endpoint and thread: the files of a directory come one after another,
 * so most calls find their parent here. */
struct parent_cache {
  struct entry {
    uint64_t serial = 0;
    uint64_t gen = 0;
    std::string dir; /* relative to the root */
    int fd = -1;
  };
  entry e[4];
  unsigned next = 0;
  ~parent_cache()
  {
    for (entry &x : e)
      if (x.fd >= 0)
        close(x.fd);
  }
};
thread_local parent_cache t_parents;

/* The parent directory of path and the name in it. The descriptor belongs to the cache or to the
 * endpoint: the caller never closes it. */
int resolve(local_ep *l, const char *path, int *dirfd, std::string *name, vperror *err)
{
  size_t rl = l->root.size();
  const char *rel = nullptr;
  if (strcmp(path, l->root.c_str()) == 0) {
    if (l->root_is_dir || l->root == "/") {
      int fd = root_dir_fd(l, err);
      if (fd < 0)
        return fd;
      *dirfd = fd;
      *name = ".";
      return 0;
    }
    int fd = root_parent_fd(l, err);
    if (fd < 0)
      return fd;
    *dirfd = fd;
    *name = l->root_name;
    return 0;
  }
  if (l->root == "/" && path[0] == '/')
    rel = path + 1;
  else if (strncmp(path, l->root.c_str(), rl) == 0 && path[rl] == '/')
    rel = path + rl + 1;
  if (!rel || !*rel) {
    VPERROR_SET(err, VERR_PARAM, "[%s] is outside the tree [%s]", path, l->root.c_str());
    return VERR_PARAM;
  }
  int top = root_dir_fd(l, err);
  if (top < 0)
    return top;
  const char *slash = strrchr(rel, '/');
  std::string dir = slash ? std::string(rel, static_cast<size_t>(slash - rel)) : std::string();
  *name = slash ? slash + 1 : rel;
  if (name->empty() || *name == "." || *name == "..") {
    VPERROR_SET(err, VERR_PARAM, "[%s]: not a name of the tree", path);
    return VERR_PARAM;
  }
  if (dir.empty()) {
    *dirfd = top;
    return 0;
  }
  uint64_t gen = l->gen.load(std::memory_order_acquire);
  for (auto &x : t_parents.e) {
    if (x.fd >= 0 && x.serial == l->serial && x.gen == gen && x.dir == dir) {
      *dirfd = x.fd;
      return 0;
    }
  }
  int fd = ep_open_beneath(top, dir.c_str(), O_PATH | O_DIRECTORY, 0);
  if (fd < 0) {
    VPERROR_SET(err, fd, "resolve [%s] error: %s", path, verr2str(fd));
    return fd;
  }
  auto &slot = t_parents.e[t_parents.next++ % 4];
  if (slot.fd >= 0)
    close(slot.fd);
  slot.serial = l->serial;
  slot.gen = gen;
  slot.dir = std::move(dir);
  slot.fd = fd;
  *dirfd = fd;
  return 0;
}

/* "/proc/self/fd/N/name": the name looked up in the resolved directory and nowhere else. */
std::string anchored(int dirfd, const std::string &name)
{
  return "/proc/self/fd/" + std::to_string(dirfd) + "/" + name;
}

void dirs_changed(local_ep *l)
{
  l->gen.fetch_add(1, std::memory_order_acq_rel);
}

/* --- attributes ------------------------------------------------------------------------------ */

uint32_t attr_mode(const file_attr *a)
{
  return (a->type & TYPE_F_NOMODE) ? a->alt_mode : a->attrib_mode;
}

/* Owner, mode and times of name in dirfd, never following a final link. Every step runs; -1 when
 * any failed (each is logged). */
int set_attr_at(int dirfd, const std::string &name, const char *path, const file_attr *a)
{
  int rc = 0;
  uint32_t mode = attr_mode(a);
  if (eintr_retry([&] { return fchownat(dirfd, name.c_str(), a->uid, a->gid, AT_SYMLINK_NOFOLLOW); }) < 0) {
    LOG2(LOG2_DBG | LOG2_ERRNO, "lchown [%s] uid=%u gid=%u err: ", path, a->uid, a->gid);
    /* an owner change that failed must not leave a set-ID bit for the wrong owner */
    mode &= ~0xC00u;
    rc = -1;
  }
  /* A link has no mode of its own to set. Anything else is changed through a descriptor opened
   * without following; should a link have taken the entry's place, the change reaches the link
   * itself (or is refused), never its target. */
  if (!(a->type & TYPE_F_SYMLINK)) {
    int fd = eintr_retry([&] { return openat(dirfd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
    std::string via = fd >= 0 ? "/proc/self/fd/" + std::to_string(fd) : std::string();
    if (fd < 0 || eintr_retry([&] { return chmod(via.c_str(), mode & 07777); }) < 0) {
      LOG2(LOG2_DBG | LOG2_ERRNO, "lchmod [%s] mode=0%o err: ", path, mode);
      rc = -1;
    }
    if (fd >= 0)
      close(fd);
  }
  struct timespec ts[2];
  ts[0].tv_sec = static_cast<time_t>(a->time_access);
  ts[0].tv_nsec = 0;
  ts[1].tv_sec = static_cast<time_t>(a->time_write);
  ts[1].tv_nsec = 0;
  if (eintr_retry([&] { return utimensat(dirfd, name.c_str(), ts, AT_SYMLINK_NOFOLLOW); }) < 0) {
    LOG2(LOG2_DBG | LOG2_ERRNO, "lutime [%s] err: ", path);
    rc = -1;
  }
  return rc;
}

/* --- probing --------------------------------------------------------------------------------- */

/* The file-system name comes from the magic number that statfs reports (f_type); a magic that is
 * not in the table below is shown as "0x<hex>". ext2, ext3 and ext4 share one magic and are all
 * shown as "ext4", the driver that serves all three today.
 *
 * Flags, from what the file-system kind promises on this host:
 *   readonly     the mount is read-only (statvfs ST_RDONLY);
 *   unicode      names are stored as given (UTF-8 in practice): every kind here;
 *   case_name    names keep their case: every kind here;
 *   case_search  lookups tell case apart: every kind except vfat, exfat, ntfs and smb/cifs;
 *   hard_links   several names per file: every kind except vfat and exfat;
 *   xattr        extended attributes: ext4, xfs, btrfs, f2fs, zfs, tmpfs, overlay, jfs, reiserfs, nfs, fuse;
 *   acls         POSIX access control lists: ext4, xfs, btrfs, f2fs, zfs, tmpfs, jfs, reiserfs;
 *   streams and windows are never set locally.
 * name_len is f_namemax of statvfs; the byte counts are f_bavail, f_bfree and f_blocks times the
 * fragment size. vol_name is the file-system label where the driver tells it (FS_IOC_GETFSLABEL),
 * else empty. */
enum : uint32_t {
  K_XATTR = 0x1,
  K_ACLS = 0x2,
  K_NO_CASE = 0x4,  /* case-insensitive lookups */
  K_NO_LINKS = 0x8, /* no hard links */
};

struct fs_kind {
  long magic;
  const char *name;
  uint32_t caps;
};

const fs_kind g_fs_kinds[] = {
    {0xEF53, "ext4", K_XATTR | K_ACLS},
    {0x58465342, "xfs", K_XATTR | K_ACLS},
    {0x9123683E, "btrfs", K_XATTR | K_ACLS},
    {0xF2F52010, "f2fs", K_XATTR | K_ACLS},
    {0x2FC12FC1, "zfs", K_XATTR | K_ACLS},
    {0x01021994, "tmpfs", K_XATTR | K_ACLS},
    {0x794C7630, "overlay", K_XATTR},
    {0x3153464A, "jfs", K_XATTR | K_ACLS},
    {0x52654973, "reiserfs", K_XATTR | K_ACLS},
    {0x6969, "nfs", K_XATTR},
    {0x65735546, "fuse", K_XATTR},
    {0xFF534D42, "cifs", K_NO_CASE},
    {0xFE534D42, "smb2", K_NO_CASE},
    {0x4D44, "vfat", K_NO_CASE | K_NO_LINKS},
    {0x2011BAB0, "exfat", K_NO_CASE | K_NO_LINKS},
    {0x5346544E, "ntfs", K_NO_CASE},
    {0x7366746E, "ntfs3", K_NO_CASE},
    {0x9660, "iso9660", 0},
    {0x73717368, "squashfs", K_XATTR},
    {0x858458F6, "ramfs", 0},
    {0x9FA0, "proc", 0},
    {0x62656572, "sysfs", 0},
    {0x1373, "devfs", 0},
    {0x01021997, "v9fs", K_XATTR},
};

/* The nearest existing directory at or above path: a missing output root is still probed where
 * it is going to be created. */
std::string existing_parent(const std::string &path)
{
  std::string p = path;
  struct stat st;
  while (!p.empty() && stat(p.c_str(), &st) != 0) {
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos)
      return ".";
    p = slash == 0 ? "/" : p.substr(0, slash);
    if (p == "/")
      break;
  }
  return p.empty() ? "." : p;
}

/* The path of a local URL form: "loc://" and "file://" name local paths. */
const char *local_path_of(const char *url)
{
  if (strncmp(url, "loc://", 6) == 0)
    return url + 6;
  if (strncmp(url, "file://", 7) == 0)
    return url + 7;
  return url;
}

bool l_match(const char *url)
{
  return strncmp(url, "loc://", 6) == 0 || strncmp(url, "file://", 7) == 0 || !strstr(url, "://");
}

int l_open(ep *e, const char *url, ep_info *info, vperror *err)
{
  const char *lp = local_path_of(url);
  char path[EP_PATH_SIZE];
  int n = str_path_normalize(lp, path, sizeof path);
  if (n < 0) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "path too long: [%.64s...]", lp);
    return -1;
  }
  if (n == 0) {
    VPERROR_SET(err, VERR_PARAM, "empty path: [%s]", url);
    return -1;
  }
  while (n > 1 && path[n - 1] == '/')
    path[--n] = 0;
  info->path = path;
  info->is_local = true;

  int rc = os_ldirent(path, 0, &info->root);
  if (rc == VERR_FILE_NOT_FOUND || rc == VERR_PATH_NOT_FOUND) {
    info->not_exist = true;
    os_dirent_clear(&info->root); /* no half-filled record of a root that is not there */
  } else if (rc < 0) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "stat [%s] eno=%d error: ", path, rc);
    VPERROR_SET(err, rc, "stat [%s] error: %s", path, verr2str(rc));
    return -1;
  }
  std::string vol_path = info->not_exist ? existing_parent(path) : std::string(path);
  rc = ep_local_vol_info(vol_path.c_str(), &info->fs, err);
  if (rc < 0) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "statfs [%s] eno=%d error: ", vol_path.c_str(), rc);
    return -1;
  }
  info->posix_host = true;
  info->multi_block = false;
  /* A root given as a symbolic link to a directory is walked as that directory. */
  if (!info->not_exist)
    info->is_dir = ((info->root.type & ~TYPE_F_SYMLINK) & TYPE_KIND_MASK) == TYPE_DIR;

  auto *l = new (std::nothrow) local_ep;
  if (!l) {
    VPERROR_SET(err, VERR_NOMEM, "ep_open: out of memory");
    return -1;
  }
  l->serial = g_serial.fetch_add(1, std::memory_order_relaxed) + 1;
  l->root = path;
  l->root_is_dir = info->is_dir;
  size_t slash = l->root.find_last_of('/');
  l->root_name = slash == std::string::npos ? l->root : l->root.substr(slash + 1);
  e->impl = l;
  return 0;
}

void l_close(ep *e)
{
  local_ep *l = L(e);
  if (!l)
    return;
  for (int fd : {l->root_fd, l->parent_fd, l->lock_fd})
    if (fd >= 0)
      close(fd);
  delete l;
  e->impl = nullptr;
}

/* A user or group that has no name on this host may be given by number. */
bool numeric_id(const char *name, uint32_t *id)
{
  char *end = nullptr;
  unsigned long v = strtoul(name, &end, 10);
  if (!*name || !end || *end != 0 || v >= 0xFFFFFFFFul)
    return false;
  *id = static_cast<uint32_t>(v);
  return true;
}

bool lookup_uid(const char *name, uint32_t *id)
{
  std::vector<char> buf(16384);
  struct passwd pw, *res = nullptr;
  if (getpwnam_r(name, &pw, buf.data(), buf.size(), &res) == 0 && res) {
    *id = res->pw_uid;
    return true;
  }
  return numeric_id(name, id);
}

bool lookup_gid(const char *name, uint32_t *id)
{
  std::vector<char> buf(16384);
  struct group gr, *res = nullptr;
  if (getgrnam_r(name, &gr, buf.data(), buf.size(), &res) == 0 && res) {
    *id = res->gr_gid;
    return true;
  }
  return numeric_id(name, id);
}

int l_lookup_ids(ep *, const char *user, const char *group, uint32_t *uid, uint32_t *gid, vperror *err)
{
  if (user && *user && !lookup_uid(user, uid)) {
    LOGE("uid name=[%s] not exist", user);
    VPERROR_SET(err, VERR_PARAM, "uid name=[%s] not exist", user);
    return VERR_PARAM;
  }
  if (group && *group && !lookup_gid(group, gid)) {
    LOGE("gid name=[%s] not exist", group);
    VPERROR_SET(err, VERR_PARAM, "gid name=[%s] not exist", group);
    return VERR_PARAM;
  }
  return 0;
}

int l_lock_root(ep *e, vperror *err)
{
  local_ep *l = L(e);
  if (l->lock_fd >= 0)
    return 0;
  /* The lock sits on the root directory itself: nothing is written into the tree for it. */
  int fd = eintr_retry([&] { return open(l->root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0)
    return fail_errno(err, "lock", l->root.c_str());
  if (eintr_retry([&] { return flock(fd, LOCK_EX | LOCK_NB); }) < 0) {
    int eno = errno;
    close(fd);
    if (eno == EWOULDBLOCK) {
      VPERROR_SET(err, VERR_LOCK, "[%s] is in use by another run (locked)", l->root.c_str());
      return VERR_LOCK;
    }
    errno = eno;
    return fail_errno(err, "lock", l->root.c_str());
  }
  l->lock_fd = fd;
  return 0;
}

/* --- listing --------------------------------------------------------------------------------- */

struct local_list {
  ep_list h;
  librdir *r = nullptr;
};

/* Directories of a listing are opened beneath the root like every other path: a directory
 * swapped for a link during the run is not listed through the link. */
int l_list_open_dir(void *arg, const char *path)
{
  local_ep *l = static_cast<local_ep *>(arg);
  vperror e{};
  int dirfd;
  std::string name;
  if (resolve(l, path, &dirfd, &name, &e) < 0) {
    os_errno_set_verr(e.code ? e.code : VERR_FAIL);
    return -1;
  }
  return eintr_retry(
      [&] { return openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
}

ep_list *l_list_open(ep *e, const ep_list_param *p, vperror *err)
{
  auto *ll = new (std::nothrow) local_list;
  if (!ll) {
    VPERROR_SET(err, VERR_NOMEM, "list_open: out of memory");
    return nullptr;
  }
  ll->h.e = e;
  ll->h.impl = ll;
  librdir_param lp;
  lp.flag = p->flag;
  lp.timeout = p->timeout;
  lp.include = p->include;
  lp.exclude = p->exclude;
  lp.dir_include = p->dir_include;
  lp.dir_exclude = p->dir_exclude;
  lp.misc_exclude = p->misc_exclude;
  lp.err = err;
  lp.batch = p->batch;
  /* The engine reads what is queued in one go: the bound keeps a directory of tens of thousands
   * of entries from being held as text here and again in the engine's chunk while it is parsed. */
  lp.queue_max = LOCAL_LIST_QUEUE_MAX;
  lp.open_dir = l_list_open_dir;
  lp.open_arg = L(e);
  ll->r = librdir_open(L(e)->root.c_str(), &lp);
  if (!ll->r) {
    delete ll;
    return nullptr;
  }
  return &ll->h;
}

librdir *R(ep_list *l)
{
  return static_cast<local_list *>(l->impl)->r;
}

int l_list_enum(ep_list *l, const char *dir)
{
  return librdir_enum_dir(R(l), dir);
}

int l_list_read(ep_list *l, char *buf, uint32_t len)
{
  return librdir_read_item_list(R(l), buf, len);
}

void l_list_close(ep_list *l)
{
  auto *ll = static_cast<local_list *>(l->impl);
  librdir_close(ll->r);
  delete ll;
}

uint64_t l_list_drop_long_dirs(ep_list *l)
{
  return librdir_drop_long_dirs(R(l));
}

/* --- files ----------------------------------------------------------------------------------- */

struct local_file {
  ep_file h;
  int fd = -1;
  std::string path;
  file_hash *hash = nullptr;
};

local_file *F(ep_file *f)
{
  return static_cast<local_file *>(f->impl);
}

int clear_place(local_ep *l, int dirfd, const std::string &name, const char *path, vperror *err);

ep_file *l_file_open(ep *e, const char *path, int how, vperror *err)
{
  int dirfd;
  std::string name;
  if (resolve(L(e), path, &dirfd, &name, err) < 0)
    return nullptr;
  const bool sole = (how & EP_O_SOLE) != 0;
  const bool excl = (how & EP_O_EXCL) != 0;
  how &= ~(EP_O_SOLE | EP_O_EXCL);
  int fd = -1;
  bool created = false; /* this call made the file: a regular file of one name and no data */
  if (how == EP_O_READ) {
    /* Non-blocking so that a FIFO that took a file's place cannot hold the run; the kind is
     * checked before a byte is read. */
    fd = eintr_retry([&] { return openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
      fail_errno(err, "open", path);
      return nullptr;
    }
  } else if (how == EP_O_WRITE || how == EP_O_SYNC) {
    /* Never O_TRUNC here: a file that shares its data with other names is seen first, and
     * cutting it would change what those names show. */
    int flags = (how == EP_O_WRITE ? O_WRONLY : O_RDWR) | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                (excl ? O_EXCL : 0);
    if (how == EP_O_WRITE && !excl) {
      /* Most files a copy writes are new: a file this call creates is known to be a regular file
       * of one name and no data, so it needs no further look. */
      fd = eintr_retry([&] { return openat(dirfd, name.c_str(), flags | O_EXCL, 0600); });
      created = fd >= 0;
    }
    for (int attempt = 0; attempt < 2 && !created; ++attempt) {
      created = excl; /* an exclusive open succeeds only on a file it creates */
      fd = eintr_retry([&] { return openat(dirfd, name.c_str(), flags, 0600); });
      if (fd >= 0 || excl || attempt > 0)
        break;
      /* A symbolic link sits where the file goes: it is replaced, never written through. An empty
       * directory gives way too; one with entries stays and the open fails. */
      if (errno == ELOOP) {
        if (unlinkat(dirfd, name.c_str(), 0) < 0)
          break;
      } else if (errno == EISDIR) {
        if (clear_place(L(e), dirfd, name, path, err) < 0)
          return nullptr;
      } else {
        break;
      }
    }
    if (fd < 0) {
      fail_errno(err, "open", path);
      return nullptr;
    }
  } else {
    fail_code(err, VERR_PARAM, "open", path);
    return nullptr;
  }
  /* Both ways the entry must be a regular file now, whatever the listing said. */
  struct stat st;
  if (created) {
    st.st_mode = S_IFREG | 0600;
    st.st_nlink = 1;
    st.st_size = 0;
  } else if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    VPERROR_SET(err, VERR_PARAM, "open [%s] error: not a regular file", path);
    return nullptr;
  }
  if (how != EP_O_READ && sole && st.st_nlink > 1) {
    /* The data is seen through other names too: this name gets a file of its own, and the
     * others keep what they had. */
    close(fd);
    fd = -1;
    if (unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT)
      fd = eintr_retry([&] {
        return openat(dirfd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      });
    if (fd < 0) {
      fail_errno(err, "open", path);
      return nullptr;
    }
    st.st_size = 0;
  }
  if (how == EP_O_WRITE && st.st_size > 0 && ftruncate(fd, 0) < 0) {
    fail_errno(err, "truncate", path);
    close(fd);
    return nullptr;
  }
  /* O_NONBLOCK stays: it only kept a FIFO from holding the open, and reads and writes of a
   * regular file ignore it. */
  auto *lf = new (std::nothrow) local_file;
  if (!lf) {
    close(fd);
    VPERROR_SET(err, VERR_NOMEM, "open [%s]: out of memory", path);
    return nullptr;
  }
  lf->h.e = e;
  lf->h.impl = lf;
  lf->fd = fd;
  lf->path = path;
  return &lf->h;
}

int64_t l_file_pread(ep_file *f, void *buf, size_t len, uint64_t off, vperror *err)
{
  local_file *lf = F(f);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(lf->fd, static_cast<char *>(buf) + done, len - done, static_cast<off_t>(off + done));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return fail_errno(err, "read", lf->path.c_str());
    }
    if (n == 0)
      break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t l_file_pwrite(ep_file *f, const void *buf, size_t len, uint64_t off, vperror *err)
{
  local_file *lf = F(f);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(lf->fd, static_cast<const char *>(buf) + done, len - done, static_cast<off_t>(off + done));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return fail_errno(err, "write", lf->path.c_str());
    }
    if (n == 0) {
      errno = ENOSPC;
      return fail_errno(err, "write", lf->path.c_str());
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int l_file_truncate(ep_file *f, uint64_t size, vperror *err)
{
  local_file *lf = F(f);
  if (eintr_retry([&] { return ftruncate(lf->fd, static_cast<off_t>(size)); }) < 0)
    return fail_errno(err, "truncate", lf->path.c_str());
  return 0;
}

void stat_to_dirent(const struct stat &st, const std::string &path, os_dirent *d)
{
  os_dirent_clear(d);
  d->type = os_mode_2_kind(st.st_mode, nullptr, path.c_str());
  if (!S_ISDIR(st.st_mode) && st.st_size > static_cast<off_t>(st.st_blocks) * 512)
    d->type |= TYPE_F_SPARSE;
  os_dirent_set_stat(d, &st);
  size_t slash = path.find_last_of('/');
  snprintf(d->name, sizeof d->name, "%s", slash == std::string::npos ? path.c_str() : path.c_str() + slash + 1);
}

int l_file_stat(ep_file *f, os_dirent *d, vperror *err)
{
  local_file *lf = F(f);
  struct stat st;
  if (fstat(lf->fd, &st) < 0)
    return fail_errno(err, "fstat", lf->path.c_str());
  stat_to_dirent(st, lf->path, d);
  return 0;
}

int l_file_next_data(ep_file *f, uint64_t off, uint64_t *data_off, uint64_t *data_end, vperror *err)
{
  local_file *lf = F(f);
  off_t d = lseek(lf->fd, static_cast<off_t>(off), SEEK_DATA);
  if (d < 0) {
    if (errno == ENXIO)
      return 1;
    if (errno == EINVAL || errno == EOPNOTSUPP) {
      /* No hole information here: all of it is data. */
      struct stat st;
      if (fstat(lf->fd, &st) < 0)
        return fail_errno(err, "fstat", lf->path.c_str());
      if (off >= static_cast<uint64_t>(st.st_size))
        return 1;
      *data_off = off;
      *data_end = static_cast<uint64_t>(st.st_size);
      return 0;
    }
    return fail_errno(err, "seek", lf->path.c_str());
  }
  off_t h = lseek(lf->fd, d, SEEK_HOLE);
  if (h < 0)
    return fail_errno(err, "seek", lf->path.c_str());
  *data_off = static_cast<uint64_t>(d);
  *data_end = static_cast<uint64_t>(h);
  return 0;
}

int64_t l_file_copy_range(ep_file *in, ep_file *out, uint64_t off, uint64_t len, vperror *err)
{
  local_file *a = F(in), *b = F(out);
  uint64_t done = 0;
  while (done < len) {
    loff_t ioff = static_cast<loff_t>(off + done), ooff = ioff;
    size_t want = static_cast<size_t>(std::min<uint64_t>(len - done, 1u << 30));
    ssize_t n = copy_file_range(a->fd, &ioff, b->fd, &ooff, want, 0);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      /* Kernels and file systems that cannot: the caller copies through its buffer. */
      if (done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                        errno == EBADF || errno == ETXTBSY))
        return VERR_NOTSUP;
      return fail_errno(err, "copy", b->path.c_str());
    }
    if (n == 0)
      break;
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

void l_hash_close(ep_file *f)
{
  local_file *lf = F(f);
  if (lf->hash) {
    file_hash_close(lf->hash);
    lf->hash = nullptr;
  }
}

int l_file_close(ep_file *f, const file_attr *attr, vperror *err)
{
  local_file *lf = F(f);
  l_hash_close(f);
  /* Attributes go through the open descriptor, before the close: no path lookup, and no chance
   * of following a link that took the file's place. */
  if (attr && os_set_file_fattr(lf->fd, lf->path.c_str(), attr) < 0)
    LOG2(LOG2_ERR | LOG2_ERRNO, "set_lstat[%s] err: ", lf->path.c_str());
  int rc = close(lf->fd);
  int code = 0;
  /* close reports a deferred write error (a full disk on a network file system, say). */
  if (rc < 0 && errno != EINTR)
    code = fail_errno(err, "close", lf->path.c_str());
  delete lf;
  return code;
}

int l_file_digest(ep_file *f, uint8_t out[EP_DIGEST_LEN], const std::atomic<int> *stop, vperror *err)
{
  local_file *lf = F(f);
  std::unique_ptr<pl_hash, void (*)(pl_hash *)> h(pl_hash_new(PL_HASH_XXH3), pl_hash_free);
  constexpr size_t CHUNK = 1 << 20;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[CHUNK]);
  if (!h || !buf)
    return fail_code(err, VERR_NOMEM, "digest", lf->path.c_str());
  /* An output is open for writing only: the same file (not its path, which could be swapped) is
   * opened again for reading through the descriptor's link in /proc. */
  int rfd = lf->fd;
  int flags = fcntl(lf->fd, F_GETFL);
  if (flags >= 0 && (flags & O_ACCMODE) == O_WRONLY) {
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", lf->fd);
    rfd = eintr_retry([&] { return open(self, O_RDONLY | O_CLOEXEC); });
    if (rfd < 0) {
      if (errno == EACCES || errno == ENOENT)
        return fail_code(err, VERR_NOTSUP, "digest", lf->path.c_str()); /* nothing to read it with */
      return fail_errno(err, "digest", lf->path.c_str());
    }
  }
  struct fd_closer {
    int fd, own;
    ~fd_closer()
    {
      if (fd != own)
        close(fd);
    }
  } closer{rfd, lf->fd};
  uint64_t off = 0;
  for (;;) {
    if (stop && stop->load(std::memory_order_relaxed))
      return fail_code(err, VERR_CANCELLED, "digest", lf->path.c_str());
    ssize_t n = eintr_retry([&] { return pread(rfd, buf.get(), CHUNK, static_cast<off_t>(off)); });
    if (n < 0)
      return fail_errno(err, "digest", lf->path.c_str());
    if (n == 0)
      break;
    pl_hash_update(h.get(), buf.get(), static_cast<size_t>(n));
    off += static_cast<uint64_t>(n);
  }
  pl_hash_final(h.get(), out);
  return 0;
}

int l_hash_open(ep_file *f, uint32_t flags, uint32_t bs, uint32_t block_count, vperror *err)
{
  local_file *lf = F(f);
  l_hash_close(f);
  file_hash_param p;
  p.flags = flags;
  p.file = &lf->fd;
  p.bs = bs;
  p.block_count = block_count;
  p.cache_block = bs > 0x200000 ? bs : 0x200000;
  lf->hash = file_hash_open(&p, err);
  if (!lf->hash)
    return err && err->code ? err->code : VERR_FAIL;
  return 0;
}

int l_hash_get(ep_file *f, uint64_t off, uint64_t len, char *text, size_t size, vperror *err)
{
  local_file *lf = F(f);
  if (!lf->hash)
    return fail_code(err, VERR_PARAM, "hash", lf->path.c_str());
  if (file_hash_cal(lf->hash, off, len) < 0) {
    const vperror *e = file_hash_err(lf->hash);
    int code = e->code ? e->code : VERR_FAIL;
    VPERROR_SET(err, code, "hash [%s] error: %s", lf->path.c_str(), e->msg);
    return code;
  }
  int n = file_hash_text(lf->hash, text, size);
  return n < 0 ? fail_code(err, VERR_OVERFLOW, "hash", lf->path.c_str()) : n;
}

int l_hash_get2(ep_file *f, char *buf, size_t len, vperror *err)
{
  local_file *lf = F(f);
  if (!lf->hash)
    return fail_code(err, VERR_PARAM, "hash", lf->path.c_str());
  int n = file_hash_records(lf->hash, buf, len);
  return n < 0 ? fail_code(err, VERR_OVERFLOW, "hash", lf->path.c_str()) : n;
}

int l_hash_get_bin(ep_file *f, uint32_t flag, uint8_t *buf, size_t len, vperror *err)
{
  local_file *lf = F(f);
  if (!lf->hash)
    return fail_code(err, VERR_PARAM, "hash", lf->path.c_str());
  int n = file_hash_get(lf->hash, flag, buf, len);
  return n < 0 ? fail_code(err, VERR_PARAM, "hash", lf->path.c_str()) : n;
}

/* --- tree changes ---------------------------------------------------------------------------- */

/* Splits an unescaped zz-string: 1 part (a plain path) or 3 (path, kind, stream name). */
int zz_split(const char *zz, const char *parts[3])
{
  int n = 0;
  for (const char *p = zz; *p; p += strlen(p) + 1) {
    if (n == 3)
      return -1;
    parts[n++] = p;
  }
  return n == 1 || n == 3 ? n : -1;
}

int remove_tree_at(local_ep *l, int dirfd, const std::string &name, const char *path, vperror *err);
int l_mkdirs(ep *e, const char *path, uint32_t mode, vperror *err);

/* Clears the place of name for an entry of another kind: a directory goes with what is in it. */
int clear_place(local_ep *, int dirfd, const std::string &name, const char *path, vperror *err)
{
  if (unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT)
    return 0;
  if (errno != EISDIR && errno != EPERM)
    return fail_errno(err, "remove", path);
  /* Only an empty directory gives way: replacing an entry never deletes a tree of entries. */
  if (unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT)
    return 0;
  if (errno == ENOTEMPTY || errno == EEXIST) {
    VPERROR_SET(err, VERR_EXISTS, "replace [%s] error: a directory with entries is in the way", path);
    return VERR_EXISTS;
  }
  return fail_errno(err, "remove", path);
}

int l_create(ep *e, const char *path, const file_attr *attr, uint32_t how, vperror *err)
{
  local_ep *l = L(e);
  if (how & EP_C_ZZ) {
    const char *parts[3];
    int n = zz_split(path, parts);
    if (n < 0)
      return fail_code(err, VERR_PARAM, "create", path);
    if (n == 3) {
      int dirfd;
      std::string name;
      if (resolve(l, parts[0], &dirfd, &name, err) < 0)
        return err->code;
      if (strcmp(parts[1], "X") != 0)
        return fail_code(err, strcmp(parts[1], "S") == 0 ? VERR_NOTSUP : VERR_PARAM, "create stream", parts[0]);
      if (lsetxattr(anchored(dirfd, name).c_str(), parts[2], "", 0, 0) < 0)
        return fail_errno(err, "create stream", parts[0]);
      return 0;
    }
  }
  bool noreplace = how & EP_C_NOREPLACE;
  int dirfd;
  std::string name;
  if (resolve(l, path, &dirfd, &name, err) < 0) {
    /* A directory comes with its missing parents. */
    int rc = err->code;
    const char *slash = strrchr(path, '/');
    if (os_type_kind(attr->type) != TYPE_DIR || (attr->type & TYPE_F_SYMLINK) ||
        (rc != VERR_FILE_NOT_FOUND && rc != VERR_PATH_NOT_FOUND) || !slash || slash == path)
      return rc;
    if (l_mkdirs(e, std::string(path, static_cast<size_t>(slash - path)).c_str(), 0700, err) < 0 ||
        resolve(l, path, &dirfd, &name, err) < 0)
      return err->code;
  }
  if (attr->type & TYPE_F_JUNCTION) {
    LOGE("[%s] junctions exist only on Windows hosts", path);
    return fail_code(err, VERR_NOTSUP, "create junction", path);
  }
  if (attr->type & TYPE_F_SYMLINK) {
    const char *target = attr->link_name ? attr->link_name : "";
    if (symlinkat(target, dirfd, name.c_str()) < 0) {
      if (errno != EEXIST || noreplace)
        return fail_errno(err, "symlink", path);
      /* Replace what is there. */
      if (clear_place(l, dirfd, name, path, err) < 0)
        return err->code;
      if (symlinkat(target, dirfd, name.c_str()) < 0)
        return fail_errno(err, "symlink", path);
    }
  } else if (os_type_kind(attr->type) == TYPE_DIR) {
    if (mkdirat(dirfd, name.c_str(), 0700) < 0) {
      if (errno != EEXIST)
        return fail_errno(err, "mkdir", path);
      struct stat st;
      if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
        return fail_errno(err, "mkdir", path);
      if (S_ISDIR(st.st_mode)) {
        if (noreplace)
          return fail_code(err, VERR_EXISTS, "mkdir", path);
      } else {
        /* A link or a file where a directory belongs is replaced, so that nothing is written
         * through a link below it. */
        if (noreplace)
          return fail_code(err, VERR_EXISTS, "mkdir", path);
        if (unlinkat(dirfd, name.c_str(), 0) < 0 || mkdirat(dirfd, name.c_str(), 0700) < 0)
          return fail_errno(err, "mkdir", path);
      }
    }
  } else if (S_ISCHR(attr->attrib_mode) || S_ISBLK(attr->attrib_mode) || S_ISSOCK(attr->attrib_mode)) {
    mode_t kind = attr->attrib_mode & S_IFMT;
    dev_t dev = static_cast<dev_t>(attr->rdev);
    if (mknodat(dirfd, name.c_str(), kind | 0600, dev) < 0) {
      if (errno != EEXIST || noreplace)
        return fail_errno(err, "mknod", path);
      if (clear_place(l, dirfd, name, path, err) < 0)
        return err->code;
      if (mknodat(dirfd, name.c_str(), kind | 0600, dev) < 0)
        return fail_errno(err, "mknod", path);
    }
  } else if ((attr->attrib_mode & S_IFMT) == S_IFIFO) {
    if (mkfifoat(dirfd, name.c_str(), 0600) < 0) {
      if (errno != EEXIST || noreplace)
        return fail_errno(err, "mkfifo", path);
      if (clear_place(l, dirfd, name, path, err) < 0)
        return err->code;
      if (mkfifoat(dirfd, name.c_str(), 0600) < 0)
        return fail_errno(err, "mkfifo", path);
    }
  } else {
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (noreplace ? O_EXCL : O_TRUNC);
    struct stat old;
    /* A file whose data other names share is replaced, never cut through them. */
    if (!noreplace && fstatat(dirfd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode) &&
        old.st_nlink > 1 && unlinkat(dirfd, name.c_str(), 0) < 0 && errno != ENOENT)
      return fail_errno(err, "create", path);
    int fd = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
      fd = eintr_retry([&] { return openat(dirfd, name.c_str(), flags, 0600); });
      if (fd >= 0 || noreplace)
        break;
      if ((errno != ELOOP && errno != EISDIR && errno != ENXIO) || attempt > 0)
        break;
      if (clear_place(l, dirfd, name, path, err) < 0)
        return err->code;
    }
    if (fd < 0)
      return fail_errno(err, "create", path);
    if (os_set_file_fattr(fd, path, attr) < 0)
      LOGD("set_lstat[%s] err: some attributes were not applied", path);
    close(fd);
    return 0;
  }
  if (set_attr_at(dirfd, name, path, attr) < 0)
    LOGD("set_lstat[%s] err: some attributes were not applied", path);
  return 0;
}

int l_set_attr(ep *e, const char *path, const file_attr *attr, vperror *err)
{
  int dirfd;
  std::string name;
  if (resolve(L(e), path, &dirfd, &name, err) < 0)
    return err->code;
  if (set_attr_at(dirfd, name, path, attr) < 0)
    return fail_errno(err, "set_lstat", path);
  return 0;
}

int l_lutime(ep *e, const char *path, uint64_t ta, uint64_t tw, vperror *err)
{
  int dirfd;
  std::string name;
  if (resolve(L(e), path, &dirfd, &name, err) < 0)
    return err->code;
  struct timespec ts[2];
  ts[0].tv_sec = static_cast<time_t>(ta);
  ts[0].tv_nsec = 0;
  ts[1].tv_sec = static_cast<time_t>(tw);
  ts[1].tv_nsec = 0;
  if (eintr_retry([&] { return utimensat(dirfd, name.c_str(), ts, AT_SYMLINK_NOFOLLOW); }) < 0)
    return fail_errno(err, "lutime", path);
  return 0;
}

int l_remove(ep *e, const char *path, uint32_t how, vperror *err)
{
  local_ep *l = L(e);
  if (how & EP_C_ZZ) {
    const char *parts[3];
    int n = zz_split(path, parts);
    if (n < 0)
      return fail_code(err, VERR_PARAM, "remove", path);
    if (n == 3) {
      if (strcmp(parts[1], "X") != 0)
        return fail_code(err, strcmp(parts[1], "S") == 0 || strcmp(parts[1], "A") == 0 ? VERR_NOTSUP : VERR_PARAM,
                         "remove stream", parts[0]);
      int dirfd;
      std::string name;
      if (resolve(l, parts[0], &dirfd, &name, err) < 0)
        return err->code;
      if (lremovexattr(anchored(dirfd, name).c_str(), parts[2]) < 0)
        return fail_errno(err, "remove stream", parts[0]);
      return 0;
    }
  }
  int dirfd;
  std::string name;
  if (resolve(l, path, &dirfd, &name, err) < 0)
    return err->code;
  if (name == ".")
    return fail_code(err, VERR_PARAM, "remove the root", path);
  if (unlinkat(dirfd, name.c_str(), 0) == 0)
    return 0;
  if (errno == EISDIR || errno == EPERM) {
    if (unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0) {
      dirs_changed(l);
      return 0;
    }
  }
  return fail_errno(err, "remove", path);
}

/* Removes name in dirfd and, for a directory, everything below it, never following a link: each
 * level is opened with O_NOFOLLOW from its parent's descriptor. */
int remove_tree_at(local_ep *l, int dirfd, const std::string &name, const char *path, vperror *err)
{
  dirs_changed(l);
  if (unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT)
    return 0;
  if (errno != EISDIR && errno != EPERM)
    return fail_errno(err, "remove", path);
  struct level {
    int fd;
    DIR *dp;
    std::string name; /* in the parent */
  };
  std::vector<level> stack;
  auto open_level = [&](int parent, const std::string &n) -> bool {
    int fd = eintr_retry([&] { return openat(parent, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0)
      return false;
    DIR *dp = fdopendir(fd);
    if (!dp) {
      close(fd);
      return false;
    }
    stack.push_back({fd, dp, n});
    return true;
  };
  auto unwind = [&] {
    for (level &x : stack)
      closedir(x.dp);
    stack.clear();
  };
  if (!open_level(dirfd, name))
    return fail_errno(err, "rmdir2", path);
  while (!stack.empty()) {
    level &top = stack.back();
    errno = 0;
    struct dirent *de = readdir(top.dp);
    if (!de) {
      if (errno != 0) {
        int code = fail_errno(err, "rmdir2", path);
        unwind();
        return code;
      }
      std::string done = top.name;
      closedir(top.dp);
      stack.pop_back();
      int parent = stack.empty() ? dirfd : stack.back().fd;
      if (unlinkat(parent, done.c_str(), AT_REMOVEDIR) < 0 && errno != ENOENT) {
        int code = fail_errno(err, "rmdir2", path);
        unwind();
        return code;
      }
      continue;
    }
    if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, ".."))
      continue;
    if (unlinkat(top.fd, de->d_name, 0) == 0 || errno == ENOENT)
      continue;
    if ((errno != EISDIR && errno != EPERM) || stack.size() >= EP_PATH_SIZE / 2 ||
        !open_level(top.fd, de->d_name)) {
      int code = fail_errno(err, "rmdir2", path);
      unwind();
      return code;
    }
  }
  return 0;
}

int l_remove_tree(ep *e, const char *path, vperror *err)
{
  local_ep *l = L(e);
  int dirfd;
  std::string name;
  if (resolve(l, path, &dirfd, &name, err) < 0)
    return err->code;
  if (name == ".")
    return fail_code(err, VERR_PARAM, "remove the root", path);
  return remove_tree_at(l, dirfd, name, path, err);
}

/* Two paths of the tree resolved for one operation. The first one's parent is a descriptor of its
 * own, closed with the record: the cache may hand back one descriptor for both. */
struct resolved_pair {
  int first_dir = -1;
  std::string first_name;
  int second_dir = -1;
  std::string second_name;
  resolved_pair() = default;
  resolved_pair(const resolved_pair &) = delete;
  resolved_pair &operator=(const resolved_pair &) = delete;
  ~resolved_pair()
  {
    if (first_dir >= 0)
      close(first_dir);
  }
};

int resolve_pair(local_ep *l, const char *first, const char *second, const char *what, resolved_pair *p,
                 vperror *err)
{
  int dir;
  if (resolve(l, first, &dir, &p->first_name, err) < 0)
    return err->code;
  p->first_dir = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (p->first_dir < 0)
    return fail_errno(err, what, first);
  if (resolve(l, second, &p->second_dir, &p->second_name, err) < 0)
    return err->code;
  return 0;
}

int l_hard_link(ep *e, const char *target, const char *path, vperror *err)
{
  local_ep *l = L(e);
  resolved_pair rp;
  if (resolve_pair(l, target, path, "link", &rp, err) < 0)
    return err->code;
  const int tdir_own = rp.first_dir, dirfd = rp.second_dir;
  const std::string &tname = rp.first_name, &name = rp.second_name;
  if (linkat(tdir_own, tname.c_str(), dirfd, name.c_str(), 0) == 0)
    return 0;
  if (errno != EEXIST)
    return fail_errno(err, "link", path);
  struct stat ts, ps;
  if (fstatat(tdir_own, tname.c_str(), &ts, AT_SYMLINK_NOFOLLOW) < 0)
    return fail_errno(err, "link", target);
  if (fstatat(dirfd, name.c_str(), &ps, AT_SYMLINK_NOFOLLOW) == 0) {
    if (ps.st_dev == ts.st_dev && ps.st_ino == ts.st_ino)
      return 0; /* already that file */
    if (S_ISDIR(ps.st_mode)) {
      if (!S_ISREG(ts.st_mode))
        return fail_code(err, VERR_PARAM, "link", target);
      if (clear_place(l, dirfd, name, path, err) < 0)
        return err->code;
      if (linkat(tdir_own, tname.c_str(), dirfd, name.c_str(), 0) < 0)
        return fail_errno(err, "link", path);
      return 0;
    }
  }
  /* Whatever is there gives way in one step: a link under a temporary name, renamed over it. */
  char tmp[64];
  for (int attempt = 0; attempt < 8; ++attempt) {
    snprintf(tmp, sizeof tmp, ".qvcp-link.%08x", static_cast<unsigned>(random()));
    if (linkat(tdir_own, tname.c_str(), dirfd, tmp, 0) == 0) {
      if (renameat(dirfd, tmp, dirfd, name.c_str()) == 0)
        return 0;
      int code = fail_errno(err, "link", path);
      unlinkat(dirfd, tmp, 0);
      return code;
    }
    if (errno != EEXIST)
      break;
  }
  return fail_errno(err, "link", path);
}

int l_mkdirs(ep *e, const char *path, uint32_t mode, vperror *err)
{
  local_ep *l = L(e);
  if (strcmp(path, l->root.c_str()) == 0) {
    /* The root itself is where the user pointed: created along the path as given. */
    int rc = os_mkdirs(path, mode);
    if (rc < 0)
      return fail_code(err, rc, "mkdirs", path);
    std::lock_guard<std::mutex> g(l->lock);
    l->root_is_dir = true;
    return 0;
  }
  size_t rl = l->root.size();
  const char *rel = nullptr;
  if (l->root == "/" && path[0] == '/')
    rel = path + 1;
  else if (strncmp(path, l->root.c_str(), rl) == 0 && path[rl] == '/')
    rel = path + rl + 1;
  if (!rel) {
    VPERROR_SET(err, VERR_PARAM, "[%s] is outside the tree [%s]", path, l->root.c_str());
    return VERR_PARAM;
  }
  if (!l->root_is_dir) {
    int rc = os_mkdirs(l->root.c_str(), mode);
    if (rc < 0)
      return fail_code(err, rc, "mkdirs", l->root.c_str());
  }
  int top = root_dir_fd(l, err);
  if (top < 0)
    return top;
  int cur = fcntl(top, F_DUPFD_CLOEXEC, 0);
  if (cur < 0)
    return fail_errno(err, "mkdirs", path);
  std::string r(rel);
  size_t pos = 0;
  while (pos < r.size()) {
    size_t slash = r.find('/', pos);
    std::string comp = r.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    pos = slash == std::string::npos ? r.size() : slash + 1;
    if (comp.empty() || comp == ".")
      continue;
    if (comp == "..") {
      close(cur);
      return fail_code(err, VERR_PARAM, "mkdirs", path);
    }
    if (mkdirat(cur, comp.c_str(), mode) < 0 && errno != EEXIST) {
      int code = fail_errno(err, "mkdirs", path);
      close(cur);
      return code;
    }
    int next = ep_open_beneath(cur, comp.c_str(), O_PATH | O_DIRECTORY, 0);
    close(cur);
    if (next < 0)
      return fail_code(err, next == VERR_PARAM ? VERR_EXISTS : next, "mkdirs", path);
    cur = next;
  }
  close(cur);
  return 0;
}

int l_stat(ep *e, const char *path, os_dirent *d, vperror *err)
{
  local_ep *l = L(e);
  int dirfd;
  std::string name;
  if (resolve(l, path, &dirfd, &name, err) < 0)
    return err->code;
  int rc = os_ldirent(anchored(dirfd, name).c_str(), 0, d);
  if (rc < 0) {
    VPERROR_SET(err, rc, "stat [%s] error: %s", path, verr2str(rc));
    return rc;
  }
  if (name == ".") {
    size_t slash = l->root.find_last_of('/');
    snprintf(d->name, sizeof d->name, "%s", slash == std::string::npos ? l->root.c_str() : l->root.c_str() + slash + 1);
  }
  return 0;
}

int l_rename(ep *e, const char *from, const char *to, bool noreplace, vperror *err)
{
  resolved_pair rp;
  if (resolve_pair(L(e), from, to, "rename", &rp, err) < 0)
    return err->code;
  if (renameat2(rp.first_dir, rp.first_name.c_str(), rp.second_dir, rp.second_name.c_str(),
                noreplace ? RENAME_NOREPLACE : 0) < 0)
    return fail_errno(err, "rename", to);
  dirs_changed(L(e));
  return 0;
}

int64_t l_xattr_get(ep *e, const char *path, const char *xname, std::string *value, vperror *err)
{
  int dirfd;
  std::string name;
  if (resolve(L(e), path, &dirfd, &name, err) < 0)
    return err->code;
  std::string p = anchored(dirfd, name);
  value->resize(256);
  for (int attempt = 0;; ++attempt) {
    ssize_t n = lgetxattr(p.c_str(), xname, value->data(), value->size());
    if (n >= 0) {
      value->resize(static_cast<size_t>(n));
      return n;
    }
    if (errno != ERANGE || attempt > 4)
      return fail_errno(err, "xattr", path);
    ssize_t need = lgetxattr(p.c_str(), xname, nullptr, 0);
    if (need < 0)
      return fail_errno(err, "xattr", path);
    value->resize(static_cast<size_t>(need) + 1);
  }
}

int l_xattr_set(ep *e, const char *path, const char *xname, const void *value, size_t len, vperror *err)
{
  int dirfd;
  std::string name;
  if (resolve(L(e), path, &dirfd, &name, err) < 0)
    return err->code;
  if (lsetxattr(anchored(dirfd, name).c_str(), xname, value, len, 0) < 0)
    return fail_errno(err, "xattr", path);
  return 0;
}

/* --- batch file lists ------------------------------------------------------------------------ */

/* The batch service runs on its own thread and reaches every base directory through this hook:
 * resolved beneath the root like every other path, so a base that is a link, or lies below one,
 * is refused. Types that write create the base first. */
int l_batch_open_dir(void *arg, const char *path, int create)
{
  auto *e = static_cast<ep *>(arg);
  vperror err{};
  if (create && l_mkdirs(e, path, 0755, &err) < 0)
    return err.code ? err.code : VERR_FAIL;
  int dirfd;
  std::string name;
  if (resolve(L(e), path, &dirfd, &name, &err) < 0)
    return err.code ? err.code : VERR_FAIL;
  int fd = eintr_retry(
      [&] { return openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
  if (fd >= 0)
    return fd;
  int eno = errno;
  struct stat st;
  /* O_NOFOLLOW with O_DIRECTORY reports a link as "not a directory". */
  if (eno == ENOTDIR && fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    eno = ELOOP;
  return os_verr_get(eno);
}

/* A request removed directories: parents cached by every thread are looked up anew, so that none
 * of them writes into a removed directory. */
void l_batch_dir_removed(void *arg)
{
  dirs_changed(L(static_cast<ep *>(arg)));
}

struct local_batch {
  ep_batch h;
  libmfile *m = nullptr;
};

libmfile *M(ep_batch *b)
{
  return static_cast<local_batch *>(b->impl)->m;
}

ep_batch *l_batch_open(ep *e, const ep_batch_param *bp, vperror *err)
{
  auto *lb = new (std::nothrow) local_batch;
  if (!lb) {
    VPERROR_SET(err, VERR_NOMEM, "batch_open: out of memory");
    return nullptr;
  }
  lb->h.e = e;
  lb->h.impl = lb;
  libmfile_param p;
  if (bp->max_size)
    p.max_mfile_size = bp->max_size;
  p.timeout = bp->timeout;
  p.uid = bp->uid;
  p.gid = bp->gid;
  p.dir_mode = bp->dir_mode;
  p.digests = (bp->flags & EP_BATCH_DIGESTS) != 0;
  p.keep_set_id = (bp->flags & EP_BATCH_NO_SET_ID) == 0;
  p.err = err;
  p.open_dir = l_batch_open_dir;
  p.dir_removed = l_batch_dir_removed;
  p.open_arg = e;
  lb->m = libmfile_open(&p);
  if (!lb->m) {
    delete lb;
    return nullptr;
  }
  return &lb->h;
}

int l_batch_call(ep_batch *b, int type, const char *dir, const char *list, uint32_t len, vperror *err)
{
  int rc = libmfile_call_cmd(M(b), type, dir, list, len);
  if (rc < 0)
    VPERROR_SET(err, rc, "batch type=%d [%.256s] error: %s", type, dir, verr2str(rc));
  return rc;
}

int l_batch_ret(ep_batch *b, char *buf, uint32_t len, vperror *err)
{
  int n = libmfile_get_list_ret(M(b), buf, len, "batch");
  if (n < 0) {
    VPERROR_SET(err, n, "batch results error: %s", verr2str(n));
    return n;
  }
  return n;
}

void l_batch_stop(ep_batch *b)
{
  libmfile_stop(M(b));
}

void l_batch_close(ep_batch *b)
{
  auto *lb = static_cast<local_batch *>(b->impl);
  libmfile_close(lb->m);
  delete lb;
}

/* The real path of p, or of its nearest existing parent with the rest appended: a root that is yet
 * to be created is compared where it is going to be. */
std::string real_or_parent(const std::string &p)
{
  std::string head = p;
  if (head.empty() || head[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd))
      head = std::string(cwd) + "/" + head;
  }
  std::string tail;
  while (!head.empty()) {
    char buf[PATH_MAX];
    if (realpath(head.c_str(), buf)) {
      std::string r = buf;
      if (r == "/" && !tail.empty())
        return tail;
      return r + tail;
    }
    size_t slash = head.find_last_of('/');
    if (slash == std::string::npos)
      break;
    tail = head.substr(slash) + tail;
    head = slash == 0 ? (tail.empty() ? "" : "/") : head.substr(0, slash);
    if (slash == 0 && head == "/" && !realpath("/", buf))
      break;
  }
  return p;
}

/* Whether b is a or lies below it, both resolved. */
bool at_or_below(const std::string &a, const std::string &b)
{
  if (a == b)
    return true;
  std::string prefix = a == "/" ? "/" : a + "/";
  return b.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

int ep_local_nesting(const char *a, const char *b)
{
  std::string ra = real_or_parent(a), rb = real_or_parent(b);
  if (at_or_below(ra, rb))
    return 1;
  return at_or_below(rb, ra) ? 2 : 0;
}

int ep_local_vol_info(const char *path, ep_vol_info *v, vperror *err)
{
  struct statfs sf;
  struct statvfs sv;
  if (statfs(path, &sf) != 0 || statvfs(path, &sv) != 0) {
    int eno = errno;
    VPERROR_SET(err, os_verr_get(eno), "statfs [%s] error: %s", path, os_strerror(eno));
    return os_verr_get(eno);
  }
  uint32_t caps = 0;
  const char *name = nullptr;
  for (const fs_kind &k : g_fs_kinds) {
    if (static_cast<unsigned long>(k.magic) == static_cast<unsigned long>(sf.f_type)) {
      name = k.name;
      caps = k.caps;
      break;
    }
  }
  char hex[32];
  if (!name) {
    snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(sf.f_type));
    name = hex;
  }
  v->fs_name = name;
  v->name_len = static_cast<uint32_t>(sv.f_namemax);
  uint64_t frag = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
  v->avail_bytes = static_cast<uint64_t>(sv.f_bavail) * frag;
  v->free_bytes = static_cast<uint64_t>(sv.f_bfree) * frag;
  v->total_bytes = static_cast<uint64_t>(sv.f_blocks) * frag;
  v->flags = VOL_F_UNICODE | VOL_F_CASE_NAME;
  if (sv.f_flag & ST_RDONLY)
    v->flags |= VOL_F_READONLY;
  if (!(caps & K_NO_CASE))
    v->flags |= VOL_F_CASE_SEARCH;
  if (!(caps & K_NO_LINKS))
    v->flags |= VOL_F_HARD_LINKS;
  if (caps & K_XATTR)
    v->flags |= VOL_F_XATTR;
  if (caps & K_ACLS)
    v->flags |= VOL_F_ACLS;
  v->vol_name.clear();
#ifdef FS_IOC_GETFSLABEL
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    char label[FSLABEL_MAX + 1] = {};
    if (ioctl(fd, FS_IOC_GETFSLABEL, label) == 0)
      v->vol_name.assign(label, strnlen(label, FSLABEL_MAX));
    close(fd);
  }
#endif
  return 0;
}

const ep_ops ep_local_ops = {
    .name = "local",
    .caps = EP_CAP_LOCAL,
    .match = l_match,
    .open = l_open,
    .close = l_close,
    .lookup_ids = l_lookup_ids,
    .lock_root = l_lock_root,
    .list_open = l_list_open,
    .list_enum = l_list_enum,
    .list_read = l_list_read,
    .list_stop = nullptr, /* every loop of the listing tests its own stop */
    .list_close = l_list_close,
    .list_drop_long_dirs = l_list_drop_long_dirs,
    .file_open = l_file_open,
    .file_pread = l_file_pread,
    .file_pwrite = l_file_pwrite,
    .file_truncate = l_file_truncate,
    .file_stat = l_file_stat,
    .file_next_data = l_file_next_data,
    .file_copy_range = l_file_copy_range,
    .file_close = l_file_close,
    .file_digest = l_file_digest,
    .hash_open = l_hash_open,
    .hash_get = l_hash_get,
    .hash_get2 = l_hash_get2,
    .hash_get_bin = l_hash_get_bin,
    .hash_close = l_hash_close,
    .create = l_create,
    .set_attr = l_set_attr,
    .lutime = l_lutime,
    .remove = l_remove,
    .remove_tree = l_remove_tree,
    .hard_link = l_hard_link,
    .mkdirs = l_mkdirs,
    .stat = l_stat,
    .rename = l_rename,
    .xattr_get = l_xattr_get,
    .xattr_set = l_xattr_set,
    .batch_open = l_batch_open,
    .batch_call = l_batch_call,
    .batch_ret = l_batch_ret,
    .batch_stop = l_batch_stop,
    .batch_close = l_batch_close,
};
