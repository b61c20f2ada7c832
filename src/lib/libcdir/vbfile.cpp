#define LOG_TAG "cdir"
#include "libcdir/vbfile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/os/os_file.h"
#include "libpal/tframe/file_hash.h"

namespace {

/* Records a failed local call: the code of errno, with the call and the path in the message. */
int local_fail(vbfile *f, const char *what, const char *path)
{
  int eno = errno;
  int code = os_verr_get(eno);
  std::lock_guard<std::mutex> g(f->ctx->err_lock);
  VPERROR_SET(f->ctx->err, code, "%s [%s] error: %s", what, path ? path : "", os_strerror(eno));
  vperror_copy(&f->err, f->ctx->err);
  return code;
}

int fail_code(vbfile *f, int code, const char *what, const char *path)
{
  std::lock_guard<std::mutex> g(f->ctx->err_lock);
  VPERROR_SET(f->ctx->err, code, "%s [%s] error: %s", what, path ? path : "", verr2str(code));
  vperror_copy(&f->err, f->ctx->err);
  return code;
}

int l_close_fd(vbfile *f)
{
  if (f->hash) {
    file_hash_close(f->hash);
    f->hash = nullptr;
  }
  if (f->fd < 0)
    return 0;
  int rc = close(f->fd);
  f->fd = -1;
  /* close reports a deferred write error (a full disk on a network file system, say). */
  return rc < 0 && errno != EINTR ? local_fail(f, "close", f->path.c_str()) : 0;
}

int l_open(vbfile *f, const char *path, int how)
{
  l_close_fd(f);
  int flags = O_CLOEXEC;
  switch (how) {
  case VBFILE_O_READ:
    flags |= O_RDONLY;
    break;
  case VBFILE_O_WRITE:
    flags |= O_WRONLY | O_TRUNC;
    break;
  case VBFILE_O_SYNC:
    flags |= O_RDWR;
    break;
  default:
    return fail_code(f, VERR_PARAM, "open", path);
  }
  int fd;
  if (how == VBFILE_O_READ) {
    do {
      fd = open(path, flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
      return local_fail(f, "open", path);
  } else {
    fd = os_open_output(path, flags & ~O_CREAT & ~O_CLOEXEC, 0600);
    if (fd < 0)
      return fail_code(f, fd, "open", path);
  }
  f->fd = fd;
  f->path = path;
  return 0;
}

int64_t l_pread(vbfile *f, void *buf, size_t len, uint64_t offset)
{
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(f->fd, static_cast<char *>(buf) + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return local_fail(f, "read", f->path.c_str());
    }
    if (n == 0)
      break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t l_pwrite(vbfile *f, const void *buf, size_t len, uint64_t offset)
{
  size_t done = 0;
  while (done < len) {
    ssize_t n =
        pwrite(f->fd, static_cast<const char *>(buf) + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return local_fail(f, "write", f->path.c_str());
    }
    if (n == 0) {
      errno = ENOSPC;
      return local_fail(f, "write", f->path.c_str());
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int l_truncate(vbfile *f, uint64_t size)
{
  if (ftruncate(f->fd, static_cast<off_t>(size)) < 0)
    return local_fail(f, "truncate", f->path.c_str());
  return 0;
}

int l_create(vbfile *f, const file_attr *attr, const char *path, bool zz)
{
  int rc = zz ? os_create_file_or_dir_zz(path, attr) : os_create_file_or_dir(path, attr);
  return rc < 0 ? fail_code(f, rc, "create", path) : 0;
}

int l_lutime(vbfile *f, const file_attr *t, const char *path)
{
  int rc = os_lutime(path, t->time_access, t->time_write);
  return rc < 0 ? fail_code(f, rc, "lutime", path) : 0;
}

int l_close(vbfile *f, const file_attr *attr)
{
  /* Attributes go through the open descriptor, before the close: no path lookup per call, and
   * no chance of following a link that took the file's place. */
  if (f->fd >= 0 && attr && os_set_file_fattr(f->fd, f->path.c_str(), attr) < 0)
    LOG2(LOG2_ERR | LOG2_ERRNO, "set_lstat[%s] err: ", f->path.c_str());
  return l_close_fd(f);
}

void l_exit(vbfile *f)
{
  l_close_fd(f);
}

const vbfile_ops g_local_ops = {l_open, l_pread, l_pwrite, l_truncate, l_create, l_lutime, l_close, l_exit};

bool usable(const vbfile *f)
{
  return f && f->ops;
}

} // namespace

vbfile *vbfile_init(cdir_ctx *ctx, url_info *info)
{
  if (!ctx || !info)
    return nullptr;
  if (!info->is_local) {
    CDIR_SET_ERR(ctx, VERR_NOTSUP, "remote endpoints are not available in this build: [%s]", info->url.c_str());
    return nullptr;
  }
  auto *f = new (std::nothrow) vbfile;
  if (!f) {
    CDIR_SET_ERR(ctx, VERR_NOMEM, "vbfile_init: out of memory");
    return nullptr;
  }
  f->ops = &g_local_ops;
  f->ctx = ctx;
  f->url = info->url;
  return f;
}

int vbfile_open_read(vbfile *f, const char *path)
{
  return usable(f) && path ? f->ops->open(f, path, VBFILE_O_READ) : VERR_PARAM;
}

int vbfile_open_write(vbfile *f, const char *path, bool block_sync)
{
  return usable(f) && path ? f->ops->open(f, path, block_sync ? VBFILE_O_SYNC : VBFILE_O_WRITE) : VERR_PARAM;
}

int64_t vbfile_pread(vbfile *f, void *buf, size_t len, uint64_t offset)
{
  if (!usable(f) || (!buf && len))
    return VERR_PARAM;
  if (f->is_local && f->fd < 0)
    return fail_code(f, VERR_HANDLE, "read", "no open file");
  return f->ops->pread(f, buf, len, offset);
}

int64_t vbfile_pwrite(vbfile *f, const void *buf, size_t len, uint64_t offset)
{
  if (!usable(f) || (!buf && len))
    return VERR_PARAM;
  if (f->is_local && f->fd < 0)
    return fail_code(f, VERR_HANDLE, "write", "no open file");
  return f->ops->pwrite(f, buf, len, offset);
}

int64_t vbfile_copy_range(vbfile *in, vbfile *out, uint64_t offset, uint64_t len)
{
  if (!usable(in) || !usable(out) || !in->is_local || !out->is_local || in->fd < 0 || out->fd < 0)
    return VERR_NOTSUP;
  uint64_t done = 0;
  while (done < len) {
    loff_t ioff = static_cast<loff_t>(offset + done), ooff = ioff;
    size_t want = static_cast<size_t>(std::min<uint64_t>(len - done, 1u << 30));
    ssize_t n = copy_file_range(in->fd, &ioff, out->fd, &ooff, want, 0);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      /* Kernels and file systems that cannot: the caller copies through its buffer. */
      if (done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                        errno == EBADF || errno == ETXTBSY))
        return VERR_NOTSUP;
      return local_fail(out, "copy", out->path.c_str());
    }
    if (n == 0)
      break;
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

int vbfile_mread(vbfile *)
{
  return 0;
}

int vbfile_mwrite(vbfile *)
{
  return 0;
}

int vbfile_truncate(vbfile *f, uint64_t size)
{
  if (!usable(f))
    return VERR_PARAM;
  if (f->is_local && f->fd < 0)
    return fail_code(f, VERR_HANDLE, "truncate", "no open file");
  return f->ops->truncate(f, size);
}

int vbfile_create_file_or_dir(vbfile *f, const file_attr *attr, const char *path, bool zz)
{
  return usable(f) && attr && path ? f->ops->create_file_or_dir(f, attr, path, zz) : VERR_PARAM;
}

int vbfile_lutime(vbfile *f, const file_attr *times, const char *path)
{
  return usable(f) && times && path ? f->ops->lutime(f, times, path) : VERR_PARAM;
}

int vbfile_close(vbfile *f, const file_attr *attr)
{
  return usable(f) ? f->ops->close(f, attr) : VERR_PARAM;
}

int vbfile_hash_open(vbfile *f, uint32_t flags, uint32_t bs, uint32_t block_count)
{
  if (!usable(f) || !f->is_local || f->fd < 0)
    return VERR_PARAM;
  vbfile_hash_close(f);
  file_hash_param p;
  p.flags = flags;
  p.file = &f->fd;
  p.bs = bs;
  p.block_count = block_count;
  p.cache_block = bs > 0x200000 ? bs : 0x200000;
  vperror e{};
  f->hash = file_hash_open(&p, &e);
  if (!f->hash) {
    std::lock_guard<std::mutex> g(f->ctx->err_lock);
    vperror_copy(f->ctx->err, &e);
    return e.code ? e.code : VERR_FAIL;
  }
  return 0;
}

int vbfile_hash_get(vbfile *f, uint64_t offset, uint64_t len, char *text, size_t size)
{
  if (!usable(f) || !f->hash)
    return VERR_PARAM;
  if (file_hash_cal(f->hash, offset, len) < 0) {
    const vperror *e = file_hash_err(f->hash);
    int code = e->code ? e->code : VERR_FAIL;
    std::lock_guard<std::mutex> g(f->ctx->err_lock);
    VPERROR_SET(f->ctx->err, code, "hash [%s] error: %s", f->path.c_str(), e->msg);
    return code;
  }
  int n = file_hash_text(f->hash, text, size);
  return n < 0 ? VERR_OVERFLOW : n;
}

int vbfile_hash_get2(vbfile *f, char *buf, size_t len)
{
  if (!usable(f) || !f->hash)
    return VERR_PARAM;
  int n = file_hash_records(f->hash, buf, len);
  return n < 0 ? VERR_OVERFLOW : n;
}

int vbfile_hash_get_bin(vbfile *f, uint32_t flag, uint8_t *buf, size_t len)
{
  if (!usable(f) || !f->hash)
    return VERR_PARAM;
  int n = file_hash_get(f->hash, flag, buf, len);
  return n < 0 ? VERR_PARAM : n;
}

void vbfile_hash_close(vbfile *f)
{
  if (f && f->hash) {
    file_hash_close(f->hash);
    f->hash = nullptr;
  }
}

void vbfile_exit(vbfile *f)
{
  if (!f)
    return;
  vbfile_hash_close(f);
  if (f->ops)
    f->ops->exit(f);
  delete f;
}
