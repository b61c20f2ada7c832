#pragma once
/* Typed split of one separated line, in place.
 *
 * The signature names the fields in order, joined by "|":
 *   "str"  text: points into the split line (the separator after it is replaced by NUL)
 *   "estr" escaped text: unescaped (pl_escape.h) into a caller's std::string
 *   "u32", "u64" unsigned decimal; "x32", "x64" hexadecimal (no "0x"); "int" signed 32-bit decimal;
 *   "i64" signed 64-bit decimal.
 * A number must be the whole field: no blanks, no sign on the unsigned forms, no overflow.
 *
 * The result is the number of fields converted: min(fields present, fields in the signature) when
 * all are good, else the index of the first field that does not convert. Extra fields are left in
 * the line and ignored. The caller checks the count. Each output pointer must match its field
 * ("str" char **, "estr" std::string *, "u32"/"x32" uint32_t *, "u64"/"x64" uint64_t *, "int"
 * int32_t *, "i64" int64_t *); a signature that does not match the outputs is -2. */
#include <cstddef>
#include <cstdint>
#include <string>

enum str_scan_kind : int {
  STR_SCAN_STR = 1,
  STR_SCAN_ESTR,
  STR_SCAN_U32,
  STR_SCAN_U64,
  STR_SCAN_I32,
  STR_SCAN_I64,
};

/* One output of a scan: its C++ type and where it goes. */
struct str_scan_out {
  str_scan_kind kind;
  void *p;
};

inline str_scan_out str_scan_arg(char **p) { return {STR_SCAN_STR, p}; }
inline str_scan_out str_scan_arg(std::string *p) { return {STR_SCAN_ESTR, p}; }
inline str_scan_out str_scan_arg(uint32_t *p) { return {STR_SCAN_U32, p}; }
inline str_scan_out str_scan_arg(uint64_t *p) { return {STR_SCAN_U64, p}; }
inline str_scan_out str_scan_arg(int32_t *p) { return {STR_SCAN_I32, p}; }
inline str_scan_out str_scan_arg(int64_t *p) { return {STR_SCAN_I64, p}; }

/* The worker: line is split at sep in place; n outputs. */
int str_scanf_sep_vals(char *line, char sep, const char *sig, const str_scan_out *outs, size_t n);

/* str_scanf_sep_val(line, '\t', "str|x32|u64", &name, &type, &size) */
template <typename... A> int str_scanf_sep_val(char *line, char sep, const char *sig, A *...args)
{
  const str_scan_out outs[] = {str_scan_arg(args)...};
  return str_scanf_sep_vals(line, sep, sig, outs, sizeof...(A));
}
