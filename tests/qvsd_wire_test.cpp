#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libqvsd/qvsd_codes.h"
#include "libqvsd/qvsd_wire.h"

namespace {

std::string hex(const void *p, size_t n)
{
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%02x", static_cast<const uint8_t *>(p)[i]);
    s += b;
  }
  return s;
}

std::vector<uint8_t> unhex(const std::string &h)
{
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    v.push_back((uint8_t)std::stoul(h.substr(i, 2), nullptr, 16));
  return v;
}

struct msg_guard {
  qvsd_msg m;
  msg_guard() { qvsd_msg_reset(&m); }
  ~msg_guard() { qvsd_msg_free(&m); }
};

} // namespace

TEST(qvsd_wire, close_request_byte_for_byte)
{
  msg_guard g;
  ASSERT_EQ(0, qvsd_msg_add_i64(&g.m, "fd", 7));
  uint8_t head[QVSD_FRAME_HEAD];
  qvsd_frame_head(head, QVSD_PROTO_CLIENT, QVSD_CMD_CLOSE, g.m.data);
  std::string frame = hex(head, sizeof head) + hex(g.m.data + 4, g.m.len - 4);
  EXPECT_EQ("5156010b"
            "02000018"
            "85000014"
            "0002666400000000"
            "0000000000000007",
            frame);
}

TEST(qvsd_wire, encoder_edges)
{
  msg_guard g;
  /* the empty root: 4 bytes, 8 on the wire with the frame head */
  EXPECT_EQ("02000004", hex(g.m.data, g.m.len));
  /* a string of length 0 goes out as one NUL byte: header 4 + name part 12 + value 1 = 17 */
  ASSERT_EQ(0, qvsd_msg_add_str(&g.m, "passwd", ""));
  EXPECT_EQ("02000018" "84000011" "0006706173737764" "00000000" "00000000", hex(g.m.data, g.m.len));
  /* a name of 1 byte still pads its name part to 4 */
  ASSERT_EQ(0, qvsd_msg_add_i32(&g.m, "x", -2));
  EXPECT_EQ("8600000c" "00017800" "fffffffe", hex(g.m.data + 24, 12));
  EXPECT_EQ(36u, g.m.len);
  /* members without a name or beyond the 24-bit length are refused */
  EXPECT_EQ(-1, qvsd_msg_add_i32(&g.m, "", 1));
  EXPECT_EQ(-1, qvsd_msg_add_raw(&g.m, "big", nullptr, QVSD_ATTR_LEN_MAX));
  EXPECT_EQ(36u, g.m.len);
}

/* A message buffer is reused from one request to the next: what an earlier, longer member left
 * there never reaches the wire in a later member's name part or padding. */
TEST(qvsd_wire, a_reused_buffer_leaves_nothing_in_the_padding)
{
  msg_guard g;
  std::string ones(64, '\xff');
  ASSERT_EQ(0, qvsd_msg_add_raw(&g.m, "data", ones.data(), (uint32_t)ones.size()));
  ASSERT_EQ(0, qvsd_msg_reset(&g.m));
  ASSERT_EQ(0, qvsd_msg_add_raw(&g.m, "d", "abcde", 5));
  /* header 4, name part "\0\1d\0" 4, value 5, padding 3 */
  EXPECT_EQ("02000014" "8300000d" "00016400" "6162636465000000", hex(g.m.data, g.m.len));
  ASSERT_EQ(0, qvsd_msg_add_raw(&g.m, "z", nullptr, 3));
  EXPECT_EQ("8300000b" "00017a00" "00000000", hex(g.m.data + 20, 12));
  /* reserved room is not cleared, and the cut clears the padding after what was written */
  ASSERT_EQ(0, qvsd_msg_reset(&g.m));
  ASSERT_EQ(0, qvsd_msg_add_raw(&g.m, "data", ones.data(), (uint32_t)ones.size()));
  ASSERT_EQ(0, qvsd_msg_reset(&g.m));
  void *room = nullptr;
  int off = qvsd_msg_reserve_raw(&g.m, "d", 60, &room);
  ASSERT_GT(off, 0);
  memcpy(room, "xyz", 3);
  ASSERT_EQ(0, qvsd_msg_shrink_raw(&g.m, off, 3));
  EXPECT_EQ("02000010" "8300000b" "00016400" "78797a00", hex(g.m.data, g.m.len));
}

TEST(qvsd_wire, reserve_and_shrink_raw)
{
  msg_guard g;
  ASSERT_EQ(0, qvsd_msg_add_i64(&g.m, "fd", 1));
  void *room = nullptr;
  int off = qvsd_msg_reserve_raw(&g.m, "data", 100, &room);
  ASSERT_GT(off, 0);
  memcpy(room, "abcde", 5);
  ASSERT_EQ(0, qvsd_msg_shrink_raw(&g.m, off, 5));
  /* root 4 + fd 20 + data (4 + 8 + 5 = 17, padded 20) */
  EXPECT_EQ(44u, g.m.len);
  EXPECT_EQ(44u, qvsd_attr_len(g.m.data));
  EXPECT_EQ("83000011" "0004646174610000" "6162636465000000", hex(g.m.data + 24, 20));
  EXPECT_EQ(-1, qvsd_msg_shrink_raw(&g.m, off, 6)); /* more than reserved now */
  ASSERT_EQ(0, qvsd_msg_add_i32(&g.m, "len", 5));
  EXPECT_EQ(-1, qvsd_msg_shrink_raw(&g.m, off, 1)); /* no longer the last member */
}

namespace {

/* Decodes a root table given as hex of its members against the policy of an open reply. */
int decode(const std::string &members_hex, const void **slots, const qvsd_policy *pol = qvsd_pol_fd, int n = 3)
{
  std::vector<uint8_t> b = unhex(members_hex);
  return cli_blobmsg_parse(pol, n, slots, b.empty() ? nullptr : b.data(), (uint32_t)b.size());
}

/* Members as hex */
const std::string ERRNO0 = "86000010" "0005" "6572726e6f00" "00000000";
const std::string ERRNO5 = "86000010" "0005" "6572726e6f00" "00000005";
const std::string ESTR = "84000011" "0009" "6572726e6f5f737472" "00" "00" "000000";
const std::string FD7 = "85000014" "0002" "666400" "000000" "0000000000000007";

} // namespace

TEST(qvsd_wire, decoder_table)
{
  static const struct {
    const char *what;
    std::string members;
    int want;
  } cases[] = {
      {"complete reply", ERRNO0 + ESTR + FD7, 0},
      {"errno set: the fields after errno_str may be missing", ERRNO5 + ESTR, 0},
      {"errno 0 and fd missing", ERRNO0 + ESTR, -1},
      {"errno missing", ESTR + FD7, -1},
      {"errno_str missing", ERRNO0 + FD7, -1},
      {"fd of 4 bytes where int64 needs 8", ERRNO0 + ESTR + "85000010" "0002666400000000" "00000007", -1},
      {"errno of 8 bytes", "86000014" "0005" "6572726e6f00" "0000000000000000" + ESTR + FD7, -1},
      {"string without its NUL", ERRNO0 + "84000013" "0009" "6572726e6f5f737472" "00" "414141" "00" + FD7, -1},
      {"name length 0 inside a table", ERRNO0 + ESTR + FD7 + "83000008" "00000000", 0},
      {"unknown member of type id 9 is ignored", ERRNO0 + ESTR + FD7 + "89000010" "00027a7a00000000" "00000000", 0},
      {"fd of another type does not fill the slot", ERRNO0 + ESTR + "80000014" "0002666400000000" "0000000000000007", -1},
      {"member longer than what remains ends the walk", ERRNO0 + ESTR + "85000040" "0002666400000000", -1},
      {"name not followed by NUL", ERRNO0 + ESTR + "85000014" "0002666478000000" "0000000000000007", -1},
  };
  for (const auto &c : cases) {
    const void *slots[3];
    EXPECT_EQ(c.want, decode(c.members, slots)) << c.what;
  }
}

TEST(qvsd_wire, type_ids_above_8_are_refused)
{
  static const qvsd_policy any[] = {QVSD_POLICY_HEAD, {"v", QVSD_T_UNSPEC}};
  const void *slots[3];
  EXPECT_EQ(0, decode(ERRNO0 + ESTR + "83000009" "00017600" "41000000", slots, any, 3));
  EXPECT_EQ(-1, decode(ERRNO0 + ESTR + "89000009" "00017600" "41000000", slots, any, 3));
}

TEST(qvsd_wire, decoder_fills_slots_in_place)
{
  const void *slots[3];
  std::string second_fd = "85000014" "0002666400000000" "0000000000000009";
  std::vector<uint8_t> b = unhex(ERRNO0 + ESTR + FD7 + second_fd);
  ASSERT_EQ(0, cli_blobmsg_parse(qvsd_pol_fd, 3, slots, b.data(), (uint32_t)b.size()));
  EXPECT_EQ(0, qvsd_attr_i32(slots[0]));
  EXPECT_STREQ("", qvsd_attr_str(slots[1]));
  EXPECT_EQ(7, qvsd_attr_i64(slots[2])); /* the first "fd" wins */
  EXPECT_EQ(b.data() + 36, slots[2]);    /* points into the buffer */
}

TEST(qvsd_wire, nested_attributes_are_checked_before_use)
{
  static const qvsd_policy pol[] = {QVSD_POLICY_HEAD, {"t", QVSD_T_TABLE}};
  /* table "t" holding the int32 "a" = 1 */
  std::string good_inner = "8600000c" "00016100" "00000001";
  std::string table = "82000014" "00017400" + good_inner;
  const void *slots[3];
  EXPECT_EQ(0, decode(ERRNO0 + ESTR + table, slots, pol, 3));
  /* the inner int32 with 2 bytes: refused although the outer table is well formed */
  std::string bad_inner = "8600000a" "00016100" "00010000";
  EXPECT_EQ(-1, decode(ERRNO0 + ESTR + "82000014" "00017400" + bad_inner, slots, pol, 3));
  /* an inner member that runs past its table */
  EXPECT_EQ(-1, decode(ERRNO0 + ESTR + "82000014" "00017400" "86000040" "00016100" "00000001", slots, pol, 3));
  /* an unnamed member inside a table */
  EXPECT_EQ(-1, decode(ERRNO0 + ESTR + "82000010" "00017400" "06000008" "00000001", slots, pol, 3));
  /* nesting deeper than the decoder follows */
  auto nest = [](int levels) {
    std::string deep = "8600000c" "00016100" "00000001";
    for (int i = 0; i < levels; i++) {
      char h[16];
      snprintf(h, sizeof h, "82%06x", (unsigned)(8 + deep.size() / 2));
      deep = std::string(h) + "00017400" + deep;
    }
    return deep;
  };
  EXPECT_EQ(0, decode(ERRNO0 + ESTR + nest(3), slots, pol, 3));
  EXPECT_EQ(-1, decode(ERRNO0 + ESTR + nest(QVSD_NEST_MAX + 2), slots, pol, 3));
}

TEST(qvsd_wire, frame_body_length)
{
  static const struct {
    std::string head;
    uint32_t want;
  } cases[] = {
      {"5156010b02000004", 4},   {"5156010b02000018", 24}, {"5156010b02000019", 28},
      {"5156010b02000003", 0},   {"5156010b02000000", 0},  {"5156010b02ffffff", 0x1000000},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> h = unhex(c.head);
    EXPECT_EQ(c.want, qvsd_frame_body_len(h.data())) << c.head;
  }
}

TEST(qvsd_wire, result_texts)
{
  static const struct {
    int code;
    const char *text;
  } cases[] = {{0, "ok"},          {1, "net error"},        {2, "net data error"},    {3, "timeout error"},
               {4, "qvsd srv error"}, {5, "memory error"}, {6, "user stop error"},   {7, "unpack data error"},
               {8, "data len error"}, {9, "unkown error"}, {-1, "unkown error"}};
  for (const auto &c : cases)
    EXPECT_STREQ(c.text, qvsd_result_str(c.code)) << c.code;
}

TEST(qvsd_wire, version_parse_and_order)
{
  static const struct {
    const char *text;
    uint64_t want;
  } cases[] = {
      {"1.8.2", 0x0001000800020000ull}, {"1.8", 0x0001000800000000ull}, {"2", 0x0002000000000000ull},
      {"1.2.3.4", 0x0001000200030004ull},
      /* the lowest version: first part 0 or no number, too many parts, junk */
      {"0.9.9", 0}, {"x.1", 0}, {"", 0}, {"1.2.3.4.5", 0}, {"1..2", 0}, {"1.2.", 0}, {"1.2a", 0}, {"1.70000", 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, qvsd_version_parse(c.text)) << c.text;
  EXPECT_LT(qvsd_version_parse("1.8"), qvsd_version_parse("1.8.2"));
  EXPECT_LT(qvsd_version_parse("1.7.9"), qvsd_version_parse("1.7.10"));
}

TEST(qvsd_wire, info_text)
{
  const char *info = "ver=[1.8.5]\n  plat = [ linux ] \nlog_file=[/var/log/a]b]\nnobrackets=x\nver2=[9]\n";
  char out[32];
  ASSERT_EQ(0, qvsd_info_get(info, "ver", out, sizeof out));
  EXPECT_STREQ("1.8.5", out);
  ASSERT_EQ(0, qvsd_info_get(info, "plat", out, sizeof out));
  EXPECT_STREQ(" linux ", out);
  ASSERT_EQ(0, qvsd_info_get(info, "log_file", out, sizeof out));
  EXPECT_STREQ("/var/log/a]b", out); /* up to the last "]" */
  EXPECT_EQ(-1, qvsd_info_get(info, "nobrackets", out, sizeof out));
  EXPECT_EQ(-1, qvsd_info_get(info, "missing", out, sizeof out));
  char small[4];
  EXPECT_EQ(-1, qvsd_info_get(info, "log_file", small, sizeof small));
}

TEST(qvsd_codes, table_is_consistent)
{
  for (const qvsd_cmd_desc &d : qvsd_cmd_table) {
    EXPECT_EQ(&d, qvsd_cmd_find(d.code)) << "duplicate command " << (int)d.code;
    if (d.reply) {
      ASSERT_GE(d.nreply, 2) << d.name;
      EXPECT_STREQ("errno", d.reply[0].name) << d.name;
      EXPECT_STREQ("errno_str", d.reply[1].name) << d.name;
    }
    if (d.min_ver) {
      EXPECT_NE(0u, qvsd_version_parse(d.min_ver)) << d.name;
    }
  }
  for (const qvsd_ioctl_desc &d : qvsd_ioctl_table) {
    EXPECT_EQ(&d, qvsd_ioctl_find(d.carrier, d.code)) << "duplicate code " << d.code;
    if (d.min_ver) {
      EXPECT_NE(0u, qvsd_version_parse(d.min_ver)) << d.name;
    }
    if (d.code >= QVSD_IOCTL2_OWN_FIRST && d.code <= QVSD_IOCTL2_OWN_LAST) {
      EXPECT_TRUE(d.min_ver != nullptr) << d.name << " of the own range needs a version";
    }
  }
}
