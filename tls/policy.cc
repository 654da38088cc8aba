#include "tls/policy.h"

#if defined(__x86_64__)
#include <cpuid.h>
#elif defined(__aarch64__) || defined(__arm__)
#include <sys/auxv.h>
#endif

#include <mbedtls/ssl_ciphersuites.h>
#include <mbedtls/version.h>

#include "tls/error.h"

// The policy follows the intermediate profile that browsers and BCP 195
// (RFC 9325) agree on: everything a browser or the integration guide's
// clients offer is kept, everything without forward secrecy, with a
// legacy cipher or with a weak group is left out.

namespace {

// TLS 1.2 suites: ECDHE only (forward secrecy; static ECDH and RSA key
// transport are left out), AEAD only (no CBC with its padding oracles and
// SHA-1 MACs, no CCM_8 with its 64-bit tags). ECDSA first since our own
// certificate is ECDSA; an RSA certificate simply matches the RSA half.
// AES-128 before AES-256: the same protection for a call's lifetime at
// fewer rounds. On 3.6 the TLS 1.3 suites share the list (the library
// picks by version). Two lists that differ only in which AEAD leads.
constexpr int kAesGcmFirst[] = {
#if defined(MBEDTLS_SSL_PROTO_TLS1_3)
    MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
    MBEDTLS_TLS1_3_AES_256_GCM_SHA384,
    MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
#endif
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
    0,
};
constexpr int kChaChaFirst[] = {
#if defined(MBEDTLS_SSL_PROTO_TLS1_3)
    MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
    MBEDTLS_TLS1_3_AES_256_GCM_SHA384,
#endif
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    0,
};
static_assert(sizeof(kAesGcmFirst) == sizeof(kChaChaFirst), "both orders list the same suites");

#if MBEDTLS_VERSION_MAJOR >= 3

// Groups, most preferred first: X25519 is the fastest key exchange and
// every browser offers it; P-256 is next and is also our certificate's
// curve; P-384 for clients that insist on it. Nothing under 256 bits, and
// no P-521, which costs more than twice P-256 for no practical gain (a
// client that lists it first still gets X25519 or P-256).
constexpr uint16_t kGroups[] = {
    MBEDTLS_SSL_IANA_TLS_GROUP_X25519,
    MBEDTLS_SSL_IANA_TLS_GROUP_SECP256R1,
    MBEDTLS_SSL_IANA_TLS_GROUP_SECP384R1,
    MBEDTLS_SSL_IANA_TLS_GROUP_NONE,
};

// Signature algorithms: SHA-256 or stronger only (no SHA-1, no SHA-224),
// ECDSA first for our ECDSA certificate, then RSA-PSS before PKCS#1 v1.5
// for an RSA one (TLS 1.3 allows PSS only in handshake signatures).
constexpr uint16_t kSigAlgs[] = {
    MBEDTLS_TLS1_3_SIG_ECDSA_SECP256R1_SHA256,
    MBEDTLS_TLS1_3_SIG_ECDSA_SECP384R1_SHA384,
    MBEDTLS_TLS1_3_SIG_ECDSA_SECP521R1_SHA512,
    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA256,
    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA384,
    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA512,
    MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA256,
    MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA384,
    MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA512,
    MBEDTLS_TLS1_3_SIG_NONE,
};

#else  // 2.28

// Groups as on 3.x above (2.28 names them curves).
constexpr mbedtls_ecp_group_id kGroups[] = {
    MBEDTLS_ECP_DP_CURVE25519,
    MBEDTLS_ECP_DP_SECP256R1,
    MBEDTLS_ECP_DP_SECP384R1,
    MBEDTLS_ECP_DP_NONE,
};

// Hashes for signatures, strongest first: SHA-256 or stronger only.
constexpr int kSigHashes[] = {
    MBEDTLS_MD_SHA512,
    MBEDTLS_MD_SHA384,
    MBEDTLS_MD_SHA256,
    MBEDTLS_MD_NONE,
};

#endif

// Tickets stay valid, and the ticket module keeps writing with one key,
// for an hour: long enough that a browser reconnecting during a call (a
// new stream after a takeover, a post after an idle close) resumes, short
// enough that a key rotated out (and the sessions it protected) is gone
// from memory within two hours.
constexpr uint32_t kTicketLifetimeSeconds = 3600;

}  // namespace

TlsSuiteOrder tls_suite_order(const TlsCpuReport &cpu)
{
    uint64_t need = 0;
    switch (cpu.kind) {
    case TlsCpuKind::kX86_64:
        need = kTlsX86Aes | kTlsX86Pclmul;
        break;
    case TlsCpuKind::kArm64:
        need = kTlsArm64Aes | kTlsArm64Pmull;
        break;
    case TlsCpuKind::kArm32:
        need = kTlsArm32Aes | kTlsArm32Pmull;
        break;
    case TlsCpuKind::kOther:
        return TlsSuiteOrder::kChaChaFirst;
    }
    // GCM needs both: with the AES rounds alone, GHASH still runs in
    // software.
    return cpu.library_uses_them && (cpu.features & need) == need ? TlsSuiteOrder::kAesGcmFirst
                                                                  : TlsSuiteOrder::kChaChaFirst;
}

TlsCpuReport tls_cpu_report()
{
    // Whether the library has code for the instructions is read from its
    // configuration, for the architecture this file is built for: the
    // library is built for the same one. 32-bit Arm code needs an Armv8
    // target (3.x), which a build for Armv7 routers is not.
#if defined(__x86_64__)
#if defined(MBEDTLS_AESNI_C) && defined(MBEDTLS_HAVE_ASM)
    constexpr bool kLibrary = true;
#else
    constexpr bool kLibrary = false;
#endif
    unsigned a = 0, b = 0, c = 0, d = 0;
    const uint64_t features = __get_cpuid(1, &a, &b, &c, &d) ? c : 0;
    return {TlsCpuKind::kX86_64, features, kLibrary};
#elif defined(__aarch64__)
#if defined(MBEDTLS_AESCE_C)
    constexpr bool kLibrary = true;
#else
    constexpr bool kLibrary = false;
#endif
    return {TlsCpuKind::kArm64, getauxval(AT_HWCAP), kLibrary};
#elif defined(__arm__)
#if defined(MBEDTLS_AESCE_C) && defined(__ARM_ARCH) && __ARM_ARCH >= 8
    constexpr bool kLibrary = true;
#else
    constexpr bool kLibrary = false;
#endif
    return {TlsCpuKind::kArm32, getauxval(AT_HWCAP2), kLibrary};
#else
    return {TlsCpuKind::kOther, 0, false};
#endif
}

const int *tls_suite_list(TlsSuiteOrder order)
{
    return order == TlsSuiteOrder::kAesGcmFirst ? kAesGcmFirst : kChaChaFirst;
}

const char *tls_suite_order_text(TlsSuiteOrder order)
{
    return order == TlsSuiteOrder::kAesGcmFirst ? "AES-GCM first (AES instructions in use)"
                                                : "ChaCha20-Poly1305 first (no AES instructions in use)";
}

int tls_policy_apply(mbedtls_ssl_config *conf, TlsSuiteOrder order, char *err, size_t err_size)
{
    // A library built without GCM and ChaCha20-Poly1305 (or without ECDHE)
    // would fail every handshake; say so at start-up instead.
    const int *suites = tls_suite_list(order);
    bool any_suite = false;
    for (const int *s = suites; *s != 0; ++s)
        any_suite = any_suite || mbedtls_ssl_ciphersuite_from_id(*s) != nullptr;
    if (!any_suite) {
        tls_error(err, err_size, "policy", MBEDTLS_ERR_SSL_BAD_INPUT_DATA);
        return -1;
    }
    mbedtls_ssl_conf_ciphersuites(conf, suites);
#if MBEDTLS_VERSION_MAJOR >= 3
    // The server's order decides in TLS 1.2 (the default, made explicit: a
    // client's order is its own CPU's, not ours). 2.28 follows the server
    // unless built with MBEDTLS_SSL_SRV_RESPECT_CLIENT_PREFERENCE.
    mbedtls_ssl_conf_preference_order(conf, MBEDTLS_SSL_SRV_CIPHERSUITE_ORDER_SERVER);
    // RFC 8996 forbids TLS 1.0 and 1.1; 3.x has dropped them, and the
    // floor is set all the same. TLS 1.3 (one round trip less) is on by
    // the defaults wherever the library has it.
    mbedtls_ssl_conf_min_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
    mbedtls_ssl_conf_groups(conf, kGroups);
    mbedtls_ssl_conf_sig_algs(conf, kSigAlgs);
#if defined(MBEDTLS_SSL_PROTO_TLS1_3)
    mbedtls_ssl_conf_max_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_3);
    // A resumed TLS 1.3 session still runs an ECDHE exchange, so a ticket
    // key that leaks later exposes no past traffic (no plain PSK mode).
    mbedtls_ssl_conf_tls13_key_exchange_modes(
        conf, MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ALL);
#endif
#else
    // RFC 8996: a server must not negotiate TLS 1.0 or 1.1 (minor 3 is 1.2).
    mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_curves(conf, kGroups);
    mbedtls_ssl_conf_sig_hashes(conf, kSigHashes);
#endif
    return 0;
}

int tls_tickets_setup(mbedtls_ssl_config *conf, mbedtls_ssl_ticket_context *ticket,
                      int (*f_rng)(void *, unsigned char *, size_t), void *p_rng,
                      char *err, size_t err_size)
{
    // The key lives in this context only, never on disk; the module draws
    // a new one every lifetime and keeps the previous one for tickets
    // still in flight. Its mutex (threading support, required in tls.cc)
    // makes writing and parsing tickets safe from any connection thread.
    int r = mbedtls_ssl_ticket_setup(ticket, f_rng, p_rng, MBEDTLS_CIPHER_AES_256_GCM,
                                     kTicketLifetimeSeconds);
    if (r != 0) {
        tls_error(err, err_size, "ticket_setup", r);
        return -1;
    }
    mbedtls_ssl_conf_session_tickets_cb(conf, mbedtls_ssl_ticket_write,
                                        mbedtls_ssl_ticket_parse, ticket);
    return 0;
}
