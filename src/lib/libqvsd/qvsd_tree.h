#pragma once
/* The text replies of the named tree requests, read into values. Each reader takes the reply as
 * the server sent it and accepts only what the request can get back; anything else is refused
 * whole, never half used. The readers are pure: no connection, no error record (the caller
 * reports a refusal). */
#include <cstddef>
#include <cstdint>

/* Owner lookup, "uid\tgid": each -1 (a name the server's host does not know) or a 32-bit id.
 * 0, or -1 when the text does not give two such numbers. */
int qvsd_lookup_ids_parse(const char *text, int64_t *uid, int64_t *gid);

/* Next data at or after off, "start\tend\tflag". Flag 0: the data range [start, end), which begins
 * at or after off and holds at least one byte. Flag 1: only a hole follows (start and end are not
 * used). The flag, or -1 for anything else. */
int qvsd_next_data_parse(const char *text, uint64_t off, uint64_t *start, uint64_t *end);

/* Whole-file digest: exactly 2 * len hex digits (either case) in the n bytes of text, trailing
 * line feeds and NULs ignored. 0 with out filled, or -1 (out may then be partly written). */
int qvsd_file_digest_parse(const char *text, size_t n, uint8_t *out, size_t len);

/* Directories a walk listed but could not enter: decimal digits alone, at most INT64_MAX. The
 * count, or -1. */
int64_t qvsd_rdir_dropped_parse(const char *text);
