#define LOG_TAG "conf"
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "libconf/conf_drv.h"
#include "libconf/ini/ini_dict.h"
#include "liblog/log2.h"
#include "libpal/comm/verr.h"

namespace {

constexpr const char *INI_NAME_PATTERNS[] = {"*.ini", "*.qvi", "*.inf", "*.cfg", "*.dat"};
/* Encoded files are read whole before decoding; a larger one is no configuration file. */
constexpr size_t DAT_SIZE_MAX = 16u << 20;

struct ini_conf {
  ini_dict dict;
  std::string path;
};

ini_conf *conf_of(void *dh)
{
  return static_cast<ini_conf *>(dh);
}

bool is_dat(const char *path)
{
  return fnmatch("*.dat", path, 0) == 0;
}

struct unique_fd {
  int fd;
  ~unique_fd()
  {
    if (fd >= 0)
      close(fd);
  }
};

struct file_closer {
  void operator()(FILE *f) const { fclose(f); }
};

/* Opens path for reading; O_NONBLOCK keeps a FIFO from blocking the open, and anything but a
 * regular file is refused so that neither a FIFO nor a device is read. -1 on failure (logged). */
int open_regular(const char *path, bool create)
{
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && create && errno == ENOENT)
    fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    LOGE("iniparser: cannot open %s\n", path);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    LOGE("iniparser: %s is not a regular file\n", path);
    close(fd);
    return -1;
  }
  return fd;
}

int file_getc(void *ctx)
{
  return getc_unlocked(static_cast<FILE *>(ctx));
}

bool load_plain(ini_conf *c, int fd)
{
  std::unique_ptr<FILE, file_closer> f(fdopen(fd, "r"));
  if (!f) {
    close(fd);
    LOG2(LOG2_ERR | LOG2_ERRNO, "fdopen [%s] err: ", c->path.c_str());
    return false;
  }
  if (ini_dict_parse(&c->dict, file_getc, f.get()) < 0)
    return false;
  if (ferror(f.get())) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "read [%s] err: ", c->path.c_str());
    return false;
  }
  return true;
}

bool load_dat(ini_conf *c, int fd_in)
{
  unique_fd fd{fd_in};
  conf_dat_decode_fn decode = conf_dat_decoder();
  if (!decode) {
    LOGE("no decoder installed for [%s]\n", c->path.c_str());
    return false;
  }
  std::string raw;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd_in, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      LOG2(LOG2_ERR | LOG2_ERRNO, "read [%s] err: ", c->path.c_str());
      return false;
    }
    if (n == 0)
      break;
    if (raw.size() + static_cast<size_t>(n) > DAT_SIZE_MAX) {
      LOGE("[%s] is larger than %zu bytes\n", c->path.c_str(), DAT_SIZE_MAX);
      return false;
    }
    raw.append(buf, static_cast<size_t>(n));
  }
  std::string text;
  if (!decode(raw, &text)) {
    LOGE("decoding [%s] failed\n", c->path.c_str());
    return false;
  }
  return ini_dict_parse_mem(&c->dict, text.data(), text.size()) == 0;
}

bool ini_conf_match(const char *name)
{
  for (const char *p : INI_NAME_PATTERNS)
    if (fnmatch(p, name, 0) == 0)
      return true;
  return false;
}

void *ini_conf_open(const char *path, bool create)
{
  /* Without a decoder an encoded file can neither be read nor usefully created. */
  if (is_dat(path) && !conf_dat_decoder()) {
    LOGE("no decoder installed for [%s]\n", path);
    return nullptr;
  }
  std::unique_ptr<ini_conf> c(new (std::nothrow) ini_conf);
  if (!c)
    return nullptr;
  c->path = path;
  int fd = open_regular(path, create);
  if (fd < 0)
    return nullptr;
  bool ok = is_dat(path) ? load_dat(c.get(), fd) : load_plain(c.get(), fd);
  if (!ok) {
    LOGE("loading [%s] failed\n", path);
    return nullptr;
  }
  return c.release();
}

void *ini_conf_open_str(const char *text)
{
  std::unique_ptr<ini_conf> c(new (std::nothrow) ini_conf);
  if (!c || ini_dict_parse_mem(&c->dict, text, strlen(text)) < 0)
    return nullptr;
  return c.release();
}

void ini_conf_close(void *dh)
{
  delete conf_of(dh);
}

const char *ini_conf_get(void *dh, const char *sec, const char *key, const char *def)
{
  return ini_dict_get(&conf_of(dh)->dict, sec, key, def);
}

int ini_conf_set(void *dh, const char *sec, const char *key, const char *value)
{
  int rc = ini_dict_set(&conf_of(dh)->dict, sec, key, value);
  if (rc < 0)
    LOGE("[%.64s] [%.64s]: name or value has no INI form\n", sec ? sec : "", key ? key : "");
  return rc;
}

std::vector<std::string> ini_conf_list_sections(void *dh)
{
  return ini_dict_sections(&conf_of(dh)->dict);
}

std::vector<std::string> ini_conf_list_keys(void *dh, const char *sec)
{
  return ini_dict_keys(&conf_of(dh)->dict, sec);
}

int ini_conf_del_section(void *dh, const char *sec)
{
  return ini_dict_del_section(&conf_of(dh)->dict, sec);
}

int ini_conf_del_key(void *dh, const char *sec, const char *key)
{
  return ini_dict_del_key(&conf_of(dh)->dict, sec, key);
}

int ini_conf_rename_key(void *, const char *, const char *, const char *)
{
  fputs("noimpl\n", stdout);
  return VERR_NOIMPL;
}

/* The text is complete before the file is opened, so a refused entry leaves the file as it was. */
int ini_conf_save(void *dh, const char *path)
{
  ini_conf *c = conf_of(dh);
  if (!path)
    path = c->path.c_str();
  if (!*path) {
    LOGE("no file to save to: the store was not loaded from a file\n");
    return VERR_PARAM;
  }
  if (is_dat(path)) {
    LOGE("cannot save [%s]: there is no encoder for this kind of file\n", path);
    return VERR_NOTSUP;
  }
  std::string text;
  int rc = ini_dict_format(&c->dict, &text);
  if (rc < 0)
    return rc;
  FILE *f = fopen(path, "w+");
  if (!f) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "fopen [%s] err: ", path);
    return VERR_FAIL;
  }
  /* The first failure's errno is the one reported. */
  bool failed = false;
  int eno = 0;
  if (fwrite(text.data(), 1, text.size(), f) != text.size() || fflush(f) != 0) {
    failed = true;
    eno = errno;
  }
  if (fclose(f) != 0 && !failed) {
    failed = true;
    eno = errno;
  }
  if (failed) {
    errno = eno;
    LOG2(LOG2_ERR | LOG2_ERRNO, "fwrite [%s] err: ", path);
    return VERR_FAIL;
  }
  return 0;
}

constexpr conf_drv_ops ini_ops = {
    .match = ini_conf_match,
    .open = ini_conf_open,
    .open_str = ini_conf_open_str,
    .close = ini_conf_close,
    .get = ini_conf_get,
    .set = ini_conf_set,
    .list_sections = ini_conf_list_sections,
    .list_keys = ini_conf_list_keys,
    .del_section = ini_conf_del_section,
    .del_key = ini_conf_del_key,
    .spare11 = nullptr,
    .rename_key = ini_conf_rename_key,
    .spare13 = nullptr,
    .save = ini_conf_save,
};

} // namespace

extern const conf_drv conf_ini_drv = {CONF_TYPE_INI, &ini_ops};
