/* handshake_ceiling KEY.pem SECONDS [CURVE]
 *
 * How many full TLS 1.2 ECDHE handshakes one core could serve if the server
 * did nothing but their public-key work, with this machine's mbed TLS: per
 * handshake an ephemeral key pair on CURVE (default secp256r1; also
 * secp384r1, secp521r1, x25519), the shared secret from a client's
 * public point, and one signature of a 32-byte digest with the server's
 * own key (ECDSA P-256 or RSA-2048, whatever KEY.pem holds). Everything else
 * of a handshake (hashing, record layer, certificate parsing) is left out,
 * so a real server stays below this figure.
 *
 * Prints one line of JSON: {"key":"EC|RSA","bits":N,"curve":C,"handshakes":N,
 * "seconds":S,"per_second":R,"ecdhe_us":U,"sign_us":U}. The run is bounded
 * by SECONDS (at most 30, of CPU time, as are all its times) and by a
 * fixed count.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdh.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/version.h>

#define MAX_ROUNDS 200000

static double now(void)
{
    struct timespec ts;
    /* CPU time, not wall time: the ceiling is what one core could do, and
     * other load on the machine must not lower it. */
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int fail(const char *what, int rc)
{
    fprintf(stderr, "handshake_ceiling: %s failed (-0x%04x)\n", what, (unsigned)-rc);
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: %s KEY.pem SECONDS [CURVE]\n", argv[0]);
        return 2;
    }
    const char *curve_name = argc == 4 ? argv[3] : "secp256r1";
    const mbedtls_ecp_curve_info *curve = mbedtls_ecp_curve_info_from_name(curve_name);
    if (!curve) {
        fprintf(stderr, "handshake_ceiling: unknown curve %s\n", curve_name);
        return 2;
    }
    double budget = atof(argv[2]);
    if (budget <= 0 || budget > 30)
        budget = 2;

    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_pk_context key;
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_pk_init(&key);
    int rc = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy,
                                   (const unsigned char *)"bench", 5);
    if (rc)
        return fail("ctr_drbg_seed", rc);
#if MBEDTLS_VERSION_MAJOR >= 3
    rc = mbedtls_pk_parse_keyfile(&key, argv[1], NULL, mbedtls_ctr_drbg_random, &drbg);
#else
    rc = mbedtls_pk_parse_keyfile(&key, argv[1], NULL);
#endif
    if (rc)
        return fail("pk_parse_keyfile", rc);

    /* The client's side of the exchange, made once: the server's cost per
     * handshake does not depend on which client point it meets. */
    mbedtls_ecdh_context client;
    mbedtls_ecdh_init(&client);
    rc = mbedtls_ecdh_setup(&client, curve->grp_id);
    if (rc)
        return fail("ecdh_setup", rc);
    unsigned char client_pub[200];
    size_t client_pub_len = 0;
    rc = mbedtls_ecdh_make_public(&client, &client_pub_len, client_pub, sizeof(client_pub),
                                  mbedtls_ctr_drbg_random, &drbg);
    if (rc)
        return fail("client make_public", rc);

    unsigned char digest[32];
    memset(digest, 0x5a, sizeof(digest));
    unsigned char sig[MBEDTLS_PK_SIGNATURE_MAX_SIZE];
    unsigned char pub[200];
    unsigned char secret[80];

    double ecdhe_time = 0, sign_time = 0;
    long rounds = 0;
    double start = now();
    while (rounds < MAX_ROUNDS && now() - start < budget) {
        double t0 = now();
        mbedtls_ecdh_context server;
        mbedtls_ecdh_init(&server);
        size_t len = 0;
        rc = mbedtls_ecdh_setup(&server, curve->grp_id);
        if (!rc)
            rc = mbedtls_ecdh_make_public(&server, &len, pub, sizeof(pub),
                                          mbedtls_ctr_drbg_random, &drbg);
        if (!rc)
            rc = mbedtls_ecdh_read_public(&server, client_pub, client_pub_len);
        if (!rc)
            rc = mbedtls_ecdh_calc_secret(&server, &len, secret, sizeof(secret),
                                          mbedtls_ctr_drbg_random, &drbg);
        mbedtls_ecdh_free(&server);
        if (rc)
            return fail("server ecdhe", rc);
        double t1 = now();
        size_t sig_len = 0;
#if MBEDTLS_VERSION_MAJOR >= 3
        rc = mbedtls_pk_sign(&key, MBEDTLS_MD_SHA256, digest, sizeof(digest), sig, sizeof(sig),
                             &sig_len, mbedtls_ctr_drbg_random, &drbg);
#else
        rc = mbedtls_pk_sign(&key, MBEDTLS_MD_SHA256, digest, sizeof(digest), sig, &sig_len,
                             mbedtls_ctr_drbg_random, &drbg);
#endif
        if (rc)
            return fail("pk_sign", rc);
        double t2 = now();
        ecdhe_time += t1 - t0;
        sign_time += t2 - t1;
        rounds++;
    }
    double elapsed = now() - start;

    const char *kind = mbedtls_pk_get_type(&key) == MBEDTLS_PK_RSA ? "RSA" : "EC";
    printf("{\"key\":\"%s\",\"bits\":%u,\"curve\":\"%s\",\"handshakes\":%ld,\"seconds\":%.3f,"
           "\"per_second\":%.1f,\"ecdhe_us\":%.1f,\"sign_us\":%.1f}\n",
           kind, (unsigned)mbedtls_pk_get_bitlen(&key), curve->name, rounds, elapsed,
           rounds / elapsed, rounds ? ecdhe_time / rounds * 1e6 : 0.0,
           rounds ? sign_time / rounds * 1e6 : 0.0);

    mbedtls_ecdh_free(&client);
    mbedtls_pk_free(&key);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
    return 0;
}
