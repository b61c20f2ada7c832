/* libFuzzer target: the block codec's decoding of what a peer sends. The input is a 3-byte
 * expected length and a block. Properties: reading a block in place gives exactly what decoding
 * it gives (both refuse, or both give the same bytes), and the input compressed then read back
 * is the input. */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "libpack/zcomp.h"

namespace {

zcomp *codec()
{
  static zcomp *z = [] {
    auto *c = new zcomp;
    snprintf(c->name, sizeof c->name, "lz4");
    if (zcomp_open(c) < 0)
      __builtin_trap();
    return c;
  }();
  return z;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 3)
    return 0;
  zcomp *z = codec();
  int expected = (int)(((uint32_t)data[0] << 16 | (uint32_t)data[1] << 8 | data[2]) & 0x3FFFF);
  /* The block in a buffer of its own, so that a read past its end is seen. */
  std::vector<uint8_t> block(data + 3, data + size);
  const void *view = nullptr;
  int rv = zcomp_decompress_view(z, block.data(), (int)block.size(), &view, expected);
  std::vector<uint8_t> viewed;
  if (rv == 0) {
    const uint8_t *v = static_cast<const uint8_t *>(view);
    viewed.assign(v, v + expected);
  }
  void *out = nullptr;
  int rd = zcomp_decompress_exact(z, block.data(), (int)block.size(), &out, expected);
  if ((rv == 0) != (rd == 0))
    __builtin_trap();
  if (rd == 0 && expected > 0 && memcmp(viewed.data(), out, (size_t)expected) != 0)
    __builtin_trap();

  std::vector<uint8_t> packed(zcomp_bound((uint32_t)block.size()) + 1);
  int n = zcomp_compress(z, block.data(), (int)block.size(), packed.data(), (int)packed.size());
  if (!block.empty()) {
    if (n <= 0 || zcomp_decompress_view(z, packed.data(), n, &view, (int)block.size()) != 0 ||
        memcmp(view, block.data(), block.size()) != 0)
      __builtin_trap();
  }
  return 0;
}
