#!/usr/bin/env bash
# Installs the Debian packages a need calls for, when they are missing.
# Run as root (or with sudo available).
#
#   bash scripts/setup.sh [--print] [NEED]
#
# NEED is one of
#   example  build Quillon and pxtool (scripts/run_example.sh)
#   package  that, the manual pages and the Debian package (README, Install)
#   tests    everything scripts/run_tests.sh uses (the default)
# Each need includes the ones above it. QUILLON_SKIP_ANSIBLE=1 leaves out
# what only the Ansible collection's tests use. --print lists the packages
# of the need, one a line, and installs nothing.
#
# The terminal gets one line per step; apt's own output goes to a log file,
# whose path and last lines are shown when a step fails.
set -euo pipefail

# The compiler and the libraries the configure step requires: libssl-dev
# (libcrypto: package signatures), nlohmann-json3-dev (pxtool's JSON).
example=(cmake make g++ libssl-dev nlohmann-json3-dev)
# scdoc builds the manual pages; dpkg-dev (dpkg-shlibdeps) and file serve
# CPack's Debian package.
package=("${example[@]}" scdoc dpkg-dev file)
# libgtest-dev: the tests; libbenchmark-dev: the benchmarks; minisign: the
# tests that sign and check packages with the stock tool; man-db, mandoc and
# lintian check the pages and the package; librsvg2-bin (rsvg-convert)
# renders pxtool report's SVG timeline; python3-jsonschema holds JSON output
# to its schema; python3-prometheus-client and libsqlite3-dev, tests use
# them too.
tests=("${package[@]}" libgtest-dev libbenchmark-dev minisign man-db mandoc
       lintian librsvg2-bin python3-jsonschema python3-prometheus-client
       libsqlite3-dev)
# The Ansible collection's tests (scripts/test_ansible.sh); QUILLON_SKIP_ANSIBLE=1
# leaves them out, here and in scripts/run_tests.sh.
[ "${QUILLON_SKIP_ANSIBLE:-0}" = 1 ] || tests+=(ansible-core ansible-lint python3-pytest)

usage() { echo "usage: bash scripts/setup.sh [--print] [example|package|tests]" >&2; exit 2; }
print=false
[ "${1:-}" = --print ] && { print=true; shift; }
need=${1:-tests}
[ $# -le 1 ] || usage
case $need in
  example) packages=("${example[@]}"); purpose="building the example" ;;
  package) packages=("${package[@]}"); purpose="building the Debian package" ;;
  tests)   packages=("${tests[@]}");   purpose="the tests" ;;
  *) usage ;;
esac
if $print; then printf '%s\n' "${packages[@]}"; exit 0; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

log=$(mktemp "${TMPDIR:-/tmp}/quillon-setup.XXXXXX.log")
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
step() {  # step WHAT COMMAND...: runs the command, its output into the log
  local what=$1; shift
  if ! "$@" >>"$log" 2>&1; then
    echo "setup: $what failed; the log is $log, its last lines:" >&2
    tail -n 15 "$log" >&2
    exit 1
  fi
}
echo "setup: updating the package lists"
step "apt-get update" $sudo apt-get update
noun=packages; [ ${#missing[@]} = 1 ] && noun=package
echo "setup: installing ${#missing[@]} $noun for $purpose: ${missing[*]}"
step "apt-get install" $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y \
  -o DPkg::Lock::Timeout=300 "${missing[@]}"
rm -f "$log"
echo "setup: done"
