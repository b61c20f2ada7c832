#pragma once
/* The client of the file service: one logged-in connection (a client context) with its request
 * and reply buffers, the login variants, the server's version and the features it gates, the
 * round-trip measurement that picks the data block size, the two ioctl carriers, the error
 * mapping, stop, and the optional resume after a broken connection.
 *
 * Handles: every object the operations take begins with a kind word (0 client context, 1 file,
 * 2 directory); cli_get_ctx resolves any of them.
 *
 * Results: request operations return 0 or a count, or -1 with the error in the context's error
 * object (the record the caller passed to connect). The wire-level steps return the transfer
 * result codes of qvsd_wire.h.
 *
 * Secrets: the password and the login key are never written to a log; URLs are logged masked.
 *
 * Threads: a client context and its handles are used by one thread at a time; qvsd_cli_stop may
 * be called from any thread. qvsd_cli_init and qvsd_cli_cleanup run once per process, before and
 * after every connection. */
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libnet/net.h"
#include "libpack/zcomp.h"
#include "libpal/comm/verr.h"
#include "libpal/os/os_dirent.h"
#include "libqvsd/qvsd_wire.h"

enum : uint32_t { QVSD_KIND_CLI = 0, QVSD_KIND_FILE = 1, QVSD_KIND_DIR = 2 };

constexpr int QVSD_PORT_TCP = 6688;
constexpr int QVSD_PORT_TLS = 6686;
constexpr size_t QVSD_ERRSTR_SIZE = 4096;
constexpr size_t QVSD_PWD_SIZE = 4096;
constexpr size_t QVSD_CERT_MAX = 256;
constexpr int QVSD_STAT_LINE_MAX = 512 * 1024; /* largest status line accepted */
constexpr uint32_t QVSD_BS_FAST = 0x200000; /* round trip below 2 ms */
constexpr uint32_t QVSD_BS_MID = 0x10000;
constexpr uint32_t QVSD_BS_SLOW = 0x4000;   /* round trip above 100 ms */
#define QVSD_ERR_GATE_TEXT "not supported, please upgrade qvsd to the latest version"

struct qvsd_cli;

struct qvsd_file {
  uint32_t kind = QVSD_KIND_FILE;
  qvsd_cli *cli = nullptr;
  std::string path;
  int64_t flags = 0;
  int64_t fd = 0;
  int64_t pos = 0;
  bool need_read_timeout = false;
  bool need_write_timeout = false;
  /* Running digest of what the server read or wrote through this handle (servers of
   * QVSD_VER_OWN_CODES): hex text of bytes [0, digest_end), empty when unknown. */
  bool want_digest = false;
  std::string digest;
  int64_t digest_end = -1;
};

struct qvsd_dir {
  uint32_t kind = QVSD_KIND_DIR;
  qvsd_cli *cli = nullptr;
  int64_t fd = 0;
  std::vector<char> buf;  /* one batch of entry lines, NUL-terminated */
  int64_t pos = -1;       /* next line in buf; -1 when a new batch is needed */
  uint32_t fill = 0;
  os_dirent rec;
  uint64_t count = 0;     /* entries delivered */
};

struct qvsd_cli {
  uint32_t kind = QVSD_KIND_CLI;
  net conn;
  std::string url;          /* normalised: no user information, the port filled in */
  std::string url_masked;   /* for log lines */
  uint8_t proto = 0;        /* protocol byte of the first reply */
  char lkey[41] = {};
  char log_file[4096] = {};
  std::string host, user, pwd;
  int port = 0;
  int connect_timeout_ms = 0, read_timeout_ms = 0, write_timeout_ms = 0;
  vperror own_err{};
  vperror *err = nullptr;   /* the caller's record, or own_err */
  int32_t os_type = 0;
  int32_t srv_errno = 0;
  char srv_errstr[QVSD_ERRSTR_SIZE] = {};
  qvsd_msg req;
  uint8_t *rep = nullptr;
  uint32_t rep_cap = 0;
  uint32_t reply_max = 0;   /* largest reply body the request in flight may have; 0 the ceiling */
  uint32_t block_size = QVSD_BS_MID;
  zcomp codec;
  char pack[ZCOMP_NAME_MAX + 1] = {};
  char ver[32] = {};
  uint64_t ver_value = 0;
  bool ver_153 = false, ver_164 = false, ver_182 = false, ver_185 = false, windows = false;
  /* resume */
  bool fixing = false, fix_failed = false, resume_on = false;
  uint8_t last_cmd = 0;
  uint64_t cmd_count = 0;
  uint64_t ctx_id = 0;
  uint32_t resume_settle_ms = 1000; /* pause after asking the old context to stop */
  std::vector<qvsd_file *> files;
  std::vector<qvsd_dir *> dirs;
};

/* Once per process before any connect (registers the TLS layer); later calls return 0. */
int qvsd_cli_init();
/* At the end of the run: releases the TLS client and forgets the measured round trips. */
void qvsd_cli_cleanup();

/* Connects to a qvp:// or qvps:// URL and logs in. Null with err filled on failure. The
 * password comes from the URL, else from the file named by the query key password_file= (refused
 * when others may read it), else from the environment variable QVCP_PASSWORD. */
qvsd_cli *qvsd_cli_connect(const char *url, vperror *err);
/* The same without login (for tools and tests that speak to a server directly). */
qvsd_cli *qvsd_cli_connect2(const char *url, vperror *err);
qvsd_cli *qvsd_cli_connect3(const char *url, void *opaque, int login, vperror *err);
/* Closes every open handle on the server, sends the exit command and frees the context.
 * Returns the send result of the exit command (0 when nothing was sent). Null does nothing. */
int qvsd_cli_exit(qvsd_cli *c);

/* Client context of any handle (and the server descriptor of a file or directory); null with an
 * "invalid handle" line for anything else. */
qvsd_cli *cli_get_ctx(const void *h, int64_t *fd);
/* Error accessors on any handle. */
const char *qvsd_cli_last_errstr(const void *h);
int qvsd_cli_last_errno(const void *h);
void qvsd_cli_set_last_errno(void *h, int code);
void qvsd_cli_copy_error(const void *h, vperror *dst);
/* Maps a transfer result code into the context's error object; returns code. */
int qvsd_cli_set_last_error(qvsd_cli *c, int code);

bool qvsd_cli_is_windows(const void *h);
bool qvsd_cli_ver_ge_182(const void *h);
/* The server's log file path into out; needs "1.8.2". 0 or -1. */
int qvsd_cli_log_path(void *h, char *out, size_t size);
/* 0 when the server's version is at least ver, else -1 with -12 and its text set. */
int qvsd_cli_gate(qvsd_cli *c, const char *ver);

/* Asks a blocked transfer to give up (any thread). 0. */
int qvsd_cli_stop(qvsd_cli *c);
/* Turns on the resume procedure for this context. 0 or -1. */
int qvsd_cli_resume_enable(qvsd_cli *c);

/* ---- Exchanges ---- */
/* Sends one frame: the command and the root at body (len bytes, padded, header word included).
 * A result code; 3 without sending after the resume procedure failed. */
int qvsd_send_request(qvsd_cli *c, uint8_t cmd, const void *body, uint32_t len);
/* Receives one frame into the reply buffer; *len is the root's padded length. A result code. */
int qvsd_recv_request_len(qvsd_cli *c, uint32_t *len);
/* qvsd_recv_request_len with the resume procedure around it. */
int client_recv_response(qvsd_cli *c, uint32_t *len);
/* The request buffer as built so far is sent as cmd, the reply decoded against pol into slots and
 * the errno rule applied. reply_max bounds the reply body (0: the command's table value). Checks
 * the command's version gate first (-1 with -12 set, nothing sent). A result code, or -1. */
int qvsd_exchange(qvsd_cli *c, uint8_t cmd, const qvsd_policy *pol, int n, const void **slots, uint32_t reply_max);

/* File ioctl (command 20) on any handle: argument arg of len bytes (-1: a text sent with its NUL).
 * Version gates of the code apply. 0 or -1. */
int qvsd_cli_ioctl(void *h, int32_t code, const void *arg, int len);
/* ioctl2 (command 8): up to osize reply bytes copied into out, *count set. 0 or -1. */
int qvsd_cli_ioctl2(void *h, int32_t code, const void *arg, int len, void *out, int osize, int *count);
/* The same delivering a pointer into the reply buffer, valid until the next request. */
int qvsd_cli_ioctl2_ptr(void *h, int32_t code, const void *arg, int len, const void **out, int osize, int *count);

/* ---- Login pieces (exposed for tests) ---- */
/* "{SHA}" + Base64 of the SHA-1 of pwd, or "" for an empty password. 0 or -1. */
int qvsd_passwd_digest(const char *pwd, char *out, size_t size);
/* Password of a parsed URL (see qvsd_cli_connect) into out. 0, or -1 with err filled. */
int qvsd_cli_password(const url *u, char *out, size_t size, vperror *err);
/* Result codes of the login steps. */
int cli_init(qvsd_cli *c, const char *user, const char *pwd);
/* Block size for an average round trip. */
uint32_t qvsd_rtt_block_size(double avg_ms);

/* ---- File requests ----
 * Every operation maps its result into the context's error object and returns -1 on failure.
 * Data moves in chunks of the context's block size, each compressed with its codec. */

/* Open flags the client interprets (all flags go to the server in "mode"). */
enum : int64_t {
  QVSD_O_NEEDS_167 = 0x10000,
  QVSD_O_NAME_LIST = 0x80000, /* path is a zz-string of names, sent escaped */
  QVSD_O_NEEDS_182 = 0x100000,
};
struct file_attr;

/* Opens path (a zz-string with QVSD_O_NAME_LIST); the handle joins the context's list. */
qvsd_file *qvsd_cli_open(qvsd_cli *c, const char *path, int64_t flags);
/* Closes on the server (when connected) and frees the handle; with attr the attributes are set
 * in the same request. 0 or -1; the handle is gone either way. */
int qvsd_cli_close(qvsd_file *f);
int qvsd_cli_close_attr(qvsd_file *f, const file_attr *attr);
/* Reads (writes) len bytes at off, or at the handle's position when off is -1. Returns the count
 * (a short chunk ends the loop) or -1. */
int64_t qvsd_cli_read(qvsd_file *f, void *buf, int64_t len, int64_t off);
int64_t qvsd_cli_write(qvsd_file *f, const void *buf, int64_t len, int64_t off);
/* whence 0 from the start, 1 from the position. The new position or -1. */
int64_t qvsd_cli_seek(qvsd_file *f, int64_t off, int whence);
int qvsd_cli_set_len(qvsd_file *f, int64_t len);

struct qvsd_statfs {
  uint32_t flags = 0;
  uint32_t name_len = 0;
  uint64_t avail_bytes = 0, free_bytes = 0, total_bytes = 0;
  char fs_name[16] = {};
  char vol_name[256] = {};
};
int qvsd_cli_statfs(qvsd_cli *c, const char *path, qvsd_statfs *out);
/* The attribute text of the set-attribute requests into out. Its length or -1. */
int qvsd_attr_text(const file_attr *a, char *out, size_t size);

/* ---- Directory reads ---- */
/* Opens a directory listing (pattern may be null; flag needs a server of "1.8.5"). */
qvsd_dir *qvsd_cli_opendir(qvsd_cli *c, const char *path, const char *pattern, int32_t flag);
/* The next entry into *out (valid until the next call): 1, 0 at the end, or -1. */
int qvsd_cli_readdir(qvsd_dir *d, const os_dirent **out);
/* Closes on the server (when connected) and frees the handle. 0 or -1. */
int qvsd_cli_closedir(qvsd_dir *d);
/* Parses one entry line (no newline; the text is cut at its tabs): 10 fields, or 19 with
 * long_form. 0, or -1 for a wrong field count, a bad number or a name or link that does not fit. */
int qvsd_dirent_line_parse(char *line, bool long_form, os_dirent *d);

/* ---- File status ---- */
/* Status of path on the server (ioctl2 10006, the long entry line) into *d. flags go to the
 * server as they are. 0 or -1 (a missing entry is the server's -102). */
int qvsd_cli_stat(qvsd_cli *c, const char *path, uint32_t flags, os_dirent *d);
/* Status of an open file: the long reply from "1.5.3", else the short one whose nanoseconds read
 * 0 (the st_ fields are then left as they were). 0 or -1. */
int qvsd_cli_fstat(qvsd_file *f, os_dirent *d);

/* ---- Tree requests (the wire forms are in qvsd_codes.h) ----
 * Paths are full paths of the export. Each returns 0 (or a count) or -1 with the error in the
 * context's error object; a server too old for a request fails with -12 before anything is sent. */

/* Times of path, not following a final link (seconds). */
int qvsd_cli_lutime(qvsd_cli *c, const char *path, uint64_t time_access, uint64_t time_write);
/* Creates path as attr says (link_name is a link's target); how: the endpoint's create flags;
 * with zz the path is a zz-string (path, kind, stream name). */
int qvsd_cli_create_file_or_dir(qvsd_cli *c, const char *path, const file_attr *attr, uint32_t how, bool zz);
int qvsd_cli_mkdir_p(qvsd_cli *c, const char *path, uint32_t mode);
int qvsd_cli_set_attr_path(qvsd_cli *c, const char *path, const file_attr *attr);
/* Removes an entry (how: the endpoint's remove flags; zz as for create). */
int qvsd_cli_remove2(qvsd_cli *c, const char *path, uint32_t how, bool zz);
/* Removes an empty directory, or with tree the directory and everything below it. */
int qvsd_cli_rmdir2(qvsd_cli *c, const char *path, bool tree);
int qvsd_cli_hard_link(qvsd_cli *c, const char *target, const char *path);
int qvsd_cli_rename(qvsd_cli *c, const char *from, const char *to, bool noreplace);
/* The value's length (copied into *value), or -1. */
int64_t qvsd_cli_xattr_get(qvsd_cli *c, const char *path, const char *name, std::string *value);
int qvsd_cli_xattr_set(qvsd_cli *c, const char *path, const char *name, const void *value, size_t len);
/* Owner and group ids by name on the server's host; an empty name leaves its id as it is. A name
 * the host does not know fails with -102. */
int qvsd_cli_lookup_ids(qvsd_cli *c, const char *user, const char *group, uint32_t *uid, uint32_t *gid);
/* Takes (take) or releases the output lock of root for this connection; holder names this run
 * (host and process). Another run's lock fails with -115 and its holder in the error text. */
int qvsd_cli_output_lock(qvsd_cli *c, const char *root, bool take, const char *holder);

/* The server-side walk: one per connection. */
struct qvsd_rdir_param {
  uint32_t flag = 0;
  uint32_t timeout_ms = 0; /* the server's wait for one chunk; 0: its default */
  const char *include = nullptr, *exclude = nullptr, *dir_include = nullptr, *dir_exclude = nullptr,
             *misc_exclude = nullptr;
};
int qvsd_cli_rdir_open(qvsd_cli *c, const char *path, const qvsd_rdir_param *p);
int qvsd_cli_rdir_enum(qvsd_cli *c, const char *dir);
/* The next chunk into buf (at most len - 1 bytes, NUL-terminated): its length, 0 when nothing
 * came within the server's wait, or -1. */
int qvsd_cli_rdir_read(qvsd_cli *c, char *buf, uint32_t len);
int qvsd_cli_rdir_close(qvsd_cli *c);
/* Directories the walk listed but could not enter (path too long); -1 on failure. */
int64_t qvsd_cli_rdir_dropped(qvsd_cli *c);

/* Block digests of an open file (the hashing job runs on the server). */
int qvsd_cli_hash_init(qvsd_file *f, uint32_t flags, uint32_t bs, uint32_t block_count);
/* Digests the range and delivers its text (NUL-terminated): the text's length or -1. */
int qvsd_cli_hash_range(qvsd_file *f, uint64_t off, uint64_t len, char *text, size_t size);
/* Per-block records of the range last digested: bytes delivered or -1. */
int qvsd_cli_hash_get2(qvsd_file *f, char *buf, size_t len);
/* Binary digest of one algorithm: bytes delivered or -1. */
int qvsd_cli_hash_bin(qvsd_file *f, uint32_t flag, uint8_t *buf, size_t len);
int qvsd_cli_hash_close(qvsd_file *f);
/* The next data at or after off: 0 with [*data_off, *data_end), 1 when the rest is a hole, -1. */
/* XXH3-128 of the whole file as the server reads it from its disk, len (16) bytes into out. */
int qvsd_cli_file_digest(qvsd_file *f, uint8_t *out, size_t len);
int qvsd_cli_next_data(qvsd_file *f, uint64_t off, uint64_t *data_off, uint64_t *data_end);
