// Shared by the targets that need a loaded secret and real tokens: the
// secret goes in through a file, as the service loads it, and "@T" / "@E"
// in an input become a token valid now / one that has expired, minted here.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <mbedtls/md.h>

#include "auth/auth.h"

namespace fuzz_token {

inline const unsigned char kSecret[] = "fuzz-secret-0123456789abcdef";
inline constexpr size_t kSecretLen = sizeof(kSecret) - 1;

// secret_set_path keeps the path, so it lives as long as the process.
inline char g_secret_path[] = "/tmp/fuzz_secret_XXXXXX";

inline void load_secret()
{
    const int fd = mkstemp(g_secret_path);
    if (fd < 0 || write(fd, kSecret, kSecretLen) != static_cast<ssize_t>(kSecretLen))
        abort();
    close(fd);
    secret_set_path(g_secret_path);
    const int loaded = secret_load();
    unlink(g_secret_path);
    if (loaded != 0)
        abort();
}

inline std::string mint(long long expiry)
{
    std::string digits = std::to_string(expiry);
    unsigned char mac[32];
    mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), kSecret, kSecretLen,
                    reinterpret_cast<const unsigned char *>(digits.data()), digits.size(), mac);
    char hex[65];
    for (int i = 0; i < 32; ++i)
        snprintf(hex + 2 * i, 3, "%02x", mac[i]);
    return digits + "." + hex;
}

// The input with every "@T" replaced by `good` and every "@E" by `bad`.
inline std::string expand(const std::string &s, const std::string &good, const std::string &bad)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool mark = s[i] == '@' && i + 1 < s.size() && (s[i + 1] == 'T' || s[i + 1] == 'E');
        out += mark ? (s[++i] == 'T' ? good : bad) : std::string(1, s[i]);
    }
    return out;
}

}  // namespace fuzz_token
