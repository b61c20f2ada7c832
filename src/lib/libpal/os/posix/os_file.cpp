#define LOG_TAG "pal"
#include "libpal/os/os_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"

namespace {

template <typename F> int eintr_retry(F f)
{
  int r;
  do {
    r = f();
  } while (r < 0 && errno == EINTR);
  return r;
}

int is_dir_at(const char *path)
{
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

int os_mkdirs(const char *path, uint32_t mode)
{
  if (!path || !*path)
    return VERR_PARAM;
  if (mkdir(path, mode) == 0)
    return 0;
  int eno = errno;
  if (eno == EEXIST)
    return is_dir_at(path) ? 0 : VERR_EXISTS;
  if (eno != ENOENT)
    return os_verr_get(eno);
  /* Create the parents from the top down, then the path itself. */
  std::string p = path;
  for (size_t i = 1; i < p.size(); ++i) {
    if (p[i] != '/')
      continue;
    p[i] = 0;
    if (mkdir(p.c_str(), mode) < 0 && errno != EEXIST)
      return os_verr_get(errno);
    if (!is_dir_at(p.c_str()))
      return VERR_PATH_NOT_FOUND;
    p[i] = '/';
  }
  if (mkdir(path, mode) == 0)
    return 0;
  eno = errno;
  if (eno == EEXIST)
    return is_dir_at(path) ? 0 : VERR_EXISTS;
  return os_verr_get(eno);
}

int os_create_file_or_dir(const char *path, const file_attr *attr)
{
  if (!path || !*path || !attr)
    return VERR_PARAM;
  if (attr->type & TYPE_F_JUNCTION)
    return os_create_junction(path, attr->link_name ? attr->link_name : "");
  int rc = 0;
  if (attr->type & TYPE_F_SYMLINK) {
    const char *target = attr->link_name ? attr->link_name : "";
    if (symlink(target, path) < 0) {
      if (errno != EEXIST)
        return os_verr_get(errno);
      /* Replace what is there; a directory that is not empty stays and fails the link. */
      if (unlink(path) < 0 && rmdir(path) < 0)
        return os_verr_get(errno);
      if (symlink(target, path) < 0)
        return os_verr_get(errno);
    }
  } else if (os_type_kind(attr->type) == TYPE_DIR) {
    rc = os_mkdirs(path, 0700);
    if (rc < 0)
      return rc;
  } else {
    int fd = eintr_retry([&] { return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600); });
    if (fd < 0)
      return os_verr_get(errno);
    close(fd);
  }
  if (os_set_file_lstat(path, attr) < 0)
    LOGD("set_lstat[%s] err: some attributes were not applied", path);
  return 0;
}

int os_create_file_or_dir_zz(const char *zz_path, const file_attr *attr)
{
  if (!zz_path || !attr)
    return VERR_PARAM;
  int parts = 0;
  for (const char *p = zz_path; *p; p += strlen(p) + 1)
    ++parts;
  if (parts == 1)
    return os_create_file_or_dir(zz_path, attr);
  if (parts == 3)
    return os_create_stream_zz(zz_path);
  return VERR_PARAM;
}

int os_lutime(const char *path, uint64_t time_access, uint64_t time_write)
{
  if (!path)
    return VERR_PARAM;
  struct timespec ts[2];
  ts[0].tv_sec = static_cast<time_t>(time_access);
  ts[0].tv_nsec = 0;
  ts[1].tv_sec = static_cast<time_t>(time_write);
  ts[1].tv_nsec = 0;
  if (eintr_retry([&] { return utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW); }) < 0)
    return os_verr_get(errno);
  return 0;
}
