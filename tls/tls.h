// TLS transport over mbed TLS: the process's listening context and one
// session per client, on blocking sockets of our own.
//
// Every wait has a clock. A read waits at most 20 s for data, and less when
// the caller has set a deadline for the phase it is in (a handshake, a
// request head, a body); a write that cannot make progress for 20 s fails.
//
// Threads: tls_listen runs once at start-up; tls_accept only on the accept
// loop's thread; a TlsConnection is then used by one thread at a time (its
// connection thread), except for tls_abort, which any thread may call while
// the connection is alive.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ticket.h>
#include <mbedtls/x509_crt.h>

#include "tls/policy.h"

// Bytes read from the socket ahead of what the library asked for, so that a
// record's 5-byte header and its body usually arrive in one recv(). Holds a
// whole browser request (head and a 20 ms post) in one record.
constexpr size_t kTlsReadAheadSize = 4096;

struct TlsListener {
    int fd;                          // listening TCP socket (IPv6 dual-stack or IPv4)
    mbedtls_ssl_config conf;         // shared by every session, read-only once built
    mbedtls_entropy_context entropy; // seeds drbg
    mbedtls_ctr_drbg_context drbg;   // shared by every session (see tls.cc)
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;          // shared; its lazy tables are built in tls_listen
    mbedtls_ssl_ticket_context ticket;  // session-ticket keys, in memory only (see policy.h)
    TlsSuiteOrder suite_order;       // decided once from this CPU (see policy.h)
};

struct TlsConnection {
    int fd;                   // the client's TCP socket; fixed from accept to close
    const mbedtls_ssl_config *conf;  // the listener's, which outlives every connection
    mbedtls_ssl_context ssl;  // set up on conf by tls_handshake
    double deadline;          // monotonic seconds ending the current phase; 0: none
    int armed_ms;             // receive time-out now set on the socket
    bool dead;                // a write failed: no further read, write or close-notify
    size_t ahead_pos;         // unread read-ahead bytes are ahead[ahead_pos, ahead_end)
    size_t ahead_end;
    unsigned char ahead[kTlsReadAheadSize];
};

// Builds the listener: loads certificate and key (before binding, so a bad
// file never leaves a bound port), binds `port` on all local addresses (one
// dual-stack IPv6 socket, or IPv4 alone on a kernel without IPv6) and
// configures a TLS server. Returns a record owned by the caller (freed with
// tls_listener_free), or null with "<step>: <library text> (-0x....)" in
// `err`.
TlsListener *tls_listen(int32_t port, const char *cert_path, const char *key_path,
                        char *err, size_t err_size);
// Accepts null.
void tls_listener_free(TlsListener *listener);
// Blocks until a client connects and returns its connection, not yet
// handshaken, owned by the caller (released with tls_close); null with a
// message in `err` when accept() or the allocation fails. The 20 s budget
// of the handshake starts here.
TlsConnection *tls_accept(TlsListener *listener, char *err, size_t err_size);
// Runs the TLS handshake, on the connection's own thread. It must end
// within 20 s of the accept, however the client spaces its bytes. 0 when
// the session is up; -1 with "ssl_setup: ..." or "handshake: ..." in `err`.
int tls_handshake(TlsConnection *conn, char *err, size_t err_size);
// Bounds the phase that starts now: every read from here on fails as a
// time-out once `seconds` have passed. 0 or less ends the phase (reads are
// then bounded by the 20 s read time-out alone).
void tls_deadline(TlsConnection *conn, double seconds);
// One read of at most `cap` bytes: >0 bytes read; 0 the peer closed; -2 no
// data within the read time-out or the phase's deadline; -1 any other
// failure.
int32_t tls_read(TlsConnection *conn, unsigned char *dst, size_t cap);
// 0 when every byte went to the session, -1 on failure (a write that could
// not progress for 20 s included). One call of up to 16384 bytes is one
// TLS record. A failed write leaves the session dead: every later read and
// write fails at once and the close sends no close-notify, so a peer that
// stopped reading costs one write time-out, not one per call.
int tls_write_all(TlsConnection *conn, const void *data, size_t len);
// Bytes written to the socket that the kernel has not sent yet (waiting for
// the peer's window), or -1 when that cannot be read.
long tls_unsent_bytes(const TlsConnection *conn);
// Wakes the connection's thread out of any blocking read or write, which
// then fails; the thread still closes the connection. Safe from any thread
// while the connection is alive.
void tls_abort(const TlsConnection *conn);
// Sends close-notify (once, result ignored, and only if the socket takes it
// at once: a peer that does not read cannot hold the close) when a session
// is up and not dead, closes the socket and frees the record. Accepts null.
void tls_close(TlsConnection *conn);
