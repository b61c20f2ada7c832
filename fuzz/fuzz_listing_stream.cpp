/* libFuzzer target: the generation-2 listing stream as the engine's reader takes it in — records
 * of "O", "D ", "F ", "E"/"R" lines ended by "\r", the "X" count, the final lone "\r" — fed in
 * chunks into a side's dictionary. (The listing lines themselves are fuzz_listing_line's.)
 *
 * Input: one control byte, then the stream. Control bits 0 and 1 turn on the parse options
 * (a target without POSIX modes, hard-link detection); bits 2-7 give the stride of the chunks.
 * Property: the stream fed whole and fed in chunks gives the same dictionary, the same dropped
 * count and the same end. Chunks are cut where a reader may see a cut: not beside a "\r" inside
 * the stream, or right after a record's "\r". */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_work.h"
#include "liblog/log2.h"
#include "librdir/hardlink.h"
#include "librdir/mstat.h"

namespace {

/* Log lines are formatted (their arguments are read) and dropped. */
void log_sink(int, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  char line[1024];
  vsnprintf(line, sizeof line, fmt, ap);
}

struct side {
  vperror err{};
  cdir_ctx ctx;
  hardlink_table *hl = nullptr;
  side(uint8_t control)
  {
    ctx.err = &err;
    ctx.i_side.rdir2 = std::make_unique<rdir2_side>();
    ctx.i_side.parse.win_target = (control & 1) != 0;
    if (control & 2) {
      hl = hardlink_table_alloc();
      ctx.i_side.parse.hardlink = hl != nullptr;
      ctx.i_side.parse.hl = hl;
    }
  }
  ~side()
  {
    for (auto &kv : ctx.i_side.rdir2->dict) {
      mstat_free(kv.second.files);
      mstat_free(kv.second.dirs);
    }
    hardlink_table_free(hl);
  }
  side(const side &) = delete;
  side &operator=(const side &) = delete;
};

void print_list(mstat *m, std::string *out)
{
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(m, &n);
  for (uint64_t i = 0; i < n; i++) {
    const mstat_item &it = items[i];
    if (!it.name)
      __builtin_trap();
    char buf[160];
    snprintf(buf, sizeof buf, " %x %x %llu %llu %x|", it.type, it.attrib_mode, (unsigned long long)it.size,
             (unsigned long long)it.time_write, it.flags);
    *out += it.name;
    *out += buf;
    if (it.link_name)
      *out += it.link_name;
    *out += "\n";
  }
}

/* The dictionary, the counters and the end, as text. */
std::string print(side &s, int end)
{
  std::string out = "end " + std::to_string(end) + " dropped " +
                    std::to_string(s.ctx.i_side.rdir2->drop_long_dirs.load()) + " files dropped " +
                    std::to_string(s.ctx.i_side.parse.drop_files.load()) + " dirs dropped " +
                    std::to_string(s.ctx.i_side.parse.drop_dirs.load()) + "\n";
  for (auto &kv : s.ctx.i_side.rdir2->dict) {
    out += "[" + kv.first + "] code " + std::to_string(kv.second.code) + "\n";
    print_list(kv.second.files, &out);
    out += "--\n";
    print_list(kv.second.dirs, &out);
  }
  return out;
}

/* Feeds [from, to) as one chunk, as the reader hands a chunk over (its own buffer). */
int feed(side &s, std::string *builder, const std::string &stream, size_t from, size_t to)
{
  std::string chunk = stream.substr(from, to - from);
  return rdir2_feed_chunk(&s.ctx, true, builder, chunk.data(), chunk.size());
}

/* Whether a chunk may end before stream[k] when it began at from. */
bool may_cut(const std::string &t, size_t from, size_t k)
{
  if (k <= from || k >= t.size() || t[k] == '\r')
    return false;
  if (t[k - 1] != '\r')
    return true;
  /* Right after a record's end: one "\r", and not the whole chunk. */
  return k - from >= 2 && t[k - 2] != '\r';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  log2_set_forward(log_sink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 2)
    return 0;
  const uint8_t control = data[0];
  const std::string stream(reinterpret_cast<const char *>(data + 1), size - 1);
  const size_t stride = 1 + (control >> 2);

  side whole(control);
  std::string builder;
  int end_whole = feed(whole, &builder, stream, 0, stream.size());

  side parts(control);
  std::string builder2;
  int end_parts = 0;
  size_t from = 0;
  while (from < stream.size()) {
    size_t to = from + stride;
    while (to < stream.size() && !may_cut(stream, from, to))
      to++;
    if (to > stream.size())
      to = stream.size();
    int r = feed(parts, &builder2, stream, from, to);
    if (r != 0 && to < stream.size()) {
      fprintf(stderr, "fuzz_listing_stream: a chunk ending at %zu of %zu ended the stream\n", to, stream.size());
      __builtin_trap();
    }
    end_parts = r;
    from = to;
  }

  std::string a = print(whole, end_whole), b = print(parts, end_parts);
  if (a != b || builder != builder2) {
    fprintf(stderr, "fuzz_listing_stream: the stream fed in chunks of %zu differs\nwhole:\n%s\nleft [%s]\nchunks:\n%s\nleft [%s]\n",
            stride, a.c_str(), builder.c_str(), b.c_str(), builder2.c_str());
    __builtin_trap();
  }
  return 0;
}
