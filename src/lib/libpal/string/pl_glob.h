#pragma once
/* Wildcard matching: "*" (any run, "/" included), "?" (any one character), "[...]" classes with
 * ranges and "!" negation, "\" to quote the next character. */

/* 1 when pattern matches the whole text, else 0. nocase folds both to lower case; trace logs
 * why a match failed (debug level). */
int pl_glob_match(const char *pattern, const char *text, int nocase, int trace);
/* 1 when any "|"-separated alternative of patterns matches text. */
int pl_glob_match_multi(const char *text, const char *patterns, int nocase, int trace);
