#pragma once
/* What the two sources of libqvcli share: the checked load and the 0600 save of the client file. */
#include <string>

#include "libconf/conf.h"
#include "libqvcli/qvcli.h"

/* Loads the client file at path, checked as qv_conf_file_check does but on the descriptor it reads
 * (the name may be swapped after a check); an unsafe file is refused with a warning, a missing one
 * too unless create is set (then the store starts empty and the file appears at the first save).
 * Logs one warning per process and file when the file is readable by group or others. Null with err
 * filled ("conf_load [%s] failed", "conf_create_load [%s] fail"). */
conf_handle *qvcli_client_load(const char *path, bool create, vperror *err);
/* Saves h to path through a new file of mode 0600 that replaces path. 0 or -1 (err filled). */
int qvcli_client_save(conf_handle *h, const char *path, vperror *err);
/* The client file path, after running the set-up when it has not run. */
std::string qvcli_client_path();
