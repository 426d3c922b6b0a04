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

[ $failures = 0 ]
