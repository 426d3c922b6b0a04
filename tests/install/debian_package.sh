#!/usr/bin/env bash
# Builds the .debs as users do (scripts/package: Debian's hardening flags, lintian clean, hardening
# tags included), beside a stale package of another version, and installs them into a scratch
# root, where the tool must run and the daemon's unit must pass its checks. The tool's package
# must not depend on the daemon's libraries.
#   debian_package.sh SOURCE_DIR SCRATCH_DIR
set -euo pipefail
source=$1 scratch=$2
mkdir -p "$scratch/build"
rm -rf "$scratch/root"
echo "not a package" >"$scratch/build/ledboard_0.0.1_amd64.deb"

mapfile -t debs < <("$source/scripts/package" "$scratch/build")
names=$(for deb in "${debs[@]}"; do basename "$deb"; done | sed 's/_.*//' | tr '\n' ' ')
[ "$names" = "ledboard ledboardd " ] || { echo "packages built: ${debs[*]}" >&2; exit 1; }
deb=${debs[0]} daemon_deb=${debs[1]}
[ "$(basename "$deb")" != ledboard_0.0.1_amd64.deb ] || { echo "took the stale package" >&2; exit 1; }

depends=$(dpkg-deb --field "$deb" Depends)
case "$depends" in
    *libusb-0.1-4*) ;;
    *) echo "Depends lacks libusb: $depends" >&2; exit 1 ;;
esac
case "$depends" in
    *libmosquitto* | *libstdc++* | *ledboardd*)
        echo "the tool's package depends on the daemon's libraries: $depends" >&2
        exit 1
        ;;
esac
# The daemon needs the tool's package for the udev rule that lets its group reach the boards.
daemon_depends=$(dpkg-deb --field "$daemon_deb" Depends)
version=$(dpkg-deb --field "$deb" Version)
case "$daemon_depends" in
    *"ledboard (= $version)"*libmosquitto1*) ;;
    *) echo "ledboardd's Depends lack ledboard (= $version) or libmosquitto: $daemon_depends" >&2
        exit 1 ;;
esac
# The configuration is the administrator's: an upgrade must not overwrite it.
conffiles=$(dpkg-deb --info "$daemon_deb" conffiles)
[ "$conffiles" = /etc/ledboard/ledboardd.conf ] || {
    echo "ledboardd's conffiles: $conffiles" >&2
    exit 1
}

dpkg-deb --extract "$deb" "$scratch/root"
for file in usr/bin/ledboard usr/lib/udev/rules.d/60-ledboard.rules \
    usr/lib/sysusers.d/ledboard.conf usr/share/man/man1/ledboard.1.gz \
    usr/share/doc/ledboard/copyright; do
    [ -f "$scratch/root/$file" ] || { echo "missing from the package: /$file" >&2; exit 1; }
done
dpkg-deb --extract "$daemon_deb" "$scratch/root"
for file in usr/bin/ledboardd usr/share/man/man8/ledboardd.8.gz etc/ledboard/ledboardd.conf \
    usr/share/doc/ledboardd/copyright; do
    [ -f "$scratch/root/$file" ] || { echo "missing from ledboardd's package: /$file" >&2; exit 1; }
done
unit_status=0
"$source/tests/systemd/unit_check.sh" "$scratch/root" "$scratch/unit" \
    "$source/doc/ledboardd.8" "$source/udev/60-ledboard.rules" || unit_status=$?
[ $unit_status = 0 ] || [ $unit_status = 77 ] || exit 1 # 77: no systemd-analyze here
"$(dirname "$0")/access_files.sh" "$scratch/root" /usr
if readelf --sections "$scratch/root/usr/bin/ledboard" | grep -q '\.symtab'; then
    echo "the packaged binary is not stripped" >&2
    exit 1
fi
# Installed, the binary's --help names the rule where the package puts it (it looks there at run
# time, so here, unpacked, only the path built into it can be checked).
grep -q -a '/usr/lib/udev/rules.d' "$scratch/root/usr/bin/ledboard" || {
    echo "the packaged binary does not know the package's rule folder" >&2
    exit 1
}
echo "$(basename "$deb"), $(basename "$daemon_deb"): lintian clean, hardened; Depends: $depends"
