#include "libep/ep_beneath.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "libpal/comm/verr.h"

namespace {

std::atomic<bool> g_force_walk{false};
std::atomic<int> g_no_openat2{0}; /* set once the kernel said ENOSYS */

int eintr_open(int dirfd, const char *name, int flags, mode_t mode)
{
  int fd;
  do {
    fd = openat(dirfd, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

/* One component at a time, each opened with O_NOFOLLOW: a link fails where openat2 would. */
int walk(int dirfd, const char *rel, int flags, mode_t mode)
{
  std::string path(rel);
  size_t pos = 0;
  int cur = dirfd;
  bool owned = false;
  auto release = [&] {
    if (owned) {
      int eno = errno;
      close(cur);
      errno = eno;
    }
  };
  for (;;) {
    size_t slash = path.find('/', pos);
    std::string comp = path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    bool last = slash == std::string::npos || path.find_first_not_of('/', slash) == std::string::npos;
    if (comp == "..") {
      release();
      errno = EXDEV;
      return -1;
    }
    if (comp.empty() || comp == ".") {
      if (last) {
        int fd = eintr_open(cur, ".", flags | O_CLOEXEC, mode);
        release();
        return fd;
      }
      pos = slash + 1;
      continue;
    }
    if (last) {
      int fd = eintr_open(cur, comp.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd < 0 && errno == ENOTDIR && (flags & O_DIRECTORY)) {
        struct stat st;
        if (fstatat(cur, comp.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
          errno = ELOOP;
      }
      release();
      return fd;
    }
    int next = eintr_open(cur, comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (next < 0) {
      if (errno == ENOTDIR) {
        struct stat st;
        if (fstatat(cur, comp.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
          errno = ELOOP;
      }
      release();
      return -1;
    }
    release();
    cur = next;
    owned = true;
    pos = slash + 1;
  }
}

} // namespace

void ep_beneath_force_walk(bool on)
{
  g_force_walk.store(on, std::memory_order_relaxed);
}

int ep_open_beneath(int dirfd, const char *rel, int flags, mode_t mode)
{
  if (!rel)
    return VERR_PARAM;
  while (*rel == '/')
    ++rel;
  int fd = -1;
  if (!g_force_walk.load(std::memory_order_relaxed) && !g_no_openat2.load(std::memory_order_relaxed)) {
    struct open_how how;
    memset(&how, 0, sizeof how);
    /* No O_NOFOLLOW here: with O_PATH it would hand back the link itself, where
     * RESOLVE_NO_SYMLINKS refuses a link in the last component as in every other (ELOOP). */
    how.flags = static_cast<uint64_t>((flags & ~O_NOFOLLOW) | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    /* EAGAIN: a rename elsewhere raced the lookup; it is tried again a bounded number of times. */
    int tries = 0;
    do {
      fd = static_cast<int>(syscall(SYS_openat2, dirfd, *rel ? rel : ".", &how, sizeof how));
    } while (fd < 0 && (errno == EINTR || errno == EAGAIN) && ++tries < 64);
    if (fd >= 0)
      return fd;
    if (errno != ENOSYS)
      return os_verr_get(errno);
    g_no_openat2.store(1, std::memory_order_relaxed);
  }
  fd = walk(dirfd, rel, flags, mode);
  return fd >= 0 ? fd : os_verr_get(errno);
}
