/* libFuzzer target: the proxy handshakes reading arbitrary replies. The first input byte picks
 * the handshake and whether a user is configured; the rest is what the proxy answers. The stream
 * is a table of its own: writes vanish, reads come from the input. */
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "libnet/net.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 1)
    return 0;
  g_feed = {data + 1, size - 1, 0};
  static proxy_desc p;
  memset(&p, 0, sizeof p);
  if (data[0] & 4) {
    strcpy(p.user, "user");
    strcpy(p.pwd, "pwd");
  }
  static net c;
  c.ops = &k_feed_ops;
  c.closed = 0;
  vperror err{};
  /* SOCKS4 resolves a name itself, which would make each run a resolver call */
  const char *host = (data[0] & 8) && (data[0] & 3) != 1 ? "name.invalid" : "127.0.0.1";
  switch (data[0] & 3) {
  case 0: proxy_http_init(&c, host, 443, &p, &err); break;
  case 1: proxy_sock4_init(&c, host, 443, &p, &err); break;
  default: proxy_sock5_init(&c, host, 443, &p, &err); break;
  }
  return 0;
}
