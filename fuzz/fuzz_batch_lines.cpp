/* libFuzzer target: the texts of batch lists and their results, as a server and a client read
 * them from each other. The first byte picks the reader:
 *   0  Base64: encode then decode gives the bytes back; decoding any text agrees with the
 *      library's codec (the same count or the same refusal, the same bytes)
 *   1  a file-write line: parsing never reads past it, and a parsed line formats again and parses
 *      to the same fields
 *   2  a write result line: stage, value and digest survive formatting and parsing
 *   3  data blocks of a read list, one after another, as a client takes them from a reply */
#include <mbedtls/base64.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_base64.h"
#include "librdir/rdir_line.h"

namespace {

void base64(const uint8_t *p, size_t n)
{
  std::string enc(str_base64_len(n) + 1, '\0');
  int k = str_base64_encode(p, n, enc.data(), enc.size());
  if (k < 0)
    __builtin_trap();
  std::vector<uint8_t> back(n + 1);
  if (str_base64_decode(enc.data(), (size_t)k, back.data(), back.size()) != (int)n ||
      memcmp(back.data(), p, n) != 0)
    __builtin_trap();
  /* The input as Base64 text. */
  std::vector<uint8_t> ours(n + 1), lib(n + 1);
  int got = str_base64_decode(reinterpret_cast<const char *>(p), n, ours.data(), ours.size());
  size_t olen = 0;
  int rc = mbedtls_base64_decode(lib.data(), lib.size(), &olen, p, n);
  if ((rc == 0) != (got >= 0))
    __builtin_trap();
  if (rc == 0 && ((size_t)got != olen || memcmp(ours.data(), lib.data(), olen) != 0))
    __builtin_trap();
}

void write_line(const uint8_t *p, size_t n)
{
  std::string line(reinterpret_cast<const char *>(p), n);
  if (line.find('\0') != std::string::npos)
    return;
  char *name = nullptr, *b64 = nullptr;
  file_attr a;
  if (libmfile_write_scanf(line.data(), &name, &a, &b64) < 0)
    return;
  std::string again;
  if (mstat_write_line(name, &a, b64, &again) < 0)
    return; /* a field that no line may carry (a tab or line break after unescaping) */
  char *name2 = nullptr, *b642 = nullptr;
  file_attr a2;
  if (libmfile_write_scanf(again.data(), &name2, &a2, &b642) < 0 || strcmp(name, name2) != 0 ||
      strcmp(b64, b642) != 0 || a.type != a2.type || a.attrib_mode != a2.attrib_mode || a.alt_mode != a2.alt_mode ||
      a.time_write != a2.time_write || a.time_access != a2.time_access || a.time_create != a2.time_create ||
      a.uid != a2.uid || a.gid != a2.gid || (a.link_name == nullptr) != (a2.link_name == nullptr))
    __builtin_trap();
}

void result_line(const uint8_t *p, size_t n)
{
  std::string text(reinterpret_cast<const char *>(p), n);
  if (text.find('\0') != std::string::npos)
    return;
  int stage = 0, value = 0;
  uint8_t d[MFILE_DIGEST_LEN];
  bool has = false;
  if (libmfile_write_get_info(text.data(), &stage, &value, d, &has) < 0)
    return;
  std::string again;
  if (libmfile_write_result_line(stage, value, &again, has ? d : nullptr) < 0)
    __builtin_trap();
  int stage2 = 0, value2 = 0;
  uint8_t d2[MFILE_DIGEST_LEN];
  bool has2 = false;
  if (libmfile_write_get_info(again.data(), &stage2, &value2, d2, &has2) < 0 || stage2 != stage || value2 != value ||
      has2 != has || (has && memcmp(d, d2, sizeof d) != 0))
    __builtin_trap();
}

void blocks(const uint8_t *p, size_t n)
{
  std::vector<uint8_t> buf(p, p + n);
  size_t off = 0;
  while (off < buf.size()) {
    mfile_data d;
    size_t used = 0;
    if (libmfile_read_get_data_len_err(buf.data() + off, buf.size() - off, &used, &d) < 0)
      return;
    if (used == 0 || used > buf.size() - off || d.data.size() > used)
      __builtin_trap();
    off += used;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size == 0)
    return 0;
  switch (data[0] % 4) {
  case 0:
    base64(data + 1, size - 1);
    break;
  case 1:
    write_line(data + 1, size - 1);
    break;
  case 2:
    result_line(data + 1, size - 1);
    break;
  default:
    blocks(data + 1, size - 1);
    break;
  }
  return 0;
}
