#define LOG_TAG "conf"
#include <cstdio>
#include <string>
#include <vector>

#include "libconf/conf.h"
#include "liblog/log2.h"
#include "libpal/comm/verr.h"

namespace {

struct num_key {
  char text[24]; /* room for any size_t in decimal */
  explicit num_key(size_t n) { snprintf(text, sizeof text, "%zu", n); }
};

/* Values under "0", "1", ... up to the first missing number. */
std::vector<std::string> numbered_values(conf_handle *h, const char *sec)
{
  std::vector<std::string> out;
  for (size_t i = 0;; i++) {
    const char *v = conf_get_str(h, sec, num_key(i).text, nullptr);
    if (!v)
      return out;
    out.emplace_back(v);
  }
}

} // namespace

int conf_list_add(conf_handle *h, const char *sec, const char *value)
{
  if (!h)
    return VERR_HANDLE;
  if (!sec || !value)
    return VERR_PARAM;
  std::vector<std::string> list = numbered_values(h, sec);
  for (const auto &v : list)
    if (v == value)
      return 0;
  int rc = conf_set_str(h, sec, num_key(list.size()).text, value);
  return rc < 0 ? rc : 1;
}

int conf_list_remove(conf_handle *h, const char *sec, const char *value)
{
  if (!h)
    return VERR_HANDLE;
  if (!sec || !value)
    return VERR_PARAM;
  std::vector<std::string> list = numbered_values(h, sec);
  std::vector<std::string> kept;
  for (auto &v : list)
    if (v != value)
      kept.push_back(std::move(v));
  if (kept.size() == list.size())
    return 0;
  for (size_t i = 0; i < kept.size(); i++) {
    int rc = conf_set_str(h, sec, num_key(i).text, kept[i].c_str());
    if (rc < 0)
      return rc;
  }
  for (size_t i = kept.size(); i < list.size(); i++)
    conf_del_key(h, sec, num_key(i).text);
  return 1;
}

int conf_copy(const char *target_path, const char *source_path)
{
  if (!target_path || !source_path)
    return -1;
  conf_handle *dst = conf_load(target_path);
  if (!dst)
    return -1;
  conf_handle *src = conf_load(source_path);
  if (!src) {
    conf_close(dst);
    return -1;
  }
  int n = 0;
  int rc = 0;
  for (const auto &sec : conf_list_sections(dst)) {
    for (const auto &key : conf_list_keys(dst, sec.c_str())) {
      const char *v = conf_get_str(src, sec.c_str(), key.c_str(), nullptr);
      if (!v)
        continue;
      if ((rc = conf_set_str(dst, sec.c_str(), key.c_str(), v)) < 0)
        break;
      n++;
    }
    if (rc < 0)
      break;
  }
  if (rc == 0)
    rc = conf_save(dst);
  conf_close(src);
  conf_close(dst);
  if (rc < 0) {
    LOGE("conf_copy [%s] <- [%s] failed: %d\n", target_path, source_path, rc);
    return rc;
  }
  return n;
}

std::string conf_read_value(const char *path, const char *sec, const char *key, const char *def)
{
  std::string out = def ? def : "";
  if (!path)
    return out;
  conf_handle *h = conf_load(path);
  if (!h)
    return out;
  const char *v = conf_get_str(h, sec, key, nullptr);
  if (v)
    out = v;
  conf_close(h);
  return out;
}
