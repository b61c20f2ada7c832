#define LOG_TAG "cdir"
#include "librdir/librdir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/memory/pl_qbuf.h"
#include "libpal/os/os_dirent.h"
#include "libpal/os/os_time.h"
#include "libpal/string/pl_escape.h"
#include "libpal/tframe/pl_cmder.h"
#include "librdir/rdir_filter.h"
#include "librdir/rdir_line.h"

namespace {

enum : uint32_t { CMD_LSDIR = 1, CMD_LSDIR2 = 2 };

/* Reader waits: the first attempt of a read call only takes what is queued. Generation 1 watches two
 * queues, so it waits on each in short slices rather than sitting on one while the other fills. */
constexpr int READ_WAIT_LATER_MS = 500;
constexpr int READ_WAIT_SLICE_MS = 10;
constexpr uint32_t CLOSE_IDLE_POLLS = 1000;
/* A paused walk looks at the stop flag at least this often. */
constexpr int ROOM_WAIT_SLICE_MS = 200;

} // namespace

struct librdir {
  std::string root; /* no trailing "/" ("" for the file-system root) */
  uint32_t reader_opt = OS_DIRENT_O_DEFAULT;
  int (*open_dir)(void *, const char *) = nullptr; /* librdir_param::open_dir */
  void *open_arg = nullptr;
  uint32_t flag = 0;
  uint32_t timeout = LIBRDIR_TIMEOUT_DEFAULT;
  int write_timeout = LIBRDIR_QUEUE_WRITE_TIMEOUT;
  vperror err{};
  qbuf *dir_q = nullptr;
  qbuf *file_q = nullptr;
  cmder *cmd = nullptr;
  rdir_filter *filter = nullptr;
  std::string line; /* text builder, used on the executor thread only */
  /* End flags of generation 1, touched by the reader only. */
  bool dir_end = false;
  bool file_end = false;
  std::atomic<int> stop{0}; /* set by close so that a long walk ends early */
  uint32_t batch = 0;       /* bytes of listing lines gathered into one message; 0: one line each */
  std::string pend_dir;     /* lines gathered for the directory queue (executor thread only) */
  std::string pend_file;
  std::atomic<uint64_t> drop_long_dirs{0};
  /* Bound of the queued text (0: none), what is queued and the most that was. The executor waits
   * on room_cv for the reader to take text; the reader and close signal it. */
  size_t queue_max = 0;
  std::atomic<uint64_t> queued{0};
  std::atomic<uint64_t> queued_peak{0};
  std::mutex room_mu;
  std::condition_variable room_cv;
};

namespace {

/* The directory path relative to the root: "" for the root itself, else beginning with "/". */
const char *rel_path(const librdir *h, const char *dir)
{
  size_t n = h->root.size();
  if (strncmp(dir, h->root.c_str(), n) == 0 && (dir[n] == '/' || dir[n] == 0))
    return dir + n;
  return dir;
}

/* Whether an entry read from the directory rel (relative to the root) is listed. */
bool rdir_dirent_need_add(librdir *h, const char *rel, os_dirent *e)
{
  if (!strcmp(e->name, ".") || !strcmp(e->name, ".."))
    return false;
  if (e->type & TYPE_F_SYMLINK)
    e->size = 0;
  /* Without patterns every entry is admitted: no path to build per entry. */
  if (rdir_filter_empty(h->filter))
    return true;
  bool is_dir = os_type_kind(e->type) == TYPE_DIR;
  std::string path;
  path.reserve(strlen(rel) + strlen(e->name) + 2);
  path.append(rel).append("/").append(e->name);
  if (is_dir)
    path.push_back('/');
  std::replace(path.begin(), path.end(), '\\', '/');
  if (!rdir_filter_admit(h->filter, path.c_str(), is_dir)) {
    LOGD("filter_drop [%s]", path.c_str());
    return false;
  }
  return true;
}

/* Waits until n more bytes fit the bound of the queued text, or the listing is closed. A message
 * goes when nothing is queued, however long it is, so the walk always moves on once read. */
void wait_room(librdir *h, size_t n)
{
  if (h->queue_max == 0)
    return;
  std::unique_lock<std::mutex> lk(h->room_mu);
  bool paused = false;
  while (!h->stop.load(std::memory_order_relaxed)) {
    uint64_t q = h->queued.load();
    if (q == 0 || q + n <= h->queue_max)
      break;
    if (!paused) {
      LOGD("listing paused: %llu bytes queued, bound %zu\n", static_cast<unsigned long long>(q), h->queue_max);
      paused = true;
    }
    h->room_cv.wait_for(lk, std::chrono::milliseconds(ROOM_WAIT_SLICE_MS));
  }
}

/* The reader took n bytes of text: room for the executor. */
void took(librdir *h, uint64_t n)
{
  if (n == 0)
    return;
  h->queued.fetch_sub(n);
  if (h->queue_max) {
    { std::lock_guard<std::mutex> g(h->room_mu); }
    h->room_cv.notify_all();
  }
}

/* Writes one message, in slices so that a close is noticed; the whole wait is the write time-out. */
int queue_put(librdir *h, qbuf *q, const char *data, size_t n)
{
  if (n > UINT32_MAX)
    return VERR_PARAM;
  wait_room(h, n);
  /* Counted before it is queued: the reader may take it at once and must never take more than
   * the count holds. */
  uint64_t now = h->queued.fetch_add(n) + n;
  uint64_t peak = h->queued_peak.load();
  while (now > peak && !h->queued_peak.compare_exchange_weak(peak, now)) {
  }
  int rc = qbuf_write(q, data, static_cast<uint32_t>(n), h->write_timeout);
  if (rc != 0)
    took(h, n);
  return rc;
}

/* Sends the lines gathered for q as one message. */
void flush_lines(librdir *h, qbuf *q, std::string *pend)
{
  if (pend->empty())
    return;
  if (queue_put(h, q, pend->data(), pend->size()) < 0)
    LOGE("qbuf_write_timeout hqbuf_file failed\n");
  pend->clear();
}

/* Queues one listing line: alone, or gathered with the next ones when batching is on, so that a
 * large directory costs a message per batch rather than per entry. */
void put_line(librdir *h, qbuf *q, std::string *pend, const char *data, size_t n)
{
  if (h->batch == 0) {
    if (queue_put(h, q, data, n) < 0)
      LOGE("qbuf_write_timeout hqbuf_file failed\n");
    return;
  }
  if (pend->size() + n > h->batch)
    flush_lines(h, q, pend);
  if (n >= h->batch) {
    if (queue_put(h, q, data, n) < 0)
      LOGE("qbuf_write_timeout hqbuf_file failed\n");
    return;
  }
  pend->append(data, n);
}

int queue_put_text(librdir *h, qbuf *q, const char *text)
{
  /* Control messages follow every line gathered before them. */
  flush_lines(h, q, q == h->dir_q ? &h->pend_dir : &h->pend_file);
  return queue_put(h, q, text, strlen(text));
}

/* Opens a directory of the listing through the tree owner's hook when there is one. */
os_dir *open_listed_dir(librdir *h, const char *dir, vperror *err)
{
  if (!h->open_dir)
    return os_opendir(dir, h->reader_opt, err);
  int fd = h->open_dir(h->open_arg, dir);
  if (fd < 0) {
    int eno = errno;
    VPERROR_SET(err, os_verr_get(eno), "opendir [%s] error: %s", dir, os_strerror(eno));
    return nullptr;
  }
  return os_opendir_fd(fd, dir, h->reader_opt, err);
}

void lsdir1(librdir *h, const char *dir)
{
  LOGV("dir=%s", dir);
  const char *rel = rel_path(h, dir);
  int code = 0;
  os_dir *d = open_listed_dir(h, dir, &h->err);
  if (!d) {
    code = h->err.code ? h->err.code : VERR_FAIL;
    LOGE("opendir [%s] veno=%d %s\n", dir, code, verr2str(code));
  } else {
    auto e = std::make_unique<os_dirent>();
    int rc;
    while ((rc = os_readdir(d, e.get())) == 1) {
      if (h->stop.load(std::memory_order_relaxed))
        break;
      if (!rdir_dirent_need_add(h, rel, e.get()))
        continue;
      h->line.clear();
      if (dirent_to_line(e.get(), &h->line) < 0) {
        LOGE("dir=[%s] item=[%.64s] line failed", dir, e->name);
        continue;
      }
      bool is_dir = os_type_kind(e->type) == TYPE_DIR;
      put_line(h, is_dir ? h->dir_q : h->file_q, is_dir ? &h->pend_dir : &h->pend_file, h->line.data(),
               h->line.size());
    }
    code = rc < 0 ? rc : 0;
    if (code)
      LOGE("os_readdir [%s] veno=%d %s\n", dir, code, verr2str(code));
    os_closedir(d);
  }
  char end[32];
  snprintf(end, sizeof end, "\r%d", code);
  if (queue_put_text(h, h->file_q, end) < 0)
    LOGE("qbuf_write_timeout hqbuf_file failed\n");
  if (queue_put_text(h, h->dir_q, end) < 0)
    LOGE("qbuf_write_timeout hqbuf_dir failed\n");
}

/* One admitted entry of a generation-2 directory, kept until the directory is sorted. */
struct walk_item {
  std::string name;
  std::string line; /* "D " or "F " and the listing line */
};

/* Events of the sorted walk. */
enum : int { LSDIR_OPEN = 1, LSDIR_ERROR = 2, LSDIR_END = 3, LSDIR_FINISH = 4 };

void pl_lsdir_func(librdir *h, int mode, const char *rel, long long value)
{
  char b[64];
  switch (mode) {
  case LSDIR_OPEN: {
    /* The path is escaped as names are: a line feed or a carriage return in it would otherwise
     * end the line or the record, and a backslash would not read back as itself. */
    std::string open_line = "O ";
    const char *path = *rel ? rel : "/";
    if (str_escape_tab_append(path, strlen(path), &open_line) < 0) {
      LOGE("dir=[%.64s] open line: out of memory", path);
      return;
    }
    open_line.push_back('\n');
    if (queue_put_text(h, h->file_q, open_line.c_str()) < 0)
      LOGE("qbuf_write_timeout hqbuf_file failed\n");
    return;
  }
  case LSDIR_ERROR:
    snprintf(b, sizeof b, "R %lld\r", value);
    break;
  case LSDIR_END:
    snprintf(b, sizeof b, "E %lld\r", value);
    break;
  case LSDIR_FINISH:
    snprintf(b, sizeof b, "X %lld\r", value);
    break;
  default:
    LOGE("invalid mode=%d", mode);
    return;
  }
  if (queue_put_text(h, h->file_q, b) < 0)
    LOGE("qbuf_write_timeout hqbuf_file failed\n");
}

void put_item(librdir *h, const std::string &line)
{
  put_line(h, h->file_q, &h->pend_file, line.data(), line.size());
}

/* Breadth-first walk from start: per directory its open line, the admitted subdirectories, the
 * other entries (each group in byte order of the names) and its end line. Entries are turned into
 * their lines as they are read, so a large directory costs its text, not its records. */
void lsdir2(librdir *h, const char *start)
{
  std::deque<std::string> todo;
  todo.emplace_back(start);
  auto e = std::make_unique<os_dirent>();
  std::vector<walk_item> dirs, files;
  while (!todo.empty() && !h->stop.load(std::memory_order_relaxed)) {
    std::string dir = std::move(todo.front());
    todo.pop_front();
    const char *rel = rel_path(h, dir.c_str());
    pl_lsdir_func(h, LSDIR_OPEN, rel, 0);
    vperror err{};
    os_dir *d = open_listed_dir(h, dir.c_str(), &err);
    if (!d) {
      int code = err.code ? err.code : VERR_FAIL;
      LOGE("opendir [%s] eno=%u err: %s", dir.c_str(), static_cast<unsigned>(-code), err.msg);
      pl_lsdir_func(h, LSDIR_ERROR, rel, code);
      continue;
    }
    dirs.clear();
    files.clear();
    int rc;
    while ((rc = os_readdir(d, e.get())) == 1) {
      if (h->stop.load(std::memory_order_relaxed))
        break;
      if (!rdir_dirent_need_add(h, rel, e.get()))
        continue;
      walk_item it;
      it.name = e->name;
      if (dirent_to_line2(e.get(), &it.line) < 0) {
        LOGE("dir=[%s] item=[%.64s] line failed", dir.c_str(), e->name);
        continue;
      }
      (os_type_kind(e->type) == TYPE_DIR ? dirs : files).push_back(std::move(it));
    }
    int code = rc < 0 ? rc : 0;
    os_closedir(d);
    auto by_name = [](const walk_item &a, const walk_item &b) { return a.name < b.name; };
    std::sort(dirs.begin(), dirs.end(), by_name);
    std::sort(files.begin(), files.end(), by_name);
    for (const walk_item &it : dirs) {
      /* A subdirectory is still listed when its path is too long to enter: a consumer that did
       * not see it would take it for gone from this directory and could delete its copy. */
      put_item(h, it.line);
      /* The full path of the subdirectory must fit a path buffer with its terminator. */
      if (dir.size() + 1 + it.name.size() >= LIBRDIR_PATH_SIZE) {
        LOGW("drop_long_dir=[%s/%s]", dir.c_str(), it.name.c_str());
        h->drop_long_dirs.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      todo.push_back(dir == "/" ? "/" + it.name : dir + "/" + it.name);
    }
    for (const walk_item &it : files)
      put_item(h, it.line);
    pl_lsdir_func(h, LSDIR_END, rel, code);
  }
  pl_lsdir_func(h, LSDIR_FINISH, "", static_cast<long long>(h->drop_long_dirs.load(std::memory_order_relaxed)));
  if (queue_put_text(h, h->file_q, "\r") < 0)
    LOGE("qbuf_write_timeout hqbuf_file failed\n");
}

void librdir_cmd(uint32_t id, void *data, cmder_run *run)
{
  auto *h = static_cast<librdir *>(run->ctx);
  const char *dir = static_cast<const char *>(data);
  if (!dir) {
    LOGE("cmd=%u without a directory", id);
    return;
  }
  if (id == CMD_LSDIR)
    lsdir1(h, dir);
  else if (id == CMD_LSDIR2)
    lsdir2(h, dir);
  else
    LOGE("invalid cmd=%u", id);
}

/* Ends a generation-1 read after the end message of a queue. */
int end_record(const void *data, uint32_t n)
{
  return n > 0 && static_cast<const char *>(data)[0] == '\r';
}

uint32_t reader_options(uint32_t flag)
{
  uint32_t opt = 0;
  if (flag & LIBRDIR_F_OPT1)
    opt |= 0x1;
  if (flag & LIBRDIR_F_XATTR)
    opt |= OS_DIRENT_O_XATTR;
  if (flag & LIBRDIR_F_OPT8)
    opt |= 0x8;
  if (flag & LIBRDIR_F_OPT16)
    opt |= 0x10;
  return opt ? opt : OS_DIRENT_O_DEFAULT;
}

void free_handle(librdir *h)
{
  if (h->cmd)
    cmder_exit(h->cmd);
  qbuf_close(h->dir_q);
  qbuf_close(h->file_q);
  rdir_filter_free(h->filter);
  delete h;
}

int post(librdir *h, uint32_t id, const char *dir)
{
  if (!h || !dir)
    return VERR_PARAM;
  int rc = cmder_post_msg3(h->cmd, id, dir, nullptr, 1000);
  if (rc < 0)
    LOGE("cmder_post_msg3 failed\n");
  return rc;
}

} // namespace

librdir *librdir_open(const char *dir, const librdir_param *p)
{
  static const librdir_param none{};
  if (!p)
    p = &none;
  if (!dir || !*dir) {
    VPERROR_SET(p->err, VERR_PARAM, "librdir_open: empty directory");
    return nullptr;
  }
  size_t n = strlen(dir);
  if (n >= LIBRDIR_PATH_SIZE) {
    VPERROR_SET(p->err, VERR_NAME_TOO_LONG, "dir=[%.64s...] error: path too long", dir);
    return nullptr;
  }
  auto *h = new (std::nothrow) librdir;
  if (!h) {
    VPERROR_SET(p->err, VERR_NOMEM, "librdir_open: out of memory");
    return nullptr;
  }
  try {
    h->root.assign(dir, n);
    while (!h->root.empty() && h->root.back() == '/')
      h->root.pop_back();
  } catch (const std::bad_alloc &) {
    delete h;
    VPERROR_SET(p->err, VERR_NOMEM, "librdir_open: out of memory");
    return nullptr;
  }
  /* The root of the file system keeps its "/" for opening; its relative paths start from "". */
  const char *open_path = h->root.empty() ? "/" : h->root.c_str();
  h->flag = p->flag;
  h->reader_opt = reader_options(p->flag);
  h->open_dir = p->open_dir;
  h->open_arg = p->open_arg;
  h->timeout = p->timeout ? p->timeout : LIBRDIR_TIMEOUT_DEFAULT;
  h->batch = p->batch;
  h->queue_max = p->queue_max;
  LOGD("dir=[%s] flag=%d include=[%s] exclude=[%s] dir_include=[%s] dir_exclude=[%s] misc_exclude=[%s]", dir,
       p->flag, p->include ? p->include : "", p->exclude ? p->exclude : "", p->dir_include ? p->dir_include : "",
       p->dir_exclude ? p->dir_exclude : "", p->misc_exclude ? p->misc_exclude : "");

  /* The root too is opened through the owner's hook: a server checks it beneath its export. */
  os_dir *probe = open_listed_dir(h, open_path, p->err);
  if (!probe) {
    delete h;
    return nullptr;
  }
  os_closedir(probe);

  h->dir_q = qbuf_open(h);
  h->file_q = qbuf_open(h);
  if (!h->dir_q || !h->file_q) {
    LOGE("qbuf_init failed\n");
    VPERROR_SET(p->err, VERR_NOMEM, "qbuf_init failed");
    free_handle(h);
    return nullptr;
  }
  h->filter = rdir_filter_init(p->include, p->exclude, p->dir_include, p->dir_exclude, p->misc_exclude);
  if (!h->filter) {
    VPERROR_SET(p->err, VERR_NOMEM, "librdir_open: out of memory for the filter");
    free_handle(h);
    return nullptr;
  }
  cmder_param cp{};
  cp.ctx = h;
  cp.timer_interval_ms = 1000;
  cp.name = "rdir_cmder";
  cp.msg_proc = librdir_cmd;
  h->cmd = cmder_init(&cp);
  if (!h->cmd) {
    VPERROR_SET(p->err, VERR_FAIL, "cmder_init rdir_cmder failed");
    free_handle(h);
    return nullptr;
  }
  int rc = post(h, (p->flag & LIBRDIR_F_GEN2) ? CMD_LSDIR2 : CMD_LSDIR, open_path);
  if (rc < 0) {
    VPERROR_SET(p->err, rc, "librdir_open: the first listing request failed");
    free_handle(h);
    return nullptr;
  }
  return h;
}

int librdir_enum_dir(librdir *h, const char *dir)
{
  return post(h, CMD_LSDIR, dir);
}

int librdir_enum_dir2(librdir *h, const char *dir)
{
  return post(h, CMD_LSDIR2, dir);
}

int librdir_read_item_list1(librdir *h, char *buf, uint32_t len)
{
  if (!h || !buf || len < 2)
    return -1;
  if (h->dir_end && h->file_end) {
    h->dir_end = false;
    h->file_end = false;
  }
  uint64_t t0 = os_time_ms();
  for (int attempt = 0;; ++attempt) {
    int wait = attempt == 0 ? 0 : READ_WAIT_SLICE_MS;
    struct {
      qbuf *q;
      bool *end;
      char tag;
    } sides[] = {{h->file_q, &h->file_end, 'F'}, {h->dir_q, &h->dir_end, 'D'}};
    bool waited = false;
    for (auto &s : sides) {
      if (*s.end)
        continue;
      int hit = 0;
      int n = qbuf_read_filter(s.q, buf + 1, len - 1, wait, end_record, &hit);
      if (n > 0)
        took(h, static_cast<uint64_t>(n));
      waited = true;
      if (hit)
        *s.end = true;
      if (n > 0) {
        buf[0] = s.tag;
        return n + 1;
      }
    }
    if (!waited) {
      /* Both queues already ended in this call: nothing more belongs to this directory. */
      return 0;
    }
    if (os_time_ms() - t0 >= h->timeout) {
      LOGD("readdir data timeout=%d\n", h->timeout);
      return 0;
    }
  }
}

int librdir_read_item_list2(librdir *h, char *buf, uint32_t len)
{
  if (!h || !buf || len < 2)
    return -1;
  uint64_t t0 = os_time_ms();
  for (int attempt = 0;; ++attempt) {
    int n = qbuf_read_all_wait(h->file_q, buf, len, attempt == 0 ? 0 : READ_WAIT_LATER_MS);
    if (n > 0) {
      took(h, static_cast<uint64_t>(n));
      return n;
    }
    if (os_time_ms() - t0 >= h->timeout) {
      LOGD("readdir data timeout=%d\n", h->timeout);
      return 0;
    }
  }
}

int librdir_read_item_list(librdir *h, char *buf, uint32_t len)
{
  if (!h)
    return -1;
  return (h->flag & LIBRDIR_F_GEN2) ? librdir_read_item_list2(h, buf, len) : librdir_read_item_list1(h, buf, len);
}

uint64_t librdir_drop_long_dirs(const librdir *h)
{
  return h ? h->drop_long_dirs.load(std::memory_order_relaxed) : 0;
}

uint64_t librdir_queued(const librdir *h)
{
  return h ? h->queued.load() : 0;
}

uint64_t librdir_queued_peak(const librdir *h)
{
  return h ? h->queued_peak.load() : 0;
}

void librdir_close(librdir *h)
{
  if (!h)
    return;
  h->stop.store(1, std::memory_order_relaxed);
  {
    /* A walk paused for room sees the stop now rather than at its next look. */
    std::lock_guard<std::mutex> g(h->room_mu);
  }
  h->room_cv.notify_all();
  while (cmder_wait_idle(h->cmd, CLOSE_IDLE_POLLS) < 0) {
  }
  free_handle(h);
}
