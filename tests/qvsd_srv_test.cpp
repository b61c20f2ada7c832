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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "helpers/peer_proc.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

constexpr int START_MS = 60000; /* sanitizer builds start slowly on a busy machine */
constexpr int STOP_MS = 30000;

/* One qvsd process with its standard error collected. */
class srv_proc {
public:
  ~srv_proc()
  {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable())
      reader_.join();
    if (fd_ >= 0)
      close(fd_);
  }

  bool start(const std::vector<std::string> &args)
  {
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
      return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(p[1], 2);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      std::vector<char *> argv{const_cast<char *>(QVSD_BIN)};
      for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(QVSD_BIN, argv.data());
      _exit(127);
    }
    close(p[1]);
    fd_ = p[0];
    reader_ = std::thread([this] {
      char buf[4096];
      ssize_t n;
      while ((n = read(fd_, buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> g(lock_);
        err_.append(buf, (size_t)n);
      }
    });
    return pid_ > 0;
  }

  std::string err()
  {
    std::lock_guard<std::mutex> g(lock_);
    return err_;
  }

  /* Waits for the ready lines; fills the ports and the fingerprint. */
  bool ready(bool want_tcp, bool want_tls)
  {
    static const std::regex tcp_re("qvsd: listening on (.*):([0-9]+) \\(tcp\\)\n");
    static const std::regex tls_re("qvsd: listening on (.*):([0-9]+) \\(tls, sha256 ([0-9A-F:]{95})\\)\n");
    for (int waited = 0; waited < START_MS; waited += 50) {
      std::string e = err();
      std::smatch m;
      bool tcp_ok = !want_tcp, tls_ok = !want_tls;
      if (want_tcp && std::regex_search(e, m, tcp_re)) {
        tcp_port = std::stoi(m[2]);
        tcp_ok = true;
      }
      if (want_tls && std::regex_search(e, m, tls_re)) {
        tls_port = std::stoi(m[2]);
        fingerprint = m[3];
        tls_ok = true;
      }
      if (tcp_ok && tls_ok)
        return true;
      int st;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  /* Sends sig and waits for the exit status (-1 when it did not end in time). */
  int stop(int sig)
  {
    kill(pid_, sig);
    for (int waited = 0; waited < STOP_MS; waited += 20) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  /* Runs to its end (a refused start-up). */
  int wait_exit()
  {
    return stop(0);
  }

  int tcp_port = 0, tls_port = 0;
  std::string fingerprint;

private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  std::mutex lock_;
  std::string err_;
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
  EXPECT_STREQ("1.7.9", c->ver);
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
  };
  for (const row &r : rows) {
    srv_proc p;
    ASSERT_TRUE(p.start(r.args));
    EXPECT_EQ(r.status, p.wait_exit()) << p.err();
    EXPECT_NE(std::string::npos, p.err().find("qvsd: error: ")) << p.err();
    EXPECT_NE(std::string::npos, p.err().find(r.text)) << p.err();
  }
}

} // namespace
