// header_value against a second reading of its rules, written as a POSIX
// regular expression: "\n<name>:" in any case starts the first matching
// line (never the request line), spaces after the colon are skipped, the
// value runs to CR, LF or the end of the text (a NUL ends it), and at most
// 31 characters are kept.
//
// Input: one byte choosing the name, then the head.
#include <regex.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/http.h"

namespace {

const char *const kNames[] = {"connection", "content-length", "x-audio-token", "a", "host"};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

regex_t g_patterns[kNameCount];

// -1 when no line carries the name, else 0 with the whole value in `value`.
int reference(const regex_t &pattern, const std::string &text, std::string *value)
{
    regmatch_t m[2];
    if (regexec(&pattern, text.c_str(), 2, m, 0) != 0)
        return -1;
    *value = m[1].rm_so < 0 ? std::string() : text.substr(m[1].rm_so, m[1].rm_eo - m[1].rm_so);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The value group starts at a non-space, so the spaces can only go to
    // the group before it.
    for (size_t i = 0; i < kNameCount; ++i) {
        std::string pattern = std::string("\n") + kNames[i] + ": *([^ \r\n][^\r\n]*)?";
        if (regcomp(&g_patterns[i], pattern.c_str(), REG_EXTENDED | REG_ICASE) != 0)
            abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > kRecvDataMax + 1)
        return 0;
    const size_t which = data[0] % kNameCount;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    char dest[kHeaderValueSize];
    memset(dest, 0x5a, sizeof(dest));
    int rc = header_value(std::string_view(text), kNames[which], dest, sizeof(dest));

    std::string want;
    if (rc != reference(g_patterns[which], text, &want))
        abort();
    if (rc == -1) {
        // Untouched on a miss: callers rely on their zero fill.
        for (char c : dest)
            if (c != 0x5a)
                abort();
        return 0;
    }
    want = want.substr(0, kHeaderValueSize - 1);
    // The stored value is NUL-terminated right after its characters, and
    // regexec never saw past the text's first NUL, so neither holds one.
    if (dest[want.size()] != '\0' || memcmp(dest, want.data(), want.size()) != 0)
        abort();
    return 0;
}
