#pragma once
/* One-time process set-up (limits, file-creation mask, signal handling) and the identity of
 * the application that the crash report names. */
#include <cstdint>
#include <string>

/* Called with a signal number; returns 0 when it handled the signal. */
typedef int (*pl_signal_cb)(int signo);

struct pl_app_info {
  const char *name;
  const char *version;     /* "1.0.8.0" */
  uint32_t version_num;    /* one byte per component, major first */
  const char *build_date;
  const char *description;
  const char *conf_name;
  pl_signal_cb signal_cb;  /* may be null */
};

/* Registers the application; call before pl_init. The record must outlive the process. */
void pl_app_register(const pl_app_info *info);
const pl_app_info *pl_app_get();

/* The set-up: QV_LOG_LEVEL, resource limits, umask 022, the signal handler for SIGTERM, SIGQUIT,
 * SIGINT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT and SIGUSR1. A second call does nothing.
 * SIGINT, SIGQUIT, SIGTERM and SIGUSR1 reach the application callback on the runtime's own
 * signal thread, never inside a signal handler, so the callback may log and take locks.
 * Unhandled stop signals end the process with status 253, crash signals with 254. */
int pl_init();

/* Raises the limits of open files, file size and file locks as far as allowed. */
void os_ulimit();

/* Milliseconds on the monotonic clock when pl_init ran. */
uint64_t pl_start_time_ms();
/* "linux", and the architecture the program was built for. */
const char *pl_os_name();
const char *pl_arch_name();
/* The directory that holds the running executable; "." when it cannot be found. */
std::string pl_exe_dir();
