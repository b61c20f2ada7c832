#define LOG_TAG "pal"
#include "libpal/os/os_dirent.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "liblog/log2.h"

namespace {

constexpr size_t PATH_SIZE = 4096;

template <typename F> auto eintr_retry(F f) -> decltype(f())
{
  decltype(f()) r;
  do
    r = f();
  while (r < 0 && errno == EINTR);
  return r;
}

/* Where the entry is: at_path is resolved relative to dirfd; dir and name are for messages and
 * for the full path that the attribute calls need (dir null: at_path is that path). */
struct entry_src {
  int dirfd;
  const char *at_path;
  const char *dir;
  const char *name;
  bool parent_dev_known;
  uint64_t parent_dev;
};

/* "dir/name" into out; false when it does not fit. */
bool join_path(const char *dir, const char *name, char *out, size_t size)
{
  size_t dl = strlen(dir);
  bool slash = dl > 0 && dir[dl - 1] == '/';
  int n = snprintf(out, size, slash ? "%s%s" : "%s/%s", dir, name);
  return n >= 0 && static_cast<size_t>(n) < size;
}

void collect_xattrs(const char *path, std::string *streams)
{
  std::vector<char> names;
  ssize_t n = -1;
  /* The list may grow between the size query and the read; ERANGE asks for another round. */
  for (int round = 0; round < 4; round++) {
    n = llistxattr(path, nullptr, 0);
    if (n <= 0)
      break;
    names.resize(static_cast<size_t>(n));
    n = llistxattr(path, names.data(), names.size());
    if (n >= 0 || errno != ERANGE)
      break;
  }
  if (n < 0) {
    if (errno != ENOTSUP && errno != ENOENT)
      LOG2(LOG2_DBG | LOG2_ERRNO, "llistxattr [%s] err: ", path);
    return;
  }
  for (ssize_t off = 0; off < n;) {
    const char *an = names.data() + off;
    size_t al = strnlen(an, static_cast<size_t>(n - off));
    off += static_cast<ssize_t>(al) + 1;
    if (al == 0)
      continue;
    std::string aname(an, al);
    if (aname.find_first_of("\t\n") != std::string::npos) {
      /* the stream list is TAB- and line-separated: such a name cannot be carried */
      LOGW("[%s] xattr name with TAB or line feed skipped", path);
      continue;
    }
    ssize_t vl = lgetxattr(path, aname.c_str(), nullptr, 0);
    if (vl < 0) {
      if (errno != ENODATA)
        LOG2(LOG2_DBG | LOG2_ERRNO, "lgetxattr [%s] [%s] err: ", path, aname.c_str());
      continue;
    }
    char num[32];
    snprintf(num, sizeof num, "%lld", static_cast<long long>(vl));
    streams->append(aname).append("\tX\t").append(num).append("\n");
  }
}

bool has_subdir(int parent_fd, const char *at_path)
{
  int fd = eintr_retry([&] { return openat(parent_fd, at_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0)
    return false;
  DIR *dp = fdopendir(fd);
  if (!dp) {
    close(fd);
    return false;
  }
  bool found = false;
  while (!found) {
    struct dirent *e = readdir(dp);
    if (!e)
      break;
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
      continue;
    if (e->d_type == DT_DIR) {
      found = true;
    } else if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      found = fstatat(dirfd(dp), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
  }
  closedir(dp);
  return found;
}

int fill_entry(const entry_src &src, uint32_t opt, os_dirent *d)
{
  os_dirent_clear(d);
  size_t nl = strlen(src.name);
  if (nl >= sizeof d->name) {
    LOGW("dir=[%s] item=[%.64s...] name of %zu bytes does not fit", src.dir ? src.dir : "", src.name, nl);
    return VERR_NAME_TOO_LONG;
  }
  memcpy(d->name, src.name, nl + 1);

  struct stat st;
  if (eintr_retry([&] { return fstatat(src.dirfd, src.at_path, &st, AT_SYMLINK_NOFOLLOW); }) < 0)
    return os_verr_last();

  uint32_t type = os_mode_2_kind(st.st_mode, src.dir, src.name);
  if (S_ISLNK(st.st_mode)) {
    ssize_t n = readlinkat(src.dirfd, src.at_path, d->link_name, sizeof d->link_name);
    if (n < 0) {
      int rc = os_verr_last();
      LOG2(LOG2_DBG | LOG2_ERRNO, "readlink [%s] err: ", src.at_path);
      return rc;
    }
    if (static_cast<size_t>(n) >= sizeof d->link_name) {
      /* readlink cuts silently at the buffer size; a cut link text would point elsewhere */
      d->link_name[0] = '\0';
      LOGW("readlink [%s] link text does not fit %zu bytes", src.at_path, sizeof d->link_name);
      return VERR_NAME_TOO_LONG;
    }
    d->link_name[n] = '\0';
    /* Reading the link text may have moved its access time (the first read after a change does):
     * the entry carries the time the link has now, not the one it had before this read. */
    struct stat again;
    if (eintr_retry([&] { return fstatat(src.dirfd, src.at_path, &again, AT_SYMLINK_NOFOLLOW); }) == 0 &&
        S_ISLNK(again.st_mode))
      st.st_atim = again.st_atim;
    struct stat tst;
    if (eintr_retry([&] { return fstatat(src.dirfd, src.at_path, &tst, 0); }) == 0)
      type = os_mode_2_kind(tst.st_mode, src.dir, src.name);
    type |= TYPE_F_SYMLINK;
  } else if (S_ISDIR(st.st_mode)) {
    if ((opt & OS_DIRENT_O_MOUNT) && src.parent_dev_known && static_cast<uint64_t>(st.st_dev) != src.parent_dev) {
      type |= TYPE_F_SYMLINK;
      memcpy(d->link_name, ".", 2);
    }
  } else if (st.st_size > static_cast<off_t>(st.st_blocks) * 512) {
    type |= TYPE_F_SPARSE;
  }

  d->type = type;
  os_dirent_set_stat(d, &st);

  if (opt & OS_DIRENT_O_XATTR) {
    char full[PATH_SIZE];
    const char *p = src.at_path;
    if (src.dir) {
      if (join_path(src.dir, src.name, full, sizeof full))
        p = full;
      else
        p = nullptr;
    }
    if (p) {
      try {
        collect_xattrs(p, &d->streams);
      } catch (const std::bad_alloc &) {
        d->streams.clear();
        LOGW("[%s] xattr list: out of memory", p);
      }
    } else {
      LOGW("dir=[%s] item=[%s] path too long, xattrs not read", src.dir, src.name);
    }
  }
  if ((opt & OS_DIRENT_O_SUBDIR) && os_type_kind(type) == TYPE_DIR && has_subdir(src.dirfd, src.at_path))
    d->type |= TYPE_F_HAS_SUBDIR;
  return 0;
}

} // namespace

/* A directory read with getdents64 into a buffer of its own: a listing opens thousands of
 * directories, and the C library's stream would look at each descriptor twice more (fstat and
 * fcntl) on top of the fstat that takes its device here. */
constexpr size_t DIR_BUF_SIZE = 64 * 1024;

struct os_dir {
  int fd = -1;
  std::unique_ptr<char[]> buf;
  size_t len = 0, pos = 0; /* bytes of buf that the last getdents64 filled, and the next record */
  uint32_t opt = 0;
  uint64_t dev = 0;
  std::string path;
  int first_err = 0;
  bool ended = false;
  int fail_after = -1; /* fault injection: entries handed out before a read error */
};

namespace {

#ifdef QV_TEST_HOOKS
/* Fault injection for tests: QV_TEST_READDIR_FAIL=<suffix> makes the reading of every directory
 * whose path ends in <suffix> fail with an I/O error after its first entry. */
const char *readdir_fault()
{
  static const char *const v = getenv("QV_TEST_READDIR_FAIL");
  return v && *v ? v : nullptr;
}
#else
/* A build without test hooks (run.sh's, the benchmarks') has no such switch: no environment
 * variable can make a listing fail, and the variable's name is not in the binary. */
constexpr const char *readdir_fault()
{
  return nullptr;
}
#endif

} // namespace

void os_dirent_set_stat(os_dirent *d, const struct stat *st_)
{
  const struct stat &st = *st_;
  d->attrib_mode = st.st_mode;
  d->uid = st.st_uid;
  d->gid = st.st_gid;
  d->size = st.st_size;
  d->time_access = st.st_atim.tv_sec;
  d->time_access_ns = static_cast<uint32_t>(st.st_atim.tv_nsec);
  d->time_write = st.st_mtim.tv_sec;
  d->time_write_ns = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  d->time_create = st.st_ctim.tv_sec;
  d->time_create_ns = static_cast<uint32_t>(st.st_ctim.tv_nsec);
  d->st_nlink = st.st_nlink;
  d->st_dev = st.st_dev;
  d->st_rdev = st.st_rdev;
  d->st_ino = st.st_ino;
  d->file_id_ext = 0;
  d->st_blksize = static_cast<uint64_t>(st.st_blksize);
  d->st_blocks = static_cast<uint64_t>(st.st_blocks);
}

void os_dirent_clear(os_dirent *d)
{
  if (!d)
    return;
  d->type = d->attrib_mode = d->uid = d->gid = 0;
  d->size = d->time_access = d->time_write = d->time_create = 0;
  d->time_access_ns = d->time_write_ns = d->time_create_ns = 0;
  d->st_nlink = d->st_dev = d->st_rdev = d->st_ino = d->file_id_ext = d->st_blksize = d->st_blocks = 0;
  d->streams.clear();
  d->link_name[0] = '\0';
  d->name[0] = '\0';
}

uint32_t os_mode_2_kind(uint32_t st_mode, const char *dir, const char *name)
{
  switch (st_mode & 0xF000) {
  case 0x2000: /* character device */
  case 0x6000: /* block device */
  case 0xC000: /* socket */
  case 0x1000: /* FIFO */
    return TYPE_DEV;
  case 0x4000:
    return TYPE_DIR;
  case 0x8000:
  case 0xA000:
    return TYPE_FILE;
  default:
    LOGE("dir=[%s] item=[%s] unrecognized mode 0x%x", dir ? dir : "", name ? name : "", st_mode);
    return TYPE_FILE;
  }
}

int os_ldirent(const char *path, uint32_t opt, os_dirent *d)
{
  if (!path || !*path || !d)
    return VERR_PARAM;
  if (strlen(path) >= PATH_SIZE)
    return VERR_NAME_TOO_LONG;
  /* the name is the last component; trailing slashes do not make it empty */
  size_t end = strlen(path);
  while (end > 1 && path[end - 1] == '/')
    end--;
  size_t start = end;
  while (start > 0 && path[start - 1] != '/')
    start--;
  std::string name(path + start, end - start);
  if (name.empty())
    name = "/";
  entry_src src{AT_FDCWD, path, nullptr, name.c_str(), false, 0};
  return fill_entry(src, opt & ~OS_DIRENT_O_MOUNT, d);
}

os_dir *os_opendir(const char *path, uint32_t opt, vperror *err)
{
  if (!path || !*path) {
    VPERROR_SET(err, VERR_PARAM, "opendir: empty path");
    return nullptr;
  }
  if (strlen(path) >= PATH_SIZE) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "opendir [%.64s...] error: path too long", path);
    return nullptr;
  }
  int fd = eintr_retry([&] { return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) {
    int eno = errno;
    VPERROR_SET(err, os_verr_get(eno), "opendir [%s] error: %s", path, os_strerror(eno));
    return nullptr;
  }
  return os_opendir_fd(fd, path, opt, err);
}

os_dir *os_opendir_fd(int fd, const char *path, uint32_t opt, vperror *err)
{
  if (fd < 0 || !path) {
    if (fd >= 0)
      close(fd);
    VPERROR_SET(err, VERR_PARAM, "opendir: no directory");
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) < 0) {
    int eno = errno;
    close(fd);
    VPERROR_SET(err, os_verr_get(eno), "fstat [%s] error: %s", path, os_strerror(eno));
    return nullptr;
  }
  if (!S_ISDIR(st.st_mode)) {
    close(fd);
    VPERROR_SET(err, os_verr_get(ENOTDIR), "opendir [%s] error: %s", path, os_strerror(ENOTDIR));
    return nullptr;
  }
  auto *d = new (std::nothrow) os_dir;
  if (!d) {
    close(fd);
    VPERROR_SET(err, VERR_NOMEM, "opendir [%s] error: out of memory", path);
    return nullptr;
  }
  d->fd = fd;
  d->buf.reset(new (std::nothrow) char[DIR_BUF_SIZE]);
  try {
    if (!d->buf)
      throw std::bad_alloc();
    d->path = path;
  } catch (const std::bad_alloc &) {
    close(d->fd);
    delete d;
    VPERROR_SET(err, VERR_NOMEM, "opendir [%s] error: out of memory", path);
    return nullptr;
  }
  d->opt = opt;
  d->dev = st.st_dev;
  if (const char *f = readdir_fault()) {
    size_t pl = strlen(path), fl = strlen(f);
    if (pl >= fl && strcmp(path + pl - fl, f) == 0)
      d->fail_after = 1;
  }
  return d;
}

int os_readdir(os_dir *d, os_dirent *e)
{
  if (!d || !e)
    return VERR_PARAM;
  while (!d->ended) {
    if (d->fail_after == 0) {
      if (d->first_err == 0)
        d->first_err = os_verr_get(EIO);
      d->ended = true;
      break;
    }
    if (d->pos >= d->len) {
      ssize_t n = getdents64(d->fd, d->buf.get(), DIR_BUF_SIZE);
      if (n <= 0) {
        if (n < 0 && d->first_err == 0)
          d->first_err = os_verr_last();
        d->ended = true;
        break;
      }
      d->len = static_cast<size_t>(n);
      d->pos = 0;
    }
    auto *de = reinterpret_cast<struct dirent64 *>(d->buf.get() + d->pos);
    d->pos += de->d_reclen;
    if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, ".."))
      continue;
    entry_src src{d->fd, de->d_name, d->path.c_str(), de->d_name, true, d->dev};
    int rc = fill_entry(src, d->opt, e);
    if (rc == 0) {
      if (d->fail_after > 0)
        --d->fail_after;
      return 1;
    }
    if (rc == VERR_FILE_NOT_FOUND) {
      LOGD("dir=[%s] item=[%s] vanished while read", d->path.c_str(), de->d_name);
      continue;
    }
    LOGW("dir=[%s] item=[%.64s] skipped: %s", d->path.c_str(), de->d_name, verr2str(rc));
    if (d->first_err == 0)
      d->first_err = rc;
  }
  os_dirent_clear(e);
  return d->first_err;
}

const char *os_dir_path(const os_dir *d)
{
  return d ? d->path.c_str() : "";
}

void os_closedir(os_dir *d)
{
  if (!d)
    return;
  if (d->fd >= 0)
    close(d->fd);
  delete d;
}

void os_dirent_2_stat(const os_dirent *d, struct stat *st)
{
  if (!d || !st)
    return;
  memset(st, 0, sizeof *st);
  if (d->type & TYPE_F_NOMODE)
    st->st_mode = os_type_kind(d->type) == TYPE_DIR ? 0x41FD : 0x81FD;
  else
    st->st_mode = d->attrib_mode;
  st->st_uid = d->uid;
  st->st_gid = d->gid;
  st->st_size = d->size;
  st->st_atim.tv_sec = d->time_access;
  st->st_atim.tv_nsec = d->time_access_ns;
  st->st_mtim.tv_sec = d->time_write;
  st->st_mtim.tv_nsec = d->time_write_ns;
  st->st_ctim.tv_sec = d->time_create;
  st->st_ctim.tv_nsec = d->time_create_ns;
  st->st_nlink = static_cast<nlink_t>(d->st_nlink);
  st->st_dev = static_cast<dev_t>(d->st_dev);
  st->st_rdev = static_cast<dev_t>(d->st_rdev);
  st->st_ino = static_cast<ino_t>(d->st_ino);
  st->st_blksize = static_cast<blksize_t>(d->st_blksize);
  st->st_blocks = static_cast<blkcnt_t>(d->st_blocks);
}

namespace {

/* The mode an entry is given: alt_mode for a host without POSIX modes, else attrib_mode. */
uint32_t attr_mode(const file_attr *attr)
{
  return (attr->type & TYPE_F_NOMODE) ? attr->alt_mode : attr->attrib_mode;
}

/* Access and modification times, whole seconds. */
void attr_times(const file_attr *attr, struct timespec ts[2])
{
  ts[0].tv_sec = static_cast<time_t>(attr->time_access);
  ts[0].tv_nsec = 0;
  ts[1].tv_sec = static_cast<time_t>(attr->time_write);
  ts[1].tv_nsec = 0;
}

} // namespace

int os_set_file_lstat(const char *path, const file_attr *attr)
{
  if (!path || !attr)
    return VERR_PARAM;
  int rc = 0;
  uint32_t mode = attr_mode(attr);

  if (eintr_retry([&] { return lchown(path, attr->uid, attr->gid); }) < 0) {
    LOG2(LOG2_DBG | LOG2_ERRNO, "lchown [%s] uid=%u gid=%u err: ", path, attr->uid, attr->gid);
    /* an owner change that failed must not leave a set-ID bit for the wrong owner */
    mode &= ~0xC00u;
    rc = -1;
  }

  /* fchmodat without following refuses a link (EOPNOTSUPP); a link has no mode of its own to set */
  if (eintr_retry([&] { return fchmodat(AT_FDCWD, path, mode & 07777, AT_SYMLINK_NOFOLLOW); }) < 0) {
    int eno = errno;
    struct stat st;
    bool is_link = lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
    bool done = is_link;
    if (!is_link && eno == EOPNOTSUPP)
      /* a C library without the no-follow path: the entry is no link, so chmod cannot follow one */
      done = eintr_retry([&] { return chmod(path, mode & 07777); }) == 0;
    if (!done) {
      errno = eno;
      LOG2(LOG2_DBG | LOG2_ERRNO, "lchmod [%s] mode=0%o err: ", path, mode);
      rc = -1;
    }
  }

  struct timespec ts[2];
  attr_times(attr, ts);
  if (eintr_retry([&] { return utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW); }) < 0) {
    LOG2(LOG2_DBG | LOG2_ERRNO, "lutime [%s] err: ", path);
    rc = -1;
  }
  return rc;
}

int os_set_file_fattr(int fd, const char *path, const file_attr *attr, const struct stat *now)
{
  if (fd < 0 || !attr)
    return VERR_PARAM;
  if (!path)
    path = "";
  int rc = 0;
  uint32_t mode = attr_mode(attr);
  bool owner_kept = (attr->uid == UINT32_MAX && attr->gid == UINT32_MAX) ||
                    (now && (attr->uid == UINT32_MAX || now->st_uid == attr->uid) &&
                     (attr->gid == UINT32_MAX || now->st_gid == attr->gid));
  if (!owner_kept && eintr_retry([&] { return fchown(fd, attr->uid, attr->gid); }) < 0) {
    LOG2(LOG2_DBG | LOG2_ERRNO, "lchown [%s] uid=%u gid=%u err: ", path, attr->uid, attr->gid);
    mode &= ~0xC00u;
    rc = -1;
  }
  /* A change of owner clears set-ID bits, so the mode is set after it whenever it ran. */
  bool mode_kept = owner_kept && now && (now->st_mode & 07777) == (mode & 07777);
  if (!mode_kept && eintr_retry([&] { return fchmod(fd, mode & 07777); }) < 0) {
    LOG2(LOG2_DBG | LOG2_ERRNO, "lchmod [%s] mode=0%o err: ", path, mode);
    rc = -1;
  }
  struct timespec ts[2];
  attr_times(attr, ts);
  if (eintr_retry([&] { return futimens(fd, ts); }) < 0) {
    LOG2(LOG2_DBG | LOG2_ERRNO, "lutime [%s] err: ", path);
    rc = -1;
  }
  return rc;
}

int os_create_stream(const char *path, const char *kind, const char *stream_name)
{
  if (!path || !kind || !stream_name)
    return VERR_PARAM;
  if (!strcmp(kind, "X")) {
    if (eintr_retry([&] { return lsetxattr(path, stream_name, "", 0, 0); }) < 0) {
      int rc = os_verr_last();
      LOG2(LOG2_DBG | LOG2_ERRNO, "lsetxattr [%s] [%s] err: ", path, stream_name);
      return rc;
    }
    return 0;
  }
  if (!strcmp(kind, "S"))
    return VERR_NOTSUP;
  return VERR_PARAM;
}

int os_create_stream_zz(const char *zz_path)
{
  if (!zz_path)
    return VERR_PARAM;
  const char *parts[3];
  int n = 0;
  for (const char *p = zz_path; *p; p += strlen(p) + 1) {
    if (n == 3)
      return VERR_PARAM;
    parts[n++] = p;
  }
  if (n != 3)
    return VERR_PARAM;
  return os_create_stream(parts[0], parts[1], parts[2]);
}

int os_create_junction(const char *path, const char *target)
{
  LOGE("os_create_junction [%s]->[%s] error: not supported", path ? path : "", target ? target : "");
  return VERR_NOTSUP;
}
