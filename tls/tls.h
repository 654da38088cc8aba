// TLS transport over mbed TLS 2.28: the process's listening context and one
// session per client. Sockets are blocking; every wait for incoming data
// (handshake or read) ends after at most 20 seconds.
//
// Threads: tls_listen runs once at start-up; tls_accept only on the accept
// loop's thread; a TlsConnection is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

struct TlsListener {
    mbedtls_net_context net;         // listening TCP socket
    mbedtls_ssl_config conf;         // shared by every session
    mbedtls_entropy_context entropy; // seeds drbg
    mbedtls_ctr_drbg_context drbg;   // shared by every session (see tls.cc)
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
};

struct TlsConnection {
    mbedtls_net_context net;  // the client's TCP socket
    mbedtls_ssl_context ssl;  // set up on the listener's conf
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
// Blocks until a client connects and completes its handshake. Returns a new
// connection owned by the caller (released with tls_close), or null with a
// message in `err`.
TlsConnection *tls_accept(TlsListener *listener, char *err, size_t err_size);
// One read of at most `cap` bytes: >0 bytes read; 0 the peer closed; -2 no
// data within the 20 s read timeout; -1 any other failure.
int32_t tls_read(TlsConnection *conn, unsigned char *dst, size_t cap);
// 0 when every byte went to the session, -1 on failure.
int tls_write_all(TlsConnection *conn, const void *data, size_t len);
// Sends close-notify (once, result ignored), closes the socket and frees the
// record. Accepts null.
void tls_close(TlsConnection *conn);
// "<step>: <library text> (-0x<code>)" into `err`.
void tls_error(char *err, size_t err_size, const char *step, int32_t code);
