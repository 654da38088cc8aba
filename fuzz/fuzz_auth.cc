// request_authorized and token_verify under a fixed secret, against a plain
// restatement of where a request carries its token. Every "@T" in the input
// becomes a token valid now and every "@E" one that has expired, both minted
// here, so the fuzzer can move good and bad tokens around the target, the
// query and the head.
//
// Input: the target (up to the first LF, at most 255 characters, as the
// request line scan would leave it), then the rest of the head.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <mbedtls/md.h>

#include "auth/auth.h"

namespace {

const unsigned char kSecret[] = "fuzz-secret-0123456789abcdef";
constexpr size_t kSecretLen = sizeof(kSecret) - 1;

std::string mint(long long expiry)
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

std::string expand(std::string s, const std::string &good, const std::string &bad)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '@' && i + 1 < s.size() && (s[i + 1] == 'T' || s[i + 1] == 'E')) {
            out += s[i + 1] == 'T' ? good : bad;
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool ends_token(char c) { return c == '\0' || c == '&' || c == '\r' || c == '\n' || c == ' '; }

// Whether `text` (ended by NUL) starts with one of the two minted tokens
// followed by a token end: the only way to be valid under this secret, short
// of forging HMAC-SHA-256.
int reference_verify(const char *text, const std::string &good)
{
    return strncmp(text, good.c_str(), good.size()) == 0 && ends_token(text[good.size()]) ? 1 : 0;
}

int reference(const std::string &head, const std::string &target, const std::string &good)
{
    size_t q = target.find('?');
    if (q != std::string::npos) {
        for (size_t p = q + 1;;) {
            if (target.compare(p, 6, "token=") == 0)
                return reference_verify(target.c_str() + p + 6, good);
            size_t amp = target.find('&', p);
            if (amp == std::string::npos)
                break;
            p = amp + 1;
        }
    }
    const std::string text = head.substr(0, head.find('\0'));
    for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', lf + 1)) {
        std::string line = text.substr(lf + 1);
        if (line.size() < 14)
            continue;
        std::string name = line.substr(0, 14);
        for (char &c : name)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        if (name != "x-audio-token:")
            continue;
        size_t v = 14;
        while (v < line.size() && line[v] == ' ')
            ++v;
        // Bounded by its line: nothing after it may lend the token.
        size_t e = line.find_first_of("\r\n", v);
        std::string value = line.substr(v, e == std::string::npos ? std::string::npos : e - v);
        return reference_verify(value.c_str(), good);
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 8191)
        return 0;
    secret_set_for_testing(kSecret, kSecretLen);
    const long long now = static_cast<long long>(time(nullptr));
    const std::string good = mint(now + 3600);
    const std::string bad = mint(now - 3600);

    std::string input = expand(std::string(reinterpret_cast<const char *>(data), size), good, bad);
    size_t lf = input.find('\n');
    std::string target = input.substr(0, lf == std::string::npos ? input.size() : lf);
    target = target.substr(0, target.find('\0')).substr(0, 255);
    std::string head = input;

    int got = request_authorized(std::string_view(head), target.c_str());
    if (got != reference(head, target, good))
        abort();

    // token_verify alone, on the raw text as a C string.
    int alone = token_verify(input.c_str());
    if (alone != reference_verify(input.c_str(), good))
        abort();

    // No secret loaded: nothing passes.
    secret_set_for_testing(nullptr, 0);
    if (request_authorized(std::string_view(head), target.c_str()) != 0)
        abort();
    return 0;
}
