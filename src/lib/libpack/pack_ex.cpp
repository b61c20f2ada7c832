#define LOG_TAG "pack"
#include <cstdlib>
#include <cstring>
#include <lz4.h>
#include <unistd.h>

#include "liblog/log2.h"
#include "libpack/zcomp.h"

namespace {

/* LZ4's fastest useful setting: service blocks trade ratio for speed. */
constexpr int LZ4_ACCELERATION = 17;
constexpr uint32_t ZCOMP_LEN_MAX = 0x7E000000u;

char g_none_token;

void *none_create(void *)
{
  return &g_none_token;
}
void none_destroy(void *) {}
int none_copy(void *, const void *src, int src_len, void *dst, int dst_cap)
{
  if (src_len < 0 || src_len > dst_cap)
    return -1;
  memcpy(dst, src, (size_t)src_len);
  return src_len;
}

void *lz4_create(void *)
{
  return malloc((size_t)LZ4_sizeofState());
}
void lz4_destroy(void *state)
{
  free(state);
}
int lz4_compress(void *state, const void *src, int src_len, void *dst, int dst_cap)
{
  return LZ4_compress_fast_extState(state, static_cast<const char *>(src), static_cast<char *>(dst), src_len,
                                    dst_cap, LZ4_ACCELERATION);
}
int lz4_decompress(void *, const void *src, int src_len, void *dst, int dst_cap)
{
  return LZ4_decompress_safe(static_cast<const char *>(src), static_cast<char *>(dst), src_len, dst_cap);
}

const zcomp_codec zcomp_none = {
    .name = "none",
    .id = 0,
    .create = none_create,
    .destroy = none_destroy,
    .compress = none_copy,
    .decompress = none_copy,
};
const zcomp_codec zcomp_lz4 = {
    .name = "lz4",
    .id = 1,
    .create = lz4_create,
    .destroy = lz4_destroy,
    .compress = lz4_compress,
    .decompress = lz4_decompress,
};
const zcomp_codec *const g_codecs[] = {&zcomp_none, &zcomp_lz4, nullptr};

} // namespace

const zcomp_codec *const *zcomp_codecs()
{
  return g_codecs;
}

static void codec_close(zcomp *z)
{
  if (z->codec && z->state)
    z->codec->destroy(z->state);
  z->codec = nullptr;
  z->state = nullptr;
}

int zcomp_open(zcomp *z)
{
  codec_close(z);
  z->name[ZCOMP_NAME_MAX] = 0;
  for (const zcomp_codec *const *c = g_codecs; *c; c++) {
    bool match = z->name[0] ? strcmp(z->name, (*c)->name) == 0 : z->id == (*c)->id;
    if (!match)
      continue;
    void *state = (*c)->create(nullptr);
    if (!state)
      return -1;
    z->codec = *c;
    z->state = state;
    z->id = (*c)->id;
    return 0;
  }
  return -1;
}

void zcomp_close(zcomp *z)
{
  codec_close(z);
  free(z->buffer);
  z->buffer = nullptr;
  z->capacity = 0;
}

int zcomp_compress(zcomp *z, const void *src, int src_len, void *dst, int dst_cap)
{
  if (!z->codec)
    return -1;
  return z->codec->compress(z->state, src, src_len, dst, dst_cap);
}

int zcomp_decompress(zcomp *z, const void *src, int src_len, void *dst, int dst_cap)
{
  if (!z->codec)
    return -1;
  return z->codec->decompress(z->state, src, src_len, dst, dst_cap);
}

int zcomp_decompress_exact(zcomp *z, const void *src, int src_len, void **out, int expected)
{
  if (expected < 0)
    return -1;
  void *buf = zcomp_alloc_align_pagesize(z, expected > 0 ? (size_t)expected : 1);
  if (!buf)
    return -1;
  int n = zcomp_decompress(z, src, src_len, buf, expected);
  if (n != expected)
    return -1;
  *out = buf;
  return 0;
}

int zcomp_decompress_view(zcomp *z, const void *src, int src_len, const void **out, int expected)
{
  if (expected < 0 || src_len < 0 || !z->codec)
    return -1;
  /* Data that travels as it is is its own output. */
  if (z->codec->id == 0 && expected > 0) {
    if (src_len != expected)
      return -1;
    *out = src;
    return 0;
  }
  /* An LZ4 block of data that did not compress is one sequence of literals only: a token whose
   * match part is 0, the literal count (15 plus bytes that continue while they are 255), then
   * the bytes themselves up to the block's end. Its output is those bytes, where they lie. */
  if (z->codec->id == 1 && expected > 0 && src_len > 0) {
    const uint8_t *p = static_cast<const uint8_t *>(src);
    const uint8_t *end = p + src_len;
    if ((p[0] & 0x0F) == 0) {
      uint64_t lit = p[0] >> 4;
      const uint8_t *q = p + 1;
      if (lit == 15) {
        uint8_t b = 255;
        while (b == 255 && q < end && lit <= (uint64_t)expected) {
          b = *q++;
          lit += b;
        }
        if (b == 255)
          lit = 0; /* the count runs past the block: not this shape */
      }
      if (lit == (uint64_t)expected && (uint64_t)(end - q) == lit) {
        *out = q;
        return 0;
      }
    }
  }
  void *buf = nullptr;
  if (zcomp_decompress_exact(z, src, src_len, &buf, expected) < 0)
    return -1;
  *out = buf;
  return 0;
}

uint32_t zcomp_bound(uint32_t len)
{
  if (len > ZCOMP_LEN_MAX)
    return 0;
  return len + len / 255 + 16;
}

void *zcomp_alloc_align_pagesize(zcomp *z, size_t size)
{
  long page = sysconf(_SC_PAGESIZE);
  if (page <= 0)
    page = 4096;
  if (page < 2) {
    LOGW("align must >=2\n");
    return nullptr;
  }
  if (z->buffer && z->capacity >= size) {
    static_cast<char *>(z->buffer)[0] = 0;
    return z->buffer;
  }
  free(z->buffer);
  z->buffer = nullptr;
  z->capacity = 0;
  size_t rounded = (size + (size_t)page - 1) / (size_t)page * (size_t)page;
  if (rounded < size || rounded == 0)
    return nullptr;
  void *p = nullptr;
  if (posix_memalign(&p, (size_t)page, rounded) != 0)
    return nullptr;
  z->buffer = p;
  z->capacity = rounded;
  static_cast<char *>(p)[0] = 0;
  return p;
}
