#define LOG_TAG "cdir"
#include "librdir/rdir_stat.h"

#include <cstring>
#include <new>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_escape.h"
#include "libpal/string/pl_scanf.h"
#include "librdir/rdir_line.h"

namespace {

constexpr size_t PATH_SIZE = 4096;
constexpr const char ZZ_END[] = "\\0\\0";

/* True when a Windows target cannot hold the entry. The name is the escaped one: a backslash in it
 * stands for a backslash or a control character of the real name, and Windows takes neither. */
bool libdir_stat_is_drop(const char *name, uint32_t type, uint32_t attrib_mode)
{
  if (strchr(name, '\\')) {
    LOGE("[%s] Containing '\\' is not supported", name);
    return true;
  }
  if (type == TYPE_DEV) {
    LOGE("[%s] mode=0%o dev-type are not supported on Windows.", name, attrib_mode);
    return true;
  }
  return false;
}

/* Escaped zz separator in front of next: "\0", or "\000" when next begins with an octal digit
 * that a reader would otherwise take into the escape. */
void append_zz_sep(std::string &s, const std::string &next)
{
  if (!next.empty() && next[0] >= '0' && next[0] <= '7')
    s += "\\000";
  else
    s += "\\0";
}

/* First path of a file for the hard-link table: dir joined with the escaped name, then "\0\0". */
bool first_path(const std::string &dir, const char *name, std::string *out)
{
  out->assign(dir);
  if (out->empty() || out->back() != '/')
    out->push_back('/');
  out->append(name).append(ZZ_END);
  return out->size() < PATH_SIZE;
}

void add_streams(const mstat_item &base, std::string &streams, const char *ename, mstat *list)
{
  char *p = streams.data();
  char *end = p + streams.size();
  std::string sname, skind, sform;
  while (p < end) {
    char *nl = static_cast<char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (nl)
      *nl = '\0';
    char *line = p;
    p = nl ? nl + 1 : end;
    if (!*line)
      continue;
    char *n = nullptr, *k = nullptr;
    uint64_t size = 0;
    int ret = str_scanf_sep_val(line, '\t', RDIR_STREAM_LINE_SIG, &n, &k, &size);
    if (ret != 3) {
      LOGW("[%s] stream line ret=%d error: ret!=3", ename, ret);
      continue;
    }
    skind.clear();
    sname.clear();
    if (str_escape_tab_append(k, strlen(k), &skind) < 0 || str_escape_tab_append(n, strlen(n), &sname) < 0)
      throw std::bad_alloc();
    sform.assign(ename);
    append_zz_sep(sform, skind);
    sform += skind;
    append_zz_sep(sform, sname);
    sform += sname;
    sform += ZZ_END;
    mstat_item it = base;
    it.name = sform.c_str();
    it.link_name = nullptr;
    it.size = size;
    if (os_type_kind(it.type) == TYPE_DIR)
      it.type = (it.type & ~TYPE_KIND_MASK) | TYPE_FILE;
    mstat_cp_alloc(list, &it);
  }
}

/* One numeric field read in place up to its TAB or the end of the line, as the signature scanner
 * reads it: not empty, digits of the base only (either case for hex), no sign, no overflow of max.
 * Returns the character that ended the field ('\t' or '\0'), or -1 when the field is invalid. */
template <int Base> int scan_num(char **pp, uint64_t max, uint64_t *out)
{
  char *s = *pp;
  uint64_t v = 0;
  char *start = s;
  for (;; s++) {
    unsigned c = static_cast<unsigned char>(*s);
    if (c == '\t' || c == '\0') {
      if (s == start)
        return -1;
      *out = v;
      *pp = c ? s + 1 : s;
      return static_cast<int>(c);
    }
    unsigned d;
    if (c - '0' < 10)
      d = c - '0';
    else if (Base == 16 && (c | 0x20) - 'a' < 6)
      d = (c | 0x20) - 'a' + 10;
    else
      return -1;
    if (v > (max - d) / Base)
      return -1;
    v = v * Base + d;
  }
}

/* One listing line into its sixteen fields in a single pass: the result of str_scanf_sep_val with
 * RDIR_LINE_SIG (the count of fields converted before the first that fails, or before the line
 * ends), without reading the signature again for every line of a listing. */
int scan_line(char *line, char **name, char **link, mstat_item *it, std::string *streams)
{
  char *p = line;
  *name = p;
  char *t = strchr(p, '\t');
  if (!t)
    return 1;
  *t = '\0';
  p = t + 1;
  *link = p;
  t = strchr(p, '\t');
  if (!t)
    return 2;
  *t = '\0';
  p = t + 1;
  static const struct {
    bool hex;
    uint64_t max;
  } forms[13] = {{true, UINT32_MAX},  {true, UINT32_MAX},  {true, UINT32_MAX},  {false, UINT64_MAX},
                 {true, UINT64_MAX},  {true, UINT64_MAX},  {true, UINT64_MAX},  {false, UINT32_MAX},
                 {false, UINT32_MAX}, {false, UINT64_MAX}, {true, UINT64_MAX},  {true, UINT64_MAX},
                 {true, UINT64_MAX}};
  uint64_t v[13];
  for (int i = 0; i < 13; i++) {
    int end = forms[i].hex ? scan_num<16>(&p, forms[i].max, &v[i]) : scan_num<10>(&p, forms[i].max, &v[i]);
    if (end < 0)
      return i + 2;
    if (end == 0)
      return i + 3;
  }
  it->type = static_cast<uint32_t>(v[0]);
  it->attrib_mode = static_cast<uint32_t>(v[1]);
  it->alt_mode = static_cast<uint32_t>(v[2]);
  it->size = v[3];
  it->time_create = v[4];
  it->time_write = v[5];
  it->time_access = v[6];
  it->uid = static_cast<uint32_t>(v[7]);
  it->gid = static_cast<uint32_t>(v[8]);
  it->st_nlink = v[9];
  it->file_id_ext = v[10];
  it->st_ino = v[11];
  it->st_dev = v[12];
  t = strchr(p, '\t');
  if (t)
    *t = '\0';
  streams->clear();
  if (*p && str_unescape_cstr_append(p, strlen(p), streams) < 0)
    return 15;
  return 16;
}

} // namespace

int str_2_stat(char *text, stat_parse_ctx *ctx, mstat *list)
{
  if (!text || !list)
    return -1;
  try {
    std::string streams, name_form, fpath;
    char *p = text;
    while (*p) {
      char *nl = strchr(p, '\n');
      if (nl)
        *nl = '\0';
      char *line = p;
      p = nl ? nl + 1 : p + strlen(p);
      if (!*line)
        continue;

      mstat_item it{};
      char *name = nullptr, *link = nullptr;
      int ret = scan_line(line, &name, &link, &it, &streams);
      if (ret != 16) {
        LOGE("ret=%d error: ret!=16", ret);
        return -1;
      }

      if (ctx && ctx->win_target && libdir_stat_is_drop(name, it.type, it.attrib_mode)) {
        if (os_type_kind(it.type) == TYPE_DIR)
          ctx->drop_dirs.fetch_add(1, std::memory_order_relaxed);
        else
          ctx->drop_files.fetch_add(1, std::memory_order_relaxed);
        continue;
      }

      it.link_name = link;
      /* A file of one name has no other to be found: only files with more links go into the table,
       * which keeps it to the groups that exist. */
      if (ctx && it.st_nlink > 1 && ctx->hardlink && ctx->hl && os_type_kind(it.type) == TYPE_FILE) {
        hardlink_key key{it.st_dev, it.st_ino, it.file_id_ext, 0};
        if (const char *first = hardlink_table_find(ctx->hl, &key)) {
          it.link_name = first;
          it.size = 0;
          it.flags |= ITEM_F_HARDLINK;
        } else if (!first_path(ctx->dir, name, &fpath)) {
          LOGW("[%s/%s] path too long for the hard-link table", ctx->dir.c_str(), name);
        } else if (hardlink_table_add(ctx->hl, &key, fpath.data(), fpath.size()) < 0) {
          LOGW("[%s] hard-link table: out of memory", fpath.c_str());
        }
      }

      bool streams_skip = (it.type & TYPE_F_NOMODE) && (it.type & (TYPE_F_SYMLINK | TYPE_F_JUNCTION));
      if (!streams.empty() && !(it.flags & ITEM_F_HARDLINK) && !streams_skip)
        add_streams(it, streams, name, list);

      name_form.assign(name).append(ZZ_END);
      it.name = name_form.c_str();
      mstat_cp_alloc(list, &it);
    }
  } catch (const std::bad_alloc &) {
    LOGE("out of memory");
    return VERR_NOMEM;
  }
  return 0;
}
