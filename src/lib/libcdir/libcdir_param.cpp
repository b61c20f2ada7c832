#define LOG_TAG "cdir"
#include "libcdir/libcdir_param.h"

#include <cstdlib>
#include <cstring>

#include "liblog/log2.h"
#include "libpal/string/pl_str.h"

namespace {

struct mode_word {
  const char *word;
  uint32_t op;
  uint32_t mode; /* 0: leave mode as it is */
};

const mode_word g_mode_words[] = {
    {"ls", CDIR_OP_LS, 0},
    {"statfs", CDIR_OP_STATFS, 0},
    {"copy_overwrite", CDIR_OP_COPY, CDIR_MODE_COPY_ALL},
    {"cp", CDIR_OP_COPY, CDIR_MODE_COPY_ALL},
    {"copy_diff_size_date", CDIR_OP_COPY, CDIR_MODE_COPY_DIFF},
    {"copy_newer", CDIR_OP_COPY, CDIR_MODE_COPY_NEWER},
    {"copy_no_overwrite", CDIR_OP_COPY, CDIR_MODE_COPY_NO_OVERWRITE},
    {"sync_diff_size_date", CDIR_OP_SYNC, CDIR_MODE_SYNC_DIFF},
    {"sync", CDIR_OP_SYNC, CDIR_MODE_SYNC_DIFF},
    {"sync_diff_size_date_bin", CDIR_OP_SYNC, CDIR_MODE_SYNC_BIN},
    {"sync_diff_size_date_hash", CDIR_OP_SYNC, CDIR_MODE_SYNC_HASH},
    {"sync_diff_size_date_rsync", CDIR_OP_SYNC, CDIR_MODE_SYNC_RSYNC},
    {"sync_diff_size_date_auto_hash_rsync", CDIR_OP_SYNC, CDIR_MODE_SYNC_AUTO},
};

enum flag_kind { F_COMMON, F_INPUT, F_OUTPUT, F_BOTH, F_TRACE, F_DEL_DIRECTLY };

struct flag_word {
  const char *word;
  flag_kind kind;
  uint32_t bits;
};

const flag_word g_flag_words[] = {
    {"acl", F_COMMON, CDIR_EP_ACL},
    {"alt_stream", F_COMMON, CDIR_EP_STREAM},
    {"xattr", F_COMMON, CDIR_EP_STREAM},
    {"hardlinks", F_COMMON, CDIR_EP_HARDLINKS},
    {"i_rdir", F_INPUT, CDIR_EP_RDIR2},
    {"o_rdir", F_OUTPUT, CDIR_EP_RDIR2},
    {"a_rdir", F_BOTH, CDIR_EP_RDIR2},
    {"sync_reason", F_TRACE, CDIR_TRACE_SYNC_REASON},
    {"file_ops", F_TRACE, CDIR_TRACE_FILE_OPS},
    {"dry_run", F_TRACE, CDIR_TRACE_FILE_OPS | CDIR_TRACE_DRY_RUN},
    {"debug", F_TRACE, CDIR_TRACE_DEBUG},
    {"progress", F_TRACE, CDIR_TRACE_PROGRESS},
    {"summary", F_TRACE, CDIR_TRACE_SUMMARY},
    {"allow_empty_input", F_TRACE, CDIR_TRACE_ALLOW_EMPTY_INPUT},
    {"no_verify", F_TRACE, CDIR_TRACE_NO_VERIFY},
    {"del_directly", F_DEL_DIRECTLY, 0},
};

constexpr size_t FILTER_PART_MAX = 4095;

/* A word of the caller's as it is quoted back in messages: long ones are cut, so that one
 * mistyped value cannot flood the terminal or fill the error record before the reason. */
std::string shown(const std::string &text)
{
  constexpr size_t SHOWN_MAX = 64;
  return text.size() <= SHOWN_MAX ? text : text.substr(0, SHOWN_MAX) + "...";
}

/* Whether text is a size value to its last character. The size parser stops quietly at the
 * first character that does not fit ("65536x1" reads as 65536); a block size is refused rather
 * than guessed, so the number in front of the unit letters must be read to its end. */
bool whole_size_text(const char *text)
{
  size_t unit_at = strlen(text);
  while (unit_at > 0 && ((text[unit_at - 1] >= 'a' && text[unit_at - 1] <= 'z') ||
                         (text[unit_at - 1] >= 'A' && text[unit_at - 1] <= 'Z')))
    unit_at--;
  std::string number(text, unit_at);
  char *end = nullptr;
  strtod(number.c_str(), &end);
  return end != number.c_str() && *end == '\0';
}

/* A count: decimal digits only (no sign, blank, fraction or unit), at most INT64_MAX. */
bool parse_count(const std::string &text, int64_t *out)
{
  if (text.empty())
    return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (n > (static_cast<uint64_t>(INT64_MAX) - d) / 10)
      return false;
    n = n * 10 + d;
  }
  *out = static_cast<int64_t>(n);
  return true;
}

} // namespace

void libcdir_param_init(libcdir_param *p)
{
  if (p)
    *p = libcdir_param{};
}

void libcdir_param_free(libcdir_param *p)
{
  if (!p)
    return;
  p->i_url.clear();
  p->o_url.clear();
  p->olist.clear();
  p->user_name.clear();
  p->group_name.clear();
  for (libcdir_ep_opt *o : {&p->i_opt, &p->o_opt}) {
    o->file_include.clear();
    o->file_exclude.clear();
    o->dir_include.clear();
    o->dir_exclude.clear();
    o->list5.clear();
  }
}

int libcdir_set_param_mode(libcdir_param *p, const char *word)
{
  if (!p || !word)
    return -1;
  for (const auto &m : g_mode_words) {
    if (strcmp(word, m.word) != 0)
      continue;
    p->op = m.op;
    if (m.mode)
      p->mode = m.mode;
    return 0;
  }
  LOGE("invalid mode [%s]", word);
  return -1;
}

int libcdir_set_param_flag(libcdir_param *p, const char *list)
{
  if (!p || !list)
    return -1;
  uint32_t common = 0, in_only = 0, out_only = 0;
  std::string all(list);
  size_t at = 0;
  while (at <= all.size()) {
    size_t comma = all.find(',', at);
    if (comma == std::string::npos)
      comma = all.size();
    std::string w = all.substr(at, comma - at);
    at = comma + 1;
    const flag_word *hit = nullptr;
    for (const auto &f : g_flag_words)
      if (w == f.word) {
        hit = &f;
        break;
      }
    if (!hit) {
      LOGE("invalid param [%s]", w.c_str());
      return -1;
    }
    switch (hit->kind) {
    case F_COMMON:
      common |= hit->bits;
      break;
    case F_INPUT:
      in_only |= hit->bits;
      break;
    case F_OUTPUT:
      out_only |= hit->bits;
      break;
    case F_BOTH:
      in_only |= hit->bits;
      out_only |= hit->bits;
      break;
    case F_TRACE:
      p->trace_flags |= hit->bits;
      break;
    case F_DEL_DIRECTLY:
      p->o_trash = 0;
      p->mfile_opt.del_mode = 0;
      break;
    }
  }
  /* The endpoint bits describe this word alone: a later flag= recomputes them. */
  p->i_opt.flags = CDIR_EP_BASE | common | in_only;
  p->o_opt.flags = CDIR_EP_BASE | common | out_only;
  return 0;
}

int libcdir_set_param_kv(libcdir_param *p, const char *list, std::vector<std::string> *warnings)
{
  if (!p || !list)
    return 0;
  std::string all(list);
  size_t at = 0;
  while (at < all.size()) {
    size_t amp = all.find('&', at);
    if (amp == std::string::npos)
      amp = all.size();
    std::string pair = all.substr(at, amp - at);
    at = amp + 1;
    if (pair.empty())
      continue;
    size_t eq = pair.find('=');
    if (eq == std::string::npos) {
      LOGE("invalid key=[%s]", pair.c_str());
      if (warnings)
        warnings->push_back("param [" + shown(pair) + "] is not name=value, ignored");
      continue;
    }
    std::string name = pair.substr(0, eq);
    std::string value = pair.substr(eq + 1);
    if (name == "user_name") {
      p->user_name = value;
      LOGD("default_uname=[%s]", value.c_str());
    } else if (name == "group_name") {
      p->group_name = value;
      LOGD("default_gname=[%s]", value.c_str());
    } else if (name == "file_mode") {
      p->file_mode = str_octal_parse(value.c_str());
      LOGD("default_fmode=0%o [%s]", p->file_mode, value.c_str());
    } else if (name == "dir_mode") {
      p->dir_mode = str_octal_parse(value.c_str());
      LOGD("default_dmode=0%o [%s]", p->dir_mode, value.c_str());
    } else if (name == "max_rate") {
      p->max_rate = static_cast<uint32_t>(str_size_parse(value.c_str()));
      LOGD("max_rate=%d [%s]", static_cast<int>(p->max_rate), value.c_str());
    } else if (name == "max_delete") {
      int64_t n = 0;
      if (!parse_count(value, &n)) {
        LOGE("invalid max_delete=[%s]", value.c_str());
        VPERROR_SET(&p->err, VERR_PARAM, "param max_delete=[%s]: the limit must be a non-negative integer",
                    shown(value).c_str());
        return -1;
      }
      p->max_delete = n;
      LOGD("max_delete=%lld [%s]", static_cast<long long>(n), value.c_str());
    } else {
      LOGE("invalid key=[%s]", name.c_str());
      if (warnings)
        warnings->push_back("unknown param key [" + shown(name) + "] ignored");
    }
  }
  return 0;
}

int libcdir_set_param_bs(libcdir_param *p, const char *text)
{
  if (!p || !text)
    return -1;
  /* The parser's 64-bit result is checked before it is narrowed: "4G" must not become 0. */
  uint64_t bs = whole_size_text(text) ? str_size_parse(text) : 0;
  if (bs == 0 || bs > CDIR_BS_MAX || bs % CDIR_BS_STEP != 0) {
    LOGE("invalid bs=[%s]", text);
    VPERROR_SET(&p->err, VERR_PARAM, "bs=[%s]: the block size must be a multiple of 64K between 64K and 8M",
                shown(text).c_str());
    return -1;
  }
  p->bs = static_cast<uint32_t>(bs);
  LOGD("bs=%u [%s]", p->bs, text);
  return 0;
}

int libcdir_set_filter(libcdir_param *p, const char *list)
{
  if (!p || !list)
    return 0;
  LOGD("filter=[%s]", list);
  std::string lists[4]; /* file include, file exclude, dir include, dir exclude */
  std::string all(list);
  size_t at = 0;
  while (at <= all.size()) {
    size_t comma = all.find(',', at);
    if (comma == std::string::npos)
      comma = all.size();
    std::string part = all.substr(at, std::min(comma - at, FILTER_PART_MAX));
    at = comma + 1;
    char norm[FILTER_PART_MAX + 1];
    if (str_path_normalize(part.c_str(), norm, sizeof norm) < 0)
      continue;
    const char *pat = norm;
    bool exclude = false;
    if (*pat == '-') {
      exclude = true;
      pat++;
    }
    size_t n = strlen(pat);
    // An empty pattern would become "*/" and match nothing a user meant; such parts come
    // from stray commas and are dropped.
    if (n == 0)
      continue;
    bool dir = pat[n - 1] == '/';
    std::string &dst = lists[(dir ? 2 : 0) + (exclude ? 1 : 0)];
    if (!(pat[0] == '/'))
      dst += "*/";
    dst += pat;
    if (dir)
      dst += "*";
    dst += '\t';
  }
  for (auto &l : lists)
    if (!l.empty())
      l.pop_back();
  p->i_opt.file_include = lists[0];
  p->i_opt.file_exclude = lists[1];
  p->i_opt.dir_include = lists[2];
  p->i_opt.dir_exclude = lists[3];
  LOGD("file_include_list=[%s]", lists[0].c_str());
  LOGD("file_exclude_list=[%s]", lists[1].c_str());
  LOGD("dir_include_list=[%s]", lists[2].c_str());
  LOGD("dir_exclude_list=[%s]", lists[3].c_str());
  return 0;
}
