#pragma once
/* Client configuration: where "qv_client.ini" and "qv_proxy.ini" live, the connection profiles
 * stored in "qv_client.ini", and the resolution of an endpoint text ("///name/path") into the URL
 * (or local path) that the engine opens.
 *
 * Configuration directory. The first of these directories whose "qv_client.ini" exists and is
 * safe to use is chosen:
 *   1. $QV_ENV_CONF_DIR (when set and not empty),
 *   2. the current working directory,
 *   3. the directory of the running executable,
 *   4. $HOME/.config/qvcp,
 *   5. /etc/qvcp.
 * When none qualifies, the executable's directory is used anyway (a profile written later creates
 * the file there). A configuration file is safe when it is a regular file owned by the running user
 * or by root and not writable by group or others; any other file is skipped with a warning, so a
 * directory someone else controls cannot route connections through its own profiles or proxies.
 * Choosing a directory exports QV_PROXY_FILE (the path of its "qv_proxy.ini", overwriting any
 * value; unset when that file exists but is not safe) and QV_CACHE (a value already in the
 * environment wins; otherwise "cache_dir" of section "conf" when not empty).
 *
 * Profiles. Section "session/<name>" of "qv_client.ini" holds one profile: "prot" ("qvp", "loc" or
 * "net"), "ip", "use_ssl", "port", "user", "pwd", "bs", "fmod", "dmod", "proxy". An IPv6 address is
 * stored with "_" in place of every ":". The password is stored as given (files in use rely on
 * it); the file is therefore always written with mode 0600, and an existing file readable by group
 * or others gets one warning per process.
 *
 * Secrets: no function here writes a password to the log at any level; URLs are logged with the
 * password replaced by "***".
 *
 * Threads: qv_conf_setup and qv_conf_set_path change the process environment; call them at start,
 * before other threads read the environment. Everything else may be called from any thread, one
 * call at a time per file (the profile operations load, change and save the whole file). */
#include <cstddef>
#include <cstdint>

#include "libpal/comm/verr.h"

#define QV_CONF_CLIENT_NAME "qv_client.ini"
#define QV_CONF_PROXY_NAME "qv_proxy.ini"
/* The file that qv_conf_set_path prefers as the client file when the directory holds it. */
#define QV_CONF_GUI_CLIENT_NAME "qvdk-gui-user.ini"

constexpr size_t QV_CONF_PATH_SIZE = 4096;

/* Configuration set-up: searches the directories above, records the two file paths and exports
 * the variables. Returns 0 (missing directories or files are not errors). Once a client file path
 * is known, later calls do nothing. */
int qv_conf_setup();
/* As qv_conf_setup with dir in place of the search (QV_ENV_CONF_DIR, when it holds a safe
 * "qv_client.ini", still wins); "qvdk-gui-user.ini" in the chosen directory is the client file when
 * it exists. Always takes effect. Returns 0, or -1 for a null or too long dir. */
int qv_conf_set_path(const char *dir);
/* Forgets the chosen directory, so that the next qv_conf_setup searches again (a test, or a front
 * end that changed its directory or environment). */
void qv_conf_reset();

/* Paths chosen by the set-up (which runs first when it has not run yet), copied into out (at most
 * size bytes). Return the length, or -1 when it does not fit. */
int qv_conf_client_path(char *out, size_t size);
int qv_conf_proxy_path(char *out, size_t size);

/* The candidate directories of the search, in order, for the current environment (QV_ENV_CONF_DIR
 * only when set). Fills at most max entries of dirs (each QV_CONF_PATH_SIZE bytes); returns the
 * count. */
int qv_conf_candidates(char (*dirs)[QV_CONF_PATH_SIZE], int max);
/* The first directory of dirs (count entries) whose "qv_client.ini" is safe; the others that hold
 * an unsafe one are logged as skipped. Returns the index, or -1 when none qualifies. */
int qv_conf_pick(const char (*dirs)[QV_CONF_PATH_SIZE], int count);

/* Whether the configuration file at path may be used: 1 when it is safe (as above), 0 when it does
 * not exist, -1 when it must be skipped (err tells why: its owner, or group/other write access, or
 * not a regular file). */
int qv_conf_file_check(const char *path, vperror *err);

/* Section "conf" of the client file. Setting "cache_dir" also exports QV_CACHE. Setters: 0 or -1
 * (err filled); the file is written with mode 0600. Getters give def when the key, the file or the
 * set-up is missing; qv_conf_get_str returns the length, or -1 when the value does not fit out. */
int qv_conf_set_int(const char *key, int value, vperror *err);
int qv_conf_set_str(const char *key, const char *value, vperror *err);
int qv_conf_get_int(const char *key, int def);
int qv_conf_get_str(const char *key, const char *def, char *out, size_t size);

/* Kind of a profile. */
enum : int {
  QV_PROF_LOCAL = 2, /* "loc": the local machine */
  QV_PROF_NET = 3,   /* "net": the network neighbourhood entry */
  QV_PROF_QVP = 4,   /* "qvp": a qvsd server */
};

/* One profile in memory. Every text is NUL-terminated; a stored value that does not fit its field
 * makes the profile unreadable (a bad record), never a truncated value. host holds the stored form
 * ("_" for ":") or a plain address; both build the same URL. */
struct qv_profile {
  int kind;
  char name[256];
  int use_ssl;
  char host[256];
  char port[32]; /* digits, "QVP_DEF_PORT", "QVPS_DEF_PORT" or empty */
  char user[256];
  char pwd[256];
  char bs[8];    /* "2M" unless stored */
  char fmod[4];  /* "644" unless stored */
  char dmod[4];  /* "755" unless stored */
  char proxy[256];
};

/* Reads profile name from the client file into rec. 0, or -1 with err: "conf_load [path] failed"
 * (file absent or unsafe), "'name' does not exist", "Failed to get ip", "Unsupported protocol
 * [prot]", or a value too long for its field. */
int conf_client_get_info(const char *name, qv_profile *rec, vperror *err);
/* The URL of rec into out (at most size bytes):
 *   kind 4: "qvp://" or "qvps://", "user[:pwd]@" when a user is set, the host ("_" read as ":",
 *           in "[...]" when it holds ":"), ":port" unless empty or the scheme's placeholder, and
 *           "?proxy=NAME" when a proxy is set;
 *   kind 2: "loc://";
 *   kind 3: "net://" and the profile name.
 * 0, or -1 with err for a record the URL cannot carry (empty host, a user holding ":", a user or
 * password holding "@", "/", "?", "#", "\" or blanks, a port that is not a number up to 65535, a
 * proxy name holding "&", "#", "?" or blanks, an unknown kind) or a result that does not fit. */
int conf_client_url(const qv_profile *rec, char *out, size_t size, vperror *err);
/* Writes rec under its name (kind 4: all ten keys, the host stored with "_" for ":"; kind 3:
 * "prot" only; any other kind is refused and nothing is written). 0 or -1 (err filled). */
int conf_client_set_info(const qv_profile *rec, vperror *err);
/* Whether profile name exists (its section has "prot"). */
bool conf_client_is_exist(const char *name);
/* Deletes profile name: 1 when it was deleted, 0 when it did not exist, -1 on failure. */
int conf_client_del(const char *name, vperror *err);
/* Copies profile from to the name to (every key of the section), deleting from when move is set.
 * Refused when from does not exist, to exists already, or the names are equal. 0 or -1. */
int conf_client_copy_move(const char *from, const char *to, bool move, vperror *err);
/* Called per profile with its name and kind; a non-zero return ends the walk. */
typedef int (*conf_client_walk_fn)(const char *name, int kind, void *arg);
/* Makes sure "session/localhost" (loc) and "session/network" (net) exist (saving the file when one
 * was missing; a failed save is a warning), then calls fn for every profile that reads without
 * error, in file order, except "network" and "_Quick_Connection". Returns the number of calls, or
 * -1 when the file cannot be loaded. */
int conf_client_walk(conf_client_walk_fn fn, void *arg, vperror *err);

/* Resolves one endpoint text (the value of if= or of=) into what the engine opens, in out (at most
 * size bytes; EP_URL_SIZE is enough for any text the engine accepts):
 *   1. Blanks around the text and one pair of enclosing double and of single quotes are removed
 *      (repeatedly), and every "\" becomes "/".
 *   2. A text that does not start with "///" is the result as it is now ("/data", "qvp://h/x").
 *   3. "///name/path": name runs to the first "/" or "?"; the rest (possibly empty) is the path.
 *      The profile gives its URL (conf_client_url); a local profile ("loc") gives the empty text,
 *      so the result is the bare local path: "///localhost/tmp/a" gives "/tmp/a".
 *   4. A "?" in the path moves what follows it into the URL's query ("?" or "&" joins it) and the
 *      path goes before the query, with a "/" put in front when it has none:
 *      "///office/dir?read_timeout=30" gives "qvp://u@10.0.0.5/dir?read_timeout=30".
 * The result of a remote profile carries the stored password: pass it on, never log it raw
 * (url_text_mask). Returns 0, or -1 with err: an empty profile name, a local profile without a path,
 * each error of conf_client_get_info and conf_client_url, or a result that does not fit out
 * (VERR_NAME_TOO_LONG). Runs qv_conf_setup when it has not run. */
int qv_url_resolve(const char *text, char *out, size_t size, vperror *err);
