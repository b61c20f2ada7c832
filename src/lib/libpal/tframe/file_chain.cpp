#define LOG_TAG "pal"
#include "libpal/tframe/file_chain.h"

#include <algorithm>
#include <cstring>

#include "liblog/log2.h"

namespace {

void put32(uint8_t *p, uint32_t v)
{
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t *p)
{
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t get64(const uint8_t *p)
{
  return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
}

int fail(vperror *errp, int code, const char *msg)
{
  VPERROR_SET(errp, code, "%s", msg);
  return -1;
}

} // namespace

bool file_chain_list_build(const std::vector<file_chain_seg> &segs, std::vector<uint8_t> *list)
{
  list->assign(8, 0);
  uint64_t base = segs.empty() ? 0 : segs[0].offset;
  for (const auto &s : segs)
    base = std::min(base, s.offset);
  for (int i = 0; i < 8; ++i)
    (*list)[static_cast<size_t>(i)] = static_cast<uint8_t>(base >> (8 * i));
  for (const auto &s : segs) {
    if (s.offset - base > 0xffffffffull)
      return false;
    uint8_t e[8];
    put32(e, static_cast<uint32_t>(s.offset - base));
    put32(e + 4, s.len);
    list->insert(list->end(), e, e + 8);
  }
  return true;
}

int file_chain_list_parse(const uint8_t *list, size_t lbs, std::vector<file_chain_seg> *segs, vperror *errp)
{
  segs->clear();
  if (!list || lbs < 8 || (lbs - 8) % 8 != 0) {
    LOGE("lbs=%d <8", static_cast<int>(lbs));
    VPERROR_SET(errp, VERR_FAIL, "invalid param lbs=%d <8", static_cast<int>(lbs));
    return -1;
  }
  uint64_t base = get64(list);
  for (size_t at = 8; at < lbs; at += 8)
    segs->push_back({base + get32(list + at), get32(list + at + 4)});
  return 0;
}

int64_t file_chain_cpread_buf(void *file, const file_chain_procs *procs, const uint8_t *list, size_t lbs,
                              uint8_t *out, size_t out_size, vperror *errp)
{
  std::vector<file_chain_seg> segs;
  if (file_chain_list_parse(list, lbs, &segs, errp) < 0)
    return -1;
  size_t pos = 0;
  for (const auto &s : segs) {
    if (out_size - pos < 4 || out_size - pos - 4 < s.len) {
      LOGE("len=%d error: Data may be incorrect", static_cast<int>(s.len));
      return fail(errp, VERR_OVERFLOW, "Data may be incorrect");
    }
    if (!procs || !procs->read) {
      put32(out + pos, s.len);
      pos += 4 + s.len;
      continue;
    }
    int64_t n = procs->read(file, out + pos + 4, s.len, s.offset);
    if (n < 0) {
      if (procs->err_cb)
        procs->err_cb(file, "cpread", errp);
      else
        VPERROR_SET(errp, VERR_FAIL, "cpread at %llu failed", static_cast<unsigned long long>(s.offset));
      return -1;
    }
    put32(out + pos, static_cast<uint32_t>(n));
    pos += 4 + static_cast<size_t>(n);
    if (static_cast<uint64_t>(n) < s.len)
      break;
  }
  return static_cast<int64_t>(pos);
}

int64_t file_chain_cpwrite_buf(void *file, const file_chain_procs *procs, const uint8_t *list, size_t lbs,
                               const uint8_t *in, size_t in_len, vperror *errp)
{
  std::vector<file_chain_seg> segs;
  if (file_chain_list_parse(list, lbs, &segs, errp) < 0)
    return -1;
  size_t pos = 0, idx = 0;
  int64_t total = 0;
  while (pos < in_len) {
    if (idx >= segs.size()) {
      LOGE("idx=%d error: Too much Data", static_cast<int>(idx));
      return fail(errp, VERR_PROTO, "Too much Data");
    }
    if (in_len - pos < 4) {
      LOGE("blen=%d error: Not Enough Data", static_cast<int>(in_len - pos));
      return fail(errp, VERR_PROTO, "Not Enough Data");
    }
    uint32_t n = get32(in + pos);
    if (n > segs[idx].len || in_len - pos - 4 < n) {
      LOGE("olen=%d error: Data may be incorrect", static_cast<int>(n));
      return fail(errp, VERR_PROTO, "Data may be incorrect");
    }
    if (procs && procs->write) {
      int64_t w = procs->write(file, in + pos + 4, n, segs[idx].offset);
      if (w < 0 || static_cast<uint64_t>(w) != n) {
        if (procs->err_cb)
          procs->err_cb(file, "cpwrite", errp);
        else
          VPERROR_SET(errp, VERR_FAIL, "cpwrite at %llu failed", static_cast<unsigned long long>(segs[idx].offset));
        return -1;
      }
    }
    total += n;
    pos += 4 + n;
    ++idx;
  }
  return total;
}

int file_chain_pread_buf(std::vector<file_chain_block> *chain, const uint8_t *buf, size_t blen, vperror *errp)
{
  size_t pos = 0, idx = 0;
  while (pos < blen) {
    if (blen - pos < 4) {
      LOGE("blen=%d error: Not Enough Data", static_cast<int>(blen - pos));
      return fail(errp, VERR_PROTO, "Not Enough Data");
    }
    if (idx >= chain->size()) {
      LOGE("idx=%d error: Too much Data", static_cast<int>(idx));
      return fail(errp, VERR_PROTO, "Too much Data");
    }
    uint32_t n = get32(buf + pos);
    file_chain_block &b = (*chain)[idx];
    if (n > blen - pos - 4 || n > b.len) {
      LOGE("len=%d error: Data may be incorrect or incomplete", static_cast<int>(n));
      return fail(errp, VERR_PROTO, "Data may be incorrect or incomplete");
    }
    b.rlen = n;
    b.data.assign(buf + pos + 4, buf + pos + 4 + n);
    pos += 4 + n;
    ++idx;
  }
  return static_cast<int>(idx);
}

int64_t file_chain_pwrite_buf(const std::vector<file_chain_block> &chain, uint8_t *out, size_t olen, vperror *errp)
{
  size_t pos = 0;
  for (const auto &b : chain) {
    size_t n = b.data.size();
    if (olen - pos < 4 || olen - pos - 4 < n) {
      LOGE("olen=%d error: Data may be incorrect", static_cast<int>(olen));
      return fail(errp, VERR_OVERFLOW, "Data may be incorrect");
    }
    put32(out + pos, static_cast<uint32_t>(n));
    if (n)
      memcpy(out + pos + 4, b.data.data(), n);
    pos += 4 + n;
  }
  return static_cast<int64_t>(pos);
}

void file_chain_buf_dump(const std::vector<file_chain_block> &chain)
{
  LOGD("[%d]===========================", static_cast<int>(chain.size()));
  for (const auto &b : chain)
    LOGD("off=%d len=%d rlen=%d wlen=%d", static_cast<int>(b.off), static_cast<int>(b.len), static_cast<int>(b.rlen),
         static_cast<int>(b.wlen));
  LOGD("===========================");
}
