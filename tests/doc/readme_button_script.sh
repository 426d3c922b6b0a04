#!/usr/bin/env bash
# The README's button script, run against the simulated board: the button goes down at the
# watch's fourth read, and the script must answer with LED value 7 and end.
#   readme_button_script.sh LEDBOARD LEDBOARD_SIM README SCRATCH_DIR
set -euo pipefail
ledboard=$1 sim=$2 readme=$3 scratch=$4
rm -rf "$scratch" && mkdir -p "$scratch/bin"

awk '/^<!-- button-script/ { marked = 1; next }
     marked && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$readme" >"$scratch/wait-for-button"
[ -s "$scratch/wait-for-button" ] || { echo "no button script in $readme" >&2; exit 1; }
chmod +x "$scratch/wait-for-button"
ln -s "$(realpath "$ledboard")" "$scratch/bin/ledboard"

out=$(PATH="$scratch/bin:$PATH" timeout 30 \
    "$sim" --at 4:push --log "$scratch/log" -- "$scratch/wait-for-button")
if [ "$out" != $'LED  d  7\nPUSH d  1\nJUMP b  0' ]; then
    printf 'the button script printed:\n%s\n' "$out" >&2
    exit 1
fi
# wValue 0x38 is LED value 7; the script answers once.
answers=$(grep -c 'type=0xc0 request=1 value=0x0038' "$scratch/log" || true)
if [ "$answers" != 1 ]; then
    echo "the board got $answers LED requests with value 7, not 1" >&2
    exit 1
fi
# Without a board, the script fails as the watch does.
if PATH="$scratch/bin:$PATH" timeout 30 "$sim" --no-board -- "$scratch/wait-for-button" 2>/dev/null; then
    echo "the button script succeeded without a board" >&2
    exit 1
fi
