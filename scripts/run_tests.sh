#!/usr/bin/env bash
# The test command: installs what is missing, builds, runs every test, tests
# the installation and the Debian package, runs every fuzz target for a
# bounded time (FUZZ_SECONDS, 15 s each here, as many at a time as there
# are cores), then builds and runs all tests again under AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Each step says how long it took, so that a slow one shows in the log. (Not
# called in a condition: set -e then stops the script at a failed command
# inside a step as well.)
step() {  # step NAME COMMAND...
  local name=$1 start=$SECONDS; shift
  "$@"
  echo "run_tests: $name took $((SECONDS - start)) s"
}
build_and_test() {  # build_and_test DIR CMAKE_OPTIONS...: configure, build, ctest
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" -DQUILLON_TESTS=ON >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

step setup bash scripts/setup.sh tests
step "build and tests" build_and_test build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${QUILLON_SKIP_ANSIBLE:-0}" != 1 ]; then
  step "Ansible collection" bash scripts/test_ansible.sh build/bin
fi
step "install and .deb" bash scripts/test_install.sh build  # cmake --install, the .deb, man pages
step fuzzing env FUZZ_SECONDS="${FUZZ_SECONDS:-15}" bash scripts/run_fuzzers.sh
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  step "sanitizers" build_and_test build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON
echo "run_tests: all passed in $SECONDS s"
