"""Listening on every local address: IPv6 and IPv4 clients reach one
service, and a kernel without IPv6 still gets an IPv4 listener."""

import os
import socket
import unittest

from harness import HEALTH, SHIM, WAIT, Service, TempDir, request

NO_IPV6_SHIM = os.environ.get("CALLAUDIO_NO_IPV6_SHIM", "")


def host_has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class DualStack(unittest.TestCase):
    def setUp(self):
        if not host_has_ipv6_loopback():
            self.skipTest("this host has no IPv6 loopback (::1); dual-stack listening not testable here")
        self.tmp = TempDir(self)
        self.svc = Service(self.tmp.path).start(owner=self)

    def test_ipv6_and_ipv4_clients_reach_the_same_listener(self):
        for host in ("::1", "127.0.0.1"):
            status, _, body, _ = self.svc.ask_once(request("GET", HEALTH, self.svc.token(), close=True), host)
            self.assertEqual(status, "HTTP/1.1 200 OK", host)
            self.assertTrue(body.startswith(b'{"success":true,"card_present":'), (host, body))

    def test_port_taken_on_ipv6_alone_fails_at_bind_with_the_same_text(self):
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as busy:
            busy.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            busy.bind(("::", 0))
            busy.listen(1)
            port = busy.getsockname()[1]
            other = Service(self.tmp.path, port=port)
            other.start(wait_listening=False)
            try:
                other.proc.wait(timeout=WAIT)
            finally:
                other.stop()
        self.assertEqual(other.proc.returncode, 1)
        self.assertRegex(other.log_text(),
                         r"FATAL: listen on :%d failed: bind: .* \(-0x[0-9a-f]{4,}\)\n" % port)


class WithoutIpv6(unittest.TestCase):
    def setUp(self):
        if not NO_IPV6_SHIM:
            self.skipTest("CALLAUDIO_NO_IPV6_SHIM not set; run through ctest")
        # The harness preloads the card shim; `env` adds the shim that makes
        # every IPv6 socket fail as on a kernel built without IPv6.
        self.svc = Service(TempDir(self).path, wrapper=["env", "LD_PRELOAD=%s %s" % (SHIM, NO_IPV6_SHIM)])
        self.svc.start(owner=self)

    def test_falls_back_to_ipv4_only(self):
        self.assertRegex(self.svc.log_text(), r"call-audio: listening on :%d \(cert " % self.svc.port)
        self.assertEqual(self.svc.ask_once(request("GET", HEALTH, self.svc.token(), close=True))[0],
                         "HTTP/1.1 200 OK")
        if host_has_ipv6_loopback():
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("::1", self.svc.port), timeout=WAIT).close()


if __name__ == "__main__":
    unittest.main()
