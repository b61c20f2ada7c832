#pragma once
/* qbuf: a queue of variable-length byte records between threads, with time-outs. Records are copied
 * in on write and out on read. Any thread may write; one thread at a time reads. qbuf_clear and
 * qbuf_close must not run while a read is in progress. Time-outs are milliseconds, -1 for no limit.
 * A record of 0 bytes reads as 0, like a time-out. */
#include <cstddef>
#include <cstdint>

struct qbuf;

/* A record procedure: the record's bytes and length. For a filter, non-zero ends the read after
 * this record. */
typedef int (*qbuf_rec_fn)(const void *data, uint32_t n);

enum : int {
  QBUF_MODE_REC = 0,   /* one record with its 4-byte length in front (4 + n bytes) */
  QBUF_MODE_ONE = 1,   /* the data of one record */
  QBUF_MODE_DRAIN = 2, /* every queued record is handed to the record procedure and released */
  QBUF_MODE_ALL = 3,   /* the data of as many consecutive records as fit */
};

/* ctx is the owner's, kept for its own use (qbuf_ctx). Null when out of memory. */
qbuf *qbuf_open(void *ctx);
/* Releases the queue and every record. Null does nothing. */
void qbuf_close(qbuf *q);
/* Drops every record, the one a previous read left behind included. */
void qbuf_clear(qbuf *q);
/* True when no record waits. */
bool qbuf_empty(qbuf *q);
void *qbuf_ctx(const qbuf *q);

/* Queues a copy of n bytes. Returns 0 or the negative result of the queue (the record is released):
 * -1 when out of memory. */
int qbuf_write(qbuf *q, const void *data, uint32_t n, int timeout_ms);
int qbuf_write_nowait(qbuf *q, const void *data, uint32_t n);

/* The reading worker (modes above). Only the first record is waited for (timeout_ms); later ones
 * are taken only when already queued. A record that does not fit into len stays first in line for
 * the next read; when it is the first record of this read, the read logs and returns 0. In mode 3 a
 * filter that returns non-zero for a record sets *hit (when hit is given) and ends the read after
 * that record. In mode 2 filter is the record procedure and buf, len are unused. Returns the bytes
 * copied (mode 2: the data bytes handed over), 0 when nothing arrived in time, -1 for a null queue. */
int qbuf_read_imp(qbuf *q, void *buf, uint32_t len, int mode, int timeout_ms, qbuf_rec_fn filter, int *hit);

/* Mode 0. */
int qbuf_read_rec(qbuf *q, void *buf, uint32_t len, int timeout_ms);
/* Mode 1, without waiting and with a wait. */
int qbuf_read(qbuf *q, void *buf, uint32_t len);
int qbuf_read_wait(qbuf *q, void *buf, uint32_t len, int timeout_ms);
/* Mode 3, without waiting, with a wait, and with a wait and a filter. */
int qbuf_read_all(qbuf *q, void *buf, uint32_t len);
int qbuf_read_all_wait(qbuf *q, void *buf, uint32_t len, int timeout_ms);
int qbuf_read_filter(qbuf *q, void *buf, uint32_t len, int timeout_ms, qbuf_rec_fn filter, int *hit);
/* Mode 2, without waiting. */
int qbuf_drain(qbuf *q, qbuf_rec_fn proc);
