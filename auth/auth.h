// Token authentication: the shared secret and the expiring HMAC-SHA-256
// token "<expiry digits>.<64 lowercase hex>". The service only verifies
// tokens; finding one in a request is left to the service's HTTP code.
//
// The secret is written during start-up, before any other thread exists,
// and only read afterwards; token_verify may run on any thread at once.
#pragma once

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
