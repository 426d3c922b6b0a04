#!/usr/bin/env bash
# The README's button example, run with sh against the simulated board, in each of the outcomes
# the README promises: a press lights LED value 7; no press within the time limit gives status 4
# and sends no LED request; no board gives 3; and when the example's own ledboard fails, so does
# the example.
#   readme_button_script.sh LEDBOARD LEDBOARD_SIM README SCRATCH_DIR
set -euo pipefail
ledboard=$1 sim=$2 readme=$3 scratch=$4
rm -rf "$scratch" && mkdir -p "$scratch/bin"

example=$scratch/wait-for-button
awk '/^<!-- button-example/ { marked = 1; next }
     marked && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$readme" >"$example"
[ -s "$example" ] || { echo "no button example in $readme" >&2; exit 1; }
ln -s "$(realpath "$ledboard")" "$scratch/bin/ledboard"

# The time limit case waits half a second rather than the example's own limit.
readonly SHORT_LIMIT=0.5
limit_pattern='--wait-press [0-9]+(\.[0-9]+)?'
if [ "$(grep -cE -- "$limit_pattern" "$example")" != 1 ]; then
    echo "the button example does not give --wait-press one time limit:" >&2
    cat "$example" >&2
    exit 1
fi
sed -E "s/$limit_pattern/--wait-press $SHORT_LIMIT/" "$example" >"$example-short"

failed=0
fail() {
    echo "$*" >&2
    failed=1
}

# Runs a copy of the example on a simulated bus: run NAME EXAMPLE SIM_OPTION...
# Leaves its stdout, stderr, exit status and the requests the board received in $scratch/NAME.*.
run() {
    local name=$1 file=$2
    shift 2
    local status=0
    PATH="$scratch/bin:$PATH" timeout 30 "$sim" --log "$scratch/$name.log" "$@" -- sh "$file" \
        >"$scratch/$name.out" 2>"$scratch/$name.err" || status=$?
    echo "$status" >"$scratch/$name.status"
}
status_of() { cat "$scratch/$1.status"; }
# The LED requests the board received, as "value=0x..." (LED value 7 is wValue 0x0038).
led_requests() { grep -o 'type=0xc0 request=1 value=0x[0-9a-f]*' "$scratch/$1.log" | cut -d' ' -f3 || true; }

# A press: the button goes down at the fourth status read, and the example answers with LED 7.
run press "$example" --at 4:push
if [ "$(status_of press)" != 0 ] || [ "$(cat "$scratch/press.out")" != $'0 1 0\nLED  d  7\nPUSH d  1\nJUMP b  0' ]; then
    fail "at a press the button example ended with status $(status_of press) and printed:
$(cat "$scratch/press.out" "$scratch/press.err")"
fi
if [ "$(led_requests press)" != value=0x0038 ]; then
    fail "at a press the board got these LED requests, not one with value 7: $(led_requests press)"
fi

# No press within the limit: status 4, and the LEDs are left alone.
run no-press "$example-short"
if [ "$(status_of no-press)" != 4 ] || [ -s "$scratch/no-press.out" ]; then
    fail "without a press the button example ended with status $(status_of no-press) and printed:
$(cat "$scratch/no-press.out" "$scratch/no-press.err")"
fi
if [ -n "$(led_requests no-press)" ]; then
    fail "without a press the board got LED requests: $(led_requests no-press)"
fi

# No board: status 3.
run no-board "$example" --no-board
if [ "$(status_of no-board)" != 3 ] || [ -s "$scratch/no-board.out" ]; then
    fail "without a board the button example ended with status $(status_of no-board) and printed:
$(cat "$scratch/no-board.out" "$scratch/no-board.err")"
fi

# The answer fails: the LED request after the press (the board's fifth vendor request) stalls,
# and the example must fail as its ledboard does.
run answer-fails "$example" --at 4:push --fault 5:stall
if [ "$(status_of answer-fails)" != 1 ] ||
    ! grep -q 'ledboard: cannot send the LED value' "$scratch/answer-fails.err"; then
    fail "when the LED request failed the button example ended with status $(status_of answer-fails):
$(cat "$scratch/answer-fails.out" "$scratch/answer-fails.err")"
fi

exit "$failed"
