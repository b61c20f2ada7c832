#pragma once
/* Endpoint information of one side of a run (input or output): what probing found out and the
 * endpoint object through which the engine reaches that side's tree. Filled by
 * url_init_and_get_info, kept in the engine context. */
#include <cstdint>
#include <string>

#include "libep/ep.h"
#include "libpal/comm/verr.h"

struct cdir_ctx;

using cdir_vol_info = ep_vol_info;
constexpr size_t CDIR_URL_SIZE = EP_URL_SIZE;
constexpr size_t CDIR_PATH_SIZE = EP_PATH_SIZE;

struct url_info : ep_info {
  /* The side's endpoint: every access to its tree goes through it. Owned by the engine context
   * (closed by libcdir_close), or by whoever probed the record outside a run (url_info_close). */
  ep *endpoint = nullptr;

  url_info() = default;
  url_info(const url_info &) = delete;
  url_info &operator=(const url_info &) = delete;
  ~url_info();
};

/* Probes one side of a run: the endpoint kind that serves the URL, the root entry, the volume
 * information and, for the output side, the default owner and group. 0, or -1 with err filled.
 * A record probed before is reset first (its endpoint closed). */
int url_init_and_get_info(cdir_ctx *ctx, const char *url, int read_timeout_s, url_info *info, bool is_output,
                          vperror *err);
/* Closes the record's endpoint. */
void url_info_close(url_info *info);
