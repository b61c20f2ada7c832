#pragma once
/* Listing engine: enumerates a local directory tree on its own executor thread ("rdir_cmder") and
 * delivers the entries as listing lines through record queues, so that a consumer reads them at its
 * own pace and with time-outs, the same way it reads a listing sent by a remote service.
 *
 * Generation 1 lists one directory per request: file lines and directory lines arrive in two queues,
 * each ended by "\r<code>", and the reader hands them out as chunks prefixed "F" or "D".
 * Generation 2 (LIBRDIR_F_GEN2) walks the whole tree breadth first in one request, entries sorted,
 * and writes one stream of tagged records ("O", "D ", "F ", "E"/"R", "X", then a lone "\r"). The
 * path of an "O" line is escaped as the names of listing lines are; a subdirectory whose path is
 * too long to enter is listed but not walked, and counted in the "X" line.
 *
 * Threads: one executor thread produces, one consumer thread reads and closes; the queued byte
 * counts may be read from any thread. */
#include <cstddef>
#include <cstdint>

#include "libpal/comm/verr.h"

/* Listing flags. */
enum : uint32_t {
  LIBRDIR_F_OPT1 = 0x1, /* reader option 1 */
  LIBRDIR_F_XATTR = 0x2, /* reader option 4: extended attributes become the stream list */
  LIBRDIR_F_OPT8 = 0x4, /* reader option 8 */
  LIBRDIR_F_OPT16 = 0x8, /* reader option 16 */
  LIBRDIR_F_GEN2 = 0x200,
};

constexpr uint32_t LIBRDIR_TIMEOUT_DEFAULT = 3000;   /* ms, for a time-out of 0 */
constexpr int LIBRDIR_QUEUE_WRITE_TIMEOUT = 5000;   /* ms */
constexpr size_t LIBRDIR_PATH_SIZE = 4096;

struct librdir_param {
  uint32_t flag = 0;
  uint32_t timeout = 0; /* read time-out in ms; 0 means LIBRDIR_TIMEOUT_DEFAULT */
  const char *include = nullptr;     /* file include patterns, TAB-separated; null: none */
  const char *exclude = nullptr;
  const char *dir_include = nullptr;
  const char *dir_exclude = nullptr;
  const char *misc_exclude = nullptr; /* logged only; a remote service applies it */
  vperror *err = nullptr;             /* receives the reason of a failed open; may be null */
  /* Listing lines gathered into one message, up to this many bytes (0: one line per message).
   * The reader's buffer must hold a whole message: keep it well below the read length. */
  uint32_t batch = 0;
  /* Opens a directory below the listed root for reading (a descriptor, or -1 with errno set), so
   * that the owner of the tree decides how paths resolve (beneath its root, never through a
   * link). Null: the path is opened as given. */
  int (*open_dir)(void *arg, const char *path) = nullptr;
  void *open_arg = nullptr;
  /* Bytes of listing text the engine keeps queued for the reader: a message that would pass this
   * waits until the reader took enough (or the listing is closed), so a reader that does not read
   * pauses the walk instead of letting its text pile up. A single message larger than the bound
   * still goes when nothing else waits. 0: no bound. */
  size_t queue_max = 0;
};

struct librdir;

/* Opens a listing of dir (a trailing "/" is removed) and posts the first request for the root.
 * Null when the directory cannot be opened (its error code in p->err) or memory runs out (-8). */
librdir *librdir_open(const char *dir, const librdir_param *p);
/* Generation 1: asks for the listing of one more directory (full path). 0 or the negative result
 * of the post. */
int librdir_enum_dir(librdir *h, const char *dir);
/* Generation 2: asks for a walk from dir (full path). */
int librdir_enum_dir2(librdir *h, const char *dir);
/* Places the next chunk into buf (at most len bytes, not NUL-terminated) and returns its length;
 * 0 when nothing came within the read time-out; -1 for a null handle or len below 2. */
int librdir_read_item_list(librdir *h, char *buf, uint32_t len);
int librdir_read_item_list1(librdir *h, char *buf, uint32_t len);
int librdir_read_item_list2(librdir *h, char *buf, uint32_t len);
/* Directories of generation 2 not entered because their path did not fit LIBRDIR_PATH_SIZE. */
uint64_t librdir_drop_long_dirs(const librdir *h);
/* Bytes of listing text queued and not yet read, and the most that were queued at once. */
uint64_t librdir_queued(const librdir *h);
uint64_t librdir_queued_peak(const librdir *h);
/* Waits for the running request to finish, stops the executor and frees everything. Null does
 * nothing. */
void librdir_close(librdir *h);
