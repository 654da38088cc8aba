"""The token-minting examples in docs/integration.md, run as written
against the real service: each must mint a token the service accepts, and
a token it mints already expired must be refused."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import HEALTH, ROOT, WAIT, NoCardServiceCase, request

GUIDE = os.path.join(ROOT, "docs", "integration.md")

# Interpreter candidates and file suffix for each example's language tag.
RUNNERS = {
    "sh": (["sh"], ".sh"),
    "python": (["python3"], ".py"),
    "lua": (["lua5.4", "lua5.3"], ".lua"),
    "node": (["node", "nodejs"], ".js"),
}


def examples():
    with open(GUIDE) as f:
        text = f.read()
    return dict(re.findall(r"<!-- token-example: (\w+) -->\n```\w+\n(.*?)```", text, re.S))


class GuideTokenExamples(NoCardServiceCase):
    def test_the_guide_has_one_example_per_language(self):
        self.assertEqual(set(examples()), set(RUNNERS))

    def mint(self, lang, ttl):
        names, suffix = RUNNERS[lang]
        exe = next((shutil.which(n) for n in names if shutil.which(n)), None)
        if not exe:
            self.skipTest("no %s interpreter (%s); scripts/bootstrap installs it" % (lang, "/".join(names)))
        with tempfile.NamedTemporaryFile("w", suffix=suffix, dir=self.tmp.path, delete=False) as f:
            f.write(examples()[lang])
        r = subprocess.run([exe, f.name, self.svc.secret, str(ttl)], capture_output=True, timeout=WAIT)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        token = r.stdout.decode().strip()
        self.assertRegex(token, r"^\d+\.[0-9a-f]{64}$")
        return token

    def status(self, token):
        return self.svc.ask_once(request("GET", HEALTH, token=token, close=True))[0]

    def test_each_example_mints_tokens_the_service_accepts_and_expires(self):
        for lang in sorted(RUNNERS):
            with self.subTest(lang=lang):
                before = int(time.time())
                token = self.mint(lang, 600)
                expiry = int(token.split(".")[0])
                self.assertTrue(before + 600 <= expiry <= int(time.time()) + 600, token)
                self.assertEqual(self.status(token), "HTTP/1.1 200 OK")
                self.assertEqual(self.status(self.mint(lang, -5)), "HTTP/1.1 403 Forbidden")


if __name__ == "__main__":
    unittest.main()
