#pragma once
/* The wire codes of the file service, one table for the client and the server: every command with
 * its request members and reply policy, and every code carried by the file ioctl (command 20) and
 * the ioctl2 (command 8) with its argument, reply and the server version it needs.
 *
 * A code whose server is older than its version is refused by the client with -12 before
 * anything is sent; a server that does not know a code answers with a nonzero "errno". */
#include <cstddef>
#include <cstdint>

#include "libqvsd/qvsd_wire.h"

/* ---- Commands (byte 3 of a frame) ---- */
enum : uint8_t {
  QVSD_CMD_LOGIN = 1,
  QVSD_CMD_EXIT = 2,
  QVSD_CMD_LSBLK = 3,
  QVSD_CMD_INFO = 4,
  QVSD_CMD_STATFS = 5,
  QVSD_CMD_STAT = 6,
  QVSD_CMD_STAT_L = 7,
  QVSD_CMD_IOCTL2 = 8,
  QVSD_CMD_WRITE_NAMED = 9,
  QVSD_CMD_OPEN = 10,
  QVSD_CMD_CLOSE = 11,
  QVSD_CMD_READ = 12,
  QVSD_CMD_WRITE = 13,
  QVSD_CMD_FD = 14,
  QVSD_CMD_SEEK = 15,
  QVSD_CMD_SETLEN = 16,
  QVSD_CMD_FDINFO = 19,
  QVSD_CMD_IOCTL = 20,
  QVSD_CMD_FSTAT = 21,
  QVSD_CMD_FUTIME = 22,
  QVSD_CMD_RANGE = 23,
  QVSD_CMD_OPEN_WIN = 24,
  QVSD_CMD_OPEN2 = 25,
  QVSD_CMD_FSTAT_L = 26,
  QVSD_CMD_FUTIME_L = 27,
  QVSD_CMD_STAT2 = 28,
  QVSD_CMD_PREAD = 29,
  QVSD_CMD_PWRITE = 30,
  QVSD_CMD_OPENDIR = 41,
  QVSD_CMD_READDIR = 42,
  QVSD_CMD_CLOSEDIR = 43,
  QVSD_CMD_READDIR_L = 44,
  QVSD_CMD_OPENDIR2 = 45,
  QVSD_CMD_PWRITEX_OLD = 50,
  QVSD_CMD_LOGIN_CHALLENGE = 90,
  QVSD_CMD_LOGIN_KEY = 91,
};

/* ---- File ioctl codes (command 20) ---- */
enum : int32_t {
  QVSD_IOCTL_FDINFO = 0, /* served as command 19 */
  QVSD_IOCTL_ERR_CLASS = 1, /* served locally, nothing sent */
  QVSD_IOCTL_FSTAT = 2,  /* served as command 21 / 26 */
  QVSD_IOCTL_FUTIME = 6, /* served as command 22 / 27 */
  QVSD_IOCTL_RANGE = 7,  /* served as command 23 */
  QVSD_IOCTL_PACK = 10001,
  QVSD_IOCTL_PING = 10002,
  QVSD_IOCTL_UTIME = 10029,
  QVSD_IOCTL_LUTIME = 10030,
  QVSD_IOCTL_RMDIR2 = 10036,
  QVSD_IOCTL_REMOVE2 = 10037,
  QVSD_IOCTL_SET_ATTR_PATH = 10038,
  QVSD_IOCTL_SET_ATTR = 10039,
  QVSD_IOCTL_CREATE = 10040,
  QVSD_IOCTL_CREATE_ZZ = 10041,
  QVSD_IOCTL_MKDIR_P = 10042,
  QVSD_IOCTL_CLOSE_ATTR = 10043,
  QVSD_IOCTL_READ_TIMEOUT = 10100,
  QVSD_IOCTL_WRITE_TIMEOUT = 10105,
};

/* ---- ioctl2 codes (command 8) ---- */
enum : int32_t {
  QVSD_IOCTL2_CAPS = 10,
  QVSD_IOCTL2_SET_ACCOUNT = 11,
  QVSD_IOCTL2_QUERY = 12,
  /* The resume procedure; none of them resumes itself. */
  QVSD_IOCTL2_CTX_KEEP = 101,
  QVSD_IOCTL2_CTX_ID = 102,
  QVSD_IOCTL2_GET_LAST_CMD_IDX = 103,
  QVSD_IOCTL2_ATTACH_CTX = 104,
  QVSD_IOCTL2_ATTACH_CTX_REPLY = 105, /* no reply of its own */
  QVSD_IOCTL2_CTX_RUN_STATUS = 106,
  QVSD_IOCTL2_CTX_REQ_STOP = 107,
  QVSD_IOCTL2_STAT = 10006,
  QVSD_IOCTL2_DIR_SEEK = 10050,
  QVSD_IOCTL2_HASH_INIT = 10103,
  QVSD_IOCTL2_HASH_RANGE = 10104,
  QVSD_IOCTL2_HASH_BLOCK = 10105,
  QVSD_IOCTL2_BCOUNT_INIT = 10106,
  QVSD_IOCTL2_PWRITEX = 10108,
  QVSD_IOCTL2_HASH_BITS = 10110,
  QVSD_IOCTL2_VSS_MOUNT = 10111,
  QVSD_IOCTL2_HASH_GET2 = 10113,
  QVSD_IOCTL2_RDIR_OPEN = 10120,
  QVSD_IOCTL2_RDIR_CLOSE = 10121,
  QVSD_IOCTL2_RDIR_ENUM = 10122,
  QVSD_IOCTL2_RDIR_READ = 10123,
  QVSD_IOCTL2_MFILE_OPEN = 10130,
  QVSD_IOCTL2_MFILE_CLOSE = 10131,
  QVSD_IOCTL2_MFILE_RESULT = 10132,
  QVSD_IOCTL2_MFILE_CALL_FIRST = 10133,
  QVSD_IOCTL2_MFILE_CALL_LAST = 10141,

  /* Codes of this system's own server, in the range 10500-10599 that older servers never used.
   * Each needs the server version QVSD_VER_OWN_CODES (multi-block transfers: QVSD_VER_MULTI). */
  QVSD_IOCTL2_OWN_FIRST = 10500,
  /* Owner and group ids by name on the server's host. Argument "%s\t%s": escaped user name,
   * escaped group name (either may be empty). Reply "%lld\t%lld": uid and gid, -1 for a name the
   * host does not know or an empty one. */
  QVSD_IOCTL2_LOOKUP_IDS = 10500,
  /* Multi-block read on a file handle. Argument "%lld\t%u\t%u": offset, block length, block
   * count. Reply: per block a 4-byte big-endian plain length, a 4-byte big-endian compressed
   * length and the compressed bytes; a block shorter than the block length ends the file. */
  QVSD_IOCTL2_PREAD_MULTI = 10501,
  /* Multi-block write on a file handle. Argument: the text "%lld\t%u\t%u\n" (offset, block
   * length, block count) followed by the blocks in the form of the multi-block read. Reply: the
   * decimal count of bytes written. */
  QVSD_IOCTL2_PWRITE_MULTI = 10502,
  /* Ordered per-block window digests of a file handle. Argument "%lld\t%u\t%u": offset, block
   * length, block count. Reply: one line per block in file order, 16 lower-case hex digits of
   * the block's XXH3-64, a block past the end giving no line. */
  QVSD_IOCTL2_BLOCK_DIGESTS = 10503,
  /* Whole-file digest of a file handle for verification. Argument: the algorithm name ("xxh3",
   * "sha256"). Reply: the digest as lower-case hex text. */
  QVSD_IOCTL2_FILE_DIGEST = 10504,
  /* Output lock of a run on a root directory. Argument "%s\t%u\t%s": escaped root path, 1 take
   * or 0 release, the holder's text (host and process). Reply: "" when granted, else the text of
   * the holder; the server's "errno" is -115 while another run holds it. */
  QVSD_IOCTL2_OUTPUT_LOCK = 10505,
  /* The next data of a file handle at or after an offset. Argument "%lld": the offset. Reply
   * "%llu\t%llu\t%d": start and end of that data, then 1 when the rest of the file is a hole
   * (the two numbers are then meaningless), else 0. */
  QVSD_IOCTL2_NEXT_DATA = 10506,
  /* Ends the block-digest job of a file handle (10103). No argument, no reply. */
  QVSD_IOCTL2_HASH_CLOSE = 10507,
  /* Directories of the open walk that were listed but not entered because their path was too
   * long. No argument. Reply: the decimal count. */
  QVSD_IOCTL2_RDIR_DROPPED = 10508,
  /* Makes a further name for an entry. Argument "%s\t%s": escaped target path, escaped new path;
   * whatever is at the new path is replaced. No reply. */
  QVSD_IOCTL2_HARD_LINK = 10509,
  /* Renames. Argument "%s\t%s\t%d": escaped old path, escaped new path, 1 when an existing new
   * path must not be replaced (the "errno" is then -105). No reply. */
  QVSD_IOCTL2_RENAME = 10510,
  /* One extended attribute of a path, not following a final link. Argument "%s\t%s": escaped
   * path, escaped attribute name. Reply: the value's bytes (a value longer than "olen" fails with
   * -42 rather than being cut). */
  QVSD_IOCTL2_XATTR_GET = 10511,
  /* Sets one extended attribute. Argument: "%s\t%s\t" (escaped path, escaped name) followed by
   * the value's raw bytes up to the end of the argument. No reply. */
  QVSD_IOCTL2_XATTR_SET = 10512,
  QVSD_IOCTL2_OWN_LAST = 10599,
};

/* Open flag of this system's own server (command 10 "mode"): a file with further names (hard
 * links) is not written through; the name is replaced by a new file first. Needs
 * QVSD_VER_OWN_CODES. */
constexpr int64_t QVSD_O_SOLE = 0x200000;

/* Batch job flags of this system's own server, sent as an eighth field ("%x") of the job's open
 * argument (10130). QVSD_MFILE_F_DIGESTS: the result of each entry a file-write line (type 3)
 * makes carries the XXH3-128 digest of that line as the server received it (name, attributes and
 * Base64 data), "0\t<bytes>\t<32 hex digits>\n", for the sender to compare with the line it
 * sent; a line that does not parse gets "1\t-466\n" and the list goes on. Each plain data block of
 * a read list (type 1) ends with the digest of its data, counted in the block's length. The calls of such a
 * job (10133-10141) that carry a list end their argument with a tab and the XXH3-128 digest of
 * the list (before escaping) in 32 lower-case hex digits; the server checks it before the job sees
 * the list and refuses a damaged one with -466. Needs QVSD_VER_OWN_CODES. */
constexpr uint32_t QVSD_MFILE_F_DIGESTS = 0x1;

/* ---- Tree requests of the remote endpoint ----
 * Paths are paths of the export ("/" is its root), escaped by the rules of pl_escape.h; a
 * zz-string path (a stream entry: path, kind, stream name) is escaped whole with its NULs. The
 * client sends, the server runs the same operation of its local endpoint on the export:
 *
 *   status by path      ioctl2 10006  "%s\t%x"                 reply: long entry line
 *   volume information  command 5 (statfs) on the path
 *   set times           ioctl 10030   "%s\t%lu\t%lu\t%lu\t%u\t%u\t%u" (access, write, creation
 *                                      seconds, then their nanoseconds), not following a final link
 *   remove a directory  ioctl 10036   "%s\t%d": 0 an empty directory, 1 the whole tree below it
 *   remove an entry     ioctl 10037   "%s\t%d": path, the endpoint's remove flags
 *   set attributes      ioctl 10038   "%s\t" + attribute text (8 fields)
 *   create              ioctl 10040   "%s\t%s\t" + attribute text, then optionally "\t%x\t%llx":
 *                                      the create flags (EP_C_*) and the device number
 *   make directories    ioctl 10042   "%s" or "%s\t%o": path, mode of the new directories
 *   open a walk         ioctl2 10120  "%s\t%x\t%d\t%s\t%s\t%s\t%s\t%s": the listed root, the
 *                                      listing flags, the read time-out in ms, the five patterns
 *   walk a directory    ioctl2 10122  "%s": a directory at or below the walk's root
 *   read the walk       ioctl2 10123  reply: the next listing chunk (up to "olen" - 1 bytes;
 *                                      empty when nothing came within the read time-out)
 *   close the walk      ioctl2 10121
 *   block digests       ioctl2 10103 "%lx\t%u\t%u\t%u\t%s" on the file handle ("fd" member):
 *                                      handle, flags, block size, blocks per window, "";
 *                                      10104 "%lld\t%u" digest text of a range; 10113 the
 *                                      per-block records of the last range; 10105 "%u" the binary
 *                                      digest of one algorithm; 10507 ends the job
 * A request that would change the tree of a read-only export fails with -38 (VERR_ACCESS). */

/* Versions the client compares with the server's "ver". */
#define QVSD_VER_MIN_RUN "1.7.9" /* older servers are refused by the engine */
#define QVSD_VER_MULTI "1.8.2"
#define QVSD_VER_OWN_CODES "1.9.0"

/* ---- Reply policies: "errno" and "errno_str" first, then the command's fields ---- */
#define QVSD_POLICY_HEAD {"errno", QVSD_T_INT32}, {"errno_str", QVSD_T_STRING}
inline constexpr qvsd_policy qvsd_pol_plain[] = {QVSD_POLICY_HEAD};
inline constexpr qvsd_policy qvsd_pol_login[] = {QVSD_POLICY_HEAD, {"os_type", QVSD_T_INT32}};
inline constexpr qvsd_policy qvsd_pol_challenge[] = {QVSD_POLICY_HEAD, {"ver", QVSD_T_INT32},
                                                     {"cert", QVSD_T_STRING}};
inline constexpr qvsd_policy qvsd_pol_lsblk[] = {QVSD_POLICY_HEAD, {"lsblk", QVSD_T_STRING}};
inline constexpr qvsd_policy qvsd_pol_info[] = {QVSD_POLICY_HEAD, {"info", QVSD_T_STRING}};
inline constexpr qvsd_policy qvsd_pol_statfs[] = {
    QVSD_POLICY_HEAD,           {"flags", QVSD_T_INT32},       {"name_len", QVSD_T_INT32},
    {"avail_bytes", QVSD_T_INT64}, {"free_bytes", QVSD_T_INT64}, {"total_bytes", QVSD_T_INT64},
    {"fs_name", QVSD_T_STRING},    {"vol_name", QVSD_T_STRING}};
/* The long status reply; the short one is its first 10 entries. */
inline constexpr qvsd_policy qvsd_pol_stat[] = {
    QVSD_POLICY_HEAD,
    {"type", QVSD_T_INT32},          {"attrib_mode", QVSD_T_INT32},    {"uid", QVSD_T_INT32},
    {"gid", QVSD_T_INT32},           {"len", QVSD_T_INT64},            {"time_access", QVSD_T_INT64},
    {"time_write", QVSD_T_INT64},    {"time_create", QVSD_T_INT64},    {"time_access_ns", QVSD_T_INT32},
    {"time_write_ns", QVSD_T_INT32}, {"time_create_ns", QVSD_T_INT32}, {"st_nlink", QVSD_T_INT64},
    {"st_dev", QVSD_T_INT64},        {"st_rdev", QVSD_T_INT64},        {"st_ino", QVSD_T_INT64},
    {"st_blksize", QVSD_T_INT64},    {"st_blocks", QVSD_T_INT64}};
constexpr int QVSD_POL_STAT_SHORT = 10;
inline constexpr qvsd_policy qvsd_pol_data[] = {QVSD_POLICY_HEAD, {"data", QVSD_T_RAW}};
inline constexpr qvsd_policy qvsd_pol_len[] = {QVSD_POLICY_HEAD, {"len", QVSD_T_INT32}};
inline constexpr qvsd_policy qvsd_pol_fd[] = {QVSD_POLICY_HEAD, {"fd", QVSD_T_INT64}};
inline constexpr qvsd_policy qvsd_pol_read[] = {QVSD_POLICY_HEAD, {"len", QVSD_T_INT32},
                                                {"flags", QVSD_T_INT32}, {"data", QVSD_T_RAW}};
/* Reads and writes of this system's own server may ask, with the request member "digest" (int32
 * 1), for the running XXH3-128 of what the handle has read or written: the reply then carries a
 * string member "digest" beside those of its policy: the lower-case hex digest of bytes [0, end
 * of this transfer) when every transfer of that direction ran on from offset 0 without a gap,
 * else "". Needs QVSD_VER_OWN_CODES; a server without it leaves the member out. */
inline constexpr qvsd_policy qvsd_pol_seek[] = {QVSD_POLICY_HEAD, {"offset", QVSD_T_INT64}};
inline constexpr qvsd_policy qvsd_pol_fdinfo[] = {
    QVSD_POLICY_HEAD,         {"type", QVSD_T_INT32},         {"len", QVSD_T_INT64},
    {"offset", QVSD_T_INT64}, {"sector_bytes", QVSD_T_INT32}, {"info", QVSD_T_STRING}};
inline constexpr qvsd_policy qvsd_pol_readdir[] = {QVSD_POLICY_HEAD, {"len", QVSD_T_INT32},
                                                   {"data", QVSD_T_RAW}};

/* ---- Request members ---- */
#define QVSD_M(n, t) {n, QVSD_T_##t}
inline constexpr qvsd_policy qvsd_req_login[] = {QVSD_M("user", STRING), QVSD_M("passwd", STRING)};
inline constexpr qvsd_policy qvsd_req_param[] = {QVSD_M("param", STRING)};
inline constexpr qvsd_policy qvsd_req_path[] = {QVSD_M("path", STRING)};
inline constexpr qvsd_policy qvsd_req_ioctl2[] = {QVSD_M("fd", INT64), QVSD_M("cmd", INT32), QVSD_M("data", RAW),
                                                  QVSD_M("olen", INT32)};
inline constexpr qvsd_policy qvsd_req_write_named[] = {QVSD_M("path", STRING), QVSD_M("name", STRING),
                                                       QVSD_M("flags", INT32), QVSD_M("len", INT32),
                                                       QVSD_M("data", RAW)};
inline constexpr qvsd_policy qvsd_req_open[] = {QVSD_M("path", STRING), QVSD_M("mode", INT64)};
inline constexpr qvsd_policy qvsd_req_fd[] = {QVSD_M("fd", INT64)};
inline constexpr qvsd_policy qvsd_req_read[] = {QVSD_M("fd", INT64), QVSD_M("len", INT32)};
inline constexpr qvsd_policy qvsd_req_pread[] = {QVSD_M("fd", INT64), QVSD_M("len", INT32), QVSD_M("offset", INT64)};
inline constexpr qvsd_policy qvsd_req_write[] = {QVSD_M("fd", INT64), QVSD_M("flags", INT32), QVSD_M("len", INT32),
                                                 QVSD_M("data", RAW)};
inline constexpr qvsd_policy qvsd_req_pwrite[] = {QVSD_M("fd", INT64), QVSD_M("flags", INT32), QVSD_M("len", INT32),
                                                  QVSD_M("offset", INT64), QVSD_M("data", RAW)};
inline constexpr qvsd_policy qvsd_req_seek[] = {QVSD_M("fd", INT64), QVSD_M("offset", INT64), QVSD_M("mode", INT64)};
inline constexpr qvsd_policy qvsd_req_setlen[] = {QVSD_M("fd", INT64), QVSD_M("len", INT64)};
inline constexpr qvsd_policy qvsd_req_ioctl[] = {QVSD_M("fd", INT64), QVSD_M("cmd", INT32), QVSD_M("len", INT32),
                                                 QVSD_M("data", RAW)};
inline constexpr qvsd_policy qvsd_req_futime[] = {QVSD_M("fd", INT64), QVSD_M("time_access", INT64),
                                                  QVSD_M("time_write", INT64), QVSD_M("time_create", INT64)};
inline constexpr qvsd_policy qvsd_req_futime_l[] = {
    QVSD_M("fd", INT64),           QVSD_M("time_access", INT64),   QVSD_M("time_write", INT64),
    QVSD_M("time_create", INT64),  QVSD_M("time_access_ns", INT32), QVSD_M("time_write_ns", INT32),
    QVSD_M("time_create_ns", INT32)};
inline constexpr qvsd_policy qvsd_req_range[] = {QVSD_M("fd", INT64), QVSD_M("type", INT32), QVSD_M("offset", INT64),
                                                 QVSD_M("len", INT64)};
inline constexpr qvsd_policy qvsd_req_open_win[] = {
    QVSD_M("path", STRING),      QVSD_M("desire_access", INT32), QVSD_M("share_mode", INT32),
    QVSD_M("sec_attrib", STRING), QVSD_M("creat_disp", INT32),   QVSD_M("flag_attrib", INT32),
    QVSD_M("temp_handle", INT64)};
inline constexpr qvsd_policy qvsd_req_open2[] = {QVSD_M("path", STRING), QVSD_M("flag", INT32), QVSD_M("mode", INT32)};
inline constexpr qvsd_policy qvsd_req_opendir[] = {QVSD_M("path", STRING), QVSD_M("pattern", STRING)};
inline constexpr qvsd_policy qvsd_req_readdir[] = {QVSD_M("fd", INT64), QVSD_M("len", INT32)};
inline constexpr qvsd_policy qvsd_req_opendir2[] = {QVSD_M("path", STRING), QVSD_M("pattern", STRING),
                                                    QVSD_M("flag", INT32)};
inline constexpr qvsd_policy qvsd_req_pwritex_old[] = {QVSD_M("fd", INT64), QVSD_M("mode", INT32), QVSD_M("len", INT32),
                                                       QVSD_M("offset", INT64)};
inline constexpr qvsd_policy qvsd_req_challenge[] = {QVSD_M("user", STRING), QVSD_M("ver", INT32)};
inline constexpr qvsd_policy qvsd_req_lkey[] = {QVSD_M("lkey", STRING)};
#undef QVSD_M

/* Room a reply needs beyond its data: the members' headers and an "errno_str" of up to 4095
 * characters. */
constexpr uint32_t QVSD_REPLY_OVERHEAD = 8192;

/* One command. reply_max: the largest reply body the client accepts for it, 0 when it depends on
 * the request (data transfers: the request's own limit). */
struct qvsd_cmd_desc {
  uint8_t code;
  const char *name;
  const qvsd_policy *req;
  uint8_t nreq;
  const qvsd_policy *reply; /* null: no reply is awaited */
  uint8_t nreply;
  const char *min_ver;      /* null: every server */
  uint32_t reply_max;
};

#define QVSD_N(a) (uint8_t)(sizeof(a) / sizeof((a)[0]))
#define QVSD_CMD(c, n, rq, rp, v, m) {c, n, rq, QVSD_N(rq), rp, QVSD_N(rp), v, m}
#define QVSD_CMD0(c, n, rp, v, m) {c, n, nullptr, 0, rp, QVSD_N(rp), v, m}
inline constexpr qvsd_cmd_desc qvsd_cmd_table[] = {
    QVSD_CMD(QVSD_CMD_LOGIN, "login", qvsd_req_login, qvsd_pol_login, nullptr, QVSD_REPLY_OVERHEAD),
    {QVSD_CMD_EXIT, "exit", nullptr, 0, nullptr, 0, nullptr, 0},
    QVSD_CMD(QVSD_CMD_LSBLK, "lsblk", qvsd_req_param, qvsd_pol_lsblk, nullptr, 1u << 20),
    QVSD_CMD(QVSD_CMD_INFO, "info", qvsd_req_param, qvsd_pol_info, nullptr, QVSD_REPLY_OVERHEAD + 4096),
    QVSD_CMD(QVSD_CMD_STATFS, "statfs", qvsd_req_path, qvsd_pol_statfs, nullptr, QVSD_REPLY_OVERHEAD + 512),
    QVSD_CMD(QVSD_CMD_STAT, "stat", qvsd_req_path, qvsd_pol_stat, nullptr, QVSD_REPLY_OVERHEAD + 512),
    QVSD_CMD(QVSD_CMD_STAT_L, "stat_l", qvsd_req_path, qvsd_pol_stat, "1.5.3", QVSD_REPLY_OVERHEAD + 512),
    QVSD_CMD(QVSD_CMD_IOCTL2, "ioctl2", qvsd_req_ioctl2, qvsd_pol_data, nullptr, 0),
    QVSD_CMD(QVSD_CMD_WRITE_NAMED, "write_named", qvsd_req_write_named, qvsd_pol_len, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_OPEN, "open", qvsd_req_open, qvsd_pol_fd, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_CLOSE, "close", qvsd_req_fd, qvsd_pol_plain, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_READ, "read", qvsd_req_read, qvsd_pol_read, nullptr, 0),
    QVSD_CMD(QVSD_CMD_WRITE, "write", qvsd_req_write, qvsd_pol_len, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_FD, "fd", qvsd_req_fd, qvsd_pol_plain, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_SEEK, "seek", qvsd_req_seek, qvsd_pol_seek, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_SETLEN, "setlen", qvsd_req_setlen, qvsd_pol_plain, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_FDINFO, "fdinfo", qvsd_req_fd, qvsd_pol_fdinfo, nullptr, QVSD_REPLY_OVERHEAD + 4096),
    QVSD_CMD(QVSD_CMD_IOCTL, "ioctl", qvsd_req_ioctl, qvsd_pol_plain, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_FSTAT, "fstat", qvsd_req_fd, qvsd_pol_stat, nullptr, QVSD_REPLY_OVERHEAD + 512),
    QVSD_CMD(QVSD_CMD_FUTIME, "futime", qvsd_req_futime, qvsd_pol_plain, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_RANGE, "range", qvsd_req_range, qvsd_pol_plain, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_OPEN_WIN, "open_win", qvsd_req_open_win, qvsd_pol_fd, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_OPEN2, "open2", qvsd_req_open2, qvsd_pol_fd, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_FSTAT_L, "fstat_l", qvsd_req_fd, qvsd_pol_stat, "1.5.3", QVSD_REPLY_OVERHEAD + 512),
    QVSD_CMD(QVSD_CMD_FUTIME_L, "futime_l", qvsd_req_futime_l, qvsd_pol_plain, "1.5.3", QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_STAT2, "stat2", qvsd_req_path, qvsd_pol_stat, nullptr, QVSD_REPLY_OVERHEAD + 512),
    QVSD_CMD(QVSD_CMD_PREAD, "pread", qvsd_req_pread, qvsd_pol_read, "1.6.4", 0),
    QVSD_CMD(QVSD_CMD_PWRITE, "pwrite", qvsd_req_pwrite, qvsd_pol_len, "1.6.4", QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_OPENDIR, "opendir", qvsd_req_opendir, qvsd_pol_fd, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_READDIR, "readdir", qvsd_req_readdir, qvsd_pol_readdir, nullptr, 0),
    QVSD_CMD(QVSD_CMD_CLOSEDIR, "closedir", qvsd_req_fd, qvsd_pol_plain, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_READDIR_L, "readdir_l", qvsd_req_readdir, qvsd_pol_readdir, "1.5.3", 0),
    QVSD_CMD(QVSD_CMD_OPENDIR2, "opendir2", qvsd_req_opendir2, qvsd_pol_fd, "1.8.5", QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_PWRITEX_OLD, "pwritex_old", qvsd_req_pwritex_old, qvsd_pol_len, nullptr, QVSD_REPLY_OVERHEAD),
    QVSD_CMD(QVSD_CMD_LOGIN_CHALLENGE, "login_challenge", qvsd_req_challenge, qvsd_pol_challenge, nullptr,
             QVSD_REPLY_OVERHEAD + 512),
    QVSD_CMD(QVSD_CMD_LOGIN_KEY, "login_key", qvsd_req_lkey, qvsd_pol_plain, nullptr, QVSD_REPLY_OVERHEAD),
};
#undef QVSD_CMD
#undef QVSD_CMD0

/* One code of the two carriers. */
struct qvsd_ioctl_desc {
  int32_t code;
  uint8_t carrier;       /* QVSD_CMD_IOCTL or QVSD_CMD_IOCTL2 */
  const char *name;
  const char *arg;       /* the argument's printf form, "" for none, "bytes" for opaque bytes */
  const char *reply;     /* "" none, "text", "bytes", "hex", "decimal" */
  const char *min_ver;   /* null: every server */
};

inline constexpr qvsd_ioctl_desc qvsd_ioctl_table[] = {
    /* file ioctl */
    {QVSD_IOCTL_PACK, QVSD_CMD_IOCTL, "pack", "%s", "", nullptr},
    {QVSD_IOCTL_PING, QVSD_CMD_IOCTL, "ping", "", "", nullptr},
    {10013, QVSD_CMD_IOCTL, "text_10013", "%s", "", nullptr},
    {10014, QVSD_CMD_IOCTL, "text_10014", "%s", "", nullptr},
    {10015, QVSD_CMD_IOCTL, "text_10015", "%s", "", nullptr},
    {10016, QVSD_CMD_IOCTL, "path_pair_mode", "%s\t%s\t%u", "", nullptr},
    {10018, QVSD_CMD_IOCTL, "path_u_10018", "%s\t%u", "", nullptr},
    {10019, QVSD_CMD_IOCTL, "path_u_10019", "%s\t%u", "", nullptr},
    {10020, QVSD_CMD_IOCTL, "path_u_10020", "%s\t%u", "", nullptr},
    {10021, QVSD_CMD_IOCTL, "path_u_llu", "%s\t%u\t%llu", "", nullptr},
    {10022, QVSD_CMD_IOCTL, "path_u_10022", "%s\t%u", "", nullptr},
    {10023, QVSD_CMD_IOCTL, "path_pair_10023", "%s\t%s", "", nullptr},
    {10024, QVSD_CMD_IOCTL, "path_pair_10024", "%s\t%s", "", nullptr},
    {10025, QVSD_CMD_IOCTL, "path_u_10025", "%s\t%u", "", nullptr},
    {10026, QVSD_CMD_IOCTL, "path_u_10026", "%s\t%u", "", nullptr},
    {10027, QVSD_CMD_IOCTL, "path_uu_10027", "%s\t%u\t%u", "", nullptr},
    {10028, QVSD_CMD_IOCTL, "path_uu_10028", "%s\t%u\t%u", "", nullptr},
    {QVSD_IOCTL_UTIME, QVSD_CMD_IOCTL, "utime", "%s\t%lu\t%lu\t%lu\t%u\t%u\t%u", "", nullptr},
    {QVSD_IOCTL_LUTIME, QVSD_CMD_IOCTL, "lutime", "%s\t%lu\t%lu\t%lu\t%u\t%u\t%u", "", nullptr},
    {10035, QVSD_CMD_IOCTL, "path_li", "%s\t%li", "", nullptr},
    {QVSD_IOCTL_RMDIR2, QVSD_CMD_IOCTL, "rmdir2", "%s\t%d", "", "1.7.8"},
    {QVSD_IOCTL_REMOVE2, QVSD_CMD_IOCTL, "remove2", "%s\t%d", "", "1.7.8"},
    {QVSD_IOCTL_SET_ATTR_PATH, QVSD_CMD_IOCTL, "set_attr_path", "%s\t%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", "", nullptr},
    {QVSD_IOCTL_SET_ATTR, QVSD_CMD_IOCTL, "set_attr", "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", "", nullptr},
    {QVSD_IOCTL_CREATE, QVSD_CMD_IOCTL, "create", "%s\t%s\t%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", "", nullptr},
    {QVSD_IOCTL_CREATE_ZZ, QVSD_CMD_IOCTL, "create_zz", "%s\t%s\t%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", "", nullptr},
    {QVSD_IOCTL_MKDIR_P, QVSD_CMD_IOCTL, "mkdir_p", "%s", "", nullptr},
    {QVSD_IOCTL_CLOSE_ATTR, QVSD_CMD_IOCTL, "close_attr", "%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", "", nullptr},
    {QVSD_IOCTL_READ_TIMEOUT, QVSD_CMD_IOCTL, "read_timeout", "%d", "", nullptr},
    {10101, QVSD_CMD_IOCTL, "path_u_10101", "%s\t%u", "", nullptr},
    {10102, QVSD_CMD_IOCTL, "u_10102", "%u", "", nullptr},
    {10103, QVSD_CMD_IOCTL, "uu_10103", "%u\t%u", "", nullptr},
    {10104, QVSD_CMD_IOCTL, "u_10104", "%u", "", nullptr},
    {QVSD_IOCTL_WRITE_TIMEOUT, QVSD_CMD_IOCTL, "write_timeout", "%d", "", nullptr},
    {10200, QVSD_CMD_IOCTL, "none_10200", "", "", nullptr},
    /* ioctl2 */
    {QVSD_IOCTL2_CAPS, QVSD_CMD_IOCTL2, "caps", "", "text", nullptr},
    {QVSD_IOCTL2_SET_ACCOUNT, QVSD_CMD_IOCTL2, "set_account", "%s", "", nullptr},
    {QVSD_IOCTL2_QUERY, QVSD_CMD_IOCTL2, "query", "%s\t%s", "text", nullptr},
    {QVSD_IOCTL2_CTX_KEEP, QVSD_CMD_IOCTL2, "ctx_keep", "%s", "", nullptr},
    {QVSD_IOCTL2_CTX_ID, QVSD_CMD_IOCTL2, "ctx_id", "", "decimal", nullptr},
    {QVSD_IOCTL2_GET_LAST_CMD_IDX, QVSD_CMD_IOCTL2, "get_last_cmd_idx", "%s", "decimal", nullptr},
    {QVSD_IOCTL2_ATTACH_CTX, QVSD_CMD_IOCTL2, "attach_ctx", "%s", "", nullptr},
    {QVSD_IOCTL2_ATTACH_CTX_REPLY, QVSD_CMD_IOCTL2, "attach_ctx_reply", "%s", "", nullptr},
    {QVSD_IOCTL2_CTX_RUN_STATUS, QVSD_CMD_IOCTL2, "ctx_run_status", "%s", "decimal", nullptr},
    {QVSD_IOCTL2_CTX_REQ_STOP, QVSD_CMD_IOCTL2, "ctx_req_stop", "%s", "", nullptr},
    {10001, QVSD_CMD_IOCTL2, "counters", "%s", "text", nullptr},
    {10002, QVSD_CMD_IOCTL2, "text_10002", "%s", "text", nullptr},
    {10003, QVSD_CMD_IOCTL2, "text_10003", "%s", "text", nullptr},
    {10004, QVSD_CMD_IOCTL2, "pair_10004", "%s\t%s", "text", nullptr},
    {10005, QVSD_CMD_IOCTL2, "pair_10005", "%s\t%s", "", nullptr},
    {QVSD_IOCTL2_STAT, QVSD_CMD_IOCTL2, "stat", "%s\t%x", "text", nullptr},
    {10007, QVSD_CMD_IOCTL2, "pair_10007", "%s\t%s", "text", nullptr},
    {10008, QVSD_CMD_IOCTL2, "pair_10008", "%s\t%s", "text", nullptr},
    {10009, QVSD_CMD_IOCTL2, "hex_10009", "%x", "hex", nullptr},
    {QVSD_IOCTL2_DIR_SEEK, QVSD_CMD_IOCTL2, "dir_seek", "%lu", "", nullptr},
    {10100, QVSD_CMD_IOCTL2, "disk_tool", "%s", "text", nullptr},
    {10101, QVSD_CMD_IOCTL2, "text_10101", "%s", "text", nullptr},
    {QVSD_IOCTL2_HASH_INIT, QVSD_CMD_IOCTL2, "hash_init", "%lx\t%u\t%u\t%u\t%s", "", "1.5.9"},
    {QVSD_IOCTL2_HASH_RANGE, QVSD_CMD_IOCTL2, "hash_range", "%lld\t%u", "bytes", "1.5.9"},
    {QVSD_IOCTL2_HASH_BLOCK, QVSD_CMD_IOCTL2, "hash_block", "%u", "bytes", "1.5.9"},
    {QVSD_IOCTL2_BCOUNT_INIT, QVSD_CMD_IOCTL2, "bcount_init", "%lx\t%d\t%u\t%d\t%s", "", "1.6.2"},
    {10107, QVSD_CMD_IOCTL2, "bcount_get", "%lld\t%u", "bytes", "1.6.2"},
    {QVSD_IOCTL2_PWRITEX, QVSD_CMD_IOCTL2, "pwritex", "%lld\t%u", "decimal", "1.6.2"},
    {10109, QVSD_CMD_IOCTL2, "hash_10109", "%lx\t%u\t%u", "", "1.6.2"},
    {QVSD_IOCTL2_HASH_BITS, QVSD_CMD_IOCTL2, "hash_bits", "", "hex", "1.6.3"},
    {QVSD_IOCTL2_VSS_MOUNT, QVSD_CMD_IOCTL2, "vss_mount", "%s", "text", "1.6.7"},
    {10112, QVSD_CMD_IOCTL2, "none_10112", "", "", nullptr},
    {QVSD_IOCTL2_HASH_GET2, QVSD_CMD_IOCTL2, "hash_get2", "", "bytes", "1.6.8"},
    {10114, QVSD_CMD_IOCTL2, "opaque_10114", "bytes", "bytes", nullptr},
    {10115, QVSD_CMD_IOCTL2, "opaque_10115", "bytes", "bytes", nullptr},
    {QVSD_IOCTL2_RDIR_OPEN, QVSD_CMD_IOCTL2, "rdir_open", "%s\t%x\t%d\t%s\t%s\t%s\t%s\t%s", "", "1.8.5"},
    {QVSD_IOCTL2_RDIR_CLOSE, QVSD_CMD_IOCTL2, "rdir_close", "", "", "1.8.5"},
    {QVSD_IOCTL2_RDIR_ENUM, QVSD_CMD_IOCTL2, "rdir_enum", "%s", "", "1.8.5"},
    {QVSD_IOCTL2_RDIR_READ, QVSD_CMD_IOCTL2, "rdir_read", "", "text", "1.8.5"},
    {QVSD_IOCTL2_MFILE_OPEN, QVSD_CMD_IOCTL2, "mfile_open", "%d\t%d\t%d\t%x\t%x\t%x\t%x", "", nullptr},
    {QVSD_IOCTL2_MFILE_CLOSE, QVSD_CMD_IOCTL2, "mfile_close", "", "", nullptr},
    {QVSD_IOCTL2_MFILE_RESULT, QVSD_CMD_IOCTL2, "mfile_result", "%s", "text", nullptr},
    {10133, QVSD_CMD_IOCTL2, "mfile_call_1", "%s\t%s", "", nullptr},
    {10134, QVSD_CMD_IOCTL2, "mfile_call_2", "%s\t%s", "", nullptr},
    {10135, QVSD_CMD_IOCTL2, "mfile_call_3", "%s\t%s", "", nullptr},
    {10136, QVSD_CMD_IOCTL2, "mfile_call_4", "%s\t%s", "", nullptr},
    {10138, QVSD_CMD_IOCTL2, "mfile_call_5", "%s", "", nullptr},
    {10140, QVSD_CMD_IOCTL2, "mfile_call_8", "%s\t%s", "", nullptr},
    {10141, QVSD_CMD_IOCTL2, "mfile_call_9", "%s\t%s", "", nullptr},
    /* this system's own codes */
    {QVSD_IOCTL2_LOOKUP_IDS, QVSD_CMD_IOCTL2, "lookup_ids", "%s\t%s", "text", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_PREAD_MULTI, QVSD_CMD_IOCTL2, "pread_multi", "%lld\t%u\t%u", "bytes", QVSD_VER_MULTI},
    {QVSD_IOCTL2_PWRITE_MULTI, QVSD_CMD_IOCTL2, "pwrite_multi", "%lld\t%u\t%u\n", "decimal", QVSD_VER_MULTI},
    {QVSD_IOCTL2_BLOCK_DIGESTS, QVSD_CMD_IOCTL2, "block_digests", "%lld\t%u\t%u", "text", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_FILE_DIGEST, QVSD_CMD_IOCTL2, "file_digest", "%s", "hex", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_OUTPUT_LOCK, QVSD_CMD_IOCTL2, "output_lock", "%s\t%u\t%s", "text", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_NEXT_DATA, QVSD_CMD_IOCTL2, "next_data", "%lld", "text", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_HASH_CLOSE, QVSD_CMD_IOCTL2, "hash_close", "", "", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_RDIR_DROPPED, QVSD_CMD_IOCTL2, "rdir_dropped", "", "decimal", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_HARD_LINK, QVSD_CMD_IOCTL2, "hard_link", "%s\t%s", "", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_RENAME, QVSD_CMD_IOCTL2, "rename", "%s\t%s\t%d", "", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_XATTR_GET, QVSD_CMD_IOCTL2, "xattr_get", "%s\t%s", "bytes", QVSD_VER_OWN_CODES},
    {QVSD_IOCTL2_XATTR_SET, QVSD_CMD_IOCTL2, "xattr_set", "bytes", "", QVSD_VER_OWN_CODES},
};

/* Row of a command, null for an unknown code. */
const qvsd_cmd_desc *qvsd_cmd_find(uint8_t code);
/* Row of a code of carrier (QVSD_CMD_IOCTL or QVSD_CMD_IOCTL2), null for an unknown code. */
const qvsd_ioctl_desc *qvsd_ioctl_find(uint8_t carrier, int32_t code);
