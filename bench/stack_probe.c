/* Stack measurement for call-audio's threads. Preloaded into the service,
 * it gives every thread the service starts a stack of the size the service
 * asked for, painted with a byte pattern and with a guard page below it, and
 * records how deep the thread went: when the thread's function returns, and
 * for threads still running when the process gets SIGTERM. One line per
 * thread is appended to $STACK_PROBE_LOG:
 *   stack_probe: <pid> used <bytes> of <size> (<ended|running>)
 * Used by scripts/measure-stack; never linked into the service. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

enum { kPaint = 0xa5, kMaxThreads = 4096 };

struct probe {
    void *(*fn)(void *);
    void *arg;
    unsigned char *lo; /* lowest usable byte; the stack grows down to it */
    size_t size;
    volatile int done;
};

static struct probe *g_probes[kMaxThreads];
static volatile int g_count;

static void report(struct probe *p, const char *state)
{
    size_t untouched = 0;
    while (untouched < p->size && p->lo[untouched] == kPaint)
        untouched++;
    char line[160];
    int n = snprintf(line, sizeof(line), "stack_probe: %d used %zu of %zu (%s)\n", (int)getpid(),
                     p->size - untouched, p->size, state);
    const char *path = getenv("STACK_PROBE_LOG");
    int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT, 0644) : 2;
    if (fd >= 0 && n > 0) {
        ssize_t w = write(fd, line, (size_t)n);
        (void)w;
    }
    if (path && fd >= 0)
        close(fd);
}

static void *trampoline(void *arg)
{
    struct probe *p = arg;
    void *r = p->fn(p->arg);
    report(p, "ended");
    p->done = 1;
    return r;
}

static void on_term(int sig)
{
    int n = g_count < kMaxThreads ? g_count : kMaxThreads;
    for (int i = 0; i < n; i++)
        if (g_probes[i] && !g_probes[i]->done)
            report(g_probes[i], "running");
    signal(sig, SIG_DFL);
    raise(sig);
}

__attribute__((constructor)) static void install(void) { signal(SIGTERM, on_term); }

int pthread_create(pthread_t *t, const pthread_attr_t *attr, void *(*fn)(void *), void *arg)
{
    static int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    if (!real)
        real = (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(
            RTLD_NEXT, "pthread_create");
    size_t size = 8u << 20;
    int detach = PTHREAD_CREATE_JOINABLE;
    if (attr) {
        pthread_attr_getstacksize(attr, &size);
        pthread_attr_getdetachstate(attr, &detach);
    }
    long page = sysconf(_SC_PAGESIZE);
    size = (size + (size_t)page - 1) & ~((size_t)page - 1);
    unsigned char *map = mmap(NULL, size + (size_t)page, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    struct probe *p = calloc(1, sizeof(*p));
    if (map == MAP_FAILED || !p)
        return real(t, attr, fn, arg);
    mprotect(map, (size_t)page, PROT_NONE); /* an overflow faults at once */
    p->fn = fn;
    p->arg = arg;
    p->lo = map + page;
    p->size = size;
    memset(p->lo, kPaint, size);
    int slot = __sync_fetch_and_add(&g_count, 1);
    if (slot < kMaxThreads)
        g_probes[slot] = p;

    pthread_attr_t own;
    pthread_attr_init(&own);
    pthread_attr_setdetachstate(&own, detach);
    pthread_attr_setstack(&own, p->lo, size);
    int r = real(t, &own, trampoline, p);
    pthread_attr_destroy(&own);
    return r;
}
