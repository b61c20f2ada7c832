#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "helpers/fake_qvsd.h"
#include "libpack/zcomp.h"
#include "libpal/os/os_dirent.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

/* A server with one file (descriptor 5) whose content lives on the server thread. A read returns
 * at most `short_after` bytes per request when set. Data moves LZ4-compressed, as negotiated. */
struct file_server {
  fake_model m;
  std::string content;
  int64_t pos = 0;
  uint32_t short_after = 0;
  int32_t setlen_errno = 0;
  fake_reply operator()(const fake_req &r)
  {
    zcomp z;
    strcpy(z.name, "lz4");
    zcomp_open(&z);
    fake_reply rep;
    switch (r.cmd) {
    case QVSD_CMD_OPEN:
    case QVSD_CMD_OPENDIR:
      rep.bytes = fake_frame(1, r.cmd, 0, "", [](qvsd_msg *mm) { qvsd_msg_add_i64(mm, "fd", 5); });
      break;
    case QVSD_CMD_SEEK:
      pos = r.num("mode") == 0 ? r.num("offset") : pos + r.num("offset");
      rep.bytes = fake_frame(1, r.cmd, 0, "", [&](qvsd_msg *mm) { qvsd_msg_add_i64(mm, "offset", pos); });
      break;
    case QVSD_CMD_READ:
    case QVSD_CMD_PREAD: {
      int64_t at = r.cmd == QVSD_CMD_PREAD ? r.num("offset") : pos;
      uint32_t want = (uint32_t)r.num("len");
      if (short_after && want > short_after)
        want = short_after;
      std::string part = at < (int64_t)content.size() ? content.substr((size_t)at, want) : "";
      pos = at + (int64_t)part.size();
      std::string packed(zcomp_bound((uint32_t)part.size()) + 1, '\0');
      int n = part.empty() ? 0 : zcomp_compress(&z, part.data(), (int)part.size(), packed.data(), (int)packed.size());
      rep.bytes = fake_frame(1, r.cmd, 0, "", [&](qvsd_msg *mm) {
        qvsd_msg_add_i32(mm, "len", (int32_t)part.size());
        qvsd_msg_add_i32(mm, "flags", 0);
        qvsd_msg_add_raw(mm, "data", packed.data(), (uint32_t)n);
      });
      break;
    }
    case QVSD_CMD_WRITE:
    case QVSD_CMD_PWRITE: {
      int64_t at = r.cmd == QVSD_CMD_PWRITE ? r.num("offset") : pos;
      std::string packed = r.raw("data");
      std::string plain((size_t)r.num("len"), '\0');
      if (!plain.empty())
        zcomp_decompress(&z, packed.data(), (int)packed.size(), plain.data(), (int)plain.size());
      if (content.size() < (size_t)at + plain.size())
        content.resize((size_t)at + plain.size());
      content.replace((size_t)at, plain.size(), plain);
      pos = at + (int64_t)plain.size();
      rep.bytes = fake_frame(1, r.cmd, 0, "", [&](qvsd_msg *mm) { qvsd_msg_add_i32(mm, "len", (int32_t)plain.size()); });
      break;
    }
    case QVSD_CMD_SETLEN:
      if (setlen_errno)
        rep.bytes = fake_frame(1, r.cmd, setlen_errno, "disk full");
      else
        rep = m.answer(r);
      break;
    case QVSD_CMD_STATFS:
      rep.bytes = fake_frame(1, r.cmd, 0, "", [](qvsd_msg *mm) {
        qvsd_msg_add_i32(mm, "flags", 0x80);
        qvsd_msg_add_i32(mm, "name_len", 255);
        qvsd_msg_add_i64(mm, "avail_bytes", 1000);
        qvsd_msg_add_i64(mm, "free_bytes", 2000);
        qvsd_msg_add_i64(mm, "total_bytes", 3000);
        qvsd_msg_add_str(mm, "fs_name", "ext4");
        qvsd_msg_add_str(mm, "vol_name", "");
      });
      break;
    default:
      rep = m.answer(r);
    }
    zcomp_close(&z);
    return rep;
  }
};

class qvsd_file_t : public ::testing::Test {
protected:
  void SetUp() override
  {
    qvsd_cli_cleanup();
    qvsd_cli_init();
  }
  /* Requests after the connection was set up. */
  static std::vector<fake_req> after(fake_qvsd &s, size_t from)
  {
    std::vector<fake_req> all = s.requests();
    return std::vector<fake_req>(all.begin() + (long)from, all.end());
  }
  vperror err{};
};

std::string pattern(size_t n)
{
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++)
    s[i] = (char)('a' + (i * 7) % 26);
  return s;
}

} // namespace

TEST_F(qvsd_file_t, positioned_read_needs_164)
{
  for (const char *ver : {"1.6.3", "1.6.4"}) {
    file_server fs;
    fs.m.ver = ver;
    fs.content = pattern(100);
    fake_qvsd srv(fs);
    qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
    ASSERT_NE(nullptr, c) << vperror_str(&err);
    c->block_size = 16;
    qvsd_file *f = qvsd_cli_open(c, "/data/a", 0);
    ASSERT_NE(nullptr, f);
    size_t from = srv.requests().size();
    char buf[40];
    ASSERT_EQ(40, qvsd_cli_read(f, buf, 40, 30)) << ver << ": " << qvsd_cli_last_errstr(c);
    EXPECT_EQ(fs.content.substr(30, 40), std::string(buf, 40)) << ver;
    std::vector<uint8_t> cmds;
    for (const fake_req &r : after(srv, from))
      cmds.push_back(r.cmd);
    if (std::string(ver) == "1.6.3") {
      EXPECT_EQ((std::vector<uint8_t>{15, 12, 12, 12}), cmds);
    } else {
      EXPECT_EQ((std::vector<uint8_t>{29, 29, 29}), cmds);
      EXPECT_EQ(62, after(srv, from)[2].num("offset"));
    }
    EXPECT_EQ(70, f->pos);
    EXPECT_EQ(0, qvsd_cli_close(f));
    EXPECT_TRUE(c->files.empty());
    qvsd_cli_exit(c);
  }
}

TEST_F(qvsd_file_t, short_and_empty_reads)
{
  file_server fs;
  fs.content = pattern(100);
  fs.short_after = 10;
  fake_qvsd srv(fs);
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  qvsd_file *f = qvsd_cli_open(c, "/data/a", 0);
  ASSERT_NE(nullptr, f);
  char buf[64];
  size_t from = srv.requests().size();
  EXPECT_EQ(0, qvsd_cli_read(f, buf, 0, 0));
  ASSERT_EQ(1u, after(srv, from).size());
  EXPECT_EQ(0, after(srv, from)[0].num("len"));
  from = srv.requests().size();
  EXPECT_EQ(10, qvsd_cli_read(f, buf, 64, 0)); /* the first chunk comes back short: the read ends */
  EXPECT_EQ(1u, after(srv, from).size());
  EXPECT_EQ(fs.content.substr(0, 10), std::string(buf, 10));
  qvsd_cli_exit(c);
}

TEST_F(qvsd_file_t, write_in_compressed_chunks)
{
  file_server fs;
  fake_qvsd srv(fs);
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  c->block_size = 1000;
  qvsd_file *f = qvsd_cli_open(c, "/data/b", 0x241);
  ASSERT_NE(nullptr, f);
  std::string data = pattern(2500);
  size_t from = srv.requests().size();
  ASSERT_EQ(2500, qvsd_cli_write(f, data.data(), (int64_t)data.size(), 0));
  std::vector<fake_req> reqs = after(srv, from);
  ASSERT_EQ(3u, reqs.size());
  EXPECT_EQ(1000, reqs[1].num("offset"));
  EXPECT_EQ(500, reqs[2].num("len"));
  EXPECT_LT(reqs[0].raw("data").size(), 1000u); /* compressed on the wire */
  /* read back through the same server */
  std::string back(2500, '\0');
  ASSERT_EQ(2500, qvsd_cli_read(f, back.data(), 2500, 0));
  EXPECT_EQ(data, back);
  file_attr a;
  a.type = 2;
  a.attrib_mode = 0100644;
  a.time_write = 0x5f5e100;
  a.uid = 1000;
  a.gid = 100;
  from = srv.requests().size();
  EXPECT_EQ(0, qvsd_cli_close_attr(f, &a));
  reqs = after(srv, from);
  ASSERT_EQ(1u, reqs.size());
  EXPECT_EQ(QVSD_CMD_IOCTL, reqs[0].cmd);
  EXPECT_EQ(QVSD_IOCTL_CLOSE_ATTR, reqs[0].num("cmd"));
  EXPECT_EQ(5, reqs[0].num("fd"));
  EXPECT_EQ(std::string("2\t81a4\t0\t0\t5f5e100\t0\t1000\t100") + std::string(1, '\0'), reqs[0].raw("data"));
  qvsd_cli_exit(c);
}

TEST_F(qvsd_file_t, open_gates_and_name_lists)
{
  file_server fs;
  fs.m.ver = "1.8.0";
  fake_qvsd srv(fs);
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  size_t from = srv.requests().size();
  EXPECT_EQ(nullptr, qvsd_cli_open(c, "/data/a", QVSD_O_NEEDS_182));
  EXPECT_EQ(VERR_NOIMPL, qvsd_cli_last_errno(c));
  EXPECT_EQ(nullptr, qvsd_cli_open(c, "", QVSD_O_NAME_LIST));
  EXPECT_STREQ("unkown error=9", qvsd_cli_last_errstr(c));
  EXPECT_EQ(from, srv.requests().size());
  qvsd_file *f = qvsd_cli_open(c, "a\tb\0c\0", QVSD_O_NAME_LIST | QVSD_O_NEEDS_167);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ("a\\tb\\0c\\0\\0", srv.requests().back().str("path"));
  qvsd_cli_exit(c);
}

TEST_F(qvsd_file_t, failed_set_length_skips_the_seek)
{
  file_server fs;
  fs.setlen_errno = -152;
  fake_qvsd srv(fs);
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  qvsd_file *f = qvsd_cli_open(c, "/data/a", 0);
  ASSERT_NE(nullptr, f);
  size_t from = srv.requests().size();
  EXPECT_EQ(-1, qvsd_cli_set_len(f, 10));
  EXPECT_EQ(-152, qvsd_cli_last_errno(c));
  EXPECT_STREQ("disk full", qvsd_cli_last_errstr(c));
  EXPECT_EQ(1u, after(srv, from).size());
  qvsd_statfs st;
  ASSERT_EQ(0, qvsd_cli_statfs(c, "/data", &st));
  EXPECT_EQ(3000u, st.total_bytes);
  EXPECT_STREQ("ext4", st.fs_name);
  qvsd_cli_exit(c);
}

TEST(qvsd_dirent_line, forms)
{
  static const struct {
    const char *line;
    bool long_form;
    int want;
    const char *name;
  } cases[] = {
      {"2\t33188\t1000\t100\t1\t2\t3\t42\tfile.txt\t", false, 0, "file.txt"},
      {"1\t16877\t0\t0\t1\t2\t3\t4096\t5\t6\t7\t2\t2049\t0\t131\t4096\t8\tdir\t", true, 0, "dir"},
      {"2\t33188\t-2\t100\t1\t2\t3\t42\tneg uid\t", false, 0, "neg uid"}, /* a signed print of the id word */
      /* wrong field counts and bad numbers */
      {"2\t33188\t1000\t100\t1\t2\t3\t42\tfile.txt", false, -1, nullptr},
      {"2\t33188\t1000\t100\t1\t2\t3\t42\tfile.txt\t\t", false, -1, nullptr},
      {"2\t33188\t1000\t100\t1\t2\t3\t42\tfile.txt\t", true, -1, nullptr},
      {"x\t33188\t1000\t100\t1\t2\t3\t42\tfile.txt\t", false, -1, nullptr},
      {"2\t33188\t1000\t100\t1\t2\t3\t\tfile.txt\t", false, -1, nullptr},
      {"1\t16877\t0\t0\t1\t2\t3\t4096\t5\t6\t7\t-2\t2049\t0\t131\t4096\t8\tdir\t", true, -1, nullptr},
  };
  for (const auto &c : cases) {
    std::string line = c.line;
    os_dirent d;
    EXPECT_EQ(c.want, qvsd_dirent_line_parse(line.data(), c.long_form, &d)) << c.line;
    if (c.want == 0) {
      EXPECT_STREQ(c.name, d.name) << c.line;
    }
  }
  std::string line = "1\t16877\t0\t0\t1\t2\t3\t4096\t5\t6\t7\t2\t2049\t0\t131\t4096\t8\tdir\tlink";
  os_dirent d;
  ASSERT_EQ(0, qvsd_dirent_line_parse(line.data(), true, &d));
  EXPECT_EQ(4096, d.size);
  EXPECT_EQ(6u, d.time_write_ns);
  EXPECT_EQ(131u, d.st_ino);
  EXPECT_STREQ("link", d.link_name);
  std::string long_name = "2\t0\t0\t0\t0\t0\t0\t0\t" + std::string(512, 'n') + "\t";
  EXPECT_EQ(-1, qvsd_dirent_line_parse(long_name.data(), false, &d));
}

TEST_F(qvsd_file_t, directory_listing)
{
  struct dir_server {
    fake_model m;
    int batch = 0;
    fake_reply operator()(const fake_req &r)
    {
      if (r.cmd == QVSD_CMD_OPENDIR2)
        return fake_reply{fake_frame(1, r.cmd, 0, "", [](qvsd_msg *mm) { qvsd_msg_add_i64(mm, "fd", 9); })};
      if (r.cmd != QVSD_CMD_READDIR_L)
        return m.answer(r);
      static const char *const batches[] = {
          "2\t33188\t0\t0\t1\t2\t3\t5\t0\t0\t0\t1\t1\t0\t11\t4096\t8\ta\t\n"
          "1\t16877\t0\t0\t1\t2\t3\t0\t0\t0\t0\t2\t1\t0\t12\t4096\t8\tsub\t\n",
          "\n"};
      std::string text = batches[std::min(batch++, 1)];
      zcomp z;
      strcpy(z.name, "lz4");
      zcomp_open(&z);
      std::string packed(zcomp_bound((uint32_t)text.size()), '\0');
      int n = zcomp_compress(&z, text.data(), (int)text.size(), packed.data(), (int)packed.size());
      zcomp_close(&z);
      return fake_reply{fake_frame(1, r.cmd, 0, "", [&](qvsd_msg *mm) {
        qvsd_msg_add_i32(mm, "len", (int32_t)text.size());
        qvsd_msg_add_raw(mm, "data", packed.data(), (uint32_t)n);
      })};
    }
  };
  fake_qvsd srv(dir_server{});
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  qvsd_dir *d = qvsd_cli_opendir(c, "/data", nullptr, 0);
  ASSERT_NE(nullptr, d);
  std::vector<std::string> names;
  const os_dirent *e = nullptr;
  int rc;
  while ((rc = qvsd_cli_readdir(d, &e)) == 1)
    names.push_back(e->name);
  EXPECT_EQ(0, rc) << qvsd_cli_last_errstr(c);
  EXPECT_EQ((std::vector<std::string>{"a", "sub"}), names);
  EXPECT_EQ(2, srv.count(QVSD_CMD_READDIR_L));
  EXPECT_EQ(0, qvsd_cli_closedir(d));
  EXPECT_EQ(9, srv.requests().back().num("fd"));
  EXPECT_TRUE(c->dirs.empty());
  qvsd_cli_exit(c);
}

TEST_F(qvsd_file_t, directory_open_with_options_needs_185)
{
  file_server fs;
  fs.m.ver = "1.8.2";
  fake_qvsd srv(fs);
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  size_t from = srv.requests().size();
  EXPECT_EQ(nullptr, qvsd_cli_opendir(c, "/data", "*.txt", 1));
  EXPECT_EQ(VERR_NOTSUP, qvsd_cli_last_errno(c));
  EXPECT_EQ(from, srv.requests().size());
  qvsd_dir *d = qvsd_cli_opendir(c, "/data", "*.txt", 0);
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(QVSD_CMD_OPENDIR, srv.requests().back().cmd);
  EXPECT_FALSE(srv.requests().back().has("flag"));
  qvsd_cli_exit(c); /* closes the directory on the server */
  for (int i = 0; i < 1000 && srv.count(QVSD_CMD_EXIT) == 0; i++)
    usleep(10000);
  EXPECT_EQ(1, srv.count(QVSD_CMD_CLOSEDIR));
}

TEST_F(qvsd_file_t, status_short_long_and_by_path)
{
  struct stat_server {
    fake_model m;
    fake_reply operator()(const fake_req &r)
    {
      auto fields = [](qvsd_msg *mm, bool full) {
        qvsd_msg_add_i32(mm, "type", 2);
        qvsd_msg_add_i32(mm, "attrib_mode", 0100600);
        qvsd_msg_add_i32(mm, "uid", 7);
        qvsd_msg_add_i32(mm, "gid", 8);
        qvsd_msg_add_i64(mm, "len", 1234);
        qvsd_msg_add_i64(mm, "time_access", 10);
        qvsd_msg_add_i64(mm, "time_write", 20);
        qvsd_msg_add_i64(mm, "time_create", 30);
        if (!full)
          return;
        for (const char *n : {"time_access_ns", "time_write_ns", "time_create_ns"})
          qvsd_msg_add_i32(mm, n, 99);
        for (const char *n : {"st_nlink", "st_dev", "st_rdev", "st_ino", "st_blksize", "st_blocks"})
          qvsd_msg_add_i64(mm, n, 5);
      };
      if (r.cmd == QVSD_CMD_OPEN)
        return fake_reply{fake_frame(1, r.cmd, 0, "", [](qvsd_msg *mm) { qvsd_msg_add_i64(mm, "fd", 3); })};
      if (r.cmd == QVSD_CMD_FSTAT || r.cmd == QVSD_CMD_FSTAT_L)
        return fake_reply{fake_frame(1, r.cmd, 0, "", [&](qvsd_msg *mm) { fields(mm, r.cmd == QVSD_CMD_FSTAT_L); })};
      if (r.cmd == QVSD_CMD_IOCTL2 && r.num("cmd") == QVSD_IOCTL2_STAT) {
        if (r.raw("data") != std::string("a\\tb\t0") + std::string(1, '\0'))
          return fake_reply{fake_frame(1, r.cmd, -102, "not found")};
        std::string line = "2\t33152\t7\t8\t10\t20\t30\t1234\t1\t2\t3\t1\t2\t0\t77\t4096\t8\tb\t\n";
        return fake_reply{fake_frame(1, r.cmd, 0, "", [&](qvsd_msg *mm) {
          qvsd_msg_add_raw(mm, "data", line.data(), (uint32_t)line.size());
        })};
      }
      return m.answer(r);
    }
  };
  for (const char *ver : {"1.5.2", "1.5.3"}) {
    stat_server ss;
    ss.m.ver = ver;
    fake_qvsd srv(ss);
    qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
    ASSERT_NE(nullptr, c);
    qvsd_file *f = qvsd_cli_open(c, "/data/a", 0);
    ASSERT_NE(nullptr, f);
    os_dirent d;
    d.time_write_ns = 1;
    ASSERT_EQ(0, qvsd_cli_fstat(f, &d)) << ver << ": " << qvsd_cli_last_errstr(c);
    bool full = std::string(ver) == "1.5.3";
    EXPECT_EQ(full ? QVSD_CMD_FSTAT_L : QVSD_CMD_FSTAT, srv.requests().back().cmd) << ver;
    EXPECT_EQ(1234, d.size) << ver;
    EXPECT_EQ(full ? 99u : 0u, d.time_write_ns) << ver;
    EXPECT_EQ(full ? 5u : 0u, d.st_ino) << ver;
    ASSERT_EQ(0, qvsd_cli_stat(c, "a\tb", 0, &d)) << qvsd_cli_last_errstr(c);
    EXPECT_EQ(77u, d.st_ino);
    EXPECT_STREQ("b", d.name);
    EXPECT_EQ(-1, qvsd_cli_stat(c, "missing", 0, &d));
    EXPECT_EQ(-102, qvsd_cli_last_errno(c));
    qvsd_cli_exit(c);
  }
}
