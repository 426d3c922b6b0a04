#!/usr/bin/env bash
# scripts/demo-service end to end, on this build's binaries (--build): what it prints works (the
# page, the API, MQTT, ledboard on the same boards while the daemon runs, the button FIFO), Ctrl-C,
# SIGTERM and SIGHUP leave nothing behind, and a part that fails at the start is named and stops
# the rest.
#   demo_service_test.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR
set -euo pipefail
source=$1 build=$2 scratch=$3
rm -rf "$scratch" && mkdir -p "$scratch/tmp" "$scratch/bin"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# Job control: each demo runs in a process group of its own with SIGINT not ignored, as a
# terminal runs it, and Ctrl-C is SIGINT to that group.
set -m

members() { # PGID: the processes left in that group, "PID NAME" a line
    local stat fields
    for stat in /proc/[0-9]*/stat; do
        fields=$(cat "$stat" 2>/dev/null) || continue
        read -r -a fields <<<"${fields##*) }" # state, parent, group, ...
        [ "${fields[2]}" != "$1" ] || echo "$(basename "$(dirname "$stat")") $(cat "${stat%stat}comm" 2>/dev/null)"
    done
}
listening() { (: >"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# Starts the demo with ARGS in a process group of its own; its output goes to out and err. SIGINT
# is set back to its default for it, as a terminal has it: a shell that starts with SIGINT ignored
# (as a test runner may start this one) cannot trap it, nor can the shells it starts.
start() {
    rm -f "$scratch/out" "$scratch/err"
    TMPDIR=$scratch/tmp env --default-signal=INT "$source/scripts/demo-service" "$@" \
        >"$scratch/out" 2>"$scratch/err" &
    demo=$!
}
# Waits (at most a minute) until the demo has printed a line matching PATTERN; fails when it
# exits first.
wait_for_line() {
    local deadline=$((SECONDS + 60))
    until grep -Eq "$1" "$scratch/out" 2>/dev/null; do
        kill -0 "$demo" 2>/dev/null && [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}
# Waits (at most 30 s) until the demo has exited, and sets status; SIGKILLs its group if not.
wait_for_exit() {
    local deadline=$((SECONDS + 30))
    while kill -0 "$demo" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.05; done
    if kill -0 "$demo" 2>/dev/null; then
        fail "the demo did not exit: $(cat "$scratch/err")"
        kill -KILL -- -"$demo" 2>/dev/null || true
    fi
    status=0
    wait "$demo" || status=$?
}
# Everything the demo started has gone: its process group, and the temporary folder.
check_nothing_left() { # WHAT
    local left
    left=$(members "$demo")
    [ -z "$left" ] || {
        fail "$1: left running: $(echo "$left" | tr '\n' ' ')"
        kill -KILL -- -"$demo" 2>/dev/null || true
    }
    [ -z "$(ls -A "$scratch/tmp")" ] || fail "$1: left in TMPDIR: $(ls -A "$scratch/tmp")"
}
# Polls URL until its body matches PATTERN (at most 10 s).
wait_for_body() { # URL PATTERN
    local deadline=$((SECONDS + 10))
    until curl -sf "$1" | grep -Eq "$2"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

# The demo, as a user runs it and does what it says.
start --build "$build"
if ! wait_for_line '^The live page: +http://127\.0\.0\.1:[0-9]+/$' || ! wait_for_line '^Ctrl-C stops '; then
    fail "no page URL: $(cat "$scratch/out" "$scratch/err")"
    kill -KILL -- -"$demo" 2>/dev/null || true
    exit 1
fi
[ "$(cut -d' ' -f5 "/proc/$demo/stat")" = "$demo" ] || fail "the demo is not in a process group of its own"
out=$(cat "$scratch/out")
page=$(sed -n 's|^The live page: *\(http://[^ ]*\)/$|\1|p' <<<"$out")
http_port=${page##*:}
mqtt_port=$(sed -n 's/^MQTT, watch: .* -p \([0-9]*\) .*/\1/p' <<<"$out")
watch_line=$(sed -n 's/^MQTT, watch: *//p' <<<"$out")
curl_line=$(sed -n 's/^The HTTP API: *//p' <<<"$out")
list_line=$(sed -n 's/^ *\([^ ]*on-the-bus [^ ]*ledboard --list\)$/\1/p' <<<"$out")
set_line=$(sed -n 's/^ *\([^ ]*on-the-bus [^ ]*ledboard --serial B002 6\)$/\1/p' <<<"$out")
fifo=$(sed -n 's/^The buttons: *echo push > \([^ ]*\) .*/\1/p' <<<"$out")
folder=$(sed -n 's/^Ctrl-C stops .*, and removes \(.*\)\.$/\1/p' <<<"$out")
join=${list_line%% *}
testbed=$(sed -n "s/^bus='\(.*\)'$/\1/p" "$join" 2>/dev/null || true)
for name in page mqtt_port watch_line curl_line list_line set_line fifo folder testbed; do
    [ -n "${!name}" ] || fail "found no $name in what the demo printed: $out"
done
[[ $folder == "$scratch/tmp/"* ]] || fail "its folder $folder is not under TMPDIR"
listening "$mqtt_port" || fail "nothing listens on the broker's port $mqtt_port"

curl -sf "$page/" | grep -qi '^<!doctype html>' || fail "GET $page/ is not the page"
ids=$(bash -c "$curl_line" | grep -o '"id":"[^"]*"' | tr '\n' ' ') || true
[ "$ids" = '"id":"B001" "id":"B002" ' ] || fail "$curl_line: boards $ids, not B001 and B002"

# ledboard reaches the daemon's boards, while the daemon runs.
listed=$(bash -c "$list_line" 2>&1 | cut -f2,5) || true
[ "$listed" = $'usable\tB001\nusable\tB002' ] || fail "$list_line listed: $listed"
set_output=$(bash -c "$set_line" 2>&1) || true
[ "$set_output" = $'LED  d  6\nPUSH d  0\nJUMP b  0' ] || fail "$set_line said: $set_output"
wait_for_body "$page/api/boards/B002" '"led":6,' || fail "the daemon never saw LED 6 that ledboard set"
echo push@2 >"$fifo"
wait_for_body "$page/api/boards/B002" '"push":1,' || fail "echo push@2 > $fifo did not press B002's button"
retained=$(bash -c "$watch_line -C 1 -W 10" 2>&1) || true
[[ $retained == ledboard/* ]] || fail "$watch_line showed: $retained"

# Ctrl-C: SIGINT to the demo's process group.
kill -INT -- -"$demo"
wait_for_exit
[ "$status" = 130 ] || fail "after Ctrl-C the demo exited with $status, not 130: $(cat "$scratch/err")"
check_nothing_left "after Ctrl-C"
! listening "$mqtt_port" || fail "the broker's port $mqtt_port still listens"
! listening "$http_port" || fail "the page's port $http_port still listens"
[ ! -e "$folder" ] || fail "$folder is still there"
[ ! -e "$testbed" ] || fail "the simulated bus $testbed is still there"

# SIGTERM to the demo alone, as kill(1) sends it, and SIGHUP, as a closed terminal sends it: the
# demo itself stops every part.
for signal in TERM HUP; do
    start --build "$build"
    if wait_for_line '^Ctrl-C stops .*, and removes (.*)\.$'; then
        mqtt_port=$(sed -n 's/^MQTT, watch: .* -p \([0-9]*\) .*/\1/p' "$scratch/out")
        kill -"$signal" "$demo"
        wait_for_exit
        expected=$((128 + $(kill -l "$signal")))
        [ "$status" = "$expected" ] ||
            fail "after SIG$signal the demo exited with $status, not $expected: $(cat "$scratch/err")"
        check_nothing_left "after SIG$signal"
        ! listening "$mqtt_port" || fail "after SIG$signal the broker's port $mqtt_port still listens"
    else
        fail "a start for SIG$signal printed: $(cat "$scratch/out" "$scratch/err")"
        kill -KILL -- -"$demo" 2>/dev/null || true
    fi
done

# A part that fails at the start is named with its words, and the rest is stopped. The parts are
# stand-ins in a build folder whose other binaries are the real ones.
fake=$scratch/fake-build
stand_in() { # PATH STATUS: a program that says why it fails, and fails
    mkdir -p "$(dirname "$1")"
    printf '#!/bin/sh\necho "%s: cannot start: the test says so" >&2\nexit %s\n' "$(basename "$1")" "$2" >"$1"
    chmod +x "$1"
}
real_build() {
    rm -rf "$fake"
    mkdir -p "$fake/tool" "$fake/sim" "$fake/ledboardd"
    ln -s "$build/tool/ledboard" "$fake/tool/ledboard"
    ln -s "$build/sim/ledboard-sim" "$fake/sim/ledboard-sim"
    ln -s "$build/ledboardd/ledboardd" "$fake/ledboardd/ledboardd"
}
for part in mosquitto ledboard-sim ledboardd; do
    real_build
    path=$PATH
    case $part in
        mosquitto)
            stand_in "$scratch/bin/mosquitto" 3
            path=$scratch/bin:$PATH
            said="the MQTT broker (mosquitto) did not start:"
            ;;
        ledboard-sim)
            rm "$fake/sim/ledboard-sim" && stand_in "$fake/sim/ledboard-sim" 125
            said="the simulated bus (ledboard-sim) did not start:"
            ;;
        ledboardd)
            rm "$fake/ledboardd/ledboardd" && stand_in "$fake/ledboardd/ledboardd" 1
            said="ledboardd did not start (exit status 1):"
            ;;
    esac
    PATH=$path start --build "$fake"
    wait_for_exit
    [ "$status" = 1 ] || fail "$part failing: the demo exited with $status, not 1"
    if ! grep -qF "scripts/demo-service: $said" "$scratch/err" ||
        ! grep -q "$part: cannot start: the test says so" "$scratch/err"; then
        fail "$part failing: the demo said: $(cat "$scratch/err")"
    fi
    [ ! -s "$scratch/out" ] || fail "$part failing: the demo printed: $(cat "$scratch/out")"
    check_nothing_left "$part failing"
done

[ $failures = 0 ]
