// Token authentication: the shared secret and the expiring HMAC-SHA-256
// token "<expiry digits>.<64 lowercase hex>" carried in the query parameter
// "token" or the header "x-audio-token". The service only verifies tokens.
//
// The secret is written during start-up, before any other thread exists,
// and only read afterwards; every function here but the two secret_*
// set-up calls may run on any thread at once.
#pragma once

#include <string_view>

// Replaces the secret file's path. Null or empty is ignored. The text is
// kept without a copy and must outlive the process (an argv entry does).
void secret_set_path(const char *path);
// Reads the secret file: at most its first 128 bytes, trailing CR and LF
// removed, at least 16 bytes left. 0 when loaded, -1 otherwise; a failed
// load leaves no secret, so every request is then refused.
int secret_load();
// 1 when `token` (ended by '&', CR, LF, space or NUL after the MAC) is
// valid now, else 0.
int token_verify(const char *token);
// 1 when the request carries a valid token: the query of `target` (NUL
// terminated, query still attached) is consulted first, then the first
// "x-audio-token:" line of `head`, the request's own head from the request
// line to its blank line. Nothing beyond `head` is ever looked at, so a body
// or a pipelined request cannot lend its token to this request.
int request_authorized(std::string_view head, const char *target);
