#define LOG_TAG "pal"
#include "libpal/os/os_file.h"

#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

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

int os_open_output(const char *path, int flags, uint32_t mode)
{
  if (!path || !*path)
    return VERR_PARAM;
  flags |= O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = eintr_retry([&] { return open(path, flags, mode); });
    if (fd >= 0)
      return fd;
    /* A symbolic link sits where the file goes: it is replaced, never written through. */
    if (errno != ELOOP || attempt > 0 || unlink(path) < 0)
      break;
  }
  return os_verr_get(errno);
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
    /* A link or a file where a directory belongs is replaced, so that nothing is written
     * through a link below it. */
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISDIR(st.st_mode) && unlink(path) < 0)
      return os_verr_get(errno);
    rc = os_mkdirs(path, 0700);
    if (rc < 0)
      return rc;
  } else if ((attr->attrib_mode & S_IFMT) == S_IFIFO) {
    if (mkfifo(path, 0600) < 0) {
      if (errno != EEXIST || unlink(path) < 0 || mkfifo(path, 0600) < 0)
        return os_verr_get(errno);
    }
  } else {
    rc = os_open_output(path, O_WRONLY | O_TRUNC, 0600);
    if (rc < 0)
      return rc;
    close(rc);
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

int os_remove(const char *path, int)
{
  if (!path || !*path)
    return VERR_PARAM;
  if (unlink(path) == 0)
    return 0;
  if (errno == EISDIR || errno == EPERM) {
    if (rmdir(path) == 0)
      return 0;
  }
  return os_verr_get(errno);
}

int os_remove_zz(const char *zz_path, int del_mode)
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
  if (n == 1)
    return os_remove(zz_path, del_mode);
  if (n != 3)
    return VERR_PARAM;
  if (strcmp(parts[1], "X") != 0)
    return strcmp(parts[1], "S") == 0 || strcmp(parts[1], "A") == 0 ? VERR_NOTSUP : VERR_PARAM;
  if (lremovexattr(parts[0], parts[2]) < 0)
    return os_verr_get(errno);
  return 0;
}

int os_remove_tree(const char *path, int)
{
  if (!path || !*path)
    return VERR_PARAM;
  constexpr size_t PATH_SIZE = 4096;
  std::vector<std::string> todo{path};
  std::vector<std::string> done;
  while (!todo.empty()) {
    std::string dir = std::move(todo.back());
    todo.pop_back();
    DIR *d = opendir(dir.c_str());
    if (!d)
      return -1;
    struct dirent *de;
    int rc = 0;
    while ((de = readdir(d)) != nullptr) {
      if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, ".."))
        continue;
      if (dir.size() + 1 + strlen(de->d_name) >= PATH_SIZE) {
        errno = ENAMETOOLONG;
        rc = -1;
        break;
      }
      std::string child = dir + "/" + de->d_name;
      struct stat st;
      if (lstat(child.c_str(), &st) < 0) {
        if (errno == ENOENT)
          continue;
        rc = -1;
        break;
      }
      if (S_ISDIR(st.st_mode)) {
        todo.push_back(std::move(child));
      } else if (unlink(child.c_str()) < 0 && errno != ENOENT) {
        rc = -1;
        break;
      }
    }
    int eno = errno;
    closedir(d);
    if (rc < 0) {
      errno = eno;
      return -1;
    }
    done.push_back(std::move(dir));
  }
  for (auto it = done.rbegin(); it != done.rend(); ++it)
    if (rmdir(it->c_str()) < 0 && errno != ENOENT)
      return -1;
  return 0;
}

int64_t os_copy_xattr(const char *in_path, const char *out_path, const char *name)
{
  if (!in_path || !out_path || !name)
    return VERR_PARAM;
  std::vector<char> value(256);
  for (int attempt = 0;; ++attempt) {
    ssize_t n = lgetxattr(in_path, name, value.data(), value.size());
    if (n >= 0) {
      if (lsetxattr(out_path, name, value.data(), static_cast<size_t>(n), 0) < 0)
        return os_verr_get(errno);
      return n;
    }
    if (errno != ERANGE || attempt > 4)
      return os_verr_get(errno);
    ssize_t need = lgetxattr(in_path, name, nullptr, 0);
    if (need < 0)
      return os_verr_get(errno);
    value.resize(static_cast<size_t>(need) + 1);
  }
}
