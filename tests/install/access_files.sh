#!/usr/bin/env bash
# The installed files that give users access to the board: the udev rule and the sysusers.d entry
# for its group, as a staged install or the Debian package put them under ROOT and PREFIX.
#   access_files.sh ROOT PREFIX
#
# systemd-udevd ignores a whole rule line whose GROUP= names a missing group (from 258 also a group
# outside the system range), and plugdev is missing outside Debian: uaccess and the mode must not
# share a line with GROUP. libusb 0.1 skips device nodes it cannot read, so the mode must leave the
# node readable by everyone; plugdev needs group write; nobody else may write (0664).
set -euo pipefail
root=$1 prefix=$2
rules=$root$prefix/lib/udev/rules.d/60-ledboard.rules
sysusers=$root$prefix/lib/sysusers.d/ledboard.conf
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The rule lines as udev reads them: continuations joined, comments and blank lines left out.
mapfile -t lines < <(sed -e ':join' -e '/\\$/{N;s/\\\n//;b join' -e '}' "$rules" |
    grep -Ev '^[[:space:]]*(#|$)')
[ ${#lines[@]} -gt 0 ] || fail "$rules holds no rule"

has() { grep -Eq "$2" <<<"$1"; }
# Keys start a line or follow a comma and blanks (MODE is no match for ENV{ID_MODEL}=...).
key='(^|[ ,])'
uaccess='TAG\+="uaccess"' group="${key}GROUP:?=" mode="${key}MODE:?="
mode_0664="${key}MODE:?=\"0664\""
uaccess_lines=0 plugdev_lines=0
for line in "${lines[@]}"; do
    # A line that matched more than this one device would open other devices to the seat user.
    if ! { has "$line" 'SUBSYSTEM=="usb"' && has "$line" 'ATTR\{idVendor\}=="1384"' &&
        has "$line" 'ATTR\{idProduct\}=="8888"'; }; then
        fail "a line matches more than the board: $line"
    fi
    # The last MODE assigned wins, whichever line assigns it.
    if has "$line" "$mode" && ! has "$line" "$mode_0664"; then
        fail "a MODE other than 0664: $line"
    fi
    if has "$line" "$uaccess"; then
        uaccess_lines=$((uaccess_lines + 1))
        if has "$line" "$group"; then
            fail "uaccess shares a line with GROUP, which drops both where the group is missing: $line"
        fi
        has "$line" "$mode_0664" || fail "the uaccess line does not set MODE=\"0664\": $line"
    fi
    if has "$line" 'GROUP="plugdev"'; then
        plugdev_lines=$((plugdev_lines + 1))
    elif has "$line" "$group"; then
        fail "a group other than plugdev: $line"
    fi
done
[ $uaccess_lines -gt 0 ] || fail "no line gives the seat user access (TAG+=\"uaccess\", MODE=\"0664\")"
[ $plugdev_lines -gt 0 ] || fail "no line gives plugdev access: users logged in over ssh have none"

# The sysusers.d entry: plugdev as a system group, and nothing else.
if [ ! -f "$sysusers" ]; then
    fail "missing: $sysusers"
elif command -v systemd-sysusers >/dev/null; then
    # ROOT has no /etc/group, as a system without plugdev. Under /usr, systemd-sysusers must find
    # the entry in its own directory; elsewhere it is given the file. --dry-run writes nothing.
    files=()
    [ "$prefix" = /usr ] || files=("$sysusers")
    if ! said=$(systemd-sysusers --dry-run --root="$root" "${files[@]}" 2>&1); then
        fail "systemd-sysusers refused $sysusers: $said"
    fi
    created=$(grep '^Creating ' <<<"$said" || true)
    # systemd's system range ends at 999, and sysusers counts down from there.
    gid=$(sed -n "s/^Creating group 'plugdev' with GID \([0-9]*\)\.\$/\1/p" <<<"$created")
    if [ "$(wc -l <<<"$created")" != 1 ] || [ -z "$gid" ] || [ "$gid" -ge 1000 ]; then
        fail "systemd-sysusers would not create just plugdev as a system group: $said"
    fi
else
    # Without the tool: exactly the one line, with the GID left to systemd-sysusers.
    entries=$(grep -Ev '^[[:space:]]*(#|$)' "$sysusers" | tr -s ' \t' ' ' | sed 's/^ //; s/ $//')
    [ "$entries" = "g plugdev -" ] || fail "$sysusers holds other than 'g plugdev -': $entries"
fi

[ $failures = 0 ]
