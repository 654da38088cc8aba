#include "auth/auth.h"

#include <gtest/gtest.h>
#include <mbedtls/md.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The wall clock as token_verify sees it: pinned, so that a second ticking
// between building a token and checking it changes no answer. -1 stands for
// a clock that cannot be read.
static time_t g_now = 1765000000;
extern "C" time_t time(time_t *out)
{
    if (out)
        *out = g_now;
    return g_now;
}

namespace {

const std::string kKey = "0123456789abcdef-test-secret";

std::string hmac_hex(const std::string &key, const std::string &msg)
{
    unsigned char mac[32];
    mbedtls_md_hmac(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
                    reinterpret_cast<const unsigned char *>(key.data()), key.size(),
                    reinterpret_cast<const unsigned char *>(msg.data()), msg.size(), mac);
    char hex[65];
    for (int i = 0; i < 32; ++i)
        snprintf(hex + 2 * i, 3, "%02x", mac[i]);
    return hex;
}

std::string token_for(const std::string &digits, const std::string &key = kKey)
{
    return digits + "." + hmac_hex(key, digits);
}

std::string in(long long seconds) { return std::to_string(static_cast<long long>(g_now) + seconds); }

// Writes `content` to a fresh file (with `mode`) and loads it as the
// secret. The path outlives the call because secret_set_path keeps it
// without a copy.
int load_file(const std::string &content, mode_t mode = 0600)
{
    static char path[64];
    snprintf(path, sizeof(path), "/tmp/auth_test_secret_XXXXXX");
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    EXPECT_EQ(fchmod(fd, mode), 0);
    close(fd);
    secret_set_path(path);
    int r = secret_load();
    unlink(path);
    return r;
}

class Auth : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(load_file(kKey), 0); }
};

TEST(SecretLoad, FileRules)
{
    const std::string sixteen = "ABCDEFGHIJKLMNOP";
    const std::string with_nul("\0abc\tdef ghi\0jklmn", 18);
    std::string big(200, 'k');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    // The line ends count only within the first 128 bytes. No key: the
    // file is refused.
    const struct {
        const char *what;
        std::string file, key;
    } cases[] = {
        {"15 bytes and a line feed", "ABCDEFGHIJKLMNO\n", ""},
        {"only line ends", std::string("\r\n\r\n", 4), ""},
        {"CR LF stripped", sixteen + "\r\n", sixteen},
        {"LF CR LF stripped", sixteen + "\n\r\n", sixteen},
        {"spaces are key", std::string(16, ' '), std::string(16, ' ')},
        {"NUL and tab are key", with_nul + "\n", with_nul},
        {"126, CR LF, more", big.substr(0, 126) + "\r\n" + big.substr(128), big.substr(0, 126)},
        {"128 and LF", big.substr(0, 128) + "\n", big.substr(0, 128)},
        {"first 128 bytes", big, big.substr(0, 128)},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(load_file(c.file), c.key.empty() ? -1 : 0) << c.what;
        EXPECT_TRUE(c.key.empty() || token_verify(token_for(in(60), c.key).c_str()) == 1) << c.what;
    }
    EXPECT_EQ(token_verify(token_for(in(60), big).c_str()), 0) << "the last row's 200 bytes are not all key";

    secret_set_path("/nonexistent/secret");
    EXPECT_EQ(secret_load(), -1);
}

TEST(SecretLoad, RefusesWhatIsNoFileAndTellsWhoElseMayRead)
{
    // A FIFO nobody writes would hold a blocking open for ever; a device
    // would hand out bytes without end.
    static char fifo[] = "/tmp/auth_test_fifo_XXXXXX";
    ASSERT_NE(mkdtemp(fifo), nullptr);
    static std::string fifo_path = std::string(fifo) + "/secret";
    ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
    for (const char *path : {fifo_path.c_str(), "/dev/zero", "/tmp"}) {
        secret_set_path(path);
        EXPECT_EQ(secret_load(), kSecretNotRegular) << path;
    }
    unlink(fifo_path.c_str());
    rmdir(fifo);
    // The file's group is this process's own: its members are the service.
    const struct {
        mode_t mode;
        unsigned exposed;
    } cases[] = {{0600, 0}, {0640, 0}, {0400, 0}, {0604, 0604}, {0644, 0644}, {0606, 0606}};
    for (const auto &c : cases) {
        EXPECT_EQ(load_file(kKey, c.mode), 0) << std::oct << c.mode;
        EXPECT_EQ(secret_exposed_mode(), c.exposed) << std::oct << c.mode;
    }
}

TEST_F(Auth, TokenVerifyTable)
{
    const std::string ok_mac = hmac_hex(kKey, in(60));
    struct Case {
        const char *what;
        std::string token;
        int want;
    } cases[] = {
        {"valid", token_for(in(60)), 1},
        {"expiring this second", token_for(in(0)), 1},
        {"expired one second ago", token_for(in(-1)), 0},
        {"leading zeros, MAC over them", token_for("000" + in(60)), 1},
        {"leading zeros, MAC without them", "000" + in(60) + "." + ok_mac, 0},
        {"21 digits", token_for("0" + std::string(20, '9')), 0},
        {"saturates above int64: never expires", token_for("99999999999999999999"), 1},
        {"2^64 saturates, does not wrap to 0", token_for("18446744073709551616"), 1},
        {"2^63 saturates, does not wrap negative", token_for("9223372036854775808"), 1},
        {"starts with the dot", "." + ok_mac, 0},
        {"no dot", in(60) + ok_mac, 0},
        {"sign", token_for("+" + in(60)), 0},
        {"space in expiry", token_for(" " + in(60)), 0},
        {"wrong key", token_for(in(60), "another-secret-of-some-length"), 0},
        {"uppercase MAC", [] {
             std::string t = token_for(in(60));
             for (auto &ch : t) ch = static_cast<char>(toupper(ch));
             return t;
         }(), 0},
        {"63-character MAC", token_for(in(60)).substr(0, in(60).size() + 1 + 63), 0},
        {"65-character MAC", token_for(in(60)) + "0", 0},
        {"ends at &", token_for(in(60)) + "&x=1", 1},
        {"ends at CR", token_for(in(60)) + "\r\n", 1},
        {"ends at LF", token_for(in(60)) + "\nx", 1},
        {"ends at a space", token_for(in(60)) + " x", 1},
        {"fragment makes the MAC too long", token_for(in(60)) + "#frag", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(token_verify(c.token.c_str()), c.want) << c.what;
}

TEST_F(Auth, ExpiryIsCheckedAtEveryUse)
{
    // time() answers -1 when the clock cannot be read, and on a 32-bit
    // time_t for every second after January 2038.
    const time_t pinned = g_now;
    g_now = static_cast<time_t>(-1);
    EXPECT_EQ(token_verify(token_for("5").c_str()), 0);
    EXPECT_EQ(token_verify(token_for("99999999999").c_str()), 0);
    g_now = pinned;
    EXPECT_EQ(token_verify(token_for("99999999999").c_str()), 1);
    // A token found good a moment ago expires all the same, and an
    // unreadable clock refuses it too.
    const std::string soon = token_for(in(1));
    EXPECT_EQ(token_verify(soon.c_str()), 1);
    EXPECT_EQ(token_verify(soon.c_str()), 1) << "checked again within its time";
    g_now = pinned + 2;
    EXPECT_EQ(token_verify(soon.c_str()), 0) << "past its expiry";
    g_now = static_cast<time_t>(-1);
    EXPECT_EQ(token_verify(token_for("99999999999").c_str()), 0) << "found good just before";
    g_now = pinned;
}

TEST_F(Auth, MacDifferingAtAnyOnePositionIsRefused)
{
    const std::string good = token_for(in(60));
    const size_t mac = good.find('.') + 1;
    for (size_t i = mac; i < good.size(); ++i) {
        std::string t = good;
        t[i] = t[i] == '0' ? '1' : '0';
        EXPECT_EQ(token_verify(t.c_str()), 0) << "MAC character " << i - mac;
    }
}

TEST_F(Auth, ALoadForgetsTheTokensOfTheSecretBefore)
{
    const std::string good = token_for(in(60));
    ASSERT_EQ(token_verify(good.c_str()), 1);
    // Another key: the token found good a moment ago is another key's.
    ASSERT_EQ(load_file(kKey + "-rotated"), 0);
    EXPECT_EQ(token_verify(good.c_str()), 0);
    EXPECT_EQ(token_verify(token_for(in(60), kKey + "-rotated").c_str()), 1);
    // The same key's first 15 bytes: too short, and nothing may remain loaded.
    ASSERT_EQ(load_file(kKey), 0);
    ASSERT_EQ(token_verify(good.c_str()), 1);
    EXPECT_EQ(load_file(kKey.substr(0, 15)), -1);
    EXPECT_EQ(token_verify(good.c_str()), 0);
    EXPECT_EQ(token_verify(token_for(in(60), "").c_str()), 0) << "a MAC under the empty key";
}

TEST_F(Auth, MacAgreesWithOpenSsl)
{
    // An independent HMAC-SHA-256: the openssl command line tool (the key
    // is printable and has nothing the shell would read).
    const std::string digits = in(600);
    std::string cmd = "printf '%s' " + digits + " | openssl dgst -sha256 -mac HMAC -macopt 'key:" + kKey +
                      "' 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char out[256] = {};
    size_t n = fread(out, 1, sizeof(out) - 1, p);
    const int status = pclose(p);
    std::string s(out, n);
    size_t eq = s.rfind("= ");
    // scripts/bootstrap installs the tool: without it this check fails.
    ASSERT_TRUE(status == 0 && eq != std::string::npos) << "openssl dgst failed: " << s;
    std::string mac = s.substr(eq + 2, 64);
    EXPECT_EQ(token_verify((digits + "." + mac).c_str()), 1);
}

}  // namespace
