#pragma once
/* Name filters of the listing engine: four TAB-separated pattern lists, each pattern with
 * "|"-separated alternatives, matched case-insensitively against the path relative to the
 * listing root ("/a/b" for a file, "/a/b/" for a directory). */
#include <string>
#include <vector>

struct rdir_filter_group {
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  int mode = 0; /* bit 1: includes present, bit 2: excludes present */
};

struct rdir_filter {
  rdir_filter_group file;
  rdir_filter_group dir;
};

/* Compiles the lists (null or empty: no patterns); misc_exclude is accepted and not used.
 * Returns null only when memory runs out. */
rdir_filter *rdir_filter_init(const char *file_include, const char *file_exclude, const char *dir_include,
                              const char *dir_exclude, const char *misc_exclude);
/* 1 admit, 0 reject. A null filter admits everything. */
int rdir_filter_admit(const rdir_filter *f, const char *path, bool is_dir);
/* True when the filter has no pattern at all (it admits every path). */
bool rdir_filter_empty(const rdir_filter *f);
void rdir_filter_free(rdir_filter *f);
/* The directory prefix rule: true when path ends where it stops agreeing with pattern. */
bool rdir_filter_dir_prefix(const char *pattern, const char *path);
