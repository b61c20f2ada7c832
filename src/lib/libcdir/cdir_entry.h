#pragma once
/* What the steps of a copy share about one entry of a directory list: the paths it has on a side,
 * its trace line, a path dropped for its length, its creation with attributes, an update of its
 * attributes alone, and its extended attributes. The mode tests every step asks are here too. */
#include <cstdint>
#include <string>

#include "libcdir/cdir_ctx.h"
#include "libpal/os/os_dirent.h"
#include "librdir/mstat.h"

struct vbfile;

inline uint32_t cdir_kind_of(uint32_t type)
{
  return type & TYPE_KIND_MASK;
}

/* cp / copy_overwrite: every entry is copied without a listing of the output. */
inline bool cdir_copies_all(const cdir_ctx *ctx)
{
  return ctx->p.op == CDIR_OP_COPY && ctx->p.mode == CDIR_MODE_COPY_ALL;
}

/* copy_no_overwrite: what exists on the output is never replaced, changed or deleted. */
inline bool cdir_no_overwrite(const cdir_ctx *ctx)
{
  return ctx->p.op == CDIR_OP_COPY && ctx->p.mode == CDIR_MODE_COPY_NO_OVERWRITE;
}

/* Stores a change reason in the low byte of an item's flags. */
inline void cdir_set_reason(mstat_item *it, uint16_t reason)
{
  it->flags = static_cast<uint16_t>((it->flags & ~ITEM_F_REASON_MASK) | reason);
}

/* The parts of an item's name and its path below a directory of one side. */
struct cdir_item_path {
  std::string base, kind, stream;
  int parts = 0;
  char path[CDIR_PATH_SIZE] = {};
  bool fits = false;
};

/* Fills *p for the item below dir: false when the name is invalid (logged) or the path does not
 * fit (p->fits false). */
bool cdir_make_path(const std::string &dir, const mstat_item &it, cdir_item_path *p);
/* The zz-string path of a stream item: base path, kind and stream name, each NUL-ended, then an
 * empty string. */
std::string cdir_zz_path(const cdir_item_path &p);
/* The file-operations trace line of an item; false in a dry run (the caller does nothing). */
bool cdir_trace_item(cdir_ctx *ctx, const mstat_item *it, bool is_delete, const char *opath, bool is_dir);
/* A path that would reach the length limit: the entry is dropped, logged and counted. */
void cdir_drop_too_long(cdir_ctx *ctx, bool is_input, const std::string &dir, const std::string &base);
/* Creates an entry that carries no data (directory, link, empty file, FIFO) on out with its
 * attributes. 0, 1 when copy_no_overwrite found something there (left as it is), or the error
 * code (reported through cdir_fail; the caller counts). */
int cdir_create_entry(cdir_ctx *ctx, vbfile *out, const mstat_item *it, const char *path, const char *what);
/* Copies the value of one extended attribute (a stream item of kind "X"). */
void cdir_copy_xattr(cdir_ctx *ctx, mstat_item *it, const cdir_item_path &in, const cdir_item_path &out);

/* The attribute block of an item with the engine's defaults for new entries; the link text is
 * unescaped into *link, which must outlive the block. */
void cdir_item_attr(cdir_ctx *ctx, const mstat_item *item, file_attr *attr, std::string *link);
/* Whether an output entry whose data equals the input's differs in what its attributes carry:
 * permission bits (not for links), and owner and group where the run keeps owners. */
bool cdir_attrs_differ(const cdir_ctx *ctx, const mstat_item *in, const mstat_item *out);
/* Brings the attributes of an existing output entry in line with the input's without touching its
 * data; the times stay those of times_of. Traced with reason "A". */
void cdir_update_attrs(cdir_ctx *ctx, mstat_item *in, const mstat_item *times_of, const char *path, bool is_dir);
