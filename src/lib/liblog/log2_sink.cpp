#define LOG_TAG "pal"
#include "liblog/log2_sink.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

/* Binary record, host byte order, followed by the tag and the line bytes. It is the payload
 * of both the ".pcap" file (one record per packet, link type USER0) and the UDP record sink. */
struct bsv_record_head {
  uint32_t magic;   /* "QVLR" */
  uint8_t version;  /* 1 */
  uint8_t level;
  uint16_t tag_len;
  uint32_t pid;
  uint32_t line_len;
  uint64_t time_us; /* real-time clock */
};
constexpr uint32_t BSV_MAGIC = 0x524c5651u;

struct pcap_file_head {
  uint32_t magic;
  uint16_t major;
  uint16_t minor;
  int32_t thiszone;
  uint32_t sigfigs;
  uint32_t snaplen;
  uint32_t linktype;
};

struct pcap_rec_head {
  uint32_t ts_sec;
  uint32_t ts_usec;
  uint32_t incl_len;
  uint32_t orig_len;
};

constexpr size_t RECORD_LINE_MAX = 60000; /* keeps a record inside one datagram */

std::string make_record(int level, const char *tag, const std::string &line, uint64_t time_us)
{
  size_t tl = strnlen(tag, 255);
  size_t ll = line.size() < RECORD_LINE_MAX ? line.size() : RECORD_LINE_MAX;
  bsv_record_head h{};
  h.magic = BSV_MAGIC;
  h.version = 1;
  h.level = static_cast<uint8_t>(level);
  h.tag_len = static_cast<uint16_t>(tl);
  h.pid = static_cast<uint32_t>(getpid());
  h.line_len = static_cast<uint32_t>(ll);
  h.time_us = time_us;
  std::string r(reinterpret_cast<const char *>(&h), sizeof h);
  r.append(tag, tl);
  r.append(line, 0, ll);
  return r;
}

uint64_t now_us()
{
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

bool ends_with(const std::string &s, const char *suffix)
{
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool write_pcap_head(FILE *fp)
{
  pcap_file_head h{0xa1b2c3d4u, 2, 4, 0, 0, 65535, 147};
  return fwrite(&h, sizeof h, 1, fp) == 1;
}

int reopen(log2_file_sink *f, const char *mode, bool diag)
{
  if (f->fp)
    fclose(f->fp);
  f->fp = fopen(f->path.c_str(), mode);
  if (!f->fp) {
    if (diag)
      log2_diag("fopen [%s] failed\n", f->path.c_str());
    return -1;
  }
  fseeko(f->fp, 0, SEEK_END);
  off_t at = ftello(f->fp);
  f->size = at > 0 ? static_cast<uint64_t>(at) : 0;
  if (f->size == 0) {
    if (f->pcap) {
      if (write_pcap_head(f->fp))
        f->size = sizeof(pcap_file_head);
    } else if (!f->key.empty()) {
      int n = fprintf(f->fp, "# key=%s\n", f->key.c_str());
      if (n > 0)
        f->size = static_cast<uint64_t>(n);
    }
    fflush(f->fp);
  }
  return 0;
}

/* name -> name.1 -> name.2 ...; the file past max_files-1 is dropped. */
void rotate(log2_file_sink *f, bool diag)
{
  if (f->fp) {
    fclose(f->fp);
    f->fp = nullptr;
  }
  if (f->max_files <= 1) {
    reopen(f, "w", diag);
    return;
  }
  std::string last = f->path + "." + std::to_string(f->max_files - 1);
  unlink(last.c_str());
  for (int i = f->max_files - 2; i >= 1; i--) {
    std::string from = f->path + "." + std::to_string(i);
    std::string to = f->path + "." + std::to_string(i + 1);
    rename(from.c_str(), to.c_str());
  }
  rename(f->path.c_str(), (f->path + ".1").c_str());
  reopen(f, "w", diag);
}

} // namespace

int log2_file_open(log2_file_sink *f, const char *name, bool diag)
{
  if (!name || !*name)
    return -1;
  log2_file_close(f);
  f->name = name;
  if (!f->dir.empty() && name[0] != '/')
    f->path = f->dir + (ends_with(f->dir, "/") ? "" : "/") + name;
  else
    f->path = name;
  f->pcap = ends_with(f->path, ".pcap");
  const char *mode = f->mode == "w" ? "w" : "a";
  if (f->pcap)
    mode = f->mode == "w" ? "wb" : "ab";
  return reopen(f, mode, diag);
}

void log2_file_close(log2_file_sink *f)
{
  if (f->fp) {
    fclose(f->fp);
    f->fp = nullptr;
  }
  f->size = 0;
}

void log2_file_write(log2_file_sink *f, const char *level_name, const char *thread_name, const char *tag,
                     const std::string &line, bool diag)
{
  if (!f->fp)
    return;
  uint64_t us = now_us();
  std::string rec;
  if (f->pcap) {
    std::string payload = make_record(0, tag, line, us);
    pcap_rec_head h{static_cast<uint32_t>(us / 1000000u), static_cast<uint32_t>(us % 1000000u),
                    static_cast<uint32_t>(payload.size()), static_cast<uint32_t>(payload.size())};
    rec.assign(reinterpret_cast<const char *>(&h), sizeof h);
    rec += payload;
  } else {
    time_t t = static_cast<time_t>(us / 1000000u);
    struct tm tm;
    localtime_r(&t, &tm);
    char head[160];
    int n = snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%06d %-5s %d --- [%s] %s ",
                     tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     static_cast<int>(us % 1000000u), level_name, static_cast<int>(getpid()), thread_name, tag);
    if (n < 0)
      n = 0;
    if (static_cast<size_t>(n) >= sizeof head)
      n = sizeof head - 1;
    rec.assign(head, static_cast<size_t>(n));
    rec += line;
  }
  if (f->size > 0 && f->size + rec.size() > f->max_size) {
    rotate(f, diag);
    if (!f->fp)
      return;
  }
  if (fwrite(rec.data(), 1, rec.size(), f->fp) != rec.size() || fflush(f->fp) != 0) {
    if (diag)
      log2_diag("log_file_write: fwrite error\n");
    if (reopen(f, f->pcap ? "ab" : "a", diag) < 0)
      return;
    if (fwrite(rec.data(), 1, rec.size(), f->fp) != rec.size())
      return;
    fflush(f->fp);
  }
  f->size += rec.size();
}

int log2_net_open(log2_net_sink *s, const char *url, bool diag)
{
  log2_net_close(s);
  if (!url || !*url)
    return -1;
  s->url = url;
  std::string u(url);
  if (u.rfind("udp://", 0) == 0) {
    std::string hp = u.substr(6);
    size_t slash = hp.find('/');
    if (slash != std::string::npos)
      hp.resize(slash);
    size_t colon = hp.rfind(':');
    std::string host = colon == std::string::npos ? hp : hp.substr(0, colon);
    std::string port = colon == std::string::npos ? "514" : hp.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    struct addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *ai = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &ai) != 0 || !ai) {
      if (diag)
        log2_diag("url_parser %s failed\n", url);
      return -1;
    }
    int fd = socket(ai->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
      if (fd >= 0)
        close(fd);
      freeaddrinfo(ai);
      if (diag)
        log2_diag("log_net_open [%s]\n", url);
      return -1;
    }
    freeaddrinfo(ai);
    s->fd = fd;
    return 0;
  }
  std::string path = u.rfind("unix:", 0) == 0 ? u.substr(5) : u;
  struct sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof sa.sun_path) {
    if (diag)
      log2_diag("url_parser %s failed\n", url);
    return -1;
  }
  memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0) {
    if (fd >= 0)
      close(fd);
    if (diag)
      log2_diag("log_net_open [%s]\n", url);
    return -1;
  }
  s->fd = fd;
  return 0;
}

void log2_net_close(log2_net_sink *s)
{
  if (s->fd >= 0)
    close(s->fd);
  s->fd = -1;
}

void log2_syslog_send(log2_net_sink *s, int severity, const std::string &line, bool diag)
{
  if (s->fd < 0)
    return;
  time_t t = time(nullptr);
  struct tm tm;
  localtime_r(&t, &tm);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tm);
  char host[64] = "";
  gethostname(host, sizeof host - 1);
  std::string msg = line;
  while (!msg.empty() && msg.back() == '\n')
    msg.pop_back();
  char buf[1024];
  /* facility "user" (1) */
  int n = snprintf(buf, sizeof buf, "<%d>%.15s %.32s %.64s%s: %.800s", 8 + severity, stamp, host, "qvcp",
                   ("[" + std::to_string(getpid()) + "]").c_str(), msg.c_str());
  if (n < 0)
    return;
  size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
  if (send(s->fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && diag)
    log2_diag("syslog_write %s err\n", s->url.c_str());
}

void log2_bsv_send(log2_net_sink *s, int level, const char *tag, const std::string &line)
{
  if (s->fd < 0)
    return;
  std::string r = make_record(level, tag, line, now_us());
  (void)send(s->fd, r.data(), r.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}
