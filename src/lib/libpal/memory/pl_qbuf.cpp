#define LOG_TAG "pal"
#include "libpal/memory/pl_qbuf.h"

#include <cstring>
#include <mutex>
#include <new>

#include "liblog/log2.h"
#include "libpal/basic/pl_queue.h"
#include "libpal/memory/pl_lbuf.h"

namespace {

/* A record: the link cell of the queue (so that a push allocates nothing more), the length, the
 * bytes. */
struct qbuf_rec {
  queue_node link;
  uint32_t n;
  unsigned char data[4];
};

constexpr size_t REC_HDR = offsetof(qbuf_rec, data);

} // namespace

struct qbuf {
  void *ctx;
  queue *q = nullptr;
  lbuf *recs = nullptr;
  std::mutex lock;             /* guards pending */
  qbuf_rec *pending = nullptr; /* the record a previous read could not take */
};

namespace {

qbuf_rec *take(qbuf *q, int timeout_ms)
{
  {
    std::lock_guard<std::mutex> g(q->lock);
    if (q->pending) {
      qbuf_rec *r = q->pending;
      q->pending = nullptr;
      return r;
    }
  }
  return static_cast<qbuf_rec *>(queue_pop_wait(q->q, timeout_ms));
}

void put_back(qbuf *q, qbuf_rec *r)
{
  std::lock_guard<std::mutex> g(q->lock);
  q->pending = r;
}

} // namespace

qbuf *qbuf_open(void *ctx)
{
  auto *q = new (std::nothrow) qbuf;
  if (!q)
    return nullptr;
  q->ctx = ctx;
  queue_param qp{};
  qp.not_alloc_node = true;
  q->q = queue_open(&qp);
  lbuf_param lp{};
  lp.name = "qbuf";
  q->recs = lbuf_init(&lp);
  if (!q->q || !q->recs) {
    qbuf_close(q);
    return nullptr;
  }
  return q;
}

void qbuf_close(qbuf *q)
{
  if (!q)
    return;
  queue_close(q->q);
  lbuf_exit(q->recs);
  delete q;
}

void qbuf_clear(qbuf *q)
{
  if (!q)
    return;
  {
    std::lock_guard<std::mutex> g(q->lock);
    q->pending = nullptr;
  }
  queue_clear(q->q);
  lbuf_clear(q->recs);
}

bool qbuf_empty(qbuf *q)
{
  std::lock_guard<std::mutex> g(q->lock);
  return !q->pending && queue_empty(q->q);
}

void *qbuf_ctx(const qbuf *q)
{
  return q->ctx;
}

int qbuf_write(qbuf *q, const void *data, uint32_t n, int timeout_ms)
{
  if (!chk_assert(q != NULL))
    return -1;
  auto *r = static_cast<qbuf_rec *>(lbuf_malloc(q->recs, REC_HDR + n));
  if (!r)
    return -1;
  r->n = n;
  if (n)
    memcpy(r->data, data, n);
  int rc = queue_push_wait(q->q, r, timeout_ms);
  if (rc != 0)
    lbuf_free(q->recs, r);
  return rc;
}

int qbuf_write_nowait(qbuf *q, const void *data, uint32_t n)
{
  return qbuf_write(q, data, n, 0);
}

int qbuf_read_imp(qbuf *q, void *buf, uint32_t len, int mode, int timeout_ms, qbuf_rec_fn filter, int *hit)
{
  if (!chk_assert(q != NULL))
    return -1;
  if (hit)
    *hit = 0;
  if (mode == QBUF_MODE_DRAIN) {
    int total = 0;
    while (qbuf_rec *r = take(q, 0)) {
      if (filter)
        filter(r->data, r->n);
      total += static_cast<int>(r->n);
      lbuf_free(q->recs, r);
    }
    return total;
  }
  auto *out = static_cast<unsigned char *>(buf);
  uint32_t used = 0;
  for (bool first = true;; first = false) {
    qbuf_rec *r = take(q, first ? timeout_ms : 0);
    if (!r)
      break;
    uint32_t need = mode == QBUF_MODE_REC ? 4 + r->n : r->n;
    if (need > len - used) {
      put_back(q, r);
      if (first)
        LOGE("len=%u blen=%u len must >= blen\n", len, need);
      break;
    }
    if (mode == QBUF_MODE_REC) {
      memcpy(out + used, &r->n, 4);
      used += 4;
    }
    if (r->n)
      memcpy(out + used, r->data, r->n);
    used += r->n;
    bool stop = mode != QBUF_MODE_ALL;
    if (mode == QBUF_MODE_ALL && filter && filter(r->data, r->n)) {
      if (hit)
        *hit = 1;
      stop = true;
    }
    lbuf_free(q->recs, r);
    if (stop)
      break;
  }
  return static_cast<int>(used);
}

int qbuf_read_rec(qbuf *q, void *buf, uint32_t len, int timeout_ms)
{
  return qbuf_read_imp(q, buf, len, QBUF_MODE_REC, timeout_ms, nullptr, nullptr);
}

int qbuf_read(qbuf *q, void *buf, uint32_t len)
{
  return qbuf_read_imp(q, buf, len, QBUF_MODE_ONE, 0, nullptr, nullptr);
}

int qbuf_read_wait(qbuf *q, void *buf, uint32_t len, int timeout_ms)
{
  return qbuf_read_imp(q, buf, len, QBUF_MODE_ONE, timeout_ms, nullptr, nullptr);
}

int qbuf_read_all(qbuf *q, void *buf, uint32_t len)
{
  return qbuf_read_imp(q, buf, len, QBUF_MODE_ALL, 0, nullptr, nullptr);
}

int qbuf_read_all_wait(qbuf *q, void *buf, uint32_t len, int timeout_ms)
{
  return qbuf_read_imp(q, buf, len, QBUF_MODE_ALL, timeout_ms, nullptr, nullptr);
}

int qbuf_read_filter(qbuf *q, void *buf, uint32_t len, int timeout_ms, qbuf_rec_fn filter, int *hit)
{
  return qbuf_read_imp(q, buf, len, QBUF_MODE_ALL, timeout_ms, filter, hit);
}

int qbuf_drain(qbuf *q, qbuf_rec_fn proc)
{
  return qbuf_read_imp(q, nullptr, 0, QBUF_MODE_DRAIN, 0, proc, nullptr);
}
