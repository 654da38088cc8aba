#include "auth/auth.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <pthread.h>

#include <mbedtls/md.h>

namespace {

constexpr size_t kSecretMax = 128;      // bytes of the file that count
constexpr size_t kSecretMin = 16;       // shorter keys are refused
constexpr size_t kExpiryMaxDigits = 20; // fits any unsigned 64-bit value
constexpr size_t kMacHexLen = 64;       // SHA-256, two hex digits a byte

const char *g_secret_path = "/etc/vesk-manager-web/audio_token.key";
unsigned char g_secret[kSecretMax];
size_t g_secret_len = 0;  // 0: no secret loaded, every request is refused
unsigned g_exposed_mode = 0;  // see secret_exposed_mode

bool ends_mac(char c) { return c == '\0' || c == '&' || c == '\r' || c == '\n' || c == ' '; }

// The last token whose MAC was found good, digits, dot and MAC: a client
// sends the same token with every post, fifty a second, and its HMAC would
// otherwise be computed each time. Only the MAC is taken from here, never
// the expiry, which is checked at every use. `g_checked_mutex` guards both
// fields; a load of the secret empties them.
pthread_mutex_t g_checked_mutex = PTHREAD_MUTEX_INITIALIZER;
char g_checked[kExpiryMaxDigits + 1 + kMacHexLen];
size_t g_checked_len = 0;  // 0: none

// Constant time: every position is compared, whatever differs first.
bool same_bytes(const char *a, const char *b, size_t n)
{
    unsigned diff = 0;
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
    return diff == 0;
}

// Whether `token` (its first `len` bytes) is the token checked last.
bool checked_before(const char *token, size_t len)
{
    pthread_mutex_lock(&g_checked_mutex);
    const bool same = len == g_checked_len && same_bytes(token, g_checked, len);
    pthread_mutex_unlock(&g_checked_mutex);
    return same;
}

// `len` 0 forgets the token checked last.
void remember_checked(const char *token, size_t len)
{
    pthread_mutex_lock(&g_checked_mutex);
    memcpy(g_checked, token, len);
    g_checked_len = len;
    pthread_mutex_unlock(&g_checked_mutex);
}

}  // namespace

void secret_set_path(const char *path)
{
    if (path && *path)
        g_secret_path = path;
}

const char *secret_path() { return g_secret_path; }

int secret_load()
{
    // The read below overwrites the key in place: until it succeeds no
    // secret is loaded, so a failed load never leaves a stale length over
    // new bytes.
    g_secret_len = 0;
    g_exposed_mode = 0;
    remember_checked("", 0);
    // Opened without blocking, so a FIFO cannot hold start-up waiting for
    // a writer; only a regular file is read at all (a device would yield
    // endless bytes, NULs from /dev/zero, as the key).
    const int fd = open(g_secret_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return kSecretNotRegular;
    }
    size_t n = 0;
    while (n < kSecretMax) {
        const ssize_t r = read(fd, g_secret + n, kSecretMax - n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        n += static_cast<size_t>(r);
    }
    close(fd);
    while (n > 0 && (g_secret[n - 1] == '\n' || g_secret[n - 1] == '\r'))
        --n;
    if (n < kSecretMin)
        return -1;
    g_secret_len = n;
    const bool group_reads = (st.st_mode & S_IRGRP) != 0 && st.st_gid != getegid();
    if ((st.st_mode & S_IROTH) != 0 || group_reads)
        g_exposed_mode = static_cast<unsigned>(st.st_mode & 07777);
    return 0;
}

unsigned secret_exposed_mode() { return g_exposed_mode; }

int token_verify(const char *token)
{
    // Without a secret every MAC would be checked against the empty key.
    if (g_secret_len == 0)
        return 0;
    const char *dot = strchr(token, '.');
    if (!dot)
        return 0;
    size_t digits = static_cast<size_t>(dot - token);
    if (digits < 1 || digits > kExpiryMaxDigits)
        return 0;
    char expiry_text[kExpiryMaxDigits + 1] = {};
    memcpy(expiry_text, token, digits);

    // Saturating decimal read: an expiry above the signed 64-bit range
    // never expires (its MAC must still match the digits as written).
    int64_t expiry = 0;
    for (size_t i = 0; i < digits; ++i) {
        char c = expiry_text[i];
        if (c < '0' || c > '9')
            return 0;
        int d = c - '0';
        if (expiry > (INT64_MAX - d) / 10)
            expiry = INT64_MAX;
        else
            expiry = expiry * 10 + d;
    }
    // Valid up to and including the expiry second. A clock that cannot be
    // read (time() gives -1, as a 32-bit time_t does after January 2038)
    // would otherwise make every expired token look valid.
    const time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1) || static_cast<int64_t>(now) > expiry)
        return 0;

    const char *mac = dot + 1;
    size_t mac_len = 0;
    while (!ends_mac(mac[mac_len]) && mac_len <= kMacHexLen)
        ++mac_len;
    if (mac_len != kMacHexLen)
        return 0;

    // The length is the token's own: its digits, the dot and the MAC.
    const size_t token_len = digits + 1 + kMacHexLen;
    if (checked_before(token, token_len))
        return 1;

    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (!info)
        return 0;
    unsigned char digest[32];
    if (mbedtls_md_hmac(info, g_secret, g_secret_len,
                        reinterpret_cast<const unsigned char *>(expiry_text), digits, digest) != 0)
        return 0;
    static const char kHex[] = "0123456789abcdef";
    char expected[kMacHexLen];
    for (size_t i = 0; i < sizeof(digest); ++i) {
        expected[2 * i] = kHex[digest[i] >> 4];
        expected[2 * i + 1] = kHex[digest[i] & 15];
    }
    if (!same_bytes(expected, mac, kMacHexLen))
        return 0;
    remember_checked(token, token_len);
    return 1;
}
