#define LOG_TAG "conf"
#include "libconf/ini/ini_dict.h"

#include <cctype>
#include <cstring>
#include <string_view>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"

namespace {

constexpr char SEP = '\t';

bool is_blank(char c)
{
  return isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view trim(std::string_view s)
{
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b]))
    b++;
  while (e > b && is_blank(s[e - 1]))
    e--;
  return s.substr(b, e - b);
}

void rstrip(std::string *s)
{
  while (!s->empty() && is_blank(s->back()))
    s->pop_back();
}

std::string full_name(std::string_view sec, std::string_view key)
{
  std::string n;
  n.reserve(sec.size() + 1 + key.size());
  n.append(sec).push_back(SEP);
  n.append(key);
  return n;
}

/* Appends one physical line (without its newline) to out. Returns 1 when a line was read, 0 when
 * the input has ended, -1 when the line holds more than room characters. */
int read_physical(ini_getc_fn next, void *ctx, std::string *out, size_t room)
{
  size_t n = 0;
  int c;
  while ((c = next(ctx)) >= 0) {
    if (c == '\n')
      return 1;
    if (n == room)
      return -1;
    out->push_back(static_cast<char>(c));
    n++;
  }
  return n ? 1 : 0;
}

std::list<ini_entry>::iterator add_section(ini_dict *d, std::string_view name, std::string *comment)
{
  auto found = d->index.find(std::string(name));
  if (found != d->index.end())
    return found->second;
  /* The section without a name has no header line, so it can only be written first. */
  auto pos = name.empty() ? d->entries.begin() : d->entries.end();
  auto it = d->entries.insert(pos, ini_entry{std::string(name), std::string(), std::move(*comment)});
  comment->clear();
  d->index.emplace(it->name, it);
  d->last.emplace(it->name, it);
  return it;
}

void add_key(ini_dict *d, std::string_view sec, std::string_view key, std::string_view value, std::string *comment)
{
  std::string none;
  add_section(d, sec, &none);
  std::string name = full_name(sec, key);
  auto found = d->index.find(name);
  if (found != d->index.end()) {
    found->second->value.assign(value);
    found->second->comment += *comment;
    comment->clear();
    return;
  }
  auto &last = d->last[std::string(sec)];
  auto it = d->entries.insert(std::next(last), ini_entry{std::move(name), std::string(value), std::move(*comment)});
  comment->clear();
  last = it;
  d->index.emplace(it->name, it);
}

/* Value text of "key = value" from the position after the equals sign, tried in this order:
 * double-quoted, single-quoted, unquoted up to ';' or '#' (trimmed, a pair of quotes alone
 * meaning empty), a comment mark right away, nothing at all. */
std::string_view parse_value(std::string_view rest)
{
  size_t p = 0;
  while (p < rest.size() && is_blank(rest[p]))
    p++;
  rest = rest.substr(p);
  if (rest.empty())
    return rest;
  for (char q : {'"', '\''}) {
    if (rest[0] == q && rest.size() > 1 && rest[1] != q) {
      size_t e = rest.find(q, 1);
      return rest.substr(1, (e == std::string_view::npos ? rest.size() : e) - 1);
    }
  }
  if (rest[0] == ';' || rest[0] == '#')
    return {};
  std::string_view v = trim(rest.substr(0, rest.find_first_of(";#")));
  if (v == "\"\"" || v == "''")
    return {};
  return v;
}

struct reader {
  ini_dict *d;
  std::string section;
  std::string pending;
  int lineno = 0;

  void syntax_error(const std::string &line)
  {
    LOGD("syntax error in (%d):\n-> %s\n", lineno, line.c_str());
  }

  void classify(const std::string &line)
  {
    /* A NUL byte has no place in a C string value, so such a line is not taken apart. */
    if (line.find('\0') != std::string::npos)
      return syntax_error(line);
    std::string_view s = trim(line);
    if (s.empty())
      return;
    if (s[0] == '#' || s[0] == ';') {
      pending.append(line).push_back('\n');
      return;
    }
    if (s[0] == '[') {
      size_t e = s.find(']', 1);
      size_t len = (e == std::string_view::npos ? s.size() : e) - 1;
      if (len > 0) {
        std::string_view name = trim(s.substr(1, len));
        /* TAB separates section from key in entry names. */
        if (name.find(SEP) != std::string_view::npos)
          return syntax_error(line);
        section.assign(name);
        /* The empty name has no header line to write back, so it comes into being with its
         * first key, and a comment before the header stays with that key. */
        if (!name.empty())
          add_section(d, name, &pending);
        return;
      }
    }
    size_t eq = s.find('=');
    if (eq == std::string_view::npos || eq == 0)
      return syntax_error(line);
    add_key(d, section, trim(s.substr(0, eq)), parse_value(s.substr(eq + 1)), &pending);
  }
};

struct mem_src {
  const char *p;
  size_t len;
  size_t pos;
};

int mem_getc(void *ctx)
{
  auto *m = static_cast<mem_src *>(ctx);
  return m->pos < m->len ? static_cast<unsigned char>(m->p[m->pos++]) : -1;
}

/* Appends the value text of a key line: bare when the reader gives the value back from it,
 * else in the first kind of quotes that does. A bare value must not end in '\', as the reader
 * would join the next line to it; when only that stands in the way, a ';' (an empty inline
 * comment) closes the line. False when no form reads back the same. */
bool append_value(std::string *line, const std::string &v)
{
  bool joins = !v.empty() && v.back() == '\\';
  if (!joins && parse_value(v) == v) {
    *line += v;
    return true;
  }
  for (char q : {'"', '\''}) {
    std::string quoted = q + v + q;
    if (parse_value(quoted) == v) {
      *line += quoted;
      return true;
    }
  }
  if (joins && parse_value(v + ';') == v) {
    line->append(v).push_back(';');
    return true;
  }
  return false;
}

bool has_line_break(std::string_view s)
{
  return s.find_first_of("\r\n") != std::string_view::npos || s.find('\0') != std::string_view::npos;
}

/* Names and values that the reader would give back differently are refused up front. */
bool section_ok(std::string_view sec)
{
  return !has_line_break(sec) && sec.find(']') == std::string_view::npos && sec.find(SEP) == std::string_view::npos &&
         trim(sec).size() == sec.size();
}

bool key_ok(std::string_view key)
{
  return !key.empty() && !has_line_break(key) && key.find('=') == std::string_view::npos && key[0] != '#' &&
         key[0] != ';' && key[0] != '[' && trim(key).size() == key.size();
}

} // namespace

void ini_dict_clear(ini_dict *d)
{
  d->index.clear();
  d->last.clear();
  d->entries.clear();
  d->tail.clear();
}

int ini_dict_parse(ini_dict *d, ini_getc_fn next, void *ctx)
{
  ini_dict_clear(d);
  reader r{d, {}, {}, 0};
  std::string line;
  for (;;) {
    line.clear();
    bool have = false;
    for (;;) {
      int rc = read_physical(next, ctx, &line, INI_LINE_MAX - line.size());
      if (rc < 0) {
        LOGE("input line too long in (%d): \n", r.lineno + 1);
        ini_dict_clear(d);
        return -1;
      }
      if (rc == 0)
        break;
      r.lineno++;
      have = true;
      rstrip(&line);
      if (line.empty() || line.back() != '\\')
        break;
      line.pop_back(); /* the next physical line continues this one */
    }
    if (!have)
      break;
    r.classify(line);
  }
  d->tail = std::move(r.pending);
  return 0;
}

int ini_dict_parse_mem(ini_dict *d, const char *text, size_t len)
{
  mem_src m{text, len, 0};
  return ini_dict_parse(d, mem_getc, &m);
}

const char *ini_dict_get(const ini_dict *d, const char *sec, const char *key, const char *def)
{
  if (!sec || !key)
    return def;
  auto it = d->index.find(full_name(sec, key));
  return it == d->index.end() ? def : it->second->value.c_str();
}

int ini_dict_set(ini_dict *d, const char *sec, const char *key, const char *value)
{
  if (!sec || !section_ok(sec))
    return VERR_PARAM;
  if (!key) {
    std::string none;
    add_section(d, sec, &none);
    return 0;
  }
  if (!key_ok(key) || (value && has_line_break(value)))
    return VERR_PARAM;
  std::string none;
  add_key(d, sec, key, value ? value : "", &none);
  return 0;
}

int ini_dict_del_section(ini_dict *d, const char *sec)
{
  if (!sec)
    return 0;
  auto it = d->index.find(sec);
  if (it == d->index.end())
    return 0;
  auto first = it->second;
  auto last = d->last.find(sec);
  auto end = std::next(last->second);
  d->last.erase(last);
  int n = 0;
  for (auto e = first; e != end; ++e, ++n)
    d->index.erase(e->name);
  d->entries.erase(first, end);
  return n;
}

int ini_dict_del_key(ini_dict *d, const char *sec, const char *key)
{
  if (!sec || !key)
    return 0;
  auto it = d->index.find(full_name(sec, key));
  if (it == d->index.end())
    return 0;
  auto e = it->second;
  auto last = d->last.find(sec);
  /* The entry before a key is its section or another key of it, so the section stays contiguous. */
  if (last->second == e)
    last->second = std::prev(e);
  d->index.erase(it);
  d->entries.erase(e);
  return 1;
}

std::vector<std::string> ini_dict_sections(const ini_dict *d)
{
  std::vector<std::string> out;
  for (const auto &e : d->entries)
    if (e.name.find(SEP) == std::string::npos)
      out.push_back(e.name);
  return out;
}

std::vector<std::string> ini_dict_keys(const ini_dict *d, const char *sec)
{
  std::vector<std::string> out;
  if (!sec)
    return out;
  auto it = d->index.find(sec);
  if (it == d->index.end())
    return out;
  auto end = std::next(d->last.at(sec));
  size_t skip = strlen(sec) + 1;
  for (auto e = std::next(it->second); e != end; ++e)
    out.push_back(e->name.substr(skip));
  return out;
}

int ini_dict_format(const ini_dict *d, std::string *out)
{
  out->clear();
  std::string line;
  size_t skip = 0;
  for (const auto &e : d->entries) {
    size_t tab = e.name.find(SEP);
    if (tab == std::string::npos) {
      skip = e.name.size() + 1;
      if (e.name.empty()) {
        *out += e.comment;
        continue;
      }
      if (e.comment.empty() && !out->empty())
        out->push_back('\n');
      *out += e.comment;
      line.assign("[").append(e.name).append("]");
    } else {
      line.assign(e.name, skip).push_back('=');
      if (!append_value(&line, e.value)) {
        LOGE("value of [%.64s] cannot be written so that it reads back the same\n", e.name.c_str());
        out->clear();
        return VERR_PARAM;
      }
      *out += e.comment;
    }
    if (line.size() > INI_LINE_MAX) {
      LOGE("entry [%.64s] makes a line of %zu characters (at most %zu)\n", e.name.c_str(), line.size(), INI_LINE_MAX);
      out->clear();
      return VERR_OVERFLOW;
    }
    out->append(line).push_back('\n');
  }
  *out += d->tail;
  return 0;
}
