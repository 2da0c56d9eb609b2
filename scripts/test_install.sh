#!/usr/bin/env bash
# Tests what a user gets: `cmake --install` into a temporary prefix, the
# Debian package, the manual pages and the completion scripts.
#
#   bash scripts/test_install.sh [BUILD_DIR]   (default: build, already built)
#
# 1. Installs BUILD_DIR into a temporary prefix, compares the installed files
#    with the expected list (every JSON Schema of docs/schemas among them),
#    runs the installed Quillon (version, the example package on a copy) and
#    pxtool, and checks pxtool's JSON on the example against the installed
#    schemas.
# 2. Checks the manual pages (man --warnings, lexgrog, mandoc -T lint) and
#    that pxtool(1) has a section for every subcommand of "pxtool --help".
# 3. Checks the completion functions against stand-ins for bash-completion's
#    helpers.
# 4. Builds the .deb with CPack into a temporary directory, checks its name,
#    size, fields and file list, unpacks it with dpkg-deb -x, runs the
#    programs from there, and runs lintian (errors and warnings fail, except
#    the accepted ones listed in docs/packaging.md).
# Everything happens in one temporary directory, removed at the end; the
# trace files go there too (QZ_LOG_RINGBUF_DIR). Exits non-zero on the first
# failed check.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
tmp=$(mktemp -d /tmp/quillon-install-test.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
for v in $(env | grep -oE '^(QZ_LOG_[A-Z_]*|TraceFileLimit)='); do unset "${v%=}"; done
export QZ_LOG_RINGBUF_DIR=$tmp/trace
mkdir "$tmp/trace"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
# Debian's python3, with python3-jsonschema (scripts/setup.sh).
python=/usr/bin/python3
[ -x "$python" ] || python=python3
checks=0
fail() { echo "test_install: FAILED: $*" >&2; exit 1; }
check() {  # check DESCRIPTION COMMAND...: the command must succeed
  local what=$1; shift
  "$@" || fail "$what"
  checks=$((checks + 1))
}
same() {  # same DESCRIPTION EXPECTED ACTUAL
  [ "$2" == "$3" ] || fail "$1"$'\n'"expected: $2"$'\n'"actual:   $3"
  checks=$((checks + 1))
}

# Every file a full installation holds, relative to the prefix.
expected_files="bin/pxtool
lib/systemd/system/quillon-resume.service
sbin/Quillon
share/bash-completion/completions/Quillon
share/bash-completion/completions/pxtool
share/doc/quillon/README.md
share/doc/quillon/check-rules.md
share/doc/quillon/copyright
share/doc/quillon/design.md
share/doc/quillon/faults.md
share/doc/quillon/formats.md
share/doc/quillon/json.md
share/man/man1/pxtool.1.gz
share/man/man5/px.arg.5.gz
share/man/man8/Quillon.8.gz
share/quillon/examples/hello/files/check.sh
share/quillon/examples/hello/files/greeting.txt
share/quillon/examples/hello/files/install.sh
share/quillon/examples/hello/pkg/px.arg
$(cd "$top/docs/schemas" && ls -- *.schema.json | LC_ALL=C sort | sed 's|^|share/quillon/schemas/|')"

# The installed Quillon takes its run lock in /run/quillon and records its
# run in /var/lib/quillon/history.db: it runs in a mount namespace of its own
# with an empty /run and /var/lib, so that the test leaves nothing there.
# Where that is not allowed the example run is left out.
private_run() {
  unshare --mount sh -c 'mount -t tmpfs -o mode=0755 tmpfs /run &&
    mount -t tmpfs -o mode=0755 tmpfs /var/lib && exec "$@"' sh "$@"
}
private_run_works=false
private_run true 2>/dev/null && private_run_works=true

# run_programs PREFIX: the installed programs work on their own.
run_programs() {
  local prefix=$1 work
  same "$prefix: Quillon -v" "$version.0" "$("$prefix/sbin/Quillon" -v)"
  same "$prefix: pxtool --version" "pxtool $version" "$("$prefix/bin/pxtool" --version)"
  work=$(mktemp -d "$tmp/example.XXXXXX")
  cp -r "$prefix/share/quillon/examples/hello/." "$work/"
  if $private_run_works; then
    check "$prefix: example run" private_run "$prefix/sbin/Quillon" "$work" pkg/px.arg
    same "$prefix: example status file" $'Status=5\nRetval=1048576' "$(cat "$work/pkg/HandlerStatus.txt")"
    # Two runs on one machine (one /var/lib): the history shows both, and its
    # OpenMetrics form is what Prometheus's own parser reads.
    local history
    history=$(private_run bash -c '"$1/sbin/Quillon" "$2" pkg/px.arg &&
      "$1/sbin/Quillon" "$2" pkg/px.arg && "$1/bin/pxtool" history --format json &&
      "$1/bin/pxtool" history --format openmetrics > "$2/metrics.txt"' sh "$prefix" "$work")
    printf '%s\n' "$history" > "$work/history.json"
    same "$prefix: two example runs in the history" 2 \
         "$(/usr/bin/python3 -c 'import json, sys; print(len(json.load(sys.stdin)["runs"]))' <<< "$history")"
    check "$prefix: the history's OpenMetrics parse" /usr/bin/python3 -c '
import sys
from prometheus_client.openmetrics.parser import text_string_to_metric_families
names = {f.name for f in text_string_to_metric_families(open(sys.argv[1]).read())}
sys.exit(0 if "quillon_runs" in names else 1)' "$work/metrics.txt"
    check "$prefix: example install step" grep -q "Hello from the example package" "$work/pkg/installed.txt"
  else
    echo "test_install: note: no private /run here (unshare --mount); the example run is left out"
  fi
  same "$prefix: pxtool info" "$work/files/greeting.txt: method 1, plain size 32" \
       "$("$prefix/bin/pxtool" info "$work/files/greeting.txt")"
  same "$prefix: pxtool check on the example" "0 errors, 0 warnings, 0 notes in 1 argument file" \
       "$("$prefix/bin/pxtool" check "$prefix/share/quillon/examples/hello")"
  # The report needs the example's run log.
  local sub documents=()
  for sub in check plan status report; do
    [ "$sub" != report ] || $private_run_works || continue
    "$prefix/bin/pxtool" "$sub" "$work" --format json > "$work/$sub.json" || true
    documents+=("$work/$sub.json")
  done
  ! $private_run_works || documents+=("$work/history.json")
  check "$prefix: pxtool's JSON against the installed schemas" \
    "$python" "$top/tests/validate_json.py" "$prefix/share/quillon/schemas" \
      --documents "${documents[@]}"
}

# --- 1. cmake --install into a temporary prefix ---------------------------
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
same "installed files" "$expected_files" "$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)"
check "example scripts executable" test -x "$prefix/share/quillon/examples/hello/files/install.sh"
run_programs "$prefix"
unit=$prefix/lib/systemd/system/quillon-resume.service
same "resume unit runs the installed pxtool" "ExecStart=$prefix/bin/pxtool history --resume" \
     "$(grep '^ExecStart=' "$unit")"
if command -v systemd-analyze >/dev/null; then
  check "systemd-analyze verify $unit" systemd-analyze verify --man=no "$unit"
else
  echo "test_install: note: no systemd-analyze here; the resume unit is not verified"
fi

# --- 2. manual pages -----------------------------------------------------
for page in "$prefix"/share/man/man*/*.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  same "man --warnings $page" "" "$warnings"
  check "lexgrog $page" lexgrog "$page" >/dev/null
  if command -v mandoc >/dev/null; then
    check "mandoc -T lint $page" mandoc -T lint -W error "$page"
  fi
done
pxtool_page=$(MANWIDTH=200 man -l "$prefix/share/man/man1/pxtool.1.gz" 2>/dev/null)
for sub in $("$prefix/bin/pxtool" --help | sed -n 's/^  pxtool \([^ ]*\).*/\1/p'); do
  check "pxtool(1) has a section for '$sub'" grep -qE "^   $sub( |$)" <<< "$pxtool_page"
done

# --- 3. completion -------------------------------------------------------
# complete WORDS...: the candidates the completion function offers for the
# last word, with bash-completion's helpers replaced by stand-ins (_filedir
# offers the word FILES).
complete_words() {
  bash -c '
    _init_completion() { words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD
                         cur=${words[cword]}; prev=${words[cword-1]:-}; }
    _filedir() { COMPREPLY+=(FILES); }
    source "$0"; COMP_WORDS=("${@}"); COMP_CWORD=$(($# - 1))
    "_${1}"; echo "${COMPREPLY[*]:-}"' "$prefix/share/bash-completion/completions/$1" "$@"
}
same "complete 'pxtool s'" "scramble sign status" "$(complete_words pxtool s)"
same "complete 'pxtool report --format '" "text json svg" "$(complete_words pxtool report --format '')"
same "complete 'pxtool --'" "--help --version" "$(complete_words pxtool --)"
same "complete 'pxtool scramble --method '" "1 2" "$(complete_words pxtool scramble --method '')"
same "complete 'pxtool info '" "FILES" "$(complete_words pxtool info '')"
same "complete 'pxtool plan d --format '" "text json" "$(complete_words pxtool plan d --format '')"
same "complete 'pxtool history --format '" "text json openmetrics" "$(complete_words pxtool history --format '')"
same "complete 'Quillon a'" "autonomic FILES" "$(complete_words Quillon a)"
same "complete 'Quillon /w -u'" "-update" "$(complete_words Quillon /w -u)"
same "complete 'Quillon /w autonomic -reset '" "" "$(complete_words Quillon /w autonomic -reset '')"
# The argument file is completed in the working directory, not in the
# current one.
mkdir -p "$tmp/work/pkg" "$tmp/elsewhere"
touch "$tmp/work/pkg/px.arg" "$tmp/work/other.arg" "$tmp/elsewhere/pwd.arg"
in_elsewhere() { (cd "$tmp/elsewhere" && complete_words "$@"); }
same "complete 'Quillon WORKDIR p'" "pkg/" "$(in_elsewhere Quillon "$tmp/work" p)"
same "complete 'Quillon WORKDIR pkg/'" "pkg/px.arg" "$(in_elsewhere Quillon "$tmp/work" pkg/)"
same "complete 'Quillon WORKDIR o'" "other.arg" "$(in_elsewhere Quillon "$tmp/work" o)"
same "complete 'Quillon WORKDIR /'" "FILES" "$(in_elsewhere Quillon "$tmp/work" /)"
for program in Quillon pxtool; do
  same "complete -p $program" "complete -F _$program $program" \
       "$(bash -c 'source "$0"; complete -p "$1"' \
           "$prefix/share/bash-completion/completions/$program" "$program")"
done
same "complete 'pxtool help st'" "status" "$(complete_words pxtool help st)"
same "complete 'pxtool reset --section '" "Commands UpdCommands ExpCommands" \
     "$(complete_words pxtool reset --section '')"
# Each subcommand's options as its --help lists them ("-h, --help" as --help).
for sub in $("$prefix/bin/pxtool" --help | sed -n 's/^  pxtool \([a-z][^ ]*\).*/\1/p'); do
  same "complete 'pxtool $sub -'" \
       "$("$prefix/bin/pxtool" "$sub" --help |
          awk '/^Options:/ {on = 1} on && $1 == "-h," {print $2; next} on && $1 ~ /^-/ {print $1}' |
          LC_ALL=C sort | xargs)" \
       "$(complete_words pxtool "$sub" - | tr ' ' '\n' | LC_ALL=C sort | xargs)"
done

# --- 4. the Debian package -------------------------------------------------
arch=$(dpkg --print-architecture)
(cd "$build" && cpack -G DEB -B "$tmp/deb" >/dev/null)
deb=$tmp/deb/quillon_$version-1_${arch}.deb
check "package $deb built" test -f "$deb"
size=$(stat -c %s "$deb")
check "package under 1 MiB ($size bytes)" test "$size" -lt 1048576
same "package section" admin "$(dpkg-deb -f "$deb" Section)"
same "package version" "$version-1" "$(dpkg-deb -f "$deb" Version)"
check "dependencies from the shared libraries" grep -q "libc6 (>= " <<< "$(dpkg-deb -f "$deb" Depends)"
same "package files" "$(printf '%s\n' "$expected_files" share/doc/quillon/changelog.Debian.gz |
                        sed 's|^|usr/|' | LC_ALL=C sort)" \
     "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | LC_ALL=C sort)"
mkdir "$tmp/root"
dpkg-deb -x "$deb" "$tmp/root"
run_programs "$tmp/root/usr"
same "package's resume unit runs /usr/bin/pxtool" "ExecStart=/usr/bin/pxtool history --resume" \
     "$(grep '^ExecStart=' "$tmp/root/usr/lib/systemd/system/quillon-resume.service")"
check "package enables no unit (no maintainer scripts)" \
  test -z "$(dpkg-deb -I "$deb" | grep -E '^ *[0-9]+ bytes, +[0-9]+ lines +\*? *(postinst|prerm|postrm|preinst)')"
# Accepted: initial-upload-closes-no-bugs (the package is not meant for the
# Debian archive, so there is no ITP bug to close). See docs/packaging.md.
check "lintian" lintian --fail-on error,warning \
  --suppress-tags initial-upload-closes-no-bugs "$deb" 2> >(grep -v "root privileges" >&2)

echo "test_install: all $checks checks passed"
