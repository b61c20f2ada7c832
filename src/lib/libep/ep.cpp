#define LOG_TAG "ep"
#include "libep/ep.h"

#include <new>

#include "liblog/log2.h"

const ep_ops *const ep_kinds[] = {&ep_remote_ops, &ep_local_ops, nullptr};

namespace {

int not_supported(const ep *e, const char *what, vperror *err)
{
  VPERROR_SET(err, VERR_NOTSUP, "%s: not supported by %s endpoints", what, e && e->ops ? e->ops->name : "these");
  return VERR_NOTSUP;
}

} // namespace

/* A slot that a kind leaves empty answers "not supported" here, so no caller tests the table. */
#define EP_CALL(e, slot, err, ...)                                                                                  \
  ((e) && (e)->ops && (e)->ops->slot ? (e)->ops->slot(__VA_ARGS__) : not_supported((e), #slot, (err)))

const ep_ops *ep_kind_of(const char *url)
{
  if (!url)
    return nullptr;
  for (const ep_ops *const *k = ep_kinds; *k; ++k)
    if ((*k)->match && (*k)->match(url))
      return *k;
  return nullptr;
}

ep *ep_open(const char *url, const ep_ops *ops, ep_info *info, vperror *err)
{
  if (!url || !info) {
    VPERROR_SET(err, VERR_PARAM, "ep_open: %s is null", !url ? "url" : "info");
    return nullptr;
  }
  if (!ops)
    ops = ep_kind_of(url);
  if (!ops || !ops->open) {
    VPERROR_SET(err, VERR_NOTSUP, "no endpoint kind serves [%s]", url);
    return nullptr;
  }
  auto *e = new (std::nothrow) ep;
  if (!e) {
    VPERROR_SET(err, VERR_NOMEM, "ep_open: out of memory");
    return nullptr;
  }
  e->ops = ops;
  if (ops->open(e, url, info, err) < 0) {
    if (ops->close)
      ops->close(e);
    delete e;
    return nullptr;
  }
  return e;
}

void ep_close(ep *e)
{
  if (!e)
    return;
  if (e->ops && e->ops->close)
    e->ops->close(e);
  delete e;
}

const char *ep_name(const ep *e)
{
  return e && e->ops && e->ops->name ? e->ops->name : "";
}

bool ep_has_cap(const ep *e, uint32_t cap)
{
  return e && e->ops && (e->ops->caps & cap) == cap;
}

int ep_lookup_ids(ep *e, const char *user, const char *group, uint32_t *uid, uint32_t *gid, vperror *err)
{
  return EP_CALL(e, lookup_ids, err, e, user, group, uid, gid, err);
}

int ep_lock_root(ep *e, vperror *err)
{
  return EP_CALL(e, lock_root, err, e, err);
}

ep_list *ep_list_open(ep *e, const ep_list_param *p, vperror *err)
{
  if (!e || !e->ops || !e->ops->list_open || !p) {
    if (!p)
      VPERROR_SET(err, VERR_PARAM, "list_open: no parameters");
    else
      not_supported(e, "list_open", err);
    return nullptr;
  }
  return e->ops->list_open(e, p, err);
}

int ep_list_enum(ep_list *l, const char *dir)
{
  if (!l || !dir)
    return VERR_PARAM;
  return l->e->ops->list_enum ? l->e->ops->list_enum(l, dir) : VERR_NOTSUP;
}

int ep_list_read(ep_list *l, char *buf, uint32_t len)
{
  if (!l || !buf)
    return VERR_PARAM;
  return l->e->ops->list_read ? l->e->ops->list_read(l, buf, len) : VERR_NOTSUP;
}

void ep_list_stop(ep_list *l)
{
  if (l && l->e->ops->list_stop)
    l->e->ops->list_stop(l);
}

void ep_list_close(ep_list *l)
{
  if (l && l->e->ops->list_close)
    l->e->ops->list_close(l);
}

uint64_t ep_list_drop_long_dirs(ep_list *l)
{
  return l && l->e->ops->list_drop_long_dirs ? l->e->ops->list_drop_long_dirs(l) : 0;
}

ep_file *ep_file_open(ep *e, const char *path, int how, vperror *err)
{
  if (!path) {
    VPERROR_SET(err, VERR_PARAM, "file_open: no path");
    return nullptr;
  }
  if (!e || !e->ops || !e->ops->file_open) {
    not_supported(e, "file_open", err);
    return nullptr;
  }
  return e->ops->file_open(e, path, how, err);
}

#define EP_FCALL(f, slot, err, ...)                                                                                 \
  (!(f) ? (VPERROR_SET((err), VERR_HANDLE, #slot ": no open file"), int(VERR_HANDLE))                                 \
        : (f)->e->ops->slot ? (f)->e->ops->slot(__VA_ARGS__) : not_supported((f)->e, #slot, (err)))

int64_t ep_file_pread(ep_file *f, void *buf, size_t len, uint64_t off, vperror *err)
{
  if (!buf && len)
    return VERR_PARAM;
  return EP_FCALL(f, file_pread, err, f, buf, len, off, err);
}

int64_t ep_file_pwrite(ep_file *f, const void *buf, size_t len, uint64_t off, vperror *err)
{
  if (!buf && len)
    return VERR_PARAM;
  return EP_FCALL(f, file_pwrite, err, f, buf, len, off, err);
}

int ep_file_truncate(ep_file *f, uint64_t size, vperror *err)
{
  return EP_FCALL(f, file_truncate, err, f, size, err);
}

int ep_file_stat(ep_file *f, os_dirent *d, vperror *err)
{
  if (!d)
    return VERR_PARAM;
  return EP_FCALL(f, file_stat, err, f, d, err);
}

int ep_file_next_data(ep_file *f, uint64_t off, uint64_t *data_off, uint64_t *data_end, vperror *err)
{
  if (!data_off || !data_end)
    return VERR_PARAM;
  return EP_FCALL(f, file_next_data, err, f, off, data_off, data_end, err);
}

int64_t ep_file_copy_range(ep_file *in, ep_file *out, uint64_t off, uint64_t len, vperror *err)
{
  if (!in || !out || in->e->ops != out->e->ops || !in->e->ops->file_copy_range)
    return VERR_NOTSUP;
  return in->e->ops->file_copy_range(in, out, off, len, err);
}

int ep_file_digest(ep_file *f, uint8_t out[EP_DIGEST_LEN], const std::atomic<int> *stop, vperror *err)
{
  if (!out)
    return VERR_PARAM;
  return EP_FCALL(f, file_digest, err, f, out, stop, err);
}

int ep_file_close(ep_file *f, const file_attr *attr, vperror *err)
{
  if (!f)
    return 0;
  return f->e->ops->file_close ? f->e->ops->file_close(f, attr, err) : not_supported(f->e, "file_close", err);
}

int ep_hash_open(ep_file *f, uint32_t flags, uint32_t bs, uint32_t block_count, vperror *err)
{
  return EP_FCALL(f, hash_open, err, f, flags, bs, block_count, err);
}

int ep_hash_get(ep_file *f, uint64_t off, uint64_t len, char *text, size_t size, vperror *err)
{
  return EP_FCALL(f, hash_get, err, f, off, len, text, size, err);
}

int ep_hash_get2(ep_file *f, char *buf, size_t len, vperror *err)
{
  return EP_FCALL(f, hash_get2, err, f, buf, len, err);
}

int ep_hash_get_bin(ep_file *f, uint32_t flag, uint8_t *buf, size_t len, vperror *err)
{
  return EP_FCALL(f, hash_get_bin, err, f, flag, buf, len, err);
}

void ep_hash_close(ep_file *f)
{
  if (f && f->e->ops->hash_close)
    f->e->ops->hash_close(f);
}

int ep_create(ep *e, const char *path, const file_attr *attr, uint32_t how, vperror *err)
{
  if (!path || !attr)
    return VERR_PARAM;
  return EP_CALL(e, create, err, e, path, attr, how, err);
}

int ep_set_attr(ep *e, const char *path, const file_attr *attr, vperror *err)
{
  if (!path || !attr)
    return VERR_PARAM;
  return EP_CALL(e, set_attr, err, e, path, attr, err);
}

int ep_lutime(ep *e, const char *path, uint64_t time_access, uint64_t time_write, vperror *err)
{
  if (!path)
    return VERR_PARAM;
  return EP_CALL(e, lutime, err, e, path, time_access, time_write, err);
}

int ep_remove(ep *e, const char *path, uint32_t how, vperror *err)
{
  if (!path)
    return VERR_PARAM;
  return EP_CALL(e, remove, err, e, path, how, err);
}

int ep_remove_tree(ep *e, const char *path, vperror *err)
{
  if (!path)
    return VERR_PARAM;
  return EP_CALL(e, remove_tree, err, e, path, err);
}

int ep_hard_link(ep *e, const char *target, const char *path, vperror *err)
{
  if (!target || !path)
    return VERR_PARAM;
  return EP_CALL(e, hard_link, err, e, target, path, err);
}

int ep_mkdirs(ep *e, const char *path, uint32_t mode, vperror *err)
{
  if (!path)
    return VERR_PARAM;
  return EP_CALL(e, mkdirs, err, e, path, mode, err);
}

int ep_stat(ep *e, const char *path, os_dirent *d, vperror *err)
{
  if (!path || !d)
    return VERR_PARAM;
  return EP_CALL(e, stat, err, e, path, d, err);
}

int ep_rename(ep *e, const char *from, const char *to, bool noreplace, vperror *err)
{
  if (!from || !to)
    return VERR_PARAM;
  return EP_CALL(e, rename, err, e, from, to, noreplace, err);
}

int64_t ep_xattr_get(ep *e, const char *path, const char *name, std::string *value, vperror *err)
{
  if (!path || !name || !value)
    return VERR_PARAM;
  return EP_CALL(e, xattr_get, err, e, path, name, value, err);
}

int ep_xattr_set(ep *e, const char *path, const char *name, const void *value, size_t len, vperror *err)
{
  if (!path || !name || (!value && len))
    return VERR_PARAM;
  return EP_CALL(e, xattr_set, err, e, path, name, value, len, err);
}

ep_batch *ep_batch_open(ep *e, vperror *err, const ep_batch_param *p)
{
  if (!e || !e->ops || !e->ops->batch_open) {
    not_supported(e, "batch_open", err);
    return nullptr;
  }
  const ep_batch_param defaults;
  return e->ops->batch_open(e, p ? p : &defaults, err);
}

int ep_batch_call(ep_batch *b, int type, const char *dir, const char *list, uint32_t len, vperror *err)
{
  if (!b || !dir || (!list && len))
    return VERR_PARAM;
  return b->e->ops->batch_call ? b->e->ops->batch_call(b, type, dir, list, len, err)
                               : not_supported(b->e, "batch_call", err);
}

int ep_batch_ret(ep_batch *b, char *buf, uint32_t len, vperror *err)
{
  if (!b || !buf)
    return VERR_PARAM;
  return b->e->ops->batch_ret ? b->e->ops->batch_ret(b, buf, len, err) : not_supported(b->e, "batch_ret", err);
}

void ep_batch_stop(ep_batch *b)
{
  if (b && b->e->ops->batch_stop)
    b->e->ops->batch_stop(b);
}

void ep_batch_close(ep_batch *b)
{
  if (b && b->e->ops->batch_close)
    b->e->ops->batch_close(b);
}
