#!/usr/bin/env bash
# Installs what building and testing Quillon needs, when it is missing.
# Debian; run as root (or with sudo available).
set -euo pipefail
# scdoc builds the manual pages; dpkg-dev (dpkg-shlibdeps) and file serve
# CPack's Debian package; man-db, mandoc and lintian check pages and package.
# nlohmann-json3-dev writes pxtool's JSON; librsvg2-bin (rsvg-convert)
# renders pxtool report's SVG timeline in its test. libssl-dev: package
# signatures (libcrypto); minisign: the tests that sign and check packages
# with the stock tool. libsqlite3-dev: the history database;
# python3-prometheus-client reads pxtool history's OpenMetrics in its test.
packages=(cmake make g++ libgtest-dev libbenchmark-dev nlohmann-json3-dev
          libssl-dev minisign scdoc dpkg-dev file man-db mandoc lintian
          librsvg2-bin libsqlite3-dev python3-prometheus-client)
# The Ansible collection's tests (scripts/test_ansible.sh); QUILLON_SKIP_ANSIBLE=1
# leaves them out, here and in scripts/run_tests.sh.
[ "${QUILLON_SKIP_ANSIBLE:-0}" = 1 ] || packages+=(ansible-core ansible-lint python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=300 "${missing[@]}"
fi
