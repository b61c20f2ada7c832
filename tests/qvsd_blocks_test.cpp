/* qvsd's multi-block read and write (ioctl2 10501, 10502) and per-block digests (10503), through
 * the client's own wrappers and carrier on a server started on loopback. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "helpers/qvsd_run.h"
#include "helpers/tree_cmp.h"
#include "libpal/hash/pl_hash.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"
#include "libqvsd/qvsd_wire.h"

namespace {

/* Partly random, partly repetitive bytes, so that compression has something to do. */
std::string content(size_t n, uint32_t seed)
{
  std::string s(n, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245 + 12345;
    s[i] = (i / 1000) % 2 ? 'q' : (char)(x >> 16);
  }
  return s;
}

/* The digest lines a client expects for the bytes of a file from off on. */
std::string digest_lines(const std::string &file, size_t off, size_t bl, size_t count)
{
  std::string out;
  for (size_t i = 0; i < count; i++) {
    size_t at = off + i * bl;
    if (at >= file.size())
      break;
    std::string block = file.substr(at, bl);
    char line[32];
    snprintf(line, sizeof line, "%016" PRIx64 "\n", pl_hash_xxh3_64(block.data(), block.size()));
    out += line;
  }
  return out;
}

/* One block of a multi-block write as the client frames it: plain length, packed length, bytes. */
std::string block(uint32_t plain, const std::string &packed)
{
  uint8_t head[8];
  qvsd_put_be32(head, plain);
  qvsd_put_be32(head + 4, (uint32_t)packed.size());
  return std::string(reinterpret_cast<char *>(head), 8) + packed;
}

class qvsd_blocks_t : public ::testing::TestWithParam<const char *> {
protected:
  void SetUp() override
  {
    qvsd_cli_init();
    top = tree_tmpdir("qvsd_blocks");
  }
  void TearDown() override
  {
    if (c)
      qvsd_cli_exit(c);
    if (srv.tcp_port) {
      EXPECT_EQ(0, srv.stop(SIGTERM)) << srv.log();
    }
    tree_rm(top);
  }
  /* A server on top with the extra words and a client with the test's codec. */
  void start(const std::vector<std::string> &extra = {})
  {
    ASSERT_TRUE(srv.start(QVSD_BIN, top, extra)) << srv.log();
    c = qvsd_cli_connect((srv.url("/") + "?pack=none").c_str(), &cerr);
    ASSERT_NE(nullptr, c) << vperror_str(&cerr);
    ASSERT_EQ(0, qvsd_cli_set_pack(c, GetParam())) << qvsd_cli_last_errstr(c);
  }
  /* The ioctl2 on a file: 0 or the server's errno; the reply into *out. */
  int io2(qvsd_file *f, int32_t code, const std::string &arg, std::string *out, int osize, bool exact = false)
  {
    std::string buf((size_t)osize, '\0');
    int n = 0;
    int rc = exact ? qvsd_cli_ioctl2(f, code, arg.data(), (int)arg.size(), buf.data(), osize, &n)
                   : qvsd_cli_ioctl2(f, code, arg.c_str(), -1, buf.data(), osize, &n);
    if (rc < 0)
      return qvsd_cli_last_errno(c);
    if (out)
      out->assign(buf.data(), (size_t)n);
    return 0;
  }

  std::string top;
  qvsd_run srv;
  qvsd_cli *c = nullptr;
  vperror cerr{}; /* the client's error record: it keeps writing there */
};

TEST_P(qvsd_blocks_t, multi_block_data_goes_both_ways_with_holes_and_short_ends)
{
  start();
  const uint32_t BL = 4096;
  const std::string data = content(5 * BL + 123, 7);
  qvsd_file *w = qvsd_cli_open(c, "/f", O_WRONLY | O_CREAT | O_TRUNC);
  ASSERT_NE(nullptr, w) << qvsd_cli_last_errstr(c);
  ASSERT_EQ((int64_t)data.size(), qvsd_cli_pwrite_multi(w, data.data(), (int64_t)data.size(), BL, 0))
      << qvsd_cli_last_errstr(c);
  EXPECT_EQ((int64_t)data.size(), w->pos);
  /* Past a hole, not on a block boundary. */
  const std::string tail = content(1000, 9);
  const int64_t tail_at = 100000;
  ASSERT_EQ(1000, qvsd_cli_pwrite_multi(w, tail.data(), 1000, BL, tail_at)) << qvsd_cli_last_errstr(c);
  ASSERT_EQ(0, qvsd_cli_close(w));
  std::string want = data + std::string((size_t)tail_at - data.size(), '\0') + tail;
  EXPECT_TRUE(tree_read(top + "/f") == want);

  qvsd_file *r = qvsd_cli_open(c, "/f", O_RDONLY);
  ASSERT_NE(nullptr, r) << qvsd_cli_last_errstr(c);
  std::vector<char> buf(64 * BL);
  struct read_case {
    int64_t off;
    uint32_t count;
    int64_t want; /* bytes delivered */
  } reads[] = {
      {0, 8, 8 * BL},                               /* whole blocks, the hole among them */
      {BL / 2, 3, 3 * BL},                          /* not on a block boundary */
      {24 * BL, 4, (int64_t)want.size() - 24 * BL}, /* the file ends inside the first block */
      {tail_at + 1000, 2, 0},                       /* at the end */
      {tail_at + 5000, 2, 0},                       /* past the end */
  };
  for (const read_case &k : reads) {
    SCOPED_TRACE(k.off);
    ASSERT_EQ(k.want, qvsd_cli_pread_multi(r, buf.data(), BL, k.count, k.off)) << qvsd_cli_last_errstr(c);
    std::string expect = k.want > 0 ? want.substr((size_t)k.off, (size_t)k.want) : std::string();
    EXPECT_TRUE(std::string(buf.data(), (size_t)k.want) == expect);
    EXPECT_EQ(k.off + k.want, r->pos);
  }
  ASSERT_EQ(0, qvsd_cli_close(r));

  /* A file that ends on a block boundary: the read stops there, short of what was asked. */
  tree_put(top + "/even", data.substr(0, 2 * BL));
  r = qvsd_cli_open(c, "/even", O_RDONLY);
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(2 * BL, qvsd_cli_pread_multi(r, buf.data(), BL, 5, 0)) << qvsd_cli_last_errstr(c);
  EXPECT_TRUE(std::string(buf.data(), 2 * BL) == data.substr(0, 2 * BL));
  ASSERT_EQ(0, qvsd_cli_close(r));
}

TEST_P(qvsd_blocks_t, block_digests_follow_the_file_in_order)
{
  /* The oracle is the published XXH3-64 of the empty input. */
  ASSERT_EQ(0x2d06800538d394c2ull, pl_hash_xxh3_64("", 0));
  start();
  const uint32_t BL = 4096;
  /* Data, a hole and a short end. */
  std::string file = content(3 * BL, 11) + std::string(2 * BL, '\0') + content(BL / 3, 12);
  {
    int fd = open((top + "/g").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ((ssize_t)(3 * BL), pwrite(fd, file.data(), 3 * BL, 0));
    ASSERT_EQ((ssize_t)(BL / 3), pwrite(fd, file.data() + 5 * BL, BL / 3, 5 * BL));
    close(fd);
  }
  qvsd_file *f = qvsd_cli_open(c, "/g", O_RDONLY);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  struct row {
    int64_t off;
    uint32_t bl, count;
  } rows[] = {
      {0, BL, 6},          /* every block, the last one short */
      {0, BL, 40},         /* blocks past the end give no line */
      {BL, BL, 2},         /* a window in the middle */
      {100, 1000, 30},     /* blocks that do not line up with anything */
      {0, 64 * BL, 1},     /* one block larger than the file */
      {(int64_t)file.size(), BL, 3}, /* at the end: no line */
  };
  for (const row &k : rows) {
    SCOPED_TRACE(std::to_string(k.off) + " " + std::to_string(k.bl) + " " + std::to_string(k.count));
    std::string out;
    char arg[64];
    snprintf(arg, sizeof arg, "%lld\t%u\t%u", (long long)k.off, k.bl, k.count);
    ASSERT_EQ(0, io2(f, QVSD_IOCTL2_BLOCK_DIGESTS, arg, &out, 1 << 16)) << qvsd_cli_last_errstr(c);
    EXPECT_EQ(digest_lines(file, (size_t)k.off, k.bl, k.count), out);
  }
  /* A file open for writing is digested as it is now. */
  qvsd_file *w = qvsd_cli_open(c, "/g", O_RDWR);
  ASSERT_NE(nullptr, w) << qvsd_cli_last_errstr(c);
  ASSERT_EQ(3, qvsd_cli_write(w, "abc", 3, 10));
  file.replace(10, 3, "abc");
  std::string out;
  ASSERT_EQ(0, io2(w, QVSD_IOCTL2_BLOCK_DIGESTS, "0\t4096\t2", &out, 4096)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(digest_lines(file, 0, BL, 2), out);
  EXPECT_EQ(0, qvsd_cli_close(w));
  EXPECT_EQ(0, qvsd_cli_close(f));
}

TEST_P(qvsd_blocks_t, bad_block_requests_get_an_error_and_change_nothing)
{
  start();
  const std::string before = content(3000, 5);
  tree_put(top + "/h", before);
  qvsd_file *f = qvsd_cli_open(c, "/h", O_RDWR);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  const std::string ok16(16, 'k');
  const std::string packed16 = [&] {
    /* sixteen bytes as the session's codec packs them */
    std::string out(zcomp_bound(16), '\0');
    int n = zcomp_compress(&c->codec, ok16.data(), 16, out.data(), (int)out.size());
    out.resize(n > 0 ? (size_t)n : 0);
    return out;
  }();
  const int32_t R = QVSD_IOCTL2_PREAD_MULTI, W = QVSD_IOCTL2_PWRITE_MULTI, D = QVSD_IOCTL2_BLOCK_DIGESTS;
  const int32_t PARAM = -2, PROTO = -466;
  struct row {
    const char *name;
    int32_t code;
    std::string arg; /* sent as its bytes alone */
    int olen;
    int32_t want;
  } rows[] = {
      {"no argument", R, "", 1 << 20, PARAM},
      {"not a number", R, "x\t16\t1", 1 << 20, PARAM},
      {"negative offset", R, "-1\t16\t1", 1 << 20, PARAM},
      {"zero block length", R, "0\t0\t1", 1 << 20, PARAM},
      {"zero blocks", R, "0\t16\t0", 1 << 20, PARAM},
      {"two fields", R, "0\t16", 1 << 20, PARAM},
      {"four fields", R, "0\t16\t1\t1", 1 << 20, PARAM},
      {"more than a request moves", R, "0\t4194304\t4", 1 << 20, PARAM},
      {"too many blocks", R, "0\t16\t5000", 1 << 20, PARAM},
      {"offset at the end of the numbers", R, "9223372036854775000\t4096\t2", 1 << 20, PARAM},
      {"reply room too small", R, "0\t4096\t4", 100, PARAM},
      {"digests: zero blocks", D, "0\t4096\t0", 1 << 20, PARAM},
      {"digests: block over 16 MiB", D, "0\t16777217\t1", 1 << 20, PARAM},
      {"digests: too many blocks", D, "0\t16\t70000", 1 << 20, PARAM},
      {"digests: reply room too small", D, "0\t16\t10", 100, PARAM},
      {"digests: not a number", D, "0\t16\tx", 1 << 20, PARAM},
      {"write: no header line", W, "0\t16\t1", 64, PARAM},
      {"write: bad header", W, "0\t0\t1\n" + block(16, packed16), 64, PARAM},
      {"write: more than a request moves", W, "0\t4194304\t3\n" + block(16, packed16), 64, PARAM},
      {"write: fewer blocks than named", W, "0\t16\t2\n" + block(16, packed16), 64, PROTO},
      {"write: no block at all", W, "0\t16\t1\n", 64, PROTO},
      {"write: a cut block head", W, "0\t16\t1\n" + block(16, packed16).substr(0, 5), 64, PROTO},
      {"write: block longer than its length", W, "0\t8\t1\n" + block(16, packed16), 64, PROTO},
      {"write: short block before the last", W, "0\t16\t2\n" + block(8, packed16) + block(16, packed16), 64, PROTO},
      {"write: empty block", W, "0\t16\t1\n" + block(0, ""), 64, PROTO},
      {"write: packed bytes past the end", W, "0\t16\t1\n" + block(16, packed16).substr(0, 8 + packed16.size() - 1),
       64, PROTO},
      {"write: bytes after the last block", W, "0\t16\t1\n" + block(16, packed16) + "z", 64, PROTO},
      {"write: bytes that do not unpack", W, "0\t16\t2\n" + block(16, packed16) + block(16, std::string(5, '\xff')),
       64, PROTO},
  };
  for (const row &k : rows) {
    SCOPED_TRACE(k.name);
    std::string out;
    EXPECT_EQ(k.want, io2(f, k.code, k.arg, &out, k.olen, true));
    /* The session goes on. */
    EXPECT_EQ(0, io2(f, D, "0\t4096\t1", &out, 64)) << qvsd_cli_last_errstr(c);
  }
  /* A plain positioned write whose data is not its length in the session's codec (with pack=none
   * the server writes straight from the frame, so the length is all there is to check). */
  struct plain_row {
    const char *name;
    int32_t len;
    std::string data;
  } plain_rows[] = {
      {"plain write: data longer than its length", 8, packed16},
      {"plain write: data shorter than its length", 32, packed16},
      {"plain write: no data for a length", 16, ""},
  };
  for (const plain_row &k : plain_rows) {
    SCOPED_TRACE(k.name);
    ASSERT_EQ(0, qvsd_msg_reset(&c->req));
    ASSERT_EQ(0, qvsd_msg_add_i64(&c->req, "fd", f->fd));
    ASSERT_EQ(0, qvsd_msg_add_i32(&c->req, "flags", 0));
    ASSERT_EQ(0, qvsd_msg_add_i32(&c->req, "len", k.len));
    ASSERT_EQ(0, qvsd_msg_add_i64(&c->req, "offset", 0));
    ASSERT_EQ(0, qvsd_msg_add_raw(&c->req, "data", k.data.data(), (uint32_t)k.data.size()));
    const void *slots[3];
    EXPECT_EQ(QVSD_R_SRV, qvsd_exchange(c, QVSD_CMD_PWRITE, qvsd_pol_len, 3, slots, 0));
    EXPECT_EQ(PROTO, c->srv_errno);
    std::string out;
    EXPECT_EQ(0, io2(f, D, "0\t4096\t1", &out, 64)) << qvsd_cli_last_errstr(c);
  }
  /* Nothing of the refused writes reached the file. */
  EXPECT_TRUE(tree_read(top + "/h") == before);
  /* A good plain write still goes through after them. */
  ASSERT_EQ(16, qvsd_cli_write(f, ok16.data(), 16, 0)) << qvsd_cli_last_errstr(c);
  EXPECT_TRUE(tree_read(top + "/h") == ok16 + before.substr(16));
  /* The same requests without a file handle. */
  std::string out;
  int n = 0;
  char buf[64];
  for (int32_t code : {R, D}) {
    EXPECT_EQ(-1, qvsd_cli_ioctl2(c, code, "0\t16\t1", -1, buf, sizeof buf, &n));
    EXPECT_EQ(-4, qvsd_cli_last_errno(c));
  }
  EXPECT_EQ(0, qvsd_cli_close(f));
}

TEST_P(qvsd_blocks_t, a_read_only_export_refuses_multi_block_writes_only)
{
  tree_put(top + "/ro", content(10000, 3));
  start({"read_only=yes"});
  qvsd_file *f = qvsd_cli_open(c, "/ro", O_RDONLY);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  const std::string data = content(100, 4);
  EXPECT_EQ(-1, qvsd_cli_pwrite_multi(f, data.data(), 100, 64, 0));
  EXPECT_EQ(-38, qvsd_cli_last_errno(c));
  EXPECT_TRUE(tree_read(top + "/ro") == content(10000, 3));
  std::vector<char> buf(4 * 4096);
  ASSERT_EQ(10000, qvsd_cli_pread_multi(f, buf.data(), 4096, 4, 0)) << qvsd_cli_last_errstr(c);
  EXPECT_TRUE(std::string(buf.data(), 10000) == content(10000, 3));
  std::string out;
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_BLOCK_DIGESTS, "0\t4096\t3", &out, 4096)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(digest_lines(content(10000, 3), 0, 4096, 3), out);
  EXPECT_EQ(0, qvsd_cli_close(f));
}

INSTANTIATE_TEST_SUITE_P(codecs, qvsd_blocks_t, ::testing::Values("none", "lz4"),
                         [](const ::testing::TestParamInfo<const char *> &i) { return std::string(i.param); });

} // namespace
