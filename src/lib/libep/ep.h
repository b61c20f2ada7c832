#pragma once
/* An endpoint: one side of a run, a directory tree the engine reads (input) or changes (output).
 *
 * Every kind of endpoint (a local tree; a tree exported by a remote service) is one const table of
 * operations, `ep_ops`, and the engine reaches a tree only through the ep_* calls below, never
 * through the operating system. An endpoint object owns what its side needs to reach the tree: for
 * a local tree the root's directory descriptor, for a remote one its connections.
 *
 * Paths. Every path handed to an endpoint is a full path of its side: the root path that probing
 * found (ep_info::path), or that path, "/" and names below it. A path outside the root is refused
 * (-2, "outside the tree"). A local endpoint resolves paths beneath its root's descriptor and
 * never follows a symbolic link in any component below the root: a link swapped in for a
 * directory in the middle of a run fails the call (-156), it is never
 * written or read through. The root path itself is opened as the user gave it.
 *
 * Results are 0, a count, or a negative error code; the caller's `vperror` record gets the code
 * and a message that names the path. A slot a kind does not fill answers -37 ("not supported")
 * through its wrapper, so callers never test the table.
 *
 * Threads: an endpoint may be used by several threads at once (the copy lanes, the digest pool);
 * a file or listing handle by one thread at a time; ep_list_stop may be called from any thread. */
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "libpal/comm/verr.h"
#include "libpal/os/os_dirent.h"

struct ep;
struct ep_file;
struct ep_list;
struct ep_batch;

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
struct ep_vol_info {
  std::string fs_name;  /* file-system name, e.g. "ext4" */
  std::string vol_name; /* empty where the host has no volume label */
  uint32_t name_len = 0; /* longest name in bytes */
  uint32_t flags = 0;    /* VOL_F_* */
  uint64_t avail_bytes = 0; /* free to an unprivileged user */
  uint64_t free_bytes = 0;
  uint64_t total_bytes = 0;
};

constexpr size_t EP_URL_SIZE = 8192;
constexpr size_t EP_PATH_SIZE = 4096;
constexpr size_t EP_DIGEST_LEN = 16;

/* What probing a side found out. */
struct ep_info {
  bool is_local = true;
  bool posix_host = false; /* keeps POSIX modes: a local side once its volume was read */
  bool not_exist = false;  /* the root does not exist (yet) */
  bool is_dir = false;     /* the root exists and is a directory (a link to one counts) */
  bool multi_block = false; /* remote multi-block requests offered; false for local sides */
  std::string url;      /* as written */
  std::string resolved; /* after profile resolution, "\" turned into "/" */
  std::string path;     /* normalised path, no trailing "/" (the root "/" stays) */
  os_dirent root;       /* the root entry, when it exists */
  ep_vol_info fs;
};

/* Capabilities of a kind. */
enum : uint32_t {
  EP_CAP_LOCAL = 0x1,    /* the tree is this host's file system: in-kernel copies between two
                          * local files, several file handles at once cost nothing extra */
};

/* How a file is opened. */
enum : int {
  EP_O_READ = 0,  /* read only; the entry must be a regular file (a link is refused, not followed) */
  EP_O_WRITE = 1, /* write: created if missing, truncated; a link in its place is replaced */
  EP_O_SYNC = 2,  /* block sync: read and write, created if missing, kept */
  /* With EP_O_WRITE or EP_O_SYNC: a file that has further names (hard links) is not written
   * through; this name is replaced by a new, empty file first. */
  EP_O_SOLE = 0x10,
  /* With EP_O_WRITE: the file must not exist yet (-105 when anything is there). */
  EP_O_EXCL = 0x20,
};

/* How an entry is created (ep_create). */
enum : uint32_t {
  EP_C_ZZ = 0x1,        /* the path is a zz-string: path, kind, stream name (a stream entry) */
  EP_C_NOREPLACE = 0x2, /* an existing entry is left as it is and the call fails with -105 */
};

/* Parameters of a listing (see librdir for the flags and patterns). */
struct ep_list_param {
  uint32_t flag = 0;
  uint32_t timeout = 0; /* ms of one read; 0: the listing's default */
  const char *include = nullptr, *exclude = nullptr, *dir_include = nullptr, *dir_exclude = nullptr,
             *misc_exclude = nullptr;
  uint32_t batch = 0; /* bytes of lines gathered into one chunk */
};

/* Parameters of a batch job (ep_batch_open). */
enum : uint32_t {
  /* The result of each entry a file-write line makes carries the XXH3-128 digest of the line as
   * the job received it, so that the sender can compare it with what it sent:
   * "0\t<bytes>\t<32 hex digits>"; a line that does not parse gets "1\t-466". */
  EP_BATCH_DIGESTS = 0x1,
  /* Modes of created entries lose their set-user-ID and set-group-ID bits. */
  EP_BATCH_NO_SET_ID = 0x2,
};
struct ep_batch_param {
  uint32_t max_size = 0;     /* data buffer (largest read + 4); 0: the service's default */
  uint32_t timeout = 0;      /* ms one result read waits at most; 0: the service's default */
  uint32_t uid = 0xFFFFFFFFu; /* owner of the directories an initial sync list creates (all ones: */
  uint32_t gid = 0xFFFFFFFFu; /* the creator's) */
  uint32_t dir_mode = 0755;  /* mode of those directories (before the umask) */
  uint32_t flags = 0;        /* EP_BATCH_* */
};

struct ep_ops {
  const char *name; /* "local", "memory", ... */
  uint32_t caps;    /* EP_CAP_* */
  /* Whether this kind serves the (resolved) URL. */
  bool (*match)(const char *url);

  /* Probing: resolve the URL, read the root entry and the volume information into *info.
   * A root that does not exist is not an error (info->not_exist). */
  int (*open)(ep *e, const char *url, ep_info *info, vperror *err);
  void (*close)(ep *e);
  /* Owner and group ids of names on the endpoint's host (a number is taken as it is). */
  int (*lookup_ids)(ep *e, const char *user, const char *group, uint32_t *uid, uint32_t *gid, vperror *err);
  /* An exclusive advisory lock on the root for the run; -115 when another run holds it. */
  int (*lock_root)(ep *e, vperror *err);

  /* Listing: the listing of the root starts at open; further directories are asked for one at a
   * time (generation 1) or walked at once (flag 0x200). read returns bytes, 0 when nothing came
   * within the listing's read time-out, or a negative code. */
  ep_list *(*list_open)(ep *e, const ep_list_param *p, vperror *err);
  int (*list_enum)(ep_list *l, const char *dir);
  int (*list_read)(ep_list *l, char *buf, uint32_t len);
  void (*list_stop)(ep_list *l);
  void (*list_close)(ep_list *l);
  uint64_t (*list_drop_long_dirs)(ep_list *l);

  /* Single files. */
  ep_file *(*file_open)(ep *e, const char *path, int how, vperror *err);
  int64_t (*file_pread)(ep_file *f, void *buf, size_t len, uint64_t off, vperror *err);
  int64_t (*file_pwrite)(ep_file *f, const void *buf, size_t len, uint64_t off, vperror *err);
  int (*file_truncate)(ep_file *f, uint64_t size, vperror *err);
  /* Status of the open file (what it is now, not what a listing said). */
  int (*file_stat)(ep_file *f, os_dirent *d, vperror *err);
  /* The next data at or after off: *data_off and *data_end bound it; 0, or 1 when there is no
   * more data (the rest of the file is a hole). */
  int (*file_next_data)(ep_file *f, uint64_t off, uint64_t *data_off, uint64_t *data_end, vperror *err);
  /* In-kernel copy of [off, off + len) between two files of this kind: bytes copied, or -37 when
   * the caller must move the data itself (nothing was copied then). */
  int64_t (*file_copy_range)(ep_file *in, ep_file *out, uint64_t off, uint64_t len, vperror *err);
  /* Applies attr (owner, mode, times) to the open file, then closes it; attr may be null. The
   * handle is gone afterwards, also on failure. */
  int (*file_close)(ep_file *f, const file_attr *attr, vperror *err);
  /* XXH3-128 of the open file's whole content as it is now, read where the file lies (a server
   * reads its own disk): the end-to-end check of a transfer between hosts. A set *stop (may be
   * null) ends the reading with VERR_CANCELLED. */
  int (*file_digest)(ep_file *f, uint8_t out[EP_DIGEST_LEN], const std::atomic<int> *stop, vperror *err);

  /* Block digests of the open file. */
  int (*hash_open)(ep_file *f, uint32_t flags, uint32_t bs, uint32_t block_count, vperror *err);
  int (*hash_get)(ep_file *f, uint64_t off, uint64_t len, char *text, size_t size, vperror *err);
  int (*hash_get2)(ep_file *f, char *buf, size_t len, vperror *err);
  int (*hash_get_bin)(ep_file *f, uint32_t flag, uint8_t *buf, size_t len, vperror *err);
  void (*hash_close)(ep_file *f);

  /* Tree changes. */
  /* Creates a directory, link, FIFO, device node (attr->rdev), socket or empty file as attr says,
   * with its attributes. */
  int (*create)(ep *e, const char *path, const file_attr *attr, uint32_t how, vperror *err);
  /* Owner, mode and times of an existing entry, not following a final link. */
  int (*set_attr)(ep *e, const char *path, const file_attr *attr, vperror *err);
  int (*lutime)(ep *e, const char *path, uint64_t time_access, uint64_t time_write, vperror *err);
  /* Removes an entry (a zz-string path removes a stream); a directory must be empty. */
  int (*remove)(ep *e, const char *path, uint32_t how, vperror *err);
  int (*remove_tree)(ep *e, const char *path, vperror *err);
  /* Makes path a further name of target (both full paths of this side); whatever is at path is
   * replaced (an empty directory too). */
  int (*hard_link)(ep *e, const char *target, const char *path, vperror *err);
  /* Creates the directory path and its missing parents. */
  int (*mkdirs)(ep *e, const char *path, uint32_t mode, vperror *err);
  /* The entry at path, not following a final link. */
  int (*stat)(ep *e, const char *path, os_dirent *d, vperror *err);
  /* Renames from over to (both full paths); with noreplace an existing `to` fails with -105. */
  int (*rename)(ep *e, const char *from, const char *to, bool noreplace, vperror *err);
  /* Extended attributes of path, not following a final link: get returns the value length. */
  int64_t (*xattr_get)(ep *e, const char *path, const char *name, std::string *value, vperror *err);
  int (*xattr_set)(ep *e, const char *path, const char *name, const void *value, size_t len, vperror *err);

  /* Batch file-list service. batch_call gives -466 only when its list came damaged to the job,
   * which did none of it: the caller may send it once more. batch_call may return before the job
   * took the list (a kind that sends it behind); a call that then fails fails the job's next call
   * or result read instead, and every one after, so that a caller which reads every result never
   * misses a failure. */
  ep_batch *(*batch_open)(ep *e, const ep_batch_param *p, vperror *err);
  int (*batch_call)(ep_batch *b, int type, const char *dir, const char *list, uint32_t len, vperror *err);
  int (*batch_ret)(ep_batch *b, char *buf, uint32_t len, vperror *err);
  void (*batch_stop)(ep_batch *b);
  void (*batch_close)(ep_batch *b);
};

/* One side. Kinds keep their own state behind impl. */
struct ep {
  const ep_ops *ops = nullptr;
  void *impl = nullptr;
};

/* Handles carry their endpoint; kinds keep their own state behind impl. */
struct ep_file {
  ep *e = nullptr;
  void *impl = nullptr;
};
struct ep_list {
  ep *e = nullptr;
  void *impl = nullptr;
};
struct ep_batch {
  ep *e = nullptr;
  void *impl = nullptr;
};

/* The kinds this build knows, null-terminated, asked in order. */
extern const ep_ops *const ep_kinds[];
/* The kinds: exported by their own modules. */
extern const ep_ops ep_local_ops;
/* A tree exported by a qvsd server: qvp://[user[:password]@]host[:port]/path[?query], qvps:// over TLS. */
extern const ep_ops ep_remote_ops;

/* The kind that serves url, or null. */
const ep_ops *ep_kind_of(const char *url);
/* Opens (probes) url with the kind that serves it (or with ops when given). Null on failure with
 * err filled; *info is filled as far as probing got. */
ep *ep_open(const char *url, const ep_ops *ops, ep_info *info, vperror *err);
void ep_close(ep *e);
const char *ep_name(const ep *e);
bool ep_has_cap(const ep *e, uint32_t cap);

int ep_lookup_ids(ep *e, const char *user, const char *group, uint32_t *uid, uint32_t *gid, vperror *err);
int ep_lock_root(ep *e, vperror *err);

ep_list *ep_list_open(ep *e, const ep_list_param *p, vperror *err);
int ep_list_enum(ep_list *l, const char *dir);
int ep_list_read(ep_list *l, char *buf, uint32_t len);
void ep_list_stop(ep_list *l);
void ep_list_close(ep_list *l);
uint64_t ep_list_drop_long_dirs(ep_list *l);

ep_file *ep_file_open(ep *e, const char *path, int how, vperror *err);
int64_t ep_file_pread(ep_file *f, void *buf, size_t len, uint64_t off, vperror *err);
int64_t ep_file_pwrite(ep_file *f, const void *buf, size_t len, uint64_t off, vperror *err);
int ep_file_truncate(ep_file *f, uint64_t size, vperror *err);
int ep_file_stat(ep_file *f, os_dirent *d, vperror *err);
int ep_file_next_data(ep_file *f, uint64_t off, uint64_t *data_off, uint64_t *data_end, vperror *err);
/* -37 also when the two files are of different kinds. */
int64_t ep_file_copy_range(ep_file *in, ep_file *out, uint64_t off, uint64_t len, vperror *err);
int ep_file_close(ep_file *f, const file_attr *attr, vperror *err);
int ep_file_digest(ep_file *f, uint8_t out[EP_DIGEST_LEN], const std::atomic<int> *stop, vperror *err);

int ep_hash_open(ep_file *f, uint32_t flags, uint32_t bs, uint32_t block_count, vperror *err);
int ep_hash_get(ep_file *f, uint64_t off, uint64_t len, char *text, size_t size, vperror *err);
int ep_hash_get2(ep_file *f, char *buf, size_t len, vperror *err);
int ep_hash_get_bin(ep_file *f, uint32_t flag, uint8_t *buf, size_t len, vperror *err);
void ep_hash_close(ep_file *f);

int ep_create(ep *e, const char *path, const file_attr *attr, uint32_t how, vperror *err);
int ep_set_attr(ep *e, const char *path, const file_attr *attr, vperror *err);
int ep_lutime(ep *e, const char *path, uint64_t time_access, uint64_t time_write, vperror *err);
int ep_remove(ep *e, const char *path, uint32_t how, vperror *err);
int ep_remove_tree(ep *e, const char *path, vperror *err);
int ep_hard_link(ep *e, const char *target, const char *path, vperror *err);
int ep_mkdirs(ep *e, const char *path, uint32_t mode, vperror *err);
int ep_stat(ep *e, const char *path, os_dirent *d, vperror *err);
int ep_rename(ep *e, const char *from, const char *to, bool noreplace, vperror *err);
int64_t ep_xattr_get(ep *e, const char *path, const char *name, std::string *value, vperror *err);
int ep_xattr_set(ep *e, const char *path, const char *name, const void *value, size_t len, vperror *err);

/* p null: the default parameters. */
ep_batch *ep_batch_open(ep *e, vperror *err, const ep_batch_param *p = nullptr);
int ep_batch_call(ep_batch *b, int type, const char *dir, const char *list, uint32_t len, vperror *err);
int ep_batch_ret(ep_batch *b, char *buf, uint32_t len, vperror *err);
void ep_batch_stop(ep_batch *b);
void ep_batch_close(ep_batch *b);

/* How two local roots nest, links and "." / ".." of their existing parts resolved: 1 when b is a
 * or lies inside it, 2 when a lies inside b, 0 when they are apart. */
int ep_local_nesting(const char *a, const char *b);
/* Volume information of an existing local path. 0, or the error code with err filled. */
int ep_local_vol_info(const char *path, ep_vol_info *v, vperror *err);
