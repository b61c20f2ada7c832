#define LOG_TAG "cdir"
#include "libcdir/libcdir.h"

#include <cstring>

#include "liblog/log2.h"

int libcdir_verr_2_eno(int verr)
{
  /* Matched by message text: codes that share a text share the outcome. */
  static const struct {
    const char *msg;
    int eno;
  } table[] = {
      {"Path not found.", 3},
      {"File not found.", 3},
      {"Access denied.", 3},
      {"Sharing violation, file is being used by another process.", 3},
      {"Write protect error.", 4},
      {"Disk is full.", 5},
      {"Device i/o: No such device or address.", 6},
      {"Device i/o: Not ready.", 6},
      {"Timeout.", 8},
  };
  const char *msg = verr2str(verr);
  for (const auto &row : table)
    if (strcmp(msg, row.msg) == 0)
      return -row.eno;
  LOGE("verr=%d [%s]", verr, msg);
  return 0;
}

int libcdir_init()
{
  return 0;
}

void libcdir_exit() {}

cdir_ctx *libcdir_open(libcdir_param *p)
{
  if (!p)
    return nullptr;
  LOGD("libcdir_open");
  /* Runs are not carried out by this build yet: refuse every job with a clear reason rather
   * than report a success that copied nothing. */
  VPERROR_SET(&p->err, VERR_NOIMPL, "the copy engine is not available in this build (if=[%s])",
              p->i_url.c_str());
  LOGE("%s", p->err.msg);
  return nullptr;
}

int libcdir_wait_stop(cdir_ctx *)
{
  return 0;
}

int libcdir_close(cdir_ctx *)
{
  return 0;
}

int libcdir_stop(cdir_ctx *)
{
  return 0;
}
