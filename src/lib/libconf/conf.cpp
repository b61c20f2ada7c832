#define LOG_TAG "conf"
#include "libconf/conf.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "libconf/conf_drv.h"
#include "liblog/log2.h"
#include "libpal/comm/verr.h"
#include "libpal/string/pl_str.h"

struct conf_handle {
  void *dh;
  const conf_drv *drv;
};

namespace {

/* Longest section name of a combined "section<TAB>key" or "section:key" name. */
constexpr size_t CONF_SEC_NAME_MAX = 8191;

std::atomic<const conf_drv *> g_drivers[CONF_DRV_MAX];
std::mutex g_drivers_lock;
std::once_flag g_drivers_once;
std::atomic<conf_dat_decode_fn> g_dat_decoder{nullptr};

void drivers_init()
{
  std::call_once(g_drivers_once, [] {
    if (conf_drv_register(&conf_ini_drv) < 0)
      LOGE("no free driver slot for the INI driver\n");
  });
}

conf_handle *handle_new(void *dh, const conf_drv *drv)
{
  if (!dh)
    return nullptr;
  auto *h = new (std::nothrow) conf_handle{dh, drv};
  if (!h)
    drv->ops->close(dh);
  return h;
}

conf_handle *load(const char *name, bool create)
{
  drivers_init();
  for (auto &slot : g_drivers) {
    const conf_drv *d = slot.load(std::memory_order_acquire);
    if (d && d->ops->match(name))
      return handle_new(d->ops->open(name, create), d);
  }
  LOGE("no configuration driver reads [%s]\n", name);
  return nullptr;
}

/* Splits "section<TAB>key" at the first TAB, else "section:key" at the first ':'. */
bool split_name(const char *name, std::string *sec, const char **key)
{
  if (!name)
    return false;
  const char *sep = strchr(name, '\t');
  if (!sep)
    sep = strchr(name, ':');
  if (!sep || static_cast<size_t>(sep - name) > CONF_SEC_NAME_MAX)
    return false;
  sec->assign(name, static_cast<size_t>(sep - name));
  *key = sep + 1;
  return true;
}

bool absent(const char *v)
{
  return !v || strcmp(v, CONF_NOT_EXIST_VAL) == 0;
}

} // namespace

int conf_drv_register(const conf_drv *drv)
{
  if (!chk_assert(drv && drv->ops))
    return -1;
  std::lock_guard<std::mutex> g(g_drivers_lock);
  for (int i = 0; i < CONF_DRV_MAX; i++) {
    const conf_drv *d = g_drivers[i].load(std::memory_order_relaxed);
    if (d == drv)
      return -1;
    if (!d) {
      g_drivers[i].store(drv, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

conf_dat_decode_fn conf_dat_decoder()
{
  return g_dat_decoder.load(std::memory_order_acquire);
}

void conf_set_dat_decoder(conf_dat_decode_fn fn)
{
  g_dat_decoder.store(fn, std::memory_order_release);
}

conf_handle *conf_load(const char *name)
{
  pl_assert(name != NULL);
  return load(name, false);
}

conf_handle *conf_create_load(const char *name)
{
  pl_assert(name != NULL);
  return load(name, true);
}

conf_handle *conf_load_str(const char *text, int type)
{
  if (!chk_assert(text != nullptr))
    return nullptr;
  drivers_init();
  for (auto &slot : g_drivers) {
    const conf_drv *d = slot.load(std::memory_order_acquire);
    if (d && d->type == type)
      return handle_new(d->ops->open_str(text), d);
  }
  LOGE("no configuration driver of type %d\n", type);
  return nullptr;
}

void conf_close(conf_handle *h)
{
  if (!h)
    return;
  h->drv->ops->close(h->dh);
  delete h;
}

const char *conf_get_str(conf_handle *h, const char *sec, const char *key, const char *def)
{
  if (!h || !sec || !key)
    return def;
  return h->drv->ops->get(h->dh, sec, key, def);
}

int conf_get_int(conf_handle *h, const char *sec, const char *key, int def)
{
  const char *v = conf_get_str(h, sec, key, CONF_NOT_EXIST_VAL);
  if (absent(v))
    return def;
  errno = 0;
  long long n = strtoll(v, nullptr, 10);
  if (errno == ERANGE || n < INT_MIN || n > INT_MAX) {
    LOGW("%s.%s=%.64s is out of range, %d used\n", sec, key, v, def);
    return def;
  }
  return static_cast<int>(n);
}

uint64_t conf_get_size(conf_handle *h, const char *sec, const char *key, uint64_t def)
{
  const char *v = conf_get_str(h, sec, key, CONF_NOT_EXIST_VAL);
  return absent(v) ? def : str_size_parse(v);
}

const char *conf_get_str2(conf_handle *h, const char *name, const char *def)
{
  std::string sec;
  const char *key;
  return split_name(name, &sec, &key) ? conf_get_str(h, sec.c_str(), key, def) : def;
}

int conf_get_int2(conf_handle *h, const char *name, int def)
{
  std::string sec;
  const char *key;
  return split_name(name, &sec, &key) ? conf_get_int(h, sec.c_str(), key, def) : def;
}

uint64_t conf_get_size2(conf_handle *h, const char *name, uint64_t def)
{
  std::string sec;
  const char *key;
  return split_name(name, &sec, &key) ? conf_get_size(h, sec.c_str(), key, def) : def;
}

int conf_set_str(conf_handle *h, const char *sec, const char *key, const char *value)
{
  if (!h)
    return VERR_HANDLE;
  if (!sec || !key)
    return VERR_PARAM;
  return h->drv->ops->set(h->dh, sec, key, value);
}

int conf_set_int(conf_handle *h, const char *sec, const char *key, int value)
{
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return conf_set_str(h, sec, key, text);
}

int conf_set_str2(conf_handle *h, const char *name, const char *value)
{
  std::string sec;
  const char *key;
  if (!split_name(name, &sec, &key))
    return VERR_PARAM;
  return conf_set_str(h, sec.c_str(), key, value);
}

int conf_del_section(conf_handle *h, const char *sec)
{
  if (!h)
    return VERR_HANDLE;
  return sec ? h->drv->ops->del_section(h->dh, sec) : VERR_PARAM;
}

int conf_del_key(conf_handle *h, const char *sec, const char *key)
{
  if (!h)
    return VERR_HANDLE;
  return sec && key ? h->drv->ops->del_key(h->dh, sec, key) : VERR_PARAM;
}

int conf_rename_key(conf_handle *h, const char *sec, const char *key, const char *new_key)
{
  if (!h)
    return VERR_HANDLE;
  if (!h->drv->ops->rename_key)
    return VERR_NOTSUP;
  return h->drv->ops->rename_key(h->dh, sec, key, new_key);
}

int conf_save(conf_handle *h)
{
  return h ? h->drv->ops->save(h->dh, nullptr) : VERR_HANDLE;
}

int conf_save_as(conf_handle *h, const char *path)
{
  if (!h)
    return VERR_HANDLE;
  return path ? h->drv->ops->save(h->dh, path) : VERR_PARAM;
}

std::vector<std::string> conf_list_sections(conf_handle *h)
{
  return h ? h->drv->ops->list_sections(h->dh) : std::vector<std::string>();
}

std::vector<std::string> conf_list_keys(conf_handle *h, const char *sec)
{
  return h && sec ? h->drv->ops->list_keys(h->dh, sec) : std::vector<std::string>();
}

std::vector<std::string> conf_list_values(conf_handle *h, const char *sec)
{
  std::vector<std::string> out;
  for (const auto &k : conf_list_keys(h, sec)) {
    const char *v = conf_get_str(h, sec, k.c_str(), nullptr);
    if (v && *v)
      out.emplace_back(v);
  }
  return out;
}

std::map<std::string, std::string> conf_section_map(conf_handle *h, const char *sec)
{
  std::map<std::string, std::string> out;
  for (const auto &k : conf_list_keys(h, sec)) {
    const char *v = conf_get_str(h, sec, k.c_str(), nullptr);
    out.emplace(k, v ? v : "");
  }
  return out;
}
