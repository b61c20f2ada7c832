#pragma once
/* The logger's settings from INI text. They are read through the configuration store, which
 * logs through the logger, so the reader sits here rather than in liblog. */

/* Applies the "log" section (or "log_<name>") of INI text: type "ini_file" (source is a path) or
 * "ini_str" (source is the text). Returns 0, or -1 when the type or the source is unusable. */
int log2_init_imp(const char *type, const char *source, const char *name);
