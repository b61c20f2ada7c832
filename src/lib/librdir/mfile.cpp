#define LOG_TAG "mfile"
#include "librdir/mfile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/memory/pl_qbuf.h"
#include "libpal/os/os_dirent.h"
#include "libpal/os/os_file.h"
#include "libpal/os/os_time.h"
#include "libpal/string/pl_base64.h"
#include "libpal/string/pl_escape.h"
#include "libpal/tframe/pl_cmder.h"
#include "librdir/rdir_line.h"

namespace {

constexpr int POST_WAIT_MS = 1000;
constexpr int READ_WAIT_LATER_MS = 500;
/* The largest result message of a request other than a read: a write result with its digest. */
constexpr uint32_t GATHER_ROOM = 96;
constexpr int ROOM_SLICE_MS = 100;
constexpr uint64_t QUEUE_BYTES_MIN = 16u << 20;
/* A tree removal descends at most this many levels: a deeper tree cannot have been made through
 * paths of MFILE_PATH_SIZE bytes. */
constexpr size_t TREE_DEPTH_MAX = MFILE_PATH_SIZE / 2;

template <typename F> auto eintr_retry(F f) -> decltype(f())
{
  decltype(f()) r;
  do {
    r = f();
  } while (r < 0 && errno == EINTR);
  return r;
}

/* A descriptor closed with its scope; a negative value is an error code kept for the caller. */
struct unique_fd {
  int fd;
  explicit unique_fd(int f = -1) : fd(f) {}
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
  ~unique_fd() { reset(); }
  void reset(int f = -1)
  {
    if (fd >= 0) {
      int eno = errno;
      close(fd);
      errno = eno;
    }
    fd = f;
  }
  bool ok() const { return fd >= 0; }
};

} // namespace

struct libmfile {
  uint32_t max_mfile_size = MFILE_SIZE_DEFAULT;
  uint32_t timeout = MFILE_TIMEOUT_DEFAULT;
  int8_t remove_flags = 0;
  uint32_t uid = MFILE_ID_NONE;
  uint32_t gid = MFILE_ID_NONE;
  uint32_t mode = 0;
  uint32_t dir_mode = 0755;
  bool digests = false;
  bool keep_set_id = true;
  int (*open_dir)(void *, const char *, int) = nullptr;
  void (*dir_removed)(void *) = nullptr;
  void *open_arg = nullptr;
  bool removed_dir = false;        /* the running request removed a directory; the executor's only */
  uint32_t tmp_serial = 0;         /* temporary names of hard links; the executor's only */
  std::unique_ptr<uint8_t[]> data; /* max_mfile_size bytes; the executor's only */
  std::string base;                /* base directory of the running request; the executor's only */
  std::string posted;              /* base text of the last request; the caller's only */
  std::deque<int> posted_types;    /* types of the requests not read to their end; the caller's only */
  qbuf *q = nullptr;
  cmder *cmd = nullptr;
  std::atomic<int> state{MFILE_STATE_IDLE};
  std::atomic<bool> stop{false};
  /* Bytes of results queued and not yet read, bounded by queue_limit. */
  uint64_t queue_limit = QUEUE_BYTES_MIN;
  std::mutex room_mu;
  std::condition_variable room_cv;
  uint64_t queued = 0; /* guarded by room_mu */
};

namespace {

bool stopped(const libmfile *h)
{
  return h->stop.load(std::memory_order_acquire);
}

/* ---- results ---- */

/* Queues one result message. While the reader lags behind by queue_limit bytes the executor waits
 * for room (at most MFILE_ROOM_WAIT_MS, never once stopped); a message that finds none is lost. */
void put(libmfile *h, const void *p, size_t n)
{
  if (n > UINT32_MAX) {
    LOGE("qbuf_write_timeout failed\n");
    return;
  }
  {
    std::unique_lock<std::mutex> lk(h->room_mu);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(MFILE_ROOM_WAIT_MS);
    while (h->queued > 0 && h->queued + n > h->queue_limit) {
      if (stopped(h) || std::chrono::steady_clock::now() >= deadline) {
        LOGE("qbuf_write_timeout failed\n");
        return;
      }
      h->room_cv.wait_for(lk, std::chrono::milliseconds(ROOM_SLICE_MS));
    }
    h->queued += n;
  }
  if (qbuf_write(h->q, p, static_cast<uint32_t>(n), 0) < 0) {
    std::lock_guard<std::mutex> g(h->room_mu);
    h->queued -= n;
    LOGE("qbuf_write_timeout failed\n");
  }
}

void put_text(libmfile *h, const char *text)
{
  put(h, text, strlen(text));
}

void put_code(libmfile *h, int code)
{
  char b[24];
  snprintf(b, sizeof b, "%d\t", code);
  put_text(h, b);
}

void put_err_block(libmfile *h, int flag, int code)
{
  uint8_t blk[8];
  if (libmfile_read_set_err_block(blk, flag, code) == 0)
    put(h, blk, sizeof blk);
}

void put_write_result(libmfile *h, int stage, int value, const uint8_t *digest = nullptr)
{
  std::string line;
  if (libmfile_write_result_line(stage, value, &line, digest) < 0) {
    LOGE("qbuf_write_timeout failed\n");
    return;
  }
  put(h, line.data(), line.size());
}

/* ---- names and paths ---- */

/* An entry named by a list line: its name, and for an extended attribute its kind and name. */
struct entry_name {
  std::string name;
  std::string kind;
  std::string stream;
  bool is_stream = false;
  std::string path; /* base and name, for messages */
};

bool is_component(const std::string &c)
{
  return !c.empty() && c != "." && c != ".." && c.find('/') == std::string::npos;
}

/* The path of name in the base: "-120" when it does not fit a path buffer. */
int join_path(const std::string &base, const std::string &name, std::string *out)
{
  bool slash = !base.empty() && base.back() == '/';
  if (base.size() + (slash ? 0 : 1) + name.size() >= MFILE_PATH_SIZE)
    return VERR_NAME_TOO_LONG;
  *out = base;
  if (!slash)
    out->push_back('/');
  out->append(name);
  return 0;
}

/* Reads the escaped name of a line, an entry of dir, as a zz-string: one part, or with streams
 * three. 0, -2 for a name that is not one component or a stream where none belongs, -120 for a
 * path too long. */
int name_of(const std::string &dir, const char *esc, bool streams, entry_name *en)
{
  std::string zz;
  if (str_unescape_cstr_append(esc, strlen(esc), &zz) < 0)
    return VERR_PARAM;
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < zz.size() && zz[i] != '\0' && parts.size() < 4) {
    size_t e = zz.find('\0', i);
    if (e == std::string::npos)
      e = zz.size();
    parts.emplace_back(zz, i, e - i);
    i = e + 1;
  }
  if (parts.size() != 1 && !(streams && parts.size() == 3))
    return VERR_PARAM;
  if (!is_component(parts[0]))
    return VERR_PARAM;
  en->name = std::move(parts[0]);
  en->is_stream = parts.size() == 3;
  if (en->is_stream) {
    en->kind = std::move(parts[1]);
    en->stream = std::move(parts[2]);
  }
  return join_path(dir, en->name, &en->path);
}

/* A relative path below the base ("" for the base itself): components that are names. */
bool rel_ok(const std::string &rel)
{
  if (rel.empty())
    return true;
  size_t pos = 0;
  for (;;) {
    size_t slash = rel.find('/', pos);
    if (!is_component(rel.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos)))
      return false;
    if (slash == std::string::npos)
      return true;
    pos = slash + 1;
  }
}

/* The code of an open that refused a link: O_NOFOLLOW with O_DIRECTORY reports ENOTDIR for it. */
int open_failure(int dirfd, const char *name)
{
  int eno = errno;
  struct stat st;
  if (eno == ENOTDIR && fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    eno = ELOOP;
  return os_verr_get(eno);
}

/* Opens the directory rel below dirfd one component at a time, never following a link. */
int walk_dir(int dirfd, const std::string &rel)
{
  if (!rel_ok(rel))
    return VERR_PARAM;
  int cur = eintr_retry([&] { return openat(dirfd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC); });
  if (cur < 0)
    return os_verr_last();
  size_t pos = 0;
  while (pos < rel.size()) {
    size_t slash = rel.find('/', pos);
    std::string comp = rel.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    pos = slash == std::string::npos ? rel.size() : slash + 1;
    int next = eintr_retry(
        [&] { return openat(cur, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (next < 0) {
      int code = open_failure(cur, comp.c_str());
      close(cur);
      return code;
    }
    close(cur);
    cur = next;
  }
  return cur;
}

/* Opens the base of a request (creating it first when asked), through the owner's hook. */
int open_base(libmfile *h, bool create)
{
  if (h->base.empty())
    return VERR_PARAM;
  if (h->base.size() >= MFILE_PATH_SIZE)
    return VERR_NAME_TOO_LONG;
  if (h->open_dir) {
    int fd = h->open_dir(h->open_arg, h->base.c_str(), create ? 1 : 0);
    return fd >= 0 ? fd : (fd < -1 ? fd : VERR_FAIL);
  }
  if (create) {
    int rc = os_mkdirs(h->base.c_str(), 0755);
    if (rc < 0)
      return rc;
  }
  int fd = eintr_retry([&] { return open(h->base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  return fd >= 0 ? fd : os_verr_last();
}

/* "/proc/self/fd/N/name": calls without an *at form look up only the last name, in dirfd. */
std::string anchored(int dirfd, const std::string &name)
{
  return "/proc/self/fd/" + std::to_string(dirfd) + "/" + name;
}

bool parse_u32(const char *text, uint32_t *v)
{
  const char *end = text + strlen(text);
  auto [p, ec] = std::from_chars(text, end, *v);
  return text != end && ec == std::errc() && p == end;
}

/* ---- entries ---- */

/* Owner, mode and times of name in dirfd, never following a final link. Every step runs; -1 when
 * any failed (each is logged). */
int set_attr_at(int dirfd, const std::string &name, const char *path, const file_attr *a)
{
  int rc = 0;
  uint32_t mode = (a->type & TYPE_F_NOMODE) ? a->alt_mode : a->attrib_mode;
  if (eintr_retry([&] { return fchownat(dirfd, name.c_str(), a->uid, a->gid, AT_SYMLINK_NOFOLLOW); }) < 0) {
    LOG2(LOG2_DBG | LOG2_ERRNO, "lchown [%s] uid=%u gid=%u err: ", path, a->uid, a->gid);
    /* set-ID bits are for the owner the line names, not for the one the entry kept */
    mode &= ~0xC00u;
    rc = -1;
  }
  /* A link has no mode of its own; anything else is changed through a descriptor opened without
   * following, so a link that took the entry's place is never followed. */
  if (!(a->type & TYPE_F_SYMLINK)) {
    unique_fd fd(eintr_retry([&] { return openat(dirfd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); }));
    std::string via = fd.ok() ? "/proc/self/fd/" + std::to_string(fd.fd) : std::string();
    struct stat st;
    bool is_link = fd.ok() && fstat(fd.fd, &st) == 0 && S_ISLNK(st.st_mode);
    if (!fd.ok() || is_link || eintr_retry([&] { return chmod(via.c_str(), mode & 07777); }) < 0) {
      if (is_link)
        errno = ELOOP;
      LOG2(LOG2_DBG | LOG2_ERRNO, "lchmod [%s] mode=0%o err: ", path, mode);
      rc = -1;
    }
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

/* Removes one entry: a file, a link (never its target) or an empty directory. */
int remove_entry(libmfile *h, int dirfd, const std::string &name)
{
  if (unlinkat(dirfd, name.c_str(), 0) == 0)
    return 0;
  if (errno == EISDIR || errno == EPERM) {
    if (unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0) {
      h->removed_dir = true;
      return 0;
    }
  }
  return os_verr_last();
}

/* Makes room for a new entry: whatever is there goes, a directory only when it is empty. */
int clear_place(libmfile *h, int dirfd, const std::string &name)
{
  if (unlinkat(dirfd, name.c_str(), 0) == 0 || errno == ENOENT)
    return 0;
  if (errno != EISDIR && errno != EPERM)
    return os_verr_last();
  if (unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0) {
    h->removed_dir = true;
    return 0;
  }
  if (errno == ENOENT)
    return 0;
  return (errno == ENOTEMPTY || errno == EEXIST) ? VERR_EXISTS : os_verr_last();
}

/* Removes name in dirfd with everything below it, each level opened from its parent without
 * following a link. An entry already gone is removed. The stop word ends the walk (-70). */
int remove_tree_at(libmfile *h, int top_fd, const std::string &name)
{
  if (unlinkat(top_fd, name.c_str(), 0) == 0 || errno == ENOENT)
    return 0;
  if (errno != EISDIR && errno != EPERM)
    return os_verr_last();
  h->removed_dir = true;
  struct level {
    DIR *dp;
    std::string name; /* in the parent */
  };
  std::vector<level> stack;
  auto unwind = [&] {
    int eno = errno;
    for (level &x : stack)
      closedir(x.dp);
    stack.clear();
    errno = eno;
  };
  auto open_level = [&](int parent, const std::string &n) -> bool {
    int fd = eintr_retry([&] { return openat(parent, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0)
      return false;
    DIR *dp = fdopendir(fd);
    if (!dp) {
      int eno = errno;
      close(fd);
      errno = eno;
      return false;
    }
    stack.push_back({dp, n});
    return true;
  };
  if (!open_level(top_fd, name))
    return errno == ENOENT ? 0 : os_verr_last();
  while (!stack.empty()) {
    if (stopped(h)) {
      unwind();
      return VERR_CANCELLED;
    }
    level &top = stack.back();
    errno = 0;
    struct dirent *de = readdir(top.dp);
    if (!de) {
      if (errno != 0) {
        int code = os_verr_last();
        unwind();
        return code;
      }
      std::string done = top.name;
      closedir(top.dp);
      stack.pop_back();
      int parent = stack.empty() ? top_fd : dirfd(stack.back().dp);
      if (unlinkat(parent, done.c_str(), AT_REMOVEDIR) < 0 && errno != ENOENT) {
        int code = os_verr_last();
        unwind();
        return code;
      }
      continue;
    }
    if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, ".."))
      continue;
    int here = dirfd(top.dp);
    if (unlinkat(here, de->d_name, 0) == 0 || errno == ENOENT)
      continue;
    if (errno != EISDIR && errno != EPERM) {
      int code = os_verr_last();
      unwind();
      return code;
    }
    if (stack.size() >= TREE_DEPTH_MAX || !open_level(here, de->d_name)) {
      if (stack.size() >= TREE_DEPTH_MAX)
        errno = ELOOP;
      int code = os_verr_last();
      unwind();
      return code;
    }
  }
  return 0;
}

/* Opens name in dirfd for output, created (with perm, the permission bits it is to have, so that
 * they need no change afterwards) and truncated. A link or a file whose data other names share is
 * replaced first, so that output never goes through either; the result must be a regular file,
 * whose status goes to *st. Returns the descriptor or the error code. */
int open_output(int dirfd, const std::string &name, mode_t perm, struct stat *st)
{
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  /* A new name (the common case of a copy) is created alone: it can be neither a link nor a file
   * with further names, so the look at what is there is saved. */
  int fd = eintr_retry([&] { return openat(dirfd, name.c_str(), flags | O_EXCL, perm & 0777); });
  if (fd < 0 && errno != EEXIST)
    return os_verr_last();
  if (fd < 0) {
    if (fstatat(dirfd, name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISLNK(st->st_mode) || (S_ISREG(st->st_mode) && st->st_nlink > 1)) && unlinkat(dirfd, name.c_str(), 0) < 0 &&
        errno != ENOENT)
      return os_verr_last();
    fd = eintr_retry([&] { return openat(dirfd, name.c_str(), flags | O_TRUNC, perm & 0777); });
    if (fd < 0)
      return os_verr_last();
  }
  if (fstat(fd, st) < 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    return VERR_PARAM;
  }
  return fd;
}

/* Creates an entry as its line describes and applies its attributes (a failed attribute change is
 * logged, not reported). link is the unescaped link text (null: none). */
int create_entry(libmfile *h, int dirfd, const entry_name &en, const file_attr *a, const char *link)
{
  const char *path = en.path.c_str();
  if (en.is_stream) {
    if (en.kind != "X")
      return en.kind == "S" ? VERR_NOTSUP : VERR_PARAM;
    if (lsetxattr(anchored(dirfd, en.name).c_str(), en.stream.c_str(), "", 0, 0) < 0)
      return os_verr_last();
    return 0;
  }
  if (a->type & TYPE_F_JUNCTION)
    return os_create_junction(path, link ? link : "");
  if (a->type & TYPE_F_SYMLINK) {
    const char *target = link ? link : "";
    if (symlinkat(target, dirfd, en.name.c_str()) < 0) {
      if (errno != EEXIST)
        return os_verr_last();
      int rc = clear_place(h, dirfd, en.name);
      if (rc < 0)
        return rc;
      if (symlinkat(target, dirfd, en.name.c_str()) < 0)
        return os_verr_last();
    }
  } else if (os_type_kind(a->type) == TYPE_DIR) {
    if (mkdirat(dirfd, en.name.c_str(), 0700) < 0) {
      if (errno != EEXIST)
        return os_verr_last();
      struct stat st;
      if (fstatat(dirfd, en.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
        return os_verr_last();
      if (!S_ISDIR(st.st_mode))
        return VERR_EXISTS;
    }
  } else {
    struct stat st;
    int fd = open_output(dirfd, en.name, 0600, &st);
    if (fd < 0)
      return fd;
    if (os_set_file_fattr(fd, path, a, &st) < 0)
      LOGD("set_lstat[%s] err: some attributes were not applied", path);
    close(fd);
    return 0;
  }
  if (set_attr_at(dirfd, en.name, path, a) < 0)
    LOGD("set_lstat[%s] err: some attributes were not applied", path);
  return 0;
}

/* ---- the operations ---- */

/* Calls f for every non-empty line of list (split in place) until f returns false, the list ends
 * or the service is stopped. */
template <typename F> void for_lines(const libmfile *h, char *list, F f)
{
  char *p = list;
  while (p && *p) {
    if (stopped(h))
      return;
    char *nl = strchr(p, '\n');
    if (nl)
      *nl = '\0';
    if (*p && !f(p))
      return;
    p = nl ? nl + 1 : nullptr;
  }
}

void libmfile_read_list(libmfile *h, char *list)
{
  unique_fd base(open_base(h, false));
  uint8_t *blk = h->data.get();
  /* A checked job follows the data of each block with its digest, in the same block. */
  const uint32_t tail = h->digests ? static_cast<uint32_t>(MFILE_DIGEST_LEN) : 0;
  if (h->max_mfile_size < MFILE_DATA_HDR_SIZE + tail) {
    LOGE("max_mfile_size=%u holds no checked block\n", h->max_mfile_size);
    return;
  }
  const uint32_t max_len = h->max_mfile_size - static_cast<uint32_t>(MFILE_DATA_HDR_SIZE) - tail;
  for_lines(h, list, [&](char *line) {
    char *tab = strchr(line, '\t');
    uint32_t len = 0;
    if (!tab || (*tab = '\0', !parse_u32(tab + 1, &len))) {
      LOGE("invalid name_list\n");
      return false;
    }
    entry_name en;
    int code = name_of(h->base, line, false, &en);
    if (code == 0 && !base.ok())
      code = base.fd;
    if (code == 0 && len > max_len) {
      /* The buffer holds one block of at most max_len bytes: the line is refused, not the list. */
      LOGE("[%s] len=%u above the largest read %u\n", en.path.c_str(), len, max_len);
      code = VERR_OVERFLOW;
    }
    if (code < 0) {
      put_err_block(h, MFILE_DATA_OPEN_ERR, code);
      return true;
    }
    /* Non-blocking, so that a FIFO in a file's place cannot hold the request; a link is refused
     * (ELOOP), never read through. */
    unique_fd fd(eintr_retry(
        [&] { return openat(base.fd, en.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    struct stat st;
    if (!fd.ok() || fstat(fd.fd, &st) < 0)
      code = os_verr_last();
    else if (!S_ISREG(st.st_mode))
      code = S_ISDIR(st.st_mode) ? VERR_IS_DIR : VERR_PARAM;
    if (code < 0) {
      put_err_block(h, MFILE_DATA_OPEN_ERR, code);
      return true;
    }
    size_t got = 0;
    while (got < len) {
      ssize_t n = read(fd.fd, blk + MFILE_DATA_HDR_SIZE + got, len - got);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0) {
        code = os_verr_last();
        LOG2(LOG2_ERR | LOG2_ERRNO, "o_read [%s] eno=%d error: ", en.path.c_str(), code);
        break;
      }
      if (n == 0)
        break;
      got += static_cast<size_t>(n);
    }
    if (code < 0) {
      put_err_block(h, MFILE_DATA_READ_ERR, code);
      return true;
    }
    if (tail) {
      pl_hash_once(PL_HASH_XXH3, blk + MFILE_DATA_HDR_SIZE, got, blk + MFILE_DATA_HDR_SIZE + got);
      got += tail;
    }
    if (libmfile_read_set_data_len_err(blk, static_cast<uint32_t>(got), MFILE_DATA_OK) == 0)
      put(h, blk, MFILE_DATA_HDR_SIZE + got);
    return true;
  });
}

/* A service that may not make set-ID entries clears those bits of the modes it is given. */
void drop_set_id(const libmfile *h, file_attr *a)
{
  if (!h->keep_set_id) {
    const uint32_t bits = static_cast<uint32_t>(S_ISUID | S_ISGID);
    a->attrib_mode &= ~bits;
    a->alt_mode &= ~bits;
  }
}

void libmfile_create_dir(libmfile *h, char *list)
{
  unique_fd base(open_base(h, true));
  for_lines(h, list, [&](char *line) {
    char *name = nullptr;
    file_attr a;
    if (libmfile_dir_scanf(line, &name, &a) < 0)
      return false;
    drop_set_id(h, &a);
    entry_name en;
    int code = name_of(h->base, name, true, &en);
    if (code == 0 && !base.ok())
      code = base.fd;
    if (code == 0)
      code = create_entry(h, base.fd, en, &a, nullptr);
    if (code < 0)
      LOGE("mkdirs %s eno=%d error: %s", en.path.empty() ? name : en.path.c_str(), code, verr2str(code));
    put_code(h, code);
    return true;
  });
}

void libmfile_create_write_file(libmfile *h, char *list)
{
  unique_fd base(open_base(h, true));
  for_lines(h, list, [&](char *line) {
    char *name = nullptr, *b64 = nullptr;
    file_attr a;
    /* The digest covers the whole line as it came (name, attributes and data), before the
     * parse cuts it into fields. */
    uint8_t digest[MFILE_DIGEST_LEN];
    const uint8_t *dg = nullptr;
    if (h->digests) {
      pl_hash_once(PL_HASH_XXH3, line, strlen(line), digest);
      dg = digest;
    }
    /* A sender that compares digests gets a result for a line that does not parse, and the
     * list goes on: one spoiled line costs that file only, and the sender sends it again. */
    if (libmfile_write_scanf(line, &name, &a, &b64) < 0) {
      if (!h->digests)
        return false;
      put_write_result(h, MFILE_WRITE_OPEN_FAIL, VERR_PROTO);
      return true;
    }
    int n = 0;
    if (*b64) {
      n = str_base64_decode(b64, strlen(b64), h->data.get(), h->max_mfile_size);
      if (n < 1) {
        LOGE("file_data base64 decode error");
        if (!h->digests)
          return false;
        put_write_result(h, MFILE_WRITE_OPEN_FAIL, VERR_PROTO);
        return true;
      }
    }
    entry_name en;
    int code = name_of(h->base, name, true, &en);
    if (code == 0 && !base.ok())
      code = base.fd;
    std::string link;
    if (code == 0 && a.link_name &&
        (str_unescape_cstr_append(a.link_name, strlen(a.link_name), &link) < 0 || link.size() != strlen(link.c_str()) ||
         link.size() >= OS_DIRENT_LINK_SIZE))
      code = VERR_PARAM;
    if (code < 0) {
      put_write_result(h, MFILE_WRITE_OPEN_FAIL, code);
      return true;
    }
    drop_set_id(h, &a);
    if (n == 0) {
      code = create_entry(h, base.fd, en, &a, a.link_name ? link.c_str() : nullptr);
      if (code < 0)
        put_write_result(h, MFILE_WRITE_OPEN_FAIL, code);
      else
        put_write_result(h, MFILE_WRITE_DONE, 0, dg);
      return true;
    }
    if (en.is_stream) {
      put_write_result(h, MFILE_WRITE_OPEN_FAIL, VERR_PARAM);
      return true;
    }
    struct stat st;
    /* Created with its permission bits, less those others would get before its data is there. */
    unique_fd fd(open_output(base.fd, en.name, a.attrib_mode & 0755, &st));
    if (!fd.ok()) {
      errno = verr_2_posix(fd.fd);
      LOG2(LOG2_ERR | LOG2_ERRNO, "o_open [%s] eno=%d error: ", en.path.c_str(), fd.fd);
      put_write_result(h, MFILE_WRITE_OPEN_FAIL, fd.fd);
      return true;
    }
    size_t done = 0;
    while (done < static_cast<size_t>(n)) {
      ssize_t w = write(fd.fd, h->data.get() + done, static_cast<size_t>(n) - done);
      if (w < 0 && errno == EINTR)
        continue;
      if (w <= 0) {
        if (w == 0)
          errno = ENOSPC;
        code = os_verr_last();
        LOG2(LOG2_ERR | LOG2_ERRNO, "o_write [%s] eno=%d error: ", en.path.c_str(), code);
        break;
      }
      done += static_cast<size_t>(w);
    }
    if (code == 0) {
      /* Attributes go last and through the descriptor: the times say "complete" only now. */
      if (os_set_file_fattr(fd.fd, en.path.c_str(), &a, &st) < 0)
        LOG2(LOG2_ERR | LOG2_ERRNO, "[%s] set_stat err: ", en.path.c_str());
      int fdv = fd.fd;
      fd.fd = -1;
      /* close reports a deferred write error (a full disk on a network file system). */
      if (close(fdv) < 0 && errno != EINTR)
        code = os_verr_last();
    }
    if (code < 0)
      put_write_result(h, MFILE_WRITE_WRITE_FAIL, code);
    else
      put_write_result(h, MFILE_WRITE_DONE, n, dg);
    return true;
  });
}

/* Types 4 and 6. */
void libmfile_delete_list(libmfile *h, char *list, bool tree)
{
  unique_fd base(open_base(h, false));
  for_lines(h, list, [&](char *line) {
    entry_name en;
    int code = name_of(h->base, line, !tree, &en);
    if (code == 0 && !base.ok())
      code = base.fd;
    if (code == 0 && en.is_stream) {
      if (en.kind != "X")
        code = en.kind == "S" || en.kind == "A" ? VERR_NOTSUP : VERR_PARAM;
      else if (lremovexattr(anchored(base.fd, en.name).c_str(), en.stream.c_str()) < 0)
        code = os_verr_last();
    } else if (code == 0) {
      code = tree ? remove_tree_at(h, base.fd, en.name) : remove_entry(h, base.fd, en.name);
    }
    if (code < 0)
      LOGD("remove [%s] ret=%d", en.path.empty() ? line : en.path.c_str(), code);
    put_code(h, code);
    return true;
  });
}

/* Types 5 and 7: the non-directories, or the subdirectories, of the base. */
void libmfile_clear_dir(libmfile *h, bool dirs)
{
  unique_fd base(open_base(h, false));
  if (!base.ok()) {
    char b[40];
    snprintf(b, sizeof b, "D\t%d\t$", base.fd);
    put_text(h, b);
    return;
  }
  std::vector<std::string> names;
  {
    int fd = eintr_retry([&] { return openat(base.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    DIR *dp = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dp) {
      int code = os_verr_last();
      if (fd >= 0)
        close(fd);
      char b[40];
      snprintf(b, sizeof b, "D\t%d\t$", code);
      put_text(h, b);
      return;
    }
    errno = 0;
    while (struct dirent *de = readdir(dp)) {
      if (stopped(h))
        break;
      if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
        names.emplace_back(de->d_name);
      errno = 0;
    }
    if (errno != 0)
      LOG2(LOG2_ERR | LOG2_ERRNO, "readdir [%s] error: ", h->base.c_str());
    closedir(dp);
  }
  put_text(h, "F\t");
  for (const std::string &name : names) {
    if (stopped(h))
      break;
    struct stat st;
    if (fstatat(base.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
      continue; /* gone since it was listed */
    if (S_ISDIR(st.st_mode) != dirs)
      continue;
    put_code(h, dirs ? remove_tree_at(h, base.fd, name) : remove_entry(h, base.fd, name));
  }
  put_text(h, "$");
}

int sync_create_dir(libmfile *h, int dirfd, const std::string &name)
{
  if (mkdirat(dirfd, name.c_str(), h->dir_mode & 07777) < 0) {
    if (errno != EEXIST)
      return os_verr_last();
    struct stat st;
    if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0)
      return os_verr_last();
    return S_ISDIR(st.st_mode) ? 0 : os_verr_get(EACCES);
  }
  if (h->uid != MFILE_ID_NONE && h->gid != MFILE_ID_NONE &&
      fchownat(dirfd, name.c_str(), h->uid, h->gid, AT_SYMLINK_NOFOLLOW) < 0)
    return os_verr_last();
  return 0;
}

void libmfile_sync_init_list(libmfile *h, char *list)
{
  unique_fd base(open_base(h, false));
  for_lines(h, list, [&](char *line) {
    char cmd = line[0];
    if ((cmd != 'D' && cmd != 'F' && cmd != 'C') || line[1] != ' ') {
      LOGE("cmd=%c invalid\n", cmd);
      return false;
    }
    entry_name en;
    int code = name_of(h->base, line + 2, false, &en);
    if (code == 0 && !base.ok())
      code = base.fd;
    if (code == 0) {
      if (cmd == 'D')
        code = remove_tree_at(h, base.fd, en.name);
      else if (cmd == 'F')
        code = remove_entry(h, base.fd, en.name);
      else
        code = sync_create_dir(h, base.fd, en.name);
    }
    LOGD("cmd=%c path=[%s] ret=%d", cmd, en.path.empty() ? line + 2 : en.path.c_str(), code);
    put_code(h, code);
    return true;
  });
}

/* Splits a relative path into its directory ("" for none) and last name. */
void split_last(const std::string &rel, std::string *dir, std::string *last)
{
  size_t slash = rel.find_last_of('/');
  if (slash == std::string::npos) {
    dir->clear();
    *last = rel;
  } else {
    *dir = rel.substr(0, slash);
    *last = rel.substr(slash + 1);
  }
}

/* Makes name in dir a further name of sname in src_dir. Whatever is at name is replaced in one
 * step (a link under a temporary name, renamed over it), so a link that cannot be made leaves the
 * old entry in place; a name that already is that file stays as it is. */
int replace_by_link(libmfile *h, int src_dir, const std::string &sname, int dir, const std::string &name)
{
  if (linkat(src_dir, sname.c_str(), dir, name.c_str(), 0) == 0)
    return 0;
  if (errno != EEXIST)
    return os_verr_last();
  struct stat ss, ns;
  if (fstatat(src_dir, sname.c_str(), &ss, AT_SYMLINK_NOFOLLOW) == 0 &&
      fstatat(dir, name.c_str(), &ns, AT_SYMLINK_NOFOLLOW) == 0 && ss.st_dev == ns.st_dev && ss.st_ino == ns.st_ino)
    return 0;
  char tmp[64];
  for (int attempt = 0; attempt < 8; ++attempt) {
    snprintf(tmp, sizeof tmp, ".qvcp-link.%d.%u", static_cast<int>(getpid()), h->tmp_serial++);
    if (linkat(src_dir, sname.c_str(), dir, tmp, 0) == 0) {
      if (renameat(dir, tmp, dir, name.c_str()) == 0)
        return 0;
      int code = os_verr_last();
      unlinkat(dir, tmp, 0);
      return code;
    }
    if (errno != EEXIST)
      break;
  }
  return os_verr_last();
}

void libmfile_create_hardlink_list(libmfile *h, const std::string &link_dir, char *list)
{
  unique_fd base(open_base(h, false));
  /* The directory of the new links, below the base and reached without following a link. */
  unique_fd links(base.ok() ? walk_dir(base.fd, link_dir) : base.fd);
  std::string links_path = h->base;
  if (!link_dir.empty() && join_path(h->base, link_dir, &links_path) < 0 && links.ok())
    links.reset(VERR_NAME_TOO_LONG);
  std::string src_dir_cached;
  unique_fd src_dir;
  for_lines(h, list, [&](char *line) {
    char *tab = strchr(line, '\t');
    if (!tab) {
      LOGE("invalid name_list\n");
      return false;
    }
    *tab = '\0';
    entry_name en;
    int code = links.ok() ? 0 : links.fd;
    std::string new_path, src_rel, src_path, sdir, sname;
    if (code == 0) {
      /* The name is one component of the link directory. */
      code = name_of(links_path, line, false, &en);
      new_path = en.path;
    }
    if (code == 0) {
      std::string zz;
      if (str_unescape_cstr_append(tab + 1, strlen(tab + 1), &zz) < 0)
        code = VERR_PARAM;
      src_rel = zz.c_str(); /* the first part of a zz-string */
      if (code == 0 && (src_rel.empty() || !rel_ok(src_rel)))
        code = VERR_PARAM;
      if (code == 0)
        code = join_path(h->base, src_rel, &src_path);
    }
    if (code == 0) {
      split_last(src_rel, &sdir, &sname);
      if (!src_dir.ok() || sdir != src_dir_cached) {
        src_dir.reset(walk_dir(base.fd, sdir));
        src_dir_cached = sdir;
      }
      if (!src_dir.ok())
        code = src_dir.fd;
    }
    if (code == 0) {
      LOGD("link [%s] <- [%s]", new_path.c_str(), src_path.c_str());
      code = replace_by_link(h, src_dir.fd, sname, links.fd, en.name);
      if (code < 0) {
        errno = verr_2_posix(code);
        LOG2(LOG2_ERR | LOG2_ERRNO, "link [%s] <- [%s] eno=%d error: ", new_path.c_str(), src_path.c_str(), code);
      }
    }
    put_code(h, code);
    return true;
  });
}

/* The executor's message procedure: the message holds the base text and the list, each ended by
 * a NUL. */
void cmder_msg_func(uint32_t id, void *data, cmder_run *run)
{
  auto *h = static_cast<libmfile *>(run->ctx);
  if (!data) {
    LOGE("invalid cmd=%d without data", static_cast<int>(id));
    return;
  }
  char *dir = static_cast<char *>(data);
  char *list = dir + strlen(dir) + 1;
  int type = static_cast<int>(id);
  if (type < MFILE_READ_LIST || type > MFILE_HARDLINK) {
    LOGE("invalid cmd=%d", type);
    return;
  }
  h->state.exchange(MFILE_STATE_RUNNING);
  h->removed_dir = false;
  std::string link_dir;
  h->base.clear();
  if (type == MFILE_HARDLINK) {
    /* The base text is an escaped zz-string: base directory, then the links' directory. */
    std::string zz;
    if (str_unescape_cstr_append(dir, strlen(dir), &zz) < 0)
      LOGE("cmd=%d base text [%.64s] error: not an escaped text", type, dir);
    size_t first = zz.find('\0');
    h->base.assign(zz, 0, first); /* empty for a bad text: every line then gets -2 */
    if (first != std::string::npos && first + 1 < zz.size())
      link_dir = zz.c_str() + first + 1;
  } else {
    h->base = dir;
  }
  switch (type) {
  case MFILE_READ_LIST:
    libmfile_read_list(h, list);
    break;
  case MFILE_CREATE_DIR:
    libmfile_create_dir(h, list);
    break;
  case MFILE_WRITE_FILE:
    libmfile_create_write_file(h, list);
    break;
  case MFILE_DELETE:
    libmfile_delete_list(h, list, false);
    break;
  case MFILE_DELETE_TREE:
    libmfile_delete_list(h, list, true);
    break;
  case MFILE_CLEAR_FILES:
    libmfile_clear_dir(h, false);
    break;
  case MFILE_CLEAR_DIRS:
    libmfile_clear_dir(h, true);
    break;
  case MFILE_SYNC_INIT:
    libmfile_sync_init_list(h, list);
    break;
  case MFILE_HARDLINK:
    libmfile_create_hardlink_list(h, link_dir, list);
    break;
  default:
    break;
  }
  /* Told before the end message: whoever has read the results sees the change. */
  if (h->removed_dir && h->dir_removed)
    h->dir_removed(h->open_arg);
  put(h, "\n", 1);
  h->state.exchange(MFILE_STATE_DONE);
}

/* The end message of a request: exactly one line feed. */
int end_message(const void *data, uint32_t n)
{
  return n == 1 && static_cast<const char *>(data)[0] == '\n';
}

void free_handle(libmfile *h)
{
  qbuf_close(h->q);
  delete h;
}

} // namespace

libmfile *libmfile_open(const libmfile_param *p)
{
  static const libmfile_param none{};
  if (!p)
    p = &none;
  if (p->max_mfile_size < MFILE_SIZE_MIN || p->max_mfile_size > RDIR_MAX_MLEN + MFILE_DATA_HDR_SIZE) {
    VPERROR_SET(p->err, VERR_PARAM, "max_mfile_size=%u outside %u..%u", p->max_mfile_size, MFILE_SIZE_MIN,
                static_cast<unsigned>(RDIR_MAX_MLEN + MFILE_DATA_HDR_SIZE));
    return nullptr;
  }
  auto *h = new (std::nothrow) libmfile;
  if (!h) {
    VPERROR_SET(p->err, VERR_NOMEM, "libmfile_open: out of memory");
    return nullptr;
  }
  h->max_mfile_size = p->max_mfile_size;
  h->timeout = p->timeout ? p->timeout : MFILE_TIMEOUT_DEFAULT;
  h->remove_flags = p->remove_flags;
  h->uid = p->uid;
  h->gid = p->gid;
  h->mode = p->mode;
  h->dir_mode = p->dir_mode;
  h->digests = p->digests;
  h->keep_set_id = p->keep_set_id;
  h->open_dir = p->open_dir;
  h->dir_removed = p->dir_removed;
  h->open_arg = p->open_arg;
  h->queue_limit = std::max<uint64_t>(QUEUE_BYTES_MIN, 2ull * p->max_mfile_size);
  h->data.reset(new (std::nothrow) uint8_t[p->max_mfile_size]);
  if (!h->data) {
    LOGD("max_mfile_size=%u alloc failed\n", p->max_mfile_size);
    VPERROR_SET(p->err, VERR_NOMEM, "max_mfile_size=%u alloc failed", p->max_mfile_size);
    free_handle(h);
    return nullptr;
  }
  h->q = qbuf_open(h);
  if (!h->q) {
    LOGE("qbuf_init failed\n");
    VPERROR_SET(p->err, VERR_NOMEM, "qbuf_init failed");
    free_handle(h);
    return nullptr;
  }
  cmder_param cp{};
  cp.ctx = h;
  cp.queue_size = MFILE_CMD_QUEUE;
  cp.timer_interval_ms = 1000;
  cp.name = "mfile_cmder";
  cp.msg_proc = cmder_msg_func;
  h->cmd = cmder_init(&cp);
  if (!h->cmd) {
    VPERROR_SET(p->err, VERR_FAIL, "cmder_init mfile_cmder failed");
    free_handle(h);
    return nullptr;
  }
  return h;
}

int libmfile_call_cmd(libmfile *h, int type, const char *dir, const char *list, size_t len)
{
  if (!h || type < MFILE_READ_LIST || type > MFILE_HARDLINK || (!list && len) || (list && memchr(list, 0, len)))
    return VERR_PARAM;
  if (stopped(h))
    return VERR_CANCELLED;
  if (!dir)
    dir = "";
  /* The base text of type 9 is two escaped paths; any other is one path. */
  size_t dlen = strlen(dir);
  if (dlen >= (type == MFILE_HARDLINK ? 4 * MFILE_PATH_SIZE : MFILE_PATH_SIZE))
    return VERR_NAME_TOO_LONG;
  try {
    h->posted.assign(dir, dlen);
    h->posted_types.push_back(type);
  } catch (const std::bad_alloc &) {
    return VERR_NOMEM;
  }
  /* The message is "dir\0list\0", gathered straight from the caller's texts. */
  const cmder_part parts[] = {{dir, dlen}, {"", 1}, {list ? list : "", len}, {"", 1}};
  int rc = cmder_post_msg_parts(h->cmd, static_cast<uint32_t>(type), parts, 4, nullptr, POST_WAIT_MS);
  if (rc < 0) {
    h->posted_types.pop_back();
    LOGE("cmder_post_msg3 failed\n");
  }
  return rc;
}

int libmfile_get_list_ret(libmfile *h, char *buf, uint32_t len, const char *prefix)
{
  if (!h || !buf || len < 2)
    return VERR_PARAM;
  uint64_t t0 = os_time_ms();
  uint32_t used = 0;
  for (int attempt = 0;; ++attempt) {
    bool stop = stopped(h);
    uint64_t spent = os_time_ms() - t0;
    int wait = 0;
    if (attempt > 0 && !stop && spent < h->timeout)
      wait = static_cast<int>(std::min<uint64_t>(READ_WAIT_LATER_MS, h->timeout - spent));
    int hit = 0;
    int n = qbuf_read_filter(h->q, buf + used, len - used, wait, end_message, &hit);
    if (n > 0) {
      {
        std::lock_guard<std::mutex> g(h->room_mu);
        h->queued -= static_cast<uint64_t>(n);
      }
      h->room_cv.notify_all();
      if (hit) {
        /* The end message is dropped; alone it only says that a request finished. */
        used += static_cast<uint32_t>(n) - 1;
        if (!h->posted_types.empty())
          h->posted_types.pop_front();
        if (used > 0) {
          buf[used] = '\0';
          return static_cast<int>(used);
        }
        continue;
      }
      used += static_cast<uint32_t>(n);
      /* The running request's results are gathered while its largest message still fits, so
       * that a reader across a network makes a round trip per request, not one per entry. */
      bool reads = !h->posted_types.empty() && h->posted_types.front() == MFILE_READ_LIST;
      uint32_t room = reads ? h->max_mfile_size : GATHER_ROOM;
      if (len - used < room + 1)
        return static_cast<int>(used);
      continue;
    }
    bool late = os_time_ms() - t0 >= h->timeout;
    if (used > 0 && (stop || late))
      return static_cast<int>(used);
    if (stop)
      return VERR_CANCELLED;
    if (late) {
      LOGD("[%s] [%s] readlist timeout=%d\n", h->posted.c_str(), prefix ? prefix : "", static_cast<int>(h->timeout));
      return 0;
    }
  }
}

int libmfile_state(const libmfile *h)
{
  return h ? h->state.load() : MFILE_STATE_IDLE;
}

void libmfile_stop(libmfile *h)
{
  if (!h)
    return;
  h->stop.store(true, std::memory_order_release);
  h->room_cv.notify_all();
}

void libmfile_close(libmfile *h)
{
  if (!h)
    return;
  libmfile_stop(h);
  bool idle = false;
  for (uint32_t step = 0; step < MFILE_CLOSE_WAIT_S && !idle; ++step)
    idle = cmder_wait_idle(h->cmd, 1000) == 0;
  cmder_exit(h->cmd);
  if (!idle) {
    /* The thread may still be inside a request: what it uses stays allocated. */
    LOGE("mfile_cmder still busy after %u s: its handle stays allocated", MFILE_CLOSE_WAIT_S);
    return;
  }
  free_handle(h);
}
