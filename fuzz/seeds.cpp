/* Writes seed corpora that are streams of real records, built with the project's own writers:
 *   seeds fuzz_qvsd_session DIR    request streams as a client sends them (the shared wire
 *                                  encoder), naming the export the target makes (a.txt,
 *                                  sparse.bin, sub/, pipe, up -> ../outside, abs ->
 *                                  outside/secret); handles count from 3 in the order of the
 *                                  opens, as the server gives them
 *   seeds fuzz_listing_stream DIR  generation-2 listing streams of small trees written by the
 *                                  listing engine, each behind a control byte
 * Run by hand when a format changes; the files go into the repository's seed corpus. */
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "libpack/zcomp.h"
#include "libpal/os/os_dirent.h"
#include "libpal/tframe/file_hash.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"
#include "libqvsd/qvsd_wire.h"
#include "librdir/librdir.h"

namespace {

/* One request stream. Each member call appends to the message being built; send() frames it. */
struct stream {
  std::string bytes;
  qvsd_msg m;
  bool ok = true;
  stream() { ok = qvsd_msg_reset(&m) == 0; }
  ~stream() { qvsd_msg_free(&m); }
  stream &str(const char *n, const char *v) { ok = ok && qvsd_msg_add_str(&m, n, v) == 0; return *this; }
  stream &i64(const char *n, int64_t v) { ok = ok && qvsd_msg_add_i64(&m, n, v) == 0; return *this; }
  stream &i32(const char *n, int32_t v) { ok = ok && qvsd_msg_add_i32(&m, n, v) == 0; return *this; }
  stream &raw(const char *n, const std::string &v)
  {
    ok = ok && qvsd_msg_add_raw(&m, n, v.data(), (uint32_t)v.size()) == 0;
    return *this;
  }
  stream &send(uint8_t cmd)
  {
    uint8_t head[QVSD_FRAME_HEAD];
    qvsd_frame_head(head, QVSD_PROTO_CLIENT, cmd, m.data);
    bytes.append(reinterpret_cast<const char *>(head), sizeof head);
    bytes.append(reinterpret_cast<const char *>(m.data) + 4, m.len - 4);
    ok = ok && qvsd_msg_reset(&m) == 0;
    return *this;
  }

  stream &login() { return str("user", ":").str("passwd", "").send(QVSD_CMD_LOGIN); }
  stream &exit() { return send(QVSD_CMD_EXIT); }
  stream &open(const char *path, int64_t mode) { return str("path", path).i64("mode", mode).send(QVSD_CMD_OPEN); }
  stream &close(int64_t fd) { return i64("fd", fd).send(QVSD_CMD_CLOSE); }
  stream &path_cmd(uint8_t cmd, const char *path) { return str("path", path).send(cmd); }
  /* File ioctl: the argument text is sent with its NUL, as the client does. */
  stream &ioctl(int32_t code, const std::string &text, int64_t fd = 0)
  {
    std::string arg = text + std::string(1, '\0');
    return i64("fd", fd).i32("cmd", code).i32("len", (int32_t)arg.size()).raw("data", arg).send(QVSD_CMD_IOCTL);
  }
  stream &ioctl2(int32_t code, const std::string &arg, int32_t olen = 4096, int64_t fd = 0)
  {
    return i64("fd", fd).i32("cmd", code).raw("data", arg).i32("olen", olen).send(QVSD_CMD_IOCTL2);
  }
};

std::string attr_text(uint32_t type, uint32_t mode)
{
  file_attr a;
  a.type = type;
  a.attrib_mode = mode;
  a.alt_mode = 0x80;
  a.time_create = a.time_write = a.time_access = 1700000000;
  char text[256];
  return qvsd_attr_text(&a, text, sizeof text) < 0 ? std::string() : std::string(text);
}

std::string packed(const std::string &plain)
{
  zcomp z;
  snprintf(z.name, sizeof z.name, "lz4");
  std::string out(zcomp_bound((uint32_t)plain.size()), '\0');
  int n = zcomp_open(&z) < 0 ? -1 : zcomp_compress(&z, plain.data(), (int)plain.size(), out.data(), (int)out.size());
  zcomp_close(&z);
  out.resize(n > 0 ? (size_t)n : 0);
  return out;
}

bool save(const std::string &dir, const char *name, const stream &s)
{
  if (!s.ok) {
    fprintf(stderr, "%s: a request does not build\n", name);
    return false;
  }
  std::string path = dir + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  bool ok = f && fwrite(s.bytes.data(), 1, s.bytes.size(), f) == s.bytes.size();
  if (f && fclose(f) != 0)
    ok = false;
  if (!ok)
    fprintf(stderr, "%s: cannot write\n", path.c_str());
  return ok;
}

bool session_seeds(const std::string &dir)
{
  bool ok = true;
  const std::string file_attr_text = attr_text(TYPE_FILE, 0100644);

  {
    stream s;
    s.login().str("param", "").send(QVSD_CMD_INFO).ioctl(QVSD_IOCTL_PING, "").exit();
    ok &= save(dir, "login_info", s);
  }
  {
    /* The key login of the one account with a wrong key, then the probe refused as a second login. */
    stream s;
    s.str("user", "fuzzuser").i32("ver", 1).send(QVSD_CMD_LOGIN_CHALLENGE);
    s.str("lkey", "0123456789abcdef0123456789abcdef01234567").send(QVSD_CMD_LOGIN_KEY);
    s.str("user", "fuzzuser").str("passwd", "{SHA}x").send(QVSD_CMD_LOGIN);
    s.login().login().exit();
    ok &= save(dir, "login_key", s);
  }
  {
    stream s;
    s.login().open("/new.txt", O_WRONLY | O_CREAT | O_TRUNC);  /* fd 3 */
    s.i64("fd", 3).i32("flags", 0).i32("len", 6).raw("data", "hello\n").send(QVSD_CMD_WRITE);
    s.i64("fd", 3).i32("flags", 0).i32("len", 4).i64("offset", 100).raw("data", "tail").send(QVSD_CMD_PWRITE);
    s.i64("fd", 3).i64("offset", 0).i64("mode", 2).send(QVSD_CMD_SEEK);
    s.i64("fd", 3).i64("len", 50).send(QVSD_CMD_SETLEN);
    s.i64("fd", 3).send(QVSD_CMD_FSTAT).i64("fd", 3).send(QVSD_CMD_FSTAT_L);
    s.ioctl(QVSD_IOCTL_CLOSE_ATTR, file_attr_text, 3);
    s.open("/a.txt", O_RDONLY);  /* fd 4 */
    s.i64("fd", 4).i32("len", 100).send(QVSD_CMD_READ);
    s.i64("fd", 4).i32("len", 5).i64("offset", 6).send(QVSD_CMD_PREAD);
    s.close(4).exit();
    ok &= save(dir, "file_write_read", s);
  }
  {
    stream s;
    s.login().path_cmd(QVSD_CMD_STAT, "/a.txt").path_cmd(QVSD_CMD_STAT_L, "/sub").path_cmd(QVSD_CMD_STAT2, "/up");
    s.path_cmd(QVSD_CMD_STATFS, "/").ioctl2(QVSD_IOCTL2_STAT, "/sparse.bin\t0").ioctl2(QVSD_IOCTL2_STAT, "/abs\t0");
    s.exit();
    ok &= save(dir, "stat", s);
  }
  {
    stream s;
    s.login().str("path", "/").str("pattern", "*").send(QVSD_CMD_OPENDIR);  /* fd 3 */
    s.i64("fd", 3).i32("len", 4096).send(QVSD_CMD_READDIR).i64("fd", 3).i32("len", 4096).send(QVSD_CMD_READDIR);
    s.i64("fd", 3).send(QVSD_CMD_CLOSEDIR);
    s.str("path", "/sub").str("pattern", "").i32("flag", 0).send(QVSD_CMD_OPENDIR2);  /* fd 4 */
    s.i64("fd", 4).i32("len", 64).send(QVSD_CMD_READDIR_L).i64("fd", 4).i32("len", 4096).send(QVSD_CMD_READDIR_L);
    s.i64("fd", 4).send(QVSD_CMD_CLOSEDIR).exit();
    ok &= save(dir, "opendir_readdir", s);
  }
  {
    /* Walks of both generations with short read time-outs, and the dropped count. */
    stream s;
    s.login().ioctl2(QVSD_IOCTL2_RDIR_OPEN, "/\t200\t50\t\t\t\t\t").ioctl2(QVSD_IOCTL2_RDIR_ENUM, "/");
    s.ioctl2(QVSD_IOCTL2_RDIR_READ, "", 65536).ioctl2(QVSD_IOCTL2_RDIR_READ, "", 65536);
    s.ioctl2(QVSD_IOCTL2_RDIR_DROPPED, "").ioctl2(QVSD_IOCTL2_RDIR_CLOSE, "");
    s.ioctl2(QVSD_IOCTL2_RDIR_OPEN, "/sub\t0\t20\t*.txt\t\t\t\t").ioctl2(QVSD_IOCTL2_RDIR_ENUM, "/sub");
    s.ioctl2(QVSD_IOCTL2_RDIR_READ, "", 65536).ioctl2(QVSD_IOCTL2_RDIR_ENUM, "/sub/deep");
    s.ioctl2(QVSD_IOCTL2_RDIR_READ, "", 65536).exit();
    ok &= save(dir, "walk", s);
  }
  {
    stream s;
    s.login().ioctl(QVSD_IOCTL_CREATE, "/made.txt\t\t" + file_attr_text + "\t0\t0");
    s.ioctl(QVSD_IOCTL_CREATE, "/made_link\ta.txt\t" + attr_text(TYPE_FILE | TYPE_F_SYMLINK, 0120777));
    s.ioctl(QVSD_IOCTL_CREATE, "/made_dir\t\t" + attr_text(TYPE_DIR, 040755) + "\t2\t0");
    s.ioctl(QVSD_IOCTL_CREATE, "/made_fifo\t\t" + attr_text(TYPE_DEV, 010644));
    s.ioctl(QVSD_IOCTL_MKDIR_P, "/x/y/z\t750").ioctl(QVSD_IOCTL_SET_ATTR_PATH, "/x/y\t" + attr_text(TYPE_DIR, 040700));
    s.ioctl(QVSD_IOCTL_LUTIME, "/made.txt\t1600000000\t1600000001\t0\t0\t0\t0");
    s.ioctl(QVSD_IOCTL_REMOVE2, "/made.txt\t0").ioctl(QVSD_IOCTL_RMDIR2, "/x\t1").ioctl(QVSD_IOCTL_RMDIR2, "/made_dir\t0");
    s.exit();
    ok &= save(dir, "create_remove", s);
  }
  {
    stream s;
    s.login().ioctl2(QVSD_IOCTL2_RENAME, "/a.txt\t/b.txt\t0").ioctl2(QVSD_IOCTL2_RENAME, "/b.txt\t/sub/c.txt\t1");
    s.ioctl2(QVSD_IOCTL2_HARD_LINK, "/b.txt\t/b_again.txt");
    s.ioctl2(QVSD_IOCTL2_XATTR_SET, std::string("/b.txt\tuser.fuzz\tv\0alue", 20));
    s.ioctl2(QVSD_IOCTL2_XATTR_GET, "/b.txt\tuser.fuzz").ioctl2(QVSD_IOCTL2_LOOKUP_IDS, "root\tnogroup");
    s.ioctl2(QVSD_IOCTL2_LOOKUP_IDS, "no-such-user\t").exit();
    ok &= save(dir, "rename_link_xattr", s);
  }
  {
    /* A digest job, whole-file digests and the data ranges of the sparse file. */
    stream s;
    s.login().open("/sparse.bin", O_RDONLY);  /* fd 3 */
    char init[64];
    snprintf(init, sizeof init, "3\t%u\t4096\t4\t", (unsigned)(FILE_HASH_MD5 | FILE_HASH_PXXH3));
    s.ioctl2(QVSD_IOCTL2_HASH_INIT, init, 4096, 3).ioctl2(QVSD_IOCTL2_HASH_RANGE, "0\t8192", 4096, 3);
    s.ioctl2(QVSD_IOCTL2_HASH_GET2, "", 4096, 3).ioctl2(QVSD_IOCTL2_HASH_BLOCK, "1", 4096, 3);
    s.ioctl2(QVSD_IOCTL2_HASH_CLOSE, "", 4096, 3);
    s.ioctl2(QVSD_IOCTL2_FILE_DIGEST, "xxh3", 4096, 3).ioctl2(QVSD_IOCTL2_FILE_DIGEST, "sha256", 4096, 3);
    s.ioctl2(QVSD_IOCTL2_NEXT_DATA, "0", 4096, 3).ioctl2(QVSD_IOCTL2_NEXT_DATA, "4096", 4096, 3);
    s.ioctl2(QVSD_IOCTL2_NEXT_DATA, "200000", 4096, 3).close(3).exit();
    ok &= save(dir, "digest_next_data", s);
  }
  {
    stream s;
    s.login().ioctl2(QVSD_IOCTL2_OUTPUT_LOCK, "/\t1\thost 1234").ioctl2(QVSD_IOCTL2_OUTPUT_LOCK, "/\t1\thost 1234");
    s.ioctl2(QVSD_IOCTL2_OUTPUT_LOCK, "/\t0\t").exit();
    ok &= save(dir, "output_lock", s);
  }
  {
    /* The lz4 codec: a packed write, then a packed read and directory batch back. */
    stream s;
    std::string plain(3000, 'z');
    s.login().ioctl(QVSD_IOCTL_PACK, "lz4").open("/packed.txt", O_WRONLY | O_CREAT | O_TRUNC);  /* fd 3 */
    s.i64("fd", 3).i32("flags", 0).i32("len", (int32_t)plain.size()).raw("data", packed(plain)).send(QVSD_CMD_WRITE);
    s.close(3).open("/packed.txt", O_RDONLY);  /* fd 4 */
    s.i64("fd", 4).i32("len", 4096).send(QVSD_CMD_READ).close(4);
    s.str("path", "/").str("pattern", "").send(QVSD_CMD_OPENDIR);  /* fd 5 */
    s.i64("fd", 5).i32("len", 4096).send(QVSD_CMD_READDIR).ioctl(QVSD_IOCTL_PACK, "none").exit();
    ok &= save(dir, "pack_lz4", s);
  }
  {
    /* Every way out of the export a client might try: dot-dot, links inside pointing out, a
     * walk and a lock through a link. */
    stream s;
    s.login().path_cmd(QVSD_CMD_STAT, "/../sentinel").path_cmd(QVSD_CMD_STAT, "/up/secret");
    s.open("/abs", O_RDONLY).open("/up/secret", O_RDONLY).open("/sub/back", O_WRONLY | O_CREAT | O_TRUNC);
    s.open("/up/new", O_WRONLY | O_CREAT | O_TRUNC).open("/pipe", O_RDONLY);
    s.str("path", "/up").str("pattern", "").send(QVSD_CMD_OPENDIR);
    s.ioctl(QVSD_IOCTL_CREATE, "/up/made\t\t" + file_attr_text).ioctl(QVSD_IOCTL_MKDIR_P, "/up/x/y");
    s.ioctl(QVSD_IOCTL_SET_ATTR_PATH, "/abs\t" + attr_text(TYPE_FILE, 0100666));
    s.ioctl(QVSD_IOCTL_LUTIME, "/up/secret\t1\t1\t0\t0\t0\t0").ioctl(QVSD_IOCTL_RMDIR2, "/up\t1");
    s.ioctl2(QVSD_IOCTL2_RENAME, "/a.txt\t/up/a.txt\t0").ioctl2(QVSD_IOCTL2_HARD_LINK, "/up/secret\t/stolen");
    s.ioctl2(QVSD_IOCTL2_XATTR_SET, "/abs\tuser.x\t1").ioctl2(QVSD_IOCTL2_RDIR_OPEN, "/up\t200\t20\t\t\t\t\t");
    s.ioctl2(QVSD_IOCTL2_RDIR_OPEN, "/\t200\t20\t\t\t\t\t").ioctl2(QVSD_IOCTL2_RDIR_ENUM, "/up");
    s.ioctl2(QVSD_IOCTL2_OUTPUT_LOCK, "/up\t1\tx").ioctl(QVSD_IOCTL_REMOVE2, "/up\t0").exit();
    ok &= save(dir, "escape_attempts", s);
  }
  return ok;
}

/* ---- listing streams ---- */

bool put(const std::string &path, const std::string &text)
{
  FILE *f = fopen(path.c_str(), "wb");
  bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && fclose(f) != 0)
    ok = false;
  return ok;
}

/* The whole generation-2 stream of a walk of root, up to its final "\r". */
std::string walk_stream(const std::string &root, uint32_t flag)
{
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2 | flag;
  p.timeout = 2000;
  librdir *h = librdir_open(root.c_str(), &p);
  if (!h)
    return "";
  std::string all;
  std::vector<char> buf(65536);
  for (int idle = 0; idle < 5;) {
    int n = librdir_read_item_list(h, buf.data(), (uint32_t)buf.size());
    if (n < 0)
      break;
    if (n == 0) {
      idle++;
      continue;
    }
    all.append(buf.data(), (size_t)n);
    if (all.size() >= 2 && all.compare(all.size() - 2, 2, "\r\r") == 0)
      break;
  }
  librdir_close(h);
  return all;
}

bool listing_seeds(const std::string &dir)
{
  char tmpl[] = "/tmp/seeds_listing.XXXXXX";
  if (!mkdtemp(tmpl))
    return false;
  const std::string r = tmpl;
  bool ok = mkdir((r + "/d1").c_str(), 0755) == 0 && mkdir((r + "/d1/d2").c_str(), 0700) == 0 &&
            mkdir((r + "/odd\\dir\nname").c_str(), 0755) == 0;
  ok = ok && put(r + "/f1", "one") && put(r + "/d1/f2", "two two") && put(r + "/d1/d2/f3", "") &&
       put(r + "/odd\\dir\nname/tab\tfile", "t");
  ok = ok && link((r + "/f1").c_str(), (r + "/d1/f1_again").c_str()) == 0 &&
       symlink("../f1", (r + "/d1/to_f1").c_str()) == 0 && mkfifo((r + "/fifo").c_str(), 0644) == 0;
  /* An extended attribute becomes the stream list of its file with the attribute flag. */
  setxattr((r + "/f1").c_str(), "user.seed", "v", 1, 0);
  if (!ok) {
    fprintf(stderr, "cannot make the tree in %s\n", r.c_str());
    return false;
  }
  const struct {
    const char *name;
    uint8_t control; /* bit 0 no POSIX modes, bit 1 hard links, bits 2-7 chunk stride - 1 */
    uint32_t flag;
    std::string extra; /* bytes appended to the walk's stream */
  } walks[] = {
      {"walk_plain", 7u << 2, 0, ""},
      {"walk_hardlinks", 2 | 31u << 2, 0, ""},
      {"walk_xattr_nomode", 1 | 0u << 2, LIBRDIR_F_XATTR, ""},
  };
  for (const auto &w : walks) {
    std::string s = walk_stream(r, w.flag);
    if (s.empty() || !put(dir + "/" + w.name, std::string(1, (char)w.control) + s + w.extra)) {
      fprintf(stderr, "%s: no stream\n", w.name);
      ok = false;
    }
  }
  /* Records a walk writes seldom: a directory that could not be read, one walked twice, and
   * directories dropped for their path length. */
  ok = ok && put(dir + "/records_error_twice_dropped",
                 std::string(1, (char)(3u << 2)) + "O /\nD d1\t\t1\t41ed\t80\t0\t0\t0\t0\t0\t0\t2\t0\t1\t1\t\nE 0\r" +
                     "O d1\nR -13\r" + "O d1\nE 0\r" + "X 2\r" + "\r");
  std::string rm = "rm -rf '" + r + "'";
  if (system(rm.c_str()) != 0)
    ok = false;
  return ok;
}

} // namespace

int main(int argc, char **argv)
{
  if (argc != 3) {
    fprintf(stderr, "usage: %s fuzz_qvsd_session|fuzz_listing_stream DIR\n", argv[0]);
    return 2;
  }
  const std::string target = argv[1], dir = argv[2];
  if (target == "fuzz_qvsd_session")
    return session_seeds(dir) ? 0 : 1;
  if (target == "fuzz_listing_stream")
    return listing_seeds(dir) ? 0 : 1;
  fprintf(stderr, "no seeds for %s\n", target.c_str());
  return 2;
}
