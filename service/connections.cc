// The table of live connections: a constant cap on their number, and room
// made for a new client by closing the connection that has waited longest
// on its peer.
#include "service/connections.h"

#include <ctime>

#include "base/clock.h"
#include "service/lock.h"
#include "tls/tls.h"

namespace {

// How long the accept loop waits for an evicted connection's thread to
// give its place back before it looks again. Closing wakes that thread at
// once, so this only matters when every place is busy with real work.
constexpr long kRoomWaitNs = 200L * 1000 * 1000;
// A newcomer is held at most this long for a place: its own handshake has
// to end within 20 s of its accept anyway.
constexpr double kRoomWaitSeconds = 20.0;

// `g_mutex` guards every field below. A connection is aborted only while it
// is registered and not leaving, and its thread closes the socket only once
// it is leaving, so tls_abort never touches a closed or reused descriptor.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
// Signalled when a place is freed. Its clock is the monotonic one, set up
// on first use: a static initialiser can only give it the wall clock, which
// an NTP step would move.
pthread_cond_t g_released;
bool g_released_ready = false;
SlotView g_slots[kMaxConnections];
const TlsConnection *g_conns[kMaxConnections];
size_t g_used = 0;

void ensure_released_cond()
{
    if (g_released_ready)
        return;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_released, &attr);
    pthread_condattr_destroy(&attr);
    g_released_ready = true;
}

// The registered place of `conn`, or null; with the mutex held. The index
// comes from the connection's own thread, so a wrong one is only checked.
SlotView *at(int slot, const TlsConnection *conn)
{
    if (slot < 0 || static_cast<size_t>(slot) >= kMaxConnections || !conn ||
        g_conns[slot] != conn)
        return nullptr;
    return &g_slots[slot];
}

}  // namespace

int connection_choose_eviction(const SlotView *slots, size_t count, double now)
{
    int oldest = -1;
    for (size_t i = 0; i < count; i++) {
        const SlotView &s = slots[i];
        if (s.state == SlotState::kLeaving ||
            (s.state == SlotState::kEvicted && now - s.since < kEvictGraceSeconds))
            return -1;  // a place is on its way
        if (s.state == SlotState::kWaiting && (oldest < 0 || s.since < slots[oldest].since))
            oldest = static_cast<int>(i);
    }
    return oldest;
}

int connection_register(TlsConnection *conn)
{
    MutexGuard lock(&g_mutex);
    ensure_released_cond();
    const double start = monotonic_seconds();
    while (g_used >= kMaxConnections) {
        const double now = monotonic_seconds();
        if (now - start >= kRoomWaitSeconds)
            return -1;
        const int victim = connection_choose_eviction(g_slots, kMaxConnections, now);
        if (victim >= 0) {
            g_slots[victim] = SlotView{SlotState::kEvicted, now};
            tls_abort(g_conns[victim]);
        }
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += kRoomWaitNs;
        if (until.tv_nsec >= 1000L * 1000 * 1000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000L * 1000 * 1000;
        }
        pthread_cond_timedwait(&g_released, &g_mutex, &until);
    }
    for (size_t i = 0; i < kMaxConnections; i++) {
        if (g_slots[i].state == SlotState::kFree) {
            g_slots[i] = SlotView{SlotState::kWaiting, monotonic_seconds()};
            g_conns[i] = conn;
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
        if (g_slots[i].state != SlotState::kFree && g_conns[i] == conn)
            return static_cast<int>(i);
    return -1;
}

void connection_waiting(int slot, const TlsConnection *conn, bool waiting)
{
    MutexGuard lock(&g_mutex);
    SlotView *s = at(slot, conn);
    if (s && (s->state == SlotState::kWaiting || s->state == SlotState::kWorking))
        *s = SlotView{waiting ? SlotState::kWaiting : SlotState::kWorking, monotonic_seconds()};
}

bool connection_evicted(int slot, const TlsConnection *conn)
{
    MutexGuard lock(&g_mutex);
    SlotView *s = at(slot, conn);
    return s && s->state == SlotState::kEvicted;
}

void connection_leaving(int slot, const TlsConnection *conn)
{
    MutexGuard lock(&g_mutex);
    if (SlotView *s = at(slot, conn))
        s->state = SlotState::kLeaving;
}

void connection_release(int slot, const TlsConnection *conn)
{
    MutexGuard lock(&g_mutex);
    if (at(slot, conn)) {
        g_slots[slot] = SlotView{};
        g_conns[slot] = nullptr;
        g_used -= 1;
        if (g_released_ready)
            pthread_cond_signal(&g_released);
    }
}
