#define LOG_TAG "qvcli"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "libconf/conf.h"
#include "liblog/log2.h"
#include "libnet/net_url.h"
#include "libqvcli/qvcli_int.h"

namespace {

const char *const SESSION = "session/";

struct handle_closer {
  void operator()(conf_handle *h) const { conf_close(h); }
};
using handle_ptr = std::unique_ptr<conf_handle, handle_closer>;

/* The record holds a password: it is wiped before its memory is given back. */
struct profile_holder {
  qv_profile rec{};
  ~profile_holder() { explicit_bzero(&rec, sizeof rec); }
};

std::string section_of(const char *name)
{
  return std::string(SESSION) + name;
}

/* A name that the INI text and the "///name/path" form can both carry. */
bool name_ok(const char *name, vperror *err)
{
  if (!name || !*name) {
    VPERROR_SET(err, VERR_PARAM, "empty profile name");
    return false;
  }
  size_t n = strlen(name);
  if (n >= sizeof(qv_profile::name)) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "profile name too long (%zu bytes)", n);
    return false;
  }
  for (const char *p = name; *p; ++p)
    if (*p == '/' || *p == '?' || *p == '\\' || *p == ']' || (unsigned char)*p < 32) {
      VPERROR_SET(err, VERR_PARAM, "profile name [%s]: character 0x%02x is not allowed", name,
                  (unsigned)(unsigned char)*p);
      return false;
    }
  return true;
}

bool field(char *dst, size_t size, const char *value, const char *name, const char *key, vperror *err)
{
  size_t n = strlen(value);
  if (n >= size) {
    VPERROR_SET(err, VERR_PARAM, "profile [%s]: value of [%s] too long (%zu bytes, at most %zu)", name, key, n,
                size - 1);
    return false;
  }
  memcpy(dst, value, n + 1);
  return true;
}

bool has_any(const char *s, const char *set)
{
  for (; *s; ++s)
    if (strchr(set, *s) || (unsigned char)*s <= 32)
      return true;
  return false;
}

/* A stored host is an IPv6 address when it has at least two "_" and, up to a "%" zone, nothing but
 * hex digits, "_" and "."; a host name that merely contains "_" stays as it is. */
bool stored_ipv6(const char *h)
{
  int unders = 0;
  for (const char *p = h; *p && *p != '%'; ++p) {
    if (*p == '_')
      unders++;
    else if (!isxdigit((unsigned char)*p) && *p != '.')
      return false;
  }
  return unders >= 2;
}

/* The host as it goes into a URL: brackets of a given literal dropped, the stored form read back. */
std::string host_plain(const char *stored)
{
  std::string h = stored;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
    h = h.substr(1, h.size() - 2);
  if (h.find(':') == std::string::npos && stored_ipv6(h.c_str()))
    for (char &c : h)
      if (c == '_')
        c = ':';
  return h;
}

std::string host_stored(const char *given)
{
  std::string h = host_plain(given);
  for (char &c : h)
    if (c == ':')
      c = '_';
  return h;
}

/* Reads profile name of the loaded file h into rec. */
int read_profile(conf_handle *h, const char *name, qv_profile *rec, vperror *err)
{
  std::string sec = section_of(name);
  const char *prot = conf_get_str(h, sec.c_str(), "prot", nullptr);
  if (!prot) {
    VPERROR_SET(err, VERR_FAIL, "'%s' does not exist", name);
    return -1;
  }
  *rec = qv_profile{};
  memcpy(rec->name, name, strlen(name) + 1);
  strcpy(rec->bs, "2M");
  strcpy(rec->fmod, "644");
  strcpy(rec->dmod, "755");
  if (strcmp(prot, "loc") == 0) {
    rec->kind = QV_PROF_LOCAL;
    return 0;
  }
  if (strcmp(prot, "net") == 0) {
    rec->kind = QV_PROF_NET;
    return 0;
  }
  if (strcmp(prot, "qvp") != 0) {
    VPERROR_SET(err, VERR_FAIL, "Unsupported protocol [%s]", prot);
    return -1;
  }
  rec->kind = QV_PROF_QVP;
  rec->use_ssl = conf_get_int(h, sec.c_str(), "use_ssl", 0);
  const char *ip = conf_get_str(h, sec.c_str(), "ip", "");
  if (!ip || !*ip) {
    VPERROR_SET(err, VERR_FAIL, "Failed to get ip");
    return -1;
  }
  const struct {
    const char *key;
    char *dst;
    size_t size;
    const char *def;
  } keys[] = {
      {"ip", rec->host, sizeof rec->host, ""},       {"port", rec->port, sizeof rec->port, ""},
      {"user", rec->user, sizeof rec->user, ""},     {"pwd", rec->pwd, sizeof rec->pwd, ""},
      {"bs", rec->bs, sizeof rec->bs, "2M"},         {"fmod", rec->fmod, sizeof rec->fmod, "644"},
      {"dmod", rec->dmod, sizeof rec->dmod, "755"},  {"proxy", rec->proxy, sizeof rec->proxy, ""},
  };
  for (const auto &k : keys)
    if (!field(k.dst, k.size, conf_get_str(h, sec.c_str(), k.key, k.def), name, k.key, err))
      return -1;
  return 0;
}

/* A port text: digits of a number from 1 to 65535. */
bool port_ok(const char *p)
{
  size_t n = strlen(p);
  if (n == 0 || n > 5 || strspn(p, "0123456789") != n)
    return false;
  long v = strtol(p, nullptr, 10);
  return v >= 1 && v <= 65535;
}

handle_ptr load_client(bool create, vperror *err, std::string *path)
{
  *path = qvcli_client_path();
  return handle_ptr(qvcli_client_load(path->c_str(), create, err));
}

/* Normalises an endpoint text: blanks and enclosing quote pairs off until nothing changes, then
 * every "\" as "/". */
std::string normalise(const char *text)
{
  std::string t = text;
  for (bool changed = true; changed;) {
    changed = false;
    size_t b = t.find_first_not_of(" \t\r\n");
    size_t e = t.find_last_not_of(" \t\r\n");
    std::string trimmed = b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
    if (trimmed != t) {
      t = trimmed;
      changed = true;
    }
    for (char q : {'"', '\''})
      if (t.size() >= 2 && t.front() == q && t.back() == q) {
        t = t.substr(1, t.size() - 2);
        changed = true;
      }
  }
  for (char &c : t)
    if (c == '\\')
      c = '/';
  return t;
}

bool put(const std::string &s, char *out, size_t size, vperror *err)
{
  if (s.size() >= size) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "resolved url too long (%zu bytes, at most %zu)", s.size(),
                size ? size - 1 : 0);
    return false;
  }
  memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

} // namespace

int conf_client_get_info(const char *name, qv_profile *rec, vperror *err)
{
  if (!rec || !name_ok(name, err)) {
    if (!rec)
      VPERROR_SET(err, VERR_PARAM, "conf_client_get_info: rec is null");
    return -1;
  }
  std::string path;
  handle_ptr h = load_client(false, err, &path);
  if (!h)
    return -1;
  return read_profile(h.get(), name, rec, err);
}

int conf_client_url(const qv_profile *rec, char *out, size_t size, vperror *err)
{
  if (!rec || !out) {
    VPERROR_SET(err, VERR_PARAM, "conf_client_url: %s is null", !rec ? "rec" : "out");
    return -1;
  }
  std::string url;
  switch (rec->kind) {
  case QV_PROF_LOCAL: url = "loc://"; break;
  case QV_PROF_NET: url = std::string("net://") + rec->name; break;
  case QV_PROF_QVP: {
    std::string host = host_plain(rec->host);
    if (host.empty() || has_any(host.c_str(), "@/?#\\&[]")) {
      VPERROR_SET(err, VERR_PARAM, "profile [%s]: host [%s] cannot be put in a URL", rec->name, rec->host);
      return -1;
    }
    if (has_any(rec->user, ":@/?#\\")) {
      VPERROR_SET(err, VERR_PARAM, "profile [%s]: the user name holds a character a URL cannot carry", rec->name);
      return -1;
    }
    /* The message never quotes the password. */
    if (has_any(rec->pwd, "@/?#\\")) {
      VPERROR_SET(err, VERR_PARAM, "profile [%s]: the password holds a character a URL cannot carry (@ / ? # \\ or a "
                  "blank)", rec->name);
      return -1;
    }
    if (has_any(rec->proxy, "&#?")) {
      VPERROR_SET(err, VERR_PARAM, "profile [%s]: proxy name [%s] cannot be put in a URL", rec->name, rec->proxy);
      return -1;
    }
    bool tls = rec->use_ssl == 1;
    const char *own = tls ? "QVPS_DEF_PORT" : "QVP_DEF_PORT";
    std::string port = rec->port;
    /* The other scheme's placeholder names that scheme's default port, which the URL spells out. */
    if (port == "QVP_DEF_PORT" && tls)
      port = "6688";
    else if (port == "QVPS_DEF_PORT" && !tls)
      port = "6686";
    else if (port == own)
      port.clear();
    if (!port.empty() && !port_ok(port.c_str())) {
      VPERROR_SET(err, VERR_PARAM, "profile [%s]: port [%s] is not a number from 1 to 65535", rec->name,
                  rec->port);
      return -1;
    }
    url = tls ? "qvps://" : "qvp://";
    if (rec->user[0]) {
      url += rec->user;
      if (rec->pwd[0])
        url += std::string(":") + rec->pwd;
      url += "@";
    }
    url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (!port.empty())
      url += ":" + port;
    if (rec->proxy[0])
      url += std::string("?proxy=") + rec->proxy;
    break;
  }
  default: VPERROR_SET(err, VERR_PARAM, "profile [%s]: unknown kind %d", rec->name, rec->kind); return -1;
  }
  bool ok = put(url, out, size, err);
  explicit_bzero(url.data(), url.size());
  return ok ? 0 : -1;
}

int conf_client_set_info(const qv_profile *rec, vperror *err)
{
  if (!rec) {
    VPERROR_SET(err, VERR_PARAM, "conf_client_set_info: rec is null");
    return -1;
  }
  if (!name_ok(rec->name, err))
    return -1;
  if (rec->kind != QV_PROF_QVP && rec->kind != QV_PROF_NET) {
    LOGE("cc->prot=%d error\n", rec->kind);
    VPERROR_SET(err, VERR_PARAM, "cc->prot=%d error", rec->kind);
    return -1;
  }
  if (rec->kind == QV_PROF_QVP) {
    /* A record that builds no URL would only fail later, at every resolution. */
    char url[2048];
    if (conf_client_url(rec, url, sizeof url, err) < 0)
      return -1;
    explicit_bzero(url, sizeof url);
  }
  std::string path;
  handle_ptr h = load_client(true, err, &path);
  if (!h)
    return -1;
  std::string sec = section_of(rec->name);
  const char *s = sec.c_str();
  int rc = 0;
  if (rec->kind == QV_PROF_NET) {
    rc = conf_set_str(h.get(), s, "prot", "net");
  } else {
    std::string host = host_stored(rec->host);
    const struct {
      const char *key;
      const char *value;
    } keys[] = {
        {"prot", "qvp"},    {"ip", host.c_str()},  {"port", rec->port}, {"user", rec->user}, {"pwd", rec->pwd},
        {"bs", rec->bs},    {"fmod", rec->fmod},   {"dmod", rec->dmod}, {"proxy", rec->proxy},
    };
    rc = conf_set_int(h.get(), s, "use_ssl", rec->use_ssl);
    for (const auto &k : keys)
      if (rc >= 0)
        rc = conf_set_str(h.get(), s, k.key, k.value);
  }
  if (rc < 0) {
    VPERROR_SET(err, VERR_FAIL, "cannot write profile [%s] into [%s]", rec->name, path.c_str());
    return -1;
  }
  return qvcli_client_save(h.get(), path.c_str(), err);
}

bool conf_client_is_exist(const char *name)
{
  if (!name_ok(name, nullptr))
    return false;
  std::string path = qvcli_client_path();
  if (qv_conf_file_check(path.c_str(), nullptr) <= 0)
    return false;
  handle_ptr h(qvcli_client_load(path.c_str(), false, nullptr));
  return h && conf_get_str(h.get(), section_of(name).c_str(), "prot", nullptr) != nullptr;
}

int conf_client_del(const char *name, vperror *err)
{
  if (!name_ok(name, err))
    return -1;
  std::string path = qvcli_client_path();
  if (qv_conf_file_check(path.c_str(), nullptr) == 0)
    return 0;
  handle_ptr h(qvcli_client_load(path.c_str(), false, err));
  if (!h)
    return -1;
  int n = conf_del_section(h.get(), section_of(name).c_str());
  if (n < 0) {
    VPERROR_SET(err, VERR_FAIL, "cannot delete profile [%s] from [%s]", name, path.c_str());
    return -1;
  }
  if (n == 0)
    return 0;
  return qvcli_client_save(h.get(), path.c_str(), err) < 0 ? -1 : 1;
}

int conf_client_copy_move(const char *from, const char *to, bool move, vperror *err)
{
  if (!name_ok(from, err) || !name_ok(to, err))
    return -1;
  if (strcmp(from, to) == 0) {
    VPERROR_SET(err, VERR_PARAM, "profile [%s] cannot be copied onto itself", from);
    return -1;
  }
  std::string path;
  handle_ptr h = load_client(false, err, &path);
  if (!h)
    return -1;
  std::string fs = section_of(from), ts = section_of(to);
  if (!conf_get_str(h.get(), fs.c_str(), "prot", nullptr)) {
    VPERROR_SET(err, VERR_FAIL, "'%s' does not exist", from);
    return -1;
  }
  for (const auto &s : conf_list_sections(h.get()))
    if (s == ts) {
      VPERROR_SET(err, VERR_EXISTS, "'%s' exists already", to);
      return -1;
    }
  for (const auto &k : conf_list_keys(h.get(), fs.c_str())) {
    const char *v = conf_get_str(h.get(), fs.c_str(), k.c_str(), "");
    if (conf_set_str(h.get(), ts.c_str(), k.c_str(), v ? v : "") < 0) {
      VPERROR_SET(err, VERR_FAIL, "cannot write profile [%s] into [%s]", to, path.c_str());
      return -1;
    }
  }
  if (move && conf_del_section(h.get(), fs.c_str()) < 0) {
    VPERROR_SET(err, VERR_FAIL, "cannot delete profile [%s] from [%s]", from, path.c_str());
    return -1;
  }
  return qvcli_client_save(h.get(), path.c_str(), err);
}

int conf_client_walk(conf_client_walk_fn fn, void *arg, vperror *err)
{
  std::string path;
  handle_ptr h = load_client(true, err, &path);
  if (!h)
    return -1;
  bool added = false;
  const struct {
    const char *sec;
    const char *prot;
  } fixed[] = {{"session/localhost", "loc"}, {"session/network", "net"}};
  for (const auto &f : fixed) {
    const char *cur = conf_get_str(h.get(), f.sec, "prot", nullptr);
    if (cur && strcmp(cur, f.prot) == 0)
      continue;
    conf_set_str(h.get(), f.sec, "prot", f.prot);
    added = true;
  }
  if (added) {
    vperror save_err{};
    if (qvcli_client_save(h.get(), path.c_str(), &save_err) < 0)
      LOGW("the fixed profiles stay unsaved: %s\n", vperror_str(&save_err));
  }
  int calls = 0;
  size_t plen = strlen(SESSION);
  for (const auto &s : conf_list_sections(h.get())) {
    if (s.compare(0, plen, SESSION) != 0)
      continue;
    std::string name = s.substr(plen);
    if (name == "network" || name == "_Quick_Connection" || !name_ok(name.c_str(), nullptr))
      continue;
    profile_holder p;
    vperror one{};
    if (read_profile(h.get(), name.c_str(), &p.rec, &one) < 0) {
      LOGD("profile [%s] skipped: %s\n", name.c_str(), vperror_str(&one));
      continue;
    }
    calls++;
    if (fn && fn(name.c_str(), p.rec.kind, arg) != 0)
      break;
  }
  return calls;
}

int qv_url_resolve(const char *text, char *out, size_t size, vperror *err)
{
  if (!text || !out || size == 0) {
    VPERROR_SET(err, VERR_PARAM, "qv_url_resolve: %s is null", !text ? "text" : "out");
    return -1;
  }
  std::string t = normalise(text);
  if (t.compare(0, 3, "///") != 0)
    return put(t, out, size, err) ? 0 : -1;

  std::string rest = t.substr(3);
  size_t cut = rest.find_first_of("/?");
  std::string name = rest.substr(0, cut);
  std::string path = cut == std::string::npos ? std::string() : rest.substr(cut);
  auto masked = std::make_unique<char[]>(URL_BUF_SIZE);
  if (name.empty()) {
    VPERROR_SET(err, VERR_PARAM, "no profile name in [%s]", url_text_mask(t.c_str(), masked.get(), URL_BUF_SIZE));
    return -1;
  }
  profile_holder p;
  if (conf_client_get_info(name.c_str(), &p.rec, err) < 0)
    return -1;

  std::string url;
  if (p.rec.kind == QV_PROF_LOCAL) {
    /* A local profile stands for this machine: the path alone is what the local side opens. */
    if (path.empty() || path[0] != '/') {
      VPERROR_SET(err, VERR_PARAM, "profile [%s] is local and [%s] names no path", name.c_str(),
                  url_text_mask(t.c_str(), masked.get(), URL_BUF_SIZE));
      return -1;
    }
    url = path;
  } else {
    auto buf = std::make_unique<char[]>(URL_BUF_SIZE);
    if (conf_client_url(&p.rec, buf.get(), URL_BUF_SIZE, err) < 0)
      return -1;
    url = buf.get();
    explicit_bzero(buf.get(), URL_BUF_SIZE);
    size_t q = path.find('?');
    if (q != std::string::npos) {
      url += (url.find('?') == std::string::npos ? "?" : "&") + path.substr(q + 1);
      path.resize(q);
    }
    size_t uq = url.find('?');
    if (uq != std::string::npos)
      url.insert(uq, !path.empty() && path[0] == '/' ? path : "/" + path);
    else
      url += path;
  }
  bool ok = put(url, out, size, err);
  if (ok && log2_enabled(LOG2_DBG)) {
    auto masked2 = std::make_unique<char[]>(URL_BUF_SIZE);
    LOGD("resolve [%s] -> [%s]\n", url_text_mask(t.c_str(), masked.get(), URL_BUF_SIZE),
         url_text_mask(url.c_str(), masked2.get(), URL_BUF_SIZE));
  }
  explicit_bzero(url.data(), url.size());
  return ok ? 0 : -1;
}
