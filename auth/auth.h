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
// The secret file's path as it stands.
const char *secret_path();
// Reads the secret file: at most its first 128 bytes, trailing CR and LF
// removed, at least 16 bytes left. 0 when loaded; kSecretNotRegular when the
// path names no regular file (a FIFO, a device such as /dev/zero, a
// folder), which is refused without waiting on it; -1 otherwise (missing,
// unreadable, too short). A failed load leaves no secret, so every request
// is then refused.
constexpr int kSecretNotRegular = -2;
int secret_load();
// After a successful load: the file's permission bits when someone besides
// its owner and the service's own group may read it (others can, or its
// group can and is not the service's), else 0.
unsigned secret_exposed_mode();
// 1 when `token` (ended by '&', CR, LF, space or NUL after the MAC) is
// valid now, else 0.
int token_verify(const char *token);
