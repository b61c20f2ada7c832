#define LOG_TAG "pal"
#include "libnet/net_url.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "liblog/log2.h"

namespace {

bool is_ws(char c)
{
  return (c >= 9 && c <= 13) || c == ' ';
}

/* Packs the field texts one after another into the caller's buffer. */
struct url_writer {
  char *buf;
  size_t size;
  size_t used = 0;
  const char *put(std::string_view s)
  {
    if (s.empty())
      return "";
    if (used + s.size() + 1 > size)
      return nullptr;
    char *p = buf + used;
    memcpy(p, s.data(), s.size());
    p[s.size()] = 0;
    used += s.size() + 1;
    return p;
  }
};

} // namespace

int url_parser(url *u, const char *text, char *buf, size_t size)
{
  if (!u || !text || !buf || size == 0)
    return -1;
  *u = url{"", "", "", "", 0, "", "", ""};
  std::string_view in(text);
  while (!in.empty() && is_ws(in.front()))
    in.remove_prefix(1);
  while (!in.empty() && is_ws(in.back()))
    in.remove_suffix(1);
  if (in.size() >= size)
    return -1;
  std::string t(in);
  for (char &c : t)
    if (c == '\\')
      c = '/';
  url_writer w{buf, size};
  std::string_view all(t);
  std::string_view rest;
  const char *proto;
  if (all.substr(0, 3) == "///") {
    proto = "name";
    rest = all.substr(3);
  } else {
    size_t pos = all.find("://");
    if (pos == std::string_view::npos) {
      size_t q = all.find('?');
      u->protocol = "file";
      u->path = w.put(all.substr(0, q));
      u->query = q == std::string_view::npos ? "" : w.put(all.substr(q + 1));
      return u->path && u->query ? 0 : -1;
    }
    if (pos == 0)
      return -1;
    proto = w.put(all.substr(0, pos));
    rest = all.substr(pos + 3);
  }
  u->protocol = proto;

  /* The user information ends at an "@" that comes before the path, query and hash. */
  size_t stop = rest.find_first_of("/?#");
  size_t at = rest.find('@');
  if (at != std::string_view::npos && (stop == std::string_view::npos || at < stop)) {
    std::string_view ui = rest.substr(0, at);
    size_t colon = ui.find(':');
    u->user = w.put(ui.substr(0, colon));
    u->passwd = colon == std::string_view::npos ? "" : w.put(ui.substr(colon + 1));
    rest = rest.substr(at + 1);
  }

  size_t i = 0;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string_view::npos || close == 1)
      return -1;
    u->host = w.put(rest.substr(1, close - 1));
    i = close + 1;
  } else {
    while (i < rest.size() && !is_ws(rest[i]) && !strchr("&/:?#", rest[i]))
      i++;
    u->host = w.put(rest.substr(0, i));
  }

  if (i < rest.size() && rest[i] == ':') {
    size_t j = ++i;
    while (j < rest.size() && isdigit((unsigned char)rest[j]))
      j++;
    if (j - i > 12)
      return -1;
    unsigned long long port = j > i ? strtoull(std::string(rest.substr(i, j - i)).c_str(), nullptr, 10) : 0;
    if (port > 65535)
      return -1;
    u->port = (uint32_t)port;
    i = j;
  }
  if (i < rest.size() && !is_ws(rest[i]) && !strchr("/?#", rest[i]))
    return -1;

  while (i < rest.size() && is_ws(rest[i]))
    i++;
  size_t pend = i;
  while (pend < rest.size() && rest[pend] != '#' && rest[pend] != '?')
    pend++;
  u->path = pend > i ? w.put(rest.substr(i, pend - i)) : "/";
  i = pend;
  if (i < rest.size() && rest[i] == '?') {
    while (i < rest.size() && (rest[i] == '?' || is_ws(rest[i])))
      i++;
    size_t h = rest.find('#', i);
    u->query = w.put(rest.substr(i, h == std::string_view::npos ? std::string_view::npos : h - i));
    if (h != std::string_view::npos)
      u->hash = w.put(rest.substr(h + 1));
  } else if (i < rest.size() && rest[i] == '#') {
    u->hash = w.put(rest.substr(i + 1));
  }
  if (!u->protocol || !u->user || !u->passwd || !u->host || !u->path || !u->query || !u->hash)
    return -1;
  return 0;
}

/* Finds key in the query: its value and whether it was present. */
static bool query_find(const url *u, const char *key, std::string_view *value)
{
  if (!u || !u->query || !key)
    return false;
  std::string_view q(u->query);
  std::string_view k(key);
  while (!q.empty()) {
    size_t amp = q.find('&');
    std::string_view pair = q.substr(0, amp);
    size_t eq = pair.find('=');
    if (pair.substr(0, eq) == k) {
      *value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
      return true;
    }
    if (amp == std::string_view::npos)
      break;
    q.remove_prefix(amp + 1);
  }
  return false;
}

int url_get_query(const url *u, const char *key, const char *def, char *out, size_t size)
{
  if (!out || size == 0)
    return -1;
  std::string_view v;
  if (!query_find(u, key, &v))
    v = def ? def : "";
  if (v.size() + 1 > size) {
    size_t dl = def ? strlen(def) : 0;
    if (def && dl + 1 <= size)
      memcpy(out, def, dl + 1);
    else
      out[0] = 0;
    return -1;
  }
  if (!v.empty())
    memcpy(out, v.data(), v.size());
  out[v.size()] = 0;
  return (int)v.size();
}

int url_get_query_int(const url *u, const char *key, int def)
{
  std::string_view v;
  if (!query_find(u, key, &v) || v.empty() || v.size() > 11)
    return def;
  std::string s(v);
  char *end = nullptr;
  long n = strtol(s.c_str(), &end, 10);
  if (*end || n < INT32_MIN || n > INT32_MAX)
    return def;
  return (int)n;
}

int url_get_query_range(const url *u, const char *key, int def, int min, int max)
{
  int v = url_get_query_int(u, key, def);
  if (v < min) {
    LOGW("[%s]=%d < min=%d fix=%d\n", key, v, min, def);
    return def;
  }
  if (v > max) {
    LOGW("[%s]=%d > max=%d fix=%d\n", key, v, max, def);
    return def;
  }
  return v;
}

char *url_text_mask(const char *text, char *out, size_t size)
{
  if (!out || size == 0)
    return out;
  std::string_view t(text ? text : "");
  std::string r;
  r.reserve(t.size());
  size_t i = 0;
  while (i < t.size()) {
    size_t sep = t.find("://", i);
    if (sep == std::string_view::npos) {
      r.append(t.substr(i));
      break;
    }
    size_t a = sep + 3;
    r.append(t.substr(i, a - i));
    /* A password may hold "/", "?" or "&": everything up to the next URL counts, and a path with
     * an "@" is masked too rather than risk a password in the log. */
    size_t end = t.find("://", a);
    if (end == std::string_view::npos)
      end = t.size();
    size_t at = t.rfind('@', end);
    if (at != std::string_view::npos && at < a)
      at = std::string_view::npos;
    size_t colon = t.find(':', a);
    if (at != std::string_view::npos && at < end && colon < at) {
      r.append(t.substr(a, colon + 1 - a));
      r.append("***");
      i = at;
    } else {
      i = a;
    }
  }
  size_t n = r.size() < size ? r.size() : size - 1;
  memcpy(out, r.data(), n);
  out[n] = 0;
  return out;
}
