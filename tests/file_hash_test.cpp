#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "libpal/hash/pl_hash.h"
#include "libpal/tframe/file_hash.h"

namespace {

std::string hex_of(pl_hash_alg alg, const std::string &data)
{
  uint8_t d[PL_HASH_MAX_LEN];
  size_t n = pl_hash_once(alg, data.data(), data.size(), d);
  return pl_hex(d, n);
}

TEST(pl_hash, published_vectors)
{
  static const struct {
    pl_hash_alg alg;
    std::string in;
    const char *digest;
  } cases[] = {
      {PL_HASH_MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {PL_HASH_MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {PL_HASH_SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {PL_HASH_SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {PL_HASH_SHA512, "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a"
       "9ac94fa54ca49f"},
      {PL_HASH_SM3, "abc", "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"},
      {PL_HASH_SM3, std::string(64, 'x').replace(0, 64, "abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd"),
       "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"},
      {PL_HASH_XXH3, "", "99aa06d3014798d86001c324468d497f"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(hex_of(c.alg, c.in), c.digest) << pl_hash_name(c.alg) << " [" << c.in << "]";
}

TEST(pl_hash, state_texts_continue_a_digest_for_every_algorithm)
{
  std::mt19937 g(5);
  std::string data(1000, '\0');
  for (auto &ch : data)
    ch = static_cast<char>(g());
  for (int a = 0; a < PL_HASH_COUNT; ++a) {
    auto alg = static_cast<pl_hash_alg>(a);
    std::string whole = hex_of(alg, data);
    for (size_t cut : {0u, 1u, 63u, 64u, 65u, 127u, 128u, 129u, 500u}) {
      pl_hash *h1 = pl_hash_new(alg);
      pl_hash_update(h1, data.data(), cut);
      std::string st = pl_hash_state_text(h1);
      pl_hash *h2 = pl_hash_new(alg);
      ASSERT_EQ(pl_hash_set_state(h2, st.c_str()), 0) << pl_hash_name(alg) << " cut " << cut;
      EXPECT_EQ(pl_hash_state_text(h2), st);
      /* A peek on the way gives the digest so far and changes nothing of what follows. */
      uint8_t d[PL_HASH_MAX_LEN];
      size_t n = pl_hash_peek(h1, d);
      EXPECT_EQ(pl_hex(d, n), hex_of(alg, data.substr(0, cut))) << pl_hash_name(alg) << " cut " << cut;
      pl_hash_update(h2, data.data() + cut, data.size() - cut);
      n = pl_hash_final(h2, d);
      EXPECT_EQ(pl_hex(d, n), whole) << pl_hash_name(alg) << " cut " << cut;
      pl_hash_update(h1, data.data() + cut, data.size() - cut);
      n = pl_hash_peek(h1, d);
      EXPECT_EQ(pl_hex(d, n), whole) << pl_hash_name(alg) << " cut " << cut << " after a peek";
      pl_hash_free(h1);
      pl_hash_free(h2);
    }
  }
}

TEST(pl_hash, bad_state_texts_are_refused_and_change_nothing)
{
  for (int a = 0; a < PL_HASH_COUNT; ++a) {
    auto alg = static_cast<pl_hash_alg>(a);
    pl_hash *h = pl_hash_new(alg);
    pl_hash_update(h, "abc", 3);
    std::string good = pl_hash_state_text(h);
    std::vector<std::string> bad = {"", "zz", good + ",", good + ",1", good.substr(0, good.size() - 1) + "g",
                                    "-" + good};
    for (const std::string &b : bad)
      EXPECT_EQ(pl_hash_set_state(h, b.c_str()), -1) << pl_hash_name(alg) << " [" << b.substr(0, 40) << "]";
    EXPECT_EQ(pl_hash_state_text(h), good) << pl_hash_name(alg);
    pl_hash_free(h);
  }
}

TEST(file_hash, flag_lists_and_crc8)
{
  EXPECT_EQ(file_hash_flags("md5,pxxh3"), 0x801);
  EXPECT_EQ(file_hash_flags("bogus"), -1);
  EXPECT_EQ(file_hash_flags(""), -1);
  EXPECT_EQ(file_hash_flags("MD5"), -1) << "names are exact";
  EXPECT_EQ(file_hash_flags_text(0xFFF),
            "md5|sha1|sha256|sha512|sm3|xxh3|pmd5|psha1|psha256|psha512|psm3|pxxh3");
  EXPECT_EQ(file_hash_flags_text(0x801), "md5|pxxh3");
  const char check[] = "123456789";
  EXPECT_EQ(file_hash_crc8(reinterpret_cast<const uint8_t *>(check), 9), 0xF4);
}

class hash_file : public ::testing::Test {
protected:
  std::string path;
  int fd = -1;
  void write(const std::string &data)
  {
    char tmpl[] = "/tmp/file_hash.XXXXXX";
    fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    path = tmpl;
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  void TearDown() override
  {
    if (fd >= 0)
      close(fd);
    unlink(path.c_str());
  }
  file_hash *open(uint32_t flags, uint32_t bs, const char *state = nullptr, bool parallel = false)
  {
    file_hash_param p;
    p.flags = flags;
    p.file = &fd;
    p.bs = bs;
    p.state = state;
    p.parallel = parallel;
    vperror e{};
    file_hash *h = file_hash_open(&p, &e);
    EXPECT_NE(h, nullptr) << e.msg;
    return h;
  }
  static std::string text(file_hash *h)
  {
    std::vector<char> b(1 << 16);
    EXPECT_GE(file_hash_text(h, b.data(), b.size()), 0);
    return b.data();
  }
};

TEST_F(hash_file, a_range_hashed_in_two_calls_and_continued_from_text_gives_the_same_digest)
{
  std::string data(300000, '\0');
  std::mt19937 g(9);
  for (auto &c : data)
    c = static_cast<char>(g());
  write(data);
  file_hash *one = open(FILE_HASH_MD5 | FILE_HASH_SM3 | FILE_HASH_XXH3, 4096);
  ASSERT_EQ(file_hash_cal(one, 0, data.size()), 0);
  uint8_t want[64], got[64];
  ASSERT_EQ(file_hash_get(one, FILE_HASH_MD5, want, sizeof want), 16);
  EXPECT_EQ(pl_hex(want, 16), hex_of(PL_HASH_MD5, data));

  file_hash *first = open(FILE_HASH_MD5 | FILE_HASH_SM3 | FILE_HASH_XXH3, 4096);
  ASSERT_EQ(file_hash_cal(first, 0, 100000), 0);
  std::string saved = text(first);
  EXPECT_EQ(saved.find("md5 "), 0u);
  EXPECT_NE(saved.find("\nsm3 "), std::string::npos);
  EXPECT_NE(saved.find("\nxxh3 "), std::string::npos);
  file_hash *second = open(FILE_HASH_MD5 | FILE_HASH_SM3 | FILE_HASH_XXH3, 4096, saved.c_str());
  ASSERT_EQ(file_hash_cal(second, 100000, data.size() - 100000), 0);
  ASSERT_EQ(file_hash_get(second, FILE_HASH_MD5, got, sizeof got), 16);
  EXPECT_EQ(pl_hex(got, 16), pl_hex(want, 16));
  ASSERT_EQ(file_hash_get(second, FILE_HASH_XXH3, got, sizeof got), 16);
  EXPECT_EQ(pl_hex(got, 16), hex_of(PL_HASH_XXH3, data));
  EXPECT_EQ(file_hash_get(second, FILE_HASH_SM3, got, 31), -1) << "buffer too small";
  for (file_hash *h : {one, first, second})
    file_hash_close(h);
}

TEST_F(hash_file, block_sums_ignore_order_whole_digests_do_not)
{
  const uint32_t bs = 4096;
  std::string a(bs, 'A'), b(bs, 'B'), c(bs, 'C');
  write(a + b + c + b + a + c);
  file_hash *h = open(FILE_HASH_MD5 | FILE_HASH_PXXH3 | FILE_HASH_PSHA256, bs);
  file_hash *p = open(FILE_HASH_MD5 | FILE_HASH_PXXH3 | FILE_HASH_PSHA256, bs, nullptr, true);
  ASSERT_EQ(file_hash_cal(h, 0, 3 * bs), 0);
  std::string t1 = text(h);
  uint8_t m1[64], m2[64], x1[64], x2[64];
  file_hash_get(h, FILE_HASH_MD5, m1, sizeof m1);
  file_hash_get(h, FILE_HASH_PXXH3, x1, sizeof x1);
  std::vector<char> r1(4096), r2(4096);
  ASSERT_GT(file_hash_records(h, r1.data(), r1.size()), 0);

  ASSERT_EQ(file_hash_cal(p, 3 * bs, 3 * bs), 0); /* b a c: the same blocks in another order */
  std::string t2 = text(p);
  file_hash_get(p, FILE_HASH_MD5, m2, sizeof m2);
  file_hash_get(p, FILE_HASH_PXXH3, x2, sizeof x2);
  ASSERT_GT(file_hash_records(p, r2.data(), r2.size()), 0);
  /* The sums (texts after the md5 line) agree; the md5 of the range and the records differ. */
  EXPECT_EQ(t1.substr(t1.find('\n')), t2.substr(t2.find('\n')));
  EXPECT_NE(pl_hex(m1, 16), pl_hex(m2, 16));
  EXPECT_EQ(pl_hex(x1, 16), pl_hex(x2, 16));
  EXPECT_NE(std::string(r1.data()), std::string(r2.data()));
  /* The records list one digest per block, in block order. */
  std::string rec = r1.data();
  size_t line = rec.find("pxxh3 ");
  ASSERT_NE(line, std::string::npos);
  std::string xl = rec.substr(line + 6, rec.find('\n', line) - line - 6);
  uint8_t d[16];
  pl_hash_once(PL_HASH_XXH3, a.data(), bs, d);
  EXPECT_EQ(xl.substr(0, 33), pl_hex(d, 16) + "|");
  EXPECT_EQ(std::count(xl.begin(), xl.end(), '|'), 3);
  file_hash_close(h);
  file_hash_close(p);
}

TEST_F(hash_file, ranges_at_the_end_of_the_file_and_refusals)
{
  write(std::string(10000, 'z'));
  file_hash *h = open(FILE_HASH_SHA1, 4096);
  ASSERT_EQ(file_hash_cal(h, 8000, 100000), 0) << "ends at the short read";
  uint8_t d[20];
  ASSERT_EQ(file_hash_get(h, FILE_HASH_SHA1, d, sizeof d), 20);
  EXPECT_EQ(pl_hex(d, 20), hex_of(PL_HASH_SHA1, std::string(2000, 'z')));
  EXPECT_EQ(file_hash_cal(h, 20000, 10), -1);
  EXPECT_EQ(file_hash_err(h)->code, VERR_EOF);
  EXPECT_EQ(file_hash_get(h, FILE_HASH_MD5, d, sizeof d), -1) << "not selected";
  file_hash_close(h);

  file_hash_param p;
  p.file = &fd;
  vperror e{};
  p.flags = 0x1000;
  EXPECT_EQ(file_hash_open(&p, &e), nullptr);
  EXPECT_EQ(e.code, VERR_NOTSUP);
  p.flags = 0;
  EXPECT_EQ(file_hash_open(&p, &e), nullptr);
  EXPECT_EQ(e.code, VERR_PARAM);
  p.flags = FILE_HASH_MD5;
  p.size = -1;
  EXPECT_EQ(file_hash_open(&p, &e), nullptr);
  EXPECT_EQ(e.code, VERR_PARAM);
  p.size = 0;
  p.flags = FILE_HASH_PMD5;
  p.state = "pmd5 1,2,3";
  EXPECT_EQ(file_hash_open(&p, &e), nullptr) << "a sum text needs 16 values";

  /* Records sized by the first range: a longer range later is refused. */
  file_hash *s = open(FILE_HASH_PMD5, 4096);
  ASSERT_EQ(file_hash_cal(s, 0, 4096), 0);
  EXPECT_EQ(file_hash_cal(s, 0, 8192), -1);
  file_hash_close(s);
}

} // namespace

#include "libpal/tframe/file_chain.h"

namespace {

int64_t fd_read(void *file, void *buf, size_t len, uint64_t off)
{
  return pread(*static_cast<int *>(file), buf, len, static_cast<off_t>(off));
}
int64_t fd_write(void *file, const void *buf, size_t len, uint64_t off)
{
  return pwrite(*static_cast<int *>(file), buf, len, static_cast<off_t>(off));
}

TEST_F(hash_file, file_chain_moves_listed_pieces_between_files)
{
  std::string data(20000, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7);
  write(data);
  std::vector<uint8_t> list;
  ASSERT_TRUE(file_chain_list_build({{4096, 100}, {1000, 50}, {19990, 100}, {0, 10}}, &list));
  EXPECT_EQ(list.size(), 8u + 4 * 8);
  file_chain_procs procs;
  procs.read = fd_read;
  procs.write = fd_write;
  std::vector<uint8_t> out(1024);
  vperror e{};
  /* The third piece runs past the end: 10 bytes, and the chain stops there. */
  int64_t n = file_chain_cpread_buf(&fd, &procs, list.data(), list.size(), out.data(), out.size(), &e);
  ASSERT_EQ(n, 4 + 100 + 4 + 50 + 4 + 10);
  EXPECT_EQ(out[0] | out[1] << 8, 100);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(&out[4]), 100), data.substr(4096, 100));

  /* Write the records into another file at the same places. */
  char tmpl[] = "/tmp/file_chain.XXXXXX";
  int fd2 = mkstemp(tmpl);
  ASSERT_GE(fd2, 0);
  EXPECT_EQ(file_chain_cpwrite_buf(&fd2, &procs, list.data(), list.size(), out.data(), static_cast<size_t>(n), &e),
            160);
  char back[100];
  ASSERT_EQ(pread(fd2, back, 50, 1000), 50);
  EXPECT_EQ(std::string(back, 50), data.substr(1000, 50));
  close(fd2);
  unlink(tmpl);

  /* Split back into blocks. */
  std::vector<file_chain_block> chain(4);
  for (size_t i = 0; i < 4; ++i)
    chain[i].len = 100;
  EXPECT_EQ(file_chain_pread_buf(&chain, out.data(), static_cast<size_t>(n), &e), 3);
  EXPECT_EQ(chain[1].rlen, 50u);
  std::vector<uint8_t> again(1024);
  chain.resize(3);
  EXPECT_EQ(file_chain_pwrite_buf(chain, again.data(), again.size(), &e), n);
  EXPECT_EQ(std::vector<uint8_t>(again.begin(), again.begin() + n), std::vector<uint8_t>(out.begin(), out.begin() + n));
}

TEST(file_chain, malformed_lists_and_records_are_refused)
{
  vperror e{};
  std::vector<uint8_t> out(64);
  for (size_t lbs : {0u, 7u, 12u}) {
    std::vector<uint8_t> list(lbs + 1, 0);
    EXPECT_EQ(file_chain_cpread_buf(nullptr, nullptr, list.data(), lbs, out.data(), out.size(), &e), -1) << lbs;
    EXPECT_NE(strstr(e.msg, "invalid param lbs"), nullptr) << e.msg;
  }
  std::vector<uint8_t> list;
  ASSERT_TRUE(file_chain_list_build({{0, 100}}, &list));
  EXPECT_EQ(file_chain_cpread_buf(nullptr, nullptr, list.data(), list.size(), out.data(), out.size(), &e), -1);
  EXPECT_STREQ(e.msg, "Data may be incorrect");
  /* Without procedures only the length fields are laid out. */
  std::vector<uint8_t> big(200);
  EXPECT_EQ(file_chain_cpread_buf(nullptr, nullptr, list.data(), list.size(), big.data(), big.size(), &e), 104);

  std::vector<file_chain_block> chain(1);
  chain[0].len = 8;
  const uint8_t short_hdr[] = {1, 0};
  EXPECT_EQ(file_chain_pread_buf(&chain, short_hdr, sizeof short_hdr, &e), -1);
  EXPECT_STREQ(e.msg, "Not Enough Data");
  const uint8_t too_long[] = {9, 0, 0, 0, 1, 2};
  EXPECT_EQ(file_chain_pread_buf(&chain, too_long, sizeof too_long, &e), -1);
  EXPECT_STREQ(e.msg, "Data may be incorrect or incomplete");
  const uint8_t two[] = {1, 0, 0, 0, 7, 1, 0, 0, 0, 8};
  EXPECT_EQ(file_chain_pread_buf(&chain, two, sizeof two, &e), -1);
  EXPECT_STREQ(e.msg, "Too much Data");
  ASSERT_TRUE(file_chain_list_build({{0, 8}, {100, 8}}, &list));
  EXPECT_FALSE(file_chain_list_build({{0, 8}, {uint64_t(1) << 33, 8}}, &list)) << "beyond 32-bit offsets";
}

} // namespace
