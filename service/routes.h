// The two route handlers the request loop calls, and what they hand back.
//
// Both have the same shape; the loop calls them once the head is framed,
// the token accepted and the target cut at '?'. `head` is the request's own
// head, `tail`/`tail_len` the bytes buffered after it (the start of a body,
// maybe a pipelined request), `keep_alive` the client's wish. A handler
// writes its own answer, may read more from `conn`, keeps no pointer into
// the receive buffer and never closes `conn`.
#pragma once

#include <cstddef>
#include <string_view>

struct TlsConnection;

// What a route handler hands back to the request loop.
struct RouteResult {
    bool keep_alive;  // the handler lets the connection stay open
    size_t consumed;  // bytes of the buffered tail taken as the body
};

// GET /api/v1/voice_call/audio/stream: endless chunked capture audio until
// superseded, the capture fails or the client goes. Always ends the
// connection (keep_alive false, consumed 0).
RouteResult downlink_stream(TlsConnection *conn, std::string_view head, const unsigned char *tail,
                            size_t tail_len, bool keep_alive);
// POST /api/v1/voice_call/audio/tx: plays the body into the card under the
// 80 ms ceiling. keep_alive true only after "200 OK"; consumed is the body
// bytes taken from the tail.
RouteResult uplink_post(TlsConnection *conn, std::string_view head, const unsigned char *tail,
                        size_t tail_len, bool keep_alive);
