#include <gtest/gtest.h>

#include <mbedtls/base64.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libpal/string/pl_base64.h"

/* The Base64 of proxy credentials and the hex of proxy-file passwords and fingerprints. */
namespace {

TEST(net_text, base64_and_hex)
{
  static const struct {
    const char *in, *b64, *hex;
  } cases[] = {
      {"", "", ""}, {"f", "Zg==", "66"}, {"fo", "Zm8=", "666f"}, {"foo", "Zm9v", "666f6f"},
      {"bob:Pw-s3cret", "Ym9iOlB3LXMzY3JldA==", "626f623a50772d7333637265"},
  };
  for (const auto &k : cases) {
    char out[64];
    size_t n = strlen(k.in);
    EXPECT_EQ((int)strlen(k.b64), str_base64_encode(k.in, n, out, sizeof out));
    EXPECT_STREQ(k.b64, out);
    char back[64];
    EXPECT_EQ((int)n, str_base64_decode(k.b64, strlen(k.b64), back, sizeof back));
    EXPECT_EQ(0, memcmp(k.in, back, n));
  }
  char out[8];
  EXPECT_EQ(-1, str_base64_encode("foobar", 6, out, 8)); /* 8 characters need 9 bytes */
  char back[4];
  EXPECT_EQ(-1, str_base64_decode("Zm9v!", 5, back, sizeof back));
  EXPECT_EQ(-2, str_base64_decode("Zm9vYmFy", 8, back, sizeof back));

  unsigned char bytes[] = {0x00, 0xab, 0xFF, 0x10};
  char hex[16];
  EXPECT_EQ(8, str_hex_encode(bytes, sizeof bytes, hex, sizeof hex));
  EXPECT_STREQ("00abff10", hex);
  EXPECT_EQ(11, str_hex_encode_sep(bytes, sizeof bytes, ':', hex, sizeof hex));
  EXPECT_STREQ("00:AB:FF:10", hex);
  EXPECT_EQ(-1, str_hex_encode(bytes, sizeof bytes, hex, 8));
  unsigned char dec[4];
  EXPECT_EQ(4, str_hex_decode("00ABff10", 8, dec, sizeof dec));
  EXPECT_EQ(0, memcmp(bytes, dec, 4));
  EXPECT_EQ(-1, str_hex_decode("abc", 3, dec, sizeof dec));  /* odd */
  EXPECT_EQ(-1, str_hex_decode("zz", 2, dec, sizeof dec));   /* not hex */
  EXPECT_EQ(-2, str_hex_decode("0011223344", 10, dec, sizeof dec));
}

/* The table codec that carries file contents gives the library's text and bytes: every length
 * around the group boundaries, random bytes, and texts the fast path leaves to the library. */
TEST(net_text, base64_matches_the_library)
{
  std::mt19937 rng(7);
  for (size_t n = 0; n < 300; n++) {
    std::vector<unsigned char> in(n);
    for (auto &b : in)
      b = static_cast<unsigned char>(rng());
    std::string ours(str_base64_len(n) + 1, '\0'), lib(str_base64_len(n) + 1, '\0');
    int k = str_base64_encode(in.data(), n, ours.data(), ours.size());
    size_t olen = 0;
    ASSERT_EQ(0, mbedtls_base64_encode(reinterpret_cast<unsigned char *>(lib.data()), lib.size(), &olen, in.data(), n));
    ASSERT_EQ((int)olen, k) << n;
    ASSERT_EQ(0, memcmp(ours.data(), lib.data(), olen)) << n;
    std::vector<unsigned char> back(n + 1);
    ASSERT_EQ((int)n, str_base64_decode(ours.data(), (size_t)k, back.data(), back.size())) << n;
    ASSERT_TRUE(std::equal(in.begin(), in.end(), back.begin())) << n;
    if (n > 0) { /* one byte short of room */
      EXPECT_EQ(-2, str_base64_decode(ours.data(), (size_t)k, back.data(), n - 1)) << n;
    }
  }
  /* Texts that are not strict groups: each decodes (or fails) as the library says. */
  const char *odd[] = {"Zm9v\nYmFy", "Zm9v YmFy", "Zg", "Zg=", "Z===", "====", "Zh==", "Zm9=", "Zm=v", "Zm9v=",
                       "Zm9v!", "Zm\r\n9v", "=Zm9"};
  for (const char *t : odd) {
    unsigned char a[32], b[32];
    size_t olen = 0;
    int lib = mbedtls_base64_decode(b, sizeof b, &olen, reinterpret_cast<const unsigned char *>(t), strlen(t));
    int ours = str_base64_decode(t, strlen(t), a, sizeof a);
    if (lib == 0) {
      ASSERT_EQ((int)olen, ours) << t;
      EXPECT_EQ(0, memcmp(a, b, olen)) << t;
    } else {
      EXPECT_EQ(-1, ours) << t;
    }
  }
}

} // namespace
