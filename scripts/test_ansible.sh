#!/usr/bin/env bash
# Tests the Ansible collection ansible/ansible_collections/kelvane/quillon:
# pytest on the modules' result parsing, ansible-lint, the offline subsets of
# ansible-test sanity, and an integration playbook on localhost (-c local) that
# runs the test builds of Quillon and pxtool of BIN_DIR (their run locks in
# the temporary directory) on packages built there, and pxtool's JSON on
# those packages against docs/schemas/. No reboot (the role's
# reboot is replaced by a task that records it); nothing is written outside
# the temporary directory.
#
#   bash scripts/test_ansible.sh [BIN_DIR]      (default build/bin)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
bin=$(realpath "${1:-build/bin}")
collection=$repo/ansible/ansible_collections/kelvane/quillon
py=/usr/bin/python3  # Debian's, where ansible-core and pytest are installed

tmp=$(mktemp -d /tmp/quillon-ansible.XXXXXX)
held_pid=
cleanup() {
  [ -n "$held_pid" ] && kill "$held_pid" 2>/dev/null && wait "$held_pid" 2>/dev/null
  rm -rf "$tmp" "$collection/tests/output"
}
trap cleanup EXIT

# The test builds of Quillon and pxtool keep their run locks here, not in /run.
export QUILLON_RUN_LOCK_DIR=$tmp/locks
# Their history database is here, not in /var/lib.
export QUILLON_HISTORY_DIR=$tmp/history
# Their reboot-required marker goes here, not into /run.
export QUILLON_REBOOT_MARKER_DIR=$tmp/run
mkdir -p "$QUILLON_REBOOT_MARKER_DIR"

# Ansible, ansible-lint and Python keep their state in the temporary directory.
mkdir -p "$tmp/home"
export HOME=$tmp/home ANSIBLE_HOME=$tmp/ansible-home ANSIBLE_LOCAL_TEMP=$tmp/ansible-local \
       ANSIBLE_REMOTE_TEMP=$tmp/ansible-remote XDG_CACHE_HOME=$tmp/cache \
       PYTHONDONTWRITEBYTECODE=1 ANSIBLE_COLLECTIONS_PATH=$repo/ansible \
       ANSIBLE_PYTHON_INTERPRETER=$py ANSIBLE_LOCALHOST_WARNING=false \
       ANSIBLE_INVENTORY_UNPARSED_WARNING=false ANSIBLE_NOCOLOR=1 \
       ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false

echo "== pytest: result parsing"
PYTHONPATH=$repo/ansible timeout 120 $py -m pytest -q -p no:cacheprovider "$collection/tests/unit"

echo "== ansible-lint"
# Run from the repository: ansible-lint lints the files git knows below ansible/.
timeout 300 ansible-lint --offline --nocolor -q ansible/

echo "== ansible-test sanity (offline subsets)"
# Offline, ansible-test runs the tests that need no Python packages from PyPI;
# ansible-doc, import, pep8, pylint, runtime-metadata, validate-modules and
# yamllint would install theirs into a virtual environment, so they are left
# out (docs/design.md, "Fleets"). ansible-doc itself checks the documentation.
sanity=(action-plugin-docs compile empty-init future-import-boilerplate
        line-endings metaclass-boilerplate no-assert no-basestring
        no-dict-iteritems no-dict-iterkeys no-dict-itervalues no-get-exception
        no-illegal-filenames no-main-display no-smart-quotes no-unicode-literals
        replace-urlopen shebang symlinks use-argspec-type-path use-compat-six)
(cd "$collection" && timeout 300 ansible-test sanity --python "$($py -c 'import sys; print("%d.%d" % sys.version_info[:2])')" \
   --color no ${sanity[@]/#/--test })
for plugin in module:quillon_run module:quillon_status module:quillon_history \
              filter:quillon_outcome; do
  ansible-doc -t "${plugin%%:*}" --json "kelvane.quillon.${plugin#*:}" > /dev/null
done

ansible-playbook --syntax-check -i localhost, "$collection/playbooks/fleet.yml" > /dev/null

echo "== integration playbook"
fail() { echo "test_ansible: $*"; exit 1; }
crlf() { local f=$1; shift; printf '%s\r\n' "$@" > "$f"; }
package() {  # package DIR LINE... : a classic-layout package with [Commands]
  local dir=$1; shift
  mkdir -p "$dir/pkg" "$dir/files"
  crlf "$dir/pkg/px.arg" '[Runtime]' 'FWPATH=files' '[Commands]' "$@" '[End]'
}
package "$tmp/done" '0 000 flag abort_ne 0' '0 000 sh -c "echo one !{EXTVAR} >> ../ran.txt"' \
        '0 000 flag abort_ne 0 omit_ret_codes 3;' '0 000 sh -c "exit 3"'
package "$tmp/check" '0 000 flag abort_ne 0' '0 000 sh -c "echo one >> ../ran.txt"' \
        '0 000 sh -c "echo two >> ../ran.txt"'
package "$tmp/abort" '0 000 flag abort_ne 0' '0 000 sh -c "echo disk full >&2; exit 7"' \
        '0 000 sh -c "echo never >> ../ran.txt"'
package "$tmp/reboot-src" '0 000 sh -c "echo a >> ../out.txt"' '0 000 flag Reboot' \
        '0 000 sh -c "echo b >> ../out.txt"' '0 000 sh -c "echo c >> ../out.txt"'
tar -C "$tmp/reboot-src" -czf "$tmp/reboot.tar.gz" .
# A delayed reboot in [Commands], and an [UpdCommands] section that must not
# run before that reboot; a copy of it for check mode and for the role.
mkdir -p "$tmp/delayed/pkg" "$tmp/delayed/files"
crlf "$tmp/delayed/pkg/px.arg" '[Runtime]' 'FWPATH=files' '[Commands]' '0 000 flag Delayed' \
     '0 000 sh -c "echo a >> ../out.txt"' '[UpdCommands]' '0 000 sh -c "echo u >> ../out.txt"' '[End]'
cp -r "$tmp/delayed" "$tmp/delayed-check"
cp -r "$tmp/delayed" "$tmp/delayed-role"
# px.arg in the package directory: Quillon's local mode.
mkdir -p "$tmp/local"
crlf "$tmp/local/px.arg" '[Commands]' '0 000 sh -c "echo local >> ran.txt"' '[End]'
# The placeholder as packages write it, unquoted; and quoted, as a package
# that takes any value must.
package "$tmp/shell" '0 000 sh -c "echo !{EXTVAR} >> ../ran.txt"'
package "$tmp/quoted" "0 000 sh -c 'echo \"\$0\" >> ../ran.txt' '!{EXTVAR}'"
package "$tmp/held" '0 000 sh wait.sh'
cat > "$tmp/held/files/wait.sh" <<'SH'
# Holds the package until the test creates "release" (at most 60 s).
touch ../started
i=0
while [ ! -e ../release ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
SH

"$bin/Quillon_fakereboot" "$tmp/held" pkg/px.arg -n & held_pid=$!
for _ in $(seq 100); do [ -e "$tmp/held/started" ] && break; sleep 0.1; done
[ -e "$tmp/held/started" ] || { echo "test_ansible: the holding run did not start"; exit 1; }

timeout 300 ansible-playbook --check -c local -i localhost, "$repo/ansible/tests/check_mode.yml" \
  -e quillon_test_dir="$tmp" -e quillon_test_bin="$bin"
[ ! -e "$tmp/fresh" ] || fail "check mode unpacked the package"
[ ! -e "$tmp/delayed-check/Quillon.log" ] && [ ! -e "$tmp/reboots.txt" ] ||
  fail "check mode ran or rebooted"

timeout 600 ansible-playbook -c local -i localhost, "$repo/ansible/tests/integration.yml" \
  -e quillon_test_dir="$tmp" -e quillon_test_bin="$bin"
wait "$held_pid"; held_pid=

# The script's own checks, beside the playbook's asserts.
grep -q '^1 ' "$tmp/held/pkg/px.arg" || fail "the holding run did not take its line"
[ "$(grep -c 'exec command' "$tmp/held/Quillon.log")" -eq 1 ] || fail "the held package ran twice"
[ ! -e "$tmp/abort/ran.txt" ] || fail "a command behind the aborted one ran"
[ "$(grep -c '^1 ' "$tmp/reboot/pkg/px.arg")" -eq 4 ] || fail "not every line of the reboot package was taken"
[ ! -e "$tmp/check/Quillon.log" ] || fail "check mode ran Quillon"
[ ! -e "$tmp/shell/PWNED" ] || fail "a value with shell characters reached the shell"
[ "$(cat "$tmp/delayed/out.txt")" = "$(printf 'a\nu')" ] || fail "the update section ran before the reboot"
grep -qx quillon "$tmp/run/reboot-required.pkgs" || fail "no reboot-required marker in the test's directory"

# What pxtool tells the modules about the packages as the playbooks left
# them, checked against docs/schemas/: status and plan (what the modules
# read) and the report of each package that ran.
documents=()
for dir in "$tmp"/*/; do
  dir=${dir%/}
  [ -e "$dir/pkg/px.arg" ] || [ -e "$dir/px.arg" ] || continue
  name=$(basename "$dir")
  for sub in status plan report; do
    [ "$sub" != report ] || [ -e "$dir/Quillon.log" ] || continue
    "$bin/pxtool_testbuild" "$sub" "$dir" --format json > "$tmp/$name.$sub.json" || true
    documents+=("$tmp/$name.$sub.json")
  done
done
[ "${#documents[@]}" -gt 10 ] || fail "too few packages to check pxtool's JSON on"
$py "$repo/tests/validate_json.py" "$repo/docs/schemas" --documents "${documents[@]}" ||
  fail "pxtool's JSON does not match docs/schemas"
echo "test_ansible: all checks passed"
