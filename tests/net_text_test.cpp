#include <gtest/gtest.h>

#include <cstring>

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

} // namespace
