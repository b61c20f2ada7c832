#define LOG_TAG "sdcli"
/* The batch-list service of the server and the multi-block transfers: argument texts, the batch
 * type to code mapping, and the block framing of the multi-block read and write. */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "liblog/log2.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/pl_escape.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

constexpr size_t BLOCK_HEAD = 8; /* plain length, compressed length: 4 bytes big-endian each */
/* Room kept beside a multi-block write's argument for the request's own members. */
constexpr uint32_t REQ_ROOM = 256;

int result(qvsd_cli *c, int rc)
{
  if (rc == -1)
    return -1;
  qvsd_cli_set_last_error(c, rc);
  return rc == 0 ? 0 : -1;
}

int fail(qvsd_cli *c, int code, const char *text)
{
  VPERROR_SET(c->err, code, "%s", text);
  return -1;
}

int bad_reply(qvsd_cli *c, const char *what)
{
  LOGE("%s: reply does not parse\n", what);
  return result(c, QVSD_R_DATA);
}

} // namespace

/* ---- batch-list service ---- */

int qvsd_cli_mfile_open(qvsd_cli *c, const qvsd_mfile_param *p)
{
  if (!c || !p)
    return -1;
  if (p->flags && qvsd_cli_gate(c, QVSD_VER_OWN_CODES) < 0)
    return -1;
  char arg[160];
  int len = snprintf(arg, sizeof arg, "%d\t%d\t%d\t%x\t%x\t%x\t%x", (int)p->max_mfile_size, (int)p->timeout_ms,
                     (int)p->remove_flags, p->uid, p->gid, p->mode, p->dir_mode);
  if (p->flags)
    snprintf(arg + len, sizeof arg - (size_t)len, "\t%x", p->flags);
  int n = 0;
  return qvsd_cli_ioctl2(c, QVSD_IOCTL2_MFILE_OPEN, arg, -1, nullptr, 0, &n);
}

int qvsd_cli_mfile_close(qvsd_cli *c)
{
  if (!c)
    return -1;
  int n = 0;
  return qvsd_cli_ioctl2(c, QVSD_IOCTL2_MFILE_CLOSE, nullptr, 0, nullptr, 0, &n);
}

int qvsd_cli_mfile_result(qvsd_cli *c, const char *prefix, char *buf, uint32_t len)
{
  if (!c || !buf || len == 0 || len > (uint32_t)INT32_MAX)
    return -1;
  int n = 0;
  if (qvsd_cli_ioctl2(c, QVSD_IOCTL2_MFILE_RESULT, prefix ? prefix : "", -1, buf, (int)len, &n) < 0)
    return -1;
  return n;
}

int32_t qvsd_mfile_code(int type)
{
  switch (type) {
  case 1:
    return 10133;
  case 2:
    return 10134;
  case 3:
    return 10135;
  case 4:
    return 10136;
  case 5:
    return 10138;
  case 8:
    return 10140;
  case 9:
    return 10141;
  default:
    return 0; /* 6 and 7 run only in the local batch service */
  }
}

namespace {

/* A list text larger than this is not kept after its request. */
constexpr size_t LIST_ARG_KEEP = 4u << 20;

} // namespace

int qvsd_cli_mfile_prepare(qvsd_cli *c, int type, const char *dir, const char *list, size_t list_len, bool checked)
{
  if (!c || (!list && list_len))
    return -1;
  int32_t code = qvsd_mfile_code(type);
  if (code == 0) {
    LOGE("invaild type=%d\n", type);
    VPERROR_SET(c->err, VERR_PARAM, "invaild type=%d", type);
    return -1;
  }
  bool has_dir = dir && *dir;
  bool has_list = type != 5 && list && list_len > 0;
  /* Lists of a batch job follow one another: their text is built in the same memory each time. */
  std::string &arg = c->list_arg;
  arg.clear();
  if (has_dir) {
    /* The hard-link list names two directories: the base and the one of the new links. */
    int rc = type == 9 ? str_escape_tab_zz_append(dir, &arg) : str_escape_tab_append(dir, strlen(dir), &arg);
    if (rc < 0)
      return result(c, QVSD_R_MEMORY);
  }
  if (has_list) {
    arg.push_back('\t');
    if (str_escape_tab_append(list, list_len, &arg) < 0)
      return result(c, QVSD_R_MEMORY);
    if (checked) {
      uint8_t d[16];
      pl_hash_once(PL_HASH_XXH3, list, list_len, d);
      arg.push_back('\t');
      arg += pl_hex(d, sizeof d);
    }
  }
  c->list_code = code;
  return 0;
}

int qvsd_cli_mfile_send(qvsd_cli *c)
{
  if (!c || c->list_code == 0)
    return -1;
  int n = 0;
  /* Set only by a reply that parsed: a reply that did not leaves it 0, so that a refusal is told
   * from a reply this side could not read (after which the server may well have run the list). */
  c->srv_errno = 0;
  /* The text goes with its terminating zero, as a text argument does. */
  int rc = qvsd_cli_ioctl2(c, c->list_code, c->list_arg.c_str(), static_cast<int>(c->list_arg.size() + 1), nullptr,
                           0, &n);
  /* Both words: the reply said -466 and the call ended on it (a step of its own after the reply,
   * such as a reconnection, leaves another code). */
  if (rc < 0)
    return c->srv_errno == VERR_PROTO && c->err->code == VERR_PROTO ? QVSD_MFILE_DAMAGED : -1;
  /* A sent text is not needed again: an uncommonly large one is not kept. */
  if (c->list_arg.capacity() > LIST_ARG_KEEP) {
    std::string().swap(c->list_arg);
    c->list_code = 0;
  }
  return 0;
}

namespace {

int mfile_call(qvsd_cli *c, int type, const char *dir, const char *list, size_t list_len, bool checked)
{
  if (qvsd_cli_mfile_prepare(c, type, dir, list, list_len, checked) < 0)
    return -1;
  return qvsd_cli_mfile_send(c) < 0 ? -1 : 0;
}

} // namespace

int qvsd_cli_mfile_call(qvsd_cli *c, int type, const char *dir, const char *list, size_t list_len)
{
  return mfile_call(c, type, dir, list, list_len, false);
}

int qvsd_cli_mfile_call_checked(qvsd_cli *c, int type, const char *dir, const char *list, size_t list_len)
{
  return mfile_call(c, type, dir, list, list_len, true);
}

/* ---- multi-block transfers ---- */

int64_t qvsd_cli_pread_multi(qvsd_file *f, void *buf, uint32_t bl, uint32_t count, int64_t off)
{
  if (!f || !buf)
    return -1;
  qvsd_cli *c = f->cli;
  uint32_t bound = zcomp_bound(bl);
  uint64_t olen = (uint64_t)count * (BLOCK_HEAD + bound);
  if (bl == 0 || count == 0 || off < 0 || bound == 0 || olen + QVSD_REPLY_OVERHEAD > QVSD_ATTR_LEN_MAX)
    return fail(c, VERR_PARAM, "multi-block read does not fit one frame");
  char arg[64];
  snprintf(arg, sizeof arg, "%lld\t%u\t%u", (long long)off, bl, count);
  const void *data = nullptr;
  int n = 0;
  if (qvsd_cli_ioctl2_ptr(f, QVSD_IOCTL2_PREAD_MULTI, arg, -1, &data, (int)olen, &n) < 0)
    return -1;
  const uint8_t *p = static_cast<const uint8_t *>(data);
  size_t left = (size_t)n;
  uint8_t *out = static_cast<uint8_t *>(buf);
  int64_t total = 0;
  for (uint32_t i = 0; i < count && left > 0; i++) {
    if (left < BLOCK_HEAD)
      return bad_reply(c, "pread_multi");
    uint32_t plain = qvsd_get_be32(p), packed = qvsd_get_be32(p + 4);
    p += BLOCK_HEAD;
    left -= BLOCK_HEAD;
    if (plain > bl || packed > left || (plain == 0) != (packed == 0))
      return bad_reply(c, "pread_multi");
    if (plain > 0) {
      int k = zcomp_decompress(&c->codec, p, (int)packed, out + total, (int)bl);
      if (k != (int)plain) {
        LOGD("sdcomp_unpack pack_len=%u buf_len=%u ret=%d\n", packed, bl, k);
        return result(c, QVSD_R_UNPACK);
      }
    }
    p += packed;
    left -= packed;
    total += plain;
    if (plain < bl)
      break; /* the end of the file */
  }
  if (left != 0)
    return bad_reply(c, "pread_multi"); /* blocks after the end, or more than were asked for */
  f->pos = off + total;
  return total;
}

int64_t qvsd_cli_pwrite_multi(qvsd_file *f, const void *buf, int64_t len, uint32_t bl, int64_t off)
{
  if (!f || (!buf && len))
    return -1;
  qvsd_cli *c = f->cli;
  if (len == 0)
    return 0;
  uint32_t bound = zcomp_bound(bl);
  if (bl == 0 || len < 0 || off < 0 || bound == 0)
    return fail(c, VERR_PARAM, "multi-block write does not fit one frame");
  uint64_t count = ((uint64_t)len + bl - 1) / bl;
  char head[64];
  int hn = snprintf(head, sizeof head, "%lld\t%u\t%u\n", (long long)off, bl, (unsigned)count);
  uint64_t room = (uint64_t)hn + count * (BLOCK_HEAD + bound);
  if (count > UINT32_MAX || room + REQ_ROOM > QVSD_ATTR_LEN_MAX)
    return fail(c, VERR_PARAM, "multi-block write does not fit one frame");
  std::unique_ptr<uint8_t[]> arg(new (std::nothrow) uint8_t[room]);
  if (!arg)
    return result(c, QVSD_R_MEMORY);
  memcpy(arg.get(), head, (size_t)hn);
  size_t at = (size_t)hn;
  const uint8_t *src = static_cast<const uint8_t *>(buf);
  for (int64_t done = 0; done < len;) {
    uint32_t plain = (uint32_t)std::min<int64_t>(bl, len - done);
    int k = zcomp_compress(&c->codec, src + done, (int)plain, arg.get() + at + BLOCK_HEAD, (int)bound);
    if (k <= 0)
      return result(c, QVSD_R_UNPACK);
    qvsd_put_be32(arg.get() + at, plain);
    qvsd_put_be32(arg.get() + at + 4, (uint32_t)k);
    at += BLOCK_HEAD + (size_t)k;
    done += plain;
  }
  char rep[32];
  int n = 0;
  if (qvsd_cli_ioctl2(f, QVSD_IOCTL2_PWRITE_MULTI, arg.get(), (int)at, rep, (int)sizeof rep - 1, &n) < 0)
    return -1;
  rep[n] = 0;
  while (n > 0 && (rep[n - 1] == '\0' || rep[n - 1] == '\n'))
    rep[--n] = 0;
  char *end = nullptr;
  unsigned long long w = n > 0 && rep[0] >= '0' && rep[0] <= '9' ? strtoull(rep, &end, 10) : 0;
  if (n == 0 || !end || *end || w > (unsigned long long)len)
    return bad_reply(c, "pwrite_multi");
  f->pos = off + (int64_t)w;
  return (int64_t)w;
}
