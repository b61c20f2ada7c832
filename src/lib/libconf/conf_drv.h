#pragma once
/* Configuration drivers: a type number and a table of operations over the driver's own
 * handle. The store keeps at most CONF_DRV_MAX drivers; the INI driver takes the first free
 * slot when the first load runs. */
#include <string>
#include <vector>

#include "libconf/conf.h"

constexpr int CONF_DRV_MAX = 4;

struct conf_drv_ops {
  /* True when the driver reads files of this name. */
  bool (*match)(const char *name);
  /* Opens a file; with create set a file that does not exist is created empty. Null on failure. */
  void *(*open)(const char *path, bool create);
  void *(*open_str)(const char *text);
  void (*close)(void *dh);
  const char *(*get)(void *dh, const char *sec, const char *key, const char *def);
  int (*set)(void *dh, const char *sec, const char *key, const char *value);
  std::vector<std::string> (*list_sections)(void *dh);
  std::vector<std::string> (*list_keys)(void *dh, const char *sec);
  int (*del_section)(void *dh, const char *sec);
  int (*del_key)(void *dh, const char *sec, const char *key);
  int (*spare11)(void *dh, const char *a, const char *b); /* no caller; may be null */
  int (*rename_key)(void *dh, const char *sec, const char *key, const char *new_key);
  int (*spare13)(void *dh); /* no caller; may be null */
  /* Writes the store to path, or to the file it came from when path is null. */
  int (*save)(void *dh, const char *path);
};

struct conf_drv {
  int type;
  const conf_drv_ops *ops;
};

/* Puts drv into the first free slot; its index, or -1 when the table is full or drv is already
 * there. Any thread. */
int conf_drv_register(const conf_drv *drv);

/* The INI driver, type CONF_TYPE_INI. */
extern const conf_drv conf_ini_drv;

/* The decoder installed with conf_set_dat_decoder, or null. */
conf_dat_decode_fn conf_dat_decoder();
