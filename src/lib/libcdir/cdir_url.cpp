#define LOG_TAG "cdir"
#include "libcdir/cdir_url.h"

#include <sys/statvfs.h>

#include <cstring>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/string/pl_str.h"

int url_init_and_get_info(cdir_ctx *, const char *url, int, url_info *info, bool, vperror *err)
{
  info->url = url;
  info->resolved = url;
  if (info->resolved.find("://") != std::string::npos) {
    VPERROR_SET(err, VERR_NOTSUP, "remote endpoints are not available in this build: [%s]", url);
    return -1;
  }
  char path[CDIR_PATH_SIZE];
  if (str_path_normalize(url, path, sizeof path) < 0) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "path too long: [%.64s...]", url);
    return -1;
  }
  size_t n = strlen(path);
  while (n > 1 && path[n - 1] == '/')
    path[--n] = 0;
  info->path = path;
  int rc = os_ldirent(path, 0, &info->root);
  if (rc == VERR_FILE_NOT_FOUND || rc == VERR_PATH_NOT_FOUND) {
    info->not_exist = true;
  } else if (rc < 0) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "stat [%s] eno=%d error: ", path, rc);
    VPERROR_SET(err, rc, "stat [%s] error: %s", path, verr2str(rc));
    return -1;
  }
  struct statvfs sv;
  if (statvfs(info->not_exist ? "/" : path, &sv) == 0) {
    info->fs.fs_name = "unknown";
    info->fs.name_len = static_cast<uint32_t>(sv.f_namemax);
    info->fs.avail_bytes = sv.f_bavail * sv.f_frsize;
    info->fs.free_bytes = sv.f_bfree * sv.f_frsize;
    info->fs.total_bytes = sv.f_blocks * sv.f_frsize;
    info->posix_host = true;
  }
  if (!info->not_exist)
    info->is_dir = os_type_kind(info->root.type) == TYPE_DIR;
  return 0;
}
