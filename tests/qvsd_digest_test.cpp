/* The running digests a qvsd server keeps of what a handle reads or writes, which the transfer
 * check of qvcp compares instead of reading a file once more. */
#include <gtest/gtest.h>

#include <fcntl.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "helpers/qvsd_run.h"
#include "helpers/tree_cmp.h"
#include "libpal/hash/pl_hash.h"
#include "libqvsd/qvsd_cli.h"

namespace {

std::string xxh3_hex(const std::string &data)
{
  uint8_t d[PL_HASH_MAX_LEN];
  size_t n = pl_hash_once(PL_HASH_XXH3, data.data(), data.size(), d);
  return pl_hex(d, n);
}

TEST(qvsd_digest, writes_and_reads_from_zero_carry_the_digest_and_a_gap_ends_it)
{
  std::string top = tree_tmpdir("qvsd_digest");
  qvsd_run srv;
  ASSERT_TRUE(srv.start(QVSD_BIN, top)) << srv.log();
  qvsd_cli_init();
  vperror err{};
  qvsd_cli *c = qvsd_cli_connect((srv.url("/") + "?pack=none").c_str(), &err);
  ASSERT_NE(c, nullptr) << err.msg;
  /* Larger than one block, so the digest runs over several requests. */
  std::string data(3 * c->block_size + 1234, '\0');
  for (size_t i = 0; i < data.size(); i++)
    data[i] = (char)(i * 2654435761u >> 13);

  qvsd_file *w = qvsd_cli_open(c, "/f", O_WRONLY | O_CREAT | O_TRUNC);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(qvsd_cli_write(w, data.data(), (int64_t)data.size(), 0), (int64_t)data.size());
  EXPECT_EQ(w->digest, xxh3_hex(data));
  EXPECT_EQ(w->digest_end, (int64_t)data.size());
  uint8_t whole[16];
  ASSERT_EQ(qvsd_cli_file_digest(w, whole, sizeof whole), 0) << "the server's own reading agrees";
  EXPECT_EQ(pl_hex(whole, sizeof whole), xxh3_hex(data));
  /* A write that does not go on where the last one ended leaves no running digest. */
  ASSERT_EQ(qvsd_cli_write(w, "x", 1, 10), 1);
  EXPECT_EQ(w->digest, "");
  EXPECT_EQ(w->digest_end, -1);
  ASSERT_EQ(qvsd_cli_close(w), 0);
  /* So does a write that asks for no digest, even where the next one goes on at the end. */
  qvsd_file *w2 = qvsd_cli_open(c, "/g", O_WRONLY | O_CREAT | O_TRUNC);
  ASSERT_NE(w2, nullptr);
  ASSERT_EQ(qvsd_cli_write(w2, "abcd", 4, 0), 4);
  EXPECT_EQ(w2->digest, xxh3_hex("abcd"));
  w2->want_digest = false;
  ASSERT_EQ(qvsd_cli_write(w2, "Z", 1, 0), 1);
  w2->want_digest = true;
  ASSERT_EQ(qvsd_cli_write(w2, "ef", 2, 4), 2);
  EXPECT_EQ(w2->digest, "") << "the digest of abcdef stood for Zbcdef";
  ASSERT_EQ(qvsd_cli_close(w2), 0);
  data[10] = 'x';

  qvsd_file *r = qvsd_cli_open(c, "/f", O_RDONLY);
  ASSERT_NE(r, nullptr);
  std::string back(data.size(), '\0');
  ASSERT_EQ(qvsd_cli_read(r, back.data(), (int64_t)back.size(), 0), (int64_t)back.size());
  EXPECT_EQ(back, data);
  EXPECT_EQ(r->digest, xxh3_hex(data));
  /* Reading from the middle again breaks the read digest too. */
  ASSERT_EQ(qvsd_cli_read(r, back.data(), 5, 100), 5);
  EXPECT_EQ(r->digest, "");
  ASSERT_EQ(qvsd_cli_close(r), 0);
  qvsd_cli_exit(c);
  tree_rm(top);
}

TEST(qvsd_digest, a_digest_of_a_huge_sparse_file_does_not_hold_the_server_at_its_stop)
{
  std::string top = tree_tmpdir("qvsd_digest_big");
  qvsd_run srv;
  ASSERT_TRUE(srv.start(QVSD_BIN, top)) << srv.log();
  qvsd_cli_init();
  vperror err{};
  qvsd_cli *c = qvsd_cli_connect(srv.url("/").c_str(), &err);
  ASSERT_NE(c, nullptr) << err.msg;
  qvsd_file *w = qvsd_cli_open(c, "/huge", O_WRONLY | O_CREAT | O_TRUNC);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(qvsd_cli_set_len(w, 1ll << 40), 0) << qvsd_cli_last_errstr(c); /* a terabyte of holes */
  std::thread asker([&] {
    uint8_t d[16];
    qvsd_cli_file_digest(w, d, sizeof d); /* fails once the server stops */
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  /* The session reads holes; a stop request ends that reading and the server exits as usual. */
  EXPECT_EQ(srv.stop(SIGTERM), 0) << srv.log();
  asker.join();
  qvsd_cli_exit(c);
  tree_rm(top);
}

} // namespace
