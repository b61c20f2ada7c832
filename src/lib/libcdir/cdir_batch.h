#pragma once
/* Small files to a server in batches (cdir_batch.cpp): the file step of a directory list sends the
 * small regular files of a local input as file-write lines through the output's batch job, and
 * leaves every other file, and every file the batch could not take, to the one-by-one copy. */
#include <vector>

#include "librdir/mstat.h"

struct cdir_ctx;
struct cdir_cmd;

/* Whether this run moves small files in batches: between this host and a server that offers the
 * batch job, and neither a dry run nor copy_no_overwrite (a batch replaces what is there). */
bool cdir_batch_usable(cdir_ctx *ctx);
/* Whether a batch carries this item: a regular file without holes of at most half the block size
 * (and at most 1 MiB), whose output copy is not to share its data with further names. */
bool cdir_batch_takes(cdir_ctx *ctx, const mstat_item *it);
/* Sends items (in their order) as file-write lines to the directory of c, reading each input
 * whole. Items that changed since they were listed, or that no request can carry whole, go to
 * again for the one-by-one copy. The requests stay in flight: their results are read when later
 * requests need the room, or by cdir_batch_drain. Each answered file is counted; one the server
 * wrote differently from what was read is sent once more on its own; a failure is counted and
 * reported. A failed job counts the files it did not answer as failed and makes the rest of the
 * run send files one by one. Executor only. */
/* Closes the output's batch jobs (at the end of the run, or after a failure); requests still in
 * flight are dropped. */
void cdir_batch_close(cdir_ctx *ctx);
void cdir_batch_write(cdir_ctx *ctx, cdir_cmd *c, const std::vector<mstat_item *> &items,
                      std::vector<mstat_item *> *again);
/* Asks the input's server for items (regular files of at most 1 MiB, not empty) in read lists of
 * c's directory, and writes each file as its data comes, attributes last. A file whose data came
 * damaged, or that is not as it was listed, is copied once more on its own. Like
 * cdir_batch_write otherwise. */
void cdir_batch_read(cdir_ctx *ctx, cdir_cmd *c, const std::vector<mstat_item *> &items,
                     std::vector<mstat_item *> *again);
/* Reads every result still outstanding and runs the finishes that waited for them: before
 * anything that must find the files written (links to them, their extended attributes, a
 * reconcile), and at the end of the run. 0, or -1 when a job failed (reported). Executor only, or
 * once the executor is idle. */
int cdir_batch_drain(cdir_ctx *ctx);
/* Queues the finish of c's directory (its times) behind the requests in flight, which would
 * otherwise change them afterwards. false when nothing is in flight: the caller finishes now. */
bool cdir_batch_defer_finish(cdir_ctx *ctx, const cdir_cmd *c);
