#pragma once
/* Escaping of names and texts that travel inside TAB-separated lines.
 *
 * Escape rules: a byte of value 32 or more is copied, except "\", which becomes "\\"; NUL becomes
 * "\0", 8 "\b", 9 "\t", 10 "\n", 12 "\f", 13 "\r"; any other byte below 32 becomes "\" followed
 * by the byte itself. A NUL that is followed by an octal digit is written "\000", so that the
 * digit is not read back as part of the escape. An escaped text therefore never holds a TAB, a
 * line feed or a NUL byte.
 *
 * Unescaping reverses this and also accepts \a \v \e, \\ \" \' \?, one to three octal digits,
 * \x with one or two hex digits, \u with up to four and \U with up to eight hex digits (written
 * as UTF-8). Any other character after "\" is logged as an unknown escape sequence and stands for
 * itself. A "\" at the very end of the text is an error.
 *
 * A zz-string is a run of NUL-terminated strings ended by an empty string ("a\0b\0\0"); the
 * empty zz-string is a single NUL. */
#include <cstddef>
#include <string>

/* Length of the escaped form of len bytes of src, without a terminating NUL. */
size_t str_escape_tab_len(const char *src, size_t len);
/* Escapes len bytes of src into dst (size bytes, NUL-terminated). Returns the escaped length, or
 * -42 when it does not fit (dst then holds an empty text when size > 0). */
int str_escape_tab_buf(const char *src, size_t len, char *dst, size_t size);
/* Appends the escaped form of len bytes of src to out. Returns the number of bytes appended, or -8
 * when memory runs out (out unchanged). */
int str_escape_tab_append(const char *src, size_t len, std::string *out);

/* Bytes of a zz-string including its final empty string (1 for the empty zz-string). */
size_t str_zz_len(const char *zz);
/* Escapes a zz-string including its two final NULs: the result always ends in "\0\0", and the
 * empty zz-string escapes to "\0\0" alone. Returns the escaped length, or -42 when it does not
 * fit in size bytes (dst then holds an empty text when size > 0). */
int str_escape_tab_zz_buf(const char *zz, char *dst, size_t size);
/* The same, appended to out; -8 when memory runs out (out unchanged). */
int str_escape_tab_zz_append(const char *zz, std::string *out);

/* Unescapes len bytes of src into dst (size bytes). The result may contain NUL bytes; one more NUL
 * is written after it. Returns the number of unescaped bytes (without that NUL), -42 when it does
 * not fit, or -2 when src ends in a lone "\" (dst then holds an empty text when size > 0). */
int str_unescape_cstr_buf(const char *src, size_t len, char *dst, size_t size);
/* The same, appended to out; -2 for a lone final "\" or -8 when memory runs out (out unchanged in
 * both cases). */
int str_unescape_cstr_append(const char *src, size_t len, std::string *out);
