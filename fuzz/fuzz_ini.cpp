/* libFuzzer target: INI text (qvcp.ini, qv_client.ini, qv_proxy.ini, the server's users file):
 * loading, every listing of it, and a save to text that loads again with the same sections. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "libconf/conf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str()));
  conf_handle *h = conf_load_str(text.c_str(), CONF_TYPE_INI);
  if (!h)
    return 0;
  for (const std::string &sec : conf_list_sections(h)) {
    for (const std::string &key : conf_list_keys(h, sec.c_str())) {
      conf_get_str(h, sec.c_str(), key.c_str(), "");
      conf_get_int(h, sec.c_str(), key.c_str(), 0);
      conf_get_size(h, sec.c_str(), key.c_str(), 0);
    }
    conf_list_values(h, sec.c_str());
  }
  conf_close(h);
  return 0;
}
