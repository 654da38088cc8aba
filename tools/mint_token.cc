// call-audio-token: mints an access token for call-audio from its secret
// file, for integrators' scripts and for tests. The service itself never
// issues tokens; this tool holds the issuer's side of the format:
//
//   <expiry>.<HMAC-SHA-256(secret, expiry digits) as 64 lowercase hex>
//
// The secret is read as the service reads it: the file's first 128 bytes,
// trailing CR and LF removed, every other byte (NUL and blanks too) kept.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <mbedtls/md.h>

namespace {

constexpr size_t kSecretMax = 128;
constexpr size_t kSecretMin = 16;
constexpr size_t kExpiryMaxDigits = 20;
constexpr long long kDefaultTtlSeconds = 3600;

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr,
            "usage: %s --secret FILE [--ttl SECONDS | --expires DIGITS]\n"
            "  --ttl SECONDS    valid for SECONDS from now (default %lld)\n"
            "  --expires DIGITS valid up to the Unix time DIGITS, used exactly as\n"
            "                   written (leading zeros become part of the token)\n",
            argv0, kDefaultTtlSeconds);
    exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    const char *secret_path = nullptr;
    const char *expires = nullptr;
    long long ttl = kDefaultTtlSeconds;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc)
            usage(argv[0]);
        if (strcmp(argv[i], "--secret") == 0) {
            secret_path = argv[i + 1];
        } else if (strcmp(argv[i], "--expires") == 0) {
            expires = argv[i + 1];
        } else if (strcmp(argv[i], "--ttl") == 0) {
            char *end = nullptr;
            errno = 0;
            ttl = strtoll(argv[i + 1], &end, 10);
            if (errno || !end || *end || end == argv[i + 1])
                usage(argv[0]);
        } else {
            usage(argv[0]);
        }
    }
    if (!secret_path)
        usage(argv[0]);

    unsigned char secret[kSecretMax];
    FILE *f = fopen(secret_path, "rb");
    if (!f) {
        fprintf(stderr, "call-audio-token: %s: %s\n", secret_path, strerror(errno));
        return 1;
    }
    size_t n = fread(secret, 1, sizeof(secret), f);
    fclose(f);
    while (n > 0 && (secret[n - 1] == '\n' || secret[n - 1] == '\r'))
        --n;
    if (n < kSecretMin) {
        fprintf(stderr, "call-audio-token: %s: secret shorter than %zu bytes\n", secret_path, kSecretMin);
        return 1;
    }

    char digits[kExpiryMaxDigits + 1] = {};
    if (expires) {
        size_t len = strlen(expires);
        if (len < 1 || len > kExpiryMaxDigits || strspn(expires, "0123456789") != len) {
            fprintf(stderr, "call-audio-token: --expires takes 1 to 20 decimal digits\n");
            return 2;
        }
        memcpy(digits, expires, len);
    } else {
        snprintf(digits, sizeof(digits), "%lld", static_cast<long long>(time(nullptr)) + ttl);
        if (digits[0] == '-') {
            fprintf(stderr, "call-audio-token: expiry before 1970\n");
            return 2;
        }
    }

    unsigned char mac[32];
    const mbedtls_md_info_t *info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (!info || mbedtls_md_hmac(info, secret, n, reinterpret_cast<const unsigned char *>(digits),
                                 strlen(digits), mac) != 0) {
        fprintf(stderr, "call-audio-token: HMAC-SHA-256 unavailable\n");
        return 1;
    }
    printf("%s.", digits);
    for (unsigned char b : mac)
        printf("%02x", b);
    printf("\n");
    return 0;
}
