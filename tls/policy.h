// What the service's TLS offers and accepts: protocol versions, cipher
// suites, key-exchange groups, signature algorithms and session tickets.
// The lists live in policy.cc, each with its reason, for both mbed TLS
// lines the service builds against (2.28 and 3.6).
//
// Threads: both calls run once, in tls_listen, before any session exists.
#pragma once

#include <cstddef>

#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ticket.h>

// Sets versions, suites, groups and signature algorithms on a server
// `conf` already given its defaults. The library keeps pointers to the
// lists, which are static. Returns 0, or -1 with "policy: <library text>
// (-0x....)" in `err` when this build of the library has none of the
// policy's suites or groups (no client could ever complete a handshake).
int tls_policy_apply(mbedtls_ssl_config *conf, char *err, size_t err_size);

// Keys `ticket` (initialised with mbedtls_ssl_ticket_init by the caller,
// who also frees it after every session) from the random generator and
// hands it to `conf`, so clients resume with an abbreviated handshake.
// The generator must be safe to call from any thread: the ticket module
// draws new keys from it on whichever connection thread rotates them.
// Returns 0, or -1 with "ticket_setup: <library text> (-0x....)" in `err`.
int tls_tickets_setup(mbedtls_ssl_config *conf, mbedtls_ssl_ticket_context *ticket,
                      int (*f_rng)(void *, unsigned char *, size_t), void *p_rng,
                      char *err, size_t err_size);
