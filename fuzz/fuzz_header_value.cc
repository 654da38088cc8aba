// header_value against a plain restatement of its rules, for the names the
// service looks up and a few others.
//
// Input: one byte choosing the name, then the head.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/service.h"

namespace {

const char *const kNames[] = {"connection", "content-length", "x-audio-token", "a", "host"};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Line by line after each LF (never the request line), up to a NUL.
int reference(const std::string &text, const std::string &name, std::string *value)
{
    std::string s = text.substr(0, text.find('\0'));
    for (size_t lf = s.find('\n'); lf != std::string::npos; lf = s.find('\n', lf + 1)) {
        size_t start = lf + 1;
        if (start + name.size() >= s.size() || s[start + name.size()] != ':')
            continue;
        bool same = true;
        for (size_t i = 0; i < name.size(); ++i)
            same = same && lower(s[start + i]) == name[i];
        if (!same)
            continue;
        size_t v = start + name.size() + 1;
        while (v < s.size() && s[v] == ' ')
            ++v;
        size_t e = s.find_first_of("\r\n", v);
        std::string full = s.substr(v, e == std::string::npos ? std::string::npos : e - v);
        *value = full.substr(0, kHeaderValueSize - 1);
        return 0;
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > kRecvDataMax + 1)
        return 0;
    const char *name = kNames[data[0] % (sizeof(kNames) / sizeof(kNames[0]))];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    char dest[kHeaderValueSize];
    memset(dest, 0x5a, sizeof(dest));
    int rc = header_value(std::string_view(text), name, dest);

    std::string want;
    int want_rc = reference(text, name, &want);
    if (rc != want_rc)
        abort();
    if (rc == -1) {
        // Untouched on a miss: callers rely on their zero fill.
        for (char c : dest)
            if (c != 0x5a)
                abort();
        return 0;
    }
    if (memchr(dest, '\0', sizeof(dest)) == nullptr)
        abort();
    // The value may hold a NUL only if the head did; compare up to the size.
    if (strlen(dest) != strlen(want.c_str()) || memcmp(dest, want.data(), strlen(dest)) != 0)
        abort();
    return 0;
}
