#!/usr/bin/env bash
# Renders each manual page as a reader sees it (scdoc -> roff -> man -> plain
# text) and fails on what a lost code fence or markup scdoc did not take
# leaves there:
#   - "```" in the text: a fence scdoc read as text;
#   - a code block without a blank line before and after it: a block that
#     runs into the prose around it;
#   - scdoc or roff markup in the text: *bold*, _underlined_, a backquote,
#     \fB and the like.
# A missing closing fence makes the rest of the page a code block, where the
# markup of what follows shows (every page ends with its SEE ALSO
# references, *name*(section)). To keep the check honest, each page is also
# rendered with one of its closing fences removed, and that must fail.
#
#   usage: man_render_test.sh SCDOC PAGE.scd...
set -euo pipefail
scdoc=$1; shift
tmp=$(mktemp -d "${TMPDIR:-/tmp}/quillon-man-render.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mark=QUILLONCODELINE  # put before every line of a code block in the roff

# render SCD: the page as text, every code line beginning with $mark.
render() {
  "$scdoc" < "$1" > "$tmp/page.roff" || return 1
  # scdoc writes a code block as .nf/.RS 4, its lines, .fi/.RE.
  awk -v mark="$mark" '/^\.fi$/ {code = 0} code && !/^\.RS / {$0 = mark $0}
                       {print} /^\.nf$/ {code = 1}' "$tmp/page.roff" > "$tmp/marked.roff"
  MANWIDTH=100 GROFF_NO_SGR=1 man -l -Tutf8 "$tmp/marked.roff" 2>/dev/null | col -bx
}

# problems TEXT_FILE: one line for each thing a reader should not see.
problems() {
  grep -n -e '```' "$1" | sed 's/^/fence left in the text: /'
  grep -nE -e '`' -e '\\f[BIRP(]' -e '\\&' \
           -e '(^|[^[:alnum:]*])\*[^*[:space:]]([^*]*[^*[:space:]])?\*($|[^[:alnum:]*])' \
           -e '(^|[^[:alnum:]_])_[^_[:space:]]([^_]*[^_[:space:]])?_($|[^[:alnum:]_])' \
           "$1" | grep -v -e '```' | sed "s/$mark//; s/^/markup left in the text: /"
  # Code lines whose neighbour is a line of prose, not a blank line.
  awk -v mark="$mark" '
    function kind(s) { return index(s, mark) ? "code" : (s ~ /^[[:space:]]*$/ ? "blank" : "prose") }
    NR > 1 && kind(prev) != kind($0) && kind(prev) != "blank" && kind($0) != "blank" {
      line = index($0, mark) ? prev : $0
      printf "%d:code block runs into prose: %s\n", NR, line
    }
    {prev = $0}' "$1"
}

failed=0
for page in "$@"; do
  name=$(basename "$page" .scd)
  if ! render "$page" > "$tmp/$name.txt"; then
    echo "man_render_test: $page: scdoc failed"; failed=1; continue
  fi
  found=$(problems "$tmp/$name.txt")
  if [ -n "$found" ]; then
    echo "man_render_test: $page, rendered:"; echo "$found"; failed=1; continue
  fi
  # The same page with its last closing fence lost must not pass.
  awk '/^\t*```$/ {n++} {line[NR] = $0; fence[NR] = n} END {
         for (i = 1; i <= NR; i++) if (!(fence[i] == n && n % 2 == 0 && line[i] ~ /^\t*```$/)) print line[i] }' \
      "$page" > "$tmp/broken.scd"
  if cmp -s "$page" "$tmp/broken.scd"; then
    echo "man_render_test: $page: no code block"; continue
  fi
  if render "$tmp/broken.scd" > "$tmp/broken.txt" && [ -z "$(problems "$tmp/broken.txt")" ]; then
    echo "man_render_test: $page: a lost closing fence went unnoticed"; failed=1
  fi
done
[ "$failed" = 0 ] && echo "man_render_test: $# pages rendered clean"
exit "$failed"
