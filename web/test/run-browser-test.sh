#!/usr/bin/env bash
# Runs the browser client's end-to-end test in headless Chromium. Installs
# Debian's chromium and, into web/test/e2e/node_modules, the playwright-core
# version pinned in web/test/e2e/package.json when they are missing; does
# nothing of the kind when they are there. Where Chromium cannot be
# installed the test is skipped with a message saying so.
#   CALLAUDIO_BUILD_DIR   build dir with the service and the simulated card (default build/)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
e2e="$here/e2e"

if [ ! -x /usr/bin/chromium ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "run-browser-test: installing chromium" >&2
  { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      $sudo apt-get install -y -qq --no-install-recommends chromium >/dev/null; } ||
    echo "run-browser-test: chromium could not be installed; the browser test will be skipped" >&2
fi

want="$(node -p "require('$e2e/package.json').dependencies['playwright-core']")"
have="$(node -p "try { require('$e2e/node_modules/playwright-core/package.json').version } catch { '' }")"
if [ "$want" != "$have" ]; then
  echo "run-browser-test: installing playwright-core $want" >&2
  # No lock file: package.json pins the one dependency exactly.
  (cd "$e2e" && npm install --no-package-lock --no-audit --no-fund --loglevel=error) ||
    { echo "run-browser-test: npm install failed" >&2; exit 1; }
fi

exec node --test "$e2e/browser.test.mjs"
