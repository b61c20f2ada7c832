#pragma once
/* mbuf: a one-pass block buffer between one producer and one consumer. The buffer holds every block
 * of one pass (blocks are not reused until mbuf_reset starts the next pass); a block shorter than the
 * block size is the last one of the pass and is read back with its own length.
 *
 * mbuf2: a pool of equal blocks handed out in order by one thread (the blocks may then be filled and
 * used on others); mbuf2_reset takes them all back at once. */
#include <cstddef>
#include <cstdint>

struct mbuf;

/* total of at least 3 bytes, holding at least one block. Null (logged) otherwise or when out of
 * memory. */
mbuf *mbuf_init(uint32_t total, uint32_t block_size);
/* Null does nothing. */
void mbuf_exit(mbuf *m);
/* Starts a new pass: every counter to 0, both events cleared. Neither side may be inside a call. */
void mbuf_reset(mbuf *m);
uint32_t mbuf_block_size(const mbuf *m);
uint32_t mbuf_block_count(const mbuf *m);

/* Producer. The next free block, or null when the pass is full or its short last block is written. */
void *mbuf_get_write_block(mbuf *m);
/* Commits the block of mbuf_get_write_block with size bytes (1 to the block size; less marks the last
 * block of the pass). Returns 0, or -1 for a bad size or when there is no block to commit. */
int mbuf_alloc_unref(mbuf *m, uint32_t size);
/* Copies size bytes (1 to the block size) into the next block and commits it. Returns 0, or -1 when
 * the size is refused or no block is free. */
int mbuf_write(mbuf *m, const void *data, uint32_t size);

/* Consumer. Waits up to timeout_ms (-1: no limit) for a written block, copies it into buf (len at
 * least the block size) and releases it. Returns the bytes copied, 0 on time-out, -1 when len is too
 * small. */
int mbuf_read_wait(mbuf *m, void *buf, uint32_t len, int timeout_ms);
/* The same in two steps: the next written block and its length (null on time-out), then
 * mbuf_release once it has been used. */
const void *mbuf_get_read_block(mbuf *m, uint32_t *len, int timeout_ms);
void mbuf_release(mbuf *m);
/* True when every written block has been read. */
bool mbuf_drained(mbuf *m);
/* Waits for the next release by the consumer: 0, or -2 on time-out. */
int mbuf_wait_read(mbuf *m, int timeout_ms);

struct mbuf2;
struct mbuf2_block {
  void *data;
  uint32_t len; /* 0 when handed out; for the user to fill in */
  uint32_t idx;
  mbuf2 *owner;
};

/* total rounded up to whole blocks. Null (logged) for total below 3, block size 0 or no memory. */
mbuf2 *mbuf2_init(uint32_t total, uint32_t block_size);
void mbuf2_exit(mbuf2 *m);
void mbuf2_reset(mbuf2 *m);
/* The next block in order, or null (logged) when all are out. */
mbuf2_block *mbuf2_get_block(mbuf2 *m);
uint32_t mbuf2_block_size(const mbuf2 *m);
uint32_t mbuf2_block_count(const mbuf2 *m);
