"""Shared pieces of the end-to-end tests: development credentials, starting
and stopping the real call-audio binary, an independent TLS client (Python's
ssl module) and token minting with Python's own HMAC."""

import hashlib
import hmac
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("CALLAUDIO_BUILD_DIR", os.path.join(ROOT, "build"))
BIN = os.environ.get("CALLAUDIO_BIN", os.path.join(BUILD, "service", "call-audio"))
SHIM = os.environ.get("CALLAUDIO_SHIM", os.path.join(BUILD, "tools", "simcard", "libsimcard_shim.so"))

HEALTH = "/api/v1/voice_call/audio/health"
STREAM = "/api/v1/voice_call/audio/stream"
TX = "/api/v1/voice_call/audio/tx"

WAIT = 10.0  # seconds: the longest any single step of a test waits


def make_credentials(directory, key="ec"):
    """Writes cert.pem, key.pem and secret.key into `directory`."""
    cert = os.path.join(directory, "cert.pem")
    keyf = os.path.join(directory, "key.pem")
    if key == "ec":
        newkey = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"]
    else:
        newkey = ["-newkey", "rsa:2048"]
    subprocess.run(["openssl", "req", "-x509", "-nodes", *newkey, "-keyout", keyf, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    secret = os.path.join(directory, "secret.key")
    # Readable by its owner only: the service warns about any wider mode.
    with os.fdopen(os.open(secret, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
        f.write(os.urandom(32).hex().encode() + b"\n")
    return cert, keyf, secret


def read_secret(path):
    with open(path, "rb") as f:
        data = f.read(128)
    return data.rstrip(b"\r\n")


def mint(secret_path, expiry=None, ttl=3600):
    digits = expiry if expiry is not None else str(int(time.time()) + ttl)
    mac = hmac.new(read_secret(secret_path), digits.encode(), hashlib.sha256).hexdigest()
    return digits + "." + mac


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def preload_env(env):
    """Adds the card-presence shim to a child's environment. A sanitizer
    runtime insists on coming first in the load order; the shim is plain C
    and needs nothing of it, so that check is switched off."""
    env = dict(env)
    env["LD_PRELOAD"] = SHIM
    asan = env.get("ASAN_OPTIONS", "")
    if "verify_asan_link_order" not in asan:
        env["ASAN_OPTIONS"] = (asan + ":verify_asan_link_order=0").lstrip(":")
    return env


class Service:
    """One running call-audio process with its own port, files and log."""

    def __init__(self, workdir, args=None, env=None, port=None, sim_dir=None, wrapper=None):
        self.workdir = workdir
        self.port = port or free_port()
        self.cert, self.key, self.secret = (os.path.join(workdir, n) for n in ("cert.pem", "key.pem", "secret.key"))
        if not os.path.exists(self.cert):
            make_credentials(workdir)
        self.sim_dir = sim_dir
        self.log_path = os.path.join(workdir, "service-%d.log" % self.port)
        self.args = args if args is not None else ["--port", str(self.port), "--cert", self.cert,
                                                   "--key", self.key, "--secret", self.secret]
        self.env = env
        self.wrapper = wrapper or []
        self.proc = None

    def start(self, wait_listening=True, owner=None):
        """Starts the process. `owner`, a test or a test class, stops it when
        done, even when the start itself fails."""
        if owner is not None:
            cleanup_of(owner)(self.stop)
        env = preload_env(self.env if self.env is not None else os.environ)
        if self.sim_dir:
            env["CALLAUDIO_SIM_DIR"] = self.sim_dir
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(self.wrapper + [BIN] + self.args, stdout=subprocess.DEVNULL,
                                     stderr=self.log, env=env)
        if wait_listening:
            self.wait_log(r"listening on :%d" % self.port)
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=WAIT)
        if self.proc:
            self.log.close()
            # A sanitizer build reports into the service's own stderr; any
            # report there fails the test that ran the service.
            for marker in ("ERROR: AddressSanitizer", "WARNING: ThreadSanitizer",
                           "runtime error:", "ERROR: LeakSanitizer"):
                if marker in self.log_text():
                    raise AssertionError("sanitizer report in the service log:\n" + self.log_text())

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_log(self, pattern, timeout=WAIT, count=1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(re.findall(pattern, self.log_text())) >= count:
                return
            if self.proc.poll() is not None:
                raise AssertionError("service exited (%s) waiting for %r:\n%s"
                                     % (self.proc.returncode, pattern, self.log_text()))
            time.sleep(0.02)
        raise AssertionError("no log line %r within %ss:\n%s" % (pattern, timeout, self.log_text()))

    def token(self, **kw):
        return mint(self.secret, **kw)

    def connect(self, host="127.0.0.1"):
        return Client(self.port, self.cert, host=host)

    def ask_once(self, raw, host="127.0.0.1"):
        """Sends `raw` on a connection of its own; returns the first answer
        as Client.response() does."""
        c = self.connect(host)
        try:
            c.send(raw)
            return c.response()
        finally:
            c.close()


def tls_context(cafile=None):
    """A client context that trusts `cafile`, or verifies nothing without
    one; the host name is never checked."""
    ctx = ssl.create_default_context(cafile=cafile) if cafile else ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    if not cafile:
        ctx.verify_mode = ssl.CERT_NONE
    return ctx


def client_hello():
    """A TLS client's first flight, for tests that send it their own way."""
    outgoing = ssl.MemoryBIO()
    try:
        tls_context().wrap_bio(ssl.MemoryBIO(), outgoing, server_hostname="localhost").do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def read_to_close(sock):
    """Everything `sock` (plain or TLS) receives until the peer closes."""
    data = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except (ssl.SSLZeroReturnError, ConnectionResetError):
            chunk = b""
        if not chunk:
            return data
        data += chunk


class Client:
    """A TLS connection that speaks raw bytes, so tests control framing."""

    def __init__(self, port, cafile, host="127.0.0.1", timeout=WAIT, rcvbuf=None):
        ctx = tls_context(cafile)
        if rcvbuf:
            # Set before connecting, so the window the client offers stays
            # small: a listener whose kernel buffers little.
            raw = socket.socket()
            raw.settimeout(timeout)
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
            raw.connect((host, port))
        else:
            raw = socket.create_connection((host, port), timeout=timeout)
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = ctx.wrap_socket(raw, server_hostname="localhost")
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def _fill(self):
        try:
            chunk = self.sock.recv(65536)
        except (ssl.SSLZeroReturnError, ConnectionResetError):
            chunk = b""
        if not chunk:
            raise EOFError("connection closed")
        self.buf += chunk

    def read_exact(self, n):
        while len(self.buf) < n:
            self._fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def read_until(self, marker):
        while marker not in self.buf:
            self._fill()
        i = self.buf.index(marker) + len(marker)
        out, self.buf = self.buf[:i], self.buf[i:]
        return out

    def response(self):
        """Reads one answer with a Content-Length body. Returns (status line,
        headers dict with lower-case names, body, raw head)."""
        head = self.read_until(b"\r\n\r\n")
        lines = head.decode().split("\r\n")
        headers = {}
        for line in lines[1:]:
            if line:
                k, v = line.split(":", 1)
                headers[k.strip().lower()] = v.strip()
        body = self.read_exact(int(headers.get("content-length", "0")))
        return lines[0], headers, body, head

    def closed(self):
        """True when the server closes the connection with no further bytes."""
        try:
            self._fill()
        except EOFError:
            return self.buf == b""
        except socket.timeout:
            return False
        return False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def fixed_answer(status, body=b'{"success":false}', connection="close", ctype="application/json"):
    """The exact bytes of one of the service's fixed answers, head and body."""
    head = ("HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Headers: content-type, x-audio-token\r\n"
            "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
            "Connection: %s\r\n\r\n") % (status, ctype, len(body), connection)
    return head.encode() + body


def request(method, path, token=None, headers=(), body=b"", close=False):
    target = path + ("?token=" + token if token else "")
    lines = ["%s %s HTTP/1.1" % (method, target), "Host: localhost"]
    lines += list(headers)
    if body:
        lines.append("Content-Length: %d" % len(body))
    if close:
        lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def start_on_sim(workdir, cards=("RM500QGL",)):
    """Starts a Service whose ALSA sees only a fresh simulated modem card in
    workdir/sim. Returns (service, sim); sim is a simcard.Sim."""
    sys.path.insert(0, os.path.join(ROOT, "tools", "simcard"))
    from simcard import Sim
    sim = Sim.create(os.path.join(workdir, "sim"), BUILD, cards=cards)
    svc = Service(workdir, env=sim.env(), sim_dir=sim.root)
    return svc.start(), sim


class NoCardServiceCase(unittest.TestCase):
    """One service for a whole test class, its simulated card folder empty
    (no modem card), and the clients of each test closed after it."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = TempDir(cls)
        cls.sim = os.path.join(cls.tmp.path, "sim")
        os.makedirs(os.path.join(cls.sim, "cards"))
        cls.svc = Service(cls.tmp.path, sim_dir=cls.sim).start(owner=cls)
        cls.tok = cls.svc.token()

    def setUp(self):
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()

    def connect(self, timeout=WAIT):
        c = Client(self.svc.port, self.svc.cert, timeout=timeout)
        self.clients.append(c)
        return c

    def ask(self, raw, client=None):
        """Sends `raw` (on a new connection unless `client` is given);
        returns the connection and its first answer."""
        c = client or self.connect()
        c.send(raw)
        return c, c.response()

    def health(self):
        """The body of a health answer on a connection of its own; it must be a 200."""
        status, _, body, _ = self.svc.ask_once(request("GET", HEALTH, self.tok, close=True))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        return body

    def assert_statuses(self, c, *statuses):
        """The next answers on `c` have these status codes and texts, in order."""
        self.assertEqual([c.response()[0] for _ in statuses], ["HTTP/1.1 " + s for s in statuses])


def cleanup_of(owner):
    """addClassCleanup of a test class, addCleanup of a test."""
    return owner.addClassCleanup if isinstance(owner, type) else owner.addCleanup


class TempDir:
    def __init__(self, owner=None):
        self.path = tempfile.mkdtemp(prefix="callaudio-e2e-")
        if owner is not None:  # a test or test class that removes it when done
            cleanup_of(owner)(self.cleanup)

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)
