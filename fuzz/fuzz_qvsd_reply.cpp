/* libFuzzer target: the client's readers of the file service's text replies — the entry line of
 * directory reads and status (both forms), the owner lookup, the next data of a file, the
 * whole-file digest and the count of directories a walk dropped.
 *
 * Input: the reply text up to the first NUL; after that NUL, the decimal offset the next-data
 * request asked for (0 when absent). The digest reader gets every byte, NULs included.
 * Properties: whatever a reader accepts is in the range its contract promises, and written back
 * in the server's form it reads again to the same values. */
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libpal/os/os_dirent.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_tree.h"

namespace {

[[noreturn]] void fail(const char *what)
{
  fprintf(stderr, "fuzz_qvsd_reply: %s\n", what);
  __builtin_trap();
}

/* The entry line in the layout the server writes: 10 fields, or 19 in the long form. */
std::string entry_text(const os_dirent &d, bool long_form)
{
  char buf[512];
  snprintf(buf, sizeof buf, "%u\t%u\t%u\t%u\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t", d.type,
           d.attrib_mode, d.uid, d.gid, d.time_access, d.time_write, d.time_create, d.size);
  std::string out = buf;
  if (long_form) {
    snprintf(buf, sizeof buf, "%u\t%u\t%u\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t",
             d.time_access_ns, d.time_write_ns, d.time_create_ns, d.st_nlink, d.st_dev, d.st_rdev, d.st_ino,
             d.st_blksize, d.st_blocks);
    out += buf;
  }
  out += d.name;
  out += '\t';
  out += d.link_name;
  return out;
}

bool same_entry(const os_dirent &a, const os_dirent &b)
{
  return a.type == b.type && a.attrib_mode == b.attrib_mode && a.uid == b.uid && a.gid == b.gid &&
         a.time_access == b.time_access && a.time_write == b.time_write && a.time_create == b.time_create &&
         a.size == b.size && a.time_access_ns == b.time_access_ns && a.time_write_ns == b.time_write_ns &&
         a.time_create_ns == b.time_create_ns && a.st_nlink == b.st_nlink && a.st_dev == b.st_dev &&
         a.st_rdev == b.st_rdev && a.st_ino == b.st_ino && a.st_blksize == b.st_blksize &&
         a.st_blocks == b.st_blocks && strcmp(a.name, b.name) == 0 && strcmp(a.link_name, b.link_name) == 0;
}

void entry_lines(const std::string &text)
{
  for (bool long_form : {false, true}) {
    std::string work = text;
    os_dirent d;
    if (qvsd_dirent_line_parse(work.data(), long_form, &d) < 0)
      continue;
    std::string again = entry_text(d, long_form);
    os_dirent e;
    if (qvsd_dirent_line_parse(again.data(), long_form, &e) < 0 || !same_entry(d, e))
      fail("an entry written back does not read as itself");
  }
}

void lookup_ids(const char *text)
{
  int64_t u = 0, g = 0;
  if (qvsd_lookup_ids_parse(text, &u, &g) < 0)
    return;
  if (u < -1 || g < -1 || u > UINT32_MAX || g > UINT32_MAX)
    fail("owner lookup out of range");
  std::string again = std::to_string(u) + "\t" + std::to_string(g);
  int64_t u2 = 0, g2 = 0;
  if (qvsd_lookup_ids_parse(again.c_str(), &u2, &g2) < 0 || u2 != u || g2 != g)
    fail("owner lookup written back does not read as itself");
}

void next_data(const char *text, uint64_t off)
{
  uint64_t a = 0, b = 0;
  int flag = qvsd_next_data_parse(text, off, &a, &b);
  if (flag < 0)
    return;
  if (flag > 1)
    fail("next data: flag out of range");
  /* A data range that does not move past off would have the copy loop ask for the same range
   * again forever (or go back). */
  if (flag == 0 && (a < off || b <= a))
    fail("next data: an accepted range does not move forward");
  std::string again = std::to_string(a) + "\t" + std::to_string(b) + "\t" + std::to_string(flag);
  uint64_t a2 = 0, b2 = 0;
  if (qvsd_next_data_parse(again.c_str(), off, &a2, &b2) != flag || (flag == 0 && (a2 != a || b2 != b)))
    fail("next data written back does not read as itself");
}

void file_digest(const uint8_t *data, size_t size)
{
  constexpr size_t len = 16;
  uint8_t out[len];
  if (qvsd_file_digest_parse(reinterpret_cast<const char *>(data), size, out, len) < 0)
    return;
  static const char hex[] = "0123456789abcdef";
  char again[2 * len];
  for (size_t i = 0; i < len; i++) {
    again[2 * i] = hex[out[i] >> 4];
    again[2 * i + 1] = hex[out[i] & 15];
    char a = data[2 * i], b = data[2 * i + 1];
    if ((a | 0x20) != again[2 * i] || (b | 0x20) != again[2 * i + 1])
      fail("digest bytes differ from the hex they came from");
  }
  uint8_t out2[len];
  if (qvsd_file_digest_parse(again, sizeof again, out2, len) < 0 || memcmp(out, out2, len) != 0)
    fail("digest written back does not read as itself");
}

void rdir_dropped(const char *text)
{
  int64_t v = qvsd_rdir_dropped_parse(text);
  if (v < -1)
    fail("dropped count below -1");
  if (v >= 0 && qvsd_rdir_dropped_parse(std::to_string(v).c_str()) != v)
    fail("dropped count written back does not read as itself");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string all(reinterpret_cast<const char *>(data), size);
  std::string text = all.substr(0, strlen(all.c_str()));
  uint64_t off = 0;
  if (text.size() < all.size())
    off = strtoull(all.c_str() + text.size() + 1, nullptr, 10);
  entry_lines(text);
  lookup_ids(text.c_str());
  next_data(text.c_str(), off);
  file_digest(data, size);
  rdir_dropped(text.c_str());
  return 0;
}
