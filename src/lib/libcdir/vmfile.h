#pragma once
/* Batch file-list service of one endpoint: lists of directories to create, files to write or
 * read, entries to delete, carried out by the local batch service or by the remote service, with
 * per-entry results read back in order. The operations go through a table, one per kind of side.
 *
 * The local batch service is not part of this build yet: vmfile_open refuses every side. */
#include <cstdint>
#include <string>

#include "libcdir/libcdir_param.h"

struct vmfile;
struct cdir_ctx;

struct vmfile_ops {
  int (*call)(vmfile *m, int type, const char *dir, const char *list, uint32_t len);
  int (*list_ret)(vmfile *m, char *buf, uint32_t len); /* bytes, 0 when nothing came yet, <0 failure */
  void (*stop)(vmfile *m);
  void (*close)(vmfile *m);
};

struct vmfile {
  const vmfile_ops *ops = nullptr;
  bool is_local = true;
  std::string url;
  vperror err{};
  cdir_ctx *ctx = nullptr;
  libcdir_mfile_opt opt;
  void *impl = nullptr; /* the batch service handle or the connection */
};

vmfile *vmfile_open(cdir_ctx *ctx, const char *url, const libcdir_mfile_opt *opt);
/* Posts one batch of type for dir; list is len bytes of batch lines. */
int vmfile_call(vmfile *m, int type, const char *dir, const char *list, uint32_t len);
/* The next results into buf (at most len bytes, NUL-terminated when there is room): the byte
 * count, or -1 on failure, on stop, or when nothing came for the engine's longest read time-out
 * ("<prefix> read_timeout max_timeout=%d", engine error -40). */
int vmfile_list_ret(vmfile *m, char *buf, uint32_t len, const char *prefix);
void vmfile_stop(vmfile *m);
void vmfile_close(vmfile *m);
