#pragma once
/* Opening paths beneath a directory descriptor without following a symbolic link in any
 * component and without leaving the directory: the resolution every local tree access goes
 * through, so that a link swapped in for a directory below a root is never followed. */
#include <sys/types.h>

/* Opens rel beneath dirfd with flags (O_CLOEXEC is added) and mode; a link as the last component fails too. rel is
 * relative ("" names dirfd itself); a ".." component or a link in any component fails with the
 * code of ELOOP or EXDEV. Returns the new descriptor or a negative error code. */
int ep_open_beneath(int dirfd, const char *rel, int flags, mode_t mode);

/* Tests: resolve with the component walk that kernels without openat2 use, even where it exists. */
void ep_beneath_force_walk(bool on);
