/* libFuzzer target: the service's frame reader and reply decoder. The first input byte picks a
 * reply policy (every one of the command table and a nested table); the rest is what the server
 * sends: it is read as a frame through a stream table of its own, decoded against the policy, and
 * every filled slot is read as its type. The texts of the information reply go through their
 * parsers too, and so does the first line as a directory entry line of both forms. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

struct feed {
  const uint8_t *data;
  size_t size;
  size_t pos;
};
feed g_feed;

int feed_read(net *, void *buf, int n)
{
  size_t left = g_feed.size - g_feed.pos;
  size_t k = (size_t)n < left ? (size_t)n : left;
  memcpy(buf, g_feed.data + g_feed.pos, k);
  g_feed.pos += k;
  return (int)k;
}
int feed_write(net *, const void *, int n)
{
  return n;
}
void feed_close(net *) {}

const net_ops k_feed_ops = {
    .name = "fuzz",
    .read = feed_read,
    .write = feed_write,
    .close = feed_close,
};

const qvsd_policy k_nested[] = {QVSD_POLICY_HEAD, {"t", QVSD_T_TABLE}, {"a", QVSD_T_ARRAY}, {"any", QVSD_T_UNSPEC}};

void touch(const void *a, const qvsd_policy &p, uint64_t *sink)
{
  switch (p.type ? p.type : qvsd_attr_type(a)) {
  case QVSD_T_INT64:
    *sink += (uint64_t)qvsd_attr_i64(a);
    break;
  case QVSD_T_INT32:
    *sink += (uint64_t)qvsd_attr_i32(a);
    break;
  case QVSD_T_INT16:
    *sink += (uint64_t)qvsd_attr_i16(a);
    break;
  case QVSD_T_INT8:
    *sink += (uint64_t)qvsd_attr_i8(a);
    break;
  case QVSD_T_STRING: {
    const char *s = qvsd_attr_str(a);
    *sink += strlen(s);
    char out[64];
    if (qvsd_info_get(s, "ver", out, sizeof out) == 0)
      *sink += qvsd_version_parse(out);
    break;
  }
  default: {
    const uint8_t *d = static_cast<const uint8_t *>(qvsd_attr_data(a));
    uint32_t n = qvsd_attr_data_len(a);
    for (uint32_t i = 0; i < n; i++)
      *sink += d[i];
  }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 1)
    return 0;
  constexpr size_t ncmd = sizeof qvsd_cmd_table / sizeof qvsd_cmd_table[0];
  const qvsd_policy *pol = k_nested;
  int n = (int)(sizeof k_nested / sizeof k_nested[0]);
  size_t pick = data[0] % (ncmd + 1);
  if (pick < ncmd && qvsd_cmd_table[pick].reply) {
    pol = qvsd_cmd_table[pick].reply;
    n = qvsd_cmd_table[pick].nreply;
  }
  g_feed = {data + 1, size - 1, 0};
  static qvsd_cli *c = [] {
    qvsd_cli *x = new qvsd_cli();
    x->err = &x->own_err;
    return x;
  }();
  c->conn.ops = &k_feed_ops;
  c->conn.closed = 0;
  c->proto = 0;
  c->reply_max = 1u << 20;
  uint32_t len = 0;
  if (qvsd_recv_request_len(c, &len) != 0)
    return 0;
  const void *slots[32];
  if (cli_blobmsg_parse(pol, n, slots, c->rep + 4, len - 4) != 0)
    return 0;
  uint64_t sink = 0;
  for (int i = 0; i < n; i++)
    if (slots[i])
      touch(slots[i], pol[i], &sink);
  /* the texts alone, as the information reply carries them */
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  char out[64];
  if (qvsd_info_get(text.c_str(), "plat", out, sizeof out) == 0)
    sink += strlen(out);
  sink += qvsd_version_parse(text.c_str());
  for (bool long_form : {false, true}) {
    std::string line = text.substr(0, text.find('\n'));
    os_dirent d;
    if (qvsd_dirent_line_parse(line.data(), long_form, &d) == 0)
      sink += strlen(d.name) + strlen(d.link_name);
  }
  /* keeps the reads of every value from being optimised away */
  __asm__ volatile("" : : "r"(sink));
  return 0;
}
