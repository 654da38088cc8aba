"""What the listener negotiates, seen from the wire: old protocols, suites
without forward secrecy or with legacy ciphers, and small groups are
refused; a client preferring P-521 gets X25519 or P-256; the AEAD the
service prefers on its CPU whatever the client's order; TLS 1.3 where the
library has it; resumed sessions. Python's ssl cannot offer most of the
refused things, so those ClientHellos are built here byte by byte."""

import os
import re
import socket
import ssl
import struct
import threading
import unittest

from harness import HEALTH, WAIT, Service, TempDir, make_credentials, read_to_close, request, tls_context

MBEDTLS = os.environ.get("CALLAUDIO_MBEDTLS_VERSION", "")

# Cipher suite and group code points (IANA).
ECDHE_ECDSA_AES128_GCM = 0xC02B
ECDHE_ECDSA_CHACHA20 = 0xCCA9
ECDHE_RSA_AES128_GCM = 0xC02F
ECDHE_ECDSA_AES128_SHA = 0xC009       # CBC, SHA-1 MAC
ECDHE_ECDSA_AES128_SHA256 = 0xC023    # CBC
ECDHE_ECDSA_AES128_CCM8 = 0xC0AE      # 8-byte tags
ECDH_ECDSA_AES128_GCM = 0xC02D        # static ECDH: no forward secrecy
RSA_AES128_GCM = 0x009C               # RSA key transport: none either
RENEGOTIATION_SCSV = 0x00FF
SECP192R1, SECP224R1, SECP256R1, SECP384R1, SECP521R1, X25519 = 19, 21, 23, 24, 25, 29
GROUP_NAMES = {SECP192R1: "secp192r1", SECP224R1: "secp224r1", SECP256R1: "secp256r1",
               SECP384R1: "secp384r1", SECP521R1: "secp521r1", X25519: "x25519"}
TLS10, TLS11, TLS12 = 0x0301, 0x0302, 0x0303
# ECDSA and RSA with SHA-256/384/512, PSS included, as browsers list them.
SIG_ALGS = [0x0403, 0x0503, 0x0603, 0x0804, 0x0805, 0x0806, 0x0401, 0x0501, 0x0601]


def client_hello(version, suites, groups):
    """A TLS 1.2-style ClientHello record: no supported_versions, so the
    client's highest protocol is `version`."""
    def ext(kind, body):
        return struct.pack("!HH", kind, len(body)) + body

    exts = ext(10, struct.pack("!H", 2 * len(groups)) + b"".join(struct.pack("!H", g) for g in groups))
    exts += ext(11, b"\x01\x00")  # uncompressed points
    exts += ext(13, struct.pack("!H", 2 * len(SIG_ALGS)) + b"".join(struct.pack("!H", a) for a in SIG_ALGS))
    exts += ext(23, b"")  # extended master secret
    suite_bytes = b"".join(struct.pack("!H", s) for s in suites + [RENEGOTIATION_SCSV])
    body = (struct.pack("!H", version) + os.urandom(32) + b"\x00"
            + struct.pack("!H", len(suite_bytes)) + suite_bytes + b"\x01\x00"
            + struct.pack("!H", len(exts)) + exts)
    handshake = b"\x01" + struct.pack("!I", len(body))[1:] + body
    return b"\x16" + struct.pack("!HH", TLS10, len(handshake)) + handshake


def server_answer(port, hello):
    """Sends `hello` and reads the server's first flight up to its
    ServerHelloDone, or to an alert or close before it. Returns None when
    no ServerHello came, else a dict with the ServerHello's version and
    suite, the group of the ServerKeyExchange when ECDHE was chosen, and
    whether the flight was complete ("done"). A server may refuse after its
    ServerHello (2.28 finds no common group only when it signs its key
    exchange), so a refusal is a flight that never completes."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as s:
        s.sendall(hello)
        data = b""
        handshake = b""
        answer = None
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                return answer
            data += chunk
            while len(data) >= 5:
                kind, _, length = struct.unpack("!BHH", data[:5])
                if len(data) < 5 + length:
                    break
                record, data = data[5:5 + length], data[5 + length:]
                if kind == 21:
                    return answer
                if kind != 22:
                    raise AssertionError("unexpected record type %d" % kind)
                handshake += record
            while len(handshake) >= 4:
                msg_type = handshake[0]
                length = int.from_bytes(handshake[1:4], "big")
                if len(handshake) < 4 + length:
                    break
                msg, handshake = handshake[4:4 + length], handshake[4 + length:]
                if msg_type == 2:
                    sid_len = msg[34]
                    answer = {"version": struct.unpack("!H", msg[:2])[0],
                              "suite": struct.unpack("!H", msg[35 + sid_len:37 + sid_len])[0],
                              "group": None, "done": False}
                elif msg_type == 12 and msg[0] == 3:  # named_curve
                    answer["group"] = struct.unpack("!H", msg[1:3])[0]
                elif msg_type == 14:
                    answer["done"] = True
                    return answer


class TlsPolicy(unittest.TestCase):
    """One service with the default ECDSA P-256 certificate and one with an
    RSA 2048 one: which suites and groups a server can pick depends on its
    key (with an EC key, mbed TLS also wants the key's own curve offered)."""

    @classmethod
    def setUpClass(cls):
        tmp = TempDir(cls)
        cls.services = {}
        for key in ("ec", "rsa"):
            workdir = os.path.join(tmp.path, key)
            os.makedirs(os.path.join(workdir, "sim", "cards"))
            make_credentials(workdir, key=key)
            cls.services[key] = Service(workdir, sim_dir=os.path.join(workdir, "sim")).start(owner=cls)

    def test_refuses_what_the_policy_leaves_out(self):
        cases = [
            ("TLS 1.0 only", "ec", TLS10, [ECDHE_ECDSA_AES128_SHA], [SECP256R1]),
            ("TLS 1.1 only", "ec", TLS11, [ECDHE_ECDSA_AES128_SHA], [SECP256R1]),
            ("static ECDH only", "ec", TLS12, [ECDH_ECDSA_AES128_GCM], [SECP256R1]),
            ("static RSA only", "rsa", TLS12, [RSA_AES128_GCM], [SECP256R1]),
            ("CBC with SHA-1 only", "ec", TLS12, [ECDHE_ECDSA_AES128_SHA], [SECP256R1]),
            ("CBC with SHA-256 only", "ec", TLS12, [ECDHE_ECDSA_AES128_SHA256], [SECP256R1]),
            ("CCM_8 only", "ec", TLS12, [ECDHE_ECDSA_AES128_CCM8], [SECP256R1]),
            ("groups under 256 bits only", "rsa", TLS12, [ECDHE_RSA_AES128_GCM], [SECP224R1, SECP192R1]),
        ]
        for what, key, version, suites, groups in cases:
            with self.subTest(what):
                answer = server_answer(self.services[key].port, client_hello(version, suites, groups))
                self.assertFalse(answer and answer["done"], "the server chose %r" % (answer,))

    def test_client_preferring_p521_gets_x25519_or_p256(self):
        # The same hand-built hello with allowed suites is served, so the
        # refusals above are the policy's and not a malformed hello's.
        for key, suite in (("ec", ECDHE_ECDSA_AES128_GCM), ("rsa", ECDHE_RSA_AES128_GCM)):
            with self.subTest(key):
                answer = server_answer(self.services[key].port,
                                       client_hello(TLS12, [suite], [SECP521R1, X25519, SECP256R1, SECP384R1]))
                self.assertTrue(answer and answer["done"], "refused: %r" % (answer,))
                self.assertEqual((answer["version"], answer["suite"]), (TLS12, suite))
                self.assertIn(GROUP_NAMES.get(answer["group"], answer["group"]), ("x25519", "secp256r1"))

    def test_the_servers_order_of_aeads_decides(self):
        # The service names the AEAD it leads with, chosen from the CPU it
        # runs on; a client listing the other one first gets it all the
        # same, since a client's order is its own CPU's.
        m = re.search(r"call-audio: cipher order: (AES-GCM|ChaCha20-Poly1305) first \((no )?AES "
                      r"instructions in use\)\n", self.services["ec"].log_text())
        self.assertIsNotNone(m, self.services["ec"].log_text())
        want = ECDHE_ECDSA_AES128_GCM if m.group(1) == "AES-GCM" else ECDHE_ECDSA_CHACHA20
        for suites in ([ECDHE_ECDSA_CHACHA20, ECDHE_ECDSA_AES128_GCM],
                       [ECDHE_ECDSA_AES128_GCM, ECDHE_ECDSA_CHACHA20]):
            with self.subTest(client_order=[hex(s) for s in suites]):
                answer = server_answer(self.services["ec"].port, client_hello(TLS12, suites, [X25519, SECP256R1]))
                self.assertTrue(answer and answer["done"], "refused: %r" % (answer,))
                self.assertEqual(answer["suite"], want)

    def connect(self, ctx, session=None):
        raw = socket.create_connection(("127.0.0.1", self.services["ec"].port), timeout=WAIT)
        return ctx.wrap_socket(raw, server_hostname="localhost", session=session)

    def ask_health(self, sock):
        """One request, read to the server's close, so that tickets sent
        after a TLS 1.3 handshake have arrived too. Returns the status line."""
        sock.sendall(request("GET", HEALTH, self.services["ec"].token(), close=True))
        return read_to_close(sock).split(b"\r\n", 1)[0]

    def client_context(self, version):
        ctx = tls_context(self.services["ec"].cert)
        ctx.minimum_version = ctx.maximum_version = version
        return ctx

    def test_tls13_client_is_served_on_36(self):
        if not MBEDTLS.startswith("3."):
            self.skipTest("mbed TLS %s has no TLS 1.3 server" % (MBEDTLS or "(unknown)"))
        with self.connect(self.client_context(ssl.TLSVersion.TLSv1_3)) as s:
            self.assertEqual(s.version(), "TLSv1.3")
            self.assertTrue(self.ask_health(s).startswith(b"HTTP/1.1 "))

    def test_resumed_session_is_accepted(self):
        versions = [ssl.TLSVersion.TLSv1_2]
        if MBEDTLS.startswith("3."):
            versions.append(ssl.TLSVersion.TLSv1_3)
        for version in versions:
            with self.subTest(version.name):
                ctx = self.client_context(version)
                with self.connect(ctx) as first:
                    self.assertTrue(self.ask_health(first).startswith(b"HTTP/1.1 "))
                    session = first.session
                self.assertIsNotNone(session)
                # Several at once: the ticket key is shared by every
                # connection thread (under TSan this checks that it is safe).
                reused = []

                def resume():
                    with self.connect(ctx, session=session) as again:
                        if self.ask_health(again).startswith(b"HTTP/1.1 "):
                            reused.append(again.session_reused)

                threads = [threading.Thread(target=resume) for _ in range(8)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join(2 * WAIT)
                self.assertEqual(reused, [True] * 8)


if __name__ == "__main__":
    unittest.main()
