#!/usr/bin/env bash
# Runs the browser client's end-to-end test in one engine:
#   run-browser-test.sh chromium|firefox|webkit
# Installs what the engine needs from Debian when it is missing (chromium;
# firefox-esr and a sound server; WebKitGTK's WebDriver and Xvfb) and, into web/test/e2e/node_modules, the puppeteer-core version
# pinned in web/test/e2e/package.json for Chromium and Firefox. Nothing is
# installed when all is there. Where the engine cannot be installed the test
# is skipped with a message saying why.
#   CALLAUDIO_BUILD_DIR   build dir with the service and the simulated card (default build/)
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
e2e="$here/e2e"
engine="${1:-chromium}"

case "$engine" in
  chromium) packages=(chromium) ;;
  firefox)  packages=(firefox-esr pulseaudio) ;;
  webkit)   packages=(webkit2gtk-driver xvfb) ;;
  *) echo "run-browser-test: unknown engine '$engine' (chromium, firefox or webkit)" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "run-browser-test: installing ${missing[*]}" >&2
  { $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null; } ||
    echo "run-browser-test: ${missing[*]} could not be installed; the $engine test will say what is missing" >&2
fi

if [ "$engine" != webkit ]; then
  want="$(node -p "require('$e2e/package.json').dependencies['puppeteer-core']")"
  have="$(node -p "try { require('$e2e/node_modules/puppeteer-core/package.json').version } catch { '' }")"
  if [ "$want" != "$have" ]; then
    echo "run-browser-test: installing puppeteer-core $want" >&2
    # No lock file: package.json pins the one dependency exactly.
    (cd "$e2e" && npm install --no-package-lock --no-audit --no-fund --loglevel=error) ||
      { echo "run-browser-test: npm install failed" >&2; exit 1; }
  fi
fi

CALLAUDIO_BROWSER="$engine" exec node --test "$e2e/browser.test.mjs"
