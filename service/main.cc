// call-audio: start-up and the accept loop.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "auth/auth.h"
#include "service/connections.h"
#include "service/log.h"
#include "service/request_loop.h"
#include "service/uplink.h"
#include "tls/tls.h"

namespace {

constexpr size_t kErrorSize = 256;

// Stack of every thread the service starts (connections and the reaper),
// set explicitly because the libc defaults differ by a factor of 64: glibc
// reserves 8 MiB per thread, musl (OpenWrt) gives 128 KiB. Measured with
// scripts/measure-stack (painted stacks, deepest use seen): a connection
// thread peaks at about 26 KiB (its TLS handshake, a stream or a post, and
// snd_pcm_open parsing Debian's full ALSA configuration), the reaper at
// about 15 KiB. 256 KiB leaves ten times that, for deeper ALSA
// configurations and for libc differences; on glibc only touched pages cost
// memory. Sanitizer builds need several times more. A build may set
// CALLAUDIO_THREAD_STACK_SIZE (bytes) to try other sizes.
#if defined(CALLAUDIO_THREAD_STACK_SIZE)
constexpr size_t kThreadStackSize = CALLAUDIO_THREAD_STACK_SIZE;
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kThreadStackSize = 1024 * 1024;
#else
constexpr size_t kThreadStackSize = 256 * 1024;
#endif

struct Settings {
    int32_t port = 9444;
    const char *cert_path = "/etc/vesk-manager-web/ssl/cert.pem";
    const char *key_path = "/etc/vesk-manager-web/ssl/key.pem";
};

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr, "usage: %s [--port N] [--cert PEM] [--key PEM] [--secret FILE]\n", argv0);
    exit(2);
}

// atoi's reading (leading blanks, a sign, digits up to the first other
// character, 0 without digits) without its undefined overflow; the value
// is not range-checked here, a port the bind cannot use fails there.
int32_t parse_port(const char *text)
{
    errno = 0;
    long v = strtol(text, nullptr, 10);
    if (v > INT32_MAX)
        v = INT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    return static_cast<int32_t>(v);
}

void parse_args(int argc, char **argv, Settings *s)
{
    for (int i = 1; i < argc; i += 2) {
        const char *word = argv[i];
        if (i + 1 >= argc)
            usage(argv[0]);
        const char *value = argv[i + 1];
        if (strcmp(word, "--cert") == 0)
            s->cert_path = value;
        else if (strcmp(word, "--key") == 0)
            s->key_path = value;
        else if (strcmp(word, "--port") == 0 && *value)
            s->port = parse_port(value);  // empty: the usage line, not a random port
        else if (strcmp(word, "--secret") == 0)
            secret_set_path(value);
        else
            usage(argv[0]);  // an unknown word, or an empty port
    }
}

bool start_detached(pthread_t *thread, void *(*fn)(void *), void *arg)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kThreadStackSize);
    bool ok = pthread_create(thread, &attr, fn, arg) == 0;
    pthread_attr_destroy(&attr);
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings;
    parse_args(argc, argv, &settings);

    // A peer that goes away must make writes fail, not end the process.
    signal(SIGPIPE, SIG_IGN);

    const int loaded = secret_load();
    if (loaded == kSecretNotRegular) {
        log_line("FATAL: auth secret %s is not a regular file; refusing to start", secret_path());
        return 1;
    }
    if (loaded != 0) {
        log_line("FATAL: no auth secret available; refusing to start");
        return 1;
    }
    if (const unsigned mode = secret_exposed_mode())
        log_line("warning: auth secret %s can be read by others (mode %03o)", secret_path(), mode);

    char err[kErrorSize] = {};
    TlsListener *listener = tls_listen(settings.port, settings.cert_path, settings.key_path,
                                       err, sizeof(err));
    if (!listener) {
        log_line("FATAL: listen on :%d failed: %s", settings.port, err);
        return 1;
    }
    log_line("listening on :%d (cert %s)", settings.port, settings.cert_path);
    log_line("cipher order: %s", tls_suite_order_text(listener->suite_order));

    pthread_t thread;
    // Without a reaper the service still works; an idle sink just stays open.
    start_detached(&thread, reaper_thread, nullptr);

    // The accept loop only accepts: each connection's thread runs its
    // handshake, so a silent or trickling client delays nobody else. The
    // number of connections is capped; when the table is full, a newcomer
    // has the one that has waited longest on its peer closed to make room.
    // Failures of one client are silent.
    for (;;) {
        TlsConnection *conn = tls_accept(listener, err, sizeof(err));
        if (!conn)
            continue;
        const int slot = connection_register(conn);
        if (slot < 0) {
            tls_close(conn);
            continue;
        }
        if (!start_detached(&thread, connection_thread, conn)) {
            connection_release(slot, conn);
            tls_close(conn);
        }
    }
}
