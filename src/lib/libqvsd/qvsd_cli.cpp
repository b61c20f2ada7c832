#define LOG_TAG "sdcli"
#include "libqvsd/qvsd_cli.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mbedtls/sha1.h>

#include "liblog/log2.h"
#include "libnet/net_url.h"
#include "libpal/os/os_time.h"
#include "libpal/string/pl_base64.h"
#include "libpwd/libpwd.h"
#include "libqvsd/qvsd_codes.h"
#include "libssl/ssl.h"

namespace {

std::atomic<int> g_inited{0};

/* Block sizes measured per server ("scheme://host:port"), so that the later connections of a run
 * to the same server skip the pings. */
std::mutex g_rtt_lock;
std::map<std::string, uint32_t> g_rtt_bs;

constexpr int PWD_FILE_MAX = 4096;

} // namespace

int qvsd_cli_init()
{
  int expected = 0;
  if (!g_inited.compare_exchange_strong(expected, 1))
    return 0;
  libssl_init();
  return 0;
}

void qvsd_cli_cleanup()
{
  if (g_inited.exchange(0) == 1)
    ssl_cli_exit();
  std::lock_guard<std::mutex> g(g_rtt_lock);
  g_rtt_bs.clear();
}

uint32_t qvsd_rtt_block_size(double avg_ms)
{
  if (avg_ms < 2.0)
    return QVSD_BS_FAST;
  if (avg_ms > 100.0)
    return QVSD_BS_SLOW;
  return QVSD_BS_MID;
}

/* ---- handles and errors ---- */

qvsd_cli *cli_get_ctx(const void *h, int64_t *fd)
{
  if (!h) {
    LOGE("invalid handle\n");
    return nullptr;
  }
  switch (*static_cast<const uint32_t *>(h)) {
  case QVSD_KIND_CLI:
    if (fd)
      *fd = 0;
    return const_cast<qvsd_cli *>(static_cast<const qvsd_cli *>(h));
  case QVSD_KIND_FILE: {
    const qvsd_file *f = static_cast<const qvsd_file *>(h);
    if (fd)
      *fd = f->fd;
    return f->cli;
  }
  case QVSD_KIND_DIR: {
    const qvsd_dir *d = static_cast<const qvsd_dir *>(h);
    if (fd)
      *fd = d->fd;
    return d->cli;
  }
  default:
    LOGE("invalid handle\n");
    return nullptr;
  }
}

const char *qvsd_cli_last_errstr(const void *h)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  return c ? c->err->msg : "invalid handle";
}

int qvsd_cli_last_errno(const void *h)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  return c ? c->err->code : -1;
}

void qvsd_cli_set_last_errno(void *h, int code)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  if (c)
    VPERROR_SET(c->err, code, "%s", "");
}

void qvsd_cli_copy_error(const void *h, vperror *dst)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  if (c)
    vperror_copy(dst, c->err);
  else
    VPERROR_SET(dst, VERR_FAIL, "invalid handle");
}

int qvsd_cli_set_last_error(qvsd_cli *c, int code)
{
  vperror *e = c->err;
  switch (code) {
  case QVSD_R_OK:
    VPERROR_SET(e, 0, "%s", "");
    break;
  case QVSD_R_NET:
    /* The transport keeps the cause of its failure (the peer closed, an abort, a socket error). */
    if (c->conn.error.code != 0)
      VPERROR_SET(e, c->conn.error.code, "%s", vperror_str(&c->conn.error));
    else
      VPERROR_SET(e, -400, "read data net error");
    break;
  case QVSD_R_DATA:
  case QVSD_R_LEN:
    VPERROR_SET(e, VERR_PROTO, "read data content error");
    break;
  case QVSD_R_TIMEOUT:
    VPERROR_SET(e, VERR_TIMEOUT, "read data timeout");
    break;
  case QVSD_R_SRV:
    VPERROR_SET(e, c->srv_errno, "%s", c->srv_errstr);
    break;
  case QVSD_R_MEMORY:
    VPERROR_SET(e, VERR_NOMEM, "memory allocation failed");
    break;
  case QVSD_R_NEEDS_185:
    VPERROR_SET(e, VERR_NOTSUP, "%s", verr2str(VERR_NOTSUP));
    break;
  default:
    VPERROR_SET(e, VERR_FAIL, "unkown error=%d", code);
    break;
  }
  return code;
}

bool qvsd_cli_is_windows(const void *h)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  return c && c->windows;
}

bool qvsd_cli_ver_ge_182(const void *h)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  return c && c->ver_182;
}

int qvsd_cli_gate(qvsd_cli *c, const char *ver)
{
  if (!ver || c->ver_value >= qvsd_version_parse(ver))
    return 0;
  VPERROR_SET(c->err, VERR_NOIMPL, QVSD_ERR_GATE_TEXT);
  return -1;
}

int qvsd_cli_log_path(void *h, char *out, size_t size)
{
  qvsd_cli *c = cli_get_ctx(h, nullptr);
  if (!c || !out || size == 0)
    return -1;
  if (qvsd_cli_gate(c, QVSD_VER_MULTI) < 0)
    return -1;
  size_t n = strlen(c->log_file);
  if (n + 1 > size)
    return VPERROR_SET(c->err, VERR_OVERFLOW, "log path too long"), -1;
  memcpy(out, c->log_file, n + 1);
  return 0;
}

int qvsd_cli_stop(qvsd_cli *c)
{
  if (c)
    net_abort(&c->conn);
  return 0;
}

static bool connected(const qvsd_cli *c)
{
  return c->conn.ops != nullptr && !c->conn.closed;
}

/* ---- frames ---- */

int qvsd_send_request(qvsd_cli *c, uint8_t cmd, const void *body, uint32_t len)
{
  if (c->fix_failed)
    return QVSD_R_TIMEOUT;
  if (!c->fixing) {
    c->last_cmd = cmd;
    c->cmd_count++;
  }
  if (len < 4) {
    LOGD("reqest need len >= 4 [len=%d]\n", (int)len);
    return 0;
  }
  uint8_t head[QVSD_FRAME_HEAD];
  qvsd_frame_head(head, QVSD_PROTO_CLIENT, cmd, body);
  /* A failed write shows in the receive that follows, which is where resume starts. */
  if (net_write(&c->conn, head, (int)sizeof head) != (int)sizeof head) {
    LOGV("net_write head len=%d error\n", (int)sizeof head);
    return 0;
  }
  if (len > 4 && net_write(&c->conn, static_cast<const uint8_t *>(body) + 4, (int)(len - 4)) != (int)(len - 4))
    LOGV("net_write data len=%d error\n", (int)(len - 4));
  return 0;
}

/* The stream has lost its frame boundary: nothing more can be read from it. */
static void drop_stream(qvsd_cli *c)
{
  net_close(&c->conn);
}

int qvsd_recv_request_len(qvsd_cli *c, uint32_t *len)
{
  uint8_t head[QVSD_FRAME_HEAD];
  int r = net_read(&c->conn, head, (int)sizeof head);
  if (r < 0)
    return QVSD_R_NET;
  if (r == 0)
    return c->conn.closed ? QVSD_R_NET : QVSD_R_TIMEOUT;
  if (r < (int)sizeof head) {
    LOGV("net_read head len=%d need=%d\n", r, (int)sizeof head);
    drop_stream(c);
    return QVSD_R_LEN;
  }
  if (head[0] != QVSD_MAGIC0 || head[1] != QVSD_MAGIC1) {
    LOGV("magic error %02x %02x\n", head[0], head[1]);
    drop_stream(c);
    return QVSD_R_DATA;
  }
  if (c->proto == 0)
    c->proto = head[2];
  uint32_t t = qvsd_frame_body_len(head);
  uint32_t limit = c->reply_max && c->reply_max < QVSD_REPLY_CEILING ? c->reply_max : QVSD_REPLY_CEILING;
  if (t < 4 || qvsd_attr_type(head + 4) != QVSD_T_TABLE || qvsd_attr_named(head + 4) || t > limit) {
    LOGV("reply root len=%u type=%u exceeds max=%u or is no table\n", t, qvsd_attr_type(head + 4), limit);
    drop_stream(c);
    return QVSD_R_DATA;
  }
  if (t + 3 >= c->rep_cap) {
    uint8_t *p = static_cast<uint8_t *>(malloc((size_t)t + 4));
    if (!p) {
      LOGE("malloc [%d] erorr\n", (int)t);
      c->rep_cap = 0;
      drop_stream(c);
      return QVSD_R_MEMORY;
    }
    free(c->rep);
    c->rep = p;
    c->rep_cap = t + 4;
  }
  if (t > 4) {
    r = net_read(&c->conn, c->rep + 4, (int)(t - 4));
    if (r < 0)
      return QVSD_R_NET;
    if (r < (int)(t - 4)) {
      LOGD("net_read len=%d need=%d\n", r, (int)(t - 4));
      drop_stream(c);
      return QVSD_R_LEN;
    }
  }
  memcpy(c->rep, head + 4, 4);
  *len = t;
  return 0;
}

static int client_fix_last_error(qvsd_cli *c);

int client_recv_response(qvsd_cli *c, uint32_t *len)
{
  if (c->fix_failed) {
    LOGV("have_fix_error_fail return\n");
    return QVSD_R_TIMEOUT;
  }
  int rc = qvsd_recv_request_len(c, len);
  if (rc == 0 || rc == QVSD_R_MEMORY)
    return rc;
  LOGV("ret=%d error:[%s]\n", rc, qvsd_result_str(rc));
  if (!c->resume_on) {
    LOGV("!net_error_reconnect return\n");
    return rc;
  }
  if (c->fixing) {
    LOGV("now_fix_last_error return\n");
    return rc;
  }
  /* A stop asked for the transfer to end; reconnecting would undo it. */
  if (c->conn.abort.load()) {
    LOGV("stopped, no resume\n");
    return rc;
  }
  LOGV("start fix..\n");
  int fr = client_fix_last_error(c);
  if (fr == 0) {
    *len = qvsd_attr_padlen(c->rep);
    return 0;
  }
  LOGV("ret=%d fix failed need reopen...\n", fr);
  c->fix_failed = true;
  return QVSD_R_TIMEOUT;
}

int qvsd_exchange(qvsd_cli *c, uint8_t cmd, const qvsd_policy *pol, int n, const void **slots, uint32_t reply_max)
{
  const qvsd_cmd_desc *d = qvsd_cmd_find(cmd);
  if (d && qvsd_cli_gate(c, d->min_ver) < 0)
    return -1;
  c->reply_max = reply_max ? reply_max : (d ? d->reply_max : 0);
  int rc = qvsd_send_request(c, cmd, c->req.data, c->req.len);
  if (rc)
    return rc;
  uint32_t len = 0;
  rc = client_recv_response(c, &len);
  if (rc)
    return rc;
  if (cli_blobmsg_parse(pol, n, slots, c->rep + 4, len - 4) < 0) {
    LOGE("cli_blobmsg_parse cmd=%d failed\n", cmd);
    return QVSD_R_DATA;
  }
  c->srv_errno = qvsd_attr_i32(slots[0]);
  if (c->srv_errno != 0) {
    snprintf(c->srv_errstr, sizeof c->srv_errstr, "%s", qvsd_attr_str(slots[1]));
    return QVSD_R_SRV;
  }
  return 0;
}

/* Finishes a request operation: the result code into the error object, 0 or -1. */
static int finish(qvsd_cli *c, int rc)
{
  if (rc == -1)
    return -1; /* a gate refused it; the error is set */
  qvsd_cli_set_last_error(c, rc);
  return rc == 0 ? 0 : -1;
}

/* ---- the two carriers ---- */

static int arg_len(const void *arg, int len)
{
  if (len >= 0)
    return arg ? len : 0;
  return arg ? (int)strlen(static_cast<const char *>(arg)) + 1 : 0;
}

static int ioctl_imp(qvsd_cli *c, int64_t fd, int32_t code, const void *arg, int len)
{
  const qvsd_ioctl_desc *d = qvsd_ioctl_find(QVSD_CMD_IOCTL, code);
  if (d && qvsd_cli_gate(c, d->min_ver) < 0)
    return -1;
  int n = arg_len(arg, len);
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_i64(&c->req, "fd", fd) < 0 ||
      qvsd_msg_add_i32(&c->req, "cmd", code) < 0 || qvsd_msg_add_i32(&c->req, "len", n) < 0 ||
      qvsd_msg_add_raw(&c->req, "data", arg, (uint32_t)n) < 0)
    return QVSD_R_MEMORY;
  const void *slots[2];
  int rc = qvsd_exchange(c, QVSD_CMD_IOCTL, qvsd_pol_plain, 2, slots, 0);
  if (rc)
    return rc;
  if (code == QVSD_IOCTL_PACK) {
    /* The codec is opened again even for the name in use, so a broken handle heals. */
    snprintf(c->pack, sizeof c->pack, "%.*s", n, static_cast<const char *>(arg));
    zcomp_close(&c->codec);
    snprintf(c->codec.name, sizeof c->codec.name, "%s", c->pack);
    if (zcomp_open(&c->codec) < 0) {
      LOGV("cli_ioctl_imp ret=%d\n", QVSD_R_UNPACK);
      return QVSD_R_UNPACK;
    }
  }
  c->srv_errno = 0;
  return 0;
}

int qvsd_cli_ioctl(void *h, int32_t code, const void *arg, int len)
{
  int64_t fd = 0;
  qvsd_cli *c = cli_get_ctx(h, &fd);
  if (!c)
    return -1;
  return finish(c, ioctl_imp(c, fd, code, arg, len));
}

static int ioctl2_imp(qvsd_cli *c, int64_t fd, int32_t code, const void *arg, int len, int osize,
                      const void **data, int *count)
{
  const qvsd_ioctl_desc *d = qvsd_ioctl_find(QVSD_CMD_IOCTL2, code);
  if (d && qvsd_cli_gate(c, d->min_ver) < 0)
    return -1;
  if (osize < 0)
    osize = 0;
  int n = arg_len(arg, len);
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_i64(&c->req, "fd", fd) < 0 ||
      qvsd_msg_add_i32(&c->req, "cmd", code) < 0 || qvsd_msg_add_raw(&c->req, "data", arg, (uint32_t)n) < 0 ||
      qvsd_msg_add_i32(&c->req, "olen", osize) < 0)
    return QVSD_R_MEMORY;
  if (code == QVSD_IOCTL2_ATTACH_CTX_REPLY) {
    /* The reply that follows is the one of the request being recovered. */
    return qvsd_send_request(c, QVSD_CMD_IOCTL2, c->req.data, c->req.len);
  }
  bool resume = c->resume_on;
  if (code >= 100 && code <= 110)
    c->resume_on = false;
  const void *slots[3];
  int rc = qvsd_exchange(c, QVSD_CMD_IOCTL2, qvsd_pol_data, 3, slots,
                         (uint32_t)osize + QVSD_REPLY_OVERHEAD);
  c->resume_on = resume;
  if (rc)
    return rc;
  uint32_t dl = qvsd_attr_data_len(slots[2]);
  *count = (int)std::min<uint32_t>(dl, (uint32_t)osize);
  *data = qvsd_attr_data(slots[2]);
  c->srv_errno = 0;
  return 0;
}

int qvsd_cli_ioctl2_ptr(void *h, int32_t code, const void *arg, int len, const void **out, int osize, int *count)
{
  int64_t fd = 0;
  qvsd_cli *c = cli_get_ctx(h, &fd);
  if (!c)
    return -1;
  const void *data = nullptr;
  int n = 0;
  int rc = ioctl2_imp(c, fd, code, arg, len, osize, &data, &n);
  if (rc == 0) {
    if (out)
      *out = data;
    if (count)
      *count = n;
  }
  return finish(c, rc);
}

int qvsd_cli_ioctl2(void *h, int32_t code, const void *arg, int len, void *out, int osize, int *count)
{
  int64_t fd = 0;
  qvsd_cli *c = cli_get_ctx(h, &fd);
  if (!c)
    return -1;
  const void *data = nullptr;
  int n = 0;
  int rc = ioctl2_imp(c, fd, code, arg, len, out ? osize : 0, &data, &n);
  if (rc == 0) {
    if (n > 0)
      memcpy(out, data, (size_t)n);
    if (count)
      *count = n;
  }
  return finish(c, rc);
}

/* An ioctl2 whose reply is a decimal or text value, NUL-terminated into out. */
static int ioctl2_text(qvsd_cli *c, int32_t code, const char *arg, char *out, int size)
{
  const void *data = nullptr;
  int n = 0;
  int rc = ioctl2_imp(c, 0, code, arg, -1, size - 1, &data, &n);
  if (rc)
    return rc;
  memcpy(out, data, (size_t)n);
  out[n] = 0;
  return 0;
}

/* ---- login ---- */

int qvsd_passwd_digest(const char *pwd, char *out, size_t size)
{
  if (!out || size == 0)
    return -1;
  if (!pwd || !*pwd) {
    out[0] = 0;
    return 0;
  }
  unsigned char digest[20];
  if (mbedtls_sha1_ret(reinterpret_cast<const unsigned char *>(pwd), strlen(pwd), digest) != 0)
    return -1;
  if (size < 6)
    return -1;
  memcpy(out, "{SHA}", 5);
  int rc = str_base64_encode(digest, sizeof digest, out + 5, size - 5);
  memset(digest, 0, sizeof digest);
  return rc < 0 ? -1 : 0;
}

static int cli_init1(qvsd_cli *c, const char *user, const char *pwd)
{
  char digest[64];
  if (qvsd_passwd_digest(pwd, digest, sizeof digest) < 0)
    return QVSD_R_MEMORY;
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_str(&c->req, "user", user) < 0 ||
      qvsd_msg_add_str(&c->req, "passwd", digest) < 0)
    return QVSD_R_MEMORY;
  memset(digest, 0, sizeof digest);
  const void *slots[3];
  int rc = qvsd_exchange(c, QVSD_CMD_LOGIN, qvsd_pol_login, 3, slots, 0);
  if (rc == QVSD_R_DATA)
    LOGV("blobmsg_parse ret=%d\n", rc);
  else if (rc && rc != QVSD_R_SRV)
    LOGV("client_recv_response ret=%d error: %s\n", rc, qvsd_result_str(rc));
  if (rc == 0)
    c->os_type = qvsd_attr_i32(slots[2]);
  return rc;
}

static int cli_init2(qvsd_cli *c, const char *user, char *cert, size_t size)
{
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_str(&c->req, "user", user) < 0 ||
      qvsd_msg_add_i32(&c->req, "ver", 1) < 0)
    return QVSD_R_MEMORY;
  const void *slots[4];
  int rc = qvsd_exchange(c, QVSD_CMD_LOGIN_CHALLENGE, qvsd_pol_challenge, 4, slots, 0);
  if (rc) {
    LOGV("client_recv_response ret=%d error: %s\n", rc, qvsd_result_str(rc));
    return rc;
  }
  const char *cert_text = qvsd_attr_str(slots[3]);
  if (strlen(cert_text) > QVSD_CERT_MAX || strlen(cert_text) + 1 > size) {
    LOGV("cert len=%zu > %zu\n", strlen(cert_text), QVSD_CERT_MAX);
    return QVSD_R_DATA;
  }
  strcpy(cert, cert_text);
  return 0;
}

static int cli_init3(qvsd_cli *c)
{
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_str(&c->req, "lkey", c->lkey) < 0)
    return QVSD_R_MEMORY;
  const void *slots[2];
  int rc = qvsd_exchange(c, QVSD_CMD_LOGIN_KEY, qvsd_pol_plain, 2, slots, 0);
  if (rc)
    LOGV("client_recv_response ret=%d error: %s\n", rc, qvsd_result_str(rc));
  return rc;
}

int cli_init(qvsd_cli *c, const char *user, const char *pwd)
{
  int rc = cli_init1(c, ":", "");
  if (rc != QVSD_R_SRV || c->srv_errno != 1)
    return rc;
  if (c->proto == 1)
    return cli_init1(c, user, pwd);
  char cert[QVSD_CERT_MAX + 1];
  rc = cli_init2(c, user, cert, sizeof cert);
  if (rc)
    return rc;
  if (libpwd_build_key(user, pwd, cert, c->lkey, sizeof c->lkey) < 0)
    return QVSD_R_MEMORY;
  return cli_init3(c);
}

/* ---- connect ---- */

int qvsd_cli_password(const url *u, char *out, size_t size, vperror *err)
{
  if (!out || size == 0)
    return VPERROR_SET(err, VERR_PARAM, "no room for the password"), -1;
  out[0] = 0;
  if (u->passwd && *u->passwd) {
    if (strlen(u->passwd) + 1 > size)
      return VPERROR_SET(err, VERR_OVERFLOW, "password too long"), -1;
    strcpy(out, u->passwd);
    return 0;
  }
  char file[4096];
  if (url_get_query(u, "password_file", "", file, sizeof file) < 0)
    return VPERROR_SET(err, VERR_PARAM, "password_file too long"), -1;
  if (*file) {
    int fd = open(file, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      int eno = errno;
      return VPERROR_SET(err, os_verr_get(eno), "password file [%s]: %s", file, os_strerror(eno)), -1;
    }
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return VPERROR_SET(err, VERR_PARAM, "password file [%s] is not a regular file", file), -1;
    }
    if (st.st_mode & (S_IROTH | S_IWOTH)) {
      close(fd);
      /* Safe to log: the file's path, not its content; the path is no secret (a URL query value). */
      LOGE("password file [%s] is accessible by others, refused\n", file);
      return VPERROR_SET(err, VERR_ACCESS, "password file [%s] is accessible by others (chmod o-rw)", file), -1;
    }
    char buf[PWD_FILE_MAX + 1];
    ssize_t n;
    do
      n = read(fd, buf, sizeof buf - 1);
    while (n < 0 && errno == EINTR);
    int eno = errno;
    close(fd);
    if (n < 0)
      return VPERROR_SET(err, os_verr_get(eno), "password file [%s]: %s", file, os_strerror(eno)), -1;
    buf[n] = 0;
    size_t len = strcspn(buf, "\r\n"); /* the first line is the password */
    if (len + 1 > size) {
      memset(buf, 0, sizeof buf);
      return VPERROR_SET(err, VERR_OVERFLOW, "password in [%s] too long", file), -1;
    }
    memcpy(out, buf, len);
    out[len] = 0;
    memset(buf, 0, sizeof buf);
    return 0;
  }
  const char *env = getenv("QVCP_PASSWORD");
  if (env && *env) {
    if (strlen(env) + 1 > size)
      return VPERROR_SET(err, VERR_OVERFLOW, "QVCP_PASSWORD too long"), -1;
    strcpy(out, env);
  }
  return 0;
}

static int query_range(const url *u, const char *key, const char *shown, int def, int min, int max)
{
  int v = url_get_query_int(u, key, def);
  if (v < min) {
    LOGW("[%s]=%d < min=%d fix=%d\n", shown, v, min, def);
    return def;
  }
  if (v > max) {
    LOGW("[%s]=%d > max=%d fix=%d\n", shown, v, max, def);
    return def;
  }
  return v;
}

/* The URL the transport opens: no user information, the port filled in. */
static std::string normalised_url(const url *u, int port)
{
  std::string s = std::string(u->protocol) + "://";
  if (strchr(u->host, ':'))
    s += std::string("[") + u->host + "]";
  else
    s += u->host;
  s += ":" + std::to_string(port);
  s += *u->path ? u->path : "/";
  if (*u->query)
    s += std::string("?") + u->query;
  return s;
}

static int open_transport(qvsd_cli *c, vperror *err)
{
  char buf[URL_BUF_SIZE];
  url u;
  if (url_parser(&u, c->url.c_str(), buf, sizeof buf) < 0)
    return VPERROR_SET(err, VERR_PARAM, "url syntax error"), -1;
  auto p = std::make_unique<net_params>();
  *p = net_params{};
  p->connect_timeout = c->connect_timeout_ms;
  p->abort_check = c->conn.abort_check;
  char proxy_name[256], proxy_url[256];
  url_get_query(&u, "proxy", "", proxy_name, sizeof proxy_name);
  url_get_query(&u, "proxy_url", "", proxy_url, sizeof proxy_url);
  if (conf_proxy_get(proxy_url, proxy_name, &p->proxy, err) < 0)
    return -1;
  c->conn.io_timeout = c->read_timeout_ms;
  return net_open3(&c->conn, c->url.c_str(), p.get(), err);
}

static int cli_info(qvsd_cli *c, char *out, size_t size)
{
  if (qvsd_msg_reset(&c->req) < 0 || qvsd_msg_add_str(&c->req, "param", "") < 0)
    return QVSD_R_MEMORY;
  const void *slots[3];
  int rc = qvsd_exchange(c, QVSD_CMD_INFO, qvsd_pol_info, 3, slots, 0);
  if (rc)
    return rc;
  snprintf(out, size, "%s", qvsd_attr_str(slots[2]));
  return 0;
}

static void set_version(qvsd_cli *c)
{
  c->ver_value = qvsd_version_parse(c->ver);
  c->ver_153 = c->ver_value >= qvsd_version_parse("1.5.3");
  c->ver_164 = c->ver_value >= qvsd_version_parse("1.6.4");
  c->ver_182 = c->ver_value >= qvsd_version_parse("1.8.2");
  c->ver_185 = c->ver_value >= qvsd_version_parse("1.8.5");
}

/* Three pings back to back; their average picks the block size. */
static int measure_rtt(qvsd_cli *c)
{
  std::string key;
  {
    char buf[URL_BUF_SIZE];
    url u;
    if (url_parser(&u, c->url.c_str(), buf, sizeof buf) == 0)
      key = std::string(u.protocol) + "://" + c->host + ":" + std::to_string(c->port);
  }
  {
    std::lock_guard<std::mutex> g(g_rtt_lock);
    auto it = g_rtt_bs.find(key);
    if (it != g_rtt_bs.end()) {
      c->block_size = it->second;
      LOGD("net_measure_rtt_bs=%d (measured before)\n", (int)c->block_size);
      return 0;
    }
  }
  uint64_t total_us = 0;
  for (int i = 0; i < 3; i++) {
    uint64_t t0 = os_time_us();
    int rc = ioctl_imp(c, 0, QVSD_IOCTL_PING, nullptr, 0);
    uint64_t t1 = os_time_us();
    if (rc == -1)
      return -1;
    if (rc == QVSD_R_SRV && strstr(c->srv_errstr, "unsupported"))
      rc = 0;
    if (rc)
      return finish(c, rc);
    total_us += t1 - t0;
  }
  double avg_ms = (double)total_us / 3000.0;
  c->block_size = qvsd_rtt_block_size(avg_ms);
  LOGD("net_measure_rtt_bs=%d rtt_ms=%0.2f\n", (int)c->block_size, avg_ms);
  std::lock_guard<std::mutex> g(g_rtt_lock);
  g_rtt_bs[key] = c->block_size;
  return 0;
}

static void cli_free(qvsd_cli *c)
{
  net_close(&c->conn);
  zcomp_close(&c->codec);
  qvsd_msg_free(&c->req);
  free(c->rep);
  for (qvsd_file *f : c->files)
    delete f;
  for (qvsd_dir *d : c->dirs)
    delete d;
  std::fill(c->pwd.begin(), c->pwd.end(), '\0');
  memset(c->lkey, 0, sizeof c->lkey);
  delete c;
}

qvsd_cli *qvsd_cli_connect3(const char *url_text, void *opaque, int login, vperror *err)
{
  (void)opaque;
  vperror scratch{};
  if (!err)
    err = &scratch;
  char masked[URL_BUF_SIZE];
  url_text_mask(url_text, masked, sizeof masked);
  char buf[URL_BUF_SIZE];
  url u;
  if (!url_text || url_parser(&u, url_text, buf, sizeof buf) < 0) {
    LOGV("url [%s] syntax error\n", masked);
    VPERROR_SET(err, VERR_PARAM, "%s", "");
    return nullptr;
  }
  int port = (int)u.port;
  if (port == 0)
    port = strcasecmp(u.protocol, "qvps") == 0 ? QVSD_PORT_TLS : QVSD_PORT_TCP;
  int connect_s = query_range(&u, "connect_timeout", "conn_timeout", NET_CONNECT_TIMEOUT_DEFAULT_S, 1, 600);
  int read_s = query_range(&u, "read_timeout", "read_timeout", NET_IO_TIMEOUT_DEFAULT_S, 1, 600);
  int write_s = query_range(&u, "write_timeout", "write_timeout", 8, 1, 600);
  char pack[ZCOMP_NAME_MAX + 1];
  if (url_get_query(&u, "pack", "lz4", pack, sizeof pack) < 0) {
    LOGW("[pack] too long, lz4 used\n");
    strcpy(pack, "lz4");
  }
  char pwd[QVSD_PWD_SIZE];
  if (login && qvsd_cli_password(&u, pwd, sizeof pwd, err) < 0)
    return nullptr;
  if (!login)
    pwd[0] = 0;
  qvsd_cli *c = new (std::nothrow) qvsd_cli();
  if (!c) {
    memset(pwd, 0, sizeof pwd);
    VPERROR_SET(err, VERR_NOMEM, "%s", "");
    return nullptr;
  }
  c->err = err == &scratch ? &c->own_err : err;
  c->url = normalised_url(&u, port);
  char m2[URL_BUF_SIZE];
  c->url_masked = url_text_mask(c->url.c_str(), m2, sizeof m2);
  c->host = u.host;
  c->port = port;
  c->connect_timeout_ms = connect_s * 1000;
  c->read_timeout_ms = read_s * 1000;
  c->write_timeout_ms = write_s * 1000;
  c->user = u.user;
  c->pwd = pwd;
  memset(pwd, 0, sizeof pwd);
  if (open_transport(c, c->err) < 0) {
    LOGV("connect ip=%s port=%d failed\n", c->host.c_str(), port);
    if (c->err != err)
      vperror_copy(err, c->err);
    cli_free(c);
    return nullptr;
  }
  auto fail = [&](int rc) -> qvsd_cli * {
    if (rc != -1)
      qvsd_cli_set_last_error(c, rc);
    if (c->err != err)
      vperror_copy(err, c->err);
    cli_free(c);
    return nullptr;
  };
  if (login) {
    int rc = cli_init(c, c->user.c_str(), c->pwd.c_str());
    if (rc) {
      LOGV("cli_init ret=%d\n", rc);
      return fail(rc);
    }
  }
  int rc = ioctl_imp(c, 0, QVSD_IOCTL_PACK, pack, -1);
  if (rc)
    return fail(rc);
  auto info = std::make_unique<char[]>(4096);
  rc = cli_info(c, info.get(), 4096);
  if (rc)
    return fail(rc);
  if (qvsd_info_get(info.get(), "ver", c->ver, sizeof c->ver) < 0)
    c->ver[0] = 0;
  char plat[64] = "";
  qvsd_info_get(info.get(), "plat", plat, sizeof plat);
  if (qvsd_info_get(info.get(), "log_file", c->log_file, sizeof c->log_file) < 0)
    c->log_file[0] = 0;
  set_version(c);
  c->windows = strcmp(plat, "windows") == 0;
  if (measure_rtt(c) < 0) {
    if (c->err != err)
      vperror_copy(err, c->err);
    cli_free(c);
    return nullptr;
  }
  VPERROR_SET(c->err, 0, "%s", "");
  LOGV("ip=%s port=%d read_timeout=%d write_timeout=%d block_size=%d pack=[%s]\n", c->host.c_str(), port,
       c->read_timeout_ms, c->write_timeout_ms, (int)c->block_size, c->pack);
  return c;
}

qvsd_cli *qvsd_cli_connect(const char *url, vperror *err)
{
  return qvsd_cli_connect3(url, nullptr, 1, err);
}

qvsd_cli *qvsd_cli_connect2(const char *url, vperror *err)
{
  return qvsd_cli_connect3(url, nullptr, 0, err);
}

int qvsd_cli_exit(qvsd_cli *c)
{
  if (!c)
    return 0;
  LOGV("==>\n");
  c->resume_on = false; /* closing is no time to reconnect */
  for (qvsd_file *f : c->files) {
    if (connected(c)) {
      int rc = QVSD_R_MEMORY;
      if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", f->fd) == 0) {
        const void *slots[2];
        rc = qvsd_exchange(c, QVSD_CMD_CLOSE, qvsd_pol_plain, 2, slots, 0);
      }
      finish(c, rc);
    }
    delete f;
  }
  c->files.clear();
  for (qvsd_dir *d : c->dirs) {
    if (connected(c)) {
      int rc = QVSD_R_MEMORY;
      if (qvsd_msg_reset(&c->req) == 0 && qvsd_msg_add_i64(&c->req, "fd", d->fd) == 0) {
        const void *slots[2];
        rc = qvsd_exchange(c, QVSD_CMD_CLOSEDIR, qvsd_pol_plain, 2, slots, 0);
      }
      finish(c, rc);
    }
    delete d;
  }
  c->dirs.clear();
  int rc = 0;
  if (connected(c) && qvsd_msg_reset(&c->req) == 0)
    rc = qvsd_send_request(c, QVSD_CMD_EXIT, c->req.data, c->req.len);
  cli_free(c);
  LOGV("<==\n");
  return rc;
}

/* ---- resume ---- */

int qvsd_cli_resume_enable(qvsd_cli *c)
{
  char id[32];
  int rc = ioctl2_text(c, QVSD_IOCTL2_CTX_KEEP, "0", id, sizeof id);
  if (rc == 0)
    rc = ioctl2_text(c, QVSD_IOCTL2_CTX_ID, nullptr, id, sizeof id);
  if (rc)
    return finish(c, rc);
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(id, &end, 10);
  if (end == id || *end || errno)
    return finish(c, QVSD_R_DATA);
  c->ctx_id = v;
  c->resume_on = true;
  return 0;
}

static int qvsd_cli_reconnect(qvsd_cli *c)
{
  for (int attempt = 0; attempt < 3; attempt++) {
    net_close(&c->conn);
    vperror e{};
    int rc = open_transport(c, &e);
    if (rc == 0) {
      rc = cli_init(c, c->user.c_str(), c->pwd.c_str());
      if (rc == 0) {
        LOGD("qvsd_cli_reconnect ok\n");
        return 0;
      }
      qvsd_cli_set_last_error(c, rc);
      vperror_copy(&e, c->err);
    }
    LOGD("qvsd_cli_reconnect eno=%d erorr: %s\n", e.code, vperror_str(&e));
    if (e.code != VERR_TIMEOUT)
      return 1;
  }
  return 1;
}

/* Waits ms in short slices, ending early when the connection is stopped. */
static void settle(qvsd_cli *c, uint32_t ms)
{
  uint64_t end = os_time_ms() + ms;
  while (!c->conn.abort.load()) {
    uint64_t now = os_time_ms();
    if (now >= end)
      break;
    os_msleep((uint32_t)std::min<uint64_t>(end - now, 50));
  }
}

static int parse_u64(const char *text, uint64_t *out)
{
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (end == text || errno)
    return -1;
  *out = v;
  return 0;
}

static int fix_steps(qvsd_cli *c, const std::vector<uint8_t> &saved, uint8_t saved_cmd, uint32_t saved_max)
{
  if (qvsd_cli_reconnect(c) != 0)
    return 1;
  char addr[32], text[64];
  snprintf(addr, sizeof addr, "%" PRIu64, c->ctx_id);
  int rc = ioctl2_text(c, QVSD_IOCTL2_CTX_REQ_STOP, addr, text, sizeof text);
  if (rc) {
    LOGD("QVSD_IOCTL2_CTX_REQ_STOP addr=%s ret=%d error:%s\n", addr, rc, qvsd_result_str(rc));
    return rc;
  }
  settle(c, c->resume_settle_ms);
  rc = ioctl2_text(c, QVSD_IOCTL2_CTX_RUN_STATUS, addr, text, sizeof text);
  if (rc) {
    LOGD("QVSD_IOCTL2_CTX_RUN_STATUS addr=%s ret=%d failed\n", addr, rc);
    return rc;
  }
  LOGD("run status=[%s]\n", text);
  if (strcmp(text, "1") == 0) {
    LOGD("ctx thread now is runing\n");
    return 1;
  }
  rc = ioctl2_text(c, QVSD_IOCTL2_GET_LAST_CMD_IDX, addr, text, sizeof text);
  uint64_t idx = 0;
  if (rc == 0 && parse_u64(text, &idx) < 0)
    rc = QVSD_R_DATA;
  if (rc) {
    LOGD("QVSD_IOCTL2_GET_LAST_CMD_IDX addr=%s ret=%d failed\n", addr, rc);
    return rc;
  }
  uint32_t len = 0;
  if (idx == c->cmd_count) {
    LOGD("QVSD_IOCTL2_ATTACH_CTX_REPLY\n");
    const void *data;
    int n;
    rc = ioctl2_imp(c, 0, QVSD_IOCTL2_ATTACH_CTX_REPLY, addr, -1, 0, &data, &n);
    if (rc == 0) {
      c->reply_max = saved_max;
      rc = qvsd_recv_request_len(c, &len);
    }
    if (rc)
      LOGD("QVSD_IOCTL2_ATTACH_CTX_REPLY addr=%s ret=%d failed\n", addr, rc);
    return rc;
  }
  if (idx + 1 == c->cmd_count) {
    LOGD("QVSD_IOCTL2_ATTACH_CTX\n");
    rc = ioctl2_text(c, QVSD_IOCTL2_ATTACH_CTX, addr, text, sizeof text);
    if (rc == 0) {
      c->reply_max = saved_max;
      rc = qvsd_send_request(c, saved_cmd, saved.data(), (uint32_t)saved.size());
    }
    if (rc == 0)
      rc = qvsd_recv_request_len(c, &len);
    if (rc)
      LOGD("QVSD_IOCTL2_ATTACH_CTX addr=%s ret=%d failed\n", addr, rc);
    return rc;
  }
  LOGE("cmd_send_count=%" PRIu64 " srv_last_idx=%" PRIu64 " [%s]\n", c->cmd_count, idx, addr);
  return 1;
}

static int client_fix_last_error(qvsd_cli *c)
{
  LOGD("==>\n");
  std::vector<uint8_t> saved(c->req.data, c->req.data + c->req.len);
  uint8_t saved_cmd = c->last_cmd;
  uint32_t saved_max = c->reply_max;
  uint64_t old_id = c->ctx_id;
  c->fixing = true;
  int rc = fix_steps(c, saved, saved_cmd, saved_max);
  c->fixing = false;
  if (rc)
    return rc;
  /* The reply just recovered is the caller's; keep it while the new context is asked for its
   * command index. */
  uint32_t rlen = qvsd_attr_padlen(c->rep);
  std::vector<uint8_t> reply(c->rep, c->rep + rlen);
  char text[64];
  bool resume = c->resume_on;
  c->fixing = true; /* the bookkeeping request does not count as the caller's */
  rc = ioctl2_text(c, QVSD_IOCTL2_GET_LAST_CMD_IDX, "0", text, sizeof text);
  c->fixing = false;
  c->resume_on = resume;
  uint64_t idx = 0;
  if (rc == 0 && parse_u64(text, &idx) < 0)
    rc = QVSD_R_DATA;
  if (rc) {
    LOGE("QVSD_IOCTL2_GET_LAST_CMD_IDX addr=[%s] ret=%d failed\n", "0", rc);
    return rc;
  }
  (void)old_id;
  c->cmd_count = idx + 1;
  if (rlen + 3 >= c->rep_cap) {
    uint8_t *p = static_cast<uint8_t *>(malloc((size_t)rlen + 4));
    if (!p)
      return QVSD_R_MEMORY;
    free(c->rep);
    c->rep = p;
    c->rep_cap = rlen + 4;
  }
  memcpy(c->rep, reply.data(), rlen);
  LOGD("last_cmd_len=%d cmd_send_count=%" PRIu64 " fix ok\n", (int)saved.size(), c->cmd_count);
  return 0;
}
