#define LOG_TAG "pal"
#include "libpal/tframe/file_hash.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "liblog/log2.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "libpal/tframe/pl_thread_pool.h"

namespace {

/* The algorithms in the order of every list and text. */
struct alg_row {
  uint32_t flag;
  const char *name;
  pl_hash_alg alg;
  bool sums;
};
const alg_row g_algs[] = {
    {FILE_HASH_MD5, "md5", PL_HASH_MD5, false},        {FILE_HASH_SHA1, "sha1", PL_HASH_SHA1, false},
    {FILE_HASH_SHA256, "sha256", PL_HASH_SHA256, false}, {FILE_HASH_SHA512, "sha512", PL_HASH_SHA512, false},
    {FILE_HASH_SM3, "sm3", PL_HASH_SM3, false},        {FILE_HASH_XXH3, "xxh3", PL_HASH_XXH3, false},
    {FILE_HASH_PMD5, "pmd5", PL_HASH_MD5, true},       {FILE_HASH_PSHA1, "psha1", PL_HASH_SHA1, true},
    {FILE_HASH_PSHA256, "psha256", PL_HASH_SHA256, true}, {FILE_HASH_PSHA512, "psha512", PL_HASH_SHA512, true},
    {FILE_HASH_PSM3, "psm3", PL_HASH_SM3, true},       {FILE_HASH_PXXH3, "pxxh3", PL_HASH_XXH3, true},
};
constexpr size_t N_ALGS = sizeof g_algs / sizeof g_algs[0];
constexpr uint32_t TIMEOUT_DEFAULT = 120000;
constexpr uint32_t CACHE_DEFAULT = 0x200000;

/* Block-sum accumulator of one p variant. */
struct sum_acc {
  size_t d = 0;
  std::vector<uint32_t> sums;
  std::vector<uint8_t> records; /* r_count x d */
  std::vector<uint8_t> have;
  std::mutex lock;

  void clear()
  {
    std::fill(sums.begin(), sums.end(), 0);
    std::fill(have.begin(), have.end(), 0);
  }
  void size_records(size_t r_count)
  {
    records.assign(r_count * d, 0);
    have.assign(r_count, 0);
  }
  /* Adds block idx; false when idx is outside the records. */
  bool add(size_t idx, const uint8_t *digest)
  {
    std::lock_guard<std::mutex> g(lock);
    if (!chk_assert(idx < have.size()))
      return false;
    memcpy(&records[idx * d], digest, d);
    have[idx] = 1;
    for (size_t i = 0; i < d; ++i)
      sums[i] += digest[i];
    return true;
  }
  std::string text()
  {
    std::lock_guard<std::mutex> g(lock);
    std::string s;
    char b[16];
    for (size_t i = 0; i < d; ++i) {
      snprintf(b, sizeof b, i ? ",%x" : "%x", sums[i]);
      s += b;
    }
    return s;
  }
  bool load(const char *text)
  {
    std::vector<uint32_t> v;
    const char *p = text;
    while (*p) {
      char *end = nullptr;
      errno = 0;
      unsigned long x = strtoul(p, &end, 16);
      if (end == p || errno || x > 0xffffffffUL || (*end != ',' && *end != 0))
        return false;
      v.push_back(static_cast<uint32_t>(x));
      p = *end ? end + 1 : end;
    }
    if (v.size() != d)
      return false;
    sums = v;
    return true;
  }
};

int64_t default_read(void *file, void *buf, size_t len, uint64_t offset)
{
  int fd = *static_cast<int *>(file);
  ssize_t n;
  do {
    n = pread(fd, buf, len, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

} // namespace

struct file_hash {
  file_hash_param p;
  vperror err{};
  pl_hash *whole[N_ALGS] = {};
  std::unique_ptr<sum_acc> acc[N_ALGS];
  std::vector<uint8_t> cache;
  uint64_t cache_off = 0;
  size_t cache_len = 0;
  std::vector<uint8_t> block;
  size_t r_count = 0;
  thread_pool *pool = nullptr;
  bool own_pool = false;
  std::atomic<int> task_fail{0};
};

namespace {

/* A block handed to the pool in parallel mode. */
struct block_task {
  file_hash *h;
  size_t idx;
  std::vector<uint8_t> data;
};

void hash_block_sums(file_hash *h, size_t idx, const uint8_t *data, size_t n)
{
  uint8_t digest[PL_HASH_MAX_LEN];
  for (size_t a = 0; a < N_ALGS; ++a) {
    if (!h->acc[a])
      continue;
    pl_hash_once(g_algs[a].alg, data, n, digest);
    if (!h->acc[a]->add(idx, digest))
      h->task_fail.store(1);
  }
}

void block_task_proc(void *arg)
{
  std::unique_ptr<block_task> t(static_cast<block_task *>(arg));
  hash_block_sums(t->h, t->idx, t->data.data(), t->data.size());
}

/* Reads through the read-ahead cache. Returns bytes, or -1 (error recorded). */
int64_t cached_read(file_hash *h, uint64_t pos, uint8_t *buf, size_t want)
{
  size_t done = 0;
  while (done < want) {
    uint64_t at = pos + done;
    if (at >= h->cache_off && at < h->cache_off + h->cache_len) {
      size_t from = static_cast<size_t>(at - h->cache_off);
      size_t n = std::min(want - done, h->cache_len - from);
      memcpy(buf + done, h->cache.data() + from, n);
      done += n;
      continue;
    }
    size_t fill = h->cache.size();
    if (h->p.size > 0 && at < static_cast<uint64_t>(h->p.size))
      fill = std::max(want - done, std::min<size_t>(fill, static_cast<size_t>(h->p.size - at)));
    fill = std::min(fill, h->cache.size());
    int64_t n = h->p.read(h->p.file, h->cache.data(), fill, at);
    if (n < 0) {
      if (h->p.read != default_read) {
        VPERROR_SET(&h->err, VERR_FAIL, "read at %llu failed", static_cast<unsigned long long>(at));
        h->p.err_cb(h->p.file, &h->err);
      } else {
        int eno = errno;
        VPERROR_SET(&h->err, os_verr_get(eno), "read at %llu error: %s", static_cast<unsigned long long>(at),
                    os_strerror(eno));
      }
      return -1;
    }
    h->cache_off = at;
    h->cache_len = static_cast<size_t>(n);
    if (n == 0)
      break;
  }
  return static_cast<int64_t>(done);
}

int load_state(file_hash *h, const char *state)
{
  std::string text = state;
  size_t i = 0;
  while (i < text.size()) {
    size_t nl = text.find('\n', i);
    std::string line = text.substr(i, nl == std::string::npos ? std::string::npos : nl - i);
    i = nl == std::string::npos ? text.size() : nl + 1;
    size_t sp = line.find(' ');
    if (line.empty() || sp == std::string::npos)
      continue;
    std::string name = line.substr(0, sp), value = line.substr(sp + 1);
    for (size_t a = 0; a < N_ALGS; ++a) {
      if (name != g_algs[a].name)
        continue;
      if (h->whole[a] && pl_hash_set_state(h->whole[a], value.c_str()) < 0) {
        LOGE("pl_%s_set_ctx [%s] failed\n", g_algs[a].name, value.c_str());
        return -1;
      }
      if (h->acc[a] && !h->acc[a]->load(value.c_str())) {
        LOGE("set_sum [%s] failed\n", value.c_str());
        return -1;
      }
    }
  }
  return 0;
}

} // namespace

int file_hash_flags(const char *names)
{
  if (!names)
    return -1;
  uint32_t f = 0;
  std::string s = names;
  size_t i = 0;
  while (i <= s.size()) {
    size_t c = s.find(',', i);
    std::string w = s.substr(i, c == std::string::npos ? std::string::npos : c - i);
    for (const alg_row &r : g_algs)
      if (w == r.name)
        f |= r.flag;
    if (c == std::string::npos)
      break;
    i = c + 1;
  }
  return f ? static_cast<int>(f) : -1;
}

std::string file_hash_flags_text(uint32_t flags)
{
  std::string s;
  for (const alg_row &r : g_algs)
    if (flags & r.flag)
      s += std::string(r.name) + "|";
  if (!s.empty())
    s.pop_back();
  return s;
}

uint8_t file_hash_crc8(const uint8_t *p, size_t n)
{
  uint8_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

file_hash *file_hash_open(const file_hash_param *param, vperror *errp)
{
  pl_assert(param != nullptr);
  pl_assert(errp != nullptr);
  if (param->flags & ~FILE_HASH_ALL) {
    LOGE("flag=0x%x\n", param->flags);
    VPERROR_SET(errp, VERR_NOTSUP, "flag=0x%x not supported", param->flags);
    return nullptr;
  }
  if (param->flags == 0 || param->size < 0 || param->bs == 0) {
    VPERROR_SET(errp, VERR_PARAM, "file_hash_open: flags=0x%x size=%lld bs=%u", param->flags,
                static_cast<long long>(param->size), param->bs);
    return nullptr;
  }
  std::unique_ptr<file_hash> h(new (std::nothrow) file_hash);
  if (!h) {
    VPERROR_SET(errp, VERR_NOMEM, "file_hash_open: out of memory");
    return nullptr;
  }
  h->p = *param;
  if (!h->p.read)
    h->p.read = default_read;
  else if (!h->p.err_cb) {
    VPERROR_SET(errp, VERR_PARAM, "file_hash_open: a read procedure needs an error callback");
    return nullptr;
  }
  if (!h->p.timeout)
    h->p.timeout = TIMEOUT_DEFAULT;
  if (!h->p.cache_block)
    h->p.cache_block = CACHE_DEFAULT;
  h->p.state = nullptr;
  try {
    h->cache.resize(std::max(h->p.cache_block, h->p.bs));
    h->block.resize(h->p.bs);
    for (size_t a = 0; a < N_ALGS; ++a) {
      if (!(param->flags & g_algs[a].flag))
        continue;
      if (g_algs[a].sums) {
        h->acc[a] = std::make_unique<sum_acc>();
        h->acc[a]->d = pl_hash_len(g_algs[a].alg);
        h->acc[a]->sums.assign(h->acc[a]->d, 0);
        h->acc[a]->size_records(param->block_count);
      } else if (!(h->whole[a] = pl_hash_new(g_algs[a].alg))) {
        throw std::bad_alloc();
      }
    }
  } catch (const std::bad_alloc &) {
    file_hash_close(h.release());
    VPERROR_SET(errp, VERR_NOMEM, "file_hash_open: out of memory");
    return nullptr;
  }
  h->r_count = param->block_count;
  if (param->state && load_state(h.get(), param->state) < 0) {
    file_hash_close(h.release());
    VPERROR_SET(errp, VERR_PARAM, "file_hash_open: the saved state does not load");
    return nullptr;
  }
  if (param->parallel) {
    h->pool = param->pool;
    if (!h->pool) {
      thread_pool_param tp{};
      tp.count = os_cpu_count();
      tp.name = "phash_thread_pool";
      h->pool = thread_pool_init(&tp);
      if (!h->pool) {
        LOGE("thread_pool_init failed\n");
        file_hash_close(h.release());
        VPERROR_SET(errp, VERR_NOMEM, "thread_pool_init phash_thread_pool failed");
        return nullptr;
      }
      h->own_pool = true;
    }
  }
  return h.release();
}

int file_hash_cal(file_hash *h, uint64_t offset, uint64_t length)
{
  if (!h)
    return -1;
  const uint32_t bs = h->p.bs;
  uint64_t blocks = (length + bs - 1) / bs;
  bool has_sums = false;
  for (auto &a : h->acc)
    if (a) {
      has_sums = true;
      a->clear();
    }
  if (has_sums) {
    if (h->r_count == 0) {
      h->r_count = static_cast<size_t>(blocks);
      for (auto &a : h->acc)
        if (a)
          a->size_records(h->r_count);
    } else if (blocks > h->r_count) {
      LOGE("len=%u > max_len=%u\n", static_cast<unsigned>(length), static_cast<unsigned>(h->r_count * bs));
      VPERROR_SET(&h->err, VERR_PARAM, "len=%llu > max_len=%llu", static_cast<unsigned long long>(length),
                  static_cast<unsigned long long>(h->r_count) * bs);
      return -1;
    }
  }
  if (h->pool && thread_pool_pending(h->pool) != 0) {
    VPERROR_SET(&h->err, VERR_FAIL, "thread_pool must empty");
    return -1;
  }
  h->task_fail.store(0);
  uint64_t pos = offset, left = length;
  size_t idx = 0;
  uint64_t t0 = os_time_ms();
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(bs, left));
    int64_t n = cached_read(h, pos, h->block.data(), want);
    if (n < 0)
      return -1;
    if (n == 0) {
      if (idx == 0) {
        VPERROR_SET(&h->err, VERR_EOF, "Reached the end of the file.");
        return -1;
      }
      break;
    }
    for (size_t a = 0; a < N_ALGS; ++a)
      if (h->whole[a])
        pl_hash_update(h->whole[a], h->block.data(), static_cast<size_t>(n));
    if (has_sums) {
      if (h->pool) {
        /* Keep a bounded number of blocks in flight. */
        while (thread_pool_pending(h->pool) > 4u * static_cast<uint32_t>(thread_pool_count(h->pool)))
          thread_pool_wait_idle(h->pool, 1);
        auto *t = new (std::nothrow) block_task{h, idx, {}};
        bool queued = false;
        if (t) {
          try {
            t->data.assign(h->block.data(), h->block.data() + n);
            queued = thread_pool_push(h->pool, block_task_proc, t) == 0;
          } catch (const std::bad_alloc &) {
          }
          if (!queued)
            delete t;
        }
        if (!queued)
          hash_block_sums(h, idx, h->block.data(), static_cast<size_t>(n));
      } else {
        hash_block_sums(h, idx, h->block.data(), static_cast<size_t>(n));
      }
    }
    pos += static_cast<uint64_t>(n);
    left -= static_cast<uint64_t>(n);
    ++idx;
    if (static_cast<size_t>(n) < want)
      break;
  }
  if (h->pool) {
    while (thread_pool_wait_idle(h->pool, 1) != 0) {
      if (os_time_ms() - t0 >= h->p.timeout) {
        VPERROR_SET(&h->err, VERR_TIMEOUT, "hashing did not finish within %u ms", h->p.timeout);
        thread_pool_wait_idle(h->pool, -1); /* the tasks use the service: let them finish */
        return -1;
      }
    }
  }
  if (h->task_fail.load()) {
    VPERROR_SET(&h->err, VERR_FAIL, "block index outside the records");
    return -1;
  }
  return 0;
}

int file_hash_text(file_hash *h, char *out, size_t size)
{
  if (!h || !out)
    return -1;
  std::string s;
  for (size_t a = 0; a < N_ALGS; ++a) {
    if (h->whole[a])
      s += std::string(g_algs[a].name) + " " + pl_hash_state_text(h->whole[a]) + "\n";
    else if (h->acc[a])
      s += std::string(g_algs[a].name) + " " + h->acc[a]->text() + "\n";
  }
  if (!s.empty())
    s.pop_back();
  if (s.size() >= size)
    return -1;
  memcpy(out, s.c_str(), s.size() + 1);
  return static_cast<int>(s.size());
}

int file_hash_get(file_hash *h, uint32_t flag, uint8_t *out, size_t size)
{
  if (!h || !out)
    return -1;
  for (size_t a = 0; a < N_ALGS; ++a) {
    if (!(flag & g_algs[a].flag) || (!h->whole[a] && !h->acc[a]))
      continue;
    size_t d = pl_hash_len(g_algs[a].alg);
    if (size < d)
      return -1;
    if (h->whole[a])
      return static_cast<int>(pl_hash_final(h->whole[a], out));
    std::lock_guard<std::mutex> g(h->acc[a]->lock);
    for (size_t i = 0; i < d; ++i) {
      uint32_t v = h->acc[a]->sums[i];
      uint8_t le[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                       static_cast<uint8_t>(v >> 24)};
      out[i] = file_hash_crc8(le, 4);
    }
    return static_cast<int>(d);
  }
  return -1;
}

int file_hash_records(file_hash *h, char *out, size_t size)
{
  if (!h)
    return -1;
  std::string s;
  for (size_t a = 0; a < N_ALGS; ++a) {
    sum_acc *acc = h->acc[a].get();
    if (!acc)
      continue;
    std::lock_guard<std::mutex> g(acc->lock);
    if (out) {
      s += std::string(g_algs[a].name) + " ";
      for (size_t i = 0; i < acc->have.size() && acc->have[i]; ++i)
        s += pl_hex(&acc->records[i * acc->d], acc->d) + "|";
      s += "\n";
    }
    std::fill(acc->sums.begin(), acc->sums.end(), 0);
    std::fill(acc->have.begin(), acc->have.end(), 0);
  }
  if (!out)
    return 0;
  if (s.size() >= size)
    return -1;
  memcpy(out, s.c_str(), s.size() + 1);
  return static_cast<int>(s.size());
}

const vperror *file_hash_err(const file_hash *h)
{
  return h ? &h->err : nullptr;
}

void file_hash_close(file_hash *h)
{
  if (!h)
    return;
  if (h->pool) {
    thread_pool_wait_idle(h->pool, static_cast<int>(h->p.timeout));
    if (h->own_pool)
      thread_pool_exit(h->pool);
  }
  for (pl_hash *w : h->whole)
    pl_hash_free(w);
  delete h;
}
