// request_authorized and token_verify under a fixed secret, against a
// second reading of where a request carries its token, written as POSIX
// regular expressions: in the query (after the target's first "?") the
// first parameter that begins "token=" decides; otherwise the first line of
// the head that begins "x-audio-token:" in any case, spaces skipped, decides.
// Every "@T" in the input becomes a token valid now and every "@E" one that
// has expired, both minted here, so the fuzzer can move good and bad tokens
// around the target, the query and the head; short of forging HMAC-SHA-256
// the good token followed by a token end is the only valid text.
//
// Input: the target (up to the first LF, at most 255 characters, as the
// request line scan would leave it), then the rest of the head.
#include <regex.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fuzz/fuzz_token.h"
#include "service/http.h"

namespace {

regex_t g_query_param;  // a parameter start followed by "token="
regex_t g_header_line;  // a line start, the name in any case, its spaces

// Valid means: the good token, then the end of the text or one of & CR LF
// space. `text` is NUL-terminated.
int valid(const char *text, const std::string &good)
{
    if (strncmp(text, good.c_str(), good.size()) != 0)
        return 0;
    return strchr("&\r\n ", text[good.size()]) != nullptr ? 1 : 0;  // NUL included
}

int reference(const std::string &head, const std::string &target, const std::string &good)
{
    regmatch_t m;
    const size_t q = target.find('?');
    if (q != std::string::npos) {
        const std::string query = target.substr(q + 1);
        if (regexec(&g_query_param, query.c_str(), 1, &m, 0) == 0)
            return valid(query.c_str() + m.rm_eo, good);
    }
    // regexec stops at the head's first NUL, as the request's text does.
    if (regexec(&g_header_line, head.c_str(), 1, &m, 0) != 0)
        return 0;
    // The value is bounded by its line: nothing after it may lend a token.
    const std::string rest = head.c_str() + m.rm_eo;
    return valid(rest.substr(0, rest.find_first_of("\r\n")).c_str(), good);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (regcomp(&g_query_param, "(^|&)token=", REG_EXTENDED) != 0 ||
        regcomp(&g_header_line, "\nx-audio-token: *", REG_EXTENDED | REG_ICASE) != 0)
        abort();
    fuzz_token::load_secret();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 8191)
        return 0;
    const long long now = static_cast<long long>(time(nullptr));
    const std::string good = fuzz_token::mint(now + 3600);
    const std::string bad = fuzz_token::mint(now - 3600);

    std::string input = fuzz_token::expand(std::string(reinterpret_cast<const char *>(data), size), good, bad);
    size_t lf = input.find('\n');
    std::string target = input.substr(0, lf == std::string::npos ? input.size() : lf);
    target = target.substr(0, target.find('\0')).substr(0, 255);

    if (request_authorized(std::string_view(input), target.c_str()) != reference(input, target, good))
        abort();
    // token_verify alone, on the raw text as a C string.
    if (token_verify(input.c_str()) != valid(input.c_str(), good))
        abort();
    return 0;
}
