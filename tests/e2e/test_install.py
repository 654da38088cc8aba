"""`cmake --install` of this build into a temporary DESTDIR: what lands
where, the unit naming the installed binary, and the unit passing
systemd-analyze verify."""

import os
import re
import shutil
import stat
import subprocess
import unittest

from harness import BUILD, WAIT, TempDir

CMAKE = os.environ.get("CALLAUDIO_CMAKE", "cmake")
UNIT = "lib/systemd/system/call-audio.service"


def install(destdir, prefix):
    env = dict(os.environ, DESTDIR=destdir)
    r = subprocess.run([CMAKE, "--install", BUILD, "--prefix", prefix], env=env,
                       capture_output=True, timeout=120)
    if r.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + r.stdout.decode() + r.stderr.decode())
    return r.stdout.decode()


def read(*parts):
    with open(os.path.join(*parts)) as f:
        return f.read()


def files_under(top):
    out = set()
    for base, _, names in os.walk(top):
        for n in names:
            out.add(os.path.relpath(os.path.join(base, n), top))
    return out


class Install(unittest.TestCase):
    def setUp(self):
        self.dest = TempDir(self).path

    def assert_unit_names(self, prefix, exec_start):
        """The installed unit starts the binary under `prefix` and reads the
        options file there."""
        unit = read(self.dest, prefix.lstrip("/"), UNIT)
        self.assertRegex(unit, r"(?m)^ExecStart=%s/bin/call-audio %s" % (re.escape(prefix), exec_start))
        etc = "/etc" if prefix == "/usr" else prefix + "/etc"
        self.assertRegex(unit, r"(?m)^EnvironmentFile=-%s/default/call-audio$" % re.escape(etc))

    def test_usr_prefix_puts_files_where_a_distribution_expects_them(self):
        install(self.dest, "/usr")
        self.assertEqual(files_under(self.dest), {
            "usr/bin/call-audio", "usr/bin/call-audio-token",
            "usr/" + UNIT, "usr/lib/sysusers.d/call-audio.conf",
            "usr/share/doc/call-audio/README.md", "usr/share/doc/call-audio/integration.md",
            "etc/default/call-audio"})
        binary = os.path.join(self.dest, "usr/bin/call-audio")
        self.assertTrue(os.stat(binary).st_mode & stat.S_IXUSR)
        # The installed program is the service: a bad command line gets its
        # usage line and status 2.
        r = subprocess.run([binary, "--port"], capture_output=True, timeout=WAIT)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"[--port N] [--cert PEM] [--key PEM] [--secret FILE]", r.stderr)
        # It needs libc, mbed TLS and libasound at run time, and no C++
        # runtime (libstdc++, libgcc_s) nor libm, which a router lacks.
        # (Sanitizer builds link their runtimes on top, by design.)
        r = subprocess.run(["readelf", "-d", binary], capture_output=True, timeout=WAIT, check=True)
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", r.stdout.decode())
        allowed = r"^lib(c|pthread|mbedtls|mbedx509|mbedcrypto|asound)\.so\.\d+$"
        self.assertIn("libc.so.6", needed)
        if not os.environ.get("CALLAUDIO_SANITIZE"):
            self.assertEqual([n for n in needed if not re.match(allowed, n)], [], needed)
        if os.environ.get("CALLAUDIO_HARDENED") == "ON":
            # Relocations resolved at start, then read-only; canaries and
            # fortified calls, which come from libc (no libssp).
            self.assertRegex(r.stdout.decode(), r"\(FLAGS\)\s+.*\bBIND_NOW\b")
            r = subprocess.run(["readelf", "-lW", "--dyn-syms", binary], capture_output=True, timeout=WAIT,
                               check=True)
            self.assertRegex(r.stdout.decode(), r"(?m)^\s*GNU_RELRO\s")
            self.assertRegex(r.stdout.decode(), r"\s__stack_chk_fail@")
            self.assertRegex(r.stdout.decode(), r"\s__\w+_chk@")
        self.assert_unit_names("/usr", r"--port \$\{CALLAUDIO_PORT\}")

    def test_other_prefix_is_honoured_in_paths_and_in_the_unit(self):
        install(self.dest, "/opt/ca")
        got = files_under(self.dest)
        self.assertTrue(all(p.startswith("opt/ca/") for p in got), got)
        self.assertIn("opt/ca/bin/call-audio", got)
        self.assertIn("opt/ca/etc/default/call-audio", got)
        self.assert_unit_names("/opt/ca", "")

    def test_reinstall_keeps_the_administrators_options(self):
        install(self.dest, "/usr")
        options = os.path.join(self.dest, "etc/default/call-audio")
        with open(options, "w") as f:
            f.write("CALLAUDIO_PORT=9555\n")
        install(self.dest, "/usr")
        self.assertEqual(read(options), "CALLAUDIO_PORT=9555\n")


class UnitVerify(unittest.TestCase):
    """systemd-analyze verify on the unit as installed; the binary's path is
    pointed into the DESTDIR, since verify insists that it exists."""

    def setUp(self):
        self.analyze = shutil.which("systemd-analyze")
        if not self.analyze:
            self.skipTest("systemd-analyze not installed (Debian package systemd)")
        self.dest = TempDir(self).path
        # A unit that cannot be wrong tells whether verify works here at all
        # (it needs no running systemd, but some containers still refuse).
        probe = os.path.join(self.dest, "probe.service")
        with open(probe, "w") as f:
            f.write("[Service]\nExecStart=/bin/true\n")
        r = self.verify(probe)
        if r.returncode != 0 or r.stderr.strip():
            self.skipTest("systemd-analyze verify cannot run here: " + r.stderr.decode().strip())

    def verify(self, path):
        return subprocess.run([self.analyze, "verify", path], capture_output=True, timeout=60)

    def test_installed_unit_verifies_cleanly_and_is_hardened(self):
        install(self.dest, "/usr")
        unit = read(self.dest, "usr", UNIT)
        for line in ("Restart=on-failure", "User=call-audio", "SupplementaryGroups=audio",
                     "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateTmp=yes",
                     "CapabilityBoundingSet=", "StandardError=journal", "ProtectProc=invisible",
                     "ProtectKernelTunables=yes", "RestrictAddressFamilies=AF_INET AF_INET6",
                     "SystemCallFilter=~@privileged @resources", "RestrictRealtime=yes"):
            self.assertRegex(unit, r"(?m)^%s$" % re.escape(line))
        checked = os.path.join(self.dest, "call-audio.service")
        with open(checked, "w") as f:
            f.write(unit.replace("ExecStart=/usr/bin/", "ExecStart=%s/usr/bin/" % self.dest))
        r = self.verify(checked)
        self.assertEqual((r.returncode, r.stderr.decode()), (0, ""))


if __name__ == "__main__":
    unittest.main()
