#pragma once
/* Copying between trees: the comparison of two entries (cdir_compare.cpp), the data step of a
 * file list (cdir_transfer.cpp, cdir_sync.cpp for block updates), the reconcile
 * (cdir_reconcile.cpp), directory creation and finishing (cdir_mkdir.cpp) and the single-file job
 * (cdir_single.cpp): the executor steps of a copy or sync. What they share about one entry is in
 * cdir_entry.h. */
#include <cstdint>
#include <string>

#include "libpal/os/os_dirent.h"
#include "librdir/mstat.h"

struct cdir_ctx;
struct cdir_cmd;
struct vbfile;

/* Change reasons (the low byte of an item's flags). */
enum : uint16_t {
  CDIR_REASON_NEW = 1,
  CDIR_REASON_DEL = 2,
  CDIR_REASON_TYPE = 3,
  CDIR_REASON_LINK = 4,
  CDIR_REASON_SIZE = 5,
  CDIR_REASON_TIME = 6,
  CDIR_REASON_ATTR = 8, /* same data; permission bits or owner differ */
};

/* 1 when in_item is to be copied over out_item (the reason is stored in both), 0 when they
 * are the same by the mode's rule. path names the output for the log. */
int cdir_check_file_stat(cdir_ctx *ctx, const char *path, mstat_item *in_item, mstat_item *out_item);
/* Looks in_item up among the sorted output files: new (reason 1) or compared. *found (when
 * given) gets the output item or null. */
int cdir_check_file_in_list(cdir_ctx *ctx, mstat_item *in_item, const std::string &odir, mstat *o_files,
                            mstat_item **found = nullptr);

/* The handles and buffer one file copy runs on: the engine's own, or those of the second copy
 * lane. Failures are read from the handle that failed, never from the shared error record, which
 * the other lane may be writing. */
struct pl_hash;

struct cdir_lane {
  vbfile *in;
  vbfile *out;
  char *buf;
};
cdir_lane cdir_main_lane(cdir_ctx *ctx);

/* Copies [offset, offset + size) of the open input over the open output of a lane: in the kernel
 * where both sides allow (in pieces, so that a stop is seen between them), else through the lane's
 * buffer in blocks of bs. *copied is what was copied (short only when the input shrank). 0, or -1
 * (counted and reported). Shared by whole copies and block updates. With moved, the bytes that
 * pass through the buffer are added to that digest as well. */
int cdir_copy_data(cdir_ctx *ctx, const cdir_lane &lane, const mstat_item *it, const char *in_path,
                   const char *out_path, uint64_t offset, uint64_t size, uint64_t *copied, pl_hash *moved = nullptr);

/* Copies one file completely through the endpoints' single-file objects and applies its
 * attributes. 0 or -1 (counted and logged). */
int cdir_copy_sync_file(cdir_ctx *ctx, mstat_item *item, const char *in_path, const char *out_path);

/* Block-level sync of an open input over an open output (read and write, not truncated):
 * only the blocks whose digests differ are rewritten, then the tail is copied and the output cut
 * to the input's size. 0 or -1 (counted and logged). */
int cdir_sync_file_data(cdir_ctx *ctx, mstat_item *item, const char *in_path, const char *out_path);

/* A modification time that never compares equal to t under the 2-second rule: given to data that
 * is not the input's as listed, so that the next run sees it differ. */
uint64_t cdir_mark_time(uint64_t t);

/* The drop procedure of the second lane's pool: releases the job reference of a lane task that
 * never ran (the executor finished that list alone and the run ended first). */
void cdir_lane_task_drop(void *arg);

/* Creates one output sub-directory with the attributes of its input entry; a failure is counted
 * and reported. */
bool cdir_create_dir(cdir_ctx *ctx, mstat_item *it, const char *path, const char *msg);
/* Sets the extended attributes of the sub-directories of c (file-kind stream items of its
 * directory list) once they exist; with o_dirs, only those the output lacks or that differ. */
void cdir_dir_streams(cdir_ctx *ctx, cdir_cmd *c, mstat *o_dirs);

/* Executor steps of a copy or sync (commands 3, 4, 2 and 7). */
void sync_mode_file_list(cdir_ctx *ctx, cdir_cmd *c);
void l_create_dir_list(cdir_ctx *ctx, cdir_cmd *c);
void dir_reconcile(cdir_ctx *ctx, cdir_cmd *c);
void cdir_dir_finish(cdir_ctx *ctx, cdir_cmd *c);
/* The single-file job (thread "file_work"). */
int cdir_file_thread(void *ctx);
