#pragma once
/* The server's state directory (state_dir=): the TLS key and certificate that the server makes when
 * it is given none, kept so that the fingerprint clients pinned stays the same across restarts.
 *
 * The directory holds QVSD_STATE_KEY (mode 0600) and QVSD_STATE_CERT. Each is written to a
 * temporary name in the directory, synced and renamed into place, the certificate before the key:
 * a start that is cut short leaves either both files, or a certificate alone, which the next start
 * replaces. A stored key is loaded only from a regular file (not a link) that neither group nor
 * others may read or write, so a copy others could use is refused rather than served. */
#include "libpal/comm/verr.h"

struct ssl_srv;

#define QVSD_STATE_KEY "tls_key.pem"
#define QVSD_STATE_CERT "tls_cert.pem"

/* The TLS server of the stored key and certificate under dir, or of a new pair that is stored
 * there first. backend: null for the default one. Null with err filled when dir is missing, not a
 * directory, writable by group or others, the stored key is open to group or others, its
 * certificate is missing, they do not load, or a new pair cannot be stored. The key's text is
 * overwritten before its memory is freed and never reaches a log line. */
ssl_srv *qvsd_state_tls(const char *dir, const char *backend, vperror *err);
