#pragma once
/* An endpoint kind whose trees live in this process's memory, for tests that run the engine end to
 * end without touching a disk, and that make a side fail where and how they choose.
 *
 * One namespace serves every "mem:" URL: "mem:/in" and "mem:/out" are two directories of it, and
 * the path after "mem:" is absolute. It keeps directories, regular files with their data and
 * symbolic links, each with mode, owner and times (whole seconds, as the engine hands them on).
 * Device nodes, FIFOs, sockets, hard links, extended attributes and streams are not kept: those
 * slots answer -37. Listings are generation 1 only and list every entry (patterns are not applied).
 *
 * Threads: every call takes one mutex over the namespace, so the engine's walker, executor and pool
 * may call at once; the test builds and inspects trees between runs. */
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "libep/ep.h"

extern const ep_ops mem_ep_ops;

/* Faults a test switches on; an empty path switches that fault off. Paths are of the namespace
 * ("/in/a"), not URLs. */
struct mem_ep_fault {
  /* The listing of this directory delivers its first list_entries entries (in name order), then
   * ends both of its parts with list_code. */
  std::string list_dir;
  size_t list_entries = 0;
  int list_code = VERR_DEV_IO;
  /* Instead of an end code, reading that listing fails with list_code: the stream itself broke. */
  bool list_breaks = false;
  /* Writes to this file accept write_after bytes in all, then fail with write_code. */
  std::string write_path;
  uint64_t write_after = 0;
  int write_code = VERR_DISK_FULL;
};

/* What the writing slots received since the last reset. */
struct mem_ep_counters {
  uint64_t pwrite_calls = 0;
  uint64_t pwrite_bytes = 0;
  std::map<std::string, uint64_t> written; /* bytes that pwrite received, per path */
  uint64_t removed = 0;                    /* entries removed by remove and remove_tree */
};

/* Empties the namespace (only "/" is left), clears the faults and the counters. */
void mem_ep_reset();
void mem_ep_set_fault(const mem_ep_fault &f);
mem_ep_counters mem_ep_get_counters();
void mem_ep_reset_counters();

/* Builders: missing parent directories are made (0755). A time of 0 means a fixed time in the
 * past. 0, or a negative code when a parent is not a directory or the name is not usable. */
int mem_ep_put(const std::string &path, const std::string &data, unsigned mode = 0644, int64_t mtime = 0);
int mem_ep_mkdir(const std::string &path, unsigned mode = 0755, int64_t mtime = 0);
int mem_ep_link(const std::string &target, const std::string &path);
/* Changes mode, owner or times of an existing entry (a link's mode is left as it is). */
int mem_ep_chmod(const std::string &path, unsigned mode);
int mem_ep_chown(const std::string &path, uint32_t uid, uint32_t gid);
int mem_ep_set_mtime(const std::string &path, int64_t mtime);
/* Overwrites bytes of a file in place from off (the file grows when the data runs past its end). */
int mem_ep_patch(const std::string &path, uint64_t off, const std::string &data);
int mem_ep_remove(const std::string &path); /* an entry and everything below it */

/* Inspection. */
bool mem_ep_exists(const std::string &path);
int mem_ep_read(const std::string &path, std::string *data);
std::vector<std::string> mem_ep_names(const std::string &dir); /* sorted; empty when not a directory */

/* One entry of a tree, for comparisons: rel is the path below the tree's root ("a/b"). */
struct mem_ep_entry {
  std::string rel;
  char kind = '?'; /* 'd', 'f', 'l' */
  unsigned mode = 0; /* permission bits; 0 for links */
  uint32_t uid = 0, gid = 0;
  int64_t mtime = 0; /* 0 for links */
  std::string data;   /* a file's content */
  std::string target; /* a link's text */
};
/* Every entry below root (root itself not included), sorted by rel. */
std::vector<mem_ep_entry> mem_ep_entries(const std::string &root);
/* The same for a tree of this host's file system, to compare a local side with a memory one. */
std::vector<mem_ep_entry> mem_ep_local_entries(const std::string &root);
/* One line per difference ("a/b: mode 0644 != 0600", "x: only in the first"); empty when equal. */
std::vector<std::string> mem_ep_diff(const std::vector<mem_ep_entry> &a, const std::vector<mem_ep_entry> &b);
