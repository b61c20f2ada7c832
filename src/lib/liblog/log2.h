#pragma once
/* The process-wide logger. Every call passes a level word, a module tag, the source place and a
 * printf-style message. Any thread may log; a line is written whole by one write call. */
#include <cstdarg>
#include <cstddef>
#include <cstdint>

/* Levels: a lower number is more severe. Names differ from <syslog.h>'s macros on purpose. */
enum : int {
  LOG2_CRIT = 2,
  LOG2_ERR = 3,
  LOG2_WARN = 4,
  LOG2_NOTI = 5,
  LOG2_INFO = 6,
  LOG2_DBG = 7,
  LOG2_VERB = 8,
  /* bits of the level word */
  LOG2_ERRNO = 0x100,  /* append the text of the errno current on entry */
  LOG2_NOEXIT = 0x200, /* a crit line does not end the process */
  LOG2_NOSINK = 0x800, /* forward only to the binary record log, no sink */
};

/* Prefix flags. */
enum : uint32_t {
  LOG2_F_TID = 0x01,
  LOG2_F_TIME = 0x02,
  LOG2_F_FUNC = 0x04,
  LOG2_F_FILE = 0x08,
  LOG2_F_FILE_SHORT = 0x10,
  LOG2_F_COLOUR = 0x20,
  LOG2_F_TIME_MS = 0x40,
  LOG2_F_TID_NAME = 0x80,
  LOG2_F_DEFAULT = 39,
};

/* Control codes of log2_ioctl. */
enum : int {
  LOG2_IOC_LEVEL = 1,
  LOG2_IOC_FLAGS = 2,
  LOG2_IOC_LEVEL_STR = 3,
  LOG2_IOC_CONSOLE_LEVEL_STR = 4,
  LOG2_IOC_FLAGS_STR = 5,
  LOG2_IOC_HOOK_INFO = 6, /* hook for levels above 4 */
  LOG2_IOC_HOOK_WARN = 7, /* hook for levels 2 to 4 */
  LOG2_IOC_GET_LEVEL = 8,
  LOG2_IOC_FILE_OPEN = 20,
  LOG2_IOC_FILE_DIR = 21,
  LOG2_IOC_FILE_SIZE = 22,
  LOG2_IOC_FILE_NUM = 23,
  LOG2_IOC_FILE_KEY = 24,
  LOG2_IOC_BSV_OPEN = 30,
  LOG2_IOC_SYSLOG_OPEN = 31,
  LOG2_IOC_CONSOLE_ON = 40,
  LOG2_IOC_FILE_ON = 42,
  LOG2_IOC_SYSLOG_ON = 43,
};

struct log2_ctx;
/* Output hook of codes 6 and 7: level, tag, the finished line and its length. */
typedef void (*log2_hook_fn)(int level, const char *tag, const char *line, size_t len);
/* Forwarding function: receives every call unformatted instead of the normal path. */
typedef void (*log2_forward_fn)(int level, const char *tag, const char *file, int line, const char *func,
                                const char *fmt, va_list ap);

/* Formats and dispatches one line; ctx null means the default logger. Returns 0. */
int log2_print(log2_ctx *ctx, int level, const char *tag, const char *file, int line, const char *func,
               const char *fmt, ...) __attribute__((format(printf, 7, 8)));
int log2_vprint(log2_ctx *ctx, int level, const char *tag, const char *file, int line, const char *func,
                const char *fmt, va_list ap);
/* True when a line of this level word passes the default logger's global level. */
bool log2_enabled(int level);
/* Control (codes above); -1 for an unknown code or a bad value. value points to an int for the
 * integer codes, to text for the text codes, to a function for the hooks. */
int log2_ioctl(log2_ctx *ctx, int code, const void *value, int length);
/* Level word -> level (-1 and an "error: invalid level" line on stderr for an unknown word). */
int log2_level_parse(const char *word);
/* "|"-separated prefix flag words -> flags (unknown words reported on stderr and skipped). */
uint32_t log2_flags_parse(const char *words);
/* Installs the forwarding function of the default logger (null removes it). */
void log2_set_forward(log2_forward_fn fn);
/* For signal handlers: formats into a stack buffer and writes one crit line to the console and,
 * when its lock is free, to the log file, without allocating or blocking. */
void log2_emergency(const char *tag, const char *func, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
/* The last line, copied only when its lock is free (signal handlers); "" otherwise. */
char *log2_last_msg_try(char *buf, size_t size);
/* Copies the last line dispatched by the default logger into buf; returns buf. */
char *log2_last_msg(char *buf, size_t size);
/* Whether colour escapes belong in what is written to fd: fd is a terminal and the environment
 * variable NO_COLOR is unset or empty. Files and pipes get plain text. */
bool log2_colour_on(int fd);
/* Path of the open log file into buf; its length, or -1 when the log writes to no file. */
int log2_file_path(char *buf, size_t size);
/* The name shown for the calling thread (registered by the thread framework; "main" by default). */
void log2_thread_name_set(const char *name);
const char *log2_thread_name();
/* Closes the sinks of the default logger and restores its defaults (once per process is enough). */
void log2_exit();

#ifndef LOG_TAG
#define LOG_TAG "pal"
#endif

#define LOG2(lvl, fmt, ...)                                                                  \
  do {                                                                                       \
    if (log2_enabled(lvl))                                                                   \
      log2_print(nullptr, (lvl), LOG_TAG, __FILE__, __LINE__, __func__, fmt, ##__VA_ARGS__); \
  } while (0)
#define LOGC(fmt, ...) LOG2(LOG2_CRIT, fmt, ##__VA_ARGS__)
#define LOGE(fmt, ...) LOG2(LOG2_ERR, fmt, ##__VA_ARGS__)
#define LOGW(fmt, ...) LOG2(LOG2_WARN, fmt, ##__VA_ARGS__)
#define LOGN(fmt, ...) LOG2(LOG2_NOTI, fmt, ##__VA_ARGS__)
#define LOGI(fmt, ...) LOG2(LOG2_INFO, fmt, ##__VA_ARGS__)
#define LOGD(fmt, ...) LOG2(LOG2_DBG, fmt, ##__VA_ARGS__)
#define LOGV(fmt, ...) LOG2(LOG2_VERB, fmt, ##__VA_ARGS__)

/* Fatal assertion: logs "expr[...]: assert failed" at error level and ends the process. */
[[noreturn]] void pl_assert_fail();
#define pl_assert(expr)                                                                     \
  do {                                                                                      \
    if (!(expr)) {                                                                          \
      log2_print(nullptr, LOG2_ERR, LOG_TAG, __FILE__, __LINE__, __func__,                  \
                 "expr[%s]: assert failed\n", #expr);                                       \
      pl_assert_fail();                                                                     \
    }                                                                                       \
  } while (0)
/* Checked assertion: logs "expr[...]: chk_assert failed" and yields false, so the caller can
 * return its error value: if (!chk_assert(p)) return -1; */
#define chk_assert(expr)                                                                    \
  ((expr) ? true                                                                            \
          : (log2_print(nullptr, LOG2_ERR, LOG_TAG, __FILE__, __LINE__, __func__,           \
                        "expr[%s]: chk_assert failed\n", #expr),                            \
             false))
