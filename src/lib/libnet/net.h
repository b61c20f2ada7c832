#pragma once
/* Network connections: a URL opened as a bidirectional byte stream, bytes moved with time limits.
 *
 * Every kind of stream (plain TCP, TLS over TCP, an in-memory buffer) is one const table of
 * operations, `net_ops`, carried by the connection; net_read and net_write reach the stream only
 * through it, so the layers above read and write the same way over every kind. The TLS kind's
 * table and its handshake live in libssl, which registers them with net_set_ssl_proc.
 *
 * Time limits: one net_read or net_write is bounded by the connection's io_timeout (ms, -1 no
 * limit). Waits are sliced (200 ms connecting, 300 ms reading, 500 ms writing) and between slices
 * the abort word and the abort check are tested, so an abort set by another thread is noticed
 * within one slice.
 *
 * Threads: a connection is used by one thread at a time; net_abort (and the abort check's flag)
 * may be set from any thread. */
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "libnet/net_url.h"
#include "libpal/comm/verr.h"

struct net;

/* One kind of stream. read and write move at most n bytes once (bounded by io_timeout) and
 * return the count, or -1 with c->error set; close releases what the kind holds (not the record). */
struct net_ops {
  const char *name; /* "tcp", "tls", "mem" */
  int (*read)(net *c, void *buf, int n);
  int (*write)(net *c, const void *buf, int n);
  void (*close)(net *c);
};

/* A caller's abort test: the flag word, or proc(arg, timeout_ms) returning non-zero. Either may be
 * null. The structure must outlive the connection that points at it. */
struct net_abort_check {
  std::atomic<int> *flag;
  int (*proc)(void *arg, int timeout_ms);
  void *arg;
};

enum : uint32_t {
  NET_TYPE_TCP = 0, /* TLS when tls is set */
  NET_TYPE_MEM = 6,
};

/* -452, "Network dropped connection on reset.": the peer has ended the stream. */
constexpr int NET_ERR_CLOSED = -452;
constexpr int NET_IO_TIMEOUT_DEFAULT_S = 15;
constexpr int NET_CONNECT_TIMEOUT_DEFAULT_S = 6;
constexpr uint32_t NET_CHUNK_DEFAULT = 0x200000;

struct net_mem_buf;

struct net {
  uint32_t type = NET_TYPE_TCP;
  int fd = -1;
  void *tls = nullptr;            /* the TLS session of libssl, null for plain TCP */
  const net_ops *ops = nullptr;   /* null while closed */
  int32_t io_timeout = 0;         /* ms; 0 before open means "take read_timeout from the URL" */
  uint32_t chunk = NET_CHUNK_DEFAULT; /* largest piece of one call in net_read_all/net_write_all */
  vperror error{};
  uint32_t closed = 0;            /* the peer ended the stream */
  std::atomic<uint32_t> abort{0}; /* set by another thread: I/O fails with -70 */
  const net_abort_check *abort_check = nullptr;
  net_mem_buf *mem = nullptr;     /* the buffer of the in-memory kind */
};

/* Proxy description: type 0 direct, 1 http, 2 socks4, 3 socks5. */
enum : int { PROXY_NONE = 0, PROXY_HTTP = 1, PROXY_SOCKS4 = 2, PROXY_SOCKS5 = 3 };
struct proxy_desc {
  int type;
  char protocol[32];
  char host[1024];
  int port;
  char user[4096]; /* empty: no authentication */
  char pwd[4096];
};

/* Connect parameters. */
struct net_params {
  int connect_timeout;  /* ms, -1 no limit */
  int buf_size;         /* SO_RCVBUF and SO_SNDBUF; 0 keeps the system's */
  int blocking;         /* one blocking connect instead of the timed loop */
  proxy_desc proxy;
  const net_abort_check *abort_check;
};

/* The TLS layer as libnet sees it: the client handshake on c's connected socket (bounded by
 * c->io_timeout). peer is the "host:port" of the URL (not of a proxy between): it names the TLS
 * session that a later connection to the same server may resume. fingerprint is the pinned
 * SHA-256 of the server certificate ("" none). On success c->tls and c->ops are set and 0 is
 * returned; else -52 (the peer closed during the handshake: a new connection may succeed) or -1,
 * with err filled. */
struct net_ssl_proc {
  int (*cli_connect)(net *c, const char *peer, int timeout_ms, const char *fingerprint, vperror *err);
};
/* Registers the TLS layer (process-wide; null removes it). */
void net_set_ssl_proc(const net_ssl_proc *p);

/* The stream table of plain TCP connections (for the TLS layer, which wraps it). */
extern const net_ops net_tcp_ops;

/* Opens conn on url. params null: connect_timeout from the URL query (default 6 s), proxy from
 * the query keys proxy/proxy_url or the environment, abort check of the connection. Returns 0, or
 * -1 (or the proxy layer's negative result) with errp filled. A null errp is a fatal assertion. */
int net_open3(net *conn, const char *url_text, net_params *params, vperror *errp);
int net_open(net *conn, const char *url_text, vperror *errp);
/* Makes conn a plain TCP connection on an already connected socket fd (made non-blocking here);
 * conn owns fd afterwards. The accept side of a server starts here. 0, or -1 with conn->error. */
int net_attach_fd(net *conn, int fd);

/* One bounded transfer: reads (writes) up to n bytes; returns the count (less than n after the
 * time-out with -40 in conn->error, or after the peer closed), or -1 with conn->error set. */
int net_read(net *conn, void *buf, int n);
int net_write(net *conn, const void *buf, int n);
/* Move exactly n bytes in pieces of at most conn->chunk; n, or -1 when a call moved nothing. */
int net_read_all(net *conn, void *buf, int n);
int net_write_all(net *conn, const void *buf, int n);
/* Asks pending and later I/O of conn to fail with -70; any thread. */
void net_abort(net *conn);
/* Closes the stream (TLS session, socket or buffer) and clears closed and abort; the record can be
 * opened again. A closed record is left as it is. */
void net_close(net *conn);
/* Message of the last error of conn. */
const char *net_errstr(const net *conn);
/* Whether conn's abort word or abort check asks to stop (the check's procedure with timeout_ms). */
bool net_aborted(net *conn, int timeout_ms);

/* Plain socket transfers of a TCP connection (also the transport under TLS). */
int net_sock_read(net *conn, void *buf, int n);
int net_sock_write(net *conn, const void *buf, int n);

/* Waits up to timeout_ms for fd to become readable (events POLLIN) or writable (POLLOUT), in
 * slices of at most slice_ms, ending early when conn (may be null) is aborted. Returns 1 ready, 0
 * time-out, -70 aborted, -1 a failed wait (errno set). */
int net_wait_fd(net *conn, int fd, short events, int timeout_ms, int slice_ms);

/* TCP connect of host:port with the parameters; returns the connected non-blocking socket, or -1
 * with errp filled. A proxy in params takes the connect through it. */
int sock_tcp_connect(const char *host, int port, net_params *params, vperror *errp);
/* Resolves host (a name or an address literal) and port into *sa for the address family (AF_UNSPEC
 * for any) within timeout_ms (-1 no limit; a lookup runs on a helper thread, so a stalled resolver
 * never holds the caller beyond it), ending early when abort (may be null) asks. 0, or -1 with
 * errp filled: -2 "addrinfo_addr %s failed", -40 on time-out, -14 "connection aborted". */
int sock_resolve(const char *host, int port, int family, int timeout_ms, const net_abort_check *abort,
                 sockaddr_storage *sa, socklen_t *len, vperror *errp);
/* Listening TCP socket on host:port (port 0 picks a free port); the bound port goes to *port_out.
 * Returns the socket or -1 with errp filled. */
int sock_tcp_listen(const char *host, int port, int backlog, int *port_out, vperror *errp);
/* Waits up to timeout_ms (sliced by 300 ms, ending early when abort is set) for a connection on
 * listen_fd; returns its socket (non-blocking, TCP_NODELAY), or -1 with errp filled (-40 on
 * time-out, -70 when aborted). abort may be null. */
int sock_tcp_accept(int listen_fd, int timeout_ms, const std::atomic<int> *abort, vperror *errp);

/* Proxy selection: 0 with desc filled, 1 no proxy (desc untouched), -1 with errp filled. */
int conf_proxy_get(const char *proxy_url, const char *proxy_name, proxy_desc *desc, vperror *errp);
/* Reads section name of the proxy file into desc and its URL text into url_text (size bytes; the
 * password is in it: never log it unmasked). 0 or -1 with errp filled. */
int conf_proxy_load(const char *file, const char *name, proxy_desc *desc, char *url_text, size_t size,
                    vperror *errp);
/* Proxy name -> type: "http" 1, "socks4" 2, "socks5" 3; -1 with errp filled for anything else. */
int conf_proxy_2_id(const char *name, vperror *errp);
/* The proxy branch of sock_tcp_connect: connects to the proxy and runs its handshake for host:port.
 * Returns the tunnelled socket, or -1 with errp filled. */
int proxy_tcp_connect(const char *host, int port, net_params *params, vperror *errp);
/* The handshakes over an open connection to the proxy (exposed for tests). 0 or negative with
 * errp filled. */
int proxy_http_init(net *c, const char *host, int port, const proxy_desc *p, vperror *errp);
int proxy_sock4_init(net *c, const char *host, int port, const proxy_desc *p, vperror *errp);
int proxy_sock5_init(net *c, const char *host, int port, const proxy_desc *p, vperror *errp);
