/* libFuzzer target: the URL parser, the query lookup and the password mask on arbitrary text. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "libnet/net_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str())); /* the parser takes C text */
  static char buf[URL_BUF_SIZE];
  url u;
  if (url_parser(&u, text.c_str(), buf, sizeof buf) == 0) {
    /* every field is terminated text inside the buffer or a constant */
    volatile size_t n = strlen(u.protocol) + strlen(u.user) + strlen(u.passwd) + strlen(u.host) + strlen(u.path) +
                        strlen(u.query) + strlen(u.hash);
    (void)n;
    char out[64];
    url_get_query(&u, "read_timeout", "15", out, sizeof out);
    url_get_query_int(&u, "connect_timeout", 6);
  }
  static char masked[URL_BUF_SIZE];
  url_text_mask(text.c_str(), masked, sizeof masked);
  if (strlen(masked) >= sizeof masked)
    __builtin_trap();
  return 0;
}
