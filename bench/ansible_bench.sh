#!/usr/bin/env bash
# What the role kelvane.quillon.quillon_package costs per host over running
# Quillon by hand with ansible.builtin.command: both run fresh copies of the
# example package (examples/hello, without its delayed reboot, so that one run
# of Quillon does all for either) on localhost, alternated, ROUNDS times in one
# ansible-playbook run; prints the medians and their difference (goal: at most
# 0.4 s per host).
#
#   bash bench/ansible_bench.sh [BIN_DIR] [ROUNDS]     (default build/bin, 20)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build/bin}")
rounds=${2:-20}
tmp=$(mktemp -d /tmp/quillon-ansible-bench.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
cp -r examples/hello "$tmp/package"
sed -i 's/ Delayed//' "$tmp/package/pkg/px.arg"
for ((i = 0; i < rounds; i++)); do
  cp -r "$tmp/package" "$tmp/role-$i"
  cp -r "$tmp/package" "$tmp/command-$i"
done
mkdir -p "$tmp/home"
export HOME=$tmp/home ANSIBLE_HOME=$tmp/ansible-home ANSIBLE_LOCAL_TEMP=$tmp/ansible-local \
       ANSIBLE_REMOTE_TEMP=$tmp/ansible-remote PYTHONDONTWRITEBYTECODE=1 \
       ANSIBLE_COLLECTIONS_PATH=$PWD/ansible ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 \
       ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_INVENTORY_UNPARSED_WARNING=false \
       ANSIBLE_NOCOLOR=1 ANSIBLE_STDOUT_CALLBACK=minimal
out=$(timeout 1200 ansible-playbook -c local -i localhost, bench/ansible_bench.yml \
        -e quillon_bench_dir="$tmp" -e quillon_bench_bin="$bin" -e quillon_bench_rounds="$rounds")
line=$(grep -o 'BENCH [^"]*' <<<"$out" | tail -1)
echo "$line"
awk '{ for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
       d = v["role_median"] - v["command_median"]
       printf "role over ansible.builtin.command: %+.3f s per host (goal: at most 0.4 s)\n", d
       exit (d > 0.4) }' <<<"$line"
