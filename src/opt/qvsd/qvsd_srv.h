#pragma once
/* The file service's server side: the export configuration shared by every session, the accounts
 * file, and the frame loop of one client session.
 *
 * A session reads request frames with the shared wire decoder and answers each (except exit) with
 * exactly one reply frame that carries "errno" and "errno_str". Every path a client names is a
 * path below the exported root and reaches the tree only through the local endpoint, which
 * resolves it beneath the root's descriptor without following a link in any component.
 *
 * Tree requests (the remote endpoint's slots) run the local endpoint's operation of the same name
 * on the export: set times, remove, remove a tree, set attributes, create, make directories, hard
 * link, rename, extended attributes, owner lookups, the next data of a file, block digests and a
 * whole-file digest on an open file. Paths in their argument texts are escaped export paths.
 *
 * The server-side walk: one per session. Opening a walk closes the one before it; the walk is
 * closed when the session ends. Its output is the listing text of the local listing engine for the
 * client's root: generation-2 "O" lines name directories relative to the walked root ("/" for
 * it), exactly as a local listing does, so the server's own path never reaches the client. A
 * directory asked for later (ioctl2 10122) must lie at or below the walked root. A read waits at
 * most the client's read time-out (capped at 10 minutes) and gives empty data when nothing came.
 * The walk keeps at most a few MiB of listing text queued: for a client that does not read, it
 * pauses there and goes on when the client reads; it ends with the session or the server.
 *
 * Multi-block transfers (ioctl2 10501, 10502) and block digests (10503) work on an open file:
 * at most 8 MiB in at most 4096 blocks per transfer, at most 65536 digests of blocks of up to
 * 16 MiB per request. A multi-block write is checked and unpacked whole before it writes. A
 * request larger than the server reads (past the largest multi-block write) ends the session.
 *
 * The output lock (ioctl2 10505) is an exclusive advisory lock (flock) on a directory of the
 * export, the same lock a local run takes on its root, so remote sessions and runs on the server's
 * own host exclude each other. The session that took it holds it until it sends the release form
 * or ends; taking it again in that session only renews the holder's text. Another session gets
 * errno -115 and, as reply data, the holder's text ("" when the holder is a run on the server's
 * host). Releasing a lock the session does not hold succeeds and changes nothing.
 *
 * read_only: open for writing, write, set length, close with attributes and every tree request
 * that changes the tree answer -38 (close with attributes still closes the file). The output lock
 * changes nothing on disk and is served.
 * keep_special: without it a request to create a character or block device answers -38, and the
 * set-user-ID and set-group-ID bits of every mode a client sends are dropped.
 *
 * Error texts name paths as the client knows them: the export's own location on the host is
 * replaced by the export path before a reply leaves.
 *
 * Threads: the configuration is read-only once the listeners start and is shared by all sessions;
 * each session runs on its own thread and shares nothing else but the table of output-lock holders
 * (guarded by its own mutex). The stop word may be set from any thread (a signal handler
 * included). */
#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "libnet/net.h"
#include "libpal/comm/verr.h"

struct ep;

/* What protocol byte, and so which login, the server speaks. */
enum : uint8_t {
  QVSD_SRV_LOGIN_PASSWORD = 1, /* command 1 with the "{SHA}" digest of the password */
  QVSD_SRV_LOGIN_KEY = 2,      /* challenge (command 90) and key (command 91) */
};

/* Version the server announces; it decides which requests clients send. */
#define QVSD_SRV_VERSION "1.9.0"

struct qvsd_srv_conf {
  ep *root = nullptr;          /* the exported tree, opened on root= */
  std::string root_path;       /* the root as the local endpoint normalised it */
  std::map<std::string, std::string> users; /* name -> password */
  bool anonymous = false;      /* the probe login is enough */
  uint8_t proto = QVSD_SRV_LOGIN_KEY;
  std::string log_file;        /* announced in the information reply */
  int idle_timeout_ms = 600000;
  int fail_delay_ms = 500;     /* pause before a failed login is answered */
  bool read_only = false;      /* requests that change the tree are refused (-38) */
  bool keep_special = false;   /* device nodes are created, set-user/group-ID bits kept */
};

/* Reads an accounts file: one "name:password" per line, "#" comments and blank lines skipped,
 * each line split at its first ":". A file that group or others may read is refused. 0, or -1
 * with err filled. The passwords never reach a log line. */
int qvsd_srv_users_load(const char *file, std::map<std::string, std::string> *users, vperror *err);

/* Runs one session on conn (plain or after the TLS handshake) until the client exits, the
 * connection breaks, the idle time runs out or *stop is set. peer names the client in log lines.
 * conn stays open (the caller closes it). Returns the number of requests served. */
int64_t qvsd_srv_session(const qvsd_srv_conf *conf, net *conn, const char *peer, bool tls,
                         const std::atomic<int> *stop);

/* Answers the first request of a connection the server will not serve with one error reply
 * (errno code, text); waits a few seconds at most for that request. */
void qvsd_srv_refuse(const qvsd_srv_conf *conf, net *conn, const char *peer, int32_t code, const char *text,
                     const std::atomic<int> *stop);
