#pragma once
/* Compares two directory trees entry by entry and tells every difference, for tests of copies. */
#include <string>
#include <vector>

struct tree_cmp_opt {
  bool dir_times = true;  /* modification times of directories */
  bool owners = true;     /* uid and gid */
  bool xattrs = false;    /* extended attributes in the user namespace, names and values */
};

/* One line per difference ("a/b: mode 0644 != 0600", "x: only in the input", ...); empty when the
 * trees agree. Links are compared by target and never followed; times of links are not compared. */
std::vector<std::string> tree_diff(const std::string &in, const std::string &out, const tree_cmp_opt &opt = {});

/* Small fixture builders; each fails the current test on error. */
void tree_put(const std::string &path, const std::string &data, unsigned mode = 0644, long mtime = 0);
void tree_mkdir(const std::string &path, unsigned mode = 0755);
void tree_link(const std::string &target, const std::string &path);
std::string tree_read(const std::string &path);
/* A new empty directory under /tmp; removed by tree_rm. */
std::string tree_tmpdir(const char *tag);
void tree_rm(const std::string &path);
