#pragma once
/* Configuration store over two-level names (section, key). One driver is built in (INI text,
 * comments kept across a save); a handle is used by one thread at a time. */
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct conf_handle;

/* Driver type numbers (conf_load_str). */
enum : int { CONF_TYPE_INI = 0 };

/* Sentinel value with which typed getters detect an absent key. */
#define CONF_NOT_EXIST_VAL "NOT_EXIST_VAL_!!!"

/* Opens a file with the first driver whose name pattern accepts it; null when none does or the
 * file cannot be read. conf_create_load creates a missing file empty. A null path is fatal. */
conf_handle *conf_load(const char *path);
conf_handle *conf_create_load(const char *path);
/* Opens INI text with the driver of the given type; null on failure. */
conf_handle *conf_load_str(const char *text, int type);
void conf_close(conf_handle *h);

/* Getters never fail: they return def when the key is absent. The returned text lives until
 * the key is changed or the handle closed. */
const char *conf_get_str(conf_handle *h, const char *sec, const char *key, const char *def);
int conf_get_int(conf_handle *h, const char *sec, const char *key, int def);
uint64_t conf_get_size(conf_handle *h, const char *sec, const char *key, uint64_t def);
/* Combined-name forms: "section<TAB>key" or "section:key". */
const char *conf_get_str2(conf_handle *h, const char *name, const char *def);
int conf_get_int2(conf_handle *h, const char *name, int def);
uint64_t conf_get_size2(conf_handle *h, const char *name, uint64_t def);

/* Setters create the section when needed; 0 or a negative value. */
int conf_set_str(conf_handle *h, const char *sec, const char *key, const char *value);
int conf_set_int(conf_handle *h, const char *sec, const char *key, int value);
int conf_set_str2(conf_handle *h, const char *name, const char *value);

/* Number of entries removed (conf_del_key: 1), 0 when absent, negative for a bad handle. */
int conf_del_section(conf_handle *h, const char *sec);
int conf_del_key(conf_handle *h, const char *sec, const char *key);
/* Renames a key where the driver supports it (the INI driver does not); 0 or negative. */
int conf_rename_key(conf_handle *h, const char *sec, const char *key, const char *new_key);
/* Writes the store back to the file it was loaded from; 0 or negative. A store whose text would
 * not read back the same (a line over 1024 characters) or a "*.dat" target (no encoder exists)
 * is refused before the file is opened, so the file stays as it was. */
int conf_save(conf_handle *h);
/* Writes the store to another path. */
int conf_save_as(conf_handle *h, const char *path);

std::vector<std::string> conf_list_sections(conf_handle *h);
std::vector<std::string> conf_list_keys(conf_handle *h, const char *sec);
/* Non-empty values of a section, in file order. */
std::vector<std::string> conf_list_values(conf_handle *h, const char *sec);
std::map<std::string, std::string> conf_section_map(conf_handle *h, const char *sec);

/* Numbered lists: keys "0", "1", ... of one section, up to the first missing number.
 * conf_list_add returns 1 when the value was appended, 0 when the list holds it already;
 * conf_list_remove returns 1 when it was removed, 0 when it was absent; negative on failure. */
int conf_list_add(conf_handle *h, const char *sec, const char *value);
int conf_list_remove(conf_handle *h, const char *sec, const char *value);

/* For every key present in both files, sets the target's value to the source's; saves the target.
 * Returns the number of keys copied, -1 when a file cannot be loaded. */
int conf_copy(const char *target_path, const char *source_path);
/* Loads path, reads one value, closes; def when the file cannot be loaded. */
std::string conf_read_value(const char *path, const char *sec, const char *key, const char *def);

/* Decoder of "*.dat" files: gets the raw bytes, returns the INI text (false on failure). */
typedef bool (*conf_dat_decode_fn)(const std::string &raw, std::string *text);
void conf_set_dat_decoder(conf_dat_decode_fn fn);
