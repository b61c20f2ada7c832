#pragma once
/* File chain: a list of (offset, length) pieces of one file read or written in one call, the
 * data packed into one buffer. The piece list ("segment list") is a 64-bit base offset followed
 * by 8-byte entries {u32 offset relative to the base, u32 length}; the packed data is a sequence
 * of records {u32 n, n bytes}. Every integer is little-endian. */
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libpal/comm/verr.h"

struct file_chain_procs {
  /* Positional read and write: bytes done, or negative on failure. */
  int64_t (*read)(void *file, void *buf, size_t len, uint64_t offset) = nullptr;
  int64_t (*write)(void *file, const void *buf, size_t len, uint64_t offset) = nullptr;
  /* Told of a failed read ("cpread") or write ("cpwrite"); fills the error record. */
  void (*err_cb)(void *file, const char *op, vperror *err) = nullptr;
};

struct file_chain_seg {
  uint64_t offset; /* absolute */
  uint32_t len;
};

/* Builds a segment list from absolute pieces (each must lie within 4 GiB above the first).
 * Returns false when a piece does not fit the 32-bit relative form. */
bool file_chain_list_build(const std::vector<file_chain_seg> &segs, std::vector<uint8_t> *list);
/* Parses a segment list; -1 (logged "lbs=%d <8", err "invalid param lbs=%d <8") when it is
 * shorter than 8 bytes or ends in a partial entry. */
int file_chain_list_parse(const uint8_t *list, size_t lbs, std::vector<file_chain_seg> *segs, vperror *errp);

/* Reads every piece of the list and packs the records into out; stops after the first short
 * read. Without procs (null) only the length fields are laid out. Returns the bytes written to
 * out, or -1 (a failed read, a record that does not fit out: "Data may be incorrect"). */
int64_t file_chain_cpread_buf(void *file, const file_chain_procs *procs, const uint8_t *list, size_t lbs,
                              uint8_t *out, size_t out_size, vperror *errp);
/* Writes the records of in (in_len bytes) at the pieces of the list, in order. Returns the data
 * bytes written, or -1 (a failed write; records shorter than the pieces: "Data may be incorrect";
 * more records than pieces: "Too much Data"). */
int64_t file_chain_cpwrite_buf(void *file, const file_chain_procs *procs, const uint8_t *list, size_t lbs,
                               const uint8_t *in, size_t in_len, vperror *errp);

/* A chain of blocks held in memory: the pieces with the data read into them. */
struct file_chain_block {
  uint64_t off = 0;
  uint32_t len = 0;  /* asked for */
  uint32_t rlen = 0; /* received */
  uint32_t wlen = 0; /* written */
  std::vector<uint8_t> data;
};
/* Splits a record buffer back into the blocks of a chain (their rlen and data). Returns the
 * blocks filled, or -1: "blen=%d error: Not Enough Data", "idx=%d error: Too much Data",
 * "len=%d error: Data may be incorrect or incomplete". */
int file_chain_pread_buf(std::vector<file_chain_block> *chain, const uint8_t *buf, size_t blen, vperror *errp);
/* Packs the blocks' data as records into out. Returns the bytes, or -1 ("olen=%d error: Data may
 * be incorrect") when out is too small. */
int64_t file_chain_pwrite_buf(const std::vector<file_chain_block> &chain, uint8_t *out, size_t olen,
                              vperror *errp);
/* Logs the chain at debug level. */
void file_chain_buf_dump(const std::vector<file_chain_block> &chain);
