/* libFuzzer target: listing lines (the 16-field text form of an entry) as a peer or a listing
 * file could send them, parsed into a stat list with and without hard-link detection. Property: a
 * line made from a parsed item parses again to the same name, type and size. */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "libpal/os/os_dirent.h"
#include "librdir/hardlink.h"
#include "librdir/mstat.h"
#include "librdir/rdir_line.h"
#include "librdir/rdir_stat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str()));
  for (int mode = 0; mode < 3; ++mode) {
    mstat *m = mstat_alloc(nullptr);
    if (!m)
      return 0;
    stat_parse_ctx ctx;
    ctx.win_target = mode == 1;
    hardlink_table *hl = nullptr;
    if (mode == 2) {
      hl = hardlink_table_alloc();
      ctx.hardlink = hl != nullptr;
      ctx.hl = hl;
    }
    std::string work = text;
    str_2_stat(work.data(), &ctx, m);
    uint64_t n = 0;
    mstat_item *items = mstat_get_item(m, &n);
    for (uint64_t i = 0; i < n; ++i) {
      if (!items[i].name)
        __builtin_trap();
      volatile size_t len = strlen(items[i].name) + (items[i].link_name ? strlen(items[i].link_name) : 0);
      (void)len;
    }
    mstat_free(m);
    if (hl)
      hardlink_table_free(hl);
  }
  return 0;
}
