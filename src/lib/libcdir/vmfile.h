#pragma once
/* Batch file-list service of one side, as the engine uses it: lists of directories to create,
 * files to write or read, entries to delete, carried out by the side's endpoint (libep/ep.h),
 * with per-entry results read back in order through the engine's read loop.
 *
 * Local sides run the service of librdir/mfile.h; a qvsd server runs the same service for its
 * export. The file step of a copy to a server sends its small files through the output's job
 * (cdir_batch.h). */
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

vmfile *vmfile_open(cdir_ctx *ctx, url_info *info, const libcdir_mfile_opt *opt);
/* Posts one batch of type for dir; list is len bytes of batch lines. */
int vmfile_call(vmfile *m, int type, const char *dir, const char *list, uint32_t len);
/* The next results into buf (at most len bytes, NUL-terminated when there is room): the byte
 * count, or -1 on failure, on stop, or when nothing came for the engine's longest read time-out
 * ("<prefix> read_timeout max_timeout=%d", engine error -40). */
int vmfile_list_ret(vmfile *m, char *buf, uint32_t len, const char *prefix);
void vmfile_stop(vmfile *m);
void vmfile_close(vmfile *m);
