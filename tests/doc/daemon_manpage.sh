#!/usr/bin/env bash
# ledboardd(8) as man(1) shows it on Debian (groff): headed as section 8's manual, not "BSD", its
# footer naming the version the daemon reports, no line over 80 columns in the source or on an
# 80-column terminal, and every option `ledboardd --help` prints described under OPTIONS.
#   daemon_manpage.sh MANPAGE LEDBOARDD
set -euo pipefail
manpage=$1 daemon=$2
readonly WIDTH=80
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

page=$(groff -mdoc -Tutf8 -P-cbou -rLL=${WIDTH}n "$manpage" 2>"${TMPDIR:-/tmp}/groff.$$") ||
    fail "groff failed"
warnings=$(cat "${TMPDIR:-/tmp}/groff.$$") && rm -f "${TMPDIR:-/tmp}/groff.$$"
[ -z "$warnings" ] || fail "groff: $warnings"
header=$(head -n 1 <<<"$page")
footer=$(tail -n 1 <<<"$page")
if [[ $header == *BSD* || $header != *"System Manager's Manual"* ]]; then
    fail "header: $header"
fi
version=$("$daemon" --version)
[[ $version == "ledboardd "* ]] || fail "ledboardd --version: $version"
[[ $footer == "ledboard ${version#ledboardd }"* ]] ||
    fail "footer: $footer (the daemon says $version)"

# Characters, not bytes (Debian's awk counts bytes): the rendered page has typographic quotes.
too_long() { python3 -c 'import sys
for n, line in enumerate(sys.stdin.read().splitlines(), 1):
    if len(line) > int(sys.argv[1]): print(n, line)' "$WIDTH"; }
long=$(too_long <"$manpage")
[ -z "$long" ] || fail "source lines over $WIDTH columns:"$'\n'"$long"
long=$(too_long <<<"$page")
[ -z "$long" ] || fail "rendered lines over $WIDTH columns:"$'\n'"$long"

# The help: each option's names start its line, e.g. "  -h, --help" or "  --broker HOST...".
mapfile -t options < <("$daemon" --help | sed -n 's/^ \{1,4\}\(-[^ ,]*\(, -[^ ,]*\)*\).*/\1/p' |
    sed 's/, /\n/g' | grep -- '^--' | sort -u)
[ ${#options[@]} -ge 5 ] || fail "read only ${#options[@]} options from ledboardd --help"
described=$(sed -n '/^\.Sh OPTIONS/,/^\.Sh /p' "$manpage" | grep '^\.It ')
for option in "${options[@]}"; do
    grep -Eq "(^| )Fl ${option#-}( |$)" <<<"$described" ||
        fail "ledboardd --help has $option, OPTIONS in $(basename "$manpage") does not"
done
[ $failures = 0 ] && echo "ledboardd(8): ${#options[@]} options from --help described"
