"""The OpenWrt package without an OpenWrt SDK: the procd init script
through shellcheck, and the package Makefile for what the SDK requires."""

import os
import pathlib
import re
import shutil
import subprocess
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PKG = os.path.join(ROOT, "packaging", "openwrt", "call-audio")


def read(name):
    with open(os.path.join(PKG, name)) as f:
        return f.read()


def define_block(text, name):
    m = re.search(r"(?ms)^define %s\n(.*?)^endef$" % re.escape(name), text)
    return m.group(1) if m else None


class InitScript(unittest.TestCase):
    def test_passes_shellcheck(self):
        if not shutil.which("shellcheck"):
            self.skipTest("shellcheck not installed (Debian package shellcheck)")
        r = subprocess.run(["shellcheck", os.path.join(PKG, "files", "call-audio.init")],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())

    def test_is_a_procd_service_with_respawn_syslog_options_and_file_triggers(self):
        text = read("files/call-audio.init")
        self.assertTrue(text.startswith("#!/bin/sh /etc/rc.common\n"))
        self.assertTrue(os.access(os.path.join(PKG, "files", "call-audio.init"), os.X_OK))
        self.assertRegex(text, r"(?m)^USE_PROCD=1$")
        self.assertRegex(text, r"(?m)^\s*procd_set_param respawn\b")
        self.assertRegex(text, r"(?m)^\s*procd_set_param stderr 1$")
        self.assertRegex(text, r'(?m)^\s*procd_set_param file "\$cert" "\$key" "\$secret"$')
        self.assertRegex(text, r'--port "\$port" --cert "\$cert" --key "\$key" --secret "\$secret"')

    def test_uci_defaults_and_init_fallbacks_are_the_service_defaults(self):
        # What the service itself uses when an option is not given, read from its code.
        code = "".join(p.read_text() for d in ("service", "auth") for p in pathlib.Path(ROOT, d).glob("*.cc"))
        init, config = read("files/call-audio.init"), read("files/call-audio.config")
        for option in ("port", "cert", "key", "secret"):
            value = re.search(r'%s(?:_path)? = "?([^";]+)' % option, code).group(1)
            self.assertRegex(config, r"(?m)^\toption %s '%s'$" % (option, re.escape(value)))
            self.assertRegex(init, r"(?m)^\s*config_get %s main %s %s$" % (option, option, re.escape(value)))

    def test_start_runs_the_service_as_its_own_user_in_a_jail(self):
        # start_service with procd's and UCI's helpers stubbed to print
        # their calls (UCI answers with the defaults).
        stubs = "".join("%s() { echo \"%s $*\"; }\n" % (f, f) for f in (
            "procd_open_instance", "procd_set_param", "procd_add_jail", "procd_add_jail_mount",
            "procd_add_jail_mount_rw", "procd_close_instance", "chgrp", "chmod"))
        script = stubs + 'config_load() { :; }\nconfig_get() { eval "$1=\\$4"; }\n. "$1"\nstart_service\n'
        r = subprocess.run(["sh", "-c", script, "sh", os.path.join(PKG, "files", "call-audio.init")],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        calls = r.stdout.decode().splitlines()
        files = "/etc/vesk-manager-web/ssl/cert.pem /etc/vesk-manager-web/ssl/key.pem " \
                "/etc/vesk-manager-web/audio_token.key"
        optional = [p for p in ("/etc/asound.conf", "/etc/TZ", "/etc/localtime", "/usr/share/zoneinfo")
                    if os.path.exists(p)]
        self.assertEqual(calls, [
            "chgrp call-audio " + files, "chmod g+r " + files, "procd_open_instance ",
            "procd_set_param command /usr/bin/call-audio --port 9444 --cert "
            "/etc/vesk-manager-web/ssl/cert.pem --key /etc/vesk-manager-web/ssl/key.pem "
            "--secret /etc/vesk-manager-web/audio_token.key",
            "procd_set_param user call-audio", "procd_set_param group call-audio",
            "procd_set_param no_new_privs 1", "procd_add_jail call-audio procfs",
            "procd_add_jail_mount %s /usr/share/alsa" % files, "procd_add_jail_mount_rw /dev/snd"]
            + ["procd_add_jail_mount " + p for p in optional] + [
            "procd_set_param respawn 3600 5 5", "procd_set_param stderr 1",
            "procd_set_param file " + files, "procd_close_instance "])
        # The package makes the account, in the audio group that owns /dev/snd.
        block = define_block(read("Makefile"), "Package/call-audio")
        self.assertRegex(block, r"(?m)^\s*USERID:=call-audio=\d+:call-audio=\d+:audio=29$")


class PackageMakefile(unittest.TestCase):
    def setUp(self):
        self.text = read("Makefile")

    def test_has_the_fields_and_includes_the_sdk_requires(self):
        for field in ("PKG_NAME", "PKG_VERSION", "PKG_RELEASE", "PKG_LICENSE"):
            self.assertRegex(self.text, r"(?m)^%s:=\S+" % field)
        self.assertRegex(self.text, r"(?m)^PKG_NAME:=call-audio$")
        rules = self.text.index("include $(TOPDIR)/rules.mk")
        package = self.text.index("include $(INCLUDE_DIR)/package.mk")
        self.assertLess(rules, self.text.index("PKG_NAME:="), "rules.mk must come first")
        self.assertLess(self.text.index("PKG_RELEASE:="), package, "PKG_* before package.mk")

    def test_defines_the_package_its_install_and_builds_it(self):
        block = define_block(self.text, "Package/call-audio")
        self.assertIsNotNone(block)
        for field in ("SECTION", "CATEGORY", "TITLE"):
            self.assertRegex(block, r"(?m)^\s*%s:=\S" % field)
        deps = re.search(r"(?m)^\s*DEPENDS:=(.*)$", block).group(1).split()
        self.assertIn("+libmbedtls", deps)
        self.assertIn("+alsa-lib", deps)
        install = define_block(self.text, "Package/call-audio/install")
        self.assertIsNotNone(install)
        self.assertIn("$(1)/usr/bin/", install)
        self.assertIn("./files/call-audio.init $(1)/etc/init.d/call-audio", install)
        # Recipe lines of a define must start with a tab, as make reads them.
        for line in install.splitlines():
            self.assertTrue(line.startswith("\t"), repr(line))
        self.assertTrue(self.text.rstrip().endswith("$(eval $(call BuildPackage,call-audio))"))


if __name__ == "__main__":
    unittest.main()
