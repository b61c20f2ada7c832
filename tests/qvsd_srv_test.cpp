/* The qvsd program against the real client library: start-up lines, logins, information, files
 * written and read back over TCP and TLS, listings, confinement to the export, stop on SIGTERM. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "helpers/peer_proc.h"
#include "helpers/qvsd_run.h"
#include "helpers/run_cmd.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/pl_escape.h"
#include "libpal/tframe/file_hash.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"
#include "librdir/librdir.h"
#include "librdir/mfile.h"
#include "librdir/rdir_line.h"

namespace {

constexpr int START_MS = 60000; /* sanitizer builds start slowly on a busy machine */

/* One qvsd process with its standard error collected. */
/* The server under test, started with its words as given (see qvsd_run for the fixture). */
class srv_proc : public qvsd_run {
public:
  bool start(const std::vector<std::string> &args)
  {
    std::vector<std::string> argv{QVSD_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return launch(argv);
  }
  /* Waits for the ready lines; fills the ports and the fingerprint. */
  bool ready(bool want_tcp, bool want_tls) { return wait_ready(want_tcp, want_tls, START_MS); }
  std::string err() { return log(); }
};

std::string read_file(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

/* A blocking loopback connection whose reads give up after 20 s. */
int raw_connect(int port)
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string frame(uint8_t cmd, const std::function<void(qvsd_msg *)> &add)
{
  qvsd_msg m;
  qvsd_msg_reset(&m);
  if (add)
    add(&m);
  uint8_t head[QVSD_FRAME_HEAD];
  qvsd_frame_head(head, 1, cmd, m.data);
  std::string out(reinterpret_cast<char *>(head), sizeof head);
  out.append(reinterpret_cast<char *>(m.data) + 4, m.len - 4);
  qvsd_msg_free(&m);
  return out;
}

/* Sends bytes and reads one reply: its "errno"; 1000 when the server closed instead, 3000 when
 * nothing came within the read limit. */
int32_t exchange(int fd, const std::string &bytes)
{
  if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != (ssize_t)bytes.size())
    return 1000;
  uint8_t head[QVSD_FRAME_HEAD];
  ssize_t n = recv(fd, head, sizeof head, MSG_WAITALL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    return 3000;
  if (n != (ssize_t)sizeof head)
    return 1000;
  std::string body(qvsd_frame_body_len(head), '\0');
  memcpy(body.data(), head + 4, 4);
  if (body.size() < 4 || recv(fd, body.data() + 4, body.size() - 4, MSG_WAITALL) != (ssize_t)body.size() - 4)
    return 1000;
  const void *slots[2];
  if (head[0] != QVSD_MAGIC0 || head[1] != QVSD_MAGIC1 ||
      cli_blobmsg_parse(qvsd_pol_plain, 2, slots, body.data() + 4, (uint32_t)body.size() - 4) < 0)
    return 2000;
  return qvsd_attr_i32(slots[0]);
}

std::set<std::string> list_dir(const std::string &path)
{
  std::set<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d)
    return names;
  while (dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      names.insert(e->d_name);
  closedir(d);
  return names;
}

class qvsd_srv_t : public ::testing::Test {
protected:
  void SetUp() override
  {
    qvsd_cli_init();
    base = peer_tmpdir();
    root = base + "/export";
    outside = base + "/outside";
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
    ASSERT_EQ(0, mkdir((root + "/d").c_str(), 0755));
    ASSERT_TRUE(peer_write_file(outside + "/secret", "outside data\n"));
    ASSERT_TRUE(peer_write_file(root + "/d/small", "inside\n"));
    /* Links that point out of the export: to a directory and to a file. */
    ASSERT_EQ(0, symlink(outside.c_str(), (root + "/out").c_str()));
    ASSERT_EQ(0, symlink((outside + "/secret").c_str(), (root + "/d/lnk").c_str()));
    users = base + "/users";
    ASSERT_TRUE(peer_write_file(users, "# accounts\nalice:s3c:ret\nbob:other\n"));
    ASSERT_EQ(0, chmod(users.c_str(), 0600));
  }
  void TearDown() override
  {
    srv.reset();
    peer_rmdir(base);
  }

  /* Starts the server with the accounts file and extra words; both listeners on free ports. */
  void start(const std::vector<std::string> &extra = {}, bool anonymous = false)
  {
    std::vector<std::string> args{"root=" + root, "port=0", "tls_port=0", anonymous ? "anonymous=yes" : "users=" + users};
    args.insert(args.end(), extra.begin(), extra.end());
    srv = std::make_unique<srv_proc>();
    ASSERT_TRUE(srv->start(args));
    ASSERT_TRUE(srv->ready(true, true)) << srv->err();
  }

  std::string url(bool tls, const std::string &userinfo = "alice:s3c:ret")
  {
    std::string u = tls ? "qvps://" : "qvp://";
    u += userinfo + "@127.0.0.1:" + std::to_string(tls ? srv->tls_port : srv->tcp_port) + "/";
    if (tls)
      u += "?tls_fingerprint=" + srv->fingerprint;
    return u;
  }

  std::string base, root, outside, users;
  std::unique_ptr<srv_proc> srv;
};

TEST_F(qvsd_srv_t, logins_by_kind_and_password)
{
  struct row {
    const char *login;
    const char *userinfo;
    bool ok;
  } rows[] = {
      {"login=key", "alice:s3c:ret", true},  /* the password holds the colon of its line */
      {"login=key", "alice:s3c", false},
      {"login=key", "mallory:s3c:ret", false},
      {"login=password", "alice:s3c:ret", true},
      {"login=password", "alice:wrong", false},
      {"login=password", "bob:other", true},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(std::string(r.login) + " " + r.userinfo);
    start({r.login});
    vperror err{};
    qvsd_cli *c = qvsd_cli_connect(url(false, r.userinfo).c_str(), &err);
    if (r.ok) {
      ASSERT_NE(nullptr, c) << vperror_str(&err);
      EXPECT_EQ(strcmp(r.login, "login=key") == 0 ? 2 : 1, c->proto);
      qvsd_cli_exit(c);
    } else {
      EXPECT_EQ(nullptr, c);
      EXPECT_EQ(-38, err.code) << vperror_str(&err);
    }
    EXPECT_EQ(0, srv->stop(SIGTERM));
    /* No password reaches the log, whatever the outcome. */
    EXPECT_EQ(std::string::npos, srv->err().find("s3c")) << srv->err();
  }
}

TEST_F(qvsd_srv_t, information_and_unknown_requests)
{
  start();
  vperror err{};
  qvsd_cli *c = qvsd_cli_connect(url(false).c_str(), &err);
  ASSERT_NE(nullptr, c) << vperror_str(&err);
  /* Every request of the remote endpoint is served, so the version that offers them is announced. */
  EXPECT_STREQ("1.9.0", c->ver);
  EXPECT_GE(c->ver_value, qvsd_version_parse(QVSD_VER_OWN_CODES));
  EXPECT_FALSE(qvsd_cli_is_windows(c));
  EXPECT_GE(c->ver_value, qvsd_version_parse(QVSD_VER_MIN_RUN));
  /* A code the server does not serve is answered, and the session goes on. */
  char out[64];
  int n = 0;
  EXPECT_EQ(-1, qvsd_cli_ioctl2(c, 12345, "x", -1, out, sizeof out, &n));
  EXPECT_EQ(-37, qvsd_cli_last_errno(c));
  EXPECT_EQ(-1, qvsd_cli_ioctl(c, 4242, nullptr, 0));
  EXPECT_EQ(-37, qvsd_cli_last_errno(c));
  os_dirent d;
  EXPECT_EQ(0, qvsd_cli_stat(c, "/d/small", 0, &d)) << qvsd_cli_last_errstr(c);
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM));
}

class qvsd_srv_transport : public qvsd_srv_t, public ::testing::WithParamInterface<bool> {};

TEST_P(qvsd_srv_transport, file_written_read_back_stat_and_listed)
{
  bool tls = GetParam();
  start();
  vperror err{};
  qvsd_cli *c = qvsd_cli_connect(url(tls).c_str(), &err);
  ASSERT_NE(nullptr, c) << vperror_str(&err);
  ASSERT_EQ(0, qvsd_cli_ioctl(c, QVSD_IOCTL_PACK, "lz4", -1)) << qvsd_cli_last_errstr(c);

  /* More than one block, not a multiple of it, and partly compressible. */
  std::string data(5 * 1024 * 1024 + 123, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < data.size(); i++) {
    x = x * 1103515245 + 12345;
    data[i] = (i / 4096) % 2 ? 'a' : (char)(x >> 16);
  }
  qvsd_file *f = qvsd_cli_open(c, "/d/f.bin", O_WRONLY | O_CREAT | O_TRUNC);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  ASSERT_EQ((int64_t)data.size(), qvsd_cli_write(f, data.data(), (int64_t)data.size(), 0)) << qvsd_cli_last_errstr(c);
  file_attr a;
  a.type = TYPE_FILE;
  a.attrib_mode = S_IFREG | S_ISUID | 0640;
  a.uid = getuid();
  a.gid = getgid();
  a.time_write = 1600000000;
  a.time_access = 1600000100;
  ASSERT_EQ(0, qvsd_cli_close_attr(f, &a)) << qvsd_cli_last_errstr(c);

  EXPECT_TRUE(read_file(root + "/d/f.bin") == data);
  struct stat st;
  ASSERT_EQ(0, lstat((root + "/d/f.bin").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777); /* the set-user-ID bit is never given */
  EXPECT_EQ(1600000000, st.st_mtim.tv_sec);

  f = qvsd_cli_open(c, "/d/f.bin", O_RDONLY);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  std::string back(data.size() + 10, 'x');
  EXPECT_EQ((int64_t)data.size(), qvsd_cli_read(f, back.data(), (int64_t)back.size(), 0));
  back.resize(data.size());
  EXPECT_TRUE(back == data);
  os_dirent fd_stat;
  ASSERT_EQ(0, qvsd_cli_fstat(f, &fd_stat)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ((int64_t)data.size(), fd_stat.size);
  EXPECT_EQ((uint64_t)st.st_ino, fd_stat.st_ino);
  EXPECT_EQ(0, qvsd_cli_close(f));

  /* A length change, and reads that follow the position instead of naming an offset. */
  f = qvsd_cli_open(c, "/d/f.bin", O_RDWR);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  ASSERT_EQ(0, qvsd_cli_set_len(f, 100000)) << qvsd_cli_last_errstr(c);
  ASSERT_EQ(70000, qvsd_cli_seek(f, 70000, 0));
  std::string tail(50000, 'x');
  EXPECT_EQ(30000, qvsd_cli_read(f, tail.data(), (int64_t)tail.size(), -1)) << qvsd_cli_last_errstr(c);
  EXPECT_TRUE(tail.compare(0, 30000, data, 70000, 30000) == 0);
  EXPECT_EQ(0, qvsd_cli_close(f));
  ASSERT_EQ(0, lstat((root + "/d/f.bin").c_str(), &st));
  EXPECT_EQ(100000, st.st_size);

  os_dirent d;
  ASSERT_EQ(0, qvsd_cli_stat(c, "/d/f.bin", 0, &d)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ((uint32_t)TYPE_FILE, os_type_kind(d.type));
  EXPECT_EQ(100000, d.size);
  EXPECT_EQ((uint32_t)(S_IFREG | 0640), d.attrib_mode);
  ASSERT_EQ(-1, qvsd_cli_stat(c, "/d/missing", 0, &d));
  EXPECT_EQ(-102, qvsd_cli_last_errno(c));

  qvsd_dir *dir = qvsd_cli_opendir(c, "/d", nullptr, 0);
  ASSERT_NE(nullptr, dir) << qvsd_cli_last_errstr(c);
  std::set<std::string> names;
  const os_dirent *e = nullptr;
  int rc;
  while ((rc = qvsd_cli_readdir(dir, &e)) == 1) {
    names.insert(e->name);
    if (strcmp(e->name, "lnk") == 0) {
      EXPECT_NE(0u, e->type & TYPE_F_SYMLINK);
      EXPECT_EQ(outside + "/secret", e->link_name); /* listed as an entry, never followed */
    }
  }
  EXPECT_EQ(0, rc) << qvsd_cli_last_errstr(c);
  EXPECT_EQ((std::set<std::string>{"f.bin", "lnk", "small"}), names);
  EXPECT_EQ(0, qvsd_cli_closedir(dir));

  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM));
}

INSTANTIATE_TEST_SUITE_P(tcp_and_tls, qvsd_srv_transport, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "tls" : "tcp"; });

TEST_F(qvsd_srv_t, paths_outside_the_export_are_refused)
{
  start();
  vperror err{};
  qvsd_cli *c = qvsd_cli_connect(url(false).c_str(), &err);
  ASSERT_NE(nullptr, c) << vperror_str(&err);
  os_dirent d;
  const char *paths[] = {
      "/../outside/secret", "/d/../../outside/secret", "/..", "/out/secret", "/out/new", "d/small",
      "/d//small", "/./d/small", "/out", "/d/lnk",
  };
  for (const char *p : paths) {
    SCOPED_TRACE(p);
    bool final_link = strcmp(p, "/out") == 0 || strcmp(p, "/d/lnk") == 0;
    if (final_link) {
      ASSERT_EQ(0, qvsd_cli_stat(c, p, 0, &d)) << qvsd_cli_last_errstr(c);
      EXPECT_NE(0u, d.type & TYPE_F_SYMLINK); /* the link itself, never its target */
    } else {
      EXPECT_EQ(-1, qvsd_cli_stat(c, p, 0, &d));
    }
    qvsd_file *f = qvsd_cli_open(c, p, O_RDONLY);
    EXPECT_EQ(nullptr, f);
    if (f)
      qvsd_cli_close(f);
    qvsd_dir *dir = qvsd_cli_opendir(c, p, nullptr, 0);
    EXPECT_EQ(nullptr, dir);
    if (dir)
      qvsd_cli_closedir(dir);
    /* Writing where a link stands replaces the link by a file of the export; anything else that
     * leads out is refused. */
    f = qvsd_cli_open(c, p, O_WRONLY | O_CREAT | O_TRUNC);
    EXPECT_EQ(final_link, f != nullptr) << qvsd_cli_last_errstr(c);
    if (f) {
      EXPECT_EQ(4, qvsd_cli_write(f, "new\n", 4, 0));
      EXPECT_EQ(0, qvsd_cli_close(f));
      struct stat st;
      ASSERT_EQ(0, lstat((root + p).c_str(), &st));
      EXPECT_TRUE(S_ISREG(st.st_mode));
    }
  }
  /* Nothing outside changed: the file kept its text and nothing new appeared there. */
  EXPECT_EQ("outside data\n", read_file(outside + "/secret"));
  EXPECT_EQ(std::set<std::string>{"secret"}, list_dir(outside));
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM));
}

TEST_F(qvsd_srv_t, several_clients_at_once)
{
  start();
  constexpr int N = 4;
  std::string fails[N];
  std::vector<std::thread> ts;
  for (int i = 0; i < N; i++) {
    ts.emplace_back([&, i] {
      vperror err{};
      qvsd_cli *c = qvsd_cli_connect(url(i % 2 == 1).c_str(), &err);
      if (!c) {
        fails[i] = std::string("connect: ") + vperror_str(&err);
        return;
      }
      std::string path = "/d/c" + std::to_string(i);
      std::string text(100000 + i, (char)('a' + i));
      qvsd_file *f = qvsd_cli_open(c, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
      if (!f || qvsd_cli_write(f, text.data(), (int64_t)text.size(), 0) != (int64_t)text.size() || qvsd_cli_close(f) < 0)
        fails[i] = std::string("write: ") + qvsd_cli_last_errstr(c);
      std::string back(text.size(), 0);
      f = fails[i].empty() ? qvsd_cli_open(c, path.c_str(), O_RDONLY) : nullptr;
      if (f && (qvsd_cli_read(f, back.data(), (int64_t)back.size(), 0) != (int64_t)back.size() || back != text))
        fails[i] = "read back differs";
      if (f)
        qvsd_cli_close(f);
      qvsd_cli_exit(c);
    });
  }
  for (auto &t : ts)
    t.join();
  for (int i = 0; i < N; i++)
    EXPECT_EQ("", fails[i]) << i;
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_srv_t, hostile_frames_get_an_error_or_a_closed_connection)
{
  start({}, true);
  const std::string probe = frame(QVSD_CMD_LOGIN, [](qvsd_msg *m) {
    qvsd_msg_add_str(m, "user", ":");
    qvsd_msg_add_str(m, "passwd", "");
  });
  const std::string ping = frame(QVSD_CMD_IOCTL, [](qvsd_msg *m) {
    qvsd_msg_add_i64(m, "fd", 0);
    qvsd_msg_add_i32(m, "cmd", QVSD_IOCTL_PING);
    qvsd_msg_add_i32(m, "len", 0);
    qvsd_msg_add_raw(m, "data", nullptr, 0);
  });
  std::string bad_magic = ping;
  bad_magic[0] = 'X';
  std::string too_long = ping;
  too_long[5] = (char)0xff, too_long[6] = (char)0xff, too_long[7] = (char)0xff; /* 16 MiB announced */
  /* A member whose header claims more bytes than the root holds. */
  std::string lying = frame(QVSD_CMD_INFO, [](qvsd_msg *m) { qvsd_msg_add_str(m, "param", "x"); });
  lying[8 + 1] = 0x01; /* the member's length grows by 64 KiB */
  /* A member of a type id past the last one. */
  std::string bad_type = frame(QVSD_CMD_INFO, [](qvsd_msg *m) { qvsd_msg_add_str(m, "param", "x"); });
  bad_type[8] = (char)(0x80 | 9);
  const std::string unknown = frame(77, {});
  /* An exit whose members do not decode still ends the session, without a reply. */
  std::string bad_exit = frame(QVSD_CMD_EXIT, [](qvsd_msg *m) { qvsd_msg_add_str(m, "param", "x"); });
  bad_exit[8] = (char)(0x80 | 9);
  const std::string open_path = frame(QVSD_CMD_OPEN, [](qvsd_msg *m) {
    qvsd_msg_add_str(m, "path", "/d/small");
    qvsd_msg_add_i64(m, "mode", O_RDONLY);
  });
  std::string long_path(5000, 'a');
  long_path[0] = '/';
  const std::string open_long = frame(QVSD_CMD_OPEN, [&](qvsd_msg *m) {
    qvsd_msg_add_str(m, "path", long_path.c_str());
    qvsd_msg_add_i64(m, "mode", O_RDONLY);
  });
  struct row {
    const char *name;
    bool login_first;
    const std::string *bytes;
    int32_t want; /* errno of the reply; 1000: the server closed the connection */
  } rows[] = {
      {"request before login", false, &open_path, -38},
      {"unknown command before login", false, &unknown, -38},
      {"unknown command", true, &unknown, -37},
      {"bad magic", true, &bad_magic, 1000},
      {"length past the limit", true, &too_long, 1000},
      {"member longer than the frame", true, &lying, -466},
      {"member of an unknown type", true, &bad_type, -466},
      {"path over 4096 bytes", true, &open_long, -2},
      {"exit with members that do not decode", true, &bad_exit, 1000},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    int fd = raw_connect(srv->tcp_port);
    ASSERT_GE(fd, 0);
    if (r.login_first) {
      ASSERT_EQ(0, exchange(fd, probe));
    }
    EXPECT_EQ(r.want, exchange(fd, *r.bytes));
    /* An error reply leaves the session usable. */
    if (r.want != 1000) {
      EXPECT_EQ(r.login_first ? 0 : -38, exchange(fd, ping));
    }
    close(fd);
  }
  /* The server still serves. */
  int fd = raw_connect(srv->tcp_port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, exchange(fd, probe));
  EXPECT_EQ(0, exchange(fd, ping));
  close(fd);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_srv_t, one_client_past_the_limit_is_refused)
{
  start({"max_clients=1"});
  vperror err{};
  qvsd_cli *first = qvsd_cli_connect(url(false).c_str(), &err);
  ASSERT_NE(nullptr, first) << vperror_str(&err);
  vperror err2{};
  qvsd_cli *second = qvsd_cli_connect(url(true).c_str(), &err2);
  EXPECT_EQ(nullptr, second);
  EXPECT_EQ(-138, err2.code) << vperror_str(&err2);
  qvsd_cli_exit(second);
  /* The session that holds the place goes on. */
  os_dirent d;
  EXPECT_EQ(0, qvsd_cli_stat(first, "/d/small", 0, &d)) << qvsd_cli_last_errstr(first);
  qvsd_cli_exit(first);
  EXPECT_EQ(0, srv->stop(SIGTERM));
}

TEST_F(qvsd_srv_t, stops_on_signals_with_a_session_open)
{
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    start();
    vperror err{};
    qvsd_cli *c = qvsd_cli_connect(url(true).c_str(), &err);
    ASSERT_NE(nullptr, c) << vperror_str(&err);
    EXPECT_EQ(0, srv->stop(sig)) << srv->err();
    EXPECT_NE(std::string::npos, srv->err().find("user=[alice] tls=yes")) << srv->err();
    qvsd_cli_exit(c);
  }
}

TEST_F(qvsd_srv_t, allow_admits_only_the_listed_networks)
{
  struct row {
    const char *allow;
    bool ok; /* the loopback client 127.0.0.1 is served */
  } rows[] = {
      {"allow=127.0.0.0/8", true},
      {"allow=10.0.0.0/8,127.0.0.1/32", true}, /* any item of the list */
      {"allow=127.0.0.0/31", true},            /* the prefix ends inside a byte */
      {"allow=127.0.0.2/31", false},
      {"allow=10.0.0.0/8", false},
      {"allow=::1/128", false}, /* an IPv4 client is compared as IPv4 */
      {"allow=::ffff:127.0.0.0/104", true}, /* an IPv4-mapped network stands for its IPv4 network */
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.allow);
    start({r.allow});
    vperror err{};
    qvsd_cli *c = qvsd_cli_connect(url(false).c_str(), &err);
    EXPECT_EQ(r.ok, c != nullptr) << vperror_str(&err);
    qvsd_cli_exit(c);
    EXPECT_EQ(0, srv->stop(SIGTERM));
    EXPECT_EQ(!r.ok, srv->err().find("refused: not in allow=") != std::string::npos) << srv->err();
  }
}

TEST_F(qvsd_srv_t, tls_with_the_operators_certificate)
{
  const std::string dir = base + "/pki";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
  ASSERT_TRUE(peer_make_cert(dir, false));
  const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
  ASSERT_EQ(0, chmod(key.c_str(), 0640)); /* a group may read it (a key group), others may not */
  run_result fp = run_cmd("/usr/bin/openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", cert});
  ASSERT_EQ(0, fp.status) << fp.err;
  size_t eq = fp.out.find('=');
  ASSERT_NE(std::string::npos, eq) << fp.out;
  std::string want = fp.out.substr(eq + 1);
  while (!want.empty() && (want.back() == '\n' || want.back() == '\r'))
    want.pop_back();

  start({"cert=" + cert, "key=" + key});
  EXPECT_EQ(want, srv->fingerprint);
  vperror err{};
  qvsd_cli *c = qvsd_cli_connect(url(true).c_str(), &err);
  ASSERT_NE(nullptr, c) << vperror_str(&err);
  os_dirent d;
  EXPECT_EQ(0, qvsd_cli_stat(c, "/d/small", 0, &d)) << qvsd_cli_last_errstr(c);
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();

  struct bad {
    std::vector<std::string> words;
    mode_t key_mode;
    int status;
    const char *text;
  } rows[] = {
      {{"cert=" + cert}, 0600, 1, "go together"},
      {{"key=" + key}, 0600, 1, "go together"},
      {{"cert=" + cert, "key=" + key}, 0644, 3, "may be read by others"},
      {{"cert=" + cert, "key=" + dir + "/none.pem"}, 0600, 3, "cannot be read"},
      {{"cert=" + key, "key=" + key}, 0600, 3, "TLS set-up"}, /* a key is no certificate */
  };
  for (const bad &r : rows) {
    SCOPED_TRACE(r.text);
    ASSERT_EQ(0, chmod(key.c_str(), r.key_mode));
    std::vector<std::string> args{"root=" + root, "port=0", "tls_port=0", "anonymous=yes"};
    args.insert(args.end(), r.words.begin(), r.words.end());
    srv_proc p;
    ASSERT_TRUE(p.start(args));
    EXPECT_EQ(r.status, p.wait_exit()) << p.err();
    EXPECT_NE(std::string::npos, p.err().find(r.text)) << p.err();
    /* Nothing of the key's text reaches the output. */
    EXPECT_EQ(std::string::npos, p.err().find("PRIVATE KEY")) << p.err();
  }
}

TEST_F(qvsd_srv_t, refused_start_ups)
{
  ASSERT_EQ(0, chmod(users.c_str(), 0640));
  struct row {
    std::vector<std::string> args;
    int status;
    const char *text;
  } rows[] = {
      {{"root=" + root, "port=0", "tls_port=0", "users=" + users}, 3, "group or others"},
      {{"root=" + base + "/none", "port=0", "tls_port=off", "anonymous=yes"}, 3, "root"},
      {{"root=" + root, "port=off", "tls_port=off", "anonymous=yes"}, 1, "nothing to listen on"},
      {{"root=" + root, "port=0", "anonymous=yes", "users=" + users}, 1, "exclude each other"},
      {{"root=" + root, "port=0"}, 1, "users= is required"},
      {{"root=" + root, "port=0", "anonymous=yes", "bogus=1"}, 1, "unknown word"},
      {{"root=" + root, "port=0", "anonymous=yes", "allow=10.0.0.0/33"}, 1, "allow="},
      {{"root=" + root, "port=0", "anonymous=yes", "allow="}, 1, "allow="},
      {{"root=" + root, "port=0", "anonymous=yes", "allow=10.0.0.0/8,,::1"}, 1, "allow="},
      {{"root=" + root, "port=0", "anonymous=yes", "allow=localhost"}, 1, "allow="},
      {{"root=" + root, "port=0", "anonymous=yes", "read_only=maybe"}, 1, "read_only= takes yes or no"},
      {{"root=" + root, "port=0", "anonymous=yes", "keep_special=1"}, 1, "keep_special= takes yes or no"},
  };
  for (const row &r : rows) {
    srv_proc p;
    ASSERT_TRUE(p.start(r.args));
    EXPECT_EQ(r.status, p.wait_exit()) << p.err();
    EXPECT_NE(std::string::npos, p.err().find("qvsd: error: ")) << p.err();
    EXPECT_NE(std::string::npos, p.err().find(r.text)) << p.err();
  }
}

/* ---- tree requests of the remote endpoint ---- */

std::string esc(const std::string &p)
{
  std::string o;
  str_escape_tab_append(p.data(), p.size(), &o);
  return o;
}

/* A zz-string (path, kind, stream name) escaped whole. */
std::string esc_zz(const std::string &path, const std::string &kind, const std::string &name)
{
  std::string zz = path + '\0' + kind + '\0' + name + '\0' + '\0';
  std::string o;
  str_escape_tab_zz_append(zz.c_str(), &o);
  return o;
}

std::string attr_text(uint32_t type, uint32_t mode, uint64_t mtime)
{
  file_attr a;
  a.type = type;
  a.attrib_mode = mode;
  a.uid = getuid();
  a.gid = getgid();
  a.time_write = mtime;
  a.time_access = mtime + 1;
  char b[256];
  return qvsd_attr_text(&a, b, sizeof b) < 0 ? std::string() : std::string(b);
}

std::string hex_of(uint64_t v)
{
  char b[32];
  snprintf(b, sizeof b, "%llx", (unsigned long long)v);
  return b;
}

/* The file ioctl with a text argument: 0 or the server's errno. */
int io(qvsd_cli *c, int32_t code, const std::string &arg)
{
  return qvsd_cli_ioctl(c, code, arg.c_str(), -1) == 0 ? 0 : qvsd_cli_last_errno(c);
}

/* The ioctl2 on a context or a file: 0 or the server's errno; the reply into *out. The argument
 * goes as a text with its NUL, or with exact as its bytes alone. */
int io2(void *h, int32_t code, const std::string &arg, std::string *out = nullptr, int osize = 1 << 20,
        bool exact = false)
{
  std::string buf((size_t)osize, '\0');
  int n = 0;
  int rc = exact ? qvsd_cli_ioctl2(h, code, arg.data(), (int)arg.size(), buf.data(), osize, &n)
                 : qvsd_cli_ioctl2(h, code, arg.c_str(), -1, buf.data(), osize, &n);
  if (rc < 0)
    return qvsd_cli_last_errno(h);
  if (out)
    out->assign(buf.data(), (size_t)n);
  return 0;
}

struct stat lstat_of(const std::string &p)
{
  struct stat st {};
  if (lstat(p.c_str(), &st) < 0)
    st.st_mode = 0;
  return st;
}

bool exists(const std::string &p)
{
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::string xattr_of(const std::string &p, const char *name)
{
  char buf[256];
  ssize_t n = lgetxattr(p.c_str(), name, buf, sizeof buf);
  return n < 0 ? std::string("<none>") : std::string(buf, (size_t)n);
}

/* Every entry below dir (links not followed) with kind, mode, size, mtime, link count and its
 * extended attribute user.k: a change anywhere shows as a difference. */
std::map<std::string, std::string> snapshot(const std::string &dir)
{
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string p = it->path().string();
    struct stat st = lstat_of(p);
    std::string text = read_file(p);
    out[p.substr(dir.size())] = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                                std::to_string(st.st_mtim.tv_sec) + " " + std::to_string(st.st_nlink) + " " +
                                (S_ISREG(st.st_mode) ? text : std::string()) + " " + xattr_of(p, "user.k");
  }
  return out;
}

class qvsd_tree_t : public qvsd_srv_t {
protected:
  void SetUp() override
  {
    umask(022);
    qvsd_srv_t::SetUp();
    ASSERT_EQ(0, mkdir((outside + "/sub").c_str(), 0755));
    ASSERT_TRUE(peer_write_file(outside + "/sub/f", "outside file\n"));
    ASSERT_EQ(0, lsetxattr((outside + "/secret").c_str(), "user.k", "out", 3, 0));
    populate();
  }

  /* The export's content below the fixture's base entries (d/small, d/lnk, out). */
  void populate()
  {
    ASSERT_EQ(0, mkdir((root + "/e").c_str(), 0755));
    ASSERT_EQ(0, mkdir((root + "/t").c_str(), 0755));
    ASSERT_EQ(0, mkdir((root + "/t/a").c_str(), 0755));
    ASSERT_TRUE(peer_write_file(root + "/t/a/b", "deep\n"));
    ASSERT_EQ(0, mkdir((root + "/d/sub").c_str(), 0755));
    ASSERT_TRUE(peer_write_file(root + "/d/sub/x", "x\n"));
    ASSERT_TRUE(peer_write_file(root + "/d/other", "other\n"));
    ASSERT_EQ(0, lsetxattr((root + "/d/small").c_str(), "user.k", "in", 2, 0));
  }

  /* Puts the export back as SetUp left it; the server's root directory itself stays. */
  void reset_tree()
  {
    for (const auto &e : std::filesystem::directory_iterator(root))
      std::filesystem::remove_all(e.path());
    ASSERT_EQ(0, mkdir((root + "/d").c_str(), 0755));
    ASSERT_TRUE(peer_write_file(root + "/d/small", "inside\n"));
    ASSERT_EQ(0, symlink(outside.c_str(), (root + "/out").c_str()));
    ASSERT_EQ(0, symlink((outside + "/secret").c_str(), (root + "/d/lnk").c_str()));
    populate();
  }

  qvsd_cli *connect_ok()
  {
    vperror err{};
    qvsd_cli *c = qvsd_cli_connect(url(false).c_str(), &err);
    EXPECT_NE(nullptr, c) << vperror_str(&err);
    return c;
  }
};

/* One request of either carrier. */
struct tree_req {
  std::string name;
  uint8_t carrier; /* QVSD_CMD_IOCTL or QVSD_CMD_IOCTL2 */
  int32_t code;
  std::string arg;
};

int send_req(qvsd_cli *c, const tree_req &q)
{
  if (q.carrier == QVSD_CMD_IOCTL)
    return io(c, q.code, q.arg);
  return io2(c, q.code, q.arg, nullptr, 1 << 16, q.code == QVSD_IOCTL2_XATTR_SET);
}

TEST_F(qvsd_tree_t, tree_requests_do_what_they_say_on_disk)
{
  start();
  const std::string R = root;
  const uint32_t LNK = TYPE_FILE | TYPE_F_SYMLINK;
  struct row {
    tree_req q;
    int32_t want;
    std::function<std::string()> check; /* "" when the disk shows the change */
  };
  auto mode_is = [](const std::string &p, mode_t m) {
    return [p, m] {
      struct stat st = lstat_of(p);
      return (st.st_mode & 07777) == m ? "" : "mode of " + p + " is 0" + hex_of(st.st_mode & 07777) + " (hex)";
    };
  };
  auto gone = [](const std::string &p) { return [p] { return exists(p) ? p + " still exists" : std::string(); }; };
  std::vector<row> rows = {
      /* file ioctl */
      {{"lutime", QVSD_CMD_IOCTL, QVSD_IOCTL_LUTIME, esc("/d/small") + "\t1500000000\t1500000100\t0\t0\t0\t0"}, 0,
       [&] {
         struct stat st = lstat_of(R + "/d/small");
         return st.st_atim.tv_sec == 1500000000 && st.st_mtim.tv_sec == 1500000100 ? "" : "times not set";
       }},
      {{"lutime of a link sets the link", QVSD_CMD_IOCTL, QVSD_IOCTL_LUTIME,
        esc("/d/lnk") + "\t1500000000\t1500000100\t0\t0\t0\t0"},
       0,
       [&] {
         return lstat_of(R + "/d/lnk").st_mtim.tv_sec == 1500000100 &&
                        lstat_of(outside + "/secret").st_mtim.tv_sec != 1500000100
                    ? ""
                    : "the link's times were not set, or its target's were";
       }},
      {{"rmdir2 of an empty directory", QVSD_CMD_IOCTL, QVSD_IOCTL_RMDIR2, esc("/e") + "\t0"}, 0, gone(R + "/e")},
      {{"rmdir2 keeps a directory with entries", QVSD_CMD_IOCTL, QVSD_IOCTL_RMDIR2, esc("/t") + "\t0"}, -125,
       [&] { return exists(R + "/t/a/b") ? "" : "entries were removed"; }},
      {{"rmdir2 of a tree", QVSD_CMD_IOCTL, QVSD_IOCTL_RMDIR2, esc("/t") + "\t1"}, 0, gone(R + "/t")},
      {{"remove2 of a file", QVSD_CMD_IOCTL, QVSD_IOCTL_REMOVE2, esc("/d/small") + "\t0"}, 0, gone(R + "/d/small")},
      {{"remove2 of a stream", QVSD_CMD_IOCTL, QVSD_IOCTL_REMOVE2, esc_zz("/d/small", "X", "user.k") + "\t1"}, 0,
       [&] { return xattr_of(R + "/d/small", "user.k") == "<none>" ? "" : "the attribute is still there"; }},
      {{"set_attr_path", QVSD_CMD_IOCTL, QVSD_IOCTL_SET_ATTR_PATH,
        esc("/d/small") + "\t" + attr_text(TYPE_FILE, S_IFREG | 0604, 1400000000)},
       0,
       [&] {
         struct stat st = lstat_of(R + "/d/small");
         return (st.st_mode & 07777) == 0604 && st.st_mtim.tv_sec == 1400000000 ? "" : "attributes not set";
       }},
      {{"set_attr_path drops set-ID bits", QVSD_CMD_IOCTL, QVSD_IOCTL_SET_ATTR_PATH,
        esc("/d/small") + "\t" + attr_text(TYPE_FILE, S_IFREG | 06755, 1400000000)},
       0, mode_is(R + "/d/small", 0755)},
      {{"create a file", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE,
        esc("/d/new") + "\t\t" + attr_text(TYPE_FILE, S_IFREG | 0640, 1300000000)},
       0,
       [&] {
         struct stat st = lstat_of(R + "/d/new");
         return S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0640 && st.st_size == 0 &&
                        st.st_mtim.tv_sec == 1300000000
                    ? ""
                    : "no empty file with its attributes";
       }},
      {{"create a directory drops set-ID bits", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE,
        esc("/d/nd") + "\t\t" + attr_text(TYPE_DIR, S_IFDIR | 02750, 1300000000)},
       0, mode_is(R + "/d/nd", 0750)},
      {{"create a directory with its parents", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE,
        esc("/x/y/z") + "\t\t" + attr_text(TYPE_DIR, S_IFDIR | 0700, 1300000000)},
       0, [&] { return S_ISDIR(lstat_of(R + "/x/y/z").st_mode) ? "" : "no directory"; }},
      {{"create a link stores its target as data", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE,
        esc("/d/ln2") + "\t" + esc("/etc/passwd") + "\t" + attr_text(LNK, S_IFLNK | 0777, 1300000000)},
       0,
       [&] {
         char b[64] = {};
         return readlink((R + "/d/ln2").c_str(), b, sizeof b - 1) > 0 && std::string(b) == "/etc/passwd" ? ""
                                                                                                         : "no link";
       }},
      {{"create a FIFO", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE,
        esc("/d/fifo") + "\t\t" + attr_text(TYPE_DEV, S_IFIFO | 0600, 1300000000)},
       0, [&] { return S_ISFIFO(lstat_of(R + "/d/fifo").st_mode) ? "" : "no FIFO"; }},
      {{"create without replacing keeps the file", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE,
        esc("/d/small") + "\t\t" + attr_text(TYPE_FILE, S_IFREG | 0600, 1300000000) + "\t2\t0"},
       -105, [&] { return read_file(R + "/d/small") == "inside\n" ? "" : "the file was replaced"; }},
      {{"create a stream", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE,
        esc_zz("/d/small", "X", "user.new") + "\t\t" + attr_text(TYPE_FILE, S_IFREG | 0600, 0) + "\t1\t0"},
       0, [&] { return xattr_of(R + "/d/small", "user.new") == "" ? "" : "no attribute"; }},
      {{"mkdir_p with a mode", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, esc("/m/n/o") + "\t750"}, 0,
       mode_is(R + "/m/n/o", 0750)},
      {{"mkdir_p with the default mode", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, esc("/p/q")}, 0, mode_is(R + "/p/q", 0755)},
      {{"mkdir_p drops set-ID bits", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, esc("/g") + "\t6775"}, 0,
       mode_is(R + "/g", 0755)},
      /* ioctl2 */
      {{"hard_link", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HARD_LINK, esc("/d/small") + "\t" + esc("/d/hl")}, 0,
       [&] {
         return lstat_of(R + "/d/hl").st_ino == lstat_of(R + "/d/small").st_ino ? "" : "not the same file";
       }},
      {{"hard_link replaces what is there", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HARD_LINK, esc("/d/small") + "\t" + esc("/d/other")},
       0, [&] { return read_file(R + "/d/other") == "inside\n" ? "" : "not replaced"; }},
      {{"rename", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RENAME, esc("/d/small") + "\t" + esc("/e/moved") + "\t0"}, 0,
       [&] {
         return !exists(R + "/d/small") && read_file(R + "/e/moved") == "inside\n" ? "" : "not moved";
       }},
      {{"rename without replacing", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RENAME, esc("/d/small") + "\t" + esc("/d/other") + "\t1"},
       -105,
       [&] {
         return read_file(R + "/d/small") == "inside\n" && read_file(R + "/d/other") == "other\n" ? "" : "changed";
       }},
      {{"xattr_set keeps the value's bytes", QVSD_CMD_IOCTL2, QVSD_IOCTL2_XATTR_SET,
        esc("/d/small") + "\t" + esc("user.v") + "\t" + std::string("a\tb\0c", 5)},
       0, [&] { return xattr_of(R + "/d/small", "user.v") == std::string("a\tb\0c", 5) ? "" : "wrong value"; }},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.q.name);
    reset_tree();
    /* A session per row: each starts with the tree as it is now. */
    qvsd_cli *c = connect_ok();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(r.want, send_req(c, r.q)) << qvsd_cli_last_errstr(c);
    EXPECT_EQ("", r.check());
    qvsd_cli_exit(c);
  }
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_tree_t, replies_of_the_asking_requests)
{
  start();
  qvsd_cli *c = connect_ok();
  ASSERT_NE(nullptr, c);
  ASSERT_EQ(0, lsetxattr((root + "/d/small").c_str(), "user.v", "val\0ue", 6, 0));
  std::string out;
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_XATTR_GET, esc("/d/small") + "\t" + esc("user.v"), &out)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(std::string("val\0ue", 6), out);
  /* A value longer than the reply may be fails rather than being cut. */
  EXPECT_EQ(-42, io2(c, QVSD_IOCTL2_XATTR_GET, esc("/d/small") + "\t" + esc("user.v"), &out, 5));
  EXPECT_LT(io2(c, QVSD_IOCTL2_XATTR_GET, esc("/d/small") + "\t" + esc("user.none"), &out), 0);

  struct {
    const char *arg;
    const char *want;
  } ids[] = {
      {"root\troot", "0\t0"},
      {"no_such_user_qv\tno_such_group_qv", "-1\t-1"},
      {"\t", "-1\t-1"},     /* empty names */
      {"123\t", "123\t-1"}, /* a number stands for itself */
  };
  for (const auto &i : ids) {
    SCOPED_TRACE(i.arg);
    EXPECT_EQ(0, io2(c, QVSD_IOCTL2_LOOKUP_IDS, i.arg, &out)) << qvsd_cli_last_errstr(c);
    EXPECT_EQ(i.want, out);
  }
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_tree_t, digests_and_data_of_an_open_file)
{
  /* Several blocks and more than one read step of the whole-file digest. */
  std::string big(3 * 1024 * 1024 + 77, '\0');
  uint32_t x = 7;
  for (char &ch : big) {
    x = x * 1103515245 + 12345;
    ch = (char)(x >> 16);
  }
  ASSERT_TRUE(peer_write_file(root + "/big", big));
  ASSERT_TRUE(peer_write_file(root + "/abc", "abc"));
  /* Data at the start, a hole, data at 1 MiB, a hole to the end. */
  int fd = open((root + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(4096, pwrite(fd, big.data(), 4096, 0));
  ASSERT_EQ(4096, pwrite(fd, big.data(), 4096, 1 << 20));
  ASSERT_EQ(0, ftruncate(fd, 4 << 20));
  close(fd);
  start();
  qvsd_cli *c = connect_ok();
  ASSERT_NE(nullptr, c);

  qvsd_file *f = qvsd_cli_open(c, "/big", O_RDONLY);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  std::string out;
  uint8_t d[PL_HASH_MAX_LEN];
  size_t n = pl_hash_once(PL_HASH_XXH3, big.data(), big.size(), d);
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_FILE_DIGEST, "xxh3", &out)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(pl_hex(d, n), out);
  EXPECT_EQ(-37, io2(f, QVSD_IOCTL2_FILE_DIGEST, "md4", &out));

  /* Block digest job: md5 over the range and the md5 of every block. */
  const uint32_t bs = 1 << 20;
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_HASH_INIT, "0\t" + std::to_string(FILE_HASH_MD5 | FILE_HASH_PMD5) + "\t" +
                                                 std::to_string(bs) + "\t4\t"))
      << qvsd_cli_last_errstr(c);
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_HASH_RANGE, "0\t" + std::to_string(big.size()), &out)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(0u, out.rfind("md5 ", 0)) << out;
  EXPECT_NE(std::string::npos, out.find("\npmd5 ")) << out;
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_HASH_BLOCK, std::to_string(FILE_HASH_MD5), &out)) << qvsd_cli_last_errstr(c);
  n = pl_hash_once(PL_HASH_MD5, big.data(), big.size(), d);
  EXPECT_EQ(pl_hex(d, n), pl_hex(reinterpret_cast<const uint8_t *>(out.data()), out.size()));
  std::string records = "pmd5 ";
  for (size_t off = 0; off < big.size(); off += bs) {
    n = pl_hash_once(PL_HASH_MD5, big.data() + off, std::min<size_t>(bs, big.size() - off), d);
    records += pl_hex(d, n) + "|";
  }
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_HASH_GET2, "", &out)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(records, out.substr(0, records.size()));
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_HASH_CLOSE, ""));
  EXPECT_EQ(-2, io2(f, QVSD_IOCTL2_HASH_RANGE, "0\t100", &out)); /* the job is gone */
  EXPECT_EQ(0, qvsd_cli_close(f));

  f = qvsd_cli_open(c, "/abc", O_RDONLY);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_FILE_DIGEST, "sha256", &out));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", out);
  EXPECT_EQ(0, qvsd_cli_close(f));

  f = qvsd_cli_open(c, "/sparse", O_RDONLY);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_NEXT_DATA, "0", &out));
  unsigned long long a = 0, b = 0;
  int hole = -1;
  ASSERT_EQ(3, sscanf(out.c_str(), "%llu\t%llu\t%d", &a, &b, &hole)) << out;
  EXPECT_EQ(0u, a);
  EXPECT_GE(b, 4096u);
  EXPECT_LE(b, 1u << 20);
  EXPECT_EQ(0, hole);
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_NEXT_DATA, std::to_string(b), &out));
  ASSERT_EQ(3, sscanf(out.c_str(), "%llu\t%llu\t%d", &a, &b, &hole)) << out;
  EXPECT_EQ(1u << 20, a);
  EXPECT_EQ(0, hole);
  EXPECT_EQ(0, io2(f, QVSD_IOCTL2_NEXT_DATA, std::to_string(b), &out));
  EXPECT_EQ("1", out.substr(out.size() - 1)) << out;
  EXPECT_EQ(-2, io2(f, QVSD_IOCTL2_NEXT_DATA, "-5", &out));
  EXPECT_EQ(0, qvsd_cli_close(f));
  /* Requests on a handle the session does not have. */
  EXPECT_EQ(-4, io2(c, QVSD_IOCTL2_NEXT_DATA, "0", &out));
  EXPECT_EQ(-4, io2(c, QVSD_IOCTL2_FILE_DIGEST, "xxh3", &out));
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_tree_t, a_sole_open_gives_the_name_a_file_of_its_own)
{
  struct {
    int64_t extra;
    bool sole;
  } rows[] = {{QVSD_O_SOLE, true}, {0, false}};
  start();
  for (const auto &r : rows) {
    SCOPED_TRACE(r.sole);
    reset_tree();
    ASSERT_TRUE(peer_write_file(root + "/d/h1", "shared\n"));
    ASSERT_EQ(0, link((root + "/d/h1").c_str(), (root + "/d/h2").c_str()));
    qvsd_cli *c = connect_ok();
    ASSERT_NE(nullptr, c);
    qvsd_file *f = qvsd_cli_open(c, "/d/h1", O_WRONLY | O_CREAT | O_TRUNC | r.extra);
    ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
    EXPECT_EQ(5, qvsd_cli_write(f, "mine\n", 5, 0));
    EXPECT_EQ(0, qvsd_cli_close(f));
    EXPECT_EQ("mine\n", read_file(root + "/d/h1"));
    EXPECT_EQ(r.sole ? "shared\n" : "mine\n", read_file(root + "/d/h2"));
    qvsd_cli_exit(c);
  }
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

/* Reads the walk until the end of the generation-2 stream (a final lone carriage return). */
std::string read_walk2(qvsd_cli *c)
{
  std::string all, chunk;
  for (int i = 0; i < 200; i++) {
    if (io2(c, QVSD_IOCTL2_RDIR_READ, "", &chunk, 4096) != 0)
      return all + "<error " + qvsd_cli_last_errstr(c) + ">";
    all += chunk;
    if (all.size() >= 2 && all.compare(all.size() - 2, 2, "\r\r") == 0)
      break;
  }
  return all;
}

/* The "O" paths of a generation-2 stream (unescaped) and every listed name. */
void parse_walk2(const std::string &text, std::set<std::string> *opens, std::set<std::string> *names)
{
  size_t i = 0;
  while (i < text.size()) {
    size_t e = text.find_first_of("\r\n", i);
    if (e == std::string::npos)
      e = text.size();
    std::string line = text.substr(i, e - i);
    if (line.rfind("O ", 0) == 0) {
      std::string p;
      str_unescape_cstr_append(line.data() + 2, line.size() - 2, &p);
      opens->insert(p);
    } else if (line.rfind("F ", 0) == 0 || line.rfind("D ", 0) == 0) {
      names->insert(line.substr(2, line.find('\t') - 2));
    }
    i = e + 1;
  }
}

/* Reads one generation-1 directory: file and directory chunks until both end messages. */
bool read_walk1(qvsd_cli *c, std::set<std::string> *files, std::set<std::string> *dirs)
{
  bool fend = false, dend = false;
  std::string chunk;
  for (int i = 0; i < 200 && !(fend && dend); i++) {
    if (io2(c, QVSD_IOCTL2_RDIR_READ, "", &chunk, 4096) != 0 || chunk.empty())
      return false;
    bool is_file = chunk[0] == 'F';
    size_t pos = 1;
    while (pos < chunk.size()) {
      if (chunk[pos] == '\r') {
        (is_file ? fend : dend) = true;
        break;
      }
      size_t nl = chunk.find('\n', pos);
      (is_file ? files : dirs)->insert(chunk.substr(pos, chunk.find('\t', pos) - pos));
      pos = nl == std::string::npos ? chunk.size() : nl + 1;
    }
  }
  return fend && dend;
}

std::string walk_open_arg(const std::string &path, uint32_t flag, const std::string &exclude = "")
{
  return esc(path) + "\t" + hex_of(flag) + "\t2000\t\t" + esc(exclude) + "\t\t\t";
}

TEST_F(qvsd_tree_t, the_walk_lists_the_tree_in_both_generations)
{
  start();
  qvsd_cli *c = connect_ok();
  ASSERT_NE(nullptr, c);
  std::string out;
  EXPECT_EQ(-4, io2(c, QVSD_IOCTL2_RDIR_READ, "", &out)); /* no walk open yet */

  /* Generation 2 of the whole export: every directory once, links never entered. */
  ASSERT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_OPEN, walk_open_arg("/", LIBRDIR_F_GEN2))) << qvsd_cli_last_errstr(c);
  std::string text = read_walk2(c);
  std::set<std::string> opens, names;
  parse_walk2(text, &opens, &names);
  EXPECT_EQ((std::set<std::string>{"/", "/d", "/d/sub", "/e", "/t", "/t/a"}), opens) << text;
  EXPECT_EQ((std::set<std::string>{"d", "e", "t", "out", "a", "b", "small", "lnk", "other", "sub", "x"}), names)
      << text;
  EXPECT_NE(std::string::npos, text.find("X 0\r")) << text;
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_DROPPED, "", &out));
  EXPECT_EQ("0", out);

  /* A walk of a directory below the root names its directories relative to it, as a local
   * listing of that directory does; the server's own path never shows. The patterns apply. */
  ASSERT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_OPEN, walk_open_arg("/d", LIBRDIR_F_GEN2, "*/other")))
      << qvsd_cli_last_errstr(c);
  text = read_walk2(c);
  opens.clear();
  names.clear();
  parse_walk2(text, &opens, &names);
  EXPECT_EQ((std::set<std::string>{"/", "/sub"}), opens) << text;
  EXPECT_EQ((std::set<std::string>{"small", "lnk", "sub", "x"}), names) << text;
  for (const std::string &o : opens)
    EXPECT_EQ(std::string::npos, o.find(base)) << o;
  /* A directory asked for again is walked again. */
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_ENUM, esc("/d/sub"))) << qvsd_cli_last_errstr(c);
  text = read_walk2(c);
  opens.clear();
  parse_walk2(text, &opens, &names);
  EXPECT_EQ(std::set<std::string>{"/sub"}, opens) << text;
  /* Only directories of the walk. */
  EXPECT_EQ(-2, io2(c, QVSD_IOCTL2_RDIR_ENUM, esc("/e")));
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_CLOSE, ""));
  EXPECT_EQ(-4, io2(c, QVSD_IOCTL2_RDIR_ENUM, esc("/d")));

  /* Generation 1: the root at open, a subdirectory after 10122. */
  ASSERT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_OPEN, walk_open_arg("/", 0))) << qvsd_cli_last_errstr(c);
  std::set<std::string> files, dirs;
  ASSERT_TRUE(read_walk1(c, &files, &dirs));
  EXPECT_EQ(std::set<std::string>{"out"}, files);
  EXPECT_EQ((std::set<std::string>{"d", "e", "t"}), dirs);
  files.clear();
  dirs.clear();
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_ENUM, esc("/d"))) << qvsd_cli_last_errstr(c);
  ASSERT_TRUE(read_walk1(c, &files, &dirs));
  EXPECT_EQ((std::set<std::string>{"small", "lnk", "other"}), files);
  EXPECT_EQ(std::set<std::string>{"sub"}, dirs);
  /* Nothing more is coming: an empty reply after the read time-out. */
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_READ, "", &out, 4096));
  EXPECT_EQ("", out);
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_tree_t, every_path_taking_request_stays_inside_the_export)
{
  start();
  const std::string attr = attr_text(TYPE_FILE, S_IFREG | 0600, 1200000000);
  const std::string dir_attr = attr_text(TYPE_DIR, S_IFDIR | 0700, 1200000000);
  /* Each request once through ".." and once through the link /out to the outside directory. */
  std::vector<tree_req> reqs;
  for (const std::string up : {"/../outside", "/d/../../outside", "/out"}) {
    const std::string secret = up + "/secret", sub = up + "/sub";
    std::vector<tree_req> more = {
        {"lutime", QVSD_CMD_IOCTL, QVSD_IOCTL_LUTIME, esc(secret) + "\t1\t1\t0\t0\t0\t0"},
        {"rmdir2 tree", QVSD_CMD_IOCTL, QVSD_IOCTL_RMDIR2, esc(sub) + "\t1"},
        {"rmdir2", QVSD_CMD_IOCTL, QVSD_IOCTL_RMDIR2, esc(sub) + "\t0"},
        {"remove2", QVSD_CMD_IOCTL, QVSD_IOCTL_REMOVE2, esc(secret) + "\t0"},
        {"remove2 stream", QVSD_CMD_IOCTL, QVSD_IOCTL_REMOVE2, esc_zz(secret, "X", "user.k") + "\t1"},
        {"set_attr_path", QVSD_CMD_IOCTL, QVSD_IOCTL_SET_ATTR_PATH, esc(secret) + "\t" + attr},
        {"create", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE, esc(up + "/new") + "\t\t" + attr},
        {"create directory", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE, esc(up + "/nd/deeper") + "\t\t" + dir_attr},
        {"create stream", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE, esc_zz(secret, "X", "user.z") + "\t\t" + attr + "\t1\t0"},
        {"mkdir_p", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, esc(up + "/nd")},
        {"stat", QVSD_CMD_IOCTL2, QVSD_IOCTL2_STAT, esc(secret) + "\t0"},
        {"hard_link from outside", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HARD_LINK, esc(secret) + "\t" + esc("/d/hl")},
        {"hard_link to outside", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HARD_LINK, esc("/d/small") + "\t" + esc(up + "/hl")},
        {"rename from outside", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RENAME, esc(secret) + "\t" + esc("/d/stolen") + "\t0"},
        {"rename to outside", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RENAME, esc("/d/small") + "\t" + esc(up + "/planted") + "\t0"},
        {"xattr_get", QVSD_CMD_IOCTL2, QVSD_IOCTL2_XATTR_GET, esc(secret) + "\t" + esc("user.k")},
        {"xattr_set", QVSD_CMD_IOCTL2, QVSD_IOCTL2_XATTR_SET, esc(secret) + "\t" + esc("user.z") + "\tv"},
        {"output_lock", QVSD_CMD_IOCTL2, QVSD_IOCTL2_OUTPUT_LOCK, esc(sub) + "\t1\tme"},
        {"walk", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RDIR_OPEN, walk_open_arg(sub, LIBRDIR_F_GEN2)},
    };
    for (tree_req &q : more) {
      q.name += " via " + up;
      reqs.push_back(q);
    }
  }
  const auto before = snapshot(outside);
  const auto inside_before = snapshot(root);
  qvsd_cli *c = connect_ok();
  ASSERT_NE(nullptr, c);
  for (const tree_req &q : reqs) {
    SCOPED_TRACE(q.name);
    std::string out;
    int rc = q.carrier == QVSD_CMD_IOCTL ? io(c, q.code, q.arg) : io2(c, q.code, q.arg, &out, 1 << 16, q.code == QVSD_IOCTL2_XATTR_SET);
    EXPECT_LT(rc, 0);
    /* The reply names paths as the client gave them, never where the export lives. */
    EXPECT_EQ(std::string::npos, std::string(qvsd_cli_last_errstr(c)).find(root)) << qvsd_cli_last_errstr(c);
  }
  EXPECT_EQ(before, snapshot(outside));
  EXPECT_EQ(inside_before, snapshot(root));
  /* The session still serves after all that. */
  os_dirent d;
  EXPECT_EQ(0, qvsd_cli_stat(c, "/d/small", 0, &d)) << qvsd_cli_last_errstr(c);
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_tree_t, a_read_only_export_refuses_every_change)
{
  start({"read_only=yes"});
  const std::string attr = attr_text(TYPE_FILE, S_IFREG | 0600, 1200000000);
  const std::vector<tree_req> reqs = {
      {"lutime", QVSD_CMD_IOCTL, QVSD_IOCTL_LUTIME, esc("/d/small") + "\t1\t1\t0\t0\t0\t0"},
      {"rmdir2", QVSD_CMD_IOCTL, QVSD_IOCTL_RMDIR2, esc("/e") + "\t0"},
      {"rmdir2 tree", QVSD_CMD_IOCTL, QVSD_IOCTL_RMDIR2, esc("/t") + "\t1"},
      {"remove2", QVSD_CMD_IOCTL, QVSD_IOCTL_REMOVE2, esc("/d/small") + "\t0"},
      {"set_attr_path", QVSD_CMD_IOCTL, QVSD_IOCTL_SET_ATTR_PATH, esc("/d/small") + "\t" + attr},
      {"create", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE, esc("/d/new") + "\t\t" + attr},
      {"mkdir_p", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, esc("/nd")},
      {"hard_link", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HARD_LINK, esc("/d/small") + "\t" + esc("/d/hl")},
      {"rename", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RENAME, esc("/d/small") + "\t" + esc("/d/moved") + "\t0"},
      {"xattr_set", QVSD_CMD_IOCTL2, QVSD_IOCTL2_XATTR_SET, esc("/d/small") + "\t" + esc("user.z") + "\tv"},
  };
  const auto before = snapshot(root);
  qvsd_cli *c = connect_ok();
  ASSERT_NE(nullptr, c);
  for (const tree_req &q : reqs) {
    SCOPED_TRACE(q.name);
    EXPECT_EQ(-38, send_req(c, q)) << qvsd_cli_last_errstr(c);
  }
  /* Files: no open for writing; a read handle neither writes, changes length nor takes
   * attributes, and it is closed all the same. */
  EXPECT_EQ(nullptr, qvsd_cli_open(c, "/d/small", O_WRONLY | O_CREAT | O_TRUNC));
  EXPECT_EQ(-38, qvsd_cli_last_errno(c));
  EXPECT_EQ(nullptr, qvsd_cli_open(c, "/d/small", O_RDWR));
  EXPECT_EQ(-38, qvsd_cli_last_errno(c));
  qvsd_file *f = qvsd_cli_open(c, "/d/small", O_RDONLY);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(-1, qvsd_cli_write(f, "x", 1, 0));
  EXPECT_EQ(-38, qvsd_cli_last_errno(c));
  EXPECT_EQ(-1, qvsd_cli_set_len(f, 0));
  EXPECT_EQ(-38, qvsd_cli_last_errno(c));
  file_attr a;
  a.type = TYPE_FILE;
  a.attrib_mode = S_IFREG | 0600;
  EXPECT_EQ(-1, qvsd_cli_close_attr(f, &a));
  EXPECT_EQ(-38, qvsd_cli_last_errno(c));
  EXPECT_EQ(before, snapshot(root));
  /* What only reads is served. */
  os_dirent d;
  EXPECT_EQ(0, qvsd_cli_stat(c, "/d/small", 0, &d)) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_OUTPUT_LOCK, esc("/d") + "\t1\tme")) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_OPEN, walk_open_arg("/", LIBRDIR_F_GEN2))) << qvsd_cli_last_errstr(c);
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_tree_t, device_nodes_and_set_id_bits_need_keep_special)
{
  struct row {
    const char *word;
    int32_t want_dev;
    mode_t want_mode;
  } rows[] = {
      {"keep_special=no", -38, 0755},
      {"keep_special=yes", 0, 04755},
  };
  const dev_t dev = makedev(1, 3);
  for (const row &r : rows) {
    SCOPED_TRACE(r.word);
    reset_tree();
    start({r.word});
    qvsd_cli *c = connect_ok();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(r.want_dev, io(c, QVSD_IOCTL_CREATE,
                             esc("/d/null") + "\t\t" + attr_text(TYPE_DEV, S_IFCHR | 0600, 1200000000) + "\t0\t" + hex_of(dev)))
        << qvsd_cli_last_errstr(c);
    struct stat st = lstat_of(root + "/d/null");
    if (r.want_dev == 0) {
      EXPECT_TRUE(S_ISCHR(st.st_mode));
      EXPECT_EQ(dev, st.st_rdev);
    } else {
      EXPECT_FALSE(exists(root + "/d/null"));
    }
    EXPECT_EQ(0, io(c, QVSD_IOCTL_SET_ATTR_PATH, esc("/d/small") + "\t" + attr_text(TYPE_FILE, S_IFREG | 04755, 1200000000)))
        << qvsd_cli_last_errstr(c);
    EXPECT_EQ(r.want_mode, lstat_of(root + "/d/small").st_mode & 07777);
    qvsd_cli_exit(c);
    EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
  }
}

TEST_F(qvsd_tree_t, malformed_arguments_get_a_parameter_error)
{
  start();
  const std::string attr = attr_text(TYPE_FILE, S_IFREG | 0600, 1200000000);
  const std::string long_path = "/" + std::string(5000, 'a');
  const std::vector<tree_req> ctx_reqs = {
      {"lutime with a field missing", QVSD_CMD_IOCTL, QVSD_IOCTL_LUTIME, esc("/d/small") + "\t1\t1\t0\t0\t0"},
      {"lutime with a negative time", QVSD_CMD_IOCTL, QVSD_IOCTL_LUTIME, esc("/d/small") + "\t-1\t1\t0\t0\t0\t0"},
      {"rmdir2 of an unknown kind", QVSD_CMD_IOCTL, QVSD_IOCTL_RMDIR2, esc("/e") + "\t2"},
      {"remove2 of a stream without its name", QVSD_CMD_IOCTL, QVSD_IOCTL_REMOVE2,
       esc(std::string("/d/small\0X\0\0", 12)) + "\t1"},
      {"set_attr_path with a short attribute text", QVSD_CMD_IOCTL, QVSD_IOCTL_SET_ATTR_PATH, esc("/d/small") + "\t2\t81a4"},
      {"create with eleven fields", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE, esc("/d/n") + "\t\t" + attr + "\t1"},
      {"create with an unknown flag", QVSD_CMD_IOCTL, QVSD_IOCTL_CREATE, esc("/d/n") + "\t\t" + attr + "\t8\t0"},
      {"mkdir_p with a mode that is not octal", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, esc("/n") + "\t9"},
      {"mkdir_p with a mode past 07777", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, esc("/n") + "\t17777"},
      {"a path that ends in a lone backslash", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, "/n\\"},
      {"a path with a NUL inside", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, "/n\\0x"},
      {"a relative path", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, "n"},
      {"a path over 4096 bytes", QVSD_CMD_IOCTL, QVSD_IOCTL_MKDIR_P, long_path},
      {"walk with seven fields", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RDIR_OPEN, esc("/") + "\t200\t100\t\t\t\t"},
      {"walk with a time-out that is no number", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RDIR_OPEN, esc("/") + "\t200\tx\t\t\t\t\t"},
      {"owner lookup with one name", QVSD_CMD_IOCTL2, QVSD_IOCTL2_LOOKUP_IDS, "root"},
      {"rename with noreplace 2", QVSD_CMD_IOCTL2, QVSD_IOCTL2_RENAME, esc("/d/small") + "\t" + esc("/d/x") + "\t2"},
      {"xattr_get of an empty name", QVSD_CMD_IOCTL2, QVSD_IOCTL2_XATTR_GET, esc("/d/small") + "\t"},
      {"xattr_set without a value field", QVSD_CMD_IOCTL2, QVSD_IOCTL2_XATTR_SET, esc("/d/small") + "\t" + esc("user.v")},
      {"output lock with take 2", QVSD_CMD_IOCTL2, QVSD_IOCTL2_OUTPUT_LOCK, esc("/d") + "\t2\tme"},
  };
  const std::string big = std::to_string(32u << 20);
  const std::vector<tree_req> file_reqs = {
      {"digest job of block size 0", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HASH_INIT, "0\t1\t0\t4\t"},
      {"digest job of a block size past the bound", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HASH_INIT, "0\t1\t" + big + "\t4\t"},
      {"digest job of a window past the bound", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HASH_INIT, "0\t1\t65536\t" + big + "\t"},
      {"digest range at a negative offset", QVSD_CMD_IOCTL2, QVSD_IOCTL2_HASH_RANGE, "-1\t10"},
      {"next data of no number", QVSD_CMD_IOCTL2, QVSD_IOCTL2_NEXT_DATA, "4k"},
  };
  qvsd_cli *c = connect_ok();
  ASSERT_NE(nullptr, c);
  const auto before = snapshot(root);
  for (const tree_req &q : ctx_reqs) {
    SCOPED_TRACE(q.name);
    EXPECT_EQ(-2, send_req(c, q)) << qvsd_cli_last_errstr(c);
  }
  qvsd_file *f = qvsd_cli_open(c, "/d/small", O_RDONLY);
  ASSERT_NE(nullptr, f) << qvsd_cli_last_errstr(c);
  for (const tree_req &q : file_reqs) {
    SCOPED_TRACE(q.name);
    EXPECT_EQ(-2, io2(f, q.code, q.arg)) << qvsd_cli_last_errstr(c);
  }
  /* A walk read whose reply could not hold two bytes. */
  ASSERT_EQ(0, io2(c, QVSD_IOCTL2_RDIR_OPEN, walk_open_arg("/", LIBRDIR_F_GEN2))) << qvsd_cli_last_errstr(c);
  EXPECT_EQ(-2, io2(c, QVSD_IOCTL2_RDIR_READ, "", nullptr, 2));
  EXPECT_EQ(before, snapshot(root));
  EXPECT_EQ(0, qvsd_cli_close(f));
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

/* Sends bytes and reads one reply: its "errno" and its "data" member (when present). */
int32_t exchange_data(int fd, const std::string &bytes, std::string *data)
{
  if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != (ssize_t)bytes.size())
    return 1000;
  uint8_t head[QVSD_FRAME_HEAD];
  if (recv(fd, head, sizeof head, MSG_WAITALL) != (ssize_t)sizeof head)
    return 1000;
  std::string body(qvsd_frame_body_len(head), '\0');
  memcpy(body.data(), head + 4, 4);
  if (body.size() < 4 || recv(fd, body.data() + 4, body.size() - 4, MSG_WAITALL) != (ssize_t)body.size() - 4)
    return 1000;
  const void *slots[3];
  if (cli_blobmsg_parse(qvsd_pol_data, 3, slots, body.data() + 4, (uint32_t)body.size() - 4) < 0)
    return 2000;
  data->assign(slots[2] ? static_cast<const char *>(qvsd_attr_data(slots[2])) : "",
               slots[2] ? qvsd_attr_data_len(slots[2]) : 0);
  return qvsd_attr_i32(slots[0]);
}

std::string lock_frame(const std::string &path, int take, const std::string &holder)
{
  std::string arg = esc(path) + "\t" + std::to_string(take) + "\t" + holder;
  return frame(QVSD_CMD_IOCTL2, [&](qvsd_msg *m) {
    qvsd_msg_add_i64(m, "fd", 0);
    qvsd_msg_add_i32(m, "cmd", QVSD_IOCTL2_OUTPUT_LOCK);
    qvsd_msg_add_raw(m, "data", arg.c_str(), (uint32_t)arg.size() + 1);
    qvsd_msg_add_i32(m, "olen", 4096);
  });
}

TEST_F(qvsd_tree_t, the_output_lock_belongs_to_one_session)
{
  start({}, true);
  const std::string probe = frame(QVSD_CMD_LOGIN, [](qvsd_msg *m) {
    qvsd_msg_add_str(m, "user", ":");
    qvsd_msg_add_str(m, "passwd", "");
  });
  int a = raw_connect(srv->tcp_port), b = raw_connect(srv->tcp_port);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_EQ(0, exchange(a, probe));
  ASSERT_EQ(0, exchange(b, probe));
  std::string data;
  EXPECT_EQ(0, exchange_data(a, lock_frame("/d", 1, "host-a 11"), &data));
  /* Taken again by its holder: granted. */
  EXPECT_EQ(0, exchange_data(a, lock_frame("/d/", 1, "host-a 11"), &data));
  EXPECT_EQ(-115, exchange_data(b, lock_frame("/d", 1, "host-b 22"), &data));
  EXPECT_EQ("host-a 11", data);
  /* Other directories are free; a release by a session that does not hold the lock changes
   * nothing. */
  EXPECT_EQ(0, exchange_data(b, lock_frame("/e", 1, "host-b 22"), &data));
  EXPECT_EQ(0, exchange_data(b, lock_frame("/d", 0, ""), &data));
  EXPECT_EQ(-115, exchange_data(b, lock_frame("/d", 1, "host-b 22"), &data));
  /* Released by its holder. */
  EXPECT_EQ(0, exchange_data(a, lock_frame("/d", 0, ""), &data));
  EXPECT_EQ(0, exchange_data(b, lock_frame("/d", 1, "host-b 22"), &data));
  EXPECT_EQ(-115, exchange_data(a, lock_frame("/d", 1, "host-a 11"), &data));
  EXPECT_EQ("host-b 22", data);
  /* Released when its session ends: the closing is seen by the server in its own time, so the
   * other session asks until it is granted (bounded). */
  close(b);
  int32_t rc = -115;
  for (int i = 0; i < 500 && rc == -115; i++) {
    rc = exchange_data(a, lock_frame("/d", 1, "host-a 11"), &data);
    if (rc == -115)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(0, rc);
  /* A run on the server's own host that holds the lock keeps it from every session. */
  int held = open((root + "/t").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, flock(held, LOCK_EX | LOCK_NB));
  EXPECT_EQ(-115, exchange_data(a, lock_frame("/t", 1, "host-a 11"), &data));
  EXPECT_EQ("", data);
  close(held);
  EXPECT_EQ(0, exchange_data(a, lock_frame("/t", 1, "host-a 11"), &data));
  close(a);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

/* ---- batch file lists (ioctl2 10130-10141) ---- */

/* The argument of a batch call: the escaped base and the escaped list, or the base alone. */
std::string batch_arg(const std::string &base, const std::string &list)
{
  return list.empty() ? esc(base) : esc(base) + "\t" + esc(list);
}

/* The base of a hard-link call: the zz-string (base, links' directory) escaped whole. */
std::string batch_link_base(const std::string &base, const std::string &link_dir)
{
  std::string zz = base + '\0' + link_dir + '\0' + '\0';
  std::string o;
  str_escape_tab_zz_append(zz.c_str(), &o);
  return o;
}

/* Data blocks of a read list as text: "ok:<data>" or "open:<code>" / "read:<code>". */
std::string batch_blocks(std::string raw, size_t *count)
{
  std::string out;
  size_t off = 0;
  *count = 0;
  while (off < raw.size()) {
    mfile_data d;
    size_t used = 0;
    if (libmfile_read_get_data_len_err(reinterpret_cast<uint8_t *>(raw.data()) + off, raw.size() - off, &used, &d) < 0)
      return out + "<bad block>";
    out += std::string(out.empty() ? "" : ";") +
           (d.flags & MFILE_F_OPEN_ERR   ? "open:" + std::to_string(d.code)
            : d.flags & MFILE_F_READ_ERR ? "read:" + std::to_string(d.code)
                                         : "ok:" + std::string(d.data.begin(), d.data.end()));
    off += used;
    ++*count;
  }
  return out;
}

/* Fetches results (10132) until want of them came or a fetch brought nothing. */
std::string batch_results(qvsd_cli *c, int type, size_t want)
{
  std::string raw;
  for (;;) {
    std::string out;
    if (io2(c, QVSD_IOCTL2_MFILE_RESULT, "", &out) != 0 || out.empty())
      break;
    raw += out;
    size_t have = 0;
    if (type == MFILE_READ_LIST)
      batch_blocks(raw, &have);
    else if (type == MFILE_WRITE_FILE)
      have = (size_t)std::count(raw.begin(), raw.end(), '\n');
    else if (type == MFILE_CLEAR_FILES)
      have = raw.find('$') != std::string::npos ? want : 0;
    else
      have = (size_t)std::count(raw.begin(), raw.end(), '\t');
    if (have >= want)
      break;
  }
  size_t n = 0;
  return type == MFILE_READ_LIST ? batch_blocks(raw, &n) : raw;
}

/* How many results an expected text holds, counted as batch_results counts them. */
size_t batch_units(int type, const std::string &want)
{
  if (type == MFILE_READ_LIST)
    return want.empty() ? 0 : (size_t)std::count(want.begin(), want.end(), ';') + 1;
  if (type == MFILE_WRITE_FILE)
    return (size_t)std::count(want.begin(), want.end(), '\n');
  if (type == MFILE_CLEAR_FILES)
    return 1;
  return (size_t)std::count(want.begin(), want.end(), '\t');
}

std::string batch_dir_line(const std::string &name, uint32_t type, uint32_t mode)
{
  file_attr a;
  a.type = type;
  a.attrib_mode = mode;
  a.alt_mode = 0x80;
  a.uid = getuid();
  a.gid = getgid();
  a.time_write = a.time_access = 1300000000;
  std::string o;
  mstat_dir_line(name.c_str(), &a, &o);
  return o + "\n";
}

std::string batch_write_line(const std::string &name, uint32_t mode, const std::string &b64)
{
  file_attr a;
  a.type = TYPE_FILE;
  a.attrib_mode = mode;
  a.alt_mode = 0x80;
  a.uid = getuid();
  a.gid = getgid();
  a.time_write = a.time_access = 1300000000;
  std::string o;
  mstat_write_line(name.c_str(), &a, b64.c_str(), &o);
  return o + "\n";
}

constexpr char BATCH_OPEN_ARG[] = "65540\t3000\t1\tffffffff\tffffffff\t1a4\t1ed";

TEST_F(qvsd_tree_t, batch_lists_through_the_ioctl2_carrier)
{
  start();
  const std::string R = root;
  qvsd_cli *c = connect_ok();
  ASSERT_NE(nullptr, c);
  /* Nothing runs before a job is open. */
  EXPECT_EQ(-4, io2(c, QVSD_IOCTL2_MFILE_CALL_FIRST + 3, batch_arg("/d", "small\n")));
  EXPECT_EQ(-4, io2(c, QVSD_IOCTL2_MFILE_RESULT, ""));
  EXPECT_EQ(-2, io2(c, QVSD_IOCTL2_MFILE_OPEN, "65540\t3000")) << "an open with fields missing";
  ASSERT_EQ(0, io2(c, QVSD_IOCTL2_MFILE_OPEN, BATCH_OPEN_ARG)) << qvsd_cli_last_errstr(c);
  auto same = [](const std::string &a, const std::string &b) {
    return lstat_of(a).st_ino != 0 && lstat_of(a).st_ino == lstat_of(b).st_ino;
  };
  struct row {
    const char *what;
    int32_t code;
    int type;
    std::string arg;
    int32_t want_rc;
    std::string want;
    std::function<bool()> check;
  } rows[] = {
      {"10133 read: a file, a missing one, a link to the outside", QVSD_IOCTL2_MFILE_CALL_FIRST, MFILE_READ_LIST,
       batch_arg("/d", "small\t100\nmissing\t1\nlnk\t5\n"), 0, "ok:inside\n;open:-102;open:-156", nullptr},
      {"10134 create directories: set-ID bits dropped", QVSD_IOCTL2_MFILE_CALL_FIRST + 1, MFILE_CREATE_DIR,
       batch_arg("/d", batch_dir_line("nd", TYPE_DIR, S_IFDIR | 02750)), 0, "0\t",
       [&] { return (lstat_of(R + "/d/nd").st_mode & 07777) == 0750; }},
      {"10135 write files: set-ID bits dropped", QVSD_IOCTL2_MFILE_CALL_FIRST + 2, MFILE_WRITE_FILE,
       batch_arg("/d", batch_write_line("w", S_IFREG | 04644, "ZGF0YQ==")), 0, "0\t4\n",
       [&] { return read_file(R + "/d/w") == "data" && (lstat_of(R + "/d/w").st_mode & 07777) == 0644; }},
      {"10136 delete", QVSD_IOCTL2_MFILE_CALL_FIRST + 3, MFILE_DELETE, batch_arg("/d", "other\nlnk\n"), 0, "0\t0\t",
       [&] { return !exists(R + "/d/other") && !exists(R + "/d/lnk") && read_file(outside + "/secret") != ""; }},
      {"10138 clear the files of a directory", QVSD_IOCTL2_MFILE_CALL_FIRST + 5, MFILE_CLEAR_FILES,
       batch_arg("/t/a", ""), 0, "F\t0\t$", [&] { return !exists(R + "/t/a/b") && exists(R + "/t/a"); }},
      {"10140 initial sync list", QVSD_IOCTL2_MFILE_CALL_FIRST + 7, MFILE_SYNC_INIT,
       batch_arg("/d", "C newd\nD sub\n"), 0, "0\t0\t",
       [&] { return S_ISDIR(lstat_of(R + "/d/newd").st_mode) && !exists(R + "/d/sub"); }},
      {"10141 hard links", QVSD_IOCTL2_MFILE_CALL_LAST, MFILE_HARDLINK,
       batch_link_base("/d", "") + "\t" + esc("hl\tsmall\nhx\t../../outside/secret\n"), 0, "0\t-2\t",
       [&] { return same(R + "/d/hl", R + "/d/small") && !exists(R + "/d/hx"); }},
      /* The base is an export path: ".." is refused with the call, a link on the way per line. */
      {"a base with .. is refused", QVSD_IOCTL2_MFILE_CALL_FIRST + 3, MFILE_DELETE,
       batch_arg("/d/../..", "outside\n"), -2, "", [&] { return exists(outside + "/secret"); }},
      {"a hard-link base with .. is refused", QVSD_IOCTL2_MFILE_CALL_LAST, MFILE_HARDLINK,
       batch_link_base("/..", "") + "\t" + esc("x\tsecret\n"), -2, "", nullptr},
      {"a base through the link /out fails its lines", QVSD_IOCTL2_MFILE_CALL_FIRST + 3, MFILE_DELETE,
       batch_arg("/out", "secret\n"), 0, "-156\t", [&] { return exists(outside + "/secret"); }},
      {"10137 is not a call", QVSD_IOCTL2_MFILE_CALL_FIRST + 4, MFILE_DELETE, batch_arg("/d", "small\n"), -37, "",
       nullptr},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    reset_tree();
    EXPECT_EQ(r.want_rc, io2(c, r.code, r.arg)) << qvsd_cli_last_errstr(c);
    if (r.want_rc == 0) {
      EXPECT_EQ(r.want, batch_results(c, r.type, batch_units(r.type, r.want)));
    }
    if (r.check) {
      EXPECT_TRUE(r.check());
    }
  }
  EXPECT_EQ(0, io2(c, QVSD_IOCTL2_MFILE_CLOSE, ""));
  EXPECT_EQ(-4, io2(c, QVSD_IOCTL2_MFILE_RESULT, ""));
  /* A job left open ends with its session. */
  ASSERT_EQ(0, io2(c, QVSD_IOCTL2_MFILE_OPEN, BATCH_OPEN_ARG));
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

TEST_F(qvsd_tree_t, a_read_only_export_runs_only_batch_reads)
{
  start({"read_only=yes"});
  qvsd_cli *c = connect_ok();
  ASSERT_NE(nullptr, c);
  const auto before = snapshot(root);
  ASSERT_EQ(0, io2(c, QVSD_IOCTL2_MFILE_OPEN, BATCH_OPEN_ARG)) << qvsd_cli_last_errstr(c);
  ASSERT_EQ(0, io2(c, QVSD_IOCTL2_MFILE_CALL_FIRST, batch_arg("/d", "small\t3\n"))) << qvsd_cli_last_errstr(c);
  EXPECT_EQ("ok:ins", batch_results(c, MFILE_READ_LIST, 1));
  const struct {
    int32_t code;
    std::string arg;
  } writes[] = {
      {QVSD_IOCTL2_MFILE_CALL_FIRST + 1, batch_arg("/d", batch_dir_line("nd", TYPE_DIR, S_IFDIR | 0755))},
      {QVSD_IOCTL2_MFILE_CALL_FIRST + 2, batch_arg("/d", batch_write_line("w", S_IFREG | 0644, "eA=="))},
      {QVSD_IOCTL2_MFILE_CALL_FIRST + 3, batch_arg("/d", "small\n")},
      {QVSD_IOCTL2_MFILE_CALL_FIRST + 5, batch_arg("/d", "")},
      {QVSD_IOCTL2_MFILE_CALL_FIRST + 7, batch_arg("/d", "F small\n")},
      {QVSD_IOCTL2_MFILE_CALL_LAST, batch_link_base("/d", "") + "\t" + esc("hl\tsmall\n")},
  };
  for (const auto &w : writes)
    EXPECT_EQ(-38, io2(c, w.code, w.arg)) << w.code;
  EXPECT_EQ(before, snapshot(root));
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv->stop(SIGTERM)) << srv->err();
}

} // namespace
