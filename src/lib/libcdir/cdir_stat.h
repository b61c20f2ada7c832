#pragma once
/* Counters of one run and the texts made from them: the statistics lines (log dump and terminal
 * summary), the progress line, the file-operations trace and the sync-reason log lines.
 *
 * Threads: the executor and the hashing callbacks update the counters while the timer thread and
 * the end of the run read them. Every counter is a relaxed atomic: no update is lost, and a reader
 * may see values that are a moment old and not consistent with each other. */
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "libcdir/libcdir_param.h"

struct cdir_ctx;

/* Kind of an entry path, which picks the counter block of its per-kind counters. */
enum : int {
  CDIR_PATH_PLAIN = 0,
  CDIR_PATH_STREAM_XATTR = 1, /* kind "S" alternate data stream, kind "X" extended attribute */
  CDIR_PATH_ACL = 2,          /* kind "A" access control list; counted, never shown */
  CDIR_PATH_KINDS = 3,
};

/* The per-kind counters. */
struct cdir_stat_kind {
  std::atomic<int64_t> file_count{0};
  std::atomic<int64_t> file_size{0};
  std::atomic<int64_t> open_count{0}; /* files opened for copying */
  std::atomic<int64_t> i_fail{0};
  std::atomic<int64_t> o_fail{0};
  std::atomic<int64_t> del_count{0};
  std::atomic<int64_t> del_fail{0};
};

/* The counters of one run; embedded in the engine context and zeroed by cdir_stat_init. */
struct cdir_stat {
  uint32_t i_flags = 0; /* input endpoint flags (CDIR_EP_*): decide whether kinds are told apart */
  std::atomic<int64_t> enum_dir_count{0};      /* directory listings read, the root not counted */
  std::atomic<int64_t> o_dir_fail_count{0};    /* output directories not created or too long */
  std::atomic<int64_t> open_dir_fail_count{0}; /* listings that could not be started or read */
  std::atomic<int64_t> enum_size{0};           /* size of every counted file, all kinds */
  std::atomic<int64_t> total_read{0};
  std::atomic<int64_t> total_write{0};
  std::atomic<int64_t> i_drop_name_too_long{0};
  std::atomic<int64_t> o_drop_name_too_long{0};
  /* Names a Windows target cannot store, dropped by the listing engine; reported as one sum. */
  std::atomic<int64_t> o_unsupport_files{0};
  std::atomic<int64_t> o_unsupport_dirs{0};
  /* Deletions the deletion budget held back (max_delete=, or an empty input). */
  std::atomic<int64_t> skip_delete{0};
  /* Device nodes and sockets that could not be recreated on the output: skipped, not failed. */
  std::atomic<int64_t> skip_special{0};
  cdir_stat_kind kind[CDIR_PATH_KINDS];
};

/* Zeroes every counter and keeps the input endpoint flags. Call before other threads see st. */
void cdir_stat_init(cdir_stat *st, uint32_t i_flags);

inline void cdir_stat_add(std::atomic<int64_t> *counter, int64_t n)
{
  counter->fetch_add(n, std::memory_order_relaxed);
}
inline int64_t cdir_stat_get(const std::atomic<int64_t> &counter)
{
  return counter.load(std::memory_order_relaxed);
}

/* Kind of a path. A path that is not a zz path is plain. A zz path is an escaped zz-string
 * ("name\0\0", or "name\0K\0stream\0\0" with the kind letter K, written with backslash-zero
 * separators): kind "S" or "X" is a stream or attribute path, "A" an ACL path; no second part,
 * or any other kind, is plain (the entry is then counted with the files it belongs to). */
int cdir_path_kind(bool is_zz, const char *path);
/* The block that counts a path: its kind's block when the input endpoint flags carry the stream
 * or the ACL bit, else the plain block for every path. */
cdir_stat_kind *cdir_stat_block(cdir_stat *st, bool is_zz, const char *path);

/* Per-kind counter updates; each picks the block by the path. */
/* One enumerated file of size bytes: file count, kind size and the enumerated size of all kinds. */
void cdir_stat_file_add(cdir_stat *st, bool is_zz, const char *path, int64_t size);
void cdir_stat_open_inc(cdir_stat *st, bool is_zz, const char *path);
void cdir_stat_i_fail_inc(cdir_stat *st, bool is_zz, const char *path);
void cdir_stat_o_fail_inc(cdir_stat *st, bool is_zz, const char *path);
void cdir_stat_del_inc(cdir_stat *st, bool is_zz, const char *path);
void cdir_stat_del_fail_inc(cdir_stat *st, bool is_zz, const char *path);

/* Whether failures that did not stop the run were counted: output directory, input, output and
 * deletion failures on copy and sync (stream and attribute ones too with the stream bit),
 * directory open failures and paths dropped for their length on every op. */
bool cdir_stat_has_failures(uint32_t op, uint32_t i_flags, const cdir_stat *st);

/* One statistics line. */
constexpr size_t CDIR_STAT_LINE_SIZE = 128;
constexpr int CDIR_STAT_LINES_MAX = 24;
struct cdir_stat_line {
  char text[CDIR_STAT_LINE_SIZE]; /* "name=value...\n" */
  bool alarm;                     /* a failure or drop counter that is not zero */
};

/* The statistics lines of a run of op (CDIR_OP_*) with input endpoint flags i_flags, after
 * elapsed_ms milliseconds (0 counts as 1 ms, so no rate divides by zero), in report order:
 * copy and sync: total_open, total_read, total_write; copy: trans_rate, file_rate; sync:
 * sync_del_count, sync_del_fail_count (and the stream ones with the stream bit); copy and sync:
 * o_dir_fail_count, i_fail_count, o_fail_count (and the stream ones); every op: enum_file_count,
 * enum_file_size (and the stream ones), enum_dir_count, open_dir_fail_count, the three drop
 * counts, total_time. Returns the line count, or -42 when max lines are too few. */
int cdir_stat_lines(uint32_t op, uint32_t i_flags, const cdir_stat *st, int64_t elapsed_ms, cdir_stat_line *lines,
                    int max);

/* Writes lines to the log: alarm lines at warning level, the others at debug level. */
void cdir_dump_stat_lines(const cdir_stat_line *lines, int n);
/* cdir_stat_lines followed by cdir_dump_stat_lines. Returns the line count or a negative code. */
int cdir_dump_stat(uint32_t op, uint32_t i_flags, const cdir_stat *st, int64_t elapsed_ms);

/* Terminal summary to fp: a newline, every line, "Log=<path>" when log_path is not null, and for
 * a code other than 0 the line "last_errno=<code> err: <err_text>"; then fp is flushed. With
 * colour, alarm lines are bold reverse red, the other lines white and the last_errno line bold
 * red; without it the same text is written plain. code is the small exit code (2 to 8). Returns
 * 0, or -1 when writing failed. */
int cdir_stat_summary_write(FILE *fp, const cdir_stat_line *lines, int n, const char *log_path, int code,
                            const char *err_text, bool colour = true);
/* The summary of a run: its lines, and the log file's path when the log writes to a file;
 * coloured only when fp is a terminal and NO_COLOR is unset or empty. */
int cdir_stat_summary(FILE *fp, uint32_t op, uint32_t i_flags, const cdir_stat *st, int64_t elapsed_ms, int code,
                      const char *err_text);

/* Progress line. */
enum : int { CDIR_JOB_FILE = 0, CDIR_JOB_LIST = 1, CDIR_JOB_COPY = 2, CDIR_JOB_SYNC = 3 };
/* Kept by the one thread that draws the line (the timer thread). */
struct cdir_progress {
  int last_len = 0; /* length of the last line, without its carriage return */
};
/* Writes "\r" and the line of job to fp, padded with spaces to the length of the previous line
 * when it is shorter, without a newline, and flushes fp. Rates are per second of elapsed_ms.
 * Single file: enumerated size, bytes written, write rate. List: enumerated size, file count
 * (plain and stream_xattr), directories, directory open failures. Copy and sync: enumerated
 * size, bytes written, write rate, file count (plain and stream_xattr), then the plain block's
 * opened files and output failures, and the file rate (copy) or the deletions (sync).
 * Returns the length written without the carriage return, or a negative code (unknown job -2,
 * write failure -1). */
int cdir_progress_print(FILE *fp, cdir_progress *pg, int job, const cdir_stat *st, int64_t elapsed_ms);

/* Symbol of a change reason (the low byte of an item's flags; higher bits are ignored):
 * 0 and 1 "+", 2 "-", 3 "P", 4 "K", 5 "L", 6 "T", 7 "H", others "?". */
const char *cdir_reason_symbol(uint32_t item_flags);
/* File-operations trace of one planned operation: with CDIR_TRACE_FILE_OPS writes
 * "<symbol> <opath>[/]\n" to fp. Copy mode 4 traces every item as new (reason 1); an item
 * without a reason traced for a deletion gets reason 2. Returns true when the operation is to be
 * carried out, i.e. unless CDIR_TRACE_DRY_RUN is set. */
bool cdir_trace_file_ops_imp(FILE *fp, uint32_t trace_flags, uint32_t copy_mode, uint32_t item_flags,
                             bool is_delete, const char *opath, bool is_dir);

/* Logs one reason why a file is synced or copied, at debug level, whatever the trace bits (so ctx
 * is not consulted and may be null). */
void cdir_sync_file_reason(const cdir_ctx *ctx, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
