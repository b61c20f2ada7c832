#pragma once
#include <cstdint>
#include <string>
#include "libcdir/cdir_url.h"
struct librdir;
struct vrdir_param {
  uint32_t flag = 0;
  uint32_t timeout = 0;
  std::string include, exclude, dir_include, dir_exclude, misc_exclude;
};
struct vrdir;
vrdir *vrdir_open(cdir_ctx *ctx, url_info *info, bool is_output, const vrdir_param *p);
int vrdir_enum_dir(vrdir *v, const char *dir);
int vrdir_read_item_list(vrdir *v, char *buf, uint32_t len);
void vrdir_stop(vrdir *v);
void vrdir_close(vrdir *v);
