#include "helpers/mem_ep.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <sstream>

#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_str.h"
#include "libpal/tframe/file_hash.h"
#include "librdir/librdir.h"
#include "librdir/rdir_line.h"

namespace {

constexpr int64_t DEFAULT_TIME = 1600000000; /* builders' time when none is given */
constexpr uint64_t MEM_DEV = 0x6d656d;       /* device number of every entry */
constexpr size_t NAME_MAX_LEN = 255;

struct mem_node {
  uint32_t mode = 0; /* st_mode, file-type bits included */
  uint32_t uid = 0, gid = 0;
  int64_t atime = 0, mtime = 0, ctime = 0;
  uint64_t ino = 0;
  std::string data;   /* a regular file's content */
  std::string target; /* a link's text */
  std::map<std::string, std::shared_ptr<mem_node>> kids;
};
using node_ptr = std::shared_ptr<mem_node>;

struct mem_fs {
  std::mutex lock;
  node_ptr root;
  uint64_t next_ino = 2;
  mem_ep_fault fault;
  mem_ep_counters counters;
  std::set<std::string> locked; /* roots held by lock_root */
};

mem_fs &fs()
{
  static mem_fs f;
  return f;
}

/* Callers hold fs().lock from here down to the slots. */

node_ptr new_node(uint32_t mode)
{
  auto n = std::make_shared<mem_node>();
  n->mode = mode;
  n->uid = static_cast<uint32_t>(geteuid());
  n->gid = static_cast<uint32_t>(getegid());
  n->atime = n->mtime = n->ctime = static_cast<int64_t>(time(nullptr));
  n->ino = fs().next_ino++;
  return n;
}

node_ptr root_node()
{
  if (!fs().root) {
    fs().root = new_node(S_IFDIR | 0755);
    fs().root->ino = 1;
  }
  return fs().root;
}

/* Where a path leads: the parent directory and the last name, and the entry when it exists. */
struct place {
  node_ptr parent; /* null for "/" */
  std::string name;
  node_ptr node;
};

/* Splits an absolute path into names; -2 for a relative path, an empty name, "." or "..", -120 for
 * a path or name that is too long. */
int split(const std::string &path, std::vector<std::string> *names)
{
  names->clear();
  if (path.empty() || path[0] != '/')
    return VERR_PARAM;
  if (path.size() >= EP_PATH_SIZE)
    return VERR_NAME_TOO_LONG;
  if (path == "/")
    return 0;
  size_t pos = 1;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos)
      slash = path.size();
    std::string n = path.substr(pos, slash - pos);
    if (n.empty() || n == "." || n == "..")
      return VERR_PARAM;
    if (n.size() > NAME_MAX_LEN)
      return VERR_NAME_TOO_LONG;
    names->push_back(std::move(n));
    pos = slash + 1;
  }
  return 0;
}

/* Walks to path without following a link in any component: a link where a directory belongs is
 * -156, a file there -103. 0 with p->node null when only the last name is missing. */
int locate(const std::string &path, place *p)
{
  std::vector<std::string> names;
  int rc = split(path, &names);
  if (rc < 0)
    return rc;
  *p = place{};
  node_ptr cur = root_node();
  if (names.empty()) {
    p->node = cur;
    return 0;
  }
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    auto it = cur->kids.find(names[i]);
    if (it == cur->kids.end())
      return VERR_PATH_NOT_FOUND;
    if (S_ISLNK(it->second->mode))
      return VERR_LOOP;
    if (!S_ISDIR(it->second->mode))
      return VERR_PATH_NOT_FOUND;
    cur = it->second;
  }
  p->parent = cur;
  p->name = names.back();
  auto it = cur->kids.find(p->name);
  if (it != cur->kids.end())
    p->node = it->second;
  return 0;
}

/* The kind a link's target has: a directory when the target (taken from the link's directory, one
 * step, no further links) is one in this namespace, else a file. */
uint32_t link_kind(const std::string &link_path, const std::string &target)
{
  std::string t = target;
  if (t.empty())
    return TYPE_FILE;
  if (t[0] != '/') {
    size_t slash = link_path.find_last_of('/');
    t = (slash == 0 ? std::string() : link_path.substr(0, slash)) + "/" + t;
  }
  std::vector<std::string> names;
  if (split(t, &names) < 0)
    return TYPE_FILE; /* "..", "." and the like are not resolved */
  place p;
  if (locate(t, &p) < 0 || !p.node)
    return TYPE_FILE;
  return S_ISDIR(p.node->mode) ? TYPE_DIR : TYPE_FILE;
}

void fill_dirent(const mem_node &n, const std::string &path, os_dirent *d)
{
  os_dirent_clear(d);
  if (S_ISDIR(n.mode))
    d->type = TYPE_DIR;
  else if (S_ISLNK(n.mode))
    d->type = TYPE_F_SYMLINK | link_kind(path, n.target);
  else
    d->type = TYPE_FILE;
  d->attrib_mode = n.mode;
  d->uid = n.uid;
  d->gid = n.gid;
  d->size = S_ISDIR(n.mode) ? 4096 : S_ISLNK(n.mode) ? static_cast<int64_t>(n.target.size())
                                                      : static_cast<int64_t>(n.data.size());
  d->time_access = n.atime;
  d->time_write = n.mtime;
  d->time_create = n.ctime;
  d->st_nlink = S_ISDIR(n.mode) ? 2 : 1;
  d->st_dev = MEM_DEV;
  d->st_ino = n.ino;
  d->st_blksize = 4096;
  /* Every byte is stored: no holes, so the engine never takes a file for a sparse one. */
  d->st_blocks = S_ISREG(n.mode) ? (n.data.size() + 511) / 512 : 8;
  if (S_ISLNK(n.mode))
    snprintf(d->link_name, sizeof d->link_name, "%s", n.target.c_str());
  size_t slash = path.find_last_of('/');
  snprintf(d->name, sizeof d->name, "%s", path == "/" ? "/" : path.c_str() + slash + 1);
}

int64_t now_s()
{
  return static_cast<int64_t>(time(nullptr));
}

/* Owner, mode and times as attr says; an id of all ones leaves that id, a link keeps its mode. */
void apply_attr(mem_node *n, const file_attr *a)
{
  if (a->uid != 0xffffffffu)
    n->uid = a->uid;
  if (a->gid != 0xffffffffu)
    n->gid = a->gid;
  if (!S_ISLNK(n->mode)) {
    uint32_t m = (a->type & TYPE_F_NOMODE) ? a->alt_mode : a->attrib_mode;
    n->mode = (n->mode & S_IFMT) | (m & 07777);
  }
  n->atime = static_cast<int64_t>(a->time_access);
  n->mtime = static_cast<int64_t>(a->time_write);
  n->ctime = now_s();
}

int fail(vperror *err, int code, const char *what, const char *path)
{
  VPERROR_SET(err, code, "%s [%s] error: %s", what, path, verr2str(code));
  return code;
}

/* --- the endpoint ---------------------------------------------------------------------------- */

struct mem_ep {
  std::string root; /* the side's root path in the namespace */
  bool locked = false;
};

mem_ep *M(ep *e)
{
  return static_cast<mem_ep *>(e->impl);
}

/* Whether path is the side's root or lies below it. */
bool inside(const mem_ep *m, const char *path)
{
  size_t rl = m->root.size();
  if (m->root == "/")
    return path[0] == '/';
  return strncmp(path, m->root.c_str(), rl) == 0 && (path[rl] == 0 || path[rl] == '/');
}

/* Checks that path belongs to the side, then locates it. */
int resolve(ep *e, const char *path, place *p, vperror *err)
{
  if (!path || !inside(M(e), path)) {
    VPERROR_SET(err, VERR_PARAM, "[%s] is outside the tree [%s]", path ? path : "", M(e)->root.c_str());
    return VERR_PARAM;
  }
  int rc = locate(path, p);
  if (rc < 0)
    return fail(err, rc, "resolve", path);
  return 0;
}

bool mem_match(const char *url)
{
  return strncmp(url, "mem:", 4) == 0;
}

int mem_open(ep *e, const char *url, ep_info *info, vperror *err)
{
  if (!mem_match(url)) {
    VPERROR_SET(err, VERR_PARAM, "[%s] is not a memory URL", url);
    return -1;
  }
  char path[EP_PATH_SIZE];
  int n = str_path_normalize(url + 4, path, sizeof path);
  if (n < 0) {
    VPERROR_SET(err, VERR_NAME_TOO_LONG, "path too long: [%.64s...]", url);
    return -1;
  }
  if (n == 0 || path[0] != '/') {
    VPERROR_SET(err, VERR_PARAM, "memory paths are absolute: [%s]", url);
    return -1;
  }
  while (n > 1 && path[n - 1] == '/')
    path[--n] = 0;
  info->path = path;
  info->is_local = false;
  info->posix_host = true;
  info->multi_block = false;
  info->fs.fs_name = "memory";
  info->fs.name_len = NAME_MAX_LEN;
  info->fs.flags = VOL_F_UNICODE | VOL_F_CASE_NAME | VOL_F_CASE_SEARCH;
  info->fs.total_bytes = info->fs.free_bytes = info->fs.avail_bytes = uint64_t(1) << 40;
  {
    std::lock_guard<std::mutex> g(fs().lock);
    place p;
    int rc = locate(path, &p);
    if (rc < 0 && rc != VERR_PATH_NOT_FOUND) {
      VPERROR_SET(err, rc, "stat [%s] error: %s", path, verr2str(rc));
      return -1;
    }
    if (rc < 0 || !p.node) {
      info->not_exist = true;
      os_dirent_clear(&info->root);
    } else {
      fill_dirent(*p.node, path, &info->root);
      info->is_dir = S_ISDIR(p.node->mode) || (S_ISLNK(p.node->mode) && link_kind(path, p.node->target) == TYPE_DIR);
    }
  }
  auto *m = new (std::nothrow) mem_ep;
  if (!m) {
    VPERROR_SET(err, VERR_NOMEM, "ep_open: out of memory");
    return -1;
  }
  m->root = path;
  e->impl = m;
  return 0;
}

void mem_close(ep *e)
{
  mem_ep *m = M(e);
  if (!m)
    return;
  if (m->locked) {
    std::lock_guard<std::mutex> g(fs().lock);
    fs().locked.erase(m->root);
  }
  delete m;
  e->impl = nullptr;
}

int mem_lock_root(ep *e, vperror *err)
{
  mem_ep *m = M(e);
  std::lock_guard<std::mutex> g(fs().lock);
  if (m->locked)
    return 0;
  if (!fs().locked.insert(m->root).second) {
    VPERROR_SET(err, VERR_LOCK, "[%s] is in use by another run (locked)", m->root.c_str());
    return VERR_LOCK;
  }
  m->locked = true;
  return 0;
}

/* --- listing --------------------------------------------------------------------------------- */

/* The answer to one directory request: file lines, then directory lines, each part ended by
 * "\r<code>" at the end of its last chunk. */
struct dir_answer {
  std::vector<std::string> lines[2]; /* 0: files ('F'), 1: directories ('D') */
  int code = 0;
  bool opened = false; /* the directory was there to list (a fault may still cut it) */
  int part = 0;
  size_t next = 0;
  bool breaks = false; /* reading fails with code */
};

struct mem_list {
  ep_list h;
  std::mutex lock; /* enum and read may come from different threads */
  std::deque<dir_answer> answers;
  std::atomic<bool> stop{false};
};

mem_list *ML(ep_list *l)
{
  return static_cast<mem_list *>(l->impl);
}

/* Lists dir now, as the local lister does right after the request; the fault cuts it here. */
dir_answer list_dir(const std::string &dir)
{
  dir_answer a;
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = locate(dir, &p);
  if (rc == 0 && !p.node)
    rc = VERR_PATH_NOT_FOUND;
  if (rc == 0 && !S_ISDIR(p.node->mode))
    rc = S_ISLNK(p.node->mode) ? VERR_LOOP : VERR_PATH_NOT_FOUND;
  if (rc < 0) {
    a.code = rc;
    return a;
  }
  a.opened = true;
  const mem_ep_fault &f = fs().fault;
  bool cut = !f.list_dir.empty() && f.list_dir == dir;
  size_t given = 0;
  auto d = std::make_unique<os_dirent>();
  for (const auto &kid : p.node->kids) {
    if (cut && given == f.list_entries)
      break;
    std::string path = (dir == "/" ? std::string() : dir) + "/" + kid.first;
    fill_dirent(*kid.second, path, d.get());
    if (d->type & TYPE_F_SYMLINK)
      d->size = 0; /* listings give links no size */
    std::string line;
    if (dirent_to_line(d.get(), &line) < 0)
      continue;
    /* A link to a directory is a file line, as the local lister gives it. */
    a.lines[os_type_kind(d->type) == TYPE_DIR ? 1 : 0].push_back(std::move(line));
    ++given;
  }
  if (cut) {
    a.code = f.list_code;
    a.breaks = f.list_breaks;
  }
  return a;
}

ep_list *mem_list_open(ep *e, const ep_list_param *p, vperror *err)
{
  if (p->flag & LIBRDIR_F_GEN2) {
    VPERROR_SET(err, VERR_NOTSUP, "list_open [%s]: memory listings are generation 1 only", M(e)->root.c_str());
    return nullptr;
  }
  dir_answer root = list_dir(M(e)->root);
  /* A root that cannot be listed at all fails the open; a listing cut part way ends in-band, as
   * a read error of a directory that did open does. */
  if (!root.opened) {
    VPERROR_SET(err, root.code, "opendir [%s] error: %s", M(e)->root.c_str(), verr2str(root.code));
    return nullptr;
  }
  auto *l = new (std::nothrow) mem_list;
  if (!l) {
    VPERROR_SET(err, VERR_NOMEM, "list_open: out of memory");
    return nullptr;
  }
  l->h.e = e;
  l->h.impl = l;
  l->answers.push_back(std::move(root));
  return &l->h;
}

int mem_list_enum(ep_list *l, const char *dir)
{
  if (!inside(M(l->e), dir))
    return VERR_PARAM;
  dir_answer a = list_dir(dir);
  mem_list *ml = ML(l);
  std::lock_guard<std::mutex> g(ml->lock);
  ml->answers.push_back(std::move(a));
  return 0;
}

int mem_list_read(ep_list *l, char *buf, uint32_t len)
{
  mem_list *ml = ML(l);
  std::lock_guard<std::mutex> g(ml->lock);
  if (ml->stop.load() || ml->answers.empty())
    return 0;
  dir_answer &a = ml->answers.front();
  if (a.breaks)
    return a.code;
  char end[32];
  int en = snprintf(end, sizeof end, "\r%d", a.code);
  const std::vector<std::string> &lines = a.lines[a.part];
  size_t pos = 0;
  if (len < 2 + static_cast<uint32_t>(en))
    return VERR_OVERFLOW;
  buf[pos++] = a.part == 0 ? 'F' : 'D';
  /* Whole lines only, with room kept for the end message. */
  while (a.next < lines.size() && pos + lines[a.next].size() + static_cast<size_t>(en) <= len) {
    memcpy(buf + pos, lines[a.next].data(), lines[a.next].size());
    pos += lines[a.next].size();
    ++a.next;
  }
  if (a.next < lines.size()) {
    if (pos == 1)
      return VERR_OVERFLOW; /* one line longer than the reader's buffer */
    return static_cast<int>(pos);
  }
  memcpy(buf + pos, end, static_cast<size_t>(en));
  pos += static_cast<size_t>(en);
  a.next = 0;
  if (++a.part == 2)
    ml->answers.pop_front();
  return static_cast<int>(pos);
}

void mem_list_stop(ep_list *l)
{
  ML(l)->stop.store(true);
}

void mem_list_close(ep_list *l)
{
  delete ML(l);
}

/* --- files ----------------------------------------------------------------------------------- */

struct mem_file {
  ep_file h;
  node_ptr node; /* kept alive by the handle even once its name is gone */
  std::string path;
  uint64_t written = 0; /* bytes accepted, for the write fault */
  file_hash *hash = nullptr;
};

mem_file *MF(ep_file *f)
{
  return static_cast<mem_file *>(f->impl);
}

/* Makes the place of p free for a new entry: a link or file goes, an empty directory too; a
 * directory with entries stays (-105). */
int clear_place(place *p, const char *path, vperror *err)
{
  if (!p->node)
    return 0;
  if (S_ISDIR(p->node->mode) && !p->node->kids.empty()) {
    VPERROR_SET(err, VERR_EXISTS, "replace [%s] error: a directory with entries is in the way", path);
    return VERR_EXISTS;
  }
  p->parent->kids.erase(p->name);
  p->node = nullptr;
  return 0;
}

ep_file *mem_file_open(ep *e, const char *path, int how, vperror *err)
{
  const bool excl = (how & EP_O_EXCL) != 0;
  how &= ~(EP_O_SOLE | EP_O_EXCL); /* no entry here has a second name */
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  if (resolve(e, path, &p, err) < 0)
    return nullptr;
  if (how == EP_O_READ) {
    if (!p.node) {
      fail(err, VERR_FILE_NOT_FOUND, "open", path);
      return nullptr;
    }
  } else if (how == EP_O_WRITE || how == EP_O_SYNC) {
    if (!p.parent) {
      fail(err, VERR_PARAM, "open", path);
      return nullptr;
    }
    if (p.node && excl) {
      fail(err, VERR_EXISTS, "open", path);
      return nullptr;
    }
    if (p.node && !S_ISREG(p.node->mode) && clear_place(&p, path, err) < 0)
      return nullptr;
    if (!p.node) {
      p.node = new_node(S_IFREG | 0600);
      p.parent->kids[p.name] = p.node;
    }
    if (how == EP_O_WRITE)
      p.node->data.clear();
  } else {
    fail(err, VERR_PARAM, "open", path);
    return nullptr;
  }
  if (!S_ISREG(p.node->mode)) {
    VPERROR_SET(err, VERR_PARAM, "open [%s] error: not a regular file", path);
    return nullptr;
  }
  auto *f = new (std::nothrow) mem_file;
  if (!f) {
    VPERROR_SET(err, VERR_NOMEM, "open [%s]: out of memory", path);
    return nullptr;
  }
  f->h.e = e;
  f->h.impl = f;
  f->node = p.node;
  f->path = path;
  return &f->h;
}

/* Copies up to len bytes from off; the caller holds the lock. */
int64_t read_at(const mem_node &n, void *buf, size_t len, uint64_t off)
{
  if (off >= n.data.size())
    return 0;
  size_t k = std::min<size_t>(len, n.data.size() - static_cast<size_t>(off));
  memcpy(buf, n.data.data() + off, k);
  return static_cast<int64_t>(k);
}

int64_t mem_file_pread(ep_file *f, void *buf, size_t len, uint64_t off, vperror *)
{
  std::lock_guard<std::mutex> g(fs().lock);
  return read_at(*MF(f)->node, buf, len, off);
}

int64_t mem_file_pwrite(ep_file *f, const void *buf, size_t len, uint64_t off, vperror *err)
{
  mem_file *mf = MF(f);
  std::lock_guard<std::mutex> g(fs().lock);
  mem_ep_fault &fault = fs().fault;
  size_t take = len;
  bool fails = false;
  if (!fault.write_path.empty() && fault.write_path == mf->path && mf->written + len > fault.write_after) {
    take = static_cast<size_t>(fault.write_after > mf->written ? fault.write_after - mf->written : 0);
    fails = true;
  }
  std::string &d = mf->node->data;
  if (take > 0) {
    if (off + take > d.size())
      d.resize(static_cast<size_t>(off + take));
    memcpy(d.data() + off, buf, take);
    mf->node->mtime = mf->node->ctime = now_s();
  }
  mf->written += take;
  mem_ep_counters &c = fs().counters;
  c.pwrite_calls++;
  c.pwrite_bytes += take;
  c.written[mf->path] += take;
  if (fails)
    return fail(err, fault.write_code, "write", mf->path.c_str());
  return static_cast<int64_t>(take);
}

int mem_file_truncate(ep_file *f, uint64_t size, vperror *err)
{
  mem_file *mf = MF(f);
  if (size > (uint64_t(1) << 34))
    return fail(err, VERR_FILE_TOO_BIG, "truncate", mf->path.c_str());
  std::lock_guard<std::mutex> g(fs().lock);
  mf->node->data.resize(static_cast<size_t>(size));
  mf->node->mtime = mf->node->ctime = now_s();
  return 0;
}

int mem_file_stat(ep_file *f, os_dirent *d, vperror *)
{
  std::lock_guard<std::mutex> g(fs().lock);
  fill_dirent(*MF(f)->node, MF(f)->path, d);
  return 0;
}

int mem_file_next_data(ep_file *f, uint64_t off, uint64_t *data_off, uint64_t *data_end, vperror *)
{
  std::lock_guard<std::mutex> g(fs().lock);
  uint64_t size = MF(f)->node->data.size();
  if (off >= size)
    return 1;
  *data_off = off;
  *data_end = size;
  return 0;
}

void mem_hash_close(ep_file *f)
{
  mem_file *mf = MF(f);
  if (mf->hash) {
    file_hash_close(mf->hash);
    mf->hash = nullptr;
  }
}

int mem_file_close(ep_file *f, const file_attr *attr, vperror *)
{
  mem_file *mf = MF(f);
  mem_hash_close(f);
  if (attr) {
    std::lock_guard<std::mutex> g(fs().lock);
    apply_attr(mf->node.get(), attr);
  }
  delete mf;
  return 0;
}

int64_t hash_read(void *file, void *buf, size_t len, uint64_t off)
{
  std::lock_guard<std::mutex> g(fs().lock);
  return read_at(*static_cast<mem_file *>(file)->node, buf, len, off);
}

void hash_read_err(void *file, vperror *err)
{
  VPERROR_SET(err, VERR_DEV_IO, "read [%s] error", static_cast<mem_file *>(file)->path.c_str());
}

int mem_hash_open(ep_file *f, uint32_t flags, uint32_t bs, uint32_t block_count, vperror *err)
{
  mem_file *mf = MF(f);
  mem_hash_close(f);
  file_hash_param p;
  p.flags = flags;
  p.file = mf;
  p.read = hash_read;
  p.err_cb = hash_read_err;
  p.bs = bs;
  p.block_count = block_count;
  p.cache_block = bs > 0x200000 ? bs : 0x200000;
  mf->hash = file_hash_open(&p, err);
  if (!mf->hash)
    return err && err->code ? err->code : VERR_FAIL;
  return 0;
}

int mem_hash_get(ep_file *f, uint64_t off, uint64_t len, char *text, size_t size, vperror *err)
{
  mem_file *mf = MF(f);
  if (!mf->hash)
    return fail(err, VERR_PARAM, "hash", mf->path.c_str());
  if (file_hash_cal(mf->hash, off, len) < 0) {
    const vperror *e = file_hash_err(mf->hash);
    int code = e->code ? e->code : VERR_FAIL;
    VPERROR_SET(err, code, "hash [%s] error: %s", mf->path.c_str(), e->msg);
    return code;
  }
  int n = file_hash_text(mf->hash, text, size);
  return n < 0 ? fail(err, VERR_OVERFLOW, "hash", mf->path.c_str()) : n;
}

int mem_hash_get2(ep_file *f, char *buf, size_t len, vperror *err)
{
  mem_file *mf = MF(f);
  if (!mf->hash)
    return fail(err, VERR_PARAM, "hash", mf->path.c_str());
  int n = file_hash_records(mf->hash, buf, len);
  return n < 0 ? fail(err, VERR_OVERFLOW, "hash", mf->path.c_str()) : n;
}

int mem_hash_get_bin(ep_file *f, uint32_t flag, uint8_t *buf, size_t len, vperror *err)
{
  mem_file *mf = MF(f);
  if (!mf->hash)
    return fail(err, VERR_PARAM, "hash", mf->path.c_str());
  int n = file_hash_get(mf->hash, flag, buf, len);
  return n < 0 ? fail(err, VERR_PARAM, "hash", mf->path.c_str()) : n;
}

/* --- tree changes ---------------------------------------------------------------------------- */

/* Makes every missing directory of path (an absolute namespace path); a non-directory in the way
 * is -105, a link -156. */
int make_dirs(const std::string &path, uint32_t mode, vperror *err)
{
  std::vector<std::string> names;
  int rc = split(path, &names);
  if (rc < 0)
    return fail(err, rc, "mkdirs", path.c_str());
  node_ptr cur = root_node();
  for (const std::string &n : names) {
    auto it = cur->kids.find(n);
    if (it == cur->kids.end()) {
      node_ptr d = new_node(S_IFDIR | (mode & 07777));
      cur->kids[n] = d;
      cur = d;
      continue;
    }
    if (S_ISLNK(it->second->mode))
      return fail(err, VERR_LOOP, "mkdirs", path.c_str());
    if (!S_ISDIR(it->second->mode))
      return fail(err, VERR_EXISTS, "mkdirs", path.c_str());
    cur = it->second;
  }
  return 0;
}

int mem_create(ep *e, const char *path, const file_attr *attr, uint32_t how, vperror *err)
{
  if (how & EP_C_ZZ)
    return fail(err, VERR_NOTSUP, "create stream", path);
  const bool noreplace = (how & EP_C_NOREPLACE) != 0;
  const bool is_link = (attr->type & TYPE_F_SYMLINK) != 0;
  const bool is_dir = !is_link && os_type_kind(attr->type) == TYPE_DIR;
  uint32_t fmt = attr->attrib_mode & S_IFMT;
  if (!is_link && !is_dir && fmt != 0 && fmt != S_IFREG)
    return fail(err, VERR_NOTSUP, "create special", path);
  if (attr->type & TYPE_F_JUNCTION)
    return fail(err, VERR_NOTSUP, "create junction", path);
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = resolve(e, path, &p, err);
  if (rc == VERR_PATH_NOT_FOUND && is_dir) {
    /* A directory comes with its missing parents. */
    const char *slash = strrchr(path, '/');
    if (!slash || slash == path || make_dirs(std::string(path, static_cast<size_t>(slash - path)), 0700, err) < 0)
      return err->code;
    rc = resolve(e, path, &p, err);
  }
  if (rc < 0)
    return rc;
  if (!p.parent)
    return fail(err, VERR_PARAM, "create", path);
  if (p.node && noreplace)
    return fail(err, VERR_EXISTS, "create", path);
  if (is_dir && p.node && S_ISDIR(p.node->mode)) {
    apply_attr(p.node.get(), attr);
    return 0;
  }
  if (clear_place(&p, path, err) < 0)
    return err->code;
  node_ptr n = new_node(is_link ? (S_IFLNK | 0777) : is_dir ? (S_IFDIR | 0700) : (S_IFREG | 0600));
  if (is_link)
    n->target = attr->link_name ? attr->link_name : "";
  apply_attr(n.get(), attr);
  p.parent->kids[p.name] = n;
  return 0;
}

int mem_set_attr(ep *e, const char *path, const file_attr *attr, vperror *err)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  if (resolve(e, path, &p, err) < 0)
    return err->code;
  if (!p.node)
    return fail(err, VERR_FILE_NOT_FOUND, "set_lstat", path);
  apply_attr(p.node.get(), attr);
  return 0;
}

int mem_lutime(ep *e, const char *path, uint64_t ta, uint64_t tw, vperror *err)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  if (resolve(e, path, &p, err) < 0)
    return err->code;
  if (!p.node)
    return fail(err, VERR_FILE_NOT_FOUND, "lutime", path);
  p.node->atime = static_cast<int64_t>(ta);
  p.node->mtime = static_cast<int64_t>(tw);
  return 0;
}

uint64_t count_tree(const mem_node &n)
{
  uint64_t c = 1;
  for (const auto &k : n.kids)
    c += count_tree(*k.second);
  return c;
}

int mem_remove(ep *e, const char *path, uint32_t how, vperror *err)
{
  if (how & EP_C_ZZ)
    return fail(err, VERR_NOTSUP, "remove stream", path);
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  if (resolve(e, path, &p, err) < 0)
    return err->code;
  if (!p.parent || strcmp(path, M(e)->root.c_str()) == 0)
    return fail(err, VERR_PARAM, "remove the root", path);
  if (!p.node)
    return fail(err, VERR_FILE_NOT_FOUND, "remove", path);
  if (S_ISDIR(p.node->mode) && !p.node->kids.empty())
    return fail(err, VERR_DIR_NOT_EMPTY, "remove", path);
  p.parent->kids.erase(p.name);
  fs().counters.removed++;
  return 0;
}

int mem_remove_tree(ep *e, const char *path, vperror *err)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  if (resolve(e, path, &p, err) < 0)
    return err->code;
  if (!p.parent || strcmp(path, M(e)->root.c_str()) == 0)
    return fail(err, VERR_PARAM, "remove the root", path);
  if (!p.node)
    return 0;
  fs().counters.removed += count_tree(*p.node);
  p.parent->kids.erase(p.name);
  return 0;
}

int mem_mkdirs(ep *e, const char *path, uint32_t mode, vperror *err)
{
  if (!inside(M(e), path)) {
    VPERROR_SET(err, VERR_PARAM, "[%s] is outside the tree [%s]", path, M(e)->root.c_str());
    return VERR_PARAM;
  }
  std::lock_guard<std::mutex> g(fs().lock);
  return make_dirs(path, mode, err);
}

int mem_stat(ep *e, const char *path, os_dirent *d, vperror *err)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  if (resolve(e, path, &p, err) < 0)
    return err->code;
  if (!p.node)
    return fail(err, VERR_FILE_NOT_FOUND, "stat", path);
  fill_dirent(*p.node, path, d);
  return 0;
}

/* --- builders -------------------------------------------------------------------------------- */

/* Locates path for a builder, making its missing parents. */
int build_place(const std::string &path, place *p)
{
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || path == "/")
    return VERR_PARAM;
  if (slash > 0) {
    vperror e{};
    int rc = make_dirs(path.substr(0, slash), 0755, &e);
    if (rc < 0)
      return rc;
  }
  int rc = locate(path, p);
  return rc < 0 ? rc : p->parent ? 0 : VERR_PARAM;
}

int with_node(const std::string &path, void (*change)(mem_node *, const void *), const void *arg)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = locate(path, &p);
  if (rc < 0)
    return rc;
  if (!p.node)
    return VERR_FILE_NOT_FOUND;
  change(p.node.get(), arg);
  return 0;
}

void collect(const mem_node &n, const std::string &rel, std::vector<mem_ep_entry> *out)
{
  for (const auto &k : n.kids) {
    const mem_node &c = *k.second;
    mem_ep_entry x;
    x.rel = rel.empty() ? k.first : rel + "/" + k.first;
    x.uid = c.uid;
    x.gid = c.gid;
    if (S_ISDIR(c.mode)) {
      x.kind = 'd';
      x.mode = c.mode & 07777;
      x.mtime = c.mtime;
    } else if (S_ISLNK(c.mode)) {
      x.kind = 'l';
      x.target = c.target;
    } else {
      x.kind = 'f';
      x.mode = c.mode & 07777;
      x.mtime = c.mtime;
      x.data = c.data;
    }
    out->push_back(x);
    if (S_ISDIR(c.mode))
      collect(c, x.rel, out); /* not out->back(): the vector moves as it grows */
  }
}

void collect_local(const std::string &dir, const std::string &rel, std::vector<mem_ep_entry> *out)
{
  DIR *d = opendir(dir.c_str());
  if (!d)
    return;
  std::vector<std::string> names;
  while (struct dirent *de = readdir(d))
    if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
      names.emplace_back(de->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) {
    std::string full = dir + "/" + n;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0)
      continue;
    mem_ep_entry x;
    x.rel = rel.empty() ? n : rel + "/" + n;
    x.uid = st.st_uid;
    x.gid = st.st_gid;
    if (S_ISLNK(st.st_mode)) {
      x.kind = 'l';
      char buf[EP_PATH_SIZE];
      ssize_t k = readlink(full.c_str(), buf, sizeof buf);
      x.target.assign(buf, k > 0 ? static_cast<size_t>(k) : 0);
    } else {
      x.kind = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : '?';
      x.mode = st.st_mode & 07777;
      x.mtime = st.st_mtim.tv_sec;
      if (x.kind == 'f') {
        std::ifstream in(full, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        x.data = s.str();
      }
    }
    out->push_back(x);
    if (x.kind == 'd')
      collect_local(full, x.rel, out);
  }
}

} // namespace

const ep_ops mem_ep_ops = {
    .name = "memory",
    .caps = 0,
    .match = mem_match,
    .open = mem_open,
    .close = mem_close,
    .lookup_ids = nullptr, /* owners are numbers here */
    .lock_root = mem_lock_root,
    .list_open = mem_list_open,
    .list_enum = mem_list_enum,
    .list_read = mem_list_read,
    .list_stop = mem_list_stop,
    .list_close = mem_list_close,
    .list_drop_long_dirs = nullptr, /* generation 1 drops nothing */
    .file_open = mem_file_open,
    .file_pread = mem_file_pread,
    .file_pwrite = mem_file_pwrite,
    .file_truncate = mem_file_truncate,
    .file_stat = mem_file_stat,
    .file_next_data = mem_file_next_data,
    .file_copy_range = nullptr, /* the engine moves the data through its buffer */
    .file_close = mem_file_close,
    .file_digest = nullptr, /* nothing to compare against: the tree is in this process */
    .hash_open = mem_hash_open,
    .hash_get = mem_hash_get,
    .hash_get2 = mem_hash_get2,
    .hash_get_bin = mem_hash_get_bin,
    .hash_close = mem_hash_close,
    .create = mem_create,
    .set_attr = mem_set_attr,
    .lutime = mem_lutime,
    .remove = mem_remove,
    .remove_tree = mem_remove_tree,
    .hard_link = nullptr,
    .mkdirs = mem_mkdirs,
    .stat = mem_stat,
    .rename = nullptr,
    .xattr_get = nullptr,
    .xattr_set = nullptr,
    .batch_open = nullptr,
    .batch_call = nullptr,
    .batch_ret = nullptr,
    .batch_stop = nullptr,
    .batch_close = nullptr,
};

void mem_ep_reset()
{
  std::lock_guard<std::mutex> g(fs().lock);
  fs().root = nullptr;
  root_node();
  fs().fault = mem_ep_fault{};
  fs().counters = mem_ep_counters{};
  fs().locked.clear();
}

void mem_ep_set_fault(const mem_ep_fault &f)
{
  std::lock_guard<std::mutex> g(fs().lock);
  fs().fault = f;
}

mem_ep_counters mem_ep_get_counters()
{
  std::lock_guard<std::mutex> g(fs().lock);
  return fs().counters;
}

void mem_ep_reset_counters()
{
  std::lock_guard<std::mutex> g(fs().lock);
  fs().counters = mem_ep_counters{};
}

int mem_ep_put(const std::string &path, const std::string &data, unsigned mode, int64_t mtime)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = build_place(path, &p);
  if (rc < 0)
    return rc;
  if (p.node && !S_ISREG(p.node->mode))
    return VERR_EXISTS;
  if (!p.node) {
    p.node = new_node(S_IFREG);
    p.parent->kids[p.name] = p.node;
  }
  p.node->mode = S_IFREG | (mode & 07777);
  p.node->data = data;
  p.node->atime = p.node->mtime = mtime ? mtime : DEFAULT_TIME;
  return 0;
}

int mem_ep_mkdir(const std::string &path, unsigned mode, int64_t mtime)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = build_place(path, &p);
  if (rc < 0)
    return rc;
  if (p.node && !S_ISDIR(p.node->mode))
    return VERR_EXISTS;
  if (!p.node) {
    p.node = new_node(S_IFDIR);
    p.parent->kids[p.name] = p.node;
  }
  p.node->mode = S_IFDIR | (mode & 07777);
  p.node->atime = p.node->mtime = mtime ? mtime : DEFAULT_TIME;
  return 0;
}

int mem_ep_link(const std::string &target, const std::string &path)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = build_place(path, &p);
  if (rc < 0)
    return rc;
  if (p.node)
    return VERR_EXISTS;
  p.node = new_node(S_IFLNK | 0777);
  p.node->target = target;
  p.node->atime = p.node->mtime = DEFAULT_TIME;
  p.parent->kids[p.name] = p.node;
  return 0;
}

int mem_ep_chmod(const std::string &path, unsigned mode)
{
  return with_node(
      path,
      [](mem_node *n, const void *a) {
        if (!S_ISLNK(n->mode))
          n->mode = (n->mode & S_IFMT) | (*static_cast<const unsigned *>(a) & 07777);
      },
      &mode);
}

int mem_ep_chown(const std::string &path, uint32_t uid, uint32_t gid)
{
  const uint32_t ids[2] = {uid, gid};
  return with_node(
      path,
      [](mem_node *n, const void *a) {
        n->uid = static_cast<const uint32_t *>(a)[0];
        n->gid = static_cast<const uint32_t *>(a)[1];
      },
      ids);
}

int mem_ep_set_mtime(const std::string &path, int64_t mtime)
{
  return with_node(
      path, [](mem_node *n, const void *a) { n->mtime = *static_cast<const int64_t *>(a); }, &mtime);
}

int mem_ep_patch(const std::string &path, uint64_t off, const std::string &data)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = locate(path, &p);
  if (rc < 0)
    return rc;
  if (!p.node || !S_ISREG(p.node->mode))
    return VERR_FILE_NOT_FOUND;
  std::string &d = p.node->data;
  if (off + data.size() > d.size())
    d.resize(static_cast<size_t>(off + data.size()));
  memcpy(d.data() + off, data.data(), data.size());
  return 0;
}

int mem_ep_remove(const std::string &path)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = locate(path, &p);
  if (rc < 0)
    return rc;
  if (!p.node || !p.parent)
    return VERR_FILE_NOT_FOUND;
  p.parent->kids.erase(p.name);
  return 0;
}

bool mem_ep_exists(const std::string &path)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  return locate(path, &p) == 0 && p.node;
}

int mem_ep_read(const std::string &path, std::string *data)
{
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  int rc = locate(path, &p);
  if (rc < 0)
    return rc;
  if (!p.node || !S_ISREG(p.node->mode))
    return VERR_FILE_NOT_FOUND;
  *data = p.node->data;
  return 0;
}

std::vector<std::string> mem_ep_names(const std::string &dir)
{
  std::vector<std::string> v;
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  if (locate(dir, &p) == 0 && p.node && S_ISDIR(p.node->mode))
    for (const auto &k : p.node->kids)
      v.push_back(k.first);
  return v;
}

std::vector<mem_ep_entry> mem_ep_entries(const std::string &root)
{
  std::vector<mem_ep_entry> v;
  std::lock_guard<std::mutex> g(fs().lock);
  place p;
  if (locate(root, &p) == 0 && p.node && S_ISDIR(p.node->mode))
    collect(*p.node, "", &v);
  return v;
}

std::vector<mem_ep_entry> mem_ep_local_entries(const std::string &root)
{
  std::vector<mem_ep_entry> v;
  collect_local(root, "", &v);
  return v;
}

std::vector<std::string> mem_ep_diff(const std::vector<mem_ep_entry> &a, const std::vector<mem_ep_entry> &b)
{
  std::vector<std::string> out;
  std::map<std::string, const mem_ep_entry *> mb;
  for (const auto &x : b)
    mb[x.rel] = &x;
  char line[512];
  for (const auto &x : a) {
    auto it = mb.find(x.rel);
    if (it == mb.end()) {
      out.push_back(x.rel + ": only in the first");
      continue;
    }
    const mem_ep_entry &y = *it->second;
    mb.erase(it);
    const char *r = x.rel.c_str();
    if (x.kind != y.kind) {
      snprintf(line, sizeof line, "%s: kind %c != %c", r, x.kind, y.kind);
      out.push_back(line);
      continue;
    }
    if (x.mode != y.mode) {
      snprintf(line, sizeof line, "%s: mode 0%o != 0%o", r, x.mode, y.mode);
      out.push_back(line);
    }
    if (x.uid != y.uid || x.gid != y.gid) {
      snprintf(line, sizeof line, "%s: owner %u:%u != %u:%u", r, x.uid, x.gid, y.uid, y.gid);
      out.push_back(line);
    }
    if (x.mtime != y.mtime) {
      snprintf(line, sizeof line, "%s: mtime %lld != %lld", r, static_cast<long long>(x.mtime),
               static_cast<long long>(y.mtime));
      out.push_back(line);
    }
    if (x.data != y.data) {
      snprintf(line, sizeof line, "%s: content differs (%zu != %zu bytes)", r, x.data.size(), y.data.size());
      out.push_back(line);
    }
    if (x.target != y.target)
      out.push_back(x.rel + ": link [" + x.target + "] != [" + y.target + "]");
  }
  for (const auto &rest : mb)
    out.push_back(rest.first + ": only in the second");
  return out;
}
