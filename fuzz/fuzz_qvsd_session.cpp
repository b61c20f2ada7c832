/* libFuzzer target: a whole server session on hostile bytes. The input is what a client sends: it
 * goes into one end of a socket pair, the server's session runs on the other end on this thread,
 * and every reply is drained and checked.
 *
 * The export is a small private tree made once per process and put back before each input: files
 * (one sparse), a subdirectory, a FIFO, a name that cannot travel, a hard link and two links that
 * point outside the export. Beside the export lie a sentinel file and a directory "outside" with a
 * secret file.
 *
 * Properties, any of which ends the run with a trap:
 *  - confinement: nothing beside the export changes (names, kinds, modes, sizes, times, contents,
 *    extended attributes), and no reply carries the secret or the export's host path;
 *  - one reply per request, each decoding under the client's own reply policy for its command and
 *    within the client's size limit;
 *  - what the client parses out of a successful reply it accepts: every line of a directory batch
 *    and the status line (the server's entry line read back by the client's reader), the owner
 *    lookup, the next data, the whole-file digest, the dropped count; read data unpacks to its
 *    length;
 *  - the account's password never reaches a log line.
 *
 * The session is bounded: its stop word is set when it runs past a budget, so a request that
 * waits (a walk read with nothing to read) ends within one wait slice. */
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libep/ep.h"
#include "liblog/log2.h"
#include "libnet/net.h"
#include "libpack/zcomp.h"
#include "libpal/os/os_dirent.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"
#include "libqvsd/qvsd_tree.h"
#include "libqvsd/qvsd_wire.h"
#include "qvsd_srv.h"

namespace {

constexpr int BUDGET_MS = 250;
/* Request frames the server reads at most (its own limit); a larger one ends the session. */
constexpr uint32_t REQ_MAX = (4u << 20) + QVSD_REPLY_OVERHEAD;

[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fail(const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  fprintf(stderr, "fuzz_qvsd_session: ");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
  va_end(ap);
  __builtin_trap();
}

std::string random_hex(size_t bytes)
{
  std::vector<uint8_t> raw(bytes);
  if (getrandom(raw.data(), raw.size(), 0) != (ssize_t)raw.size())
    fail("no random bytes");
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : raw) {
    out.push_back(hex[b >> 4]);
    out.push_back(hex[b & 15]);
  }
  return out;
}

/* Whether needle occurs in hay, compared byte by byte so that the fuzzer's comparison hooks do not
 * learn the needle from it. */
bool holds(const char *hay, size_t n, const std::string &needle)
{
  if (needle.empty() || n < needle.size())
    return false;
  for (size_t i = 0; i + needle.size() <= n; i++) {
    size_t k = 0;
    while (k < needle.size() && hay[i + k] == needle[k])
      k++;
    if (k == needle.size())
      return true;
  }
  return false;
}

void write_file(const std::string &path, const std::string &text, mode_t mode = 0644)
{
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size() || close(fd) < 0)
    fail("cannot write [%s]: %s", path.c_str(), strerror(errno));
}

/* ---- the export and what lies beside it ---- */

struct world {
  std::string base, root, outside;
  std::string secret;   /* content of outside/secret */
  std::string password; /* of the one account */
  std::string print;    /* the state of everything beside the export */
  ep *e = nullptr;
  qvsd_srv_conf conf;
};
world g;

/* Names, kinds, modes, sizes, times and link counts of one entry (and its extended attributes). */
void print_entry(const std::string &path, bool times, std::string *out)
{
  struct stat st;
  if (lstat(path.c_str(), &st) < 0) {
    *out += path + " missing\n";
    return;
  }
  char buf[256];
  snprintf(buf, sizeof buf, " %o %lld %lu %u %u", (unsigned)st.st_mode, (long long)st.st_size,
           (unsigned long)st.st_nlink, (unsigned)st.st_uid, (unsigned)st.st_gid);
  *out += path + buf;
  if (times) {
    snprintf(buf, sizeof buf, " %lld.%09ld %lld.%09ld", (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
             (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    *out += buf;
  }
  char names[1024];
  ssize_t n = llistxattr(path.c_str(), names, sizeof names);
  if (n > 0)
    out->append(" xattr ").append(names, (size_t)n);
  out->push_back('\n');
}

void print_dir(const std::string &dir, std::string *out)
{
  DIR *d = opendir(dir.c_str());
  if (!d) {
    *out += dir + " unreadable\n";
    return;
  }
  std::vector<std::string> names;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &n : names)
    *out += dir + "/" + n + "\n";
}

std::string read_small(const std::string &path)
{
  char buf[256];
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return "unreadable";
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  return n < 0 ? "unreadable" : std::string(buf, (size_t)n);
}

/* Everything beside the export. The export's own entry is named only: its mode and times are the
 * client's to change. */
std::string outside_print()
{
  std::string out;
  print_entry(g.base, true, &out);
  print_dir(g.base, &out);
  print_entry(g.base + "/sentinel", true, &out);
  out += read_small(g.base + "/sentinel") + "\n";
  print_entry(g.outside, true, &out);
  print_dir(g.outside, &out);
  print_entry(g.outside + "/secret", true, &out);
  out += read_small(g.outside + "/secret") + "\n";
  return out;
}

int remove_one(const char *path, const struct stat *, int kind, struct FTW *)
{
  int rc = kind == FTW_DP ? rmdir(path) : unlink(path);
  if (rc < 0 && errno != ENOENT)
    fail("cannot remove [%s] of the export: %s", path, strerror(errno));
  return 0;
}

/* A directory the client made unreadable cannot be emptied: every directory is opened up first. */
bool g_opened_up = false;
int open_up(const char *path, const struct stat *st, int kind, struct FTW *)
{
  if ((kind == FTW_D || kind == FTW_DNR) && (st->st_mode & 0700) != 0700) {
    chmod(path, 0700);
    g_opened_up = true;
  }
  return 0;
}

void clear_root()
{
  chmod(g.root.c_str(), 0755);
  char names[4096];
  ssize_t n = llistxattr(g.root.c_str(), names, sizeof names);
  for (ssize_t i = 0; n > 0 && i < n; i += (ssize_t)strlen(names + i) + 1)
    lremovexattr(g.root.c_str(), names + i);
  /* A directory made unreadable hides what lies below it until it is opened up: again until a
   * pass finds nothing to open. */
  for (int pass = 0; pass < 64; pass++) {
    g_opened_up = false;
    nftw(g.root.c_str(), open_up, 16, FTW_PHYS | FTW_MOUNT);
    if (!g_opened_up)
      break;
  }
  DIR *d = opendir(g.root.c_str());
  if (!d)
    fail("export root unreadable: %s", strerror(errno));
  std::vector<std::string> names_in;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      names_in.push_back(g.root + "/" + e->d_name);
  closedir(d);
  for (const std::string &p : names_in)
    nftw(p.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

void fill_root()
{
  const std::string &r = g.root;
  write_file(r + "/a.txt", "hello from the export\n");
  /* Data, a hole, data, and a hole at the end. */
  int fd = open((r + "/sparse.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || pwrite(fd, "head", 4, 0) != 4 || pwrite(fd, "tail", 4, 128 << 10) != 4 || ftruncate(fd, 256 << 10) < 0 ||
      close(fd) < 0)
    fail("cannot write sparse.bin");
  mkdir((r + "/sub").c_str(), 0755);
  write_file(r + "/sub/c.txt", "c\n");
  mkdir((r + "/sub/deep").c_str(), 0750);
  write_file(r + "/sub/deep/d.txt", "deep\n", 0600);
  write_file(r + "/tab\tname", "a name that cannot travel\n");
  if (link((r + "/a.txt").c_str(), (r + "/sub/a_again.txt").c_str()) < 0)
    fail("cannot link: %s", strerror(errno));
  if (mkfifo((r + "/pipe").c_str(), 0644) < 0)
    fail("cannot make the FIFO: %s", strerror(errno));
  if (symlink("../outside", (r + "/up").c_str()) < 0 || symlink((g.outside + "/secret").c_str(), (r + "/abs").c_str()) < 0 ||
      symlink("../../outside/secret", (r + "/sub/back").c_str()) < 0)
    fail("cannot make the links: %s", strerror(errno));
}

/* At exit the whole private tree goes; after a crash it stays for a look. */
void remove_world()
{
  if (g.base.empty())
    return;
  ep_close(g.e);
  g.e = nullptr;
  clear_root();
  rmdir(g.root.c_str());
  unlink((g.outside + "/secret").c_str());
  rmdir(g.outside.c_str());
  unlink((g.base + "/sentinel").c_str());
  rmdir(g.base.c_str());
}

void make_world()
{
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_qvsd_session.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data()))
    fail("mkdtemp: %s", strerror(errno));
  g.base = buf.data();
  g.root = g.base + "/root";
  g.outside = g.base + "/outside";
  g.secret = "secret-" + random_hex(16) + "\n";
  g.password = random_hex(16);
  if (mkdir(g.root.c_str(), 0755) < 0 || mkdir(g.outside.c_str(), 0755) < 0)
    fail("mkdir: %s", strerror(errno));
  write_file(g.base + "/sentinel", "sentinel beside the export\n");
  write_file(g.outside + "/secret", g.secret, 0600);
  fill_root();
  ep_info info;
  vperror err{};
  g.e = ep_open(g.root.c_str(), &ep_local_ops, &info, &err);
  if (!g.e)
    fail("ep_open: %s", vperror_str(&err));
  g.conf.root = g.e;
  g.conf.root_path = info.path;
  g.conf.users["fuzzuser"] = g.password;
  g.conf.anonymous = true;
  g.conf.proto = QVSD_SRV_LOGIN_KEY;
  g.conf.idle_timeout_ms = 200;
  g.conf.fail_delay_ms = 0;
  g.print = outside_print();
  atexit(remove_world);
}

/* ---- log lines: formatted (so that their arguments are read) and checked, never written ---- */

void log_sink(int, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  char line[2048];
  int n = vsnprintf(line, sizeof line, fmt, ap);
  if (n > 0 && holds(line, std::min<size_t>((size_t)n, sizeof line - 1), g.password))
    fail("the account's password reached a log line: %s", fmt);
}

/* ---- the session's stop word, set when an input runs past its budget ---- */

/* The watchdog sets the stop word only while a session is armed, under the lock, so that a late
 * look at the last input's deadline cannot stop the next input's session. */
std::atomic<int> g_stop{0};
std::mutex g_watch_mu;
bool g_armed = false;
std::chrono::steady_clock::time_point g_deadline;

void watchdog()
{
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard<std::mutex> lk(g_watch_mu);
    if (g_armed && std::chrono::steady_clock::now() > g_deadline)
      g_stop.store(1);
  }
}

void arm(bool on)
{
  std::lock_guard<std::mutex> lk(g_watch_mu);
  g_stop.store(0);
  g_armed = on;
  g_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUDGET_MS);
}

/* ---- the requests of the input, as the server frames them ---- */

struct request {
  uint8_t cmd = 0;
  int32_t code = -1;  /* "cmd" of the two carriers */
  std::string text;   /* "data" of the carriers up to its first NUL */
};

const void *member(const uint8_t *m, uint32_t len, const char *name, uint8_t type)
{
  uint32_t off = 0, nl = (uint32_t)strlen(name);
  while (off + 4 <= len) {
    const uint8_t *a = m + off;
    uint32_t plen = qvsd_attr_padlen(a);
    if (plen < 4 || plen > len - off || qvsd_attr_check(a, len - off, true) < 0)
      return nullptr;
    uint32_t l = 0;
    const char *n = qvsd_attr_name(a, &l);
    if (qvsd_attr_type(a) == type && l == nl && memcmp(n, name, nl) == 0)
      return a;
    off += plen;
  }
  return nullptr;
}

std::vector<request> split_requests(const uint8_t *data, size_t size)
{
  std::vector<request> out;
  size_t pos = 0;
  while (size - pos >= QVSD_FRAME_HEAD) {
    const uint8_t *h = data + pos;
    uint32_t t = qvsd_frame_body_len(h);
    if (h[0] != QVSD_MAGIC0 || h[1] != QVSD_MAGIC1 || qvsd_attr_type(h + 4) != QVSD_T_TABLE || qvsd_attr_named(h + 4) ||
        qvsd_attr_len(h + 4) < 4 || t > REQ_MAX || size - pos - QVSD_FRAME_HEAD < t - 4)
      break;
    request r;
    r.cmd = h[3];
    uint32_t mlen = std::min(t - 4, qvsd_attr_len(h + 4) - 4);
    const uint8_t *m = h + QVSD_FRAME_HEAD;
    if (const void *c = member(m, mlen, "cmd", QVSD_T_INT32))
      r.code = qvsd_attr_i32(c);
    if (const void *d = member(m, mlen, "data", QVSD_T_RAW)) {
      const char *p = static_cast<const char *>(qvsd_attr_data(d));
      r.text.assign(p, strnlen(p, qvsd_attr_data_len(d)));
    }
    out.push_back(std::move(r));
    pos += QVSD_FRAME_HEAD + t - 4;
  }
  return out;
}

/* ---- the replies ---- */

struct checker {
  const std::vector<request> *reqs = nullptr;
  size_t replies = 0;
  std::string pending;
  zcomp codec; /* the session's codec, followed through the pack requests */
  bool input_names_root = false;
  bool trace = false; /* QVSD_FUZZ_TRACE set: one line per reply on stderr, for triage */
};
checker g_check;

void set_codec(const char *name)
{
  zcomp_close(&g_check.codec);
  snprintf(g_check.codec.name, sizeof g_check.codec.name, "%s", name);
  if (zcomp_open(&g_check.codec) < 0)
    fail("codec [%s] the server took does not open here", name);
}

std::string unpack(const void *a_len, const void *a_data, const char *what)
{
  int32_t len = qvsd_attr_i32(a_len);
  uint32_t plen = qvsd_attr_data_len(a_data);
  if (len < 0)
    fail("%s: negative length", what);
  if (len == 0) {
    if (plen != 0)
      fail("%s: data for length 0", what);
    return "";
  }
  void *out = nullptr;
  if (zcomp_decompress_exact(&g_check.codec, qvsd_attr_data(a_data), (int)plen, &out, len) < 0)
    fail("%s: data does not unpack to its length %d", what, len);
  return std::string(static_cast<const char *>(out), (size_t)len);
}

void check_batch(const std::string &batch, bool long_form)
{
  size_t pos = 0;
  while (pos < batch.size()) {
    size_t nl = batch.find('\n', pos);
    if (nl == std::string::npos)
      fail("directory batch ends inside a line");
    std::string line = batch.substr(pos, nl - pos);
    pos = nl + 1;
    if (line.empty())
      continue; /* the end of the directory */
    os_dirent d;
    if (qvsd_dirent_line_parse(line.data(), long_form, &d) < 0)
      fail("the client refuses an entry line of the server: [%s]", line.c_str());
  }
}

void check_carrier_text(const request &rq, const std::string &t)
{
  switch (rq.code) {
  case QVSD_IOCTL2_STAT: {
    std::string line = t;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\0' || line.back() == '\r'))
      line.pop_back();
    os_dirent d;
    if (qvsd_dirent_line_parse(line.data(), true, &d) < 0)
      fail("the client refuses the status line of the server: [%s]", line.c_str());
    break;
  }
  case QVSD_IOCTL2_LOOKUP_IDS: {
    int64_t u = 0, gid = 0;
    if (qvsd_lookup_ids_parse(t.c_str(), &u, &gid) < 0)
      fail("the client refuses the owner lookup [%s]", t.c_str());
    break;
  }
  case QVSD_IOCTL2_NEXT_DATA: {
    uint64_t a = 0, b = 0;
    uint64_t off = strtoull(rq.text.c_str(), nullptr, 10);
    if (qvsd_next_data_parse(t.c_str(), off, &a, &b) < 0)
      fail("the client refuses the next data [%s] at %s", t.c_str(), rq.text.c_str());
    break;
  }
  case QVSD_IOCTL2_FILE_DIGEST: {
    uint8_t d[16];
    if (rq.text == "xxh3" && qvsd_file_digest_parse(t.data(), t.size(), d, sizeof d) < 0)
      fail("the client refuses the digest [%s]", t.c_str());
    break;
  }
  case QVSD_IOCTL2_RDIR_DROPPED:
    if (qvsd_rdir_dropped_parse(t.c_str()) < 0)
      fail("the client refuses the dropped count [%s]", t.c_str());
    break;
  default:
    break;
  }
}

void check_reply(const uint8_t *f, uint32_t t)
{
  if (holds(reinterpret_cast<const char *>(f), QVSD_FRAME_HEAD + t - 4, g.secret))
    fail("a reply carries the secret beside the export");
  /* The fuzzer may learn the export's path from the server's own comparisons and send it as a
   * link's text; only a path the input did not carry is a leak. */
  if (holds(reinterpret_cast<const char *>(f), QVSD_FRAME_HEAD + t - 4, g.conf.root_path) && !g_check.input_names_root)
    fail("a reply names the export's host path");
  size_t i = g_check.replies++;
  if (i >= g_check.reqs->size())
    fail("reply %zu without a request", i);
  const request &rq = (*g_check.reqs)[i];
  if (f[3] != rq.cmd)
    fail("reply %zu is for command %u, the request was %u", i, f[3], rq.cmd);
  if (f[2] != g.conf.proto)
    fail("reply %zu has protocol byte %u", i, f[2]);
  const qvsd_cmd_desc *d = qvsd_cmd_find(rq.cmd);
  static const qvsd_policy head[] = {QVSD_POLICY_HEAD};
  const qvsd_policy *pol = head;
  int n = 2;
  if (d && d->reply) {
    pol = d->reply;
    n = d->nreply;
    if (rq.cmd == QVSD_CMD_STAT || rq.cmd == QVSD_CMD_STAT2 || rq.cmd == QVSD_CMD_FSTAT)
      n = QVSD_POL_STAT_SHORT;
    uint32_t limit = d->reply_max ? std::min(d->reply_max, QVSD_REPLY_CEILING) : QVSD_REPLY_CEILING;
    if (t > limit)
      fail("reply of %u bytes to command %u is above the client's limit %u", t, rq.cmd, limit);
  }
  const void *slots[32] = {};
  if (cli_blobmsg_parse(pol, n, slots, f + QVSD_FRAME_HEAD, t - 4) < 0)
    fail("reply %zu to command %u does not decode under the client's policy", i, rq.cmd);
  if (g_check.trace)
    fprintf(stderr, "reply %zu: command %u code %d errno %d [%s]\n", i, rq.cmd, rq.code, qvsd_attr_i32(slots[0]),
            qvsd_attr_str(slots[1]));
  if (qvsd_attr_i32(slots[0]) != 0)
    return;
  switch (rq.cmd) {
  case QVSD_CMD_READDIR:
  case QVSD_CMD_READDIR_L:
    check_batch(unpack(slots[2], slots[3], "directory batch"), rq.cmd == QVSD_CMD_READDIR_L);
    break;
  case QVSD_CMD_READ:
  case QVSD_CMD_PREAD:
    unpack(slots[2], slots[4], "read");
    break;
  case QVSD_CMD_IOCTL:
    if (rq.code == QVSD_IOCTL_PACK)
      set_codec(rq.text.substr(0, ZCOMP_NAME_MAX).c_str());
    break;
  case QVSD_CMD_IOCTL2:
    check_carrier_text(rq, std::string(static_cast<const char *>(qvsd_attr_data(slots[2])), qvsd_attr_data_len(slots[2])));
    break;
  default:
    break;
  }
}

/* Takes every complete reply frame off the front of what has arrived. */
void take_replies()
{
  std::string &p = g_check.pending;
  size_t pos = 0;
  while (p.size() - pos >= QVSD_FRAME_HEAD) {
    const uint8_t *f = reinterpret_cast<const uint8_t *>(p.data()) + pos;
    if (f[0] != QVSD_MAGIC0 || f[1] != QVSD_MAGIC1 || qvsd_attr_type(f + 4) != QVSD_T_TABLE || qvsd_attr_named(f + 4))
      fail("reply frame with a bad head");
    uint32_t t = qvsd_frame_body_len(f);
    if (t < 4)
      fail("reply frame shorter than its root");
    if (p.size() - pos - QVSD_FRAME_HEAD < t - 4)
      break;
    check_reply(f, t);
    pos += QVSD_FRAME_HEAD + t - 4;
  }
  p.erase(0, pos);
}

/* ---- the stream: a socket pair pumped on this thread ---- */

struct pump {
  int client = -1;
  const uint8_t *data = nullptr;
  size_t size = 0, pos = 0;
  bool shut = false;
};
pump g_pump;

void drain()
{
  char buf[65536];
  for (;;) {
    ssize_t k = recv(g_pump.client, buf, sizeof buf, MSG_DONTWAIT);
    if (k > 0) {
      g_check.pending.append(buf, (size_t)k);
      take_replies();
      continue;
    }
    if (k < 0 && errno == EINTR)
      continue;
    return;
  }
}

/* Puts more of the input into the client's end; shuts its writing when all is in. */
bool push()
{
  if (g_pump.shut)
    return false;
  if (g_pump.pos < g_pump.size) {
    ssize_t k = send(g_pump.client, g_pump.data + g_pump.pos, g_pump.size - g_pump.pos, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (k < 0)
      return errno == EINTR;
    g_pump.pos += (size_t)k;
  }
  if (g_pump.pos == g_pump.size) {
    shutdown(g_pump.client, SHUT_WR);
    g_pump.shut = true;
  }
  return true;
}

int pump_read(net *c, void *buf, int n)
{
  for (;;) {
    ssize_t k = recv(c->fd, buf, (size_t)n, MSG_DONTWAIT);
    if (k > 0)
      return (int)k;
    if (k == 0) {
      c->closed = 1;
      return 0;
    }
    if (errno == EINTR)
      continue;
    /* Nothing waits: the client sends more, or has nothing more to send. */
    if (errno != EAGAIN || !push()) {
      VPERROR_SET(&c->error, VERR_FAIL, "pump read: %s", strerror(errno));
      return -1;
    }
  }
}

int pump_write(net *c, const void *buf, int n)
{
  for (;;) {
    ssize_t k = send(c->fd, buf, (size_t)n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (k > 0)
      return (int)k;
    if (k < 0 && errno == EINTR)
      continue;
    if (k < 0 && errno == EAGAIN) {
      drain(); /* the client reads what fills the pipe */
      continue;
    }
    VPERROR_SET(&c->error, VERR_FAIL, "pump write: %s", strerror(errno));
    return -1;
  }
}

void pump_close(net *c)
{
  if (c->fd >= 0)
    close(c->fd);
  c->fd = -1;
}

const net_ops k_pump_ops = {
    .name = "pump",
    .read = pump_read,
    .write = pump_write,
    .close = pump_close,
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  int level = LOG2_VERB;
  log2_ioctl(nullptr, LOG2_IOC_LEVEL, &level, sizeof level);
  log2_set_forward(log_sink);
  make_world();
  g_check.trace = getenv("QVSD_FUZZ_TRACE") != nullptr;
  std::thread(watchdog).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  clear_root();
  fill_root();
  std::vector<request> reqs = split_requests(data, size);
  g_check.reqs = &reqs;
  g_check.replies = 0;
  g_check.pending.clear();
  g_check.input_names_root = holds(reinterpret_cast<const char *>(data), size, g.conf.root_path);
  set_codec("none");

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
    fail("socketpair: %s", strerror(errno));
  g_pump = pump{sv[1], data, size, 0, false};
  net conn;
  conn.fd = sv[0];
  conn.ops = &k_pump_ops;
  conn.io_timeout = 1000;

  arm(true);
  int64_t served = qvsd_srv_session(&g.conf, &conn, "fuzz", false, &g_stop);
  arm(false);

  shutdown(sv[0], SHUT_WR);
  drain();
  net_close(&conn);
  close(sv[1]);
  if (!g_check.pending.empty())
    fail("%zu bytes of a reply frame left over", g_check.pending.size());
  /* Every request read is answered, but the exit. */
  size_t want = (size_t)served;
  if (served > 0 && (size_t)served <= reqs.size() && reqs[(size_t)served - 1].cmd == QVSD_CMD_EXIT)
    want--;
  if (g_check.replies != want)
    fail("%lld requests served, %zu replies", (long long)served, g_check.replies);

  std::string now = outside_print();
  if (now != g.print)
    fail("CONFINEMENT: something beside the export changed.\nbefore:\n%s\nafter:\n%s", g.print.c_str(), now.c_str());
  return 0;
}
