#define LOG_TAG "cdir"
#include "libcdir/cdir_url.h"

#include <cstring>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libqvcli/qvcli.h"

url_info::~url_info()
{
  url_info_close(this);
}

void url_info_close(url_info *info)
{
  if (info && info->endpoint) {
    ep_close(info->endpoint);
    info->endpoint = nullptr;
  }
}

int url_init_and_get_info(cdir_ctx *ctx, const char *url, int read_timeout_s, url_info *info, bool is_output,
                          vperror *err)
{
  (void)read_timeout_s; /* a connection setting of remote sides */
  if (!ctx || !url || !info) {
    VPERROR_SET(err, VERR_PARAM, "url_init_and_get_info: %s is null", !ctx ? "ctx" : !url ? "url" : "info");
    return -1;
  }
  /* A record probed before (a retried open) must not keep what the earlier root was. */
  url_info_close(info);
  static_cast<ep_info &>(*info) = ep_info{};
  size_t ul = strlen(url);
  if (ul >= CDIR_URL_SIZE) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "url too long (%zu bytes): [%.64s...]", ul, url);
    return -1;
  }
  info->url = url;
  if (strncmp(url, "///", 3) == 0) {
    /* A connection profile: the resolved URL may carry the profile's password, so it is kept in
     * info->resolved only and never logged; messages name the text the user gave. */
    char buf[CDIR_URL_SIZE];
    if (qv_url_resolve(url, buf, sizeof buf, err) < 0)
      return -1;
    info->resolved = buf;
  } else {
    info->resolved = url;
  }
  for (char &c : info->resolved)
    if (c == '\\')
      c = '/';
  const ep_ops *given = is_output ? ctx->p.o_kind : ctx->p.i_kind;
  const ep_ops *kind = given ? given : ep_kind_of(info->resolved.c_str());
  if (!kind) {
    info->is_local = false;
    VPERROR_SET(err, VERR_NOTSUP, "remote endpoints are not available in this build: [%s]", url);
    return -1;
  }
  info->endpoint = ep_open(info->resolved.c_str(), kind, info, err);
  if (!info->endpoint)
    return -1;
  if (is_output && (!ctx->p.user_name.empty() || !ctx->p.group_name.empty())) {
    uint32_t uid = ctx->default_uid, gid = ctx->default_gid;
    if (ep_lookup_ids(info->endpoint, ctx->p.user_name.c_str(), ctx->p.group_name.c_str(), &uid, &gid, err) < 0) {
      url_info_close(info);
      return -1;
    }
    if (!ctx->p.user_name.empty()) {
      ctx->default_uid = uid;
      LOGD("ctx->default_uid=%u", ctx->default_uid);
    }
    if (!ctx->p.group_name.empty()) {
      ctx->default_gid = gid;
      LOGD("ctx->default_gid=%u", ctx->default_gid);
    }
  }
  return 0;
}
