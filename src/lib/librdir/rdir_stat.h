#pragma once
/* Listing text to stat list: parses the 16-field listing lines of one directory into items,
 * dropping what a Windows target cannot hold, marking further names of hard-linked files and
 * adding one item per alternate stream or extended attribute. */
#include <atomic>
#include <cstdint>
#include <string>

#include "librdir/hardlink.h"
#include "librdir/mstat.h"

/* Per-side parse context; the enumeration thread of the side fills and uses it, the counters
 * may be read from other threads. */
struct stat_parse_ctx {
  bool win_target = false; /* the target host has no POSIX modes */
  bool hardlink = false;   /* hard-link detection on (needs hl) */
  std::atomic<uint64_t> drop_files{0};
  std::atomic<uint64_t> drop_dirs{0};
  std::string dir;            /* directory of the lines, relative to the root ("" for the root) */
  hardlink_table *hl = nullptr; /* not owned */
};

/* Parses text (lines separated by "\n", empty lines skipped; split in place) and appends the
 * items to list. ctx may be null: no drop rules, no hard-link detection. Returns 0 when every line
 * was read, or -1 at the first line that does not give 16 fields (logged "ret=%d error: ret!=16";
 * the items of the earlier lines stay in the list). Items whose copy fails for lack of memory
 * are counted in the list's failure count. */
int str_2_stat(char *text, stat_parse_ctx *ctx, mstat *list);
