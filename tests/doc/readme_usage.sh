#!/usr/bin/env bash
# The usage text in the README is what `ledboard --help` prints (as installed under /usr).
#   readme_usage.sh LEDBOARD README
#
# The help's last sentence names the udev rule that applies on the machine it runs on (installed,
# to be copied, or only in the sources), over one or two lines. The README shows the installed
# package's wording, so that one sentence, and only it, is compared in that wording; a help that
# ends any other way keeps its own text and so fails the comparison.
set -euo pipefail
ledboard=$1 readme=$2
readonly INSTALLED_RULE_SENTENCE='The udev rule /usr/lib/udev/rules.d/60-ledboard.rules grants it;
see ledboard(1).'

documented=$(awk '/^\$ ledboard --help$/ { inside = 1; next }
                  inside && /^```$/ { exit }
                  inside { print }' "$readme")
[ -n "$documented" ] || { echo "no '\$ ledboard --help' block in $readme" >&2; exit 1; }

help=$("$ledboard" --help)
# The sentence starts a line, holds no ';' before its end, and ends the help.
actual=$(RULE_SENTENCE=$INSTALLED_RULE_SENTENCE perl -0777 -pe \
    's/^The udev rule [^;]*;\s+see ledboard\(1\)\.\n?\z/$ENV{RULE_SENTENCE}/m' <<<"$help")
if [ "$documented" != "$actual" ]; then
    echo "the README's usage text differs from ledboard --help:" >&2
    diff <(echo "$documented") <(echo "$actual") >&2
    exit 1
fi
