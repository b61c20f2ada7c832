#pragma once
/* Directory listing of one side, as the engine reads it: the listing handle of the side's
 * endpoint (libep/ep.h) with the engine's read loop around it. One object per side; one thread
 * reads it, any thread may stop it. */
#include <cstdint>
#include <string>

#include "libcdir/cdir_url.h"

struct vrdir_param {
  uint32_t flag = 0;    /* listing flags (LIBRDIR_F_*) */
  uint32_t timeout = 0; /* read time-out of one listing read in ms; 0: the engine's default */
  bool mkdirs = false;  /* output side: create a missing root with its parents */
  std::string include, exclude, dir_include, dir_exclude, misc_exclude;
};

struct vrdir {
  cdir_ctx *ctx = nullptr;
  ep_list *l = nullptr;
  std::string url;  /* resolved, kept for reconnecting */
  std::string path; /* the side's root */
  vperror err{};
  vrdir_param p;
};

/* Opens the listing of the side's root; the listing of the root starts at once. Null on failure
 * (the engine error says why). */
vrdir *vrdir_open(cdir_ctx *ctx, url_info *info, bool is_output, const vrdir_param *p);
/* Asks for the listing of one more directory (a full path of the side). */
int vrdir_enum_dir(vrdir *v, const char *dir);
/* The next chunk of listing text into buf, NUL-terminated, at most len - 1 bytes (len must exceed
 * the 64 KiB in which local listing lines are batched, plus one line): returns the
 * byte count, or -1 when the read failed, the run is stopping, or nothing came for the engine's
 * longest read time-out (engine error -40). */
int vrdir_read_item_list(vrdir *v, char *buf, uint32_t len);
void vrdir_stop(vrdir *v);
void vrdir_close(vrdir *v);
