#pragma once
/* Text forms of the file status records: TAB-separated lines exchanged between threads and with
 * the remote service, and the 4-byte header of a data block of a batch read.
 *
 * Writers append to a std::string and return the number of bytes appended, or a negative code
 * (-2 bad argument, -8 out of memory; the string is then unchanged). Texts that a writer puts in
 * as given (the names and link texts of the directory and file-write lines, which come escaped
 * from the stat items) must hold no TAB and no line feed; such a text is refused with -2.
 * Parsers split the line in place: the returned texts point into it. */
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libpal/os/os_dirent.h"

/* Signatures of the lines, for str_scanf_sep_val. */
#define RDIR_LINE_SIG "str|str|x32|x32|x32|u64|x64|x64|x64|u32|u32|u64|x64|x64|x64|estr"
#define RDIR_DIR_LINE_SIG "str|x32|x32|x32|x64|x64|x64|u32|u32"
#define RDIR_WRITE_LINE_SIG "str|str|x32|x32|x32|x64|x64|x64|u32|u32|str"
#define RDIR_STREAM_LINE_SIG "str|str|u64"

/* Third mode field of a line: 0x80 without TYPE_F_NOMODE; with it 0755 for kind 1, else 0644. */
uint32_t alt_mode_default(uint32_t type);

/* The 16-field listing line of d, ended by "\n": escaped name, escaped link text, type, mode,
 * alt_mode_default(type), size, the three times (create, write, access), uid, gid, link count,
 * file_id_ext, inode, device, escaped stream list. -2 when name or link_name is not terminated
 * within its field. */
int dirent_to_line(const os_dirent *d, std::string *out);
/* The same with "D " (kind 1) or "F " (other kinds) in front. */
int dirent_to_line2(const os_dirent *d, std::string *out);

/* Directory line (9 fields, no line feed): name, type, attrib_mode, alt_mode, time_create,
 * time_write, time_access, uid, gid of a. */
int mstat_dir_line(const char *name, const file_attr *a, std::string *out);
/* Parses a directory line in place into *name and a (a->link_name becomes null). 0, or -1 when
 * the line does not give 9 fields (logged "ret=%d error: ret!=9"). */
int libmfile_dir_scanf(char *line, char **name, file_attr *a);

/* File-write line (11 fields, no line feed): name, a->link_name (or empty), type, attrib_mode,
 * alt_mode, time_create, time_write, time_access, uid, gid, Base64 data (null: empty). */
int mstat_write_line(const char *name, const file_attr *a, const char *b64, std::string *out);
/* Parses a file-write line in place; an empty link field gives a->link_name null; *b64 points to
 * the (possibly empty) data field. 0, or -1 when the line does not give 11 fields (logged
 * "ret=%d error: ret!=11"). */
int libmfile_write_scanf(char *line, char **name, file_attr *a, char **b64);

/* Write result stages. */
enum : int {
  MFILE_WRITE_DONE = 0,       /* value: bytes written (0 for an entry created without data) */
  MFILE_WRITE_OPEN_FAIL = 1,  /* value: error code */
  MFILE_WRITE_WRITE_FAIL = 2, /* value: error code */
};
/* "%d\t%d\n" of (stage, value); with digest (MFILE_DIGEST_LEN bytes) "%d\t%d\t<32 lower-case hex
 * digits>\n", the digest of the bytes a job asked for digests wrote. */
constexpr size_t MFILE_DIGEST_LEN = 16;
int libmfile_write_result_line(int stage, int value, std::string *out, const uint8_t *digest = nullptr);
/* Reads one result from the NUL-terminated text: the text is cut at its first "\n" (replaced by
 * NUL), or taken whole when it has none. Returns the bytes consumed (through the "\n", or the text
 * length + 1), or -1 when the piece does not give 2 fields (logged "ret=%d error: ret!=2") or its
 * third field is not a digest. *has_digest (may be null) says whether a digest came, into digest
 * (MFILE_DIGEST_LEN bytes; may be null when has_digest is). */
int libmfile_write_get_info(char *text, int *stage, int *value, uint8_t *digest = nullptr,
                            bool *has_digest = nullptr);

/* Data block of a batch read: a 4-byte big-endian header of a 30-bit length and two flags in the
 * top bits of the first byte, then the data (or, with a flag, a 4-byte big-endian error code). */
constexpr uint32_t RDIR_MAX_MLEN = 0x3fffffff;
constexpr size_t MFILE_DATA_HDR_SIZE = 4;
enum : uint8_t {
  MFILE_F_OPEN_ERR = 0x80, /* the file could not be opened */
  MFILE_F_READ_ERR = 0x40, /* the file was opened but could not be read */
};
/* Header flag argument of libmfile_read_set_data_len_err. */
enum : int {
  MFILE_DATA_OK = 0,
  MFILE_DATA_OPEN_ERR = 1,
  MFILE_DATA_READ_ERR = 2,
};

/* Writes the header of a block of dlen bytes with flag 0 (plain), 1 (open failed) or 2 (read
 * failed). A length above RDIR_MAX_MLEN, a flagged length other than 4 or an unknown flag is -1
 * (logged) and nothing is written. */
int libmfile_read_set_data_len_err(uint8_t *hdr, uint32_t dlen, int flag);
/* Writes a whole error block (8 bytes: header with length 4 and flag, then code). 0 or -1. */
int libmfile_read_set_err_block(uint8_t *blk, int flag, int code);

struct mfile_data {
  uint8_t flags = 0; /* MFILE_F_OPEN_ERR | MFILE_F_READ_ERR as found */
  uint32_t len = 0;  /* length field of the header */
  int code = 0;      /* error code of a flagged block */
  std::vector<uint8_t> data; /* the data of a plain block */
};
/* Reads the block at buf (avail bytes): a flagged block must have length 4 and 8 bytes, a plain
 * block length + 4 bytes. On success the flags are cleared in buf[0], *consumed is the block size
 * and 0 is returned. A block that breaks these rules is a protocol error of the reply: -466 with
 * an error line, buf and out untouched; -8 when memory runs out. */
int libmfile_read_get_data_len_err(uint8_t *buf, size_t avail, size_t *consumed, mfile_data *out);
