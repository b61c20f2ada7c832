#pragma once
/* Copying between trees: the comparison of two entries, creation of entries with their
 * attributes, the copy of a file's data, and the executor steps of a copy or sync that use them
 * (file lists, sub-directories, reconcile, directory finishing). */
#include <cstdint>
#include <string>

#include "libpal/os/os_dirent.h"
#include "librdir/mstat.h"

struct cdir_ctx;
struct cdir_cmd;

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

/* The attribute block of an item with the engine's defaults for new entries; the link text is
 * unescaped into *link, which must outlive the block. */
void cdir_item_attr(cdir_ctx *ctx, const mstat_item *item, file_attr *attr, std::string *link);

/* Copies one file completely through the endpoints' single-file objects and applies its
 * attributes. 0 or -1 (counted and logged). */
int cdir_copy_sync_file(cdir_ctx *ctx, mstat_item *item, const char *in_path, const char *out_path);

/* Block-level sync of an open input over an open output (read and write, not truncated):
 * only the blocks whose digests differ are rewritten, then the tail is copied and the output cut
 * to the input's size. 0 or -1 (counted and logged). */
int cdir_sync_file_data(cdir_ctx *ctx, mstat_item *item, const char *in_path, const char *out_path);

/* The drop procedure of the second lane's pool: releases the job reference of a lane task that
 * never ran (the executor finished that list alone and the run ended first). */
void cdir_lane_task_drop(void *arg);

/* Executor steps of a copy or sync (commands 3, 4, 2 and 7). */
void sync_mode_file_list(cdir_ctx *ctx, cdir_cmd *c);
void l_create_dir_list(cdir_ctx *ctx, cdir_cmd *c);
void dir_reconcile(cdir_ctx *ctx, cdir_cmd *c);
void cdir_dir_finish(cdir_ctx *ctx, cdir_cmd *c);
/* The single-file job (thread "file_work"). */
int cdir_file_thread(void *ctx);
