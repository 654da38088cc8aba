// The table of live connections.
//
// At most kMaxConnections exist at once, each with its thread. When all
// places are taken, the one that has waited longest on its peer (in its
// handshake, or for a request head) is closed to make room: a crowd of
// silent, trickling or idle clients cannot lock a user out, and memory and
// threads stay bounded.
#pragma once

#include <cstddef>

struct TlsConnection;

constexpr size_t kMaxConnections = 256;

// Called by the accept loop before it accepts: returns once a place is
// free, closing the longest-waiting connection if none is.
void connection_wait_for_room();
// Registers a just-accepted connection, as waiting on its handshake, and
// returns its place (0 to kMaxConnections - 1), which the calls below take
// with the connection; -1 when no place is free (the caller then closes it).
int connection_register(TlsConnection *conn);
// The place of a registered connection, looked up once by its thread; -1
// when it is not registered.
int connection_slot(const TlsConnection *conn);
// The connection's thread marks whether it now waits on its peer for a
// handshake or a request head (true), which makes it the first to be
// closed when room is needed, or works on a request (false).
void connection_waiting(int slot, const TlsConnection *conn, bool waiting);
// Frees the connection's place; called before it is closed.
void connection_release(int slot, const TlsConnection *conn);
