#pragma once
/* Readable texts of sizes and time spans, for reports and progress lines. */
#include <cstddef>
#include <cstdint>

/* Enough for every text of str_size_text ("1024.0K" is the widest form). */
constexpr size_t STR_SIZE_TEXT_SIZE = 16;
/* Enough for every text of str_time_span_text, including the largest day count. */
constexpr size_t STR_TIME_SPAN_TEXT_SIZE = 48;

/* Readable size: 0 is "0", a value below 1024 its plain decimal; otherwise the value is divided by
 * 1024 until it is below 1024, with one decimal digit rounded from the last remainder
 * ((remainder * 10 + 512) / 1024) that carries into the integer part when it reaches 10, and the
 * unit letter K, M, G, T, P, E, Z or Y of the number of divisions: 1023 "1023", 1024 "1.0K",
 * 1536 "1.5K", 1048575 "1024.0K", 1048576 "1.0M".
 * Writes into buf (size bytes, NUL-terminated). Returns the text length, -2 for a null buf, or -42
 * when the text does not fit (buf then holds an empty text when size > 0). */
int str_size_text(uint64_t value, char *buf, size_t size);

/* Time span of ms milliseconds as "HH:MM:SS.mmm", with "1 day " or "N days " in front from 24
 * hours on ("00:00:01.250", "2 days 03:00:00.000"). A negative span is written as 0.
 * Returns the text length, -2 for a null buf, or -42 when it does not fit (empty text then). */
int str_time_span_text(int64_t ms, char *buf, size_t size);
