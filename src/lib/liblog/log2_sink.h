#pragma once
/* Sinks of the logger. Called with the logger's sink lock held; not for other modules. */
#include <cstdint>
#include <cstdio>
#include <string>

constexpr int LOG2_FILE_SIZE_MIN = 2048;

/* Text log file, or a packet-capture file of binary records when the name ends in ".pcap".
 * A full file is rotated: name -> name.1 -> ... -> name.<max_files-1>, the oldest dropped, and
 * writing goes on in a new empty file; with max_files 1 the file is truncated instead. */
struct log2_file_sink {
  std::string dir;
  std::string name;
  std::string path;
  std::string key;
  std::string mode = "a";
  uint64_t max_size = 10u * 1024 * 1024;
  int max_files = 5;
  FILE *fp = nullptr;
  bool pcap = false;
  uint64_t size = 0;
};

/* Datagram sink (syslog or binary records): "udp://host:port" or a unix socket path
 * ("unix:/dev/log" or "/dev/log"). */
struct log2_net_sink {
  int fd = -1;
  std::string url;
};

int log2_file_open(log2_file_sink *f, const char *name, bool diag);
void log2_file_write(log2_file_sink *f, const char *level_name, const char *thread_name, const char *tag,
                     const std::string &line, bool diag);
void log2_file_close(log2_file_sink *f);

int log2_net_open(log2_net_sink *s, const char *url, bool diag);
void log2_net_close(log2_net_sink *s);
void log2_syslog_send(log2_net_sink *s, int severity, const std::string &line, bool diag);
void log2_bsv_send(log2_net_sink *s, int level, const char *tag, const std::string &line);

/* The logger's own diagnostics on stderr, shown only when its debug switch is on. */
void log2_diag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
