#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "libcdir/libcdir_param.h"

namespace {

libcdir_param fresh()
{
  libcdir_param p;
  libcdir_param_init(&p);
  return p;
}

} // namespace

TEST(libcdir_param, defaults)
{
  libcdir_param p = fresh();
  EXPECT_EQ(1, p.o_trash);
  EXPECT_EQ(0x200000u, p.bs);
  EXPECT_EQ(0x10000u, p.sync_bs);
  EXPECT_EQ(1024u, p.sync_big_factor);
  EXPECT_EQ(30u, p.sync_cal_timeout);
  EXPECT_EQ(300u, p.max_read_timeout);
  EXPECT_EQ(0644u, p.file_mode);
  EXPECT_EQ(0755u, p.dir_mode);
  EXPECT_EQ(-1, p.max_delete); /* no limit */
  EXPECT_EQ(0u, p.mode);
  EXPECT_EQ(CDIR_OP_COPY, p.op);
  EXPECT_EQ(5000u, p.i_opt.batch);
  EXPECT_EQ(0x80000u, p.mfile_opt.small_limit);
  EXPECT_EQ(CDIR_ID_NONE, p.mfile_opt.uid);
  EXPECT_EQ(0, p.err.code);
  EXPECT_EQ('\0', p.err.msg[0]);
}

TEST(libcdir_set_param_mode, table)
{
  static const struct {
    const char *word;
    uint32_t op;
    uint32_t mode;
  } cases[] = {
      {"cp", CDIR_OP_COPY, 4},
      {"copy_overwrite", CDIR_OP_COPY, 4},
      {"copy_no_overwrite", CDIR_OP_COPY, 10},
      {"copy_diff_size_date", CDIR_OP_COPY, 2},
      {"copy_newer", CDIR_OP_COPY, 3},
      {"sync", CDIR_OP_SYNC, 5},
      {"sync_diff_size_date", CDIR_OP_SYNC, 5},
      {"sync_diff_size_date_bin", CDIR_OP_SYNC, 6},
      {"sync_diff_size_date_hash", CDIR_OP_SYNC, 7},
      {"sync_diff_size_date_rsync", CDIR_OP_SYNC, 8},
      {"sync_diff_size_date_auto_hash_rsync", CDIR_OP_SYNC, 9},
      {"ls", CDIR_OP_LS, 0},
      {"statfs", CDIR_OP_STATFS, 0},
  };
  for (const auto &c : cases) {
    libcdir_param p = fresh();
    ASSERT_EQ(0, libcdir_set_param_mode(&p, c.word)) << c.word;
    EXPECT_EQ(c.op, p.op) << c.word;
    EXPECT_EQ(c.mode, p.mode) << c.word;
  }
}

TEST(libcdir_set_param_mode, refusals_and_list_keeps_mode)
{
  libcdir_param p = fresh();
  /* near misses: case, prefix, trailing blank, the advertised but absent "rm" */
  for (const char *w : {"rm", "CP", "sync ", "copy", "", "ls=1", "sync_diff_size_date_"})
    EXPECT_EQ(-1, libcdir_set_param_mode(&p, w)) << "[" << w << "]";
  EXPECT_EQ(CDIR_OP_COPY, p.op);
  EXPECT_EQ(0u, p.mode);

  ASSERT_EQ(0, libcdir_set_param_mode(&p, "copy_newer"));
  ASSERT_EQ(0, libcdir_set_param_mode(&p, "ls"));
  EXPECT_EQ(CDIR_OP_LS, p.op);
  EXPECT_EQ(3u, p.mode);
}

TEST(libcdir_set_param_flag, words)
{
  static const struct {
    const char *list;
    uint32_t trace;
    uint32_t in_flags;
    uint32_t out_flags;
    uint8_t o_trash;
  } cases[] = {
      {"dry_run", 0x6, 0x1, 0x1, 1},
      {"file_ops", 0x2, 0x1, 0x1, 1},
      {"sync_reason,debug", 0x21, 0x1, 0x1, 1},
      {"progress,summary", 0x18, 0x1, 0x1, 1},
      {"acl", 0, 0x5, 0x5, 1},
      {"alt_stream", 0, 0x3, 0x3, 1},
      {"xattr,hardlinks", 0, 0xb, 0xb, 1},
      {"i_rdir", 0, 0x201, 0x1, 1},
      {"o_rdir", 0, 0x1, 0x201, 1},
      {"a_rdir", 0, 0x201, 0x201, 1},
      {"acl,i_rdir", 0, 0x205, 0x5, 1},
      {"del_directly", 0, 0x1, 0x1, 0},
      {"allow_empty_input", CDIR_TRACE_ALLOW_EMPTY_INPUT, 0x1, 0x1, 1},
      {"dry_run,allow_empty_input,summary", 0x56, 0x1, 0x1, 1},
  };
  for (const auto &c : cases) {
    libcdir_param p = fresh();
    ASSERT_EQ(0, libcdir_set_param_flag(&p, c.list)) << c.list;
    EXPECT_EQ(c.trace, p.trace_flags) << c.list;
    EXPECT_EQ(c.in_flags, p.i_opt.flags) << c.list;
    EXPECT_EQ(c.out_flags, p.o_opt.flags) << c.list;
    EXPECT_EQ(c.o_trash, p.o_trash) << c.list;
    EXPECT_EQ(c.o_trash, p.mfile_opt.del_mode) << c.list;
  }
}

TEST(libcdir_set_param_flag, later_word_recomputes_endpoint_bits)
{
  libcdir_param p = fresh();
  ASSERT_EQ(0, libcdir_set_param_flag(&p, "acl,dry_run"));
  ASSERT_EQ(0, libcdir_set_param_flag(&p, "i_rdir"));
  EXPECT_EQ(0x201u, p.i_opt.flags); /* the acl bit of the first word is lost */
  EXPECT_EQ(0x1u, p.o_opt.flags);
  EXPECT_EQ(0x6u, p.trace_flags); /* trace bits accumulate */
}

TEST(libcdir_set_param_flag, unknown_word_fails_without_storing_endpoint_bits)
{
  libcdir_param p = fresh();
  ASSERT_EQ(0, libcdir_set_param_flag(&p, "hardlinks"));
  EXPECT_EQ(-1, libcdir_set_param_flag(&p, "acl,bogus"));
  EXPECT_EQ(0u, p.trace_flags);
  EXPECT_EQ(0x9u, p.i_opt.flags);
  EXPECT_EQ(0x9u, p.o_opt.flags);

  /* trace bits and o_trash of words before the bad one stay */
  EXPECT_EQ(-1, libcdir_set_param_flag(&p, "file_ops,del_directly,i_rdir,nope,debug"));
  EXPECT_EQ(0x2u, p.trace_flags);
  EXPECT_EQ(0, p.o_trash);
  EXPECT_EQ(0x9u, p.i_opt.flags);

  for (const char *bad : {"", ",", "acl,", "ACL", "acl ,xattr", "dry_run=1", "\xff\xfe"})
    EXPECT_EQ(-1, libcdir_set_param_flag(&p, bad)) << "[" << bad << "]";
}

TEST(libcdir_set_param_kv, pairs)
{
  libcdir_param p = fresh();
  EXPECT_EQ(0, libcdir_set_param_kv(&p, "file_mode=600&dir_mode=700&colour=red"));
  EXPECT_EQ(0600u, p.file_mode);
  EXPECT_EQ(0700u, p.dir_mode);

  EXPECT_EQ(0, libcdir_set_param_kv(&p, "user_name=alice&group_name=st=aff&max_rate=4M"));
  EXPECT_EQ("alice", p.user_name);
  EXPECT_EQ("st=aff", p.group_name); /* everything after the first "=" is the value */
  EXPECT_EQ(4194304u, p.max_rate);

  /* octal reading stops at the first non-octal digit; no digits give 0 */
  EXPECT_EQ(0, libcdir_set_param_kv(&p, "file_mode=0689&dir_mode=x"));
  EXPECT_EQ(06u, p.file_mode);
  EXPECT_EQ(0u, p.dir_mode);

  /* malformed pairs are skipped, never fatal */
  EXPECT_EQ(0, libcdir_set_param_kv(&p, "&&=&noequals&=5&user_name="));
  EXPECT_EQ("", p.user_name);
  std::string big = "user_name=" + std::string(100000, 'u');
  EXPECT_EQ(0, libcdir_set_param_kv(&p, big.c_str()));
  EXPECT_EQ(100000u, p.user_name.size());
}

TEST(libcdir_set_param_kv, unknown_names_are_reported)
{
  static const struct {
    const char *list;
    std::vector<std::string> warnings;
  } cases[] = {
      {"max_delet=0", {"unknown param key [max_delet] ignored"}},
      {"file_mode=600&colour=red&MAX_RATE=1&dir_mode=700", {"unknown param key [colour] ignored",
                                                            "unknown param key [MAX_RATE] ignored"}},
      {"&&=5&noequals", {"unknown param key [] ignored", "param [noequals] is not name=value, ignored"}},
      {"max_delete=3&user_name=u&group_name=g&file_mode=1&dir_mode=1&max_rate=1", {}},
      {"", {}},
  };
  for (const auto &c : cases) {
    libcdir_param p = fresh();
    std::vector<std::string> warnings;
    EXPECT_EQ(0, libcdir_set_param_kv(&p, c.list, &warnings)) << c.list;
    EXPECT_EQ(c.warnings, warnings) << c.list;
    EXPECT_EQ(0, libcdir_set_param_kv(&p, c.list)) << c.list << ": the report is optional";
  }
  /* a long name is quoted cut, not whole */
  libcdir_param p = fresh();
  std::vector<std::string> warnings;
  std::string big(100000, 'k');
  EXPECT_EQ(0, libcdir_set_param_kv(&p, (big + "=1").c_str(), &warnings));
  ASSERT_EQ(1u, warnings.size());
  EXPECT_EQ("unknown param key [" + std::string(64, 'k') + "...] ignored", warnings[0]);
}

TEST(libcdir_set_param_kv, max_delete_values)
{
  static const struct {
    const char *value;
    int64_t want; /* -2: refused */
  } cases[] = {
      {"0", 0}, {"1", 1}, {"0042", 42}, {"9223372036854775807", INT64_MAX},
      {"", -2}, {"-1", -2}, {"+1", -2}, {" 1", -2}, {"1 ", -2}, {"1.0", -2}, {"1e3", -2}, {"10k", -2},
      {"0x10", -2}, {"abc", -2}, {"9223372036854775808", -2}, {"18446744073709551616", -2},
      {"99999999999999999999999", -2},
  };
  for (const auto &c : cases) {
    libcdir_param p = fresh();
    std::string list = std::string("file_mode=600&max_delete=") + c.value + "&dir_mode=700";
    if (c.want == -2) {
      EXPECT_EQ(-1, libcdir_set_param_kv(&p, list.c_str())) << "[" << c.value << "]";
      EXPECT_EQ(-1, p.max_delete) << "[" << c.value << "]";
      EXPECT_EQ(0600u, p.file_mode) << "pairs before the refused one stay applied";
      EXPECT_EQ(VERR_PARAM, p.err.code);
      EXPECT_EQ(std::string("param max_delete=[") + c.value + "]: the limit must be a non-negative integer",
                p.err.msg);
    } else {
      EXPECT_EQ(0, libcdir_set_param_kv(&p, list.c_str())) << "[" << c.value << "]";
      EXPECT_EQ(c.want, p.max_delete) << "[" << c.value << "]";
      EXPECT_EQ(0700u, p.dir_mode);
    }
  }
}

TEST(libcdir_set_param_bs, whole_64k_blocks_up_to_8m)
{
  static const struct {
    const char *text;
    uint32_t want; /* 0: refused */
  } cases[] = {
      {"64k", 65536}, {"64K", 65536}, {"65536", 65536}, {"128k", 131072}, {"1M", 1048576},
      {"1.5M", 1572864}, {"2M", 2097152}, {"8M", 8388608}, {"8388608c", 8388608}, {"128b", 65536},
      {"0", 0}, {"", 0}, {"-1", 0}, {"-64k", 0}, {"+64k", 0}, {"abc", 0}, {"k", 0}, {"1", 0},
      {"65535", 0}, {"65537", 0}, {"96k", 0}, {"1MB", 0}, {"8388609", 0}, {"8M1", 0}, {"8.0625M", 0},
      {"9M", 0}, {"16M", 0}, {"1G", 0}, {"4G", 0}, {"1T", 0}, {"1P", 0}, {"16E", 0}, {"1e999", 0},
      {"inf", 0}, {"nan", 0}, {"4294967296", 0}, {"4295032832", 0}, /* 4 GiB + 64 KiB: 64 KiB in 32 bits */
      {"99999999999999999999", 0}, {"18446744073709551616", 0}, {"18446744073709617152", 0},
      {"65536x1", 0}, {"64k ", 0}, {" 64k", 0}, {"64kk", 0}, {"64K64", 0}, {"64k\n", 0},
  };
  for (const auto &c : cases) {
    libcdir_param p = fresh();
    if (c.want) {
      EXPECT_EQ(0, libcdir_set_param_bs(&p, c.text)) << "[" << c.text << "]";
      EXPECT_EQ(c.want, p.bs) << "[" << c.text << "]";
      EXPECT_EQ(0, p.err.code);
    } else {
      EXPECT_EQ(-1, libcdir_set_param_bs(&p, c.text)) << "[" << c.text << "]";
      EXPECT_EQ(0x200000u, p.bs) << "[" << c.text << "] changed bs";
      EXPECT_EQ(VERR_PARAM, p.err.code);
      EXPECT_EQ(std::string("bs=[") + c.text + "]: the block size must be a multiple of 64K between 64K and 8M",
                p.err.msg);
    }
  }
  libcdir_param p = fresh();
  EXPECT_EQ(-1, libcdir_set_param_bs(&p, nullptr));
  EXPECT_EQ(-1, libcdir_set_param_bs(&p, std::string(300, '9').c_str()));
  EXPECT_EQ("bs=[" + std::string(64, '9') + "...]: the block size must be a multiple of 64K between 64K and 8M",
            std::string(p.err.msg));
}

TEST(libcdir_set_filter, builds_lists)
{
  static const struct {
    const char *in;
    const char *file_inc;
    const char *file_exc;
    const char *dir_inc;
    const char *dir_exc;
  } cases[] = {
      {"*.log,-tmp/,/data/keep.txt", "*/*.log\t/data/keep.txt", "", "", "*/tmp/*"},
      {"-/abs/dir/", "", "", "", "/abs/dir/*"},
      {"src/,-*.o,-/build/", "", "*/*.o", "*/src/*", "/build/*"},
      {" a\\\\b\\ ", "", "", "*/a/b/*", ""},    /* blanks trimmed, backslashes turned, collapsed */
      {"file:///x.txt", "/x.txt", "", "", ""}, /* a leading file:// is removed */
      {"a,,b,", "*/a\t*/b", "", "", ""},        /* empty parts are dropped */
      {"", "", "", "", ""},
  };
  for (const auto &c : cases) {
    libcdir_param p = fresh();
    ASSERT_EQ(0, libcdir_set_filter(&p, c.in)) << c.in;
    EXPECT_EQ(c.file_inc, p.i_opt.file_include) << c.in;
    EXPECT_EQ(c.file_exc, p.i_opt.file_exclude) << c.in;
    EXPECT_EQ(c.dir_inc, p.i_opt.dir_include) << c.in;
    EXPECT_EQ(c.dir_exc, p.i_opt.dir_exclude) << c.in;
  }
}

TEST(libcdir_set_filter, replaces_earlier_lists_and_bounds_parts)
{
  libcdir_param p = fresh();
  ASSERT_EQ(0, libcdir_set_filter(&p, "*.log,-tmp/"));
  ASSERT_EQ(0, libcdir_set_filter(&p, "*.txt"));
  EXPECT_EQ("*/*.txt", p.i_opt.file_include);
  EXPECT_EQ("", p.i_opt.dir_exclude);

  /* a part longer than 4095 characters is cut, not overrun */
  std::string big(100000, 'x');
  ASSERT_EQ(0, libcdir_set_filter(&p, big.c_str()));
  EXPECT_EQ(2u + 4095u, p.i_opt.file_include.size());
  ASSERT_EQ(0, libcdir_set_filter(&p, "==,=a=/,\xc3\xa9"));
  EXPECT_EQ("*/==\t*/\xc3\xa9", p.i_opt.file_include);
  EXPECT_EQ("*/=a=/*", p.i_opt.dir_include);
}
