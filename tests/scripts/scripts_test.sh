#!/usr/bin/env bash
# The scripts a user runs, where they could pass or act falsely.
#   scripts_test.sh SOURCE_DIR SCRATCH_DIR
set -euo pipefail
source=$1 scratch=$2
rm -rf "$scratch" && mkdir -p "$scratch/bin"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# scripts/demo refuses what it does not know, before it builds anything: ledboard would read an
# unknown word as the LED number 0.
for arguments in "--board eperm 5" "" "--jumpers" "abc" "--push 5x"; do
    # shellcheck disable=SC2086 # one argument per word
    if "$source/scripts/demo" $arguments >"$scratch/out" 2>"$scratch/err"; then status=0; else status=$?; fi
    [ $status = 2 ] && grep -q '^scripts/demo: ' "$scratch/err" && [ ! -s "$scratch/out" ] ||
        fail "scripts/demo $arguments: status $status, said: $(cat "$scratch/err" "$scratch/out")"
done

# So does scripts/demo-service: it takes no argument but --build DIR.
for arguments in "5" "--sim" "--build" "--build $scratch/none"; do
    # shellcheck disable=SC2086 # one argument per word
    if "$source/scripts/demo-service" $arguments >"$scratch/out" 2>"$scratch/err"; then status=0; else status=$?; fi
    [ $status = 2 ] && grep -q '^scripts/demo-service: ' "$scratch/err" && [ ! -s "$scratch/out" ] ||
        fail "scripts/demo-service $arguments: status $status, said: $(cat "$scratch/err" "$scratch/out")"
done

# scripts/test configures its own folders with every option its tests rely on, each time: a
# folder configured without tests (as the README's from-source commands configure build/) would
# otherwise leave stale test binaries that pass. cmake and ctest are stand-ins here that log how
# they were called.
for tool in cmake ctest; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$scratch" >"$scratch/bin/$tool"
    chmod +x "$scratch/bin/$tool"
done
PATH="$scratch/bin:$PATH" "$source/scripts/test" >/dev/null 2>&1 || fail "scripts/test with stand-ins failed"
configures=$(grep -c '^cmake -S' "$scratch/calls" || true)
[ "$configures" = 2 ] || fail "scripts/test configured $configures builds, not 2"
while read -r call; do
    case "$call" in
        "cmake -S"*)
            [[ $call == *" -DBUILD_TESTING=ON "* && $call == *" -DLEDBOARD_SIMULATOR=ON "* &&
                $call == *" -DLEDBOARD_SANITIZE="* ]] || fail "configured without forcing its options: $call"
            [[ $call != *" -B build "* ]] || fail "shares the README's build folder: $call" ;;
        ctest*) [[ $call == *"--no-tests=error"* ]] || fail "ctest may run no test: $call" ;;
    esac
done <"$scratch/calls"

# The benchmarks refuse a bad count before they build or measure anything: a typo would otherwise
# cost a minute and print figures for a run nobody asked for.
: >"$scratch/calls"
for arguments in "lifetime 0" "lifetime abc" "lifetime 5 1.5" "lifetime 5 1" "lifetime 1 2 3" "json 0" "json 201" \
    "json 20x" "json 2 3"; do
    # shellcheck disable=SC2086 # the script's name, then one argument per word
    set -- $arguments
    script=$1
    shift
    if PATH="$scratch/bin:$PATH" "$source/bench/$script" "$@" >"$scratch/out" 2>"$scratch/err"; then
        status=0
    else
        status=$?
    fi
    [ $status = 2 ] && grep -q "^bench/$script: " "$scratch/err" && grep -q '^usage: ' "$scratch/err" &&
        [ ! -s "$scratch/out" ] || fail "bench/$arguments: status $status, said: $(cat "$scratch/err" "$scratch/out")"
done
[ ! -s "$scratch/calls" ] || fail "a refused benchmark still ran: $(cat "$scratch/calls")"

# bench/lifetime's reaction to a plug is the time from the PLUG line to the first request to that
# device: the rescan's requests to other devices and the device's own CONNECTINFO do not count,
# nothing after its UNPLUG does, and a device number that comes back is a new plug.
cat >"$scratch/plugs.log" <<'LOG'
100.000000 001/001 CONNECTINFO result=0
100.500000 001/003 PLUG
100.510000 001/003 CONNECTINFO result=0
100.520000 001/001 CONTROL type=0x80 request=6 value=0x0300 index=0x0000 length=255 result=4
100.530000 001/003 CONTROL type=0x80 request=6 value=0x0300 index=0x0000 length=255 result=4
100.535000 001/001 CONTROL type=0xc0 request=0 value=0x0000 index=0x0000 length=7 result=7
100.540000 001/003 CONTROL type=0xc0 request=0 value=0x0000 index=0x0000 length=7 result=7
101.000000 001/003 UNPLUG
101.500000 001/004 PLUG
101.600000 001/004 UNPLUG
101.700000 001/004 CONTROL type=0xc0 request=0 value=0x0000 index=0x0000 length=7 result=-ENODEV
102.000000 001/003 PLUG
102.100000 001/003 CONTROL type=0xc0 request=0 value=0x0000 index=0x0000 length=7 result=7
LOG
expected=$'001/003 30.000 40.000\n001/004 none none\n001/003 100.000 100.000'
got=$(python3 "$source/bench/lifetime.py" reactions "$scratch/plugs.log" 2>&1) || true
[ "$got" = "$expected" ] || fail "bench/lifetime.py reactions: got '$got', expected '$expected'"

[ $failures = 0 ]
