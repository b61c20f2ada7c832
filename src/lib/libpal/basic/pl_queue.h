#pragma once
/* Blocking FIFO queue of pointers between threads, bounded or unbounded.
 *
 * Any thread may push; pops are meant for one consumer at a time (several are safe, but then the
 * order between them is theirs to sort out). queue_del, queue_clear, queue_size and the other
 * queries may be called from any thread. Time-outs are milliseconds, -1 for no limit, 0 for no wait.
 *
 * By default the queue wraps every pushed pointer in a link cell of its own. With not_alloc_node
 * every pushed item must begin with a queue_node that the queue uses as its link (the item's owner
 * keeps it alive while queued); such a queue never calls the free procedure. */
#include <cstdint>

struct queue;

/* The link cell; with not_alloc_node, the first member of every item. */
struct queue_node {
  queue_node *next;
  void *item;
};

/* Releases an item that the queue drops (queue_del, queue_clear, queue_close). */
typedef void (*queue_free_fn)(void *ctx, void *item);

struct queue_param {
  void *ctx;                 /* handed to free_proc */
  uint32_t capacity;         /* 0 = unbounded */
  bool not_alloc_node;       /* items carry their own queue_node */
  queue_free_fn free_proc;   /* optional */
};

/* The wake-up marker: can be pushed (cells allocated by the queue only) to wake the consumer; it is
 * popped like any item and never handed to the free procedure. */
#define QUEUE_WAKEUP (reinterpret_cast<void *>(~static_cast<uintptr_t>(0)))

/* Returns the queue (the parameters are copied), or null when out of memory. */
queue *queue_open(const queue_param *param);
/* Appends item. When a capacity is set and the queue is full, waits up to timeout_ms for room.
 * Returns 0; -2 when still full after the time-out; -1 when the wait failed or a cell could not be
 * allocated. A null queue or item is a fatal assertion. */
int queue_push_wait(queue *q, void *item, int timeout_ms);
/* queue_push_wait without waiting. */
int queue_push(queue *q, void *item);
/* Takes the oldest item, waiting up to timeout_ms for one; null when none arrived in time. */
void *queue_pop_wait(queue *q, int timeout_ms);
/* queue_pop_wait without waiting. */
void *queue_pop(queue *q);
/* Removes the oldest cell holding item and hands item to the free procedure. Returns 0, or -1 when
 * item is not queued. Not for not_alloc_node queues (fatal assertion). */
int queue_del(queue *q, void *item);
/* Items queued. */
uint32_t queue_size(const queue *q);
/* True when a capacity is set and reached. */
bool queue_isfull(const queue *q);
bool queue_empty(const queue *q);
/* Drops every item (handing each to the free procedure when the queue made the cells); a leftover
 * not-empty signal is cleared and producers waiting for room are woken. */
void queue_clear(queue *q);
/* queue_clear, then frees the queue; no thread may be waiting on it. Null does nothing. */
void queue_close(queue *q);
