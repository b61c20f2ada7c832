#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "libpack/zcomp.h"

namespace {

std::string compressible(size_t n)
{
  std::string s;
  while (s.size() < n)
    s += "line " + std::to_string(s.size() % 977) + " of a listing with repeated words\n";
  s.resize(n);
  return s;
}

std::string random_bytes(size_t n, unsigned seed)
{
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (char &c : s)
    c = (char)(g() & 0xff);
  return s;
}

TEST(zcomp_codec, open_by_name_and_id)
{
  static const struct {
    const char *name;
    int32_t id;
    int rc;
    int32_t want_id;
  } cases[] = {
      {"none", 7, 0, 0}, {"lz4", 0, 0, 1}, {"", 1, 0, 1}, {"", 0, 0, 0},
      {"LZ4", 1, -1, 1},  /* names match exactly */
      {"zstd", 0, -1, 0}, /* outside the registry */
      {"", 2, -1, 2},
  };
  for (const auto &k : cases) {
    zcomp z;
    snprintf(z.name, sizeof z.name, "%s", k.name);
    z.id = k.id;
    EXPECT_EQ(k.rc, zcomp_open(&z)) << k.name << "/" << k.id;
    EXPECT_EQ(k.want_id, z.id) << k.name << "/" << k.id;
    EXPECT_EQ(k.rc == 0, z.codec != nullptr);
    zcomp_close(&z);
    zcomp_close(&z); /* twice is harmless */
    EXPECT_EQ(nullptr, z.codec);
  }
  zcomp closed;
  char out[8];
  EXPECT_EQ(-1, zcomp_compress(&closed, "abc", 3, out, sizeof out));
}

TEST(zcomp_codec, round_trips)
{
  const std::string inputs[] = {compressible(65536), random_bytes(65536, 1), std::string(1, 'x'), compressible(2 << 20)};
  for (const char *name : {"none", "lz4"}) {
    zcomp z;
    snprintf(z.name, sizeof z.name, "%s", name);
    ASSERT_EQ(0, zcomp_open(&z));
    for (const std::string &in : inputs) {
      std::vector<char> packed(zcomp_bound((uint32_t)in.size()));
      int n = zcomp_compress(&z, in.data(), (int)in.size(), packed.data(), (int)packed.size());
      ASSERT_GT(n, 0) << name << " " << in.size();
      if (strcmp(name, "none") == 0) {
        EXPECT_EQ((int)in.size(), n);
      }
      void *out = nullptr;
      ASSERT_EQ(0, zcomp_decompress_exact(&z, packed.data(), n, &out, (int)in.size())) << name;
      EXPECT_EQ(0, memcmp(out, in.data(), in.size())) << name;
      EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(out) % (uintptr_t)sysconf(_SC_PAGESIZE));
    }
    zcomp_close(&z);
  }
}

TEST(zcomp_codec, lz4_limits)
{
  zcomp z;
  snprintf(z.name, sizeof z.name, "lz4");
  ASSERT_EQ(0, zcomp_open(&z));
  std::string in = compressible(65536);
  std::vector<char> packed(zcomp_bound((uint32_t)in.size()));
  int n = zcomp_compress(&z, in.data(), (int)in.size(), packed.data(), (int)packed.size());
  ASSERT_GT(n, 0);
  EXPECT_LT(n, (int)in.size() / 4); /* compressible text shrinks */

  /* output that does not fit gives 0 */
  std::string noise = random_bytes(4096, 2);
  char small[64];
  EXPECT_EQ(0, zcomp_compress(&z, noise.data(), (int)noise.size(), small, sizeof small));

  /* a block that expands past the expected length fails and stays inside its buffer (ASan
   * watches the page-rounded buffer; the codec writes nothing past expected) */
  void *out = nullptr;
  EXPECT_EQ(-1, zcomp_decompress_exact(&z, packed.data(), n, &out, (int)in.size() - 1));
  std::vector<char> exact(in.size() - 1);
  EXPECT_LT(zcomp_decompress(&z, packed.data(), n, exact.data(), (int)exact.size()), 0);
  /* one expected byte too many also fails */
  EXPECT_EQ(-1, zcomp_decompress_exact(&z, packed.data(), n, &out, (int)in.size() + 1));
  /* malformed input */
  std::string junk = random_bytes(100, 3);
  std::vector<char> big(1 << 16);
  EXPECT_LT(zcomp_decompress(&z, junk.data(), (int)junk.size(), big.data(), (int)big.size()), 0);
  EXPECT_LT(zcomp_decompress(&z, packed.data(), n - 5, big.data(), (int)big.size()), 0); /* truncated */
  zcomp_close(&z);
}

/* A block of data that did not compress is read where it lies, byte for byte what the decoder
 * gives; anything else is decoded, and a block of another shape or length is refused as before. */
TEST(zcomp_codec, view_reads_a_block_that_did_not_compress_in_place)
{
  zcomp z;
  snprintf(z.name, sizeof z.name, "lz4");
  ASSERT_EQ(0, zcomp_open(&z));
  for (size_t len : {(size_t)1, (size_t)14, (size_t)15, (size_t)270, (size_t)65536, (size_t)(2u << 20)}) {
    std::string noise = random_bytes(len, (unsigned)len);
    std::vector<char> packed(zcomp_bound((uint32_t)len));
    int n = zcomp_compress(&z, noise.data(), (int)len, packed.data(), (int)packed.size());
    ASSERT_GT(n, 0) << len;
    const void *out = nullptr;
    ASSERT_EQ(0, zcomp_decompress_view(&z, packed.data(), n, &out, (int)len)) << len;
    const char *o = static_cast<const char *>(out);
    EXPECT_TRUE(o > packed.data() && o + len == packed.data() + n) << len << ": not read in place";
    EXPECT_EQ(0, memcmp(o, noise.data(), len)) << len;
    /* one byte more or less than the block holds is refused */
    EXPECT_EQ(-1, zcomp_decompress_view(&z, packed.data(), n, &out, (int)len + 1)) << len;
    if (len > 1) {
      EXPECT_EQ(-1, zcomp_decompress_view(&z, packed.data(), n, &out, (int)len - 1)) << len;
    }
    /* cut short, or with a byte after its end */
    EXPECT_EQ(-1, zcomp_decompress_view(&z, packed.data(), n - 1, &out, (int)len)) << len;
    packed.resize((size_t)n + 1, 'x');
    EXPECT_EQ(-1, zcomp_decompress_view(&z, packed.data(), n + 1, &out, (int)len)) << len;
  }
  std::string text = compressible(65536);
  std::vector<char> packed(zcomp_bound((uint32_t)text.size()));
  int n = zcomp_compress(&z, text.data(), (int)text.size(), packed.data(), (int)packed.size());
  ASSERT_GT(n, 0);
  const void *out = nullptr;
  ASSERT_EQ(0, zcomp_decompress_view(&z, packed.data(), n, &out, (int)text.size()));
  EXPECT_EQ(std::string(static_cast<const char *>(out), text.size()), text);
  /* a count that runs past the block */
  const unsigned char runaway[] = {0xF0, 0xFF, 0xFF};
  EXPECT_EQ(-1, zcomp_decompress_view(&z, runaway, (int)sizeof runaway, &out, 600));
  zcomp_close(&z);
}

TEST(zcomp_codec, bound)
{
  static const struct {
    uint32_t in, want;
  } cases[] = {{0, 16}, {255, 272}, {65536, 65536 + 257 + 16}, {0x7E000000u, 0x7E000000u + 0x7E000000u / 255 + 16},
               {0x7E000001u, 0}, {0xFFFFFFFFu, 0}};
  for (const auto &k : cases)
    EXPECT_EQ(k.want, zcomp_bound(k.in)) << k.in;
}

TEST(zcomp_codec, scratch_buffer)
{
  zcomp z;
  long page = sysconf(_SC_PAGESIZE);
  char *a = static_cast<char *>(zcomp_alloc_align_pagesize(&z, 100));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(0, a[0]);
  EXPECT_EQ((size_t)page, z.capacity);
  a[0] = 5;
  EXPECT_EQ(a, zcomp_alloc_align_pagesize(&z, (size_t)page)); /* large enough: reused */
  EXPECT_EQ(0, a[0]);
  char *b = static_cast<char *>(zcomp_alloc_align_pagesize(&z, (size_t)page + 1));
  ASSERT_NE(nullptr, b);
  EXPECT_EQ((size_t)page * 2, z.capacity);
  b[z.capacity - 1] = 1; /* the whole capacity is usable */
  zcomp_close(&z);
  EXPECT_EQ(0u, z.capacity);
  EXPECT_EQ(nullptr, z.buffer);
}

} // namespace
