#!/usr/bin/env bash
# What scripts/setup.sh installs for each need (its --print mode, which
# installs nothing), and that the example's need is enough to configure:
# without GoogleTest the programs configure and the tests are left out, but
# a build that asks for the tests (QUILLON_TESTS=ON, as scripts/run_tests.sh
# does) fails at once.
#
#   usage: setup_test.sh SOURCE_DIR CMAKE
set -euo pipefail
src=$1 cmake=$2
tmp=$(mktemp -d "${TMPDIR:-/tmp}/quillon-setup-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "setup_test: FAILED: $*" >&2; exit 1; }
list() { bash "$src/scripts/setup.sh" --print "$@" | LC_ALL=C sort; }

# Each need holds the one below it; only the tests need GoogleTest.
[ -z "$(LC_ALL=C comm -23 <(list example) <(list package))" ] || fail "package lacks some of example"
[ -z "$(LC_ALL=C comm -23 <(list package) <(list tests))" ] || fail "tests lacks some of package"
list example | grep -qx g++ || fail "example without a compiler"
! list example | grep -qx libgtest-dev || fail "example installs GoogleTest"
[ "$(list)" = "$(list tests)" ] || fail "the default need is not tests"
list tests | grep -qx ansible-core || fail "tests without ansible-core"
! QUILLON_SKIP_ANSIBLE=1 list tests | grep -qx ansible-core || fail "QUILLON_SKIP_ANSIBLE=1 still installs ansible-core"
status=0; bash "$src/scripts/setup.sh" --print bogus 2>/dev/null || status=$?
[ "$status" = 2 ] || fail "an unknown need gives exit status $status, not 2"

# Configure with GoogleTest out of sight.
no_gtest=(-S "$src" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_BUILD_TYPE=Release)
"$cmake" "${no_gtest[@]}" -B "$tmp/auto" > "$tmp/auto.log" 2>&1 ||
  fail "configure without GoogleTest: $(tail -n 5 "$tmp/auto.log")"
targets=$("$cmake" --build "$tmp/auto" --target help)
grep -q ' pxtool$' <<< "$targets" || fail "no pxtool target"
! grep -q quillon_tests <<< "$targets" || fail "tests without GoogleTest"
! "$cmake" "${no_gtest[@]}" -B "$tmp/on" -DQUILLON_TESTS=ON > "$tmp/on.log" 2>&1 ||
  fail "QUILLON_TESTS=ON configured without GoogleTest"
grep -q GTest "$tmp/on.log" || fail "QUILLON_TESTS=ON failed, but not for GoogleTest: $(tail -n 5 "$tmp/on.log")"
echo "setup_test: passed"
