#include "tls/tls.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mbedtls/net_sockets.h>  // the MBEDTLS_ERR_NET_* codes
#include <mbedtls/version.h>
#if MBEDTLS_VERSION_MAJOR >= 3
#include <psa/crypto.h>
#endif

#include "base/clock.h"
#include "tls/error.h"
#include "tls/policy.h"

using tls::format_error;

// Sessions on different connection threads draw from the one CTR-DRBG of
// the listener and write and read tickets with its one ticket context, and
// the service takes no lock of its own around them. That is safe only
// because the library's threading layer gives every DRBG and ticket context
// a mutex (and, on 3.6, guards the PSA key store that TLS 1.3 uses); a
// build without it would corrupt the generator under load.
#if !defined(MBEDTLS_THREADING_C) || !defined(MBEDTLS_THREADING_PTHREAD)
#error "mbed TLS must be built with MBEDTLS_THREADING_C and MBEDTLS_THREADING_PTHREAD"
#endif

namespace {

constexpr int kReadTimeoutMs = 20000;      // bounds every wait for data
constexpr int kWriteTimeoutMs = 20000;     // a write that cannot progress this long fails
constexpr double kHandshakeSeconds = 20.0; // from the accept to an established session
// A phase's deadline tightens the socket's receive time-out only when it
// has come this much closer than what is set, so a phase whose data comes
// in one or two reads costs no extra system call, and no read overruns its
// deadline by more than this.
constexpr int kRearmSlackMs = 250;
constexpr useconds_t kAcceptRetryPauseUs = 20000;  // after a failed accept()
constexpr size_t kPortTextSize = 8;        // at most 7 characters
constexpr unsigned char kPersonalisation[] = {'v', 'e', 's', 'k', '-', 'c', 'a', 'l',
                                              'l', '-', 'a', 'u', 'd', 'i', 'o'};
// Accepting is quick (handshakes run on the connection threads), but a
// burst of new clients (a page opening its connections, a reconnect storm)
// still queues here; the library's own backlog of 10 made the rest retry
// their SYN a second or more later.
constexpr int kListenBacklog = 128;

bool would_block(int r) { return r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE; }

int set_timeout(int fd, int option, int ms)
{
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv));
}

// Listening socket of one family on all its addresses. Returns the socket
// or -1 with errno set; `*code` gets the MBEDTLS_ERR_NET_* code of the step
// that failed.
int listen_socket(int family, const char *port_text, int *code)
{
    addrinfo hints = {};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *list = nullptr;
    if (getaddrinfo(nullptr, port_text, &hints, &list) != 0) {
        *code = MBEDTLS_ERR_NET_UNKNOWN_HOST;
        errno = EINVAL;
        return -1;
    }
    int fd = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    if (fd < 0) {
        int saved = errno;
        freeaddrinfo(list);
        *code = MBEDTLS_ERR_NET_SOCKET_FAILED;
        errno = saved;
        return -1;
    }
    int one = 1;
    int zero = 0;
    *code = 0;
    // Systems that default net.ipv6.bindv6only to 1 would otherwise leave
    // IPv4 clients out of the IPv6 socket.
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        (family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero)) != 0))
        *code = MBEDTLS_ERR_NET_SOCKET_FAILED;
    else if (bind(fd, list->ai_addr, list->ai_addrlen) != 0)
        *code = MBEDTLS_ERR_NET_BIND_FAILED;
    else if (listen(fd, kListenBacklog) != 0)
        *code = MBEDTLS_ERR_NET_LISTEN_FAILED;
    freeaddrinfo(list);
    if (*code != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Listens on every local address, IPv6 and IPv4 alike: one IPv6 socket with
// IPV6_V6ONLY off takes both families (IPv4 clients arrive as
// ::ffff:a.b.c.d), so a router's IPv6 LAN reaches the service too. A kernel
// without IPv6 refuses that socket, and then an IPv4 socket with the same
// backlog is used. Returns 0 or an MBEDTLS_ERR_NET_* code.
int bind_all_addresses(TlsListener *l, const char *port_text)
{
    int code = 0;
    l->fd = listen_socket(AF_INET6, port_text, &code);
    if (l->fd < 0 && code == MBEDTLS_ERR_NET_SOCKET_FAILED && errno == EAFNOSUPPORT)
        l->fd = listen_socket(AF_INET, port_text, &code);
    return l->fd < 0 ? code : 0;
}

// The EC private key's group builds its table of multiples of the base
// point on the first signature and stores it in the shared key. Handshakes
// run on many threads at once, so that first signature is made here, before
// any thread exists; afterwards the table is only read. (An RSA key's
// blinding values have the library's own mutex.)
int warm_private_key(TlsListener *l)
{
    unsigned char hash[32] = {1};
    unsigned char sig[MBEDTLS_PK_SIGNATURE_MAX_SIZE];
    size_t sig_len = 0;
#if MBEDTLS_VERSION_MAJOR >= 3
    return mbedtls_pk_sign(&l->key, MBEDTLS_MD_SHA256, hash, sizeof(hash), sig, sizeof(sig),
                           &sig_len, mbedtls_ctr_drbg_random, &l->drbg);
#else
    return mbedtls_pk_sign(&l->key, MBEDTLS_MD_SHA256, hash, sizeof(hash), sig, &sig_len,
                           mbedtls_ctr_drbg_random, &l->drbg);
#endif
}

// 0 when the private key is the one whose public half the certificate
// carries.
int check_key_pair(TlsListener *l)
{
#if MBEDTLS_VERSION_MAJOR >= 3
    return mbedtls_pk_check_pair(&l->cert.pk, &l->key, mbedtls_ctr_drbg_random, &l->drbg);
#else
    return mbedtls_pk_check_pair(&l->cert.pk, &l->key);
#endif
}

// Sets the socket's receive time-out to what is left of the phase, capped
// at the read time-out. Returns false when the deadline has passed.
bool arm_receive_timeout(TlsConnection *c)
{
    int want = kReadTimeoutMs;
    if (c->deadline > 0.0) {
        double left_ms = (c->deadline - monotonic_seconds()) * 1000.0;
        if (left_ms < 1.0)
            return false;
        if (left_ms < want)
            want = static_cast<int>(left_ms);
    }
    if (want < c->armed_ms - kRearmSlackMs || want > c->armed_ms) {
        if (set_timeout(c->fd, SO_RCVTIMEO, want) == 0)
            c->armed_ms = want;
    }
    return true;
}

int net_error(int e, int fallback)
{
    if (e == EAGAIN || e == EWOULDBLOCK)
        return MBEDTLS_ERR_SSL_TIMEOUT;  // the socket's time-out ran out
    if (e == EPIPE || e == ECONNRESET)
        return MBEDTLS_ERR_NET_CONN_RESET;
    return fallback;
}

// The library's receive callback: serves the read-ahead first; otherwise
// one recv(), into the caller's buffer when it wants at least a read-ahead's
// worth, else into the read-ahead. 0 is the peer's end of stream.
int receive(void *ctx, unsigned char *buf, size_t len)
{
    auto *c = static_cast<TlsConnection *>(ctx);
    if (c->ahead_pos < c->ahead_end) {
        size_t n = c->ahead_end - c->ahead_pos;
        if (n > len)
            n = len;
        memcpy(buf, c->ahead + c->ahead_pos, n);
        c->ahead_pos += n;
        return static_cast<int>(n);
    }
    if (!arm_receive_timeout(c))
        return MBEDTLS_ERR_SSL_TIMEOUT;
    const bool direct = len >= sizeof(c->ahead);
    for (;;) {
        ssize_t r = direct ? recv(c->fd, buf, len, 0) : recv(c->fd, c->ahead, sizeof(c->ahead), 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return net_error(errno, MBEDTLS_ERR_NET_RECV_FAILED);
        if (direct || r == 0)
            return static_cast<int>(r);
        size_t n = static_cast<size_t>(r) < len ? static_cast<size_t>(r) : len;
        memcpy(buf, c->ahead, n);
        c->ahead_pos = n;
        c->ahead_end = static_cast<size_t>(r);
        return static_cast<int>(n);
    }
}

// The library's send callback. SO_SNDTIMEO makes a send that cannot queue a
// single byte for 20 s fail, which ends the connection.
int transmit(void *ctx, const unsigned char *buf, size_t len)
{
    auto *c = static_cast<TlsConnection *>(ctx);
    for (;;) {
        ssize_t r = send(c->fd, buf, len, MSG_NOSIGNAL);
        if (r >= 0)
            return static_cast<int>(r);
        if (errno != EINTR)
            return net_error(errno, MBEDTLS_ERR_NET_SEND_FAILED);
    }
}

}  // namespace

TlsListener *tls_listen(int32_t port, const char *cert_path, const char *key_path,
                        char *err, size_t err_size)
{
    auto *l = static_cast<TlsListener *>(calloc(1, sizeof(TlsListener)));
    if (!l) {
        format_error(err, err_size, "out of memory");
        return nullptr;
    }
    // Every context is initialised first so that one tls_listener_free can
    // undo a listener that failed at any step.
    l->fd = -1;
    mbedtls_ssl_config_init(&l->conf);
    mbedtls_entropy_init(&l->entropy);
    mbedtls_ctr_drbg_init(&l->drbg);
    mbedtls_x509_crt_init(&l->cert);
    mbedtls_pk_init(&l->key);
    mbedtls_ssl_ticket_init(&l->ticket);

    const char *step = nullptr;
    int r;
    char port_text[kPortTextSize];
    snprintf(port_text, sizeof(port_text), "%d", static_cast<int>(port));

    // The first step to fail names the error. The generator comes first
    // because parsing a key and signing with it draw on it; the certificate
    // and key are loaded before the bind, so a bad file never leaves a
    // bound port; the server configuration, policy and tickets come last.
#if MBEDTLS_VERSION_MAJOR >= 3
    // TLS 1.3 and the 3.x key code run on PSA, which must be set up once,
    // before the first handshake; here no other thread exists yet.
    if ((r = static_cast<int>(psa_crypto_init())) != 0)
        step = "psa_crypto_init";
    else if ((r = mbedtls_ctr_drbg_seed(&l->drbg, mbedtls_entropy_func, &l->entropy,
                                        kPersonalisation, sizeof(kPersonalisation))) != 0)
#else
    if ((r = mbedtls_ctr_drbg_seed(&l->drbg, mbedtls_entropy_func, &l->entropy,
                                   kPersonalisation, sizeof(kPersonalisation))) != 0)
#endif
        step = "ctr_drbg_seed";
    else if ((r = mbedtls_x509_crt_parse_file(&l->cert, cert_path)) != 0)
        step = "load cert";  // also a positive count of unparsable certificates
#if MBEDTLS_VERSION_MAJOR >= 3
    // 3.x may compute an EC key's public point while parsing, blinded
    // with numbers from the generator.
    else if ((r = mbedtls_pk_parse_keyfile(&l->key, key_path, nullptr, mbedtls_ctr_drbg_random,
                                           &l->drbg)) != 0)
#else
    else if ((r = mbedtls_pk_parse_keyfile(&l->key, key_path, nullptr)) != 0)
#endif
        step = "load key";
    // A key that belongs to another certificate would fail every handshake
    // of a service that otherwise looks healthy.
    else if ((r = check_key_pair(l)) != 0)
        step = "key does not match certificate";
    else if ((r = warm_private_key(l)) != 0)
        step = "load key";
    else if ((r = bind_all_addresses(l, port_text)) != 0)
        step = "bind";
    else if ((r = mbedtls_ssl_config_defaults(&l->conf, MBEDTLS_SSL_IS_SERVER,
                                              MBEDTLS_SSL_TRANSPORT_STREAM,
                                              MBEDTLS_SSL_PRESET_DEFAULT)) != 0)
        step = "config_defaults";
    else {
        mbedtls_ssl_conf_rng(&l->conf, mbedtls_ctr_drbg_random, &l->drbg);
        mbedtls_ssl_conf_read_timeout(&l->conf, kReadTimeoutMs);
        if ((r = mbedtls_ssl_conf_own_cert(&l->conf, &l->cert, &l->key)) != 0)
            step = "conf_own_cert";
    }
    if (step) {
        tls_error(err, err_size, step, r);
        tls_listener_free(l);
        return nullptr;
    }
    // These two write their own "policy: ..." or "ticket_setup: ..." line.
    l->suite_order = tls_suite_order(tls_cpu_report());
    if (tls_policy_apply(&l->conf, l->suite_order, err, err_size) != 0 ||
        tls_tickets_setup(&l->conf, &l->ticket, mbedtls_ctr_drbg_random, &l->drbg, err,
                          err_size) != 0) {
        tls_listener_free(l);
        return nullptr;
    }
    return l;
}

void tls_listener_free(TlsListener *l)
{
    if (!l)
        return;
    if (l->fd >= 0)
        close(l->fd);
    mbedtls_x509_crt_free(&l->cert);
    mbedtls_pk_free(&l->key);
    mbedtls_ssl_config_free(&l->conf);
    mbedtls_ssl_ticket_free(&l->ticket);
    mbedtls_ctr_drbg_free(&l->drbg);
    mbedtls_entropy_free(&l->entropy);
    free(l);
}

TlsConnection *tls_accept(TlsListener *l, char *err, size_t err_size)
{
    int fd;
    do {
        fd = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // accept() fails at once and keeps failing while the process is out
        // of descriptors; the caller tries again straight away, so pause
        // here rather than spin a core until a connection ends.
        int saved = errno;
        usleep(kAcceptRetryPauseUs);
        tls_error(err, err_size, "accept", net_error(saved, MBEDTLS_ERR_NET_ACCEPT_FAILED));
        return nullptr;
    }
    auto *c = static_cast<TlsConnection *>(calloc(1, sizeof(TlsConnection)));
    if (!c) {
        close(fd);
        format_error(err, err_size, "out of memory");
        return nullptr;
    }
    c->fd = fd;
    c->conf = &l->conf;
    mbedtls_ssl_init(&c->ssl);
    c->deadline = monotonic_seconds() + kHandshakeSeconds;
    // Small answers and chunks go out as they are made; with Nagle's
    // algorithm one would wait for the client's delayed ACK, about 40 ms.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    set_timeout(fd, SO_SNDTIMEO, kWriteTimeoutMs);
    if (set_timeout(fd, SO_RCVTIMEO, kReadTimeoutMs) == 0)
        c->armed_ms = kReadTimeoutMs;
    return c;
}

int tls_handshake(TlsConnection *c, char *err, size_t err_size)
{
    int r = mbedtls_ssl_setup(&c->ssl, c->conf);
    if (r != 0) {
        tls_error(err, err_size, "ssl_setup", r);
        return -1;
    }
    // Our callbacks bound every wait; the library's timed receive is not
    // used, so its read time-out setting plays no part here.
    mbedtls_ssl_set_bio(&c->ssl, c, transmit, receive, nullptr);
    do {
        r = mbedtls_ssl_handshake(&c->ssl);
    } while (would_block(r));
    if (r != 0) {
        tls_error(err, err_size, "handshake", r);
        return -1;
    }
    c->deadline = 0.0;
    return 0;
}

void tls_deadline(TlsConnection *c, double seconds)
{
    c->deadline = seconds > 0.0 ? monotonic_seconds() + seconds : 0.0;
}

int32_t tls_read(TlsConnection *c, unsigned char *dst, size_t cap)
{
    if (c->dead)
        return -1;
    int r;
    do {
        r = mbedtls_ssl_read(&c->ssl, dst, cap);
    } while (would_block(r));
    if (r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY)
        return 0;
    if (r == MBEDTLS_ERR_SSL_TIMEOUT)
        return -2;
    if (r < 0)
        return -1;
    return r;
}

int tls_write_all(TlsConnection *c, const void *data, size_t len)
{
    if (c->dead)
        return -1;
    const auto *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        int r;
        do {
            r = mbedtls_ssl_write(&c->ssl, p, len);
        } while (would_block(r));
        if (r <= 0) {
            c->dead = true;
            return -1;
        }
        p += r;
        len -= static_cast<size_t>(r);
    }
    return 0;
}

long tls_unsent_bytes(const TlsConnection *c)
{
    int unsent = 0;
    if (ioctl(c->fd, SIOCOUTQNSD, &unsent) != 0)
        return -1;
    return unsent;
}

void tls_abort(const TlsConnection *c)
{
    shutdown(c->fd, SHUT_RDWR);
}

void tls_close(TlsConnection *c)
{
    if (!c)
        return;
    // The library sends the alert only for an established session. The
    // socket goes non-blocking first: the alert is sent if it fits, never
    // waited for, since the connection's place in the table is held until
    // this close returns.
    if (!c->dead) {
        if (c->fd >= 0)
            fcntl(c->fd, F_SETFL, O_NONBLOCK);
        mbedtls_ssl_close_notify(&c->ssl);
    }
    mbedtls_ssl_free(&c->ssl);
    if (c->fd >= 0)
        close(c->fd);
    free(c);
}
