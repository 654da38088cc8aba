#include "tls/policy.h"

#include <gtest/gtest.h>

#include <mbedtls/ssl_ciphersuites.h>

namespace {

constexpr uint64_t kX86Both = kTlsX86Aes | kTlsX86Pclmul;
constexpr uint64_t kArm64Both = kTlsArm64Aes | kTlsArm64Pmull;
constexpr uint64_t kArm32Both = kTlsArm32Aes | kTlsArm32Pmull;
// Feature bits that sit beside the ones that matter (SSE4.2 and AVX on
// x86-64, ASIMD and SHA-2 on Arm), so a row cannot pass by an exact match.
constexpr uint64_t kX86Other = (1u << 20) | (1u << 28);
constexpr uint64_t kArmOther = (1u << 1) | (1u << 6);

TEST(SuiteOrder, FollowsTheCpuAndWhatTheLibraryUses)
{
    const TlsSuiteOrder aes = TlsSuiteOrder::kAesGcmFirst;
    const TlsSuiteOrder chacha = TlsSuiteOrder::kChaChaFirst;
    const struct {
        const char *what;
        TlsCpuReport cpu;
        TlsSuiteOrder want;
    } cases[] = {
        {"x86-64 with AES-NI and PCLMULQDQ", {TlsCpuKind::kX86_64, kX86Both | kX86Other, true}, aes},
        {"x86-64, library without AES-NI code", {TlsCpuKind::kX86_64, kX86Both, false}, chacha},
        {"x86-64 with AES-NI but no PCLMULQDQ", {TlsCpuKind::kX86_64, kTlsX86Aes | kX86Other, true}, chacha},
        {"x86-64 with PCLMULQDQ but no AES-NI", {TlsCpuKind::kX86_64, kTlsX86Pclmul, true}, chacha},
        {"x86-64 without either (or CPUID failed)", {TlsCpuKind::kX86_64, 0, true}, chacha},
        {"Armv8 64-bit with AES and PMULL, mbed TLS 3.x", {TlsCpuKind::kArm64, kArm64Both | kArmOther, true}, aes},
        {"Armv8 64-bit with AES and PMULL, mbed TLS 2.28", {TlsCpuKind::kArm64, kArm64Both, false}, chacha},
        {"Armv8 64-bit without crypto extensions (a Cortex-A53 router SoC)",
         {TlsCpuKind::kArm64, kArmOther, true}, chacha},
        {"Armv8 64-bit with AES but no PMULL", {TlsCpuKind::kArm64, kTlsArm64Aes, true}, chacha},
        {"Armv8 32-bit with AES and PMULL in HWCAP2", {TlsCpuKind::kArm32, kArm32Both, true}, aes},
        {"32-bit Arm, library built for Armv7", {TlsCpuKind::kArm32, kArm32Both, false}, chacha},
        {"Armv7 (no crypto extensions)", {TlsCpuKind::kArm32, 0, true}, chacha},
        {"64-bit Arm bits read as 32-bit Arm ones", {TlsCpuKind::kArm32, kArm64Both, true}, chacha},
        {"x86-64 bits read as 64-bit Arm ones", {TlsCpuKind::kArm64, kX86Both, true}, chacha},
        {"MIPS (any other CPU)", {TlsCpuKind::kOther, ~uint64_t{0}, true}, chacha},
    };
    for (const auto &c : cases)
        EXPECT_EQ(tls_suite_order(c.cpu), c.want) << c.what;
}

// Which AEAD leads a list, judged by the TLS 1.2 ECDSA suites (the
// certificate browsers meet): the first of them that the list names.
int first_ecdsa_tls12(const int *list)
{
    for (; *list; ++list)
        if (*list == MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256 ||
            *list == MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256)
            return *list;
    return 0;
}

TEST(SuiteOrder, ListsLeadWithTheirAeadAndOfferTheSameSuites)
{
    const int *aes = tls_suite_list(TlsSuiteOrder::kAesGcmFirst);
    const int *chacha = tls_suite_list(TlsSuiteOrder::kChaChaFirst);
    EXPECT_EQ(first_ecdsa_tls12(aes), MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256);
    EXPECT_EQ(first_ecdsa_tls12(chacha), MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256);
    size_t n = 0;
    for (; aes[n]; ++n) {
        bool found = false;
        for (const int *s = chacha; *s; ++s)
            found = found || *s == aes[n];
        EXPECT_TRUE(found) << "suite 0x" << std::hex << aes[n];
    }
    size_t m = 0;
    while (chacha[m])
        ++m;
    EXPECT_EQ(n, m);
}

}  // namespace
