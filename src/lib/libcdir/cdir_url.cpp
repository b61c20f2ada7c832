#define LOG_TAG "cdir"
#include "libcdir/cdir_url.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libcdir/cdir_ctx.h"
#include "liblog/log2.h"
#include "libpal/string/pl_str.h"

/* Volume information of a local path.
 *
 * The file-system name comes from the magic number that statfs reports (f_type); a magic that is
 * not in the table below is shown as "0x<hex>". ext2, ext3 and ext4 share one magic and are all
 * shown as "ext4", the driver that serves all three today.
 *
 * Flags, from what the file-system kind promises on this host:
 *   readonly     the mount is read-only (statvfs ST_RDONLY);
 *   unicode      names are stored as given (UTF-8 in practice): every kind here;
 *   case_name    names keep their case: every kind here;
 *   case_search  lookups tell case apart: every kind except vfat, exfat, ntfs and smb/cifs;
 *   hard_links   several names per file: every kind except vfat and exfat;
 *   xattr        extended attributes: ext4, xfs, btrfs, f2fs, zfs, tmpfs, overlay, jfs, reiserfs, nfs, fuse;
 *   acls         POSIX access control lists: ext4, xfs, btrfs, f2fs, zfs, tmpfs, jfs, reiserfs;
 *   streams and windows are never set locally.
 * name_len is f_namemax of statvfs; the byte counts are f_bavail, f_bfree and f_blocks times the
 * fragment size. vol_name is the file-system label where the driver tells it (FS_IOC_GETFSLABEL),
 * else empty. */
namespace {

enum : uint32_t {
  K_XATTR = 0x1,
  K_ACLS = 0x2,
  K_NO_CASE = 0x4,  /* case-insensitive lookups */
  K_NO_LINKS = 0x8, /* no hard links */
};

struct fs_kind {
  long magic;
  const char *name;
  uint32_t caps;
};

const fs_kind g_fs_kinds[] = {
    {0xEF53, "ext4", K_XATTR | K_ACLS},
    {0x58465342, "xfs", K_XATTR | K_ACLS},
    {0x9123683E, "btrfs", K_XATTR | K_ACLS},
    {0xF2F52010, "f2fs", K_XATTR | K_ACLS},
    {0x2FC12FC1, "zfs", K_XATTR | K_ACLS},
    {0x01021994, "tmpfs", K_XATTR | K_ACLS},
    {0x794C7630, "overlay", K_XATTR},
    {0x3153464A, "jfs", K_XATTR | K_ACLS},
    {0x52654973, "reiserfs", K_XATTR | K_ACLS},
    {0x6969, "nfs", K_XATTR},
    {0x65735546, "fuse", K_XATTR},
    {0xFF534D42, "cifs", K_NO_CASE},
    {0xFE534D42, "smb2", K_NO_CASE},
    {0x4D44, "vfat", K_NO_CASE | K_NO_LINKS},
    {0x2011BAB0, "exfat", K_NO_CASE | K_NO_LINKS},
    {0x5346544E, "ntfs", K_NO_CASE},
    {0x7366746E, "ntfs3", K_NO_CASE},
    {0x9660, "iso9660", 0},
    {0x73717368, "squashfs", K_XATTR},
    {0x858458F6, "ramfs", 0},
    {0x9FA0, "proc", 0},
    {0x62656572, "sysfs", 0},
    {0x1373, "devfs", 0},
    {0x01021997, "v9fs", K_XATTR},
};

/* The nearest existing directory at or above path: a missing output root is still probed where
 * it is going to be created. */
std::string existing_parent(const std::string &path)
{
  std::string p = path;
  struct stat st;
  while (!p.empty() && stat(p.c_str(), &st) != 0) {
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos)
      return ".";
    p = slash == 0 ? "/" : p.substr(0, slash);
    if (p == "/")
      break;
  }
  return p.empty() ? "." : p;
}

} // namespace

int url_get_vol_info(const char *path, cdir_vol_info *v, vperror *err)
{
  struct statfs sf;
  struct statvfs sv;
  if (statfs(path, &sf) != 0 || statvfs(path, &sv) != 0) {
    int eno = errno;
    VPERROR_SET(err, os_verr_get(eno), "statfs [%s] error: %s", path, os_strerror(eno));
    return os_verr_get(eno);
  }
  uint32_t caps = 0;
  const char *name = nullptr;
  for (const fs_kind &k : g_fs_kinds) {
    if (static_cast<unsigned long>(k.magic) == static_cast<unsigned long>(sf.f_type)) {
      name = k.name;
      caps = k.caps;
      break;
    }
  }
  char hex[32];
  if (!name) {
    snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(sf.f_type));
    name = hex;
  }
  v->fs_name = name;
  v->name_len = static_cast<uint32_t>(sv.f_namemax);
  uint64_t frag = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
  v->avail_bytes = static_cast<uint64_t>(sv.f_bavail) * frag;
  v->free_bytes = static_cast<uint64_t>(sv.f_bfree) * frag;
  v->total_bytes = static_cast<uint64_t>(sv.f_blocks) * frag;
  v->flags = VOL_F_UNICODE | VOL_F_CASE_NAME;
  if (sv.f_flag & ST_RDONLY)
    v->flags |= VOL_F_READONLY;
  if (!(caps & K_NO_CASE))
    v->flags |= VOL_F_CASE_SEARCH;
  if (!(caps & K_NO_LINKS))
    v->flags |= VOL_F_HARD_LINKS;
  if (caps & K_XATTR)
    v->flags |= VOL_F_XATTR;
  if (caps & K_ACLS)
    v->flags |= VOL_F_ACLS;
  v->vol_name.clear();
#ifdef FS_IOC_GETFSLABEL
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    char label[FSLABEL_MAX + 1] = {};
    if (ioctl(fd, FS_IOC_GETFSLABEL, label) == 0)
      v->vol_name.assign(label, strnlen(label, FSLABEL_MAX));
    close(fd);
  }
#endif
  return 0;
}

namespace {

/* A user or group given by name, or by number when no such name exists. */
bool lookup_uid(const std::string &name, uint32_t *id)
{
  std::vector<char> buf(16384);
  struct passwd pw, *res = nullptr;
  if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) == 0 && res) {
    *id = res->pw_uid;
    return true;
  }
  char *end = nullptr;
  unsigned long v = strtoul(name.c_str(), &end, 10);
  if (!name.empty() && end && *end == 0 && v < CDIR_ID_NONE) {
    *id = static_cast<uint32_t>(v);
    return true;
  }
  return false;
}

bool lookup_gid(const std::string &name, uint32_t *id)
{
  std::vector<char> buf(16384);
  struct group gr, *res = nullptr;
  if (getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &res) == 0 && res) {
    *id = res->gr_gid;
    return true;
  }
  char *end = nullptr;
  unsigned long v = strtoul(name.c_str(), &end, 10);
  if (!name.empty() && end && *end == 0 && v < CDIR_ID_NONE) {
    *id = static_cast<uint32_t>(v);
    return true;
  }
  return false;
}

/* The path of a local URL form: "loc://" and "file://" name local paths. */
const char *local_path_of(const char *url)
{
  if (strncmp(url, "loc://", 6) == 0)
    return url + 6;
  return url;
}

} // namespace

int url_init_and_get_info(cdir_ctx *ctx, const char *url, int read_timeout_s, url_info *info, bool is_output,
                          vperror *err)
{
  (void)read_timeout_s; /* a connection setting of remote sides */
  if (!ctx || !url || !info) {
    VPERROR_SET(err, VERR_PARAM, "url_init_and_get_info: %s is null", !ctx ? "ctx" : !url ? "url" : "info");
    return -1;
  }
  /* A record probed before (a retried open) must not keep what the earlier root was. */
  info->is_local = true;
  info->posix_host = false;
  info->not_exist = false;
  info->is_dir = false;
  info->multi_block = false;
  info->path.clear();
  info->fs = cdir_vol_info{};
  os_dirent_clear(&info->root);
  size_t ul = strlen(url);
  if (ul >= CDIR_URL_SIZE) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "url too long (%zu bytes): [%.64s...]", ul, url);
    return -1;
  }
  info->url = url;
  if (strncmp(url, "///", 3) == 0) {
    VPERROR_SET(err, VERR_NOTSUP, "connection profiles are not available in this build: [%s]", url);
    return -1;
  }
  info->resolved = url;
  for (char &c : info->resolved)
    if (c == '\\')
      c = '/';
  const char *lp = local_path_of(info->resolved.c_str());
  if (lp == info->resolved.c_str() && strstr(lp, "://") && strncmp(lp, "file://", 7) != 0) {
    info->is_local = false;
    VPERROR_SET(err, VERR_NOTSUP, "remote endpoints are not available in this build: [%s]", url);
    return -1;
  }
  info->is_local = true;
  char path[CDIR_PATH_SIZE];
  int n = str_path_normalize(lp, path, sizeof path);
  if (n < 0) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "path too long: [%.64s...]", lp);
    return -1;
  }
  if (n == 0) {
    VPERROR_SET(err, VERR_PARAM, "empty path: [%s]", url);
    return -1;
  }
  while (n > 1 && path[n - 1] == '/')
    path[--n] = 0;
  info->path = path;

  int rc = os_ldirent(path, 0, &info->root);
  if (rc == VERR_FILE_NOT_FOUND || rc == VERR_PATH_NOT_FOUND) {
    info->not_exist = true;
    os_dirent_clear(&info->root); /* no half-filled record of a root that is not there */
  } else if (rc < 0) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "stat [%s] eno=%d error: ", path, rc);
    VPERROR_SET(err, rc, "stat [%s] error: %s", path, verr2str(rc));
    return -1;
  }
  std::string vol_path = info->not_exist ? existing_parent(path) : std::string(path);
  rc = url_get_vol_info(vol_path.c_str(), &info->fs, err);
  if (rc < 0) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "statfs [%s] eno=%d error: ", vol_path.c_str(), rc);
    return -1;
  }
  info->posix_host = true;
  info->multi_block = false;

  if (is_output) {
    if (!ctx->user_name.empty()) {
      if (!lookup_uid(ctx->user_name, &ctx->default_uid)) {
        LOGE("uid name=[%s] not exist", ctx->user_name.c_str());
        VPERROR_SET(err, VERR_PARAM, "uid name=[%s] not exist", ctx->user_name.c_str());
        return -1;
      }
      LOGD("ctx->default_uid=%u", ctx->default_uid);
    }
    if (!ctx->group_name.empty()) {
      if (!lookup_gid(ctx->group_name, &ctx->default_gid)) {
        LOGE("gid name=[%s] not exist", ctx->group_name.c_str());
        VPERROR_SET(err, VERR_PARAM, "gid name=[%s] not exist", ctx->group_name.c_str());
        return -1;
      }
      LOGD("ctx->default_gid=%u", ctx->default_gid);
    }
  }
  /* A root given as a symbolic link to a directory is walked as that directory. */
  if (!info->not_exist)
    info->is_dir = ((info->root.type & ~TYPE_F_SYMLINK) & TYPE_KIND_MASK) == TYPE_DIR;
  return 0;
}
