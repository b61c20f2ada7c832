#define LOG_TAG "cdir"
/* The comparison of an input entry with the output entry of the same name: whether the mode of
 * the run copies it, and the change reason its trace line shows. */
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "libcdir/cdir_copy.h"
#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_entry.h"
#include "libcdir/cdir_work.h"
#include "libcdir/vbfile.h"
#include "liblog/log2.h"

namespace {

const char *time_text(uint64_t t, char *buf, size_t size)
{
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!gmtime_r(&tt, &tm) || strftime(buf, size, "%Y-%m-%d %H:%M:%S", &tm) == 0)
    snprintf(buf, size, "%llu", static_cast<unsigned long long>(t));
  return buf;
}

bool same_path(const char *a, const char *b)
{
  std::string x = a ? a : "", y = b ? b : "";
  for (std::string *s : {&x, &y})
    for (char &ch : *s) {
      if (ch == '\\')
        ch = '/';
      if (ch >= 'A' && ch <= 'Z')
        ch = static_cast<char>(ch - 'A' + 'a');
    }
  return x == y;
}

} // namespace

int cdir_check_file_stat(cdir_ctx *ctx, const char *path, mstat_item *in, mstat_item *out)
{
  in->o_size = out->size;
  in->o_nlink = static_cast<uint32_t>(std::min<uint64_t>(out->st_nlink, UINT32_MAX));
  if (cdir_no_overwrite(ctx))
    return 0; /* it exists: that is all this mode asks */
  if (ctx->p.op == CDIR_OP_COPY && ctx->p.mode == CDIR_MODE_COPY_NEWER) {
    /* Only an input newer by more than the 2-second tolerance replaces what is there. */
    if (static_cast<int64_t>(in->time_write) - static_cast<int64_t>(out->time_write) <= 2)
      return 0;
    cdir_set_reason(out, CDIR_REASON_TIME);
    cdir_set_reason(in, CDIR_REASON_TIME);
    return 1;
  }
  if (ctx->p.mode != CDIR_MODE_COPY_DIFF && ctx->p.mode != CDIR_MODE_SYNC_DIFF)
    return 1;
  uint16_t reason = 0;
  if (in->flags & ITEM_F_HARDLINK) {
    if ((out->flags & ITEM_F_HARDLINK) && same_path(in->link_name, out->link_name))
      return 0;
    return 1;
  }
  const bool in_file = cdir_kind_of(in->type) == TYPE_FILE;
  const bool out_file = cdir_kind_of(out->type) == TYPE_FILE;
  const char *il = in->link_name ? in->link_name : "";
  const char *ol = out->link_name ? out->link_name : "";
  /* Unless both are plain files, kinds and link targets are compared: two links of the same
   * length and time may point to different places. */
  if (!in_file || !out_file) {
    bool in_link = (in->type & 0x300) == 0x100, out_link = (out->type & 0x300) == 0x100;
    if ((in->type & 0xff) != (out->type & 0xff) ||
        (in_link != out_link && (in->type & TYPE_F_JUNCTION) != (out->type & TYPE_F_JUNCTION))) {
      reason = CDIR_REASON_TYPE;
      cdir_sync_file_reason(ctx, "[%s] type 0x%x!=0x%x ", path, out->type, in->type);
    } else if (strcmp(il, ol) != 0) {
      reason = CDIR_REASON_LINK;
      cdir_sync_file_reason(ctx, "[%s] link_name [%s] != [%s]", path, ol, il);
    }
  } else if (in->size != out->size) {
    reason = CDIR_REASON_SIZE;
    cdir_sync_file_reason(ctx, "[%s] size=%lld != %lld", path, static_cast<long long>(out->size),
                          static_cast<long long>(in->size));
  }
  if (!reason) {
    int64_t d = static_cast<int64_t>(in->time_write) - static_cast<int64_t>(out->time_write);
    if (d >= -2 && d <= 2)
      return 0;
    char t1[32], t2[32];
    reason = CDIR_REASON_TIME;
    cdir_sync_file_reason(ctx, "[%s] time=%lld (%s) != %lld (%s)", path, static_cast<long long>(out->time_write),
                          time_text(out->time_write, t1, sizeof t1), static_cast<long long>(in->time_write),
                          time_text(in->time_write, t2, sizeof t2));
  }
  cdir_set_reason(out, reason);
  cdir_set_reason(in, reason);
  return 1;
}

int cdir_check_file_in_list(cdir_ctx *ctx, mstat_item *in, const std::string &odir, mstat *o_files,
                            mstat_item **found)
{
  mstat_item *out = cdir_find_item(o_files, in->name);
  if (found)
    *found = out;
  if (!out) {
    cdir_sync_file_reason(ctx, "+cp name=[%s]", in->name);
    cdir_set_reason(in, CDIR_REASON_NEW);
    return 1;
  }
  cdir_item_path p;
  cdir_make_path(odir, *in, &p);
  return cdir_check_file_stat(ctx, p.path, in, out);
}
