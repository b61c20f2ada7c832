#pragma once
/* Error codes of the whole program (negative `int`s, 0 success) and the error record that
 * carries a code together with the place of the failure and a formatted message. */
#include <cstddef>
#include <cstdint>

/* The codes that code in this tree names directly. The full table lives in verr.cpp. */
enum : int {
  VERR_OK = 0,
  VERR_FAIL = -1,
  VERR_PARAM = -2,
  VERR_HANDLE = -4,
  VERR_POINTER = -6,
  VERR_NOMEM = -8,
  VERR_NOIMPL = -12,
  VERR_ABORTED = -14,
  VERR_FUNCTION = -36,
  VERR_NOTSUP = -37,
  VERR_ACCESS = -38,
  VERR_INTR = -39,
  VERR_TIMEOUT = -40,
  VERR_OVERFLOW = -42,
  VERR_NOPROC = -50,
  VERR_RETRY = -52,
  VERR_ILSEQ = -58,
  VERR_CANCELLED = -70,
  VERR_FILE_NOT_FOUND = -102,
  VERR_PATH_NOT_FOUND = -103,
  VERR_EXISTS = -105,
  VERR_TOO_MANY_FILES = -106,
  VERR_SEEK = -109,
  VERR_EOF = -110,
  VERR_WRITE_PROTECT = -113,
  VERR_SHARING = -114,
  VERR_LOCK = -115,
  VERR_XDEV = -119,
  VERR_NAME_TOO_LONG = -120,
  VERR_NO_MEDIA = -121,
  VERR_MEDIA_TYPE = -122,
  VERR_DIR_NOT_EMPTY = -125,
  VERR_IS_DIR = -127,
  VERR_FILE_TOO_BIG = -128,
  VERR_BUSY = -138,
  VERR_DISK_FULL = -152,
  VERR_LOOP = -156,
  VERR_DEV_IO = -250,
  VERR_DEV_NOT_READY = -252,
  VERR_DEV_NXIO = -258,
  VERR_BROKEN_PIPE = -301,
  VERR_NO_DATA = -304,
  VERR_DEADLOCK = -365,
  VERR_CONN_RESET = -454,
  VERR_NOT_CONNECTED = -457,
  VERR_CONN_REFUSED = -461,
  VERR_PROTO = -466,
};

constexpr size_t VPERROR_MSG_SIZE = 4096;

/* One row of the message table. */
struct verr_msg {
  const char *text;
  int code;
};
/* The message table: read-only rows grouped by range, ended by a row whose text is null.
 * For listing and checking the codes; verr2str is the lookup. */
const verr_msg *verr_msg_table();

/* One per context that reports errors; the owner embeds it. Written only by the thread that
 * works on the context. An empty msg means that the table text of code stands for the record. */
struct vperror {
  const char *file;
  const char *func;
  uint32_t line;
  int code;
  char msg[VPERROR_MSG_SIZE];
};

/* Message of code from the table; "Invalid error code" (and a debug log line) for an unknown code. */
const char *verr2str(int code);
/* errno -> verr code; 0 gives 0, an unlisted errno logs a warning and gives -1. */
int os_verr_get(int eno);
/* verr code -> errno; 0 gives 0, -1 gives EPERM, unlisted codes log a warning and give EPERM. */
int verr_2_posix(int code);
/* Sets errno to verr_2_posix(code) and returns that value. */
int os_errno_set_verr(int code);
/* os_verr_get(errno) of the calling thread. */
int os_verr_last();
/* "ok" for 0, else the system's text; os_strerror_last does the same for errno. */
const char *os_strerror(int eno);
const char *os_strerror_last();
/* The system's text of eno, trimmed, into buf (at most size bytes, NUL-terminated); returns buf. */
char *os_strerror_buf(int eno, char *buf, size_t size);

/* Stores place and code and formats fmt into msg (bounded, always terminated); a null fmt leaves
 * msg empty; a null rec does nothing. Pass a ready text as "%s", text, never as the format. */
void vperror_set(vperror *rec, const char *file, unsigned line, const char *func, int code,
                 const char *fmt, ...) __attribute__((format(printf, 6, 7)));
/* msg when not empty, else verr2str(code). */
const char *vperror_str(const vperror *rec);
/* Copies every field; copying a record onto itself does nothing. */
void vperror_copy(vperror *dst, const vperror *src);
/* Stores os_verr_get(errno) with the system text of errno as message; returns 0 and leaves errno
 * as it was. */
int os_file_last_vperror(void *file_ctx, vperror *rec);

#define VPERROR_SET(rec, code, ...) vperror_set((rec), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
