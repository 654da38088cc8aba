// The table of live connections: a constant cap on their number, and room
// made for a new client by closing the connection that has waited longest
// on its peer.
#include "service/connections.h"

#include <cerrno>
#include <ctime>

#include "base/clock.h"
#include "service/lock.h"
#include "tls/tls.h"

namespace {

// How long the accept loop waits for a closed connection's thread to give
// its place back before it looks again. Closing wakes that thread at once,
// so this only matters when every place is busy with real work.
constexpr long kRoomWaitNs = 200L * 1000 * 1000;

struct Slot {
    const TlsConnection *conn;  // null: free
    bool waiting;               // blocked on its peer (handshake or a head)
    bool closing;               // tls_abort already called
    double since;               // monotonic seconds the current wait began
};

// `g_mutex` guards every field below. A slot's connection is aborted only
// while it is registered, and its thread releases the slot before closing
// the socket, so tls_abort never touches a closed or reused descriptor.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_released = PTHREAD_COND_INITIALIZER;
Slot g_slots[kMaxConnections];
size_t g_used = 0;

// The registered slot of `conn`, or null; with the mutex held. The index
// comes from the connection's own thread, so a wrong one is only checked.
Slot *at(int slot, const TlsConnection *conn)
{
    if (slot < 0 || static_cast<size_t>(slot) >= kMaxConnections || g_slots[slot].conn != conn)
        return nullptr;
    return &g_slots[slot];
}

// Closes the connection that has waited longest on its peer, if any waits
// and none is being closed already. With the mutex held.
void evict_longest_waiting()
{
    Slot *oldest = nullptr;
    for (Slot &s : g_slots) {
        if (s.conn && s.closing)
            return;  // room is already on its way
        if (s.conn && s.waiting && (!oldest || s.since < oldest->since))
            oldest = &s;
    }
    if (oldest) {
        oldest->closing = true;
        tls_abort(oldest->conn);
    }
}

}  // namespace

void connection_wait_for_room()
{
    MutexGuard lock(&g_mutex);
    while (g_used >= kMaxConnections) {
        evict_longest_waiting();
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_nsec += kRoomWaitNs;
        if (until.tv_nsec >= 1000L * 1000 * 1000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000L * 1000 * 1000;
        }
        pthread_cond_timedwait(&g_released, &g_mutex, &until);
    }
}

int connection_register(TlsConnection *conn)
{
    MutexGuard lock(&g_mutex);
    for (size_t i = 0; i < kMaxConnections; i++) {
        if (!g_slots[i].conn) {
            g_slots[i] = Slot{conn, true, false, monotonic_seconds()};
            g_used += 1;
            return static_cast<int>(i);
        }
    }
    return -1;
}

int connection_slot(const TlsConnection *conn)
{
    MutexGuard lock(&g_mutex);
    for (size_t i = 0; i < kMaxConnections; i++)
        if (g_slots[i].conn == conn)
            return static_cast<int>(i);
    return -1;
}

void connection_waiting(int slot, const TlsConnection *conn, bool waiting)
{
    MutexGuard lock(&g_mutex);
    if (Slot *s = at(slot, conn)) {
        s->waiting = waiting;
        s->since = monotonic_seconds();
    }
}

void connection_release(int slot, const TlsConnection *conn)
{
    MutexGuard lock(&g_mutex);
    if (Slot *s = at(slot, conn)) {
        *s = Slot{};
        g_used -= 1;
        pthread_cond_signal(&g_released);
    }
}
