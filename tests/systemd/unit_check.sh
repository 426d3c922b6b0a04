#!/usr/bin/env bash
# ledboardd.service as installed: systemd-analyze verify says nothing about it, its sandbox keeps
# the exposure systemd-analyze security rates at 2.5 or under (and at the figure the man page
# quotes), and the settings that name other parts of the project agree with them.
#   unit_check.sh TREE SCRATCH_DIR MANPAGE UDEV_RULE
# TREE is a build folder, installed here under SCRATCH_DIR (DESTDIR), or an installed tree such
# as an unpacked package. Exits 77 (skipped) where systemd-analyze is missing.
set -euo pipefail
tree=$1 scratch=$2 manpage=$3 rule=$4
readonly MAX_EXPOSURE=2.5
if ! command -v systemd-analyze >/dev/null; then
    echo "SKIPPED: systemd-analyze is not installed (Debian: apt-get install systemd)"
    exit 77
fi
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rm -rf "$scratch" && mkdir -p "$scratch/check"
if [ -f "$tree/CMakeCache.txt" ]; then
    root=$scratch/root
    DESTDIR="$root" cmake --install "$tree" >/dev/null
else
    root=$tree
fi
mapfile -t units < <(find "$root" -name ledboardd.service)
[ ${#units[@]} = 1 ] || { echo "FAIL: installed units: ${units[*]}" >&2; exit 1; }
unit=${units[0]}
value() { sed -n "s/^$1=//p" "$unit"; }

# ExecStart names the installed daemon. verify checks that it is there, but on the host; so the
# copy it checks starts the staged binary, and man(1) finds the page Documentation= names there.
exec_start=$(value ExecStart)
[ -x "$root$exec_start" ] || fail "ExecStart=$exec_start is not installed under the same prefix"
sed "s|^ExecStart=|ExecStart=$root|" "$unit" >"$scratch/check/ledboardd.service"
if ! said=$(MANPATH="$root/usr/share/man:$root/usr/local/share/man" \
    systemd-analyze verify "$scratch/check/ledboardd.service" 2>&1) || [ -n "$said" ]; then
    fail "systemd-analyze verify: $said"
fi

report=$(systemd-analyze security --offline=true "$scratch/check/ledboardd.service" 2>&1) || true
exposure=$(sed -n 's/.*Overall exposure level for ledboardd.service: \([0-9.]*\).*/\1/p' <<<"$report")
if [ -z "$exposure" ]; then
    fail "no exposure figure from systemd-analyze security: $report"
elif awk -v e="$exposure" -v m="$MAX_EXPOSURE" 'BEGIN { exit !(e > m) }'; then
    fail "exposure $exposure is above $MAX_EXPOSURE:"$'\n'"$(grep '✗' <<<"$report")"
else
    grep -q "exposure $exposure " "$manpage" ||
        fail "the man page does not quote the exposure $exposure: $(grep -o 'exposure [0-9.]* ' "$manpage")"
fi

# The group that gives access to the boards is the one the udev rule names.
group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$rule" | sort -u)
[ "$(value SupplementaryGroups)" = "$group" ] ||
    fail "SupplementaryGroups=$(value SupplementaryGroups), the udev rule's group is $group"
# The status the unit does not restart on is the one a bad configuration gives.
"$root$exec_start" --no-such-option >/dev/null 2>&1 && status=0 || status=$?
[ "$(value RestartPreventExitStatus)" = "$status" ] ||
    fail "RestartPreventExitStatus=$(value RestartPreventExitStatus), a bad option exits $status"

[ $failures = 0 ] && echo "ledboardd.service: verify clean, exposure $exposure"
