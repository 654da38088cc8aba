// What the service's TLS offers and accepts: protocol versions, cipher
// suites, key-exchange groups, signature algorithms and session tickets.
// The lists live in policy.cc, each with its reason, for both mbed TLS
// lines the service builds against (2.28 and 3.6).
//
// Threads: both calls run once, in tls_listen, before any session exists.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ticket.h>

// Which AEAD the server lists first: AES-GCM where the CPU does AES rounds
// and GHASH's carry-less multiply in hardware and mbed TLS uses them;
// elsewhere ChaCha20-Poly1305, which in software costs less than AES-GCM
// does. Both are always offered: only the order changes.
enum class TlsSuiteOrder { kAesGcmFirst, kChaChaFirst };

// What the suite order is decided from: the CPU's own report of its crypto
// instructions, and whether the linked mbed TLS has code for them there.
enum class TlsCpuKind { kX86_64, kArm64, kArm32, kOther };
struct TlsCpuReport {
    TlsCpuKind kind;
    // As the CPU reports them: on x86-64 ECX of CPUID leaf 1; on 64-bit Arm
    // getauxval(AT_HWCAP); on 32-bit Arm getauxval(AT_HWCAP2).
    uint64_t features;
    // mbed TLS was built with its AES and GHASH code for these instructions
    // (AES-NI and PCLMULQDQ on x86-64; the Armv8 crypto extensions, which
    // 3.x has and 2.28 lacks).
    bool library_uses_them;
};

// The feature bits that matter, as the kernel and CPUID define them.
constexpr uint64_t kTlsX86Aes = 1u << 25;      // CPUID.1:ECX.AESNI
constexpr uint64_t kTlsX86Pclmul = 1u << 1;    // CPUID.1:ECX.PCLMULQDQ
constexpr uint64_t kTlsArm64Aes = 1u << 3;     // HWCAP_AES
constexpr uint64_t kTlsArm64Pmull = 1u << 4;   // HWCAP_PMULL
constexpr uint64_t kTlsArm32Aes = 1u << 0;     // HWCAP2_AES
constexpr uint64_t kTlsArm32Pmull = 1u << 1;   // HWCAP2_PMULL

// The order for a CPU: AES-GCM first only when the CPU reports both the AES
// and the carry-less multiply instructions of its kind and the library uses
// them. Pure; any thread.
TlsSuiteOrder tls_suite_order(const TlsCpuReport &cpu);
// This CPU's report (cpuid or getauxval) and this build's library. Cheap,
// but called once, at start-up.
TlsCpuReport tls_cpu_report();
// The suite list of an order, 0-terminated and static: every suite the
// policy allows, the chosen AEAD's ahead of the other's.
const int *tls_suite_list(TlsSuiteOrder order);
// "AES-GCM first (AES instructions in use)" or "ChaCha20-Poly1305 first
// (no AES instructions in use)", for the start-up log.
const char *tls_suite_order_text(TlsSuiteOrder order);

// Sets versions, suites (in `order`), groups and signature algorithms on a
// server `conf` already given its defaults, and makes the server's order
// of suites decide over the client's where the library lets it (TLS 1.2;
// a TLS 1.3 server in mbed TLS 3.6 takes the client's first acceptable
// suite). The library keeps pointers to the lists, which are static.
// Returns 0, or -1 with "policy: <library text> (-0x....)" in `err` when
// this build of the library has none of the policy's suites or groups (no
// client could ever complete a handshake).
int tls_policy_apply(mbedtls_ssl_config *conf, TlsSuiteOrder order, char *err, size_t err_size);

// Keys `ticket` (initialised with mbedtls_ssl_ticket_init by the caller,
// who also frees it after every session) from the random generator and
// hands it to `conf`, so clients resume with an abbreviated handshake.
// The generator must be safe to call from any thread: the ticket module
// draws new keys from it on whichever connection thread rotates them.
// Returns 0, or -1 with "ticket_setup: <library text> (-0x....)" in `err`.
int tls_tickets_setup(mbedtls_ssl_config *conf, mbedtls_ssl_ticket_context *ticket,
                      int (*f_rng)(void *, unsigned char *, size_t), void *p_rng,
                      char *err, size_t err_size);
