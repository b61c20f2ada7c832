#pragma once
/* The copy engine as its callers see it: process-wide set-up, one run per open.
 *
 * Who owns what, and for how long:
 * - The caller owns the libcdir_param block. It stays alive and unchanged from libcdir_open until
 *   libcdir_close returns: the run records its error in p->err and reads its patterns from it.
 * - libcdir_open returns the run's context, or null when the run is refused (then there is
 *   nothing to close; the reason is in p->err). The context owns everything the run makes: both
 *   sides' endpoints (probed at open, closed at libcdir_close) and every listing, file and batch
 *   handle opened on them, the threads (the walker "cdir_work" or "file_work", the executor, the
 *   digest pool, the second copy lane, the timer, the read-ahead listing readers), the work
 *   buffers and the statistics.
 * - A directory's stat lists are reference counted: the walker makes them, each command it posts
 *   to the executor holds a reference, and the last holder frees them.
 * - libcdir_wait_stop is called once; libcdir_stop may be called from any thread (a signal
 *   callback too) until libcdir_close; libcdir_close stops and joins every thread, then frees
 *   the context. */
#include "libcdir/libcdir_param.h"

struct cdir_ctx;

/* Process-wide set-up and clean-up of the engine and the service client library. */
int libcdir_init();
void libcdir_exit();

/* Opens a run; null when it is refused (the reason is in p->err). */
cdir_ctx *libcdir_open(libcdir_param *p);
/* Waits for the run to end; 0 or a small positive code: 3 to 8 for the error that stopped it
 * (7: a stop request), 9 when deletions were held back, 2 when failures were counted. A front end
 * (show_mode 1) gets the summary it asked for and an "error: " line naming what went wrong. */
int libcdir_wait_stop(cdir_ctx *ctx);
/* Writes "error: msg" on standard error, coloured when it is a terminal that takes colour. */
void libcdir_print_error(const char *msg);
/* Frees the context; 0. */
int libcdir_close(cdir_ctx *ctx);
/* Asks the run to end as soon as possible; does nothing for null. Safe from a signal callback. */
int libcdir_stop(cdir_ctx *ctx);
/* Small exit code of an error code, negated (-3 .. -8), or 0 for errors without one. */
int libcdir_verr_2_eno(int verr);
