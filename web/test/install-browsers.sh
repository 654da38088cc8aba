#!/usr/bin/env bash
# Installs what the browser engines need to run the client headless with a
# fake microphone, for the browser test and the bench:
#   install-browsers.sh chromium|firefox|webkit ...
# From Debian when missing: chromium; firefox-esr and a sound server;
# WebKitGTK's WebDriver and Xvfb. Into web/test/e2e/node_modules: the
# versions pinned in web/test/e2e/package.json (axe-core for every engine,
# puppeteer-core for Chromium and Firefox). Nothing is installed when all is there. A
# Debian package that cannot be installed is only reported (whoever runs
# the engine then says what is missing); a failed npm install exits 1.
set -uo pipefail
e2e="$(cd "$(dirname "$0")" && pwd)/e2e"

packages=()
driver=no
for engine in "$@"; do
  case "$engine" in
    chromium) packages+=(chromium); driver=yes ;;
    firefox)  packages+=(firefox-esr pulseaudio); driver=yes ;;
    webkit)   packages+=(webkit2gtk-driver xvfb) ;;
    *) echo "install-browsers: unknown engine '$engine' (chromium, firefox or webkit)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "install-browsers: installing ${missing[*]}" >&2
  { $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null; } ||
    echo "install-browsers: ${missing[*]} could not be installed; the engines that need them will say so" >&2
fi

# Every engine's test runs axe-core in the page; Chromium and Firefox also
# need puppeteer-core.
stale=no
for dep in axe-core $([ "$driver" = yes ] && echo puppeteer-core); do
  want="$(node -p "require('$e2e/package.json').dependencies['$dep']")"
  have="$(node -p "try { require('$e2e/node_modules/$dep/package.json').version } catch { '' }")"
  [ "$want" = "$have" ] || stale=yes
done
if [ "$stale" = yes ]; then
  echo "install-browsers: installing the pinned npm packages of web/test/e2e" >&2
  # No lock file: package.json pins every dependency exactly.
  (cd "$e2e" && npm install --no-package-lock --no-audit --no-fund --loglevel=error) ||
    { echo "install-browsers: npm install failed" >&2; exit 1; }
fi
exit 0
