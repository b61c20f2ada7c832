#pragma once
/* The ordered dictionary behind the INI driver, with its text reader and writer. A section is
 * an entry named after the section with an empty value; a key is an entry named
 * "section<TAB>key". Entries stay in file order, the keys of a section always directly after
 * their section entry, and the section with the empty name (keys written before any section
 * line) always first. One thread at a time per dictionary. */
#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

/* Longest physical line, and longest line after joining continuation lines, in characters
 * without the newline. */
constexpr size_t INI_LINE_MAX = 1024;

struct ini_entry {
  std::string name;    /* section, or section TAB key */
  std::string value;   /* empty for a section */
  std::string comment; /* comment lines read before the entry, each ending in '\n' */
};

struct ini_dict {
  std::list<ini_entry> entries;
  std::unordered_map<std::string, std::list<ini_entry>::iterator> index; /* by entry name */
  std::unordered_map<std::string, std::list<ini_entry>::iterator> last;  /* last entry of each section */
  std::string tail; /* comment lines after the last entry */
};

/* Source of the reader: the next byte (0 to 255), or -1 at the end of the input. */
typedef int (*ini_getc_fn)(void *ctx);

/* Replaces the contents of d with the INI text read from next. Syntax errors are logged at
 * debug level and skipped. Returns 0, or -1 when a line is too long (d is left empty). */
int ini_dict_parse(ini_dict *d, ini_getc_fn next, void *ctx);
/* The same over len bytes of memory (NUL bytes included). */
int ini_dict_parse_mem(ini_dict *d, const char *text, size_t len);
void ini_dict_clear(ini_dict *d);

/* Value of sec/key, or def when absent. The text lives until the entry changes or goes. */
const char *ini_dict_get(const ini_dict *d, const char *sec, const char *key, const char *def);
/* Sets sec/key to value (null: empty), creating the section when needed; a null key only
 * creates the section. Names and values that have no INI form (see ini_dict_format) are
 * refused. 0 or a negative verr code. */
int ini_dict_set(ini_dict *d, const char *sec, const char *key, const char *value);
/* Number of entries removed (the section and its keys), 0 when the section is absent. */
int ini_dict_del_section(ini_dict *d, const char *sec);
/* 1 when the key was removed, 0 when it was absent. */
int ini_dict_del_key(ini_dict *d, const char *sec, const char *key);
std::vector<std::string> ini_dict_sections(const ini_dict *d);
std::vector<std::string> ini_dict_keys(const ini_dict *d, const char *sec);

/* Writes d as INI text: for each section its comment, "[%s]\n" (none for the empty section name,
 * an empty line before it when it has no comment and text precedes it), then per key its
 * comment and "%s=%s\n", then the comment lines that followed the last entry. A value that the
 * reader would give back differently when bare (';' or '#' in it, a leading quote, blanks at an
 * end, a final '\') is written in quotes. Returns 0, or a negative verr code when an entry has
 * no line that reads back the same (too long, or no kind of quotes fits); out is then empty. */
int ini_dict_format(const ini_dict *d, std::string *out);
