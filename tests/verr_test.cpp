#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"

namespace {

struct logged {
  int level;
  std::string tag;
  std::string text;
};
std::vector<logged> g_logged;

void capture(int level, const char *tag, const char *, int, const char *, const char *fmt, va_list ap)
{
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  g_logged.push_back({level, tag ? tag : "", buf});
}

/* Every test sees the log lines of its own calls only. */
class verr : public ::testing::Test {
protected:
  void SetUp() override
  {
    g_logged.clear();
    log2_set_forward(capture);
  }
  void TearDown() override { log2_set_forward(nullptr); }

  /* Asserts that exactly one line was logged since the last call, with this level and text. */
  static void expect_one_line(int level, const std::string &text, const std::string &what)
  {
    ASSERT_EQ(1u, g_logged.size()) << what;
    EXPECT_EQ(level, g_logged[0].level) << what;
    EXPECT_EQ("pal", g_logged[0].tag) << what;
    EXPECT_EQ(text, g_logged[0].text) << what;
    g_logged.clear();
  }
  static void expect_no_line(const std::string &what)
  {
    EXPECT_TRUE(g_logged.empty()) << what << ": " << (g_logged.empty() ? "" : g_logged[0].text);
    g_logged.clear();
  }
};

std::string fmt_str(const char *fmt, long long v)
{
  char buf[128];
  snprintf(buf, sizeof buf, fmt, v, static_cast<unsigned>(v));
  return buf;
}

/* The rows that the program produces: text, errno values converted to the code, and the errno
 * that the code converts back to. */
struct produced_row {
  int code;
  const char *text;
  std::vector<int> from;
  int to;
};
const std::vector<produced_row> &produced_rows()
{
  static const std::vector<produced_row> rows = {
      {0, "Success.", {}, 0},
      {-1, "General failure - DON'T USE THIS!!!.", {}, EPERM},
      {-2, "Invalid parameter.", {EINVAL, EDOM, ERANGE}, EINVAL},
      {-4, "Invalid handle.", {EBADF, EBADFD}, EBADF},
      {-6, "Invalid memory pointer.", {EFAULT}, EFAULT},
      {-8, "Memory allocation failed.", {ENOMEM}, ENOMEM},
      {-12, "The request function is not implemented.", {ENOSYS}, ENOSYS},
      {-14, "The request was aborted.", {ECANCELED}, ECANCELED},
      {-36, "Invalid function.", {ENOTTY}, ENOTTY},
      {-37, "Not supported.", {EOPNOTSUPP}, EOPNOTSUPP},
      {-38, "Access denied.", {EPERM, EACCES}, EPERM},
#ifdef ERESTART
      {-39, "Call interrupted.", {EINTR, ERESTART}, EINTR},
#else
      {-39, "Call interrupted.", {EINTR}, EINTR},
#endif
      {-40, "Timeout.", {ETIMEDOUT}, ETIMEDOUT},
      {-42, "Data size overflow.", {E2BIG, EOVERFLOW}, E2BIG},
      {-50, "The specified process was not found.", {ESRCH, ECHILD}, ESRCH},
      {-52, "Retry the operation.", {EAGAIN}, EAGAIN},
      {-58, "Error while characters translation (unicode and so).", {EILSEQ}, EILSEQ},
      {-70, "The operation was cancelled by the user (copy) or another thread (local ipc).", {}, ECANCELED},
      {-102, "File not found.", {ENOENT, ENODEV}, ENOENT},
      {-103, "Path not found.", {ENOTDIR}, ENOTDIR},
      {-105, "The object in question already exists.", {EEXIST}, EEXIST},
      {-106, "Too many open files.", {ENFILE, EMFILE}, EMFILE},
      {-109, "Trying to seek on device.", {ESPIPE}, ESPIPE},
      {-110, "Reached the end of the file.", {}, EPERM},
      {-113, "Write protect error.", {EROFS}, EROFS},
      {-114, "Sharing violation, file is being used by another process.", {ETXTBSY}, ETXTBSY},
      {-115, "Unable to lock a region of a file.", {ENOLCK}, ENOLCK},
      {-119, "Can't move file to another disk.", {EXDEV}, EXDEV},
      {-120, "The filename or extension is too long.", {ENAMETOOLONG}, ENAMETOOLONG},
      {-121, "Media not present in drive.", {ENOMEDIUM}, ENOMEDIUM},
      {-122, "The type of media was not recognized. Not formatted?.", {EMEDIUMTYPE}, EMEDIUMTYPE},
      {-125, "Can't delete directory with files.", {ENOTEMPTY}, ENOTEMPTY},
      {-127, "A non-directory operation was attempted on a directory object.", {EISDIR}, EISDIR},
      {-128, "Tried to grow a file beyond the limit imposed by the process or the filesystem.", {EFBIG}, EFBIG},
      {-138, "Device or resource is busy.", {EBUSY}, EBUSY},
      {-152, "Disk is full.", {ENOSPC, EDQUOT}, ENOSPC},
      {-156, "Too many symbolic links.", {ELOOP}, ELOOP},
      {-250, "Device i/o error.", {EIO}, EIO},
      {-252, "Device i/o: Not ready.", {}, ENXIO},
      {-258, "Device i/o: No such device or address.", {ENXIO}, ENXIO},
      {-301, "Broken pipe.", {EPIPE}, EPIPE},
      {-304, "No data in pipe.", {ENODATA}, ENODATA},
      {-365, "Deadlock detected.", {EDEADLK}, EDEADLK},
      {-405, "The machine is not on the network.", {ENONET}, ENONET},
      {-406, "Name is not unique on the network.", {ENOTUNIQ}, ENOTUNIQ},
      {-436, "Operation in progress.", {EINPROGRESS}, EINPROGRESS},
      {-437, "Operation already in progress.", {EALREADY}, EALREADY},
      {-438, "Attempted socket operation with a non-socket handle. (This includes closed handles.).",
       {ENOTSOCK}, ENOTSOCK},
      {-439, "Destination address required.", {EDESTADDRREQ}, EDESTADDRREQ},
      {-440, "Message too long.", {EMSGSIZE}, EMSGSIZE},
      {-441, "Protocol wrong type for socket.", {EPROTOTYPE}, EPROTOTYPE},
      {-442, "Protocol not available.", {ENOPROTOOPT}, ENOPROTOOPT},
      {-443, "Protocol not supported.", {EPROTONOSUPPORT}, EPROTONOSUPPORT},
      {-444, "Socket type not supported.", {ESOCKTNOSUPPORT}, ESOCKTNOSUPPORT},
      {-445, "Operation not supported.", {}, EOPNOTSUPP},
      {-446, "Protocol family not supported.", {EPFNOSUPPORT}, EPFNOSUPPORT},
      {-447, "Address family not supported by protocol family.", {EAFNOSUPPORT}, EAFNOSUPPORT},
      {-448, "Address already in use.", {EADDRINUSE}, EADDRINUSE},
      {-449, "Can't assign requested address.", {EADDRNOTAVAIL}, EADDRNOTAVAIL},
      {-450, "Network is down.", {ENETDOWN}, ENETDOWN},
      {-451, "Network is unreachable.", {ENETUNREACH}, ENETUNREACH},
      {-452, "Network dropped connection on reset.", {ENETRESET}, ENETRESET},
      {-453, "Software caused connection abort.", {ECONNABORTED}, ECONNABORTED},
      {-454, "Connection reset by peer.", {ECONNRESET}, ECONNRESET},
      {-455, "No buffer space available.", {ENOBUFS}, ENOBUFS},
      {-456, "Socket is already connected.", {EISCONN}, EISCONN},
      {-457, "Socket is not connected.", {ENOTCONN}, ENOTCONN},
      {-458, "Can't send after socket shutdown.", {ESHUTDOWN}, ESHUTDOWN},
      {-459, "Too many references: can't splice.", {ETOOMANYREFS}, ETOOMANYREFS},
      {-461, "Connection refused.", {ECONNREFUSED}, ECONNREFUSED},
      {-464, "Host is down.", {EHOSTDOWN}, EHOSTDOWN},
      {-465, "No route to host.", {EHOSTUNREACH}, EHOSTUNREACH},
      {-466, "Protocol error.", {EPROTO}, EPROTO},
      {-608, "Bad executable or dir.", {ENOEXEC}, ENOEXEC},
  };
  return rows;
}

std::vector<int> expected_codes()
{
  static const struct {
    int first, last;
  } ranges[] = {
      {0, 0},       {-1, -14},    {-18, -24},   {-26, -93},   {-95, -159},  {-200, -202},
      {203, 203},   {-225, -234}, {-250, -258}, {-300, -308}, {-350, -377}, {-400, -406},
      {-436, -461}, {-464, -467}, {-600, -600}, {-608, -610}, {-619, -619}, {-901, -902},
  };
  std::vector<int> codes;
  for (const auto &r : ranges)
    for (int c = r.first; c >= r.last; c--)
      codes.push_back(c);
  return codes;
}

} // namespace

TEST_F(verr, table_has_the_listed_codes_in_order)
{
  std::vector<int> got;
  const verr_msg *m = verr_msg_table();
  for (; m->text; m++) {
    got.push_back(m->code);
    size_t len = strlen(m->text);
    ASSERT_GT(len, 0u) << "code " << m->code;
    EXPECT_EQ('.', m->text[len - 1]) << "code " << m->code << " [" << m->text << "]";
    EXPECT_STREQ(m->text, verr2str(m->code)) << "code " << m->code;
  }
  EXPECT_EQ(0, m->code); /* the terminating row */
  EXPECT_EQ(259u, got.size());
  EXPECT_EQ(expected_codes(), got);
  expect_no_line("lookups of listed codes");
}

TEST_F(verr, table_texts)
{
  for (const auto &r : produced_rows())
    EXPECT_STREQ(r.text, verr2str(r.code)) << "code " << r.code;
  /* texts shared by several rows */
  for (int c : {-230, -231, -232})
    EXPECT_STREQ("Internal error: Unexpected status code.", verr2str(c)) << c;
  for (int c : {-459, -460})
    EXPECT_STREQ("Too many references: can't splice.", verr2str(c)) << c;
  EXPECT_EQ('.', verr2str(203)[strlen(verr2str(203)) - 1]); /* the one positive row exists */
  EXPECT_STRNE("Invalid error code", verr2str(203));
  expect_no_line("lookups of listed codes");
}

TEST_F(verr, unknown_code_text_is_logged_at_debug)
{
  /* the gaps of the table, neighbours of its ends, and far-off values */
  for (int c : {-15, -16, -17, -25, -94, -462, -463, -3000, -160, -199, 1, 202, 204, -903, INT_MIN, INT_MAX}) {
    EXPECT_STREQ("Invalid error code", verr2str(c)) << c;
    expect_one_line(LOG2_DBG, fmt_str("Invalid errno=%lld (0x%x)\n", c), "verr2str " + std::to_string(c));
  }
  verr2str(-94);
  expect_one_line(LOG2_DBG, "Invalid errno=-94 (0xffffffa2)\n", "hex form of a negative code");
}

TEST_F(verr, errno_to_code)
{
  for (const auto &r : produced_rows())
    for (int e : r.from) {
      EXPECT_EQ(r.code, os_verr_get(e)) << "errno " << e;
      /* first-errno rule: going back gives the errno of the row, not always the one we came from */
      EXPECT_EQ(r.to, verr_2_posix(os_verr_get(e))) << "errno " << e;
    }
  EXPECT_EQ(0, os_verr_get(0));
  expect_no_line("listed errno values");

  /* named cases of the first-errno rule */
  EXPECT_EQ(EPERM, verr_2_posix(os_verr_get(EACCES)));
  EXPECT_EQ(ENOSPC, verr_2_posix(os_verr_get(EDQUOT)));
  EXPECT_EQ(ETIMEDOUT, verr_2_posix(os_verr_get(ETIMEDOUT)));
}

TEST_F(verr, unlisted_errno_gives_minus_one_with_a_warning)
{
  std::set<int> listed;
  for (const auto &r : produced_rows())
    listed.insert(r.from.begin(), r.from.end());
  /* every errno value of the platform that the pairing does not name, and a few that no
   * platform has */
  std::vector<int> probes = {-1, -5, 200, 100000, INT_MIN};
  for (int e = 1; e < 200; e++)
    if (!listed.count(e))
      probes.push_back(e);
  ASSERT_TRUE(std::count(probes.begin(), probes.end(), ENOTBLK));
  ASSERT_TRUE(std::count(probes.begin(), probes.end(), EMLINK));
  for (int e : probes) {
    EXPECT_EQ(-1, os_verr_get(e)) << "errno " << e;
    expect_one_line(LOG2_WARN, "unkown eno=" + std::to_string(e) + "\n", "errno " + std::to_string(e));
  }
}

TEST_F(verr, code_to_errno)
{
  for (const auto &r : produced_rows()) {
    EXPECT_EQ(r.to, verr_2_posix(r.code)) << "code " << r.code;
    if (r.code == -110)
      expect_one_line(LOG2_WARN, "unkown verrno = -110\n", "code -110");
    else
      expect_no_line("code " + std::to_string(r.code));
  }
  /* codes with a table text but no errno, gaps, and out-of-range values */
  for (int c : {-3, -94, -231, -460, -467, -902, 203, -1000, 1, INT_MIN}) {
    EXPECT_EQ(EPERM, verr_2_posix(c)) << "code " << c;
    expect_one_line(LOG2_WARN, "unkown verrno = " + std::to_string(c) + "\n", "code " + std::to_string(c));
  }
}

TEST_F(verr, conversions_agree_for_every_platform_errno)
{
  /* Whatever code an errno gives, that code goes back to an errno that gives the same code,
   * and the code has a text of its own. */
  for (int e = 1; e < 200; e++) {
    int c = os_verr_get(e);
    if (c == -1)
      continue;
    EXPECT_STRNE("Invalid error code", verr2str(c)) << "errno " << e;
    int back = verr_2_posix(c);
    EXPECT_EQ(c, os_verr_get(back)) << "errno " << e << " code " << c << " back " << back;
  }
  g_logged.clear();
}

TEST_F(verr, errno_of_the_thread)
{
  errno = 0;
  EXPECT_EQ(ETIMEDOUT, os_errno_set_verr(-40));
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_EQ(-40, os_verr_last());
  EXPECT_EQ(ENOSPC, os_errno_set_verr(-152));
  EXPECT_EQ(ENOSPC, errno);
  EXPECT_EQ(EPERM, os_errno_set_verr(-110)); /* the warning line must not leave errno changed */
  EXPECT_EQ(EPERM, errno);
  g_logged.clear();
  EXPECT_EQ(0, os_errno_set_verr(0));
  EXPECT_EQ(0, errno);
  EXPECT_EQ(0, os_verr_last());
  errno = EDQUOT;
  EXPECT_EQ(-152, os_verr_last());
  errno = EACCES;
  EXPECT_EQ(-38, os_verr_last());
  expect_no_line("listed values");
}

TEST_F(verr, system_texts)
{
  EXPECT_STREQ("ok", os_strerror(0));
  EXPECT_STREQ(strerror(ENOENT), os_strerror(ENOENT));
  errno = EACCES;
  EXPECT_STREQ(strerror(EACCES), os_strerror_last());
  errno = 0;
  EXPECT_STREQ("ok", os_strerror_last());

  const std::string full = strerror(ENOENT);
  char buf[256];
  EXPECT_EQ(buf, os_strerror_buf(ENOENT, buf, sizeof buf));
  EXPECT_EQ(full, buf);

  /* bounded: exactly room for the text, then one byte short; guard bytes stay untouched */
  std::vector<char> b(full.size() + 1 + 8, '#');
  os_strerror_buf(ENOENT, b.data(), full.size() + 1);
  EXPECT_EQ(full, b.data());
  EXPECT_EQ(std::string(8, '#'), std::string(b.end() - 8, b.end()));
  std::fill(b.begin(), b.end(), '#');
  os_strerror_buf(ENOENT, b.data(), full.size());
  EXPECT_EQ(full.substr(0, full.size() - 1), b.data());
  EXPECT_EQ('#', b[full.size()]);

  /* a cut that ends on a blank leaves no trailing blank */
  size_t sp = full.find(' ');
  ASSERT_NE(std::string::npos, sp) << full;
  os_strerror_buf(ENOENT, buf, sp + 2); /* room for the word and the blank after it */
  EXPECT_EQ(full.substr(0, sp), buf);
}

TEST_F(verr, record_with_null_format_stands_for_the_table_text)
{
  vperror rec;
  memset(&rec, 'x', sizeof rec);
  rec.msg[VPERROR_MSG_SIZE - 1] = '\0';
  unsigned line = __LINE__ + 1;
  VPERROR_SET(&rec, -152, nullptr);
  EXPECT_EQ(-152, rec.code);
  EXPECT_STREQ(__FILE__, rec.file);
  EXPECT_STREQ(__func__, rec.func);
  EXPECT_EQ(line, rec.line);
  EXPECT_STREQ("", rec.msg);
  EXPECT_STREQ("Disk is full.", vperror_str(&rec));

  /* a null record takes nothing and breaks nothing */
  VPERROR_SET(nullptr, -152, "%s", "ignored");
  VPERROR_SET(nullptr, -152, nullptr);
  EXPECT_STREQ("Disk is full.", vperror_str(&rec));
  expect_no_line("table text of a listed code");
}

TEST_F(verr, record_with_text_prints_the_text)
{
  vperror rec{};
  VPERROR_SET(&rec, VERR_FILE_NOT_FOUND, "open [%s] error: %s", "/a/b", verr2str(VERR_FILE_NOT_FOUND));
  EXPECT_EQ(VERR_FILE_NOT_FOUND, rec.code);
  EXPECT_STREQ("open [/a/b] error: File not found.", vperror_str(&rec));

  /* the message held may be an argument of the next one */
  VPERROR_SET(&rec, rec.code, "copy [%s]: %s", "/c", rec.msg);
  EXPECT_STREQ("copy [/c]: open [/a/b] error: File not found.", vperror_str(&rec));

  /* a later null format empties the message again */
  VPERROR_SET(&rec, VERR_TIMEOUT, nullptr);
  EXPECT_STREQ("Timeout.", vperror_str(&rec));

  /* an unknown code with no message goes through verr2str */
  VPERROR_SET(&rec, -94, nullptr);
  EXPECT_STREQ("Invalid error code", vperror_str(&rec));
}

TEST_F(verr, record_message_is_bounded)
{
  /* on the heap, so that a write past the record is caught by the address checker */
  auto rec = std::make_unique<vperror>();
  const std::string big(100000, 'a');
  VPERROR_SET(rec.get(), VERR_OVERFLOW, "%s", big.c_str());
  EXPECT_EQ(VPERROR_MSG_SIZE - 1, strlen(rec->msg));
  EXPECT_EQ(big.substr(0, VPERROR_MSG_SIZE - 1), rec->msg);
  EXPECT_EQ(rec->msg, vperror_str(rec.get()));

  VPERROR_SET(rec.get(), VERR_OVERFLOW, "head %s tail", big.c_str());
  EXPECT_EQ(VPERROR_MSG_SIZE - 1, strlen(rec->msg));
  EXPECT_EQ(0, strncmp(rec->msg, "head aaaa", 9));
}

TEST_F(verr, record_copy)
{
  auto src = std::make_unique<vperror>();
  auto dst = std::make_unique<vperror>();
  VPERROR_SET(src.get(), VERR_DISK_FULL, "%s", std::string(VPERROR_MSG_SIZE - 1, 'm').c_str());
  memset(dst.get(), 'x', sizeof *dst);
  vperror_copy(dst.get(), src.get());
  EXPECT_EQ(src->code, dst->code);
  EXPECT_EQ(src->line, dst->line);
  EXPECT_EQ(src->file, dst->file);
  EXPECT_EQ(src->func, dst->func);
  EXPECT_STREQ(src->msg, dst->msg);

  /* a source whose message lacks its terminator still gives a terminated, bounded copy */
  memset(src->msg, 'u', sizeof src->msg);
  vperror_copy(dst.get(), src.get());
  EXPECT_EQ(VPERROR_MSG_SIZE - 1, strnlen(dst->msg, VPERROR_MSG_SIZE));

  /* copying onto itself changes nothing */
  VPERROR_SET(src.get(), VERR_TIMEOUT, "read [%s] timed out", "/x");
  vperror snapshot;
  memcpy(&snapshot, src.get(), sizeof snapshot);
  vperror_copy(src.get(), src.get());
  EXPECT_EQ(0, memcmp(&snapshot, src.get(), sizeof snapshot));
  EXPECT_STREQ("read [/x] timed out", vperror_str(src.get()));
}

TEST_F(verr, record_of_the_last_system_error)
{
  vperror rec{};
  static const int cases[] = {ENOENT, EDQUOT, EACCES, ENOTBLK};
  for (int e : cases) {
    errno = e;
    EXPECT_EQ(0, os_file_last_vperror(nullptr, &rec)) << e;
    EXPECT_EQ(os_verr_get(e), rec.code) << e;
    EXPECT_STREQ(strerror(e), vperror_str(&rec)) << e;
    EXPECT_EQ(e, errno) << e;
  }
  g_logged.clear();
  errno = ENOENT;
  EXPECT_EQ(0, os_file_last_vperror(nullptr, nullptr));
}
