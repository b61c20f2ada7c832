#pragma once
/* The engine context of one run, as the engine's modules see it. */
#include <atomic>
#include <cstdint>
#include <string>

#include "libcdir/cdir_stat.h"
#include "libcdir/cdir_url.h"
#include "libcdir/libcdir_param.h"
#include "libpal/comm/verr.h"

struct cdir_ctx {
  /* Copies of the parameters. */
  uint32_t op = CDIR_OP_COPY;
  uint32_t mode = 0;
  uint32_t i_flags = 0;
  uint32_t trace_flags = 0;
  uint32_t show_mode = 0;
  uint8_t o_trash = 1;
  uint32_t file_mode = 0644;
  uint32_t dir_mode = 0755;
  uint32_t max_rate = 0;
  std::string user_name;
  std::string group_name;
  uint32_t sync_cal_timeout = 30000; /* ms */
  uint32_t max_read_timeout = 300000; /* ms */
  vperror *err = nullptr; /* the caller's error record: the engine error of the run */

  /* Default owner and group of created entries on the output side; CDIR_ID_NONE when none. */
  uint32_t default_uid = CDIR_ID_NONE;
  uint32_t default_gid = CDIR_ID_NONE;

  url_info i_info;
  url_info o_info;

  cdir_stat stat;

  std::atomic<int> opened{0};
  std::atomic<int> err_stop{0};
  std::atomic<int> user_stop{0};
  std::atomic<int> last_eno{0}; /* small exit code, negated (libcdir_verr_2_eno) */
  std::atomic<int> last_verr{0};
};

/* 1 when the run must end (a stopping error or a stop request), else 0. */
int cdir_need_exit(cdir_ctx *ctx);
/* Records a failed entry operation's error; codes whose small exit code is 4, 5, 6 or 8 stop
 * the run. */
void cdir_verr_check(cdir_ctx *ctx, int verr);
