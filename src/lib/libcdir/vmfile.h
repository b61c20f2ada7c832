#pragma once
/* Batch file-list service of one side, as the engine uses it: lists of directories to create,
 * files to write or read, entries to delete, carried out by the side's endpoint (libep/ep.h),
 * with per-entry results read back in order through the engine's read loop.
 *
 * Local sides run the service of librdir/mfile.h; a qvsd server runs the same service for its
 * export. The file step of a copy to or from a server moves its small files through that
 * server's jobs (cdir_batch.h). */
#include <cstdint>
#include <string>

#include "libcdir/cdir_url.h"
#include "libcdir/libcdir_param.h"

struct vmfile {
  cdir_ctx *ctx = nullptr;
  ep_batch *b = nullptr;
  std::string url;
  vperror err{};
  libcdir_mfile_opt opt;
};

/* Opens the batch job of a side with the parameters bp (null: the defaults). A failure is the
 * run's error, or, with err, only err's (a side without batches is then no error of the run). */
vmfile *vmfile_open(cdir_ctx *ctx, url_info *info, const libcdir_mfile_opt *opt, const ep_batch_param *bp = nullptr,
                    vperror *err = nullptr);
/* Posts one batch of type for dir; list is len bytes of batch lines. */
int vmfile_call(vmfile *m, int type, const char *dir, const char *list, uint32_t len);
/* The next results into buf (at most len bytes, NUL-terminated when there is room): the byte
 * count, or -1 on failure, on stop, or when nothing came for the engine's longest read time-out
 * ("<prefix> read_timeout max_timeout=%d", engine error -40). */
int vmfile_list_ret(vmfile *m, char *buf, uint32_t len, const char *prefix);
void vmfile_stop(vmfile *m);
void vmfile_close(vmfile *m);
