/* Formatting and parsing of listing lines, and name matching: the per-entry work of every
 * listing on both sides of a run. */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_glob.h"
#include "librdir/hardlink.h"
#include "librdir/mstat.h"
#include "librdir/rdir_filter.h"
#include "librdir/rdir_line.h"
#include "librdir/rdir_stat.h"

namespace {

/* A mix of entries as a source tree has them: short names, long names with characters that
 * need escaping, a link, an entry with an extended attribute. */
std::vector<os_dirent> sample_entries()
{
  std::vector<os_dirent> v(4);
  for (size_t i = 0; i < v.size(); ++i) {
    os_dirent &d = v[i];
    d.type = TYPE_FILE;
    d.attrib_mode = 0100644;
    d.uid = 1000;
    d.gid = 1000;
    d.size = 12345 + static_cast<int64_t>(i);
    d.time_write = 1700000000;
    d.time_access = 1700000100;
    d.time_create = 1700000000;
    d.st_nlink = 1;
    d.st_ino = 4000000 + i;
    d.st_dev = 0xfe00;
  }
  snprintf(v[0].name, sizeof v[0].name, "main.cpp");
  snprintf(v[1].name, sizeof v[1].name, "a rather long file name with spaces\tand a tab, a \\backslash and more.txt");
  snprintf(v[2].name, sizeof v[2].name, "link");
  v[2].type = TYPE_FILE | TYPE_F_SYMLINK;
  snprintf(v[2].link_name, sizeof v[2].link_name, "../../include/some/target.h");
  snprintf(v[3].name, sizeof v[3].name, "tagged.dat");
  v[3].streams = "user.comment\tX\t42\n";
  return v;
}

void BM_dirent_to_line(benchmark::State &state)
{
  std::vector<os_dirent> v = sample_entries();
  std::string out;
  out.reserve(4096);
  size_t i = 0;
  for (auto _ : state) {
    out.clear();
    benchmark::DoNotOptimize(dirent_to_line(&v[i++ & 3], &out));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_dirent_to_line);

/* A listing chunk of n lines of one directory. */
std::string sample_chunk(int n)
{
  std::vector<os_dirent> v = sample_entries();
  std::string text;
  for (int i = 0; i < n; ++i) {
    os_dirent &d = v[static_cast<size_t>(i) & 3];
    snprintf(d.name, sizeof d.name, "file_%06d.%s", i, (i & 3) == 1 ? "txt" : "o");
    d.st_ino = 5000000 + static_cast<uint64_t>(i);
    dirent_to_line(&d, &text);
  }
  return text;
}

void BM_str_2_stat(benchmark::State &state)
{
  const int n = 1000;
  const std::string chunk = sample_chunk(n);
  const bool hard = state.range(0) & 1;
  const bool win = state.range(0) & 2;
  std::string work;
  mstat *m = mstat_alloc(nullptr);
  hardlink_table *hl = hardlink_table_alloc();
  for (auto _ : state) {
    work = chunk;
    stat_parse_ctx ctx;
    ctx.hardlink = hard;
    ctx.win_target = win;
    ctx.hl = hl;
    ctx.dir = "/src/lib";
    mstat_clear(m);
    hardlink_table_clear(hl);
    benchmark::DoNotOptimize(str_2_stat(work.data(), &ctx, m));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk.size()));
  hardlink_table_free(hl);
  mstat_free(m);
}
/* 0 plain, 1 with hard-link detection, 2 with the Windows-target drop rules. */
BENCHMARK(BM_str_2_stat)->Arg(0)->Arg(1)->Arg(2);

const char *const g_paths[] = {
    "/src/lib/librdir/rdir_line.cpp", "/build/asan/CMakeFiles/librdir.dir/rdir_line.cpp.o",
    "/docs/README.md", "/a/very/deep/tree/of/directories/with/a/name/at/the/end.txt",
    "/node_modules/left-pad/index.js", "/photos/2026/12/IMG_0001.JPG"};

void BM_glob_match(benchmark::State &state)
{
  static const char *const patterns[] = {"*.txt", "*/build/*", "a*b*c*d", "*.cpp|*.h|*.o", "/photos/*/*.jpg"};
  const char *pat = patterns[state.range(0)];
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(pl_glob_match_multi(g_paths[i++ % 6], pat, 1, 0));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetLabel(pat);
}
BENCHMARK(BM_glob_match)->DenseRange(0, 4);

/* The worst case of a backtracking matcher: many stars against a long text that almost matches. */
void BM_glob_match_adversarial(benchmark::State &state)
{
  std::string text(200, 'a');
  const char *pat = "*a*a*a*a*a*a*a*a*b";
  for (auto _ : state)
    benchmark::DoNotOptimize(pl_glob_match(pat, text.c_str(), 1, 0));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_glob_match_adversarial);

void BM_filter_admit(benchmark::State &state)
{
  rdir_filter *f = rdir_filter_init("*.cpp\t*.h\t*.txt\t*.md", "*.o\t*.tmp", nullptr, "*/build/\t*/node_modules/",
                                    nullptr);
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(rdir_filter_admit(f, g_paths[i++ % 6], false));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  rdir_filter_free(f);
}
BENCHMARK(BM_filter_admit);

/* The logger is quiet while benchmarks run: parse errors would otherwise be timed too. */
struct quiet_log {
  quiet_log()
  {
    int none = 0;
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, &none, sizeof none);
  }
} g_quiet;

} // namespace
