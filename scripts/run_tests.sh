#!/usr/bin/env bash
# The test command: installs what is missing, builds, runs every test, tests
# the installation and the Debian package, runs every fuzz target for a
# bounded time (FUZZ_SECONDS, default 30 each), then builds and runs all
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh tests
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
[ "${QUILLON_SKIP_ANSIBLE:-0}" = 1 ] || bash scripts/test_ansible.sh build/bin  # the Ansible collection
bash scripts/test_install.sh build  # cmake --install, the .deb, man pages

FUZZ_SECONDS=${FUZZ_SECONDS:-30} bash scripts/run_fuzzers.sh

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON -DQUILLON_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
   UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j"$jobs")
