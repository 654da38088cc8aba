"""The front end against the real binary: start-up, framing, the token gate,
routing, the fixed answer format, keep-alive and pipelining, card presence."""

import os
import re
import shutil
import socket
import subprocess
import time
import unittest

from harness import (BIN, HEALTH, STREAM, WAIT, Client, NoCardServiceCase, Service, TempDir,
                     fixed_answer, free_port, make_credentials, request)


def run_binary(args, timeout=WAIT):
    return subprocess.run([BIN] + args, capture_output=True, timeout=timeout)


class StartUp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = TempDir(cls)
        cls.cert, cls.key, cls.secret = make_credentials(cls.tmp.path)

    def test_bad_command_lines_print_usage_and_exit_2_before_opening_anything(self):
        # The secret named here does not exist: had it been opened, the
        # process would have ended with the FATAL line and status 1.
        missing = os.path.join(self.tmp.path, "absent.key")
        for args in (["--port"], ["--help", "x"], ["-p", "9444"], ["9444"],
                     ["--secret", missing, "--port"], ["--secret", missing, "--verbose", "1"],
                     ["--secret", missing, "--port", ""]):
            r = run_binary(args)
            self.assertEqual(r.returncode, 2, args)
            self.assertEqual(r.stderr.decode(),
                             "usage: %s [--port N] [--cert PEM] [--key PEM] [--secret FILE]\n" % BIN, args)

    def fatal(self, args):
        r = run_binary(args)
        self.assertEqual(r.returncode, 1, r.stderr)
        lines = r.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d call-audio: FATAL: ")
        return lines[0]

    def test_secret_missing_short_or_not_a_file_is_fatal_even_without_certificate(self):
        short = os.path.join(self.tmp.path, "short.key")
        with open(short, "wb") as f:
            f.write(b"fifteen-bytes!!\n")
        fifo = os.path.join(self.tmp.path, "fifo.key")  # nobody writes it: must not hang
        os.mkfifo(fifo)
        none = "FATAL: no auth secret available; refusing to start"
        irregular = "FATAL: auth secret %s is not a regular file; refusing to start"
        for secret, want in ((os.path.join(self.tmp.path, "absent.key"), none), (short, none),
                             (fifo, irregular % fifo), ("/dev/zero", irregular % "/dev/zero"),
                             (self.tmp.path, irregular % self.tmp.path)):
            line = self.fatal(["--secret", secret, "--cert", "/nonexistent.pem", "--port", str(free_port())])
            self.assertTrue(line.endswith(want), line)

    def test_listener_failures_name_their_step(self):
        port = free_port()
        base = ["--secret", self.secret, "--port", str(port)]
        failed = r"FATAL: listen on :%d failed: %%s: .* \(-0x[0-9a-f]{4,}\)$" % port
        other = TempDir(self).path
        _, other_key, _ = make_credentials(other)
        for step, files in (("load cert", ["--cert", "/nonexistent/cert.pem", "--key", self.key]),
                            ("load key", ["--cert", self.cert, "--key", "/nonexistent/key.pem"]),
                            ("key does not match certificate", ["--cert", self.cert, "--key", other_key])):
            self.assertRegex(self.fatal(base + files), failed % step)
        with socket.socket() as busy:
            busy.bind(("0.0.0.0", port))
            busy.listen(1)
            line = self.fatal(base + ["--cert", self.cert, "--key", self.key])
        self.assertRegex(line, failed % "bind")

    def test_options_in_any_order_and_last_one_wins(self):
        # An empty --secret is ignored: the one before it still holds. A
        # secret others may read is used, with a warning before the start.
        port = free_port()
        absent = os.path.join(self.tmp.path, "absent.key")
        shared = os.path.join(self.tmp.path, "shared.key")
        shutil.copy(self.secret, shared)
        os.chmod(shared, 0o604)
        svc = Service(self.tmp.path, args=["--key", self.key, "--port", "1", "--secret", absent,
                                           "--secret", shared, "--cert", self.cert,
                                           "--port", str(port), "--secret", ""], port=port)
        try:
            svc.start()
            self.assertRegex(svc.log_text(), r"^\S+ \S+ call-audio: warning: auth secret %s can be read by others "
                             r"\(mode 604\)\n\S+ \S+ call-audio: listening on :%d \(cert %s\)\n"
                             % (re.escape(shared), port, re.escape(self.cert)))
        finally:
            svc.stop()


class FrontEnd(NoCardServiceCase):
    """One service for the whole class; the simulated card folder starts empty."""

    def set_cards(self, *ids):
        cards = os.path.join(self.sim, "cards")
        for name in os.listdir(cards):
            os.rmdir(os.path.join(cards, name))
        for i in ids:
            os.mkdir(os.path.join(cards, i))

    # --- the answer format ---

    def test_preflight_answer_is_byte_exact_without_token(self):
        expected = fixed_answer("204 No Content", b"", "keep-alive", "text/plain")
        c, (_, _, body, head) = self.ask(request("OPTIONS", "/anything"))
        self.assertEqual(head, expected)
        self.assertEqual(len(head), 237)
        self.assertEqual(body, b"")
        # Same connection: still open, and a close wish gives the 232-byte head.
        _, (_, _, _, head) = self.ask(request("OPTIONS", "/x", close=True), c)
        self.assertEqual(head, expected.replace(b"keep-alive", b"close"))
        self.assertEqual(len(head), 232)
        self.assertTrue(c.closed())

    def test_health_reports_card_presence_as_it_changes(self):
        for cards, present in (((), b"false"), (("RM500QGL",), b"true"), (("modem",), b"true"),
                               (("RM500QGL", "modem"), b"true"), (("other",), b"false")):
            self.set_cards(*cards)
            self.assertEqual(self.health(), b'{"success":true,"card_present":%s}' % present, cards)
        self.set_cards()

    def test_health_with_header_token_and_exact_head(self):
        raw = ("GET %s HTTP/1.1\r\nX-Audio-Token: %s\r\n\r\n" % (HEALTH, self.tok)).encode()
        _, (_, _, body, head) = self.ask(raw)
        self.assertEqual(head + body, fixed_answer(
            "200 OK", b'{"success":true,"card_present":false}', "keep-alive"))

    # --- the token gate and routing ---

    def test_refusals_are_byte_exact_and_closing_and_403s_are_logged_without_the_token(self):
        expired = self.svc.token(ttl=-1)
        forbidden = fixed_answer("403 Forbidden", b'{"success":false,"error":"forbidden"}')
        cases = [(request("GET", path, tok), forbidden)
                 for path, tok in ((HEALTH, None), (HEALTH, expired), ("/no/such/route", None))]
        # With a valid token, in the header: PROPFIND is cut to "PROPFIN"
        # and the rest of the word becomes the target, query and all.
        cases += [(request(method, path, None, ("x-audio-token: " + self.tok,)), fixed_answer("404 Not Found"))
                  for method, path in (("get", HEALTH), ("GET", HEALTH + "/"), ("POST", HEALTH),
                                       ("GET", "/api/v1/voice_call/audio/Health"), ("PROPFIND", HEALTH))]
        # No target: the next request in the same write must not lend its own.
        cases.append((b"GET\r\n\r\n" + request("GET", HEALTH, self.tok), fixed_answer("400 Bad Request")))
        for raw, want in cases:
            c, (_, _, body, head) = self.ask(raw)
            self.assertEqual(head + body, want, raw[:60])
            self.assertTrue(c.closed(), raw[:60])
        # Request bytes outside printable ASCII reach the log escaped.
        c, (status, _, _, _) = self.ask(b"GE\x01T /x\x1b[2J\x07\x7f\xff?token=x HTTP/1.1\r\n\r\n")
        self.assertEqual(status, "HTTP/1.1 403 Forbidden")
        self.svc.wait_log(r"rejected unauthenticated GET /no/such/route\n")
        self.svc.wait_log(r"rejected unauthenticated GE\\x01T /x\\x1b\[2J\\x07\\x7f\\xff\n")
        log = self.svc.log_text()
        self.assertNotRegex(log, "[\x00-\x09\x0b-\x1f\x7f-\xff\ufffd]")
        self.assertIn("rejected unauthenticated GET %s\n" % HEALTH, log)
        self.assertNotIn(expired.split(".")[1], log)
        self.assertNotIn("token=", log)

    # --- framing, keep-alive and pipelining ---

    def test_keep_alive_and_connection_close_variants(self):
        c = self.connect()
        for headers in ((), ("Connection: keep-alive",), ("Connection: upgrade",),
                        ("connection : close",)):
            _, (status, h, _, _) = self.ask(request("GET", HEALTH, self.tok, headers), c)
            self.assertEqual(h["connection"], "keep-alive", headers)
        # HTTP/1.0 without a close wish stays open too.
        _, (_, h, _, _) = self.ask(("GET %s?token=%s HTTP/1.0\r\n\r\n" % (HEALTH, self.tok)).encode(), c)
        self.assertEqual(h["connection"], "keep-alive")
        for value in ("Close", "CLOSE", "closed"):
            c = self.connect()
            _, (status, h, _, _) = self.ask(request("GET", HEALTH, self.tok, ("Connection: " + value,)), c)
            self.assertEqual(h["connection"], "close", value)
            self.assertTrue(c.closed(), value)

    def test_pipelined_requests_are_answered_in_order_when_the_last_is_split(self):
        # Half of the third request comes with the first two, the rest later.
        c = self.connect()
        third = request("GET", "/nope", self.tok)
        c.send(request("OPTIONS", "/a") + request("GET", HEALTH, self.tok) + third[:30])
        time.sleep(0.2)
        c.send(third[30:])
        self.assert_statuses(c, "204 No Content", "200 OK", "404 Not Found")
        self.assertTrue(c.closed())

    def test_stream_without_a_card_ends_the_connection_before_a_pipelined_request(self):
        c, (_, _, body, head) = self.ask(request("GET", STREAM, self.tok) + request("GET", HEALTH, self.tok))
        self.assertEqual(head + body, fixed_answer(
            "503 Service Unavailable", b'{"success":false,"error":"no modem audio card"}'))
        self.assertTrue(c.closed())

    def test_body_of_a_health_request_is_taken_as_the_next_request(self):
        c = self.connect()
        nxt = request("OPTIONS", "/after")
        c.send(("GET %s?token=%s HTTP/1.1\r\n\r\n" % (HEALTH, self.tok)).encode() + nxt)
        self.assert_statuses(c, "200 OK", "204 No Content")

    def test_lines_after_the_blank_line_never_belong_to_the_request(self):
        # A token header or a close wish in the next request does not count
        # for the request before it.
        c = self.connect()
        c.send(request("GET", HEALTH, None) + request("OPTIONS", "/x", None, ("x-audio-token: " + self.tok,)))
        self.assertEqual(c.response()[0], "HTTP/1.1 403 Forbidden")
        c = self.connect()
        c.send(request("GET", HEALTH, self.tok) + request("OPTIONS", "/x", close=True))
        self.assertEqual(c.response()[1]["connection"], "keep-alive")
        self.assertEqual(c.response()[1]["connection"], "close")


class DescriptorLimit(unittest.TestCase):
    """Every connection holds a descriptor and their number is not limited,
    so a busy router can run out. accept() then fails at once, again and
    again: the accept loop must wait for a connection to end, not spin."""

    def test_out_of_descriptors_neither_spins_nor_stops_serving(self):
        svc = Service(TempDir(self).path, wrapper=["prlimit", "--nofile=16:16", "--"]).start(owner=self)
        clients = []
        self.addCleanup(lambda: [c.close() for c in clients])
        for _ in range(16):
            try:
                clients.append(Client(svc.port, svc.cert, timeout=2))
            except OSError:  # the handshake times out once accept() fails
                break
        self.assertLess(len(clients), 16, "the limit was never reached")

        def cpu_ticks():
            fields = open("/proc/%d/stat" % svc.proc.pid).read().rsplit(")", 1)[1].split()
            return int(fields[11]) + int(fields[12])  # utime + stime

        before = cpu_ticks()
        time.sleep(2.0)
        # A spinning accept loop burns the whole 2 s (about 200 ticks).
        self.assertLess(cpu_ticks() - before, 50)
        while clients:
            clients.pop().close()
        self.assertEqual(svc.ask_once(request("GET", HEALTH, svc.token()))[0], "HTTP/1.1 200 OK")


if __name__ == "__main__":
    unittest.main()
