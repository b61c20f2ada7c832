#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "helpers/fake_qvsd.h"
#include "liblog/log2.h"
#include "libpack/zcomp.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_base64.h"
#include "libpwd/libpwd.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

using namespace std::string_literals;

namespace {

constexpr int64_t FILE_FD = 42; /* "2a" where a request prints it in hexadecimal */
constexpr int64_t DIR_FD = 9;

/* Replies for the requests under test, taken in order; whatever else the client sends (login,
 * information, compression switch, ping, the opens of the set-up, close, exit) the model answers. */
struct script {
  std::mutex mu;
  std::deque<std::string> replies;
  void load(const std::vector<std::string> &r)
  {
    std::lock_guard<std::mutex> g(mu);
    replies.assign(r.begin(), r.end());
  }
  size_t left()
  {
    std::lock_guard<std::mutex> g(mu);
    return replies.size();
  }
};

fake_qvsd::handler scripted(std::shared_ptr<script> sc, fake_model m)
{
  return [sc, m](const fake_req &r) {
    {
      std::lock_guard<std::mutex> g(sc->mu);
      if (!sc->replies.empty()) {
        fake_reply rep{sc->replies.front()};
        sc->replies.pop_front();
        return rep;
      }
    }
    if (r.cmd == QVSD_CMD_OPEN || r.cmd == QVSD_CMD_OPENDIR || r.cmd == QVSD_CMD_OPENDIR2) {
      int64_t fd = r.cmd == QVSD_CMD_OPEN ? FILE_FD : DIR_FD;
      return fake_reply{fake_frame(1, r.cmd, 0, "", [fd](qvsd_msg *mm) { qvsd_msg_add_i64(mm, "fd", fd); })};
    }
    return m.answer(r);
  };
}

/* ---- reply frames ---- */
std::string ok(const std::function<void(qvsd_msg *)> &more = {})
{
  return fake_frame(1, 0, 0, "", more);
}
std::string srv_err(int32_t eno, const char *text)
{
  return fake_frame(1, 0, eno, text);
}
std::string data(const std::string &d)
{
  return ok([d](qvsd_msg *m) { qvsd_msg_add_raw(m, "data", d.data(), (uint32_t)d.size()); });
}
std::string i32(const char *name, int32_t v)
{
  return ok([=](qvsd_msg *m) { qvsd_msg_add_i32(m, name, v); });
}
std::string i64(const char *name, int64_t v)
{
  return ok([=](qvsd_msg *m) { qvsd_msg_add_i64(m, name, v); });
}
/* A status reply, long (17 fields) or short (8). */
std::string status(bool full)
{
  return ok([full](qvsd_msg *m) {
    qvsd_msg_add_i32(m, "type", 2);
    qvsd_msg_add_i32(m, "attrib_mode", 0100640);
    qvsd_msg_add_i32(m, "uid", 7);
    qvsd_msg_add_i32(m, "gid", 8);
    qvsd_msg_add_i64(m, "len", 1234);
    qvsd_msg_add_i64(m, "time_access", 10);
    qvsd_msg_add_i64(m, "time_write", 20);
    qvsd_msg_add_i64(m, "time_create", 30);
    if (!full)
      return;
    qvsd_msg_add_i32(m, "time_access_ns", 11);
    qvsd_msg_add_i32(m, "time_write_ns", 21);
    qvsd_msg_add_i32(m, "time_create_ns", 31);
    for (const char *n : {"st_nlink", "st_dev", "st_rdev", "st_ino", "st_blksize", "st_blocks"})
      qvsd_msg_add_i64(m, n, 77);
  });
}

/* One request as text: "#<command>" and its members in order, int64 values marked "L", strings
 * quoted, raw values as "*" (their bytes are compared on their own). */
std::string summary(const fake_req &r)
{
  std::string s = "#" + std::to_string(r.cmd);
  const uint8_t *p = reinterpret_cast<const uint8_t *>(r.body.data()) + 4;
  uint32_t len = (uint32_t)r.body.size() - 4, off = 0;
  while (off + 4 <= len) {
    const uint8_t *a = p + off;
    if (qvsd_attr_check(a, len - off, true) < 0)
      return s + " <bad member>";
    uint32_t nl = 0;
    const char *n = qvsd_attr_name(a, &nl);
    s += " " + std::string(n, nl) + "=";
    switch (qvsd_attr_type(a)) {
    case QVSD_T_INT64:
      s += std::to_string(qvsd_attr_i64(a)) + "L";
      break;
    case QVSD_T_INT32:
      s += std::to_string(qvsd_attr_i32(a));
      break;
    case QVSD_T_STRING:
      s += "\"" + std::string(qvsd_attr_str(a)) + "\"";
      break;
    default:
      s += "*";
    }
    off += qvsd_attr_padlen(a);
  }
  return s;
}

std::string unpack(const std::string &packed, size_t plain)
{
  zcomp z;
  strcpy(z.name, "lz4");
  zcomp_open(&z);
  std::string out(plain, '\0');
  int n = zcomp_decompress(&z, packed.data(), (int)packed.size(), out.data(), (int)plain);
  zcomp_close(&z);
  return n == (int)plain ? out : "<unpack failed>";
}

std::string pack(const std::string &plain)
{
  zcomp z;
  strcpy(z.name, "lz4");
  zcomp_open(&z);
  std::string out(zcomp_bound((uint32_t)plain.size()), '\0');
  int n = zcomp_compress(&z, plain.data(), (int)plain.size(), out.data(), (int)out.size());
  zcomp_close(&z);
  out.resize(n > 0 ? (size_t)n : 0);
  return out;
}

struct env {
  qvsd_cli *c = nullptr;
  qvsd_file *f = nullptr;
  qvsd_dir *d = nullptr;
  std::string text;
  uint64_t nums[QVSD_COUNTERS] = {};
  os_dirent de;
  qvsd_fdinfo fi;
  char buf[256] = {};
  uint32_t plain = 0;
  qvsd_file *nf = nullptr;
};

struct want_req {
  std::string summary;
  std::optional<std::string> data = {}; /* the "data" member's bytes when given */
};

file_attr sample_attr(const char *link)
{
  file_attr a;
  a.link_name = link;
  a.type = 2;
  a.attrib_mode = 0100644;
  a.time_write = 0x5f5e100;
  a.uid = 1000;
  a.gid = 100;
  return a;
}

class qvsd_more_t : public ::testing::Test {
protected:
  void SetUp() override
  {
    qvsd_cli_cleanup();
    qvsd_cli_init();
  }
  /* A connection to a scripted server of version ver, with a file (FILE_FD) and a directory
   * (DIR_FD) open. */
  struct conn {
    std::shared_ptr<script> sc = std::make_shared<script>();
    std::unique_ptr<fake_qvsd> srv;
    env e;
    vperror err{};
    size_t from = 0;
    conn(const char *ver, int32_t os_type = 2, uint8_t proto = 1)
    {
      fake_model m;
      m.ver = ver;
      m.os_type = os_type;
      m.proto = proto;
      srv = std::make_unique<fake_qvsd>(scripted(sc, m));
      e.c = qvsd_cli_connect(srv->url("alice:s3cret").c_str(), &err);
      if (!e.c)
        return;
      e.f = qvsd_cli_open(e.c, "/f", 0);
      e.d = qvsd_cli_opendir(e.c, "/d", nullptr, 0);
      from = srv->requests().size();
    }
    ~conn() { qvsd_cli_exit(e.c); }
    std::vector<fake_req> sent()
    {
      std::vector<fake_req> all = srv->requests();
      return std::vector<fake_req>(all.begin() + (long)from, all.end());
    }
  };
};

struct row {
  const char *name;
  const char *ver;
  std::vector<std::string> replies;
  std::function<int64_t(env &)> call;
  int64_t rc;
  std::vector<want_req> sent;
  std::function<void(env &, const std::vector<fake_req> &)> check = {};
};

} // namespace

TEST_F(qvsd_more_t, wrappers_send_their_members_and_convert_replies)
{
  const std::string counters_text = "1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t18446744073709551615";
  file_attr attr = sample_attr("t");
  const std::string attr_text = "2\t81a4\t0\t0\t5f5e100\t0\t1000\t100";
  const row rows[] = {
      /* commands */
      {"lsblk", "1.9.0", {ok([](qvsd_msg *m) { qvsd_msg_add_str(m, "lsblk", "sda\nsdb\n"); })},
       [](env &e) { return qvsd_cli_lsblk(e.c, &e.text); }, 0, {{"#3 param=\"\""}},
       [](env &e, auto &) { EXPECT_EQ("sda\nsdb\n", e.text); }},
      {"write_named", "1.9.0", {i32("len", 17)},
       [](env &e) { return qvsd_cli_write_named(e.c, "/f", "ads", 7, "hello hello hello", 17); }, 17,
       {{"#9 path=\"/f\" name=\"ads\" flags=7 len=17 data=*"}},
       [](env &, auto &s) { EXPECT_EQ("hello hello hello", unpack(s[0].raw("data"), 17)); }},
      {"fd", "1.9.0", {ok()}, [](env &e) { return qvsd_cli_fd(e.f); }, 0, {{"#14 fd=42L"}}},
      {"fd on a directory", "1.9.0", {ok()}, [](env &e) { return qvsd_cli_fd(e.d); }, 0, {{"#14 fd=9L"}}},
      {"fdinfo",
       "1.9.0",
       {ok([](qvsd_msg *m) {
         qvsd_msg_add_i32(m, "type", 3);
         qvsd_msg_add_i64(m, "len", 1LL << 40);
         qvsd_msg_add_i64(m, "offset", 7);
         qvsd_msg_add_i32(m, "sector_bytes", 4096);
         qvsd_msg_add_str(m, "info", "nvme0n1");
       })},
       [](env &e) { return qvsd_cli_file_ioctl(e.f, QVSD_IOCTL_FDINFO, &e.fi, (int)sizeof e.fi); },
       0,
       {{"#19 fd=42L"}},
       [](env &e, auto &) {
         EXPECT_EQ(3, e.fi.type);
         EXPECT_EQ(1LL << 40, e.fi.len);
         EXPECT_EQ(7, e.fi.offset);
         EXPECT_EQ(4096, e.fi.sector_bytes);
         EXPECT_STREQ("nvme0n1", e.fi.info);
       }},
      {"futime with nanoseconds", "1.5.3", {ok()},
       [](env &e) {
         qvsd_times t{1, 2, 3, 4, 5, 6};
         return qvsd_cli_file_ioctl(e.f, QVSD_IOCTL_FUTIME, &t, (int)sizeof t);
       },
       0,
       {{"#27 fd=42L time_access=1L time_write=2L time_create=3L time_access_ns=4 time_write_ns=5 time_create_ns=6"}}},
      {"futime of an older server drops the nanoseconds", "1.5.2", {ok()},
       [](env &e) {
         qvsd_times t{1, 2, 3, 4, 5, 6};
         return qvsd_cli_futime(e.f, &t);
       },
       0, {{"#22 fd=42L time_access=1L time_write=2L time_create=3L"}}},
      {"range", "1.9.0", {ok()},
       [](env &e) {
         qvsd_range r{2, 4096, -1};
         return qvsd_cli_file_ioctl(e.f, QVSD_IOCTL_RANGE, &r, (int)sizeof r);
       },
       0, {{"#23 fd=42L type=2 offset=4096L len=-1L"}}},
      {"fstat through the file ioctl", "1.9.0", {status(true)},
       [](env &e) { return qvsd_cli_file_ioctl(e.f, QVSD_IOCTL_FSTAT, &e.de, (int)sizeof e.de); }, 0,
       {{"#26 fd=42L"}}, [](env &e, auto &) { EXPECT_EQ(1234, e.de.size); }},
      {"open_win", "1.9.0", {i64("fd", 12)},
       [](env &e) {
         qvsd_win_open w{0x40000000, 3, 2, 0x80, 0};
         e.nf = qvsd_cli_open_win(e.c, "C:/x", &w);
         return (int64_t)(e.nf ? e.nf->fd : -1);
       },
       12,
       {{"#24 path=\"C:/x\" desire_access=1073741824 share_mode=3 sec_attrib=\"\" creat_disp=2 flag_attrib=128 "
         "temp_handle=0L"}},
       [](env &e, auto &) { EXPECT_EQ(e.nf, e.c->files.back()); }},
      {"open2", "1.9.0", {i64("fd", 13)},
       [](env &e) {
         e.nf = qvsd_cli_open2(e.c, "/g", 0x241, 0644);
         return (int64_t)(e.nf ? e.nf->fd : -1);
       },
       13, {{"#25 path=\"/g\" flag=577 mode=420"}},
       [](env &e, auto &) {
         ASSERT_NE(nullptr, e.nf);
         EXPECT_EQ(0x241, e.nf->flags);
         EXPECT_EQ("/g", e.nf->path);
       }},
      {"open2 refused keeps no handle", "1.9.0", {srv_err(-102, "no such file")},
       [](env &e) {
         size_t before = e.c->files.size();
         e.nf = qvsd_cli_open2(e.c, "/g", 0, 0);
         return (int64_t)(e.nf == nullptr && e.c->files.size() == before ? qvsd_cli_last_errno(e.c) : 0);
       },
       -102, {{"#25 path=\"/g\" flag=0 mode=0"}}},
      {"status by path, long", "1.5.3", {status(true)}, [](env &e) { return qvsd_cli_stat_cmd(e.c, "/s", &e.de); },
       0, {{"#7 path=\"/s\""}},
       [](env &e, auto &) {
         EXPECT_EQ(0100640u, e.de.attrib_mode);
         EXPECT_EQ(21u, e.de.time_write_ns);
         EXPECT_EQ(77u, e.de.st_ino);
       }},
      {"status by path, short", "1.5.2", {status(false)},
       [](env &e) {
         e.de.time_write_ns = 5;
         e.de.st_ino = 99;
         return qvsd_cli_stat_cmd(e.c, "/s", &e.de);
       },
       0, {{"#6 path=\"/s\""}},
       [](env &e, auto &) {
         EXPECT_EQ(20, e.de.time_write);
         EXPECT_EQ(0u, e.de.time_write_ns);
         EXPECT_EQ(99u, e.de.st_ino); /* left as it was */
       }},
      {"stat2", "1.9.0", {status(true)}, [](env &e) { return qvsd_cli_stat2(e.c, "/s", &e.de); }, 0,
       {{"#28 path=\"/s\""}}, [](env &e, auto &) { EXPECT_EQ(31u, e.de.time_create_ns); }},
      {"stat2 reply lacking a field", "1.9.0", {status(false)},
       [](env &e) { return qvsd_cli_stat2(e.c, "/s", &e.de) < 0 ? qvsd_cli_last_errno(e.c) : 0; }, VERR_PROTO,
       {{"#28 path=\"/s\""}}},
      {"pwritex from 1.6.2", "1.6.2", {data("100\n")},
       [](env &e) { return qvsd_cli_pwritex(e.f, 4096, 100, 3); }, 100,
       {{"#8 fd=42L cmd=10108 data=* olen=64", "4096\t100\0"s}}},
      {"pwritex count above the length", "1.6.2", {data("101")},
       [](env &e) { return qvsd_cli_pwritex(e.f, 4096, 100, 3) < 0 ? qvsd_cli_last_errno(e.c) : 0; }, VERR_PROTO,
       {{"#8 fd=42L cmd=10108 data=* olen=64", "4096\t100\0"s}}},
      {"pwritex before 1.6.2", "1.6.1", {i32("len", 100)},
       [](env &e) { return qvsd_cli_pwritex(e.f, 4096, 100, 3); }, 100,
       {{"#50 fd=42L mode=3 len=100 offset=4096L"}}},
      {"read_packed positioned", "1.6.4",
       {ok([](qvsd_msg *m) {
         qvsd_msg_add_i32(m, "len", 20);
         qvsd_msg_add_i32(m, "flags", 0);
         qvsd_msg_add_raw(m, "data", "PACKED-BYTES", 12);
       })},
       [](env &e) { return qvsd_cli_read_packed(e.f, 20, 10, e.buf, sizeof e.buf, &e.plain); }, 12,
       {{"#29 fd=42L len=20 offset=10L"}},
       [](env &e, auto &) {
         EXPECT_EQ("PACKED-BYTES", std::string(e.buf, 12));
         EXPECT_EQ(20u, e.plain);
         EXPECT_EQ(30, e.f->pos);
       }},
      {"read_packed seeks on 1.6.3", "1.6.3",
       {i64("offset", 10), ok([](qvsd_msg *m) {
          qvsd_msg_add_i32(m, "len", 3);
          qvsd_msg_add_i32(m, "flags", 0);
          qvsd_msg_add_raw(m, "data", "xyz", 3);
        })},
       [](env &e) { return qvsd_cli_read_packed(e.f, 20, 10, e.buf, sizeof e.buf, &e.plain); }, 3,
       {{"#15 fd=42L offset=10L mode=0L"}, {"#12 fd=42L len=20"}},
       [](env &e, auto &) {
         EXPECT_EQ(3u, e.plain);
         EXPECT_EQ(13, e.f->pos);
       }},
      {"read_packed above twice the length", "1.9.0",
       {ok([](qvsd_msg *m) {
         std::string big(9, 'p');
         qvsd_msg_add_i32(m, "len", 4);
         qvsd_msg_add_i32(m, "flags", 0);
         qvsd_msg_add_raw(m, "data", big.data(), 9);
       })},
       [](env &e) {
         return qvsd_cli_read_packed(e.f, 4, -1, e.buf, sizeof e.buf, &e.plain) < 0 ? qvsd_cli_last_errno(e.c) : 0;
       },
       VERR_FAIL, {{"#12 fd=42L len=4"}},
       [](env &e, auto &) { EXPECT_STREQ("unkown error=7", qvsd_cli_last_errstr(e.c)); }},
      {"write_packed", "1.9.0", {i32("len", 20)},
       [](env &e) { return qvsd_cli_write_packed(e.f, "\x01\x02zz", 4, 20, 100); }, 20,
       {{"#30 fd=42L flags=0 len=20 offset=100L data=*", "\x01\x02zz"s}},
       [](env &e, auto &) { EXPECT_EQ(120, e.f->pos); }},
      /* file ioctl codes */
      {"set_pack", "1.9.0", {ok()}, [](env &e) { return qvsd_cli_set_pack(e.c, "none"); }, 0,
       {{"#20 fd=0L cmd=10001 len=5 data=*", "none\0"s}},
       [](env &e, auto &) {
         EXPECT_STREQ("none", e.c->pack);
         ASSERT_NE(nullptr, e.c->codec.codec);
         EXPECT_EQ(0, e.c->codec.id);
       }},
      {"utime", "1.9.0", {ok()},
       [](env &e) {
         qvsd_times t{1, 2, 3, 4, 5, 6};
         return qvsd_cli_utime(e.c, "/x\ty", &t);
       },
       0, {{"#20 fd=0L cmd=10029 len=18 data=*", "/x\\ty\t1\t2\t3\t4\t5\t6\0"s}}},
      {"set_attr", "1.9.0", {ok()}, [&](env &e) { return qvsd_cli_set_attr(e.f, &attr); }, 0,
       {{"#20 fd=42L cmd=10039 len=" + std::to_string(attr_text.size() + 1) + " data=*", attr_text + "\0"s}}},
      {"create a name list", "1.9.0", {ok()},
       [&](env &e) { return qvsd_cli_create_file_or_dir_zz(e.c, "a\0b\0", &attr); }, 0,
       {{"#20 fd=0L cmd=10041 len=" + std::to_string(11 + attr_text.size() + 1) + " data=*",
         "a\\0b\\0\\0\tt\t" + attr_text + "\0"s}}},
      {"read timeout", "1.9.0", {ok()}, [](env &e) { return qvsd_cli_set_read_timeout(e.f, 14000); }, 0,
       {{"#20 fd=42L cmd=10100 len=6 data=*", "14000\0"s}}},
      {"write timeout", "1.9.0", {ok()}, [](env &e) { return qvsd_cli_set_write_timeout(e.f, 8000); }, 0,
       {{"#20 fd=42L cmd=10105 len=5 data=*", "8000\0"s}}},
      {"another code goes out as command 20", "1.9.0", {ok()},
       [](env &e) { return qvsd_cli_file_ioctl(e.c, 10013, (void *)"t", -1); }, 0,
       {{"#20 fd=0L cmd=10013 len=2 data=*", "t\0"s}}},
      /* ioctl2 codes */
      {"caps", "1.9.0", {data("a=1\r\nallow_set_readonly=0\r\n")},
       [](env &e) { return qvsd_cli_caps(e.c, &e.text); }, 0, {{"#8 fd=0L cmd=10 data=* olen=65536", ""s}},
       [](env &e, auto &) { EXPECT_EQ("a=1\r\nallow_set_readonly=0\r\n", e.text); }},
      {"read-only allowed", "1.6.1", {data("a=0\r\nallow_set_readonly=yes\r\n")},
       [](env &e) { return qvsd_cli_allow_set_readonly(e.c); }, 1, {{"#8 fd=0L cmd=10 data=* olen=65536"}}},
      {"read-only refused", "1.6.1", {data("allow_set_readonly=0\r\na=1")},
       [](env &e) { return qvsd_cli_allow_set_readonly(e.c); }, 0, {{"#8 fd=0L cmd=10 data=* olen=65536"}}},
      {"read-only key missing", "1.6.1", {data("allow_set_readonly_x=1\r\n")},
       [](env &e) { return qvsd_cli_allow_set_readonly(e.c); }, 0, {{"#8 fd=0L cmd=10 data=* olen=65536"}}},
      {"query", "1.9.0", {data("answer")},
       [](env &e) { return qvsd_cli_query(e.c, "one", "two", &e.text); }, 0,
       {{"#8 fd=0L cmd=12 data=* olen=65536", "one\ttwo\0"s}},
       [](env &e, auto &) { EXPECT_EQ("answer", e.text); }},
      {"counters", "1.9.0", {data(counters_text + "\n")},
       [](env &e) { return qvsd_cli_counters(e.c, "all", e.nums); }, 0,
       {{"#8 fd=0L cmd=10001 data=* olen=1024", "all\0"s}},
       [](env &e, auto &) {
         EXPECT_EQ(1u, e.nums[0]);
         EXPECT_EQ(10u, e.nums[9]);
         EXPECT_EQ(UINT64_MAX, e.nums[10]);
       }},
      /* a counter reply with a field too few, too many, or not a number fails whole */
      {"counters: ten fields", "1.9.0", {data("1\t2\t3\t4\t5\t6\t7\t8\t9\t10")},
       [](env &e) { return qvsd_cli_counters(e.c, "", e.nums) < 0 ? qvsd_cli_last_errno(e.c) : 0; }, VERR_PROTO,
       {{"#8 fd=0L cmd=10001 data=* olen=1024"}}, [](env &e, auto &) { EXPECT_EQ(0u, e.nums[0]); }},
      {"counters: twelve fields", "1.9.0", {data(counters_text + "\t12")},
       [](env &e) { return qvsd_cli_counters(e.c, "", e.nums) < 0 ? qvsd_cli_last_errno(e.c) : 0; }, VERR_PROTO,
       {{"#8 fd=0L cmd=10001 data=* olen=1024"}}},
      {"counters: a sign", "1.9.0", {data("1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t-1")},
       [](env &e) { return qvsd_cli_counters(e.c, "", e.nums) < 0 ? qvsd_cli_last_errno(e.c) : 0; }, VERR_PROTO,
       {{"#8 fd=0L cmd=10001 data=* olen=1024"}}},
      {"counters: past 64 bits", "1.9.0", {data("1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t18446744073709551616")},
       [](env &e) { return qvsd_cli_counters(e.c, "", e.nums) < 0 ? qvsd_cli_last_errno(e.c) : 0; }, VERR_PROTO,
       {{"#8 fd=0L cmd=10001 data=* olen=1024"}}},
      {"directory seek drops the batch", "1.9.0", {data("")},
       [](env &e) {
         e.d->buf.assign(16, 'x');
         e.d->pos = 3;
         e.d->fill = 10;
         return qvsd_cli_dir_seek(e.d, 42);
       },
       0, {{"#8 fd=9L cmd=10050 data=* olen=0", "42\0"s}},
       [](env &e, auto &) {
         EXPECT_EQ(-1, e.d->pos);
         EXPECT_EQ(0u, e.d->fill);
         EXPECT_EQ(42u, e.d->count);
       }},
      {"bcount_init", "1.6.2", {data("")},
       [](env &e) { return qvsd_cli_bcount_init(e.f, 1, 65536, 8, "st"); }, 0,
       {{"#8 fd=42L cmd=10106 data=* olen=0", "2a\t1\t65536\t8\tst\0"s}}},
      {"bcount_get", "1.6.2", {data("RESULT")},
       [](env &e) { return qvsd_cli_bcount_get(e.f, -5, 4096, e.buf, 4); }, 4,
       {{"#8 fd=42L cmd=10107 data=* olen=4", "-5\t4096\0"s}},
       [](env &e, auto &) { EXPECT_EQ("RESU", std::string(e.buf, 4)); }},
      {"olen 0 delivers nothing", "1.6.2", {data("RESULT")},
       [](env &e) { return qvsd_cli_bcount_get(e.f, 0, 1, nullptr, 0); }, 0,
       {{"#8 fd=42L cmd=10107 data=* olen=0", "0\t1\0"s}}},
      {"hash_10109", "1.6.2", {data("")}, [](env &e) { return qvsd_cli_hash_10109(e.f, 7, 9); }, 0,
       {{"#8 fd=42L cmd=10109 data=* olen=0", "2a\t7\t9\0"s}}},
      {"hash_bits", "1.6.3", {data("7ff\0"s)}, [](env &e) { return qvsd_cli_hash_bits(e.f); }, 0x7ff,
       {{"#8 fd=42L cmd=10110 data=* olen=64", ""s}}},
      {"hash_bits before 1.6.3 is 1023, nothing sent", "1.6.2", {}, [](env &e) { return qvsd_cli_hash_bits(e.f); },
       1023, {}},
      {"hash_bits not hexadecimal", "1.6.3", {data("0x7ff")},
       [](env &e) { return qvsd_cli_hash_bits(e.c) < 0 ? qvsd_cli_last_errno(e.c) : 0; }, VERR_PROTO,
       {{"#8 fd=0L cmd=10110 data=* olen=64"}}},
      {"vss_mount", "1.6.7", {data("\\\\?\\GLOBALROOT\\Device\\Shadow1")},
       [](env &e) { return qvsd_cli_vss_mount(e.c, "C:", e.buf, sizeof e.buf); }, 29,
       {{"#8 fd=0L cmd=10111 data=* olen=255", "C:\0"s}},
       [](env &e, auto &) { EXPECT_STREQ("\\\\?\\GLOBALROOT\\Device\\Shadow1", e.buf); }},
      /* the batch-list service */
      {"mfile open", "1.9.0", {data("")},
       [](env &e) {
         qvsd_mfile_param p;
         p.max_mfile_size = 1 << 20;
         p.timeout_ms = 3000;
         p.remove_flags = 1;
         p.mode = 0x10;
         p.dir_mode = 0755;
         return qvsd_cli_mfile_open(e.c, &p);
       },
       0, {{"#8 fd=0L cmd=10130 data=* olen=0", "1048576\t3000\t1\tffffffff\tffffffff\t10\t1ed\0"s}}},
      {"mfile close", "1.9.0", {data("")}, [](env &e) { return qvsd_cli_mfile_close(e.c); }, 0,
       {{"#8 fd=0L cmd=10131 data=* olen=0", ""s}}},
      {"mfile result", "1.9.0", {data("0\t0\t")},
       [](env &e) { return qvsd_cli_mfile_result(e.c, "pre", e.buf, sizeof e.buf); }, 4,
       {{"#8 fd=0L cmd=10132 data=* olen=256", "pre\0"s}},
       [](env &e, auto &) { EXPECT_EQ("0\t0\t", std::string(e.buf, 4)); }},
      {"mfile result without prefix", "1.9.0", {data("")},
       [](env &e) { return qvsd_cli_mfile_result(e.c, nullptr, e.buf, sizeof e.buf); }, 0,
       {{"#8 fd=0L cmd=10132 data=* olen=256", "\0"s}}},
      {"mfile call with both texts", "1.9.0", {data("")},
       [](env &e) { return qvsd_cli_mfile_call(e.c, 2, "/b\tc", "d1\tx\nd2\tx\n", 10); }, 0,
       {{"#8 fd=0L cmd=10134 data=* olen=0", "/b\\tc\td1\\tx\\nd2\\tx\\n\0"s}}},
      {"mfile call with only the second text", "1.9.0", {data("")},
       [](env &e) { return qvsd_cli_mfile_call(e.c, 1, nullptr, "f\t12\n", 5); }, 0,
       {{"#8 fd=0L cmd=10133 data=* olen=0", "\tf\\t12\\n\0"s}}},
      {"mfile call with only the first text", "1.9.0", {data("")},
       [](env &e) { return qvsd_cli_mfile_call(e.c, 4, "/b", "", 0); }, 0,
       {{"#8 fd=0L cmd=10136 data=* olen=0", "/b\0"s}}},
      {"mfile call type 3", "1.9.0", {data("")}, [](env &e) { return qvsd_cli_mfile_call(e.c, 3, "/b", "x", 1); }, 0,
       {{"#8 fd=0L cmd=10135 data=* olen=0", "/b\tx\0"s}}},
      {"mfile call type 5 never sends a list", "1.9.0", {data("")},
       [](env &e) { return qvsd_cli_mfile_call(e.c, 5, "/b", "ignored", 7); }, 0,
       {{"#8 fd=0L cmd=10138 data=* olen=0", "/b\0"s}}},
      {"mfile call type 8", "1.9.0", {data("")},
       [](env &e) { return qvsd_cli_mfile_call(e.c, 8, "/b", "D /b/x\n", 7); }, 0,
       {{"#8 fd=0L cmd=10140 data=* olen=0", "/b\tD /b/x\\n\0"s}}},
      {"mfile call type 9 escapes its two directories", "1.9.0", {data("")},
       [](env &e) { return qvsd_cli_mfile_call(e.c, 9, "/b\0links\0", "n\t/s\n", 5); }, 0,
       {{"#8 fd=0L cmd=10141 data=* olen=0", "/b\\0links\\0\\0\tn\\t/s\\n\0"s}}},
      {"mfile call server error", "1.9.0", {srv_err(-38, "read only")},
       [](env &e) { return qvsd_cli_mfile_call(e.c, 4, "/b", "x\n", 2) < 0 ? qvsd_cli_last_errno(e.c) : 0; },
       VERR_ACCESS, {{"#8 fd=0L cmd=10136 data=* olen=0"}}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    conn k(r.ver);
    ASSERT_NE(nullptr, k.e.c) << vperror_str(&k.err);
    ASSERT_NE(nullptr, k.e.f);
    ASSERT_NE(nullptr, k.e.d);
    k.sc->load(r.replies);
    int64_t rc = r.call(k.e);
    EXPECT_EQ(r.rc, rc) << qvsd_cli_last_errstr(k.e.c);
    std::vector<fake_req> sent = k.sent();
    ASSERT_EQ(r.sent.size(), sent.size());
    for (size_t i = 0; i < sent.size(); i++) {
      EXPECT_EQ(r.sent[i].summary, summary(sent[i])) << "request " << i;
      if (r.sent[i].data) {
        EXPECT_EQ(*r.sent[i].data, sent[i].raw("data")) << "request " << i;
      }
    }
    EXPECT_EQ(0u, k.sc->left());
    if (r.check)
      r.check(k.e, sent);
  }
}

TEST_F(qvsd_more_t, refused_before_anything_is_sent)
{
  file_attr attr = sample_attr(nullptr);
  static char big[1];
  const struct {
    const char *name;
    const char *ver;
    std::function<int64_t(env &)> call;
    int want_errno;
    const char *want_text;
  } rows[] = {
      /* servers older than the gate of the request */
      {"vss_mount", "1.6.6", [](env &e) { return qvsd_cli_vss_mount(e.c, "C:", e.buf, sizeof e.buf); }, VERR_NOIMPL,
       QVSD_ERR_GATE_TEXT},
      {"bcount_init", "1.6.1", [](env &e) { return qvsd_cli_bcount_init(e.f, 1, 2, 3, ""); }, VERR_NOIMPL,
       QVSD_ERR_GATE_TEXT},
      {"bcount_get", "1.6.1", [](env &e) { return qvsd_cli_bcount_get(e.f, 0, 1, e.buf, 8); }, VERR_NOIMPL,
       QVSD_ERR_GATE_TEXT},
      {"hash_10109", "1.6.1", [](env &e) { return qvsd_cli_hash_10109(e.f, 1, 2); }, VERR_NOIMPL,
       QVSD_ERR_GATE_TEXT},
      {"pwritex", "1.5.1", [](env &e) { return qvsd_cli_pwritex(e.f, 0, 1, 0); }, VERR_NOIMPL, QVSD_ERR_GATE_TEXT},
      {"read-only query", "1.6.0", [](env &e) { return (int64_t)qvsd_cli_allow_set_readonly(e.c); }, VERR_NOIMPL,
       QVSD_ERR_GATE_TEXT},
      {"pread_multi", "1.8.1", [](env &e) { return qvsd_cli_pread_multi(e.f, e.buf, 16, 2, 0); }, VERR_NOIMPL,
       QVSD_ERR_GATE_TEXT},
      {"pwrite_multi", "1.8.1", [](env &e) { return qvsd_cli_pwrite_multi(e.f, "abc", 3, 16, 0); }, VERR_NOIMPL,
       QVSD_ERR_GATE_TEXT},
      /* arguments the wire cannot carry */
      {"empty name list", "1.9.0", [&](env &e) { return qvsd_cli_create_file_or_dir_zz(e.c, "", &attr); }, VERR_FAIL,
       "unkown error=9"},
      {"batch type 6", "1.9.0", [](env &e) { return qvsd_cli_mfile_call(e.c, 6, "/b", "x", 1); }, VERR_PARAM,
       "invaild type=6"},
      {"batch type 7", "1.9.0", [](env &e) { return qvsd_cli_mfile_call(e.c, 7, "/b", nullptr, 0); }, VERR_PARAM,
       "invaild type=7"},
      {"batch type 0", "1.9.0", [](env &e) { return qvsd_cli_mfile_call(e.c, 0, "/b", nullptr, 0); }, VERR_PARAM,
       "invaild type=0"},
      {"batch type 10", "1.9.0", [](env &e) { return qvsd_cli_mfile_call(e.c, 10, "/b", nullptr, 0); }, VERR_PARAM,
       "invaild type=10"},
      {"query text with a tab", "1.9.0", [](env &e) { return qvsd_cli_query(e.c, "a\tb", "c", &e.text); }, VERR_PARAM,
       nullptr},
      {"query text with a line feed", "1.9.0", [](env &e) { return qvsd_cli_query(e.c, "a", "b\n", &e.text); },
       VERR_PARAM, nullptr},
      {"bcount state with a tab", "1.9.0", [](env &e) { return qvsd_cli_bcount_init(e.f, 1, 2, 3, "x\ty"); },
       VERR_PARAM, nullptr},
      {"account settings on a password login", "1.9.0",
       [](env &e) { return qvsd_cli_set_account(e.c, "user=bob\npasswd=pw"); }, VERR_NOTSUP, nullptr},
      {"compression name too long", "1.9.0", [](env &e) { return qvsd_cli_set_pack(e.c, "0123456789abcdef"); },
       VERR_PARAM, nullptr},
      {"compression name empty", "1.9.0", [](env &e) { return qvsd_cli_set_pack(e.c, ""); }, VERR_PARAM, nullptr},
      {"multi-block read above one frame", "1.9.0",
       [](env &e) { return qvsd_cli_pread_multi(e.f, big, 1 << 20, 16, 0); }, VERR_PARAM, nullptr},
      {"multi-block read of no block", "1.9.0", [](env &e) { return qvsd_cli_pread_multi(e.f, e.buf, 16, 0, 0); },
       VERR_PARAM, nullptr},
      {"multi-block write above one frame", "1.9.0",
       [](env &e) {
         static std::string huge(17u << 20, 'h');
         return qvsd_cli_pwrite_multi(e.f, huge.data(), (int64_t)huge.size(), 1 << 20, 0);
       },
       VERR_PARAM, nullptr},
      {"named data above one block", "1.9.0",
       [](env &e) { return qvsd_cli_write_named(e.c, "/f", "n", 0, big, QVSD_BS_FAST + 1); }, VERR_PARAM, nullptr},
      {"packed read above its ceiling", "1.9.0",
       [](env &e) { return qvsd_cli_read_packed(e.f, 5u << 20, 0, e.buf, sizeof e.buf, &e.plain); }, VERR_PARAM,
       nullptr},
      {"file ioctl 2 with a wrong size", "1.9.0",
       [](env &e) { return qvsd_cli_file_ioctl(e.f, QVSD_IOCTL_FSTAT, &e.de, 4); }, VERR_PARAM, nullptr},
      {"file ioctl 2 on a directory handle", "1.9.0",
       [](env &e) { return qvsd_cli_file_ioctl(e.d, QVSD_IOCTL_FSTAT, &e.de, (int)sizeof e.de); }, VERR_HANDLE,
       nullptr},
      {"file ioctl 6 without its times", "1.9.0",
       [](env &e) { return qvsd_cli_file_ioctl(e.f, QVSD_IOCTL_FUTIME, nullptr, (int)sizeof(qvsd_times)); },
       VERR_PARAM, nullptr},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    conn k(r.ver);
    ASSERT_NE(nullptr, k.e.c) << vperror_str(&k.err);
    uint64_t count = k.e.c->cmd_count;
    EXPECT_EQ(-1, r.call(k.e));
    EXPECT_EQ(r.want_errno, qvsd_cli_last_errno(k.e.c)) << qvsd_cli_last_errstr(k.e.c);
    if (r.want_text) {
      EXPECT_STREQ(r.want_text, qvsd_cli_last_errstr(k.e.c));
    }
    EXPECT_EQ(count, k.e.c->cmd_count);
    EXPECT_TRUE(k.sent().empty());
  }
}

TEST_F(qvsd_more_t, error_class_is_served_locally)
{
  static const struct {
    int32_t os_type;
    int32_t eno;
    int want;
  } cases[] = {
      /* the server's OS type chooses the numbering */
      {2, 5, 1}, {2, 6, 2}, {2, 2, 3}, {2, -102, 3}, {2, 1117, 3},
      {1, 2, 2}, {1, 55, 2}, {1, 23, 1}, {1, 1117, 1}, {1, 5, 3}, {1, 6, 3},
      /* the last reply carried no error */
      {2, 0, 0}, {1, 0, 0},
  };
  for (const auto &t : cases) {
    SCOPED_TRACE(std::to_string(t.os_type) + "/" + std::to_string(t.eno));
    conn k("1.9.0", t.os_type);
    ASSERT_NE(nullptr, k.e.c);
    k.sc->load({t.eno ? srv_err(t.eno, "failed") : ok()});
    qvsd_cli_fd(k.e.f);
    size_t before = k.srv->requests().size();
    EXPECT_EQ(t.want, qvsd_cli_file_ioctl(k.e.f, QVSD_IOCTL_ERR_CLASS, nullptr, 0));
    EXPECT_EQ(before, k.srv->requests().size());
  }
}

TEST_F(qvsd_more_t, compression_switch_reopens_the_codec)
{
  conn k("1.9.0");
  ASSERT_NE(nullptr, k.e.c);
  qvsd_cli *c = k.e.c;
  ASSERT_STREQ("lz4", c->pack);
  /* a codec that broke stays broken until the switch opens it again, even to the same name */
  zcomp_close(&c->codec);
  ASSERT_EQ(nullptr, c->codec.codec);
  EXPECT_EQ(0, qvsd_cli_set_pack(c, "lz4"));
  ASSERT_NE(nullptr, c->codec.codec);
  EXPECT_EQ(1, c->codec.id);
  EXPECT_EQ(1u, k.sent().size());
  /* the reopened codec reads data */
  std::string packed = pack("abcabcabcabc");
  k.sc->load({ok([&](qvsd_msg *m) {
    qvsd_msg_add_i32(m, "len", 12);
    qvsd_msg_add_i32(m, "flags", 0);
    qvsd_msg_add_raw(m, "data", packed.data(), (uint32_t)packed.size());
  })});
  char buf[12];
  ASSERT_EQ(12, qvsd_cli_read(k.e.f, buf, 12, -1)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ("abcabcabcabc", std::string(buf, 12));
  /* a name the client has no codec for fails after the server took it */
  EXPECT_EQ(-1, qvsd_cli_set_pack(c, "zstd"));
  EXPECT_STREQ("unkown error=7", qvsd_cli_last_errstr(c));
}

namespace {

/* RC4 written out, to check the client's cipher against. */
std::string rc4(const std::string &key, const std::string &in)
{
  uint8_t s[256];
  for (int i = 0; i < 256; i++)
    s[i] = (uint8_t)i;
  for (int i = 0, j = 0; i < 256; i++) {
    j = (j + s[i] + (uint8_t)key[(size_t)i % key.size()]) & 0xff;
    std::swap(s[i], s[j]);
  }
  std::string out = in;
  for (size_t n = 0, i = 0, j = 0; n < in.size(); n++) {
    i = (i + 1) & 0xff;
    j = (j + s[i]) & 0xff;
    std::swap(s[i], s[j]);
    out[n] = (char)(in[n] ^ s[(s[i] + s[j]) & 0xff]);
  }
  return out;
}

std::string b64_decode(const std::string &t)
{
  std::string out(t.size(), '\0');
  int n = str_base64_decode(t.data(), t.size(), out.data(), out.size());
  return n < 0 ? "<not base64>" : out.substr(0, (size_t)n);
}

std::mutex g_log_lock;
std::vector<std::string> g_lines;
void capture(int, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  char buf[8192];
  vsnprintf(buf, sizeof buf, fmt, ap);
  std::lock_guard<std::mutex> g(g_log_lock);
  g_lines.push_back(buf);
}

} // namespace

TEST_F(qvsd_more_t, account_settings_travel_under_the_login_key)
{
  int v = LOG2_VERB;
  log2_ioctl(nullptr, LOG2_IOC_LEVEL, &v, sizeof v);
  log2_set_forward(capture);
  {
    conn k("1.9.0", 2, 2); /* key login */
    ASSERT_NE(nullptr, k.e.c) << vperror_str(&k.err);
    char lkey[LIBPWD_KEY_LEN + 1];
    libpwd_build_key("alice", "s3cret", "challenge-42", lkey, sizeof lkey);
    ASSERT_STREQ(lkey, k.e.c->lkey);
    k.sc->load({data("")});
    ASSERT_EQ(0, qvsd_cli_set_account(k.e.c, "user=bob\r\nhome=/h\r\npasswd=tops3cret\r\n"));
    std::vector<fake_req> sent = k.sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(QVSD_IOCTL2_SET_ACCOUNT, sent[0].num("cmd"));
    std::string arg = sent[0].raw("data");
    ASSERT_FALSE(arg.empty());
    EXPECT_EQ('\0', arg.back());
    arg.pop_back();
    /* line by line: the two secret values are replaced, the rest and the CR LF are kept */
    std::vector<std::string> lines;
    for (size_t at = 0; at < arg.size();) {
      size_t nl = arg.find("\r\n", at);
      ASSERT_NE(std::string::npos, nl) << arg;
      lines.push_back(arg.substr(at, nl - at));
      at = nl + 2;
    }
    ASSERT_EQ(3u, lines.size());
    ASSERT_EQ(0u, lines[0].find("user="));
    EXPECT_EQ("bob", rc4(lkey, b64_decode(lines[0].substr(5))));
    EXPECT_EQ("home=/h", lines[1]);
    ASSERT_EQ(0u, lines[2].find("passwd="));
    EXPECT_EQ("tops3cret", rc4(lkey, b64_decode(lines[2].substr(7))));
    EXPECT_EQ(std::string::npos, arg.find("tops3cret"));

    /* the published RC4 vectors ("Key": "Plaintext", "pedia"), each value with a fresh cipher */
    strcpy(k.e.c->lkey, "Key");
    k.sc->load({data("")});
    ASSERT_EQ(0, qvsd_cli_set_account(k.e.c, "passwd=Plaintext\nuser=pedia"));
    EXPECT_EQ("passwd=u/MW6NlArwrT\nuser=m/oT6NY=\0"s, k.sent().back().raw("data"));
  }
  log2_set_forward(nullptr);
  std::lock_guard<std::mutex> g(g_log_lock);
  ASSERT_FALSE(g_lines.empty());
  for (const std::string &l : g_lines) {
    EXPECT_EQ(std::string::npos, l.find("tops3cret")) << l;
    EXPECT_EQ(std::string::npos, l.find("Plaintext")) << l;
  }
}

namespace {

/* A reply of the multi-block read: per block its plain length, its compressed length and the
 * compressed bytes. */
std::string blocks(const std::vector<std::string> &plain)
{
  std::string out;
  for (const std::string &p : plain) {
    std::string z = p.empty() ? "" : pack(p);
    uint8_t head[8];
    qvsd_put_be32(head, (uint32_t)p.size());
    qvsd_put_be32(head + 4, (uint32_t)z.size());
    out.append(reinterpret_cast<char *>(head), 8);
    out += z;
  }
  return out;
}

std::string text_of(size_t n, char base)
{
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++)
    s[i] = (char)(base + (char)(i % 23));
  return s;
}

} // namespace

TEST_F(qvsd_more_t, multi_block_read)
{
  const std::string a = text_of(16, 'a'), b = text_of(16, 'A'), tail = text_of(6, '0');
  uint8_t head[8];
  qvsd_put_be32(head, 17);
  qvsd_put_be32(head + 4, 1);
  const std::string too_long(reinterpret_cast<char *>(head), 8);
  const struct {
    const char *name;
    std::string reply;
    int64_t want;
    std::string content;
    int want_errno;
  } cases[] = {
      {"three whole blocks", blocks({a, b, a}), 48, a + b + a, 0},
      {"a short block ends the file", blocks({a, tail}), 22, a + tail, 0},
      {"an empty block ends the file", blocks({a, ""}), 16, a, 0},
      {"fewer blocks than asked for", blocks({a}), 16, a, 0},
      {"nothing at the end of the file", "", 0, "", 0},
      /* replies that do not hold what was asked for */
      {"a block after the end", blocks({tail, a}), -1, "", VERR_PROTO},
      {"more blocks than asked for", blocks({a, b, a, b}), -1, "", VERR_PROTO},
      {"a block longer than the block length", too_long + "x", -1, "", VERR_PROTO},
      {"compressed bytes past the reply", blocks({a}).substr(0, 12), -1, "", VERR_PROTO},
      {"a cut block head", blocks({a}) + "\0\0\0"s, -1, "", VERR_PROTO},
      {"bytes that do not decompress", blocks({a}).substr(0, 8) + std::string(blocks({a}).size() - 8, '\xff'), -1,
       "", VERR_FAIL},
  };
  for (const auto &t : cases) {
    SCOPED_TRACE(t.name);
    conn k("1.8.2");
    ASSERT_NE(nullptr, k.e.c);
    k.sc->load({data(t.reply)});
    char buf[48];
    EXPECT_EQ(t.want, qvsd_cli_pread_multi(k.e.f, buf, 16, 3, 100)) << qvsd_cli_last_errstr(k.e.c);
    std::vector<fake_req> sent = k.sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(QVSD_IOCTL2_PREAD_MULTI, sent[0].num("cmd"));
    EXPECT_EQ("100\t16\t3\0"s, sent[0].raw("data"));
    EXPECT_EQ((int64_t)(3 * (8 + zcomp_bound(16))), sent[0].num("olen"));
    if (t.want >= 0) {
      EXPECT_EQ(t.content, std::string(buf, (size_t)t.want));
      EXPECT_EQ(100 + t.want, k.e.f->pos);
    } else {
      EXPECT_EQ(t.want_errno, qvsd_cli_last_errno(k.e.c));
    }
  }
}

TEST_F(qvsd_more_t, multi_block_write)
{
  const std::string content = text_of(40, 'k');
  const struct {
    const char *name;
    std::string reply;
    int64_t want;
  } cases[] = {
      {"all written", "40", 40},
      {"a short write", "17\n", 17},
      {"a count above what was sent", "41", -1},
      {"no number", "", -1},
      {"a sign", "-1", -1},
  };
  for (const auto &t : cases) {
    SCOPED_TRACE(t.name);
    conn k("1.9.0");
    ASSERT_NE(nullptr, k.e.c);
    k.sc->load({data(t.reply)});
    EXPECT_EQ(t.want, qvsd_cli_pwrite_multi(k.e.f, content.data(), 40, 16, 4096)) << qvsd_cli_last_errstr(k.e.c);
    if (t.want < 0) {
      EXPECT_EQ(VERR_PROTO, qvsd_cli_last_errno(k.e.c));
    } else {
      EXPECT_EQ(4096 + t.want, k.e.f->pos);
    }
    std::vector<fake_req> sent = k.sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(QVSD_IOCTL2_PWRITE_MULTI, sent[0].num("cmd"));
    /* the header line, then the blocks in the form of the multi-block read */
    std::string arg = sent[0].raw("data");
    const std::string head = "4096\t16\t3\n";
    ASSERT_EQ(head, arg.substr(0, head.size()));
    std::string back;
    size_t at = head.size();
    int nblocks = 0;
    while (at + 8 <= arg.size()) {
      uint32_t plain = qvsd_get_be32(arg.data() + at), packed = qvsd_get_be32(arg.data() + at + 4);
      ASSERT_LE(at + 8 + packed, arg.size());
      back += unpack(arg.substr(at + 8, packed), plain);
      at += 8 + packed;
      nblocks++;
    }
    EXPECT_EQ(arg.size(), at);
    EXPECT_EQ(3, nblocks);
    EXPECT_EQ(content, back);
  }
}
