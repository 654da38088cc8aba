// The table of live connections.
//
// At most kMaxConnections exist at once, each with its thread. When a newly
// accepted connection finds every place taken, the one that has waited
// longest on its peer (in its handshake, for a request head, or for the
// peer to read the answers piling up unsent) is closed to make room: a
// crowd of silent, trickling, idle or non-reading clients cannot lock a
// user out, and memory and threads stay bounded. Nobody is closed before a
// newcomer has really arrived.
#pragma once

#include <cstddef>

struct TlsConnection;

constexpr size_t kMaxConnections = 256;

// Registers a just-accepted connection, as waiting on its handshake, and
// returns its place (0 to kMaxConnections - 1), which the calls below take
// with the connection. When every place is taken it first closes the
// connection that has waited longest and waits for a place to come free;
// -1 when none did within 20 s (the caller then closes the newcomer).
// Called by the accept loop only.
int connection_register(TlsConnection *conn);
// The place of a registered connection, looked up once by its thread; -1
// when it is not registered.
int connection_slot(const TlsConnection *conn);
// The connection's thread marks whether it now waits on its peer (true),
// which makes it a candidate to be closed when room is needed, or works on
// a request (false). No effect once the connection is evicted or leaving.
void connection_waiting(int slot, const TlsConnection *conn, bool waiting);
// True once the accept loop has closed the connection to make room; for a
// thread whose wait a closed socket does not end by itself.
bool connection_evicted(int slot, const TlsConnection *conn);
// The connection's thread is about to close it: it can no longer be
// evicted, but its place stays counted until connection_release, so a
// close that takes time is still within the cap.
void connection_leaving(int slot, const TlsConnection *conn);
// Frees the connection's place, once it is closed (or was never started).
void connection_release(int slot, const TlsConnection *conn);

// --- The eviction choice, a pure function of the table ---

enum class SlotState : unsigned char {
    kFree,
    kWorking,   // on a request, or in a route handler
    kWaiting,   // blocked on its peer: handshake, a head, unread answers
    kEvicted,   // closed by the accept loop; its thread has yet to leave
    kLeaving,   // its own thread is closing it
};

struct SlotView {
    SlotState state;
    double since;  // monotonic seconds: when the wait, or the eviction, began
};

// How long an evicted connection is given to give its place back before
// another may be evicted beside it. Its thread wakes at once (its socket is
// shut down); this only matters if it is held by something else.
constexpr double kEvictGraceSeconds = 1.0;

// The place to evict at `now`, or -1. None while a place is on its way
// anyway (a connection leaving, or one evicted less than
// kEvictGraceSeconds ago); otherwise the waiting connection whose wait
// began first, the lowest place on a tie; -1 when none waits.
int connection_choose_eviction(const SlotView *slots, size_t count, double now);
