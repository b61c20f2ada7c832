#pragma once
/* Text helpers of the runtime: size values, octal numbers, path normalising. */
#include <cstddef>
#include <cstdint>

/* Size value: decimal number (fraction and exponent allowed) followed by at most two unit letters
 * ("4M" 4194304, "1MB" 1000000, "1.5k" 1536). Empty text, a leading blank or sign, a text longer
 * than 256 characters or three unit letters give 0. */
uint64_t str_size_parse(const char *text);
/* Octal number: leading blanks and a sign allowed, stops at the first non-octal character,
 * no digits give 0. */
uint32_t str_octal_parse(const char *text);
/* Normalises a path in place semantics into out (at most size bytes): surrounding blanks removed,
 * "\" turned into "/", a leading "file://" removed, repeated "/" collapsed. Returns the length,
 * or -1 when it does not fit. */
int str_path_normalize(const char *in, char *out, size_t size);
