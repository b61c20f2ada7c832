#define LOG_TAG "pal"
#include "libpal/comm/verr.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "liblog/log2.h"

namespace {

/* Rows are grouped by range; lookups take the first match, so a text shared by several codes
 * is written once per code. */
constexpr verr_msg g_verr_msgs[] = {
    /* general: parameters, memory, state, conversions, timers, time-outs */
    {"Success.", 0},
    {"General failure - DON'T USE THIS!!!.", -1},
    {"Invalid parameter.", -2},
    {"Invalid magic value in a structure.", -3},
    {"Invalid handle.", -4},
    {"Invalid flags.", -5},
    {"Invalid memory pointer.", -6},
    {"Invalid alignment.", -7},
    {"Memory allocation failed.", -8},
    {"Memory pool is exhausted.", -9},
    {"Buffer too small.", -10},
    {"Invalid size.", -11},
    {"The request function is not implemented.", -12},
    {"The object is in the wrong state for this request.", -13},
    {"The request was aborted.", -14},
    {"Invalid offset.", -18},
    {"Value out of range.", -19},
    {"Not owner of the object.", -20},
    {"The object is not initialized.", -21},
    {"The object is already initialized.", -22},
    {"The object is being destroyed.", -23},
    {"Reference count overflow.", -24},
    {"Resource limit reached.", -26},
    {"Too many objects of this kind.", -27},
    {"Object not found.", -28},
    {"Object already registered.", -29},
    {"Invalid format string.", -30},
    {"Invalid number.", -31},
    {"Number too big for the destination type.", -32},
    {"Negative number where an unsigned one is required.", -33},
    {"Trailing characters after the value.", -34},
    {"Missing value.", -35},
    {"Invalid function.", -36},
    {"Not supported.", -37},
    {"Access denied.", -38},
    {"Call interrupted.", -39},
    {"Timeout.", -40},
    {"The deadline passed before the request started.", -41},
    {"Data size overflow.", -42},
    {"Data size underflow.", -43},
    {"Data is truncated.", -44},
    {"Checksum mismatch.", -45},
    {"Invalid data.", -46},
    {"Unexpected end of data.", -47},
    {"Data is corrupted.", -48},
    {"Version mismatch.", -49},
    {"The specified process was not found.", -50},
    {"The specified thread was not found.", -51},
    {"Retry the operation.", -52},
    {"Too many threads.", -53},
    {"Thread is not running.", -54},
    {"Thread is still running.", -55},
    {"Thread could not be created.", -56},
    {"Thread was terminated.", -57},
    {"Error while characters translation (unicode and so).", -58},
    {"Invalid UTF-8 encoding.", -59},
    {"Invalid UTF-16 encoding.", -60},
    {"Character is not representable in the target code page.", -61},
    {"Unknown code page.", -62},
    {"Invalid escape sequence.", -63},
    {"Invalid Base64 data.", -64},
    {"Invalid hexadecimal digit.", -65},
    {"String too long for conversion.", -66},
    {"Invalid date or time.", -67},
    {"Time value out of range.", -68},
    {"Clock is not available.", -69},
    {"The operation was cancelled by the user (copy) or another thread (local ipc).", -70},
    {"Timer not found.", -71},
    {"Timer is already active.", -72},
    {"Timer is not active.", -73},
    {"Timer interval is too short.", -74},
    {"Timer resolution not supported.", -75},
    {"Too many timers.", -76},
    {"Wait timed out before the object was signaled.", -77},
    {"Read timed out.", -78},
    {"Write timed out.", -79},
    {"Open timed out.", -80},
    {"Queue is full.", -81},
    {"Queue is empty.", -82},
    {"Queue is closed.", -83},
    {"Request was already submitted.", -84},
    {"Request is still in progress.", -85},
    {"No request is pending.", -86},
    {"Callback is not set.", -87},
    {"Operation is not allowed in this context.", -88},
    {"Recursion is too deep.", -89},
    {"Configuration value is invalid.", -90},
    {"Configuration key not found.", -91},
    {"Environment variable not found.", -92},
    {"Environment variable value too long.", -93},
    {"Invalid key or identifier.", -95},
    {"Duplicate key.", -96},
    {"Key not found.", -97},
    {"List is empty.", -98},
    {"Index out of range.", -99},

    /* file and path I/O */
    {"Invalid file path.", -100},
    {"Invalid file name.", -101},
    {"File not found.", -102},
    {"Path not found.", -103},
    {"Invalid open mode.", -104},
    {"The object in question already exists.", -105},
    {"Too many open files.", -106},
    {"File is not open.", -107},
    {"Invalid seek origin.", -108},
    {"Trying to seek on device.", -109},
    {"Reached the end of the file.", -110},
    {"File read error.", -111},
    {"File write error.", -112},
    {"Write protect error.", -113},
    {"Sharing violation, file is being used by another process.", -114},
    {"Unable to lock a region of a file.", -115},
    {"The region of the file is not locked.", -116},
    {"Lock conflict with another region of the file.", -117},
    {"The file is already open.", -118},
    {"Can't move file to another disk.", -119},
    {"The filename or extension is too long.", -120},
    {"Media not present in drive.", -121},
    {"The type of media was not recognized. Not formatted?.", -122},
    {"The medium was changed while the file was open.", -123},
    {"Can't rename a directory over a file.", -124},
    {"Can't delete directory with files.", -125},
    {"Not a symbolic link.", -126},
    {"A non-directory operation was attempted on a directory object.", -127},
    {"Tried to grow a file beyond the limit imposed by the process or the filesystem.", -128},
    {"Invalid file mode.", -129},
    {"Invalid owner or group.", -130},
    {"Invalid file time.", -131},
    {"Invalid file attributes.", -132},
    {"Short read from file.", -133},
    {"Short write to file.", -134},
    {"The file shrank while it was read.", -135},
    {"The file changed while it was copied.", -136},
    {"Can't delete a file that is open.", -137},
    {"Device or resource is busy.", -138},
    {"Absolute path required.", -139},
    {"Relative path required.", -140},
    {"Path leaves the root directory.", -141},
    {"Path is empty.", -142},
    {"Path contains an invalid character.", -143},
    {"Path is nested too deep.", -144},
    {"Too many hard links to the file.", -145},
    {"Hard link target not found.", -146},
    {"File type not supported.", -147},
    {"Sparse files not supported.", -148},
    {"Extended attributes not supported.", -149},
    {"Extended attribute not found.", -150},
    {"Alternate data stream not found.", -151},
    {"Disk is full.", -152},
    {"File system not supported.", -153},
    {"Invalid volume label.", -154},
    {"Volume not mounted.", -155},
    {"Too many symbolic links.", -156},
    {"Symbolic link target too long.", -157},
    {"Dangling symbolic link.", -158},
    {"File system is corrupted.", -159},

    /* directory search; 203 is informational, hence positive */
    {"No more files.", -200},
    {"Invalid directory search handle.", -201},
    {"Invalid directory search pattern.", -202},
    {"Directory search returned a partial result.", 203},

    /* internal errors */
    {"Internal error: Assertion failed.", -225},
    {"Internal error: Unexpected state.", -226},
    {"Internal error: Invalid table entry.", -227},
    {"Internal error: Buffer overrun detected.", -228},
    {"Internal error: Unreachable code reached.", -229},
    {"Internal error: Unexpected status code.", -230},
    {"Internal error: Unexpected status code.", -231},
    {"Internal error: Unexpected status code.", -232},
    {"Internal error: Invalid internal structure.", -233},
    {"Internal error: Nesting too deep.", -234},

    /* device I/O */
    {"Device i/o error.", -250},
    {"Device i/o: Seek error.", -251},
    {"Device i/o: Not ready.", -252},
    {"Device i/o: Sector not found.", -253},
    {"Device i/o: Write fault.", -254},
    {"Device i/o: Read fault.", -255},
    {"Device i/o: Bad command.", -256},
    {"Device i/o: CRC error.", -257},
    {"Device i/o: No such device or address.", -258},

    /* pipes */
    {"Invalid pipe handle.", -300},
    {"Broken pipe.", -301},
    {"Pipe is busy.", -302},
    {"Pipe is not connected.", -303},
    {"No data in pipe.", -304},
    {"Pipe is being closed.", -305},
    {"Pipe is already connected.", -306},
    {"Invalid pipe name.", -307},
    {"Pipe buffer is full.", -308},

    /* semaphores and lock validation */
    {"Semaphore destroyed while waiting.", -350},
    {"Semaphore is not signaled.", -351},
    {"Too many semaphores.", -352},
    {"Semaphore count overflow.", -353},
    {"Mutex is not owned by the caller.", -354},
    {"Mutex is already owned by the caller.", -355},
    {"Mutex was abandoned by its owner.", -356},
    {"Semaphore is busy.", -357},
    {"Invalid semaphore handle.", -358},
    {"Semaphore name already exists.", -359},
    {"Semaphore not found.", -360},
    {"Wait ended because the semaphore was destroyed.", -361},
    {"Too many waiters on the semaphore.", -362},
    {"Read-write lock can't be upgraded.", -363},
    {"Read-write lock still has readers.", -364},
    {"Deadlock detected.", -365},
    {"Lock order violation.", -366},
    {"Lock class not found.", -367},
    {"Too many lock classes.", -368},
    {"Lock recursion is not allowed.", -369},
    {"Lock released by a thread that does not hold it.", -370},
    {"Locks released in the wrong order.", -371},
    {"Lock held for too long.", -372},
    {"Lock validation is disabled.", -373},
    {"Lock validation internal error.", -374},
    {"Lock taken with the wrong sub-class.", -375},
    {"Thread is waiting on itself.", -376},
    {"Too many locks held by one thread.", -377},

    /* network and sockets */
    {"Network subsystem is not available.", -400},
    {"Network name not found.", -401},
    {"Network path not found.", -402},
    {"Network access denied.", -403},
    {"Network is busy.", -404},
    {"The machine is not on the network.", -405},
    {"Name is not unique on the network.", -406},
    {"Operation in progress.", -436},
    {"Operation already in progress.", -437},
    {"Attempted socket operation with a non-socket handle. (This includes closed handles.).", -438},
    {"Destination address required.", -439},
    {"Message too long.", -440},
    {"Protocol wrong type for socket.", -441},
    {"Protocol not available.", -442},
    {"Protocol not supported.", -443},
    {"Socket type not supported.", -444},
    {"Operation not supported.", -445},
    {"Protocol family not supported.", -446},
    {"Address family not supported by protocol family.", -447},
    {"Address already in use.", -448},
    {"Can't assign requested address.", -449},
    {"Network is down.", -450},
    {"Network is unreachable.", -451},
    {"Network dropped connection on reset.", -452},
    {"Software caused connection abort.", -453},
    {"Connection reset by peer.", -454},
    {"No buffer space available.", -455},
    {"Socket is already connected.", -456},
    {"Socket is not connected.", -457},
    {"Can't send after socket shutdown.", -458},
    {"Too many references: can't splice.", -459},
    {"Too many references: can't splice.", -460},
    {"Connection refused.", -461},
    {"Host is down.", -464},
    {"No route to host.", -465},
    {"Protocol error.", -466},
    {"Host not found.", -467},

    /* executables and modules */
    {"Executable not found.", -600},
    {"Bad executable or dir.", -608},
    {"Module not found.", -609},
    {"Symbol not found in module.", -610},
    {"Module version mismatch.", -619},

    /* privileges and accounts */
    {"Privilege required for this operation.", -901},
    {"User account not found.", -902},

    {nullptr, 0},
};
static_assert(std::size(g_verr_msgs) == 259 + 1, "message table rows");

/* Which way a pairing of code and errno is used. */
enum : unsigned char {
  TO_VERR = 1, /* errno -> code */
  TO_ENO = 2,  /* code -> errno */
  BOTH = TO_VERR | TO_ENO,
};

struct verr_eno {
  int code;
  int eno;
  unsigned char dir;
};

/* The one pairing both conversions read. Where several errno values meet in one code, exactly
 * one row of that code carries TO_ENO; where one errno serves several codes, exactly one row of
 * that errno carries TO_VERR. The static_asserts below hold the table to this. */
constexpr verr_eno g_verr_eno[] = {
    {-2, EINVAL, BOTH},
    {-2, EDOM, TO_VERR},
    {-2, ERANGE, TO_VERR},
    {-4, EBADF, BOTH},
    {-4, EBADFD, TO_VERR},
    {-6, EFAULT, BOTH},
    {-8, ENOMEM, BOTH},
    {-12, ENOSYS, BOTH},
    {-14, ECANCELED, BOTH},
    {-36, ENOTTY, BOTH},
    {-37, EOPNOTSUPP, BOTH},
    {-38, EPERM, BOTH},
    {-38, EACCES, TO_VERR},
    {-39, EINTR, BOTH},
#ifdef ERESTART /* kernel-internal on some C libraries */
    {-39, ERESTART, TO_VERR},
#endif
    {-40, ETIMEDOUT, BOTH},
    {-42, E2BIG, BOTH},
    {-42, EOVERFLOW, TO_VERR},
    {-50, ESRCH, BOTH},
    {-50, ECHILD, TO_VERR},
    {-52, EAGAIN, BOTH},
    {-58, EILSEQ, BOTH},
    {-70, ECANCELED, TO_ENO},
    {-102, ENOENT, BOTH},
    {-102, ENODEV, TO_VERR},
    {-103, ENOTDIR, BOTH},
    {-105, EEXIST, BOTH},
    /* the per-process limit is the one a caller can act on */
    {-106, ENFILE, TO_VERR},
    {-106, EMFILE, BOTH},
    {-109, ESPIPE, BOTH},
    {-113, EROFS, BOTH},
    {-114, ETXTBSY, BOTH},
    {-115, ENOLCK, BOTH},
    {-119, EXDEV, BOTH},
    {-120, ENAMETOOLONG, BOTH},
    {-121, ENOMEDIUM, BOTH},
    {-122, EMEDIUMTYPE, BOTH},
    {-125, ENOTEMPTY, BOTH},
    {-127, EISDIR, BOTH},
    {-128, EFBIG, BOTH},
    {-138, EBUSY, BOTH},
    {-152, ENOSPC, BOTH},
    {-152, EDQUOT, TO_VERR},
    {-156, ELOOP, BOTH},
    {-250, EIO, BOTH},
    {-252, ENXIO, TO_ENO},
    {-258, ENXIO, BOTH},
    {-301, EPIPE, BOTH},
    {-304, ENODATA, BOTH},
    {-365, EDEADLK, BOTH},
    {-405, ENONET, BOTH},
    {-406, ENOTUNIQ, BOTH},
    {-436, EINPROGRESS, BOTH},
    {-437, EALREADY, BOTH},
    {-438, ENOTSOCK, BOTH},
    {-439, EDESTADDRREQ, BOTH},
    {-440, EMSGSIZE, BOTH},
    {-441, EPROTOTYPE, BOTH},
    {-442, ENOPROTOOPT, BOTH},
    {-443, EPROTONOSUPPORT, BOTH},
    {-444, ESOCKTNOSUPPORT, BOTH},
    {-445, EOPNOTSUPP, TO_ENO},
    {-446, EPFNOSUPPORT, BOTH},
    {-447, EAFNOSUPPORT, BOTH},
    {-448, EADDRINUSE, BOTH},
    {-449, EADDRNOTAVAIL, BOTH},
    {-450, ENETDOWN, BOTH},
    {-451, ENETUNREACH, BOTH},
    {-452, ENETRESET, BOTH},
    {-453, ECONNABORTED, BOTH},
    {-454, ECONNRESET, BOTH},
    {-455, ENOBUFS, BOTH},
    {-456, EISCONN, BOTH},
    {-457, ENOTCONN, BOTH},
    {-458, ESHUTDOWN, BOTH},
    {-459, ETOOMANYREFS, BOTH},
    {-461, ECONNREFUSED, BOTH},
    {-464, EHOSTDOWN, BOTH},
    {-465, EHOSTUNREACH, BOTH},
    {-466, EPROTO, BOTH},
    {-608, ENOEXEC, BOTH},
};

constexpr bool pairing_is_unambiguous()
{
  for (size_t i = 0; i < std::size(g_verr_eno); i++)
    for (size_t j = i + 1; j < std::size(g_verr_eno); j++) {
      const verr_eno &a = g_verr_eno[i], &b = g_verr_eno[j];
      if ((a.dir & TO_VERR) && (b.dir & TO_VERR) && a.eno == b.eno)
        return false;
      if ((a.dir & TO_ENO) && (b.dir & TO_ENO) && a.code == b.code)
        return false;
    }
  return true;
}
static_assert(pairing_is_unambiguous(), "an errno or a code is paired twice in one direction");

constexpr bool pairing_codes_have_text()
{
  for (const verr_eno &p : g_verr_eno) {
    bool found = false;
    for (const verr_msg *m = g_verr_msgs; m->text; m++)
      found = found || m->code == p.code;
    if (!found)
      return false;
  }
  return true;
}
static_assert(pairing_codes_have_text(), "a paired code has no row in the message table");

/* The GNU strerror_r returns the text, the XSI one fills buf and returns 0. */
[[maybe_unused]] const char *strerror_r_text(char *ret, const char *) { return ret; }
[[maybe_unused]] const char *strerror_r_text(int ret, const char *buf) { return ret == 0 ? buf : ""; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

} // namespace

const verr_msg *verr_msg_table() { return g_verr_msgs; }

const char *verr2str(int code)
{
  for (const verr_msg *m = g_verr_msgs; m->text; m++)
    if (m->code == code)
      return m->text;
  LOGD("Invalid errno=%d (0x%x)\n", code, static_cast<unsigned>(code));
  return "Invalid error code";
}

int os_verr_get(int eno)
{
  if (eno == 0)
    return 0;
  for (const verr_eno &p : g_verr_eno)
    if ((p.dir & TO_VERR) && p.eno == eno)
      return p.code;
  LOGW("unkown eno=%d\n", eno);
  return VERR_FAIL;
}

int verr_2_posix(int code)
{
  if (code == 0)
    return 0;
  if (code == VERR_FAIL)
    return EPERM;
  for (const verr_eno &p : g_verr_eno)
    if ((p.dir & TO_ENO) && p.code == code)
      return p.eno;
  LOGW("unkown verrno = %d\n", code);
  return EPERM;
}

int os_errno_set_verr(int code)
{
  int eno = verr_2_posix(code);
  errno = eno;
  return eno;
}

int os_verr_last()
{
  int eno = errno;
  return os_verr_get(eno);
}

const char *os_strerror(int eno)
{
  if (eno == 0)
    return "ok";
  return strerror(eno);
}

const char *os_strerror_last()
{
  int eno = errno;
  return os_strerror(eno);
}

char *os_strerror_buf(int eno, char *buf, size_t size)
{
  if (!buf || size == 0)
    return buf;
  char tmp[256];
  tmp[0] = '\0';
  const char *text = strerror_r_text(strerror_r(eno, tmp, sizeof tmp), tmp);
  if (!text)
    text = "";
  while (is_space(*text))
    text++;
  size_t len = strnlen(text, size - 1);
  memmove(buf, text, len);
  while (len > 0 && is_space(buf[len - 1]))
    len--;
  buf[len] = '\0';
  if (len == 0)
    snprintf(buf, size, "unkown os_errno=%u (0x%x)", static_cast<unsigned>(eno), static_cast<unsigned>(eno));
  return buf;
}

void vperror_set(vperror *rec, const char *file, unsigned line, const char *func, int code, const char *fmt,
                 ...)
{
  if (!rec)
    return;
  /* Formatting goes through a scratch buffer so that rec->msg may itself be an argument (a caller
   * that prefixes the message it already holds). */
  char tmp[VPERROR_MSG_SIZE];
  tmp[0] = '\0';
  if (fmt) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    if (n < 0)
      tmp[0] = '\0';
  }
  rec->file = file;
  rec->line = line;
  rec->func = func;
  rec->code = code;
  memcpy(rec->msg, tmp, strlen(tmp) + 1);
}

const char *vperror_str(const vperror *rec)
{
  if (!rec)
    return verr2str(VERR_OK);
  if (rec->msg[0])
    return rec->msg;
  return verr2str(rec->code);
}

void vperror_copy(vperror *dst, const vperror *src)
{
  if (!dst || !src || dst == src)
    return;
  dst->file = src->file;
  dst->func = src->func;
  dst->line = src->line;
  dst->code = src->code;
  size_t len = strnlen(src->msg, VPERROR_MSG_SIZE - 1);
  memcpy(dst->msg, src->msg, len);
  dst->msg[len] = '\0';
}

int os_file_last_vperror(void *file_ctx, vperror *rec)
{
  (void)file_ctx;
  int eno = errno;
  char text[256];
  os_strerror_buf(eno, text, sizeof text);
  vperror_set(rec, __FILE__, __LINE__, __func__, os_verr_get(eno), "%s", text);
  /* the caller may still want to look at errno after recording it */
  errno = eno;
  return 0;
}
