#define LOG_TAG "cdir"
#include "librdir/rdir_filter.h"

#include <cstring>
#include <new>

#include "libpal/string/pl_glob.h"

namespace {

void split_tabs(const char *list, std::vector<std::string> *out)
{
  out->reserve(513);
  if (!list)
    return;
  const char *p = list;
  while (*p) {
    const char *tab = strchr(p, '\t');
    size_t n = tab ? static_cast<size_t>(tab - p) : strlen(p);
    if (n > 0)
      out->emplace_back(p, n);
    if (!tab)
      break;
    p = tab + 1;
  }
}

void build_group(rdir_filter_group *g, const char *inc, const char *exc)
{
  split_tabs(inc, &g->include);
  split_tabs(exc, &g->exclude);
  g->mode = (g->include.empty() ? 0 : 1) | (g->exclude.empty() ? 0 : 2);
}

bool any_match(const std::vector<std::string> &pats, const char *path)
{
  for (const auto &p : pats)
    if (pl_glob_match_multi(path, p.c_str(), 1, 0))
      return true;
  return false;
}

int group_decide(const rdir_filter_group &g, const char *path, bool dir_rule)
{
  switch (g.mode) {
  case 0:
    return 1;
  case 1:
    for (const auto &p : g.include) {
      if (dir_rule && rdir_filter_dir_prefix(p.c_str(), path))
        return 1;
      if (pl_glob_match_multi(path, p.c_str(), 1, 0))
        return 1;
    }
    return 0;
  case 2:
    return any_match(g.exclude, path) ? 0 : 1;
  default:
    if (any_match(g.exclude, path))
      return 0;
    return any_match(g.include, path) ? 1 : 0;
  }
}

} // namespace

bool rdir_filter_dir_prefix(const char *pattern, const char *path)
{
  size_t i = 0;
  for (;;) {
    unsigned char pc = static_cast<unsigned char>(pattern[i]);
    unsigned char tc = static_cast<unsigned char>(path[i]);
    if (pc == '\0' || pc == ' ')
      break;
    unsigned char fp = pc & ~0x20u, ft = tc & ~0x20u;
    if (fp != ft)
      break;
    if (!((fp >= 'A' && fp <= 'Z') || pc == tc))
      break;
    i++;
  }
  return path[i] == '\0';
}

rdir_filter *rdir_filter_init(const char *file_include, const char *file_exclude, const char *dir_include,
                              const char *dir_exclude, const char *misc_exclude)
{
  (void)misc_exclude;
  auto *f = new (std::nothrow) rdir_filter;
  if (!f)
    return nullptr;
  build_group(&f->file, file_include, file_exclude);
  build_group(&f->dir, dir_include, dir_exclude);
  return f;
}

int rdir_filter_admit(const rdir_filter *f, const char *path, bool is_dir)
{
  if (!f || !path)
    return 1;
  if (is_dir)
    return group_decide(f->dir, path, true);
  if (f->dir.mode != 0 && !group_decide(f->dir, path, false))
    return 0;
  return group_decide(f->file, path, false);
}

bool rdir_filter_empty(const rdir_filter *f)
{
  return !f || (f->file.mode == 0 && f->dir.mode == 0);
}

void rdir_filter_free(rdir_filter *f)
{
  delete f;
}
