#pragma once
/* Endpoint information: what probing one side of a run (input or output) found out. Filled by
 * url_init_and_get_info, kept in the engine context. */
#include <cstdint>
#include <string>

#include "libpal/comm/verr.h"
#include "libpal/os/os_dirent.h"

struct cdir_ctx;

/* Volume flag bits, in the order the statfs report names them. */
enum : uint32_t {
  VOL_F_READONLY = 0x1,
  VOL_F_UNICODE = 0x2,
  VOL_F_CASE_NAME = 0x4,   /* names keep their case */
  VOL_F_CASE_SEARCH = 0x8, /* lookups tell case apart */
  VOL_F_STREAMS = 0x10,
  VOL_F_XATTR = 0x20,
  VOL_F_ACLS = 0x40,
  VOL_F_HARD_LINKS = 0x80,
  VOL_F_WINDOWS = 0x8000,
};

/* Volume information of a side's root. */
struct cdir_vol_info {
  std::string fs_name;  /* file-system name, e.g. "ext4" */
  std::string vol_name; /* empty where the host has no volume label */
  uint32_t name_len = 0; /* longest name in bytes */
  uint32_t flags = 0;    /* VOL_F_* */
  uint64_t avail_bytes = 0; /* free to an unprivileged user */
  uint64_t free_bytes = 0;
  uint64_t total_bytes = 0;
};

constexpr size_t CDIR_URL_SIZE = 8192;
constexpr size_t CDIR_PATH_SIZE = 4096;

struct url_info {
  bool is_local = true;
  bool posix_host = false; /* 1 for a local side once its volume was read; remote: not Windows */
  bool not_exist = false;  /* the root does not exist (yet) */
  bool is_dir = false;     /* the root exists and is a directory */
  bool multi_block = false; /* remote multi-block requests offered; false for local sides */
  std::string url;      /* as written */
  std::string resolved; /* after profile resolution, "\" turned into "/" */
  std::string path;     /* normalised path, no trailing "/" (the root "/" stays) */
  os_dirent root;       /* the root entry, when it exists */
  cdir_vol_info fs;
  void *conn = nullptr; /* remote: the probing connection, handed over to the first object */
};

/* Probes one side of a run: local or remote, the root entry, the volume information and, for the
 * output side, the default owner and group. 0, or -1 with err filled. */
int url_init_and_get_info(cdir_ctx *ctx, const char *url, int read_timeout_s, url_info *info, bool is_output,
                          vperror *err);
/* Volume information of an existing local path. 0, or the error code with err filled. */
int url_get_vol_info(const char *path, cdir_vol_info *v, vperror *err);
