#pragma once
/* Batch file-list service: one request names a base directory and a list of entries, and the
 * service's own executor thread ("mfile_cmder") carries out the whole list, writing one result per
 * entry into a result queue that the caller reads back in order. Small files, directory creation,
 * deletions and hard links so cost one request per directory instead of one per entry.
 *
 * Lists. A list is text of lines separated by "\n"; an empty line is no entry. Each line names an
 * entry of the base directory by its escaped name (pl_escape.h), read as a zz-string: the name
 * alone, or for the creation (types 2, 3) and removal (type 4) of an extended attribute the name,
 * the kind "X" and the attribute's name. A name is one component: "", ".", ".." and a name that
 * holds "/" get the result -2 for their line and the list goes on; a base path and name that do
 * not fit 4096 bytes get -120. A line that does not parse (a missing TAB, a wrong field count, bad
 * Base64, an unknown letter) ends the list: fewer results than lines arrive.
 *
 * Confinement. The base directory is opened once per request, through the owner's open_dir hook
 * when there is one (so that the owner resolves it beneath its own root), else by its path as
 * given. Below the base nothing is ever followed: every entry is reached with the *at calls on the
 * base's descriptor and O_NOFOLLOW, a symbolic link in an entry's place is read, removed or
 * replaced as the link itself, and the relative paths of type 9 are walked one component at a
 * time without following a link. When the base cannot be opened, every line gets that error.
 *
 * Types (the command numbers of libmfile_call_cmd) and the results they write, one per line:
 *   1 MFILE_READ_LIST     "name\tlength": one data block (rdir_line.h) of up to length bytes of the
 *                         regular file; flag 0x80 with the code when it cannot be opened (a link,
 *                         a directory or another non-regular entry included, and a length above
 *                         max_mfile_size - 4, which gets -42), flag 0x40 with the code when a read
 *                         fails.
 *   2 MFILE_CREATE_DIR    directory lines (rdir_line.h, 9 fields); the base is created with its
 *                         parents first. Creates each entry as type 3 does without data (the line
 *                         has no link text) and applies its attributes. "%d\t".
 *   3 MFILE_WRITE_FILE    file-write lines (11 fields); the base is created first. With data: the
 *                         file is written (a link or a file of several names in its place is
 *                         replaced, never written through), its attributes applied, "0\t<bytes>\n";
 *                         "1\t<code>\n" when it cannot be opened, "2\t<code>\n" when writing fails.
 *                         Without data: the entry is created as its line says (a directory, kept
 *                         when there is one and -105 when another entry is in its place; a
 *                         symbolic link to the line's escaped link text, replacing what is there
 *                         unless it is a directory with entries; an extended attribute; else an
 *                         empty file, replaced like a written one), then its attributes are
 *                         applied: "0\t0\n" or "1\t<code>\n".
 *   4 MFILE_DELETE        names: each entry removed (a directory only when empty). "%d\t".
 *   5 MFILE_CLEAR_FILES   no list: every entry of the base that is not a directory is removed:
 *                         "F\t", "%d\t" per removal, "$"; "D\t<code>\t$" when the base cannot be
 *                         opened.
 *   6 MFILE_DELETE_TREE   names: each entry removed, a directory with everything below it (an
 *                         entry that is already gone counts as removed). "%d\t".
 *   7 MFILE_CLEAR_DIRS    as 5 for every subdirectory of the base (each removed as a tree); links
 *                         to directories are not subdirectories and stay.
 *   8 MFILE_SYNC_INIT     lines "<letter> <name>": D removes a tree, F removes an entry, C creates a
 *                         directory with dir_mode (and the owner uid/gid when neither is all
 *                         ones; an existing directory is 0, another entry -38). "%d\t".
 *   9 MFILE_HARDLINK      the base text is an escaped zz-string (base directory, directory of the
 *                         new links relative to it, "" for the base itself); lines "name\tsource"
 *                         with source relative to the base. Whatever is at the new name is
 *                         replaced in one step (a directory is not), and stays when the link
 *                         cannot be made. "%d\t".
 * Every request ends with the one-byte message "\n".
 *
 * Memory. The result queue holds at most max(16 MiB, 2 * max_mfile_size) bytes, or one message of
 * any size: the executor waits up to MFILE_ROOM_WAIT_MS for the reader to make room and then drops
 * the result (logged), so a caller that does not read cannot make the service hold more. At most
 * MFILE_CMD_QUEUE requests wait behind the running one; a call waits up to 1 s for room, then
 * fails.
 *
 * Threads: one caller thread posts, reads and closes; the executor is the only writer of the result
 * queue and the only user of the data buffer. libmfile_stop and libmfile_state may be called from
 * any thread. */
#include <cstddef>
#include <cstdint>

#include "libpal/comm/verr.h"

/* Batch types. */
enum : int {
  MFILE_READ_LIST = 1,
  MFILE_CREATE_DIR = 2,
  MFILE_WRITE_FILE = 3,
  MFILE_DELETE = 4,
  MFILE_CLEAR_FILES = 5,
  MFILE_DELETE_TREE = 6,
  MFILE_CLEAR_DIRS = 7,
  MFILE_SYNC_INIT = 8,
  MFILE_HARDLINK = 9,
};

/* State word: idle before the first request, running while one runs, done after it. */
enum : int {
  MFILE_STATE_IDLE = 0,
  MFILE_STATE_RUNNING = 1,
  MFILE_STATE_DONE = 2,
};

constexpr uint32_t MFILE_ID_NONE = 0xffffffffu;
constexpr uint32_t MFILE_SIZE_DEFAULT = 0x200000; /* a data block of the largest read fills 2 MiB */
constexpr uint32_t MFILE_SIZE_MIN = 8;            /* a header and an error code */
constexpr uint32_t MFILE_TIMEOUT_DEFAULT = 1000;  /* ms, for a time-out of 0 */
constexpr size_t MFILE_PATH_SIZE = 4096;
constexpr uint32_t MFILE_CMD_QUEUE = 4;
constexpr int MFILE_ROOM_WAIT_MS = 60000;

struct libmfile_param {
  /* Size of the data buffer; the largest read of type 1 is this minus 4 (MFILE_SIZE_MIN to
   * RDIR_MAX_MLEN + 4). */
  uint32_t max_mfile_size = MFILE_SIZE_DEFAULT;
  uint32_t timeout = 0;      /* ms one libmfile_get_list_ret waits at most; 0: MFILE_TIMEOUT_DEFAULT */
  int8_t remove_flags = 0;   /* carried; removal is the same for every value on this host */
  uint32_t uid = MFILE_ID_NONE; /* owner of the directories type 8 creates (all ones: unchanged) */
  uint32_t gid = MFILE_ID_NONE;
  uint32_t mode = 0;         /* carried for a remote service; not used here */
  uint32_t dir_mode = 0755;  /* mode of the directories type 8 creates (before the umask) */
  /* The type 3 result of each entry made carries the XXH3-128 digest of its line as the service
   * received it (rdir_line.h, libmfile_write_result_line), for a sender that compares it with
   * the line it sent: name, attributes and data. A line that does not parse (or whose Base64
   * does not decode) then gets "1\t-466\n" (VERR_PROTO) and the list goes on. A plain block of
   * type 1 then ends with the XXH3-128 digest of its data (the block's length counts it), and the
   * largest read is max_mfile_size - 20. */
  bool digests = false;
  /* false: the set-user-ID and set-group-ID bits of the modes of types 2 and 3 are cleared (a
   * server that may not give them). */
  bool keep_set_id = true;
  vperror *err = nullptr;    /* receives the reason of a failed open; may be null */
  /* Opens the base directory path of a request for reading (O_RDONLY | O_DIRECTORY) the way the
   * owner's tree requires (beneath its root, never through a link); with create non-zero it
   * creates the directory and its missing parents first. Returns the descriptor, which the
   * service closes, or a negative error code. Called on the executor thread. Null: the path is
   * opened as given (and created with its parents, mode 0755). */
  int (*open_dir)(void *arg, const char *path, int create) = nullptr;
  /* Called on the executor thread at the end of a request that removed a directory, before its
   * end message, so that an owner who caches directory descriptors drops them. May be null. */
  void (*dir_removed)(void *arg) = nullptr;
  void *open_arg = nullptr; /* handed to both hooks */
};

struct libmfile;

/* Allocates the handle, its data buffer and result queue, and starts its executor. Null with
 * p->err filled on a bad parameter (-2), when memory runs out (-8) or the executor cannot start. */
libmfile *libmfile_open(const libmfile_param *p);

/* Posts one request: type (1-9), the base directory text dir (null: empty) and len bytes of list
 * (null with len 0: no list). 0, or -2 for a bad type or a list that holds a NUL byte, -120 when
 * dir does not fit 4096 bytes, -70 after libmfile_stop, or the negative result of the post
 * (logged "cmder_post_msg3 failed"). */
int libmfile_call_cmd(libmfile *h, int type, const char *dir, const char *list, size_t len);

/* Reads the next results into buf (at most len bytes, len >= 2): whole result messages of the
 * oldest request not yet read to its end, gathered until its end message, until the buffer no
 * longer holds a largest message, or until the handle's time-out. Returns the byte count
 * (NUL-terminated after the data when the end message came with it); 0 when nothing arrived
 * within the time-out (logged with prefix, which only names the read); -70 after libmfile_stop
 * once nothing is queued; -2 for a bad argument. A buffer must hold the largest message: a data
 * block of max_mfile_size bytes for type 1, 32 bytes otherwise (96 with digests); a message that
 * does not fit stays queued and the read gives 0. */
int libmfile_get_list_ret(libmfile *h, char *buf, uint32_t len, const char *prefix);

/* MFILE_STATE_* of the last request. */
int libmfile_state(const libmfile *h);

/* Makes the running request end after its current entry (its end message is still written),
 * refuses further requests and ends waits for results. Null does nothing. */
void libmfile_stop(libmfile *h);

/* Stops the service, waits in steps of 1 s (at most MFILE_CLOSE_WAIT_S of them) for the running
 * request to end, ends the executor and frees everything. Should the executor still be busy after
 * that, the handle is left allocated for it (logged). Null does nothing. */
constexpr uint32_t MFILE_CLOSE_WAIT_S = 30;
void libmfile_close(libmfile *h);
