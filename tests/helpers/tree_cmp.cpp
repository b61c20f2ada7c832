#include "helpers/tree_cmp.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

std::vector<std::string> names(const std::string &dir)
{
  std::vector<std::string> v;
  DIR *d = opendir(dir.c_str());
  if (!d)
    return v;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
      v.emplace_back(e->d_name);
  closedir(d);
  std::sort(v.begin(), v.end());
  return v;
}

std::map<std::string, std::string> xattrs(const std::string &path)
{
  std::map<std::string, std::string> m;
  char list[4096];
  ssize_t n = llistxattr(path.c_str(), list, sizeof list);
  for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(strlen(list + i)) + 1) {
    if (strncmp(list + i, "user.", 5) != 0)
      continue;
    char v[4096];
    ssize_t vn = lgetxattr(path.c_str(), list + i, v, sizeof v);
    m[list + i] = vn >= 0 ? std::string(v, static_cast<size_t>(vn)) : "<unreadable>";
  }
  return m;
}

char mode_buf[32];
const char *oct(unsigned m)
{
  snprintf(mode_buf, sizeof mode_buf, "0%o", m);
  return mode_buf;
}

void walk(const std::string &in, const std::string &out, const std::string &rel, const tree_cmp_opt &opt,
          std::vector<std::string> *diffs)
{
  std::vector<std::string> a = names(in), b = names(out);
  for (const std::string &n : b)
    if (!std::binary_search(a.begin(), a.end(), n))
      diffs->push_back(rel + n + ": only in the output");
  for (const std::string &n : a) {
    std::string ip = in + "/" + n, op = out + "/" + n, r = rel + n;
    if (!std::binary_search(b.begin(), b.end(), n)) {
      diffs->push_back(r + ": only in the input");
      continue;
    }
    struct stat si, so;
    lstat(ip.c_str(), &si);
    lstat(op.c_str(), &so);
    if ((si.st_mode & S_IFMT) != (so.st_mode & S_IFMT)) {
      diffs->push_back(r + ": kind differs");
      continue;
    }
    if (S_ISLNK(si.st_mode)) {
      char t1[4096] = {}, t2[4096] = {};
      readlink(ip.c_str(), t1, sizeof t1 - 1);
      readlink(op.c_str(), t2, sizeof t2 - 1);
      if (strcmp(t1, t2))
        diffs->push_back(r + ": link target " + t1 + " != " + t2);
      continue;
    }
    if ((si.st_mode & 07777) != (so.st_mode & 07777)) {
      std::string m1 = oct(si.st_mode & 07777);
      diffs->push_back(r + ": mode " + m1 + " != " + oct(so.st_mode & 07777));
    }
    if (opt.owners && (si.st_uid != so.st_uid || si.st_gid != so.st_gid))
      diffs->push_back(r + ": owner differs");
    if (opt.xattrs && xattrs(ip) != xattrs(op))
      diffs->push_back(r + ": extended attributes differ");
    if (S_ISDIR(si.st_mode)) {
      if (opt.dir_times && si.st_mtime != so.st_mtime)
        diffs->push_back(r + "/: modification time " + std::to_string(si.st_mtime) + " != " +
                         std::to_string(so.st_mtime));
      walk(ip, op, r + "/", opt, diffs);
      continue;
    }
    if (S_ISREG(si.st_mode)) {
      if (si.st_mtime != so.st_mtime)
        diffs->push_back(r + ": modification time " + std::to_string(si.st_mtime) + " != " +
                         std::to_string(so.st_mtime));
      if (si.st_size != so.st_size || tree_read(ip) != tree_read(op))
        diffs->push_back(r + ": content differs");
    }
  }
}

} // namespace

std::vector<std::string> tree_diff(const std::string &in, const std::string &out, const tree_cmp_opt &opt)
{
  std::vector<std::string> d;
  walk(in, out, "", opt, &d);
  return d;
}

void tree_put(const std::string &path, const std::string &data, unsigned mode, long mtime)
{
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
  if (mtime) {
    struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
  }
}

void tree_mkdir(const std::string &path, unsigned mode)
{
  ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

void tree_link(const std::string &target, const std::string &path)
{
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

std::string tree_read(const std::string &path)
{
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string tree_tmpdir(const char *tag)
{
  std::string t = std::string("/tmp/") + tag + ".XXXXXX";
  std::vector<char> b(t.begin(), t.end());
  b.push_back(0);
  if (!mkdtemp(b.data()))
    return "";
  chmod(b.data(), 0755);
  return b.data();
}

void tree_rm(const std::string &path)
{
  if (path.size() < 6 || path.compare(0, 5, "/tmp/") != 0)
    return;
  std::string cmd = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0)
    ADD_FAILURE() << "could not remove " << path;
}
