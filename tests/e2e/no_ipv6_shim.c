/* Preloaded into call-audio by test_ipv6.py to play a kernel built without
 * IPv6: every AF_INET6 socket is refused the way such a kernel refuses it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol)
{
    static int (*real_socket)(int, int, int);
    if (domain == AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    if (!real_socket)
        real_socket = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
    return real_socket(domain, type, protocol);
}
