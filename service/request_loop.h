// One connection's request loop.
#pragma once

// Thread entry for one accepted connection: handshakes, then reads, checks,
// routes and answers its requests until one of them ends the connection.
// Takes ownership of `arg` (a TlsConnection registered with
// connection_register) and releases and closes it when it ends.
void *connection_thread(void *arg);
