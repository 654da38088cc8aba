"""The browser client's figures per engine, from browser_bench.mjs, which
hands back finished table rows."""

import json
import os
import subprocess

from common import HERE


def run(ctx, creds):
    env = dict(os.environ, CALLAUDIO_BUILD_DIR=ctx.build, CALLAUDIO_BIN=ctx.binary)
    cmd = ["node", os.path.join(HERE, "browser_bench.mjs"), "--json", "--seconds", "10" if ctx.quick else "30"]
    try:
        r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=900)
        return json.loads(r.stdout.strip().splitlines()[-1])
    except (OSError, subprocess.SubprocessError, ValueError, IndexError) as e:
        return {"rows": [["browser", "error", str(e)[:200], ""]]}


def rows(res):
    return [tuple(r) for r in res.get("rows", [])]
