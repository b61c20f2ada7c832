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
  std::string list_arg;     /* the text of the last batch list prepared, kept for its capacity */
  int32_t list_code = 0;    /* its request code; 0 when none is prepared */
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
/* A status reply decoded against the long status policy (slots of qvsd_pol_stat) into *d; with
 * full false only the short reply's fields, the nanoseconds 0 and the st_ fields as they were. */
void qvsd_status_reply(const void *const *slots, bool full, os_dirent *d);

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

/* ---- Further descriptor and path commands (qvsd_more.cpp) ----
 * Thin wrappers of the commands that the copy engine does not use; each sends the members of
 * its qvsd_codes.h row in that order and converts the reply. 0 (or a count) or -1 with the error
 * in the context's error object. */

/* Block device list of the server's host (command 3) into *out. */
int qvsd_cli_lsblk(qvsd_cli *c, std::string *out);
/* Writes len bytes (at most QVSD_BS_FAST) as the named data `name` of path (command 9), the bytes
 * compressed with the context's codec. The count the server reports, or -1. */
int64_t qvsd_cli_write_named(qvsd_cli *c, const char *path, const char *name, int32_t flags, const void *buf,
                             uint32_t len);
/* The descriptor-only request (command 14) on a file or directory handle. */
int qvsd_cli_fd(void *h);

/* Descriptor information (command 19). */
struct qvsd_fdinfo {
  int32_t type = 0;
  int64_t len = 0;
  int64_t offset = 0;
  int32_t sector_bytes = 0;
  char info[4096] = {};
};
int qvsd_cli_fdinfo(void *h, qvsd_fdinfo *out);

/* Times in seconds and their nanosecond parts. */
struct qvsd_times {
  int64_t access = 0, write = 0, create = 0;
  uint32_t access_ns = 0, write_ns = 0, create_ns = 0;
};
/* Times of an open file: command 27 with the nanoseconds from "1.5.3", else command 22 (the
 * nanoseconds are then not sent). */
int qvsd_cli_futime(qvsd_file *f, const qvsd_times *t);
/* Range request on an open file (command 23); type goes to the server as it is. */
int qvsd_cli_range(qvsd_file *f, int32_t type, int64_t offset, int64_t len);

/* Windows-style create arguments of command 24 (the security attributes travel empty). */
struct qvsd_win_open {
  int32_t desire_access = 0;
  int32_t share_mode = 0;
  int32_t creat_disp = 0;
  int32_t flag_attrib = 0;
  int64_t temp_handle = 0;
};
/* Opens path with Windows-style arguments (command 24) or with a flag and a mode (command 25). The
 * handle joins the context's list and is closed with qvsd_cli_close; null on failure. */
qvsd_file *qvsd_cli_open_win(qvsd_cli *c, const char *path, const qvsd_win_open *w);
qvsd_file *qvsd_cli_open2(qvsd_cli *c, const char *path, int32_t flag, int32_t mode);
/* Status of path through the status commands: 7 (long reply) from "1.5.3", else 6, or with
 * qvsd_cli_stat2 command 28. An older server's short reply leaves the nanoseconds 0 and the st_
 * fields as they were. */
int qvsd_cli_stat_cmd(qvsd_cli *c, const char *path, os_dirent *d);
int qvsd_cli_stat2(qvsd_cli *c, const char *path, os_dirent *d);

/* Extended positioned write of len bytes at off: ioctl2 10108 from "1.6.2" (mode is not part of
 * that request), command 50 with mode on older servers, -12 before "1.5.2". The count the server
 * reports, or -1. */
int64_t qvsd_cli_pwritex(qvsd_file *f, int64_t off, uint32_t len, int32_t mode);

/* Pre-compressed transfers: one exchange each, at off (or at the handle's position when off is
 * -1), the positioned commands from "1.6.4" and a seek before on older servers.
 * qvsd_cli_read_packed asks for len plain bytes and delivers the compressed bytes unchanged into
 * buf (size bytes), the plain length into *plain; more than 2 * len compressed bytes fail. Returns
 * the compressed count or -1. qvsd_cli_write_packed sends packed_len bytes the caller compressed
 * with the context's codec, plain_len being their size; returns the plain count written or -1. */
int64_t qvsd_cli_read_packed(qvsd_file *f, uint32_t len, int64_t off, void *buf, size_t size, uint32_t *plain);
int64_t qvsd_cli_write_packed(qvsd_file *f, const void *packed, uint32_t packed_len, uint32_t plain_len, int64_t off);

/* ---- File ioctl codes (qvsd_more.cpp) ---- */

/* The whole file ioctl: codes 0, 2, 6 and 7 are served by their commands with arg pointing at a
 * qvsd_fdinfo (filled), an os_dirent (filled), a qvsd_times or a qvsd_range (sent) and len its
 * size; code 1 sends nothing and returns qvsd_cli_err_class; every other code goes out as
 * command 20 through qvsd_cli_ioctl. 0 (the class for code 1) or -1. */
struct qvsd_range {
  int32_t type = 0;
  int64_t offset = 0;
  int64_t len = 0;
};
int qvsd_cli_file_ioctl(void *h, int32_t code, void *arg, int len);
/* Class of the last server error, by the server's OS type: 0 none, 1 an I/O error, 2 a missing
 * device, 3 any other. Nothing is sent. */
int qvsd_cli_err_class(const void *h);

/* Selects the compression of data payloads (at most ZCOMP_NAME_MAX characters); the codec is
 * opened again afterwards even when the name is the one in use. */
int qvsd_cli_set_pack(qvsd_cli *c, const char *name);
/* Times of path following links (10029); a final link's target gets them. */
int qvsd_cli_utime(qvsd_cli *c, const char *path, const qvsd_times *t);
/* Attributes of an open file without closing it (10039). */
int qvsd_cli_set_attr(qvsd_file *f, const file_attr *attr);
/* Creates every name of the zz-string names (each NUL-terminated, the list ended by an empty
 * name) in one request (10041), with attr and its link name for each; an empty list fails with
 * result code 9 and sends nothing. */
int qvsd_cli_create_file_or_dir_zz(qvsd_cli *c, const char *names, const file_attr *attr);
/* Read and write timeouts of the handle's descriptor on the server (10100, 10105). */
int qvsd_cli_set_read_timeout(qvsd_file *f, int ms);
int qvsd_cli_set_write_timeout(qvsd_file *f, int ms);

/* ---- ioctl2 codes (qvsd_more.cpp) ---- */

/* The server's capability text (key=value lines separated by CR LF) into *out. */
int qvsd_cli_caps(qvsd_cli *c, std::string *out);
/* Whether the server lets a client set the read-only attribute: 1 or 0 ("allow_set_readonly" other
 * than "0"; a missing key is 0), -1 on failure; needs "1.6.1". */
int qvsd_cli_allow_set_readonly(qvsd_cli *c);
/* Sends account settings (key=value lines separated by LF or CR LF). The values of "user" and
 * "passwd" travel as Base64 of their RC4 encryption under the login key, each value with a fresh
 * cipher state; other lines go as they are. Needs a key login (-37 otherwise, nothing sent). */
int qvsd_cli_set_account(qvsd_cli *c, const char *text);
/* The opaque two-text query of the endpoint layer; neither text may hold a tab or a line feed. The
 * reply text into *out (at most max bytes). */
int qvsd_cli_query(qvsd_cli *c, const char *a, const char *b, std::string *out, int max = 64 * 1024);
/* The server's 11 counters for arg (ioctl2 10001). */
constexpr int QVSD_COUNTERS = 11;
int qvsd_cli_counters(qvsd_cli *c, const char *arg, uint64_t out[QVSD_COUNTERS]);
/* Continues a directory listing from entry index; the handle's buffered batch is dropped. */
int qvsd_cli_dir_seek(qvsd_dir *d, uint64_t index);

/* Block counting job of an open file (10106, needs "1.6.2"): the handle's descriptor, then flags,
 * block size, block count and a state text (no tab or line feed) as the server defines them. */
int qvsd_cli_bcount_init(qvsd_file *f, int32_t flags, uint32_t bs, int32_t block_count, const char *state);
/* Result of the job for a range (10107) into buf: bytes delivered or -1. */
int qvsd_cli_bcount_get(qvsd_file *f, int64_t off, uint32_t len, void *buf, size_t size);
/* ioctl2 10109 on an open file (needs "1.6.2"): its descriptor and two numbers the server defines. */
int qvsd_cli_hash_10109(qvsd_file *f, uint32_t v1, uint32_t v2);
/* The server's hash width word (10110): 1023 for servers older than "1.6.3", nothing sent then.
 * The value or -1. */
int64_t qvsd_cli_hash_bits(void *h);
/* Mounts a volume shadow copy on the server (10111, needs "1.6.7"); arg goes as it is. The reply
 * (at most 4096 bytes) into out, NUL-terminated: its length or -1. */
int qvsd_cli_vss_mount(qvsd_cli *c, const char *arg, char *out, size_t size);

/* ---- Batch-list service (qvsd_mfile.cpp) ---- */
struct qvsd_mfile_param {
  int32_t max_mfile_size = 0; /* data buffer of the service */
  int32_t timeout_ms = 0;     /* result wait */
  int32_t remove_flags = 0;
  uint32_t uid = 0xFFFFFFFFu, gid = 0xFFFFFFFFu; /* owner of directories the sync list creates */
  uint32_t mode = 0;          /* mode word, carried as it is */
  uint32_t dir_mode = 0;      /* mode of directories the sync list creates */
  /* QVSD_MFILE_F_*; sent as an eighth field only when not 0, to servers of QVSD_VER_OWN_CODES. */
  uint32_t flags = 0;
};
int qvsd_cli_mfile_open(qvsd_cli *c, const qvsd_mfile_param *p);
int qvsd_cli_mfile_close(qvsd_cli *c);
/* Results of the job into buf (len bytes); prefix names the caller in the server's log (may be
 * null). Bytes delivered, or -1. */
int qvsd_cli_mfile_result(qvsd_cli *c, const char *prefix, char *buf, uint32_t len);
/* Code of a batch type (1-5, 8, 9), 0 for a type with no remote request. */
int32_t qvsd_mfile_code(int type);
/* One batch call of type on base directory dir with list (list_len bytes of lines). dir and list
 * are each escaped; either may be absent (null or empty): both give dir, a tab and list, only
 * dir gives dir, only list gives a tab and list. Type 5 never sends a list. For type 9 dir is a
 * zz-string (base directory, directory of the new links) escaped whole. Types without a remote
 * request (6, 7, unknown) fail with -2 and "invaild type=%d", nothing sent. */
int qvsd_cli_mfile_call(qvsd_cli *c, int type, const char *dir, const char *list, size_t list_len);
/* The same for a job opened with QVSD_MFILE_F_DIGESTS: a list goes with its digest, which the
 * server checks before the job sees a line (a damaged list fails with -466, nothing of it done). */
int qvsd_cli_mfile_call_checked(qvsd_cli *c, int type, const char *dir, const char *list, size_t list_len);
/* The two halves of a call, for a caller that sends from another thread than the one that has the
 * list. prepare builds the request text into c (nothing is sent; -1 on a bad type, with the error
 * of the call); send sends it and reads the reply: 0, -1 as the call, or QVSD_MFILE_DAMAGED when
 * the server answered that the list came damaged (-466) and did none of it. The text stays in c
 * until the next prepare, so such a list may be sent again; after any other failure it may not
 * (a reply that could not be read may follow a list the server ran). */
constexpr int QVSD_MFILE_DAMAGED = -2;
int qvsd_cli_mfile_prepare(qvsd_cli *c, int type, const char *dir, const char *list, size_t list_len, bool checked);
int qvsd_cli_mfile_send(qvsd_cli *c);

/* ---- Multi-block transfers (qvsd_mfile.cpp), servers from QVSD_VER_MULTI ----
 * Up to count blocks of bl bytes at off in one exchange; each block travels compressed with the
 * context's codec. The read returns the bytes delivered into buf (count * bl bytes of room), a
 * short block ending the file; the write sends len bytes as ceil(len / bl) blocks and returns the
 * count the server wrote. The handle's position ends after the bytes moved. -1 on failure; a
 * request whose blocks cannot fit one frame fails with -2 before anything is sent. */
int64_t qvsd_cli_pread_multi(qvsd_file *f, void *buf, uint32_t bl, uint32_t count, int64_t off);
int64_t qvsd_cli_pwrite_multi(qvsd_file *f, const void *buf, int64_t len, uint32_t bl, int64_t off);
