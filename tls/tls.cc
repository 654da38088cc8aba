#include "tls/tls.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mbedtls/error.h>

// Sessions on different connection threads draw from the one CTR-DRBG of
// the listener, and the service takes no lock of its own around it. That is
// safe only because the library's threading layer gives every DRBG context
// a mutex; a build without it would corrupt the generator under load.
#if !defined(MBEDTLS_THREADING_C) || !defined(MBEDTLS_THREADING_PTHREAD)
#error "mbed TLS must be built with MBEDTLS_THREADING_C and MBEDTLS_THREADING_PTHREAD"
#endif

namespace {

constexpr int kReadTimeoutMs = 20000;      // bounds handshakes and reads
constexpr useconds_t kAcceptRetryPauseUs = 20000;  // after a failed accept()
constexpr size_t kLibErrorTextSize = 128;  // mbedtls_strerror text
constexpr size_t kPortTextSize = 8;        // at most 7 characters
constexpr unsigned char kPersonalisation[] = {'v', 'e', 's', 'k', '-', 'c', 'a', 'l',
                                              'l', '-', 'a', 'u', 'd', 'i', 'o'};

__attribute__((format(printf, 3, 4))) void format_error(char *err, size_t err_size,
                                                         const char *fmt, ...)
{
    if (!err || err_size == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    // clang-analyzer misses the va_start just above.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(err, err_size, fmt, ap);
    va_end(ap);
}

bool would_block(int r) { return r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE; }

// Handshakes run one at a time on the accepting thread, so a burst of new
// clients (a page opening its connections, a reconnect storm) waits in the
// kernel's accept queue; the library's own backlog of 10 made the rest
// retry their SYN a second or more later.
constexpr int kListenBacklog = 128;

// Listens on every local address, IPv6 and IPv4 alike. mbedtls_net_bind
// without an address binds only the first wildcard getaddrinfo offers,
// which glibc lists IPv4 first, so a router's IPv6 LAN could not reach the
// service. One IPv6 socket with IPV6_V6ONLY off takes both families (IPv4
// clients arrive as ::ffff:a.b.c.d). A kernel without IPv6 refuses the
// socket, and then the library binds 0.0.0.0 as before. Returns 0 or an
// MBEDTLS_ERR_NET_* code, as mbedtls_net_bind does.
int bind_all_addresses(mbedtls_net_context *net, const char *port_text)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *list = nullptr;
    if (getaddrinfo(nullptr, port_text, &hints, &list) != 0)
        return MBEDTLS_ERR_NET_UNKNOWN_HOST;

    int fd = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (fd < 0) {
        freeaddrinfo(list);
        if (errno == EAFNOSUPPORT)
            return mbedtls_net_bind(net, "0.0.0.0", port_text, MBEDTLS_NET_PROTO_TCP);
        return MBEDTLS_ERR_NET_SOCKET_FAILED;
    }
    int one = 1;
    int zero = 0;
    int r = 0;
    // Systems that default net.ipv6.bindv6only to 1 would otherwise leave
    // IPv4 clients out.
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero)) != 0)
        r = MBEDTLS_ERR_NET_SOCKET_FAILED;
    else if (bind(fd, list->ai_addr, list->ai_addrlen) != 0)
        r = MBEDTLS_ERR_NET_BIND_FAILED;
    else if (listen(fd, kListenBacklog) != 0)
        r = MBEDTLS_ERR_NET_LISTEN_FAILED;
    freeaddrinfo(list);
    if (r != 0) {
        close(fd);
        return r;
    }
    net->fd = fd;  // closed by mbedtls_net_free with the listener
    return 0;
}

}  // namespace

void tls_error(char *err, size_t err_size, const char *step, int32_t code)
{
    char text[kLibErrorTextSize];
    mbedtls_strerror(code, text, sizeof(text));
    format_error(err, err_size, "%s: %s (-0x%04x)", step, text,
                 static_cast<unsigned>(-static_cast<int64_t>(code)));
}

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
    mbedtls_net_init(&l->net);
    mbedtls_ssl_config_init(&l->conf);
    mbedtls_entropy_init(&l->entropy);
    mbedtls_ctr_drbg_init(&l->drbg);
    mbedtls_x509_crt_init(&l->cert);
    mbedtls_pk_init(&l->key);

    const char *step = nullptr;
    int r;
    char port_text[kPortTextSize];
    snprintf(port_text, sizeof(port_text), "%d", static_cast<int>(port));

    // 1. Random generator, 2. certificate and key (before the bind),
    // 3. socket, 4. server configuration.
    if ((r = mbedtls_ctr_drbg_seed(&l->drbg, mbedtls_entropy_func, &l->entropy,
                                   kPersonalisation, sizeof(kPersonalisation))) != 0)
        step = "ctr_drbg_seed";
    else if ((r = mbedtls_x509_crt_parse_file(&l->cert, cert_path)) != 0)
        step = "load cert";  // also a positive count of unparsable certificates
    else if ((r = mbedtls_pk_parse_keyfile(&l->key, key_path, nullptr)) != 0)
        step = "load key";
    else if ((r = bind_all_addresses(&l->net, port_text)) != 0)
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
    return l;
}

void tls_listener_free(TlsListener *l)
{
    if (!l)
        return;
    mbedtls_net_free(&l->net);
    mbedtls_x509_crt_free(&l->cert);
    mbedtls_pk_free(&l->key);
    mbedtls_ssl_config_free(&l->conf);
    mbedtls_ctr_drbg_free(&l->drbg);
    mbedtls_entropy_free(&l->entropy);
    free(l);
}

TlsConnection *tls_accept(TlsListener *l, char *err, size_t err_size)
{
    auto *c = static_cast<TlsConnection *>(calloc(1, sizeof(TlsConnection)));
    if (!c) {
        format_error(err, err_size, "out of memory");
        return nullptr;
    }
    mbedtls_net_init(&c->net);
    mbedtls_ssl_init(&c->ssl);

    const char *step = "accept";
    int r = mbedtls_net_accept(&l->net, &c->net, nullptr, 0, nullptr);
    if (r != 0) {
        // accept() fails at once and keeps failing while the process is out
        // of descriptors (every connection holds one, and their number is
        // not limited); the caller tries again straight away, so pause here
        // rather than spin a core until a connection ends.
        usleep(kAcceptRetryPauseUs);
    }
    if (r == 0) {
        // Answers go out as a head and a body (and chunks as three pieces);
        // with Nagle's algorithm the second piece would wait for the
        // client's delayed ACK, about 40 ms a round trip. The bytes on the
        // wire are the same either way.
        int one = 1;
        setsockopt(c->net.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        step = "ssl_setup";
        r = mbedtls_ssl_setup(&c->ssl, &l->conf);
    }
    if (r == 0) {
        // Only the timed receive is given, so the read timeout of conf bounds
        // every wait for data, in the handshake as in later reads.
        mbedtls_ssl_set_bio(&c->ssl, &c->net, mbedtls_net_send, nullptr,
                            mbedtls_net_recv_timeout);
        step = "handshake";
        do {
            r = mbedtls_ssl_handshake(&c->ssl);
        } while (would_block(r));
    }
    if (r != 0) {
        tls_error(err, err_size, step, r);
        tls_close(c);
        return nullptr;
    }
    return c;
}

int32_t tls_read(TlsConnection *c, unsigned char *dst, size_t cap)
{
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
    const auto *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        int r;
        do {
            r = mbedtls_ssl_write(&c->ssl, p, len);
        } while (would_block(r));
        if (r <= 0)
            return -1;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return 0;
}

void tls_close(TlsConnection *c)
{
    if (!c)
        return;
    mbedtls_ssl_close_notify(&c->ssl);
    mbedtls_ssl_free(&c->ssl);
    mbedtls_net_free(&c->net);
    free(c);
}
