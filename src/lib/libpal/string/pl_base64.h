#pragma once
/* Base64 (the standard alphabet with "=" padding) and hexadecimal text of byte strings. */
#include <cstddef>

/* Length of the Base64 text of n bytes, without the terminator. */
size_t str_base64_len(size_t n);
/* Writes the Base64 text of src[0..n) and a terminator into out (at most size bytes).
 * Returns the text length, or -1 when it does not fit. */
int str_base64_encode(const void *src, size_t n, char *out, size_t size);
/* Decodes Base64 text (n characters) into out (at most size bytes). Returns the byte count, -1 for
 * text that is not Base64, -2 when the bytes do not fit. */
int str_base64_decode(const char *text, size_t n, void *out, size_t size);

/* Lower-case hexadecimal of src[0..n), two digits per byte, terminated; -1 when it does not fit,
 * else the text length. */
int str_hex_encode(const void *src, size_t n, char *out, size_t size);
/* Upper-case hexadecimal pairs separated by sep (0 for none), terminated; -1 when it does not fit. */
int str_hex_encode_sep(const void *src, size_t n, char sep, char *out, size_t size);
/* Decodes n hex digits (either case) into out. Returns the byte count, -1 for an odd count or a
 * character that is not a hex digit, -2 when the bytes do not fit. */
int str_hex_decode(const char *text, size_t n, void *out, size_t size);
