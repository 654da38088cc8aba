#!/usr/bin/env bash
# Runs the browser client's end-to-end test in one engine:
#   run-browser-test.sh chromium|firefox|webkit
# First installs what the engine needs (install-browsers.sh); where the
# engine cannot be installed the test is skipped with a message saying why.
#   CALLAUDIO_BUILD_DIR   build dir with the service and the simulated card (default build/)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
engine="${1:-chromium}"
"$here/install-browsers.sh" "$engine" || exit $?
CALLAUDIO_BROWSER="$engine" exec node --test "$here/e2e/browser.test.mjs"
