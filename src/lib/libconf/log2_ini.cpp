#define LOG_TAG "pal"
#include <cstdlib>
#include <cstring>
#include <string>

#include "libconf/conf.h"
#include "libconf/log2_ini.h"
#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "libpal/string/pl_str.h"

int log2_file_mode_set(const char *mode);
int log2_debug_set(int on);

namespace {

const char *value_of(conf_handle *h, const std::string &sec, const char *key)
{
  const char *v = conf_get_str(h, sec.c_str(), key, nullptr);
  return v && *v ? v : nullptr;
}

} // namespace

int log2_init_imp(const char *type, const char *source, const char *name)
{
  if (!type || !source) {
    fprintf(stderr, "type [%s] error\n", type ? type : "(null)");
    return -1;
  }
  conf_handle *h = nullptr;
  if (strcmp(type, "ini_file") == 0) {
    h = conf_load(source);
    if (!h) {
      log2_diag("conf_load [%s] failed\n", source);
      return -1;
    }
  } else if (strcmp(type, "ini_str") == 0) {
    h = conf_load_str(source, CONF_TYPE_INI);
    if (!h) {
      log2_diag("conf_load_str [%s] failed\n", source);
      return -1;
    }
  } else {
    fprintf(stderr, "type [%s] error\n", type);
    return -1;
  }

  std::string sec = name && *name ? std::string("log_") + name : std::string("log");
  const char *v;
  int on = 1;
  if ((v = value_of(h, sec, "debug")) && strcmp(v, "1") == 0)
    log2_debug_set(1);
  if ((v = value_of(h, sec, "level")))
    log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, v, 0);
  if ((v = value_of(h, sec, "flags")))
    log2_ioctl(nullptr, LOG2_IOC_FLAGS_STR, v, 0);
  if ((v = value_of(h, sec, "syslog")) && log2_ioctl(nullptr, LOG2_IOC_SYSLOG_OPEN, v, 0) == 0)
    log2_ioctl(nullptr, LOG2_IOC_SYSLOG_ON, &on, sizeof on);
  if ((v = value_of(h, sec, "bsvlog")))
    log2_ioctl(nullptr, LOG2_IOC_BSV_OPEN, v, 0);
  if ((v = value_of(h, sec, "file_dir")))
    log2_ioctl(nullptr, LOG2_IOC_FILE_DIR, v, 0);
  if ((v = value_of(h, sec, "file_mode")))
    log2_file_mode_set(v);
  if ((v = value_of(h, sec, "max_num_file"))) {
    int n = atoi(v);
    log2_ioctl(nullptr, LOG2_IOC_FILE_NUM, &n, sizeof n);
  }
  if ((v = value_of(h, sec, "key")))
    log2_ioctl(nullptr, LOG2_IOC_FILE_KEY, v, 0);
  if ((v = value_of(h, sec, "file_size"))) {
    uint64_t sz = str_size_parse(v);
    if (sz >= static_cast<uint64_t>(LOG2_FILE_SIZE_MIN) && sz <= 0x7fffffffu) {
      int n = static_cast<int>(sz);
      log2_ioctl(nullptr, LOG2_IOC_FILE_SIZE, &n, sizeof n);
    } else {
      LOGW("log2_ioctl log.file_size=%d (must>=%d error)\n", static_cast<int>(sz), LOG2_FILE_SIZE_MIN);
    }
  }
  /* The file is opened last so that directory, mode, size, count and key apply to it. */
  if ((v = value_of(h, sec, "file")) && log2_ioctl(nullptr, LOG2_IOC_FILE_OPEN, v, 0) == 0)
    log2_ioctl(nullptr, LOG2_IOC_FILE_ON, &on, sizeof on);
  conf_close(h);
  return 0;
}
