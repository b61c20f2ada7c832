#pragma once
/* The engine parameter block: the one structure through which a caller configures a copy, sync,
 * listing or volume-information run. Filled by the setters below, copied by libcdir_open. */
#include <cstdint>
#include <string>

struct ep_ops;
#include <vector>

#include "libpal/comm/verr.h"

/* Operations (`op`). */
enum : uint32_t { CDIR_OP_COPY = 0, CDIR_OP_SYNC = 1, CDIR_OP_LS = 2, CDIR_OP_STATFS = 3, CDIR_OP_RM = 4 };
/* Sub-modes: how files are chosen and whether the output is listed. */
enum : uint32_t {
  CDIR_MODE_COPY_DIFF = 2,         /* listed; copy what is new or differs in kind, link, size or time */
  CDIR_MODE_COPY_NEWER = 3,        /* listed; replace only what the input has newer (> 2 s) */
  CDIR_MODE_COPY_ALL = 4,          /* not listed; copy every entry over whatever is there */
  CDIR_MODE_SYNC_DIFF = 5,         /* as COPY_DIFF, existing files updated block by block */
  CDIR_MODE_SYNC_BIN = 6,          /* every existing file updated block by block */
  CDIR_MODE_SYNC_HASH = 7,         /* as SYNC_BIN */
  CDIR_MODE_SYNC_RSYNC = 8,        /* as SYNC_BIN */
  CDIR_MODE_SYNC_AUTO = 9,         /* as SYNC_BIN */
  CDIR_MODE_COPY_NO_OVERWRITE = 10 /* listed; create what is missing, never replace or delete */
};

/* Trace bits (`trace_flags`). */
enum : uint32_t {
  CDIR_TRACE_SYNC_REASON = 0x1,
  CDIR_TRACE_FILE_OPS = 0x2,
  CDIR_TRACE_DRY_RUN = 0x4,
  CDIR_TRACE_PROGRESS = 0x8,
  CDIR_TRACE_SUMMARY = 0x10,
  CDIR_TRACE_DEBUG = 0x20,
  CDIR_TRACE_ALLOW_EMPTY_INPUT = 0x40, /* an input without entries is not refused */
  CDIR_TRACE_NO_VERIFY = 0x80, /* files sent to or from a server are not compared by digest */
};

/* Endpoint capability bits (endpoint options `flags`). */
enum : uint32_t {
  CDIR_EP_BASE = 0x1,
  CDIR_EP_STREAM = 0x2, /* alternate data streams / extended attributes */
  CDIR_EP_ACL = 0x4,
  CDIR_EP_HARDLINKS = 0x8,
  CDIR_EP_RDIR2 = 0x200, /* listed by a read-ahead listing thread */
};

constexpr uint32_t CDIR_ID_NONE = 0xffffffffu;

/* Copy block sizes: whole multiples of CDIR_BS_STEP up to CDIR_BS_MAX. A block travels in one
 * frame of the service protocol, whose length field has 24 bits; 8 MiB is the largest block
 * whose batch requests still fit one frame. */
constexpr uint32_t CDIR_BS_STEP = 0x10000;
constexpr uint32_t CDIR_BS_MAX = 0x800000;

struct libcdir_ep_opt {
  uint32_t flags = 0;
  uint32_t batch = 5000;
  std::string file_include;
  std::string file_exclude;
  std::string dir_include;
  std::string dir_exclude;
  std::string list5; /* never filled from the command line */
  uint64_t thread_opt = 0;
  vperror *err = nullptr;
};

struct libcdir_mfile_opt {
  uint32_t small_limit = 0x80000;
  uint32_t batch = 5000;
  uint8_t del_mode = 1;
  uint32_t uid = CDIR_ID_NONE;
  uint32_t gid = CDIR_ID_NONE;
  uint32_t file_mode = 0644;
  uint32_t dir_mode = 0755;
  vperror *err = nullptr;
};

struct libcdir_param {
  std::string i_url;
  std::string o_url;
  uint8_t o_trash = 1;
  uint32_t show_mode = 0;
  uint32_t trace_flags = 0;
  uint32_t op = CDIR_OP_COPY;
  uint32_t mode = 0;
  uint32_t sync_cal_timeout = 30;  /* seconds */
  uint32_t max_read_timeout = 300; /* seconds */
  uint32_t max_rate = 0;
  uint32_t bs = 0x200000;
  uint32_t sync_bs = 0x10000;
  uint32_t sync_big_factor = 1024;
  std::string user_name;
  std::string group_name;
  uint32_t file_mode = 0644;
  uint32_t dir_mode = 0755;
  int64_t max_delete = -1; /* most output entries a run may delete; -1: no limit */
  /* The endpoint kind of each side; null: the kind whose match() takes the URL. A program leaves
   * them null; tests hand in kinds of their own (an in-memory tree). */
  const ep_ops *i_kind = nullptr;
  const ep_ops *o_kind = nullptr;
  std::string olist;
  libcdir_ep_opt i_opt;
  libcdir_mfile_opt mfile_opt;
  libcdir_ep_opt o_opt;
  vperror err{};
  uint64_t thread_opt = 0;
};

/* Resets every field to its default. */
void libcdir_param_init(libcdir_param *p);
/* Releases the owned texts (the block stays usable). */
void libcdir_param_free(libcdir_param *p);
/* Sets op and mode from a mode word; -1 and "invalid mode [..]" for an unknown word. */
int libcdir_set_param_mode(libcdir_param *p, const char *word);
/* Applies a ","-separated list of flag words; -1 and "invalid param [..]" for an unknown word. */
int libcdir_set_param_flag(libcdir_param *p, const char *list);
/* Applies a "&"-separated list of name=value pairs. A pair whose name is not a parameter, or
 * that has no "=", is logged and skipped, and when warnings is not null one sentence about it is
 * appended there ("unknown param key [x] ignored"). -1 when a value is refused, with the reason
 * in p->err; the pairs before it stay applied. */
int libcdir_set_param_kv(libcdir_param *p, const char *list, std::vector<std::string> *warnings = nullptr);
/* Sets bs from a size value. -1, bs unchanged and the reason in p->err, when the text is not
 * wholly a size value or the size is not a multiple of CDIR_BS_STEP from CDIR_BS_STEP to
 * CDIR_BS_MAX. */
int libcdir_set_param_bs(libcdir_param *p, const char *text);
/* Builds the four pattern lists of the input endpoint from ","-separated patterns. */
int libcdir_set_filter(libcdir_param *p, const char *list);
