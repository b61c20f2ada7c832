#pragma once
/* The engine context of one run, as the engine's modules see it. */
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "libcdir/cdir_stat.h"
#include "libcdir/cdir_url.h"
#include "libcdir/libcdir_param.h"
#include "libpal/comm/verr.h"
#include "libpal/tframe/pl_rate.h"
#include "librdir/rdir_stat.h"

struct cmder;
struct pl_timer;
struct thread_pool;
struct pl_timer_task;
struct os_thread;
struct vrdir;
struct vmfile;
struct cdir_batch;
struct vbfile;
struct cdir_task;
struct mstat;
struct hardlink_table;

/* Endpoint combination codes. */
enum : int { CDIR_CP_L2L = 0, CDIR_CP_R2L = 1, CDIR_CP_L2R = 2, CDIR_CP_R2R = 3 };

/* A directory listing of generation 2 that arrived before the walker asked for it. */
struct rdir2_pending {
  int code = 0;
  mstat *files = nullptr;
  mstat *dirs = nullptr;
};

/* The read-ahead reader of one side whose listing is of generation 2. */
struct rdir2_side {
  os_thread *thread = nullptr;
  std::mutex lock; /* guards dict */
  std::map<std::string, rdir2_pending> dict; /* key: directory path relative to the root, "/" for it */
  std::atomic<int> stop{0};
  std::atomic<int> ended{0};
  std::atomic<int64_t> drop_long_dirs{0}; /* reported by the stream's finish record */
  int64_t drops_charged = 0; /* of those, directories the walker found missing (walker thread only) */
};

/* Per-side listing state of the walker. */
struct cdir_side {
  vrdir *rdir = nullptr;
  vmfile *mfile = nullptr;
  vbfile *bfile = nullptr;
  stat_parse_ctx parse;
  std::unique_ptr<char[]> buf; /* listing chunks; buf_len bytes */
  uint32_t buf_len = 0;
  std::unique_ptr<rdir2_side> rdir2; /* only for a generation-2 listing */
  hardlink_table *hl = nullptr;
};

struct cdir_ctx {
  /* The caller's parameters, copied at open; the run's mode is settled there (a copy without a
   * mode word gets copy_overwrite). Its err is not used: err below points to the caller's. */
  libcdir_param p;
  /* Deletions this run may still make; negative: no limit (param max_delete=). */
  std::atomic<int64_t> delete_budget{-1};
  uint32_t sync_cal_timeout = 30000;  /* ms */
  uint32_t max_read_timeout = 300000; /* ms */
  vperror *err = nullptr; /* the caller's error record: the engine error of the run */
  std::mutex err_lock;    /* the walker, the executor and the readers all record errors */

  /* Block sizes. */
  int32_t small_limit = 0x100000; /* bs / 2 */
  uint64_t sync_big_bs = 0;
  std::unique_ptr<char[]> buf[1]; /* the work buffer of bs bytes (the main copy lane) */

  /* Default owner and group of created entries on the output side; CDIR_ID_NONE when none. */
  uint32_t default_uid = CDIR_ID_NONE;
  uint32_t default_gid = CDIR_ID_NONE;

  url_info i_info;
  url_info o_info;

  /* Derived switches. */
  bool single_file = false;
  bool need_olist = false;
  bool need_posix_id = false;
  bool need_posix_mode = false;
  bool is_posix_2_win = false;
  bool keep_owner = false; /* owners of existing output entries follow the input's */
  int cp_mode = CDIR_CP_L2L;
  bool o_batch_off = false; /* the output's batch job failed or is not offered (executor only) */
  cdir_batch *batch = nullptr; /* the output's batch jobs and their requests in flight (cdir_batch.h) */
  /* The batch writer's buffers, kept from one directory to the next so that each request is built
   * in memory that is already there (executor only): the lines of the request, an escaped name,
   * and the data of one file (batch_data_cap bytes). */
  std::string batch_lines, batch_name;
  std::unique_ptr<char[]> batch_data;
  size_t batch_data_cap = 0;

  cdir_side i_side;
  cdir_side o_side;

  std::deque<cdir_task *> work; /* directory tasks, used by the walker thread only */
  cmder *cmd = nullptr;
  thread_pool *pool = nullptr; /* "cdir_thread_pool": the two digest tasks of a block sync */
  /* Second copy lane of a local-to-local directory job: one worker "cdir_copy_lane" with its own
   * file handles and buffer, taking files of a list beside the executor. Absent on one processor. */
  thread_pool *lane_pool = nullptr;
  vbfile *lane_in = nullptr;
  vbfile *lane_out = nullptr;
  std::unique_ptr<char[]> lane_buf;
  pl_timer *timer = nullptr;
  pl_timer_task *stat_task = nullptr;
  os_thread *worker = nullptr; /* "cdir_work" or "file_work" */
  cdir_progress progress;

  FILE *list_fp = nullptr; /* listing of mode ls; stdout, an opened file or none */
  bool list_fp_owned = false;

  cdir_stat stat;
  uint64_t start_ms = 0;
  pl_rate rate; /* param=max_rate=: the bytes written by every lane together */

  std::atomic<int> opened{0};
  std::atomic<int> err_stop{0};
  std::atomic<int> user_stop{0};
  std::atomic<int> last_eno{0}; /* small exit code, negated (libcdir_verr_2_eno) */
  std::atomic<int> last_verr{0};
  std::atomic<int> stop_eno{0}; /* small exit code of the error that stopped the run */
  /* Guarded by err_lock: the text of the error that stopped the run, and of the latest failure of
   * an entry; the error line and the summary name them. */
  std::string stop_msg;
  std::string fail_msg;
  /* Deletions the run held back (the deletion budget); held_msg (under err_lock) says why. */
  std::atomic<int64_t> held_deletes{0};
  std::string held_msg;
};

/* 1 when the run must end (a stopping error or a stop request), else 0. */
int cdir_need_exit(cdir_ctx *ctx);
/* Records a failed entry operation's error; codes whose small exit code is 4, 5, 6 or 8 stop
 * the run. */
void cdir_verr_check(cdir_ctx *ctx, int verr);
/* Adds n bytes written to the output to the statistics. Test builds raise the signal of
 * QV_TEST_SIGNAL_AT=<signal>:<bytes> once that many bytes are written, to interrupt a run at a
 * chosen point of its data. */
void cdir_add_written(cdir_ctx *ctx, int64_t n);
/* Test builds stop the process (SIGSTOP) once, when the engine is about to list or change a path
 * ending in QV_TEST_STOP_AT, so that a test can change the tree at that point. */
void cdir_test_stop_at(const char *path);
/* The failure of one entry: logs the text (which names the path and the cause) at error level,
 * keeps it for the error line, and checks the code as cdir_verr_check does. The caller counts. */
void cdir_fail(cdir_ctx *ctx, int verr, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
/* Sets the engine error (the caller's error record) of the run. */
#define CDIR_SET_ERR(ctx, code, ...)                                                                \
  do {                                                                                              \
    std::lock_guard<std::mutex> cdir_err_guard_((ctx)->err_lock);                                   \
    VPERROR_SET((ctx)->err, (code), __VA_ARGS__);                                                   \
  } while (0)
