#!/usr/bin/env bash
# The usage text in the README is what `ledboard --help` prints (as installed under /usr).
#   readme_usage.sh LEDBOARD README
set -euo pipefail
ledboard=$1 readme=$2

documented=$(awk '/^\$ ledboard --help$/ { inside = 1; next }
                  inside && /^```$/ { exit }
                  inside { print }' "$readme")
[ -n "$documented" ] || { echo "no '\$ ledboard --help' block in $readme" >&2; exit 1; }

actual=$("$ledboard" --help | sed -E 's|[^ ]*/60-ledboard\.rules|/usr/lib/udev/rules.d/60-ledboard.rules|')
if [ "$documented" != "$actual" ]; then
    echo "the README's usage text differs from ledboard --help:" >&2
    diff <(echo "$documented") <(echo "$actual") >&2
    exit 1
fi
