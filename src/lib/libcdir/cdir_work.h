#pragma once
/* The walker and the executor commands of a directory job, and the directory pairs they read.
 *
 * The walker thread ("cdir_work") reads the input tree breadth first, one directory task at a
 * time, and posts commands for each directory to the executor ("cdir_cmder"), which carries them
 * out strictly in posting order. */
#include <cstdint>
#include <string>

#include "librdir/mstat.h"

struct cdir_ctx;

/* Executor command types. */
enum : uint32_t {
  CDIR_CMD_RECONCILE = 2,  /* compare the listed output directory with the input */
  CDIR_CMD_FILE_LIST = 3,  /* count, then copy, sync or list the files */
  CDIR_CMD_MKDIRS = 4,     /* create the sub-directories of an output that was not listed */
  CDIR_CMD_DIR_LINE = 5,   /* a directory's listing was read */
  CDIR_CMD_ODD_DIRS = 6,   /* list the entries of dirs that are not plain directories */
  CDIR_CMD_DIR_DONE = 7,   /* give the output directory its attributes */
};

/* One directory of the walk, with its listings. Lists are reference-counted; a task holds one
 * reference to each list it points to. */
struct cdir_task {
  std::string idir; /* full input path of the directory */
  std::string odir; /* full output path; empty without an output */
  std::string rel;  /* path relative to the input root: "" for the root, else "/a/b" */
  mstat *files = nullptr;
  mstat *dirs = nullptr;
  mstat *o_files = nullptr;
  mstat *o_dirs = nullptr;
  mstat_item attr{}; /* the directory's own entry (its texts are not kept) */
  bool o_exists = false;
  bool is_root = false;
  int code = 0; /* error code of the input listing */
  /* Listing state: a child is queued unlisted and listed when the walker reaches it; generation-1
   * listings of the next tasks are requested ahead (in queue order, the order they are read). */
  bool listed = false;
  bool requested = false;
  bool enum_failed = false;
  bool oenum_failed = false; /* the output listing was never requested: it must not be read */
};

/* What a command carries: the paths and attributes of its directory and references to the lists
 * it needs. */
struct cdir_cmd {
  std::string idir;
  std::string odir;
  mstat_item attr{};
  bool o_exists = false;
  bool is_root = false;
  int code = 0; /* error code of the input listing; not 0 means it may be incomplete */
  mstat *files = nullptr;
  mstat *dirs = nullptr;
  mstat *o_files = nullptr;
  mstat *o_dirs = nullptr;
  /* A reconcile that carries the directory's files copies them right after (one command
   * instead of two: an idle executor is woken once per directory). */
  bool with_files = false;
};

/* The parts of an item's name (an escaped zz-string): the base name, and for a stream or
 * attribute entry its kind letter and stream name. Returns the number of parts (1 or 3 for
 * valid names), or -1 when the name does not unescape. */
int cdir_item_name(const char *escaped, std::string *base, std::string *kind, std::string *stream);
/* The escaped name of the entry a stream item belongs to (the item's own name when it is no
 * stream): the key to look that entry up with cdir_find_item. */
std::string cdir_base_key(const char *escaped);
/* Binary search of an escaped name in a list sorted by cdir_sort_list. */
mstat_item *cdir_find_item(mstat *m, const char *name);
void cdir_sort_list(mstat *m);

cdir_task *cdir_task_alloc();
/* Drops the task's list references and frees it. Null does nothing. */
void cdir_task_free(cdir_task *t);

/* Joins dir and name with "/" into out (size bytes). Returns the length, or -1 with out empty
 * when it does not fit. */
int cdir_path_join(char *out, size_t size, const char *dir, const char *name);

/* Thread bodies. */
int cdir_work_thread(void *ctx);
/* Executor message procedure and release function. */
struct cmder_run;
void cdir_cmd_proc(uint32_t type, void *data, cmder_run *run);
void cdir_cmd_free(void *ctx, void *arg);

/* Directory pairs (the enumeration of both sides). */
/* Lists the input directory of t (and requests the output one where it is read): 0 when t is
 * listed; 1 when the input cannot list it (counted, t freed); -1 (t freed) when nothing could be
 * obtained at all. */
int rdir_get_idir_list(cdir_ctx *ctx, cdir_task *t);
/* Requests the generation-1 listings of the next unlisted tasks of the work queue, so that the
 * listing threads read them while the walker handles the current one. */
void rdir_prefetch(cdir_ctx *ctx);
/* Whether the output directory of t is listed and paired with its input. */
bool cdir_task_olisted(const cdir_ctx *ctx, const cdir_task *t);
/* Fills t->o_files and t->o_dirs with the listing of the output directory t->odir; 0, or -1
 * when the listing could not be obtained (time-out, stop, bad data). */
int rdir_get_odir_stat(cdir_ctx *ctx, cdir_task *t);
/* Starts and stops the read-ahead reader of a side whose listing is of generation 2. */
int rdir2_reader_start(cdir_ctx *ctx, bool is_input);
void rdir2_reader_stop(cdir_ctx *ctx, bool is_input);
/* Parses one complete record of a generation-2 stream (its carriage returns removed) into the
 * side's dictionary. 0, or -1 for invalid data (the engine error is set). */
int rdir2_parse_record(cdir_ctx *ctx, bool is_input, char *rec);
/* Feeds one chunk of a generation-2 stream: complete records are parsed, the incomplete rest is
 * kept in *builder for the next chunk. Returns 1 after the final chunk, else 0. */
int rdir2_feed_chunk(cdir_ctx *ctx, bool is_input, std::string *builder, char *chunk, size_t len);
