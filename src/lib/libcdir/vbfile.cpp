#define LOG_TAG "cdir"
#include "libcdir/vbfile.h"

#include <cstring>
#include <new>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"

namespace {

/* A failed call of the handle: its record becomes the engine error of the run as well. */
int failed(vbfile *f, int code)
{
  if (code >= 0)
    return code;
  if (f->err.code == 0)
    VPERROR_SET(&f->err, code, "%s", verr2str(code));
  std::lock_guard<std::mutex> g(f->ctx->err_lock);
  vperror_copy(f->ctx->err, &f->err);
  return code;
}

int no_file(vbfile *f, const char *what)
{
  VPERROR_SET(&f->err, VERR_HANDLE, "%s [no open file] error: %s", what, verr2str(VERR_HANDLE));
  return failed(f, VERR_HANDLE);
}

} // namespace

vbfile *vbfile_init(cdir_ctx *ctx, url_info *info)
{
  if (!ctx || !info)
    return nullptr;
  if (!info->endpoint) {
    CDIR_SET_ERR(ctx, VERR_HANDLE, "[%s] has no endpoint", info->url.c_str());
    return nullptr;
  }
  auto *f = new (std::nothrow) vbfile;
  if (!f) {
    CDIR_SET_ERR(ctx, VERR_NOMEM, "vbfile_init: out of memory");
    return nullptr;
  }
  f->ctx = ctx;
  f->e = info->endpoint;
  f->url = info->url;
  return f;
}

namespace {

int open_how(vbfile *f, const char *path, int how)
{
  if (!f || !path)
    return VERR_PARAM;
  vbfile_close(f, nullptr);
  f->err = vperror{};
  f->h = ep_file_open(f->e, path, how, &f->err);
  if (!f->h)
    return failed(f, f->err.code ? f->err.code : VERR_FAIL);
  f->path = path;
  return 0;
}

} // namespace

void vbfile_fail(vbfile *f, int code, const char *what, const char *path)
{
  const char *msg = vperror_str(&f->err);
  if (path && *path && strstr(msg, path))
    cdir_fail(f->ctx, code, "%s", msg);
  else
    cdir_fail(f->ctx, code, "%s [%s] error: %s", what, path ? path : "", msg);
}

int vbfile_open_read(vbfile *f, const char *path)
{
  return open_how(f, path, EP_O_READ);
}

int vbfile_open_write(vbfile *f, const char *path, bool block_sync, bool sole)
{
  return open_how(f, path, (block_sync ? EP_O_SYNC : EP_O_WRITE) | (sole ? EP_O_SOLE : 0));
}

int vbfile_next_data(vbfile *f, uint64_t offset, uint64_t *data_off, uint64_t *data_end)
{
  if (!f || !data_off || !data_end)
    return VERR_PARAM;
  if (!f->h)
    return no_file(f, "seek");
  return failed(f, ep_file_next_data(f->h, offset, data_off, data_end, &f->err));
}

int vbfile_open_new(vbfile *f, const char *path)
{
  return open_how(f, path, EP_O_WRITE | EP_O_EXCL);
}

int vbfile_stat(vbfile *f, os_dirent *d)
{
  if (!f || !d)
    return VERR_PARAM;
  if (!f->h)
    return no_file(f, "stat");
  return failed(f, ep_file_stat(f->h, d, &f->err));
}

int64_t vbfile_pread(vbfile *f, void *buf, size_t len, uint64_t offset)
{
  if (!f || (!buf && len))
    return VERR_PARAM;
  if (!f->h)
    return no_file(f, "read");
  int64_t n = ep_file_pread(f->h, buf, len, offset, &f->err);
  return n < 0 ? failed(f, static_cast<int>(n)) : n;
}

int64_t vbfile_pwrite(vbfile *f, const void *buf, size_t len, uint64_t offset)
{
  if (!f || (!buf && len))
    return VERR_PARAM;
  if (!f->h)
    return no_file(f, "write");
  int64_t n = ep_file_pwrite(f->h, buf, len, offset, &f->err);
  return n < 0 ? failed(f, static_cast<int>(n)) : n;
}

int64_t vbfile_copy_range(vbfile *in, vbfile *out, uint64_t offset, uint64_t len)
{
  if (!in || !out || !in->h || !out->h)
    return VERR_NOTSUP;
  int64_t n = ep_file_copy_range(in->h, out->h, offset, len, &out->err);
  if (n == VERR_NOTSUP)
    return n;
  return n < 0 ? failed(out, static_cast<int>(n)) : n;
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
  if (!f)
    return VERR_PARAM;
  if (!f->h)
    return no_file(f, "truncate");
  return failed(f, ep_file_truncate(f->h, size, &f->err));
}

int vbfile_create_file_or_dir(vbfile *f, const file_attr *attr, const char *path, bool zz, bool noreplace)
{
  if (!f || !attr || !path)
    return VERR_PARAM;
  uint32_t how = (zz ? uint32_t(EP_C_ZZ) : 0u) | (noreplace ? uint32_t(EP_C_NOREPLACE) : 0u);
  return failed(f, ep_create(f->e, path, attr, how, &f->err));
}

int vbfile_lutime(vbfile *f, const file_attr *times, const char *path)
{
  if (!f || !times || !path)
    return VERR_PARAM;
  return failed(f, ep_lutime(f->e, path, times->time_access, times->time_write, &f->err));
}

int vbfile_close(vbfile *f, const file_attr *attr)
{
  if (!f)
    return VERR_PARAM;
  if (!f->h)
    return 0;
  ep_file *h = f->h;
  f->h = nullptr;
  return failed(f, ep_file_close(h, attr, &f->err));
}

int vbfile_hash_open(vbfile *f, uint32_t flags, uint32_t bs, uint32_t block_count)
{
  if (!f || !f->h)
    return VERR_PARAM;
  return failed(f, ep_hash_open(f->h, flags, bs, block_count, &f->err));
}

int vbfile_hash_get(vbfile *f, uint64_t offset, uint64_t len, char *text, size_t size)
{
  if (!f || !f->h)
    return VERR_PARAM;
  return failed(f, ep_hash_get(f->h, offset, len, text, size, &f->err));
}

int vbfile_hash_get2(vbfile *f, char *buf, size_t len)
{
  if (!f || !f->h)
    return VERR_PARAM;
  return failed(f, ep_hash_get2(f->h, buf, len, &f->err));
}

int vbfile_hash_get_bin(vbfile *f, uint32_t flag, uint8_t *buf, size_t len)
{
  if (!f || !f->h)
    return VERR_PARAM;
  int n = ep_hash_get_bin(f->h, flag, buf, len, &f->err);
  return n < 0 ? VERR_PARAM : n;
}

int vbfile_digest(vbfile *f, uint8_t out[EP_DIGEST_LEN])
{
  if (!f || !f->h)
    return VERR_PARAM;
  return ep_file_digest(f->h, out, nullptr, &f->err);
}

void vbfile_hash_close(vbfile *f)
{
  if (f && f->h)
    ep_hash_close(f->h);
}

void vbfile_exit(vbfile *f)
{
  if (!f)
    return;
  if (f->h)
    ep_file_close(f->h, nullptr, &f->err);
  delete f;
}
