/* libFuzzer target: the escapes of names in listing and batch lines. Properties: escape then
 * unescape gives the bytes back, and unescaping arbitrary text never writes past its output. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "libpal/string/pl_escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const char *src = reinterpret_cast<const char *>(data);
  std::string esc;
  if (str_escape_tab_append(src, size, &esc) >= 0) {
    std::string back;
    if (str_unescape_cstr_append(esc.data(), esc.size(), &back) < 0 || back != std::string(src, size))
      __builtin_trap();
  }
  std::string raw;
  str_unescape_cstr_append(src, size, &raw);
  char small[16];
  str_unescape_cstr_buf(src, size, small, sizeof small);
  return 0;
}
