#!/usr/bin/env bash
# Builds the .deb as users do (scripts/package: Debian's hardening flags, lintian clean, hardening
# tags included), beside a stale package of another version, and installs it into a scratch root,
# where the tool must run.
#   debian_package.sh SOURCE_DIR SCRATCH_DIR
set -euo pipefail
source=$1 scratch=$2
mkdir -p "$scratch/build"
rm -rf "$scratch/root"
echo "not a package" >"$scratch/build/ledboard_0.0.1_amd64.deb"

deb=$("$source/scripts/package" "$scratch/build" | tail -n 1)
[ "$(basename "$deb")" != ledboard_0.0.1_amd64.deb ] || { echo "took the stale package" >&2; exit 1; }

depends=$(dpkg-deb --field "$deb" Depends)
case "$depends" in
    *libusb-0.1-4*) ;;
    *) echo "Depends lacks libusb: $depends" >&2; exit 1 ;;
esac

dpkg-deb --extract "$deb" "$scratch/root"
for file in usr/bin/ledboard usr/lib/udev/rules.d/60-ledboard.rules \
    usr/lib/sysusers.d/ledboard.conf usr/share/man/man1/ledboard.1.gz \
    usr/share/doc/ledboard/copyright; do
    [ -f "$scratch/root/$file" ] || { echo "missing from the package: /$file" >&2; exit 1; }
done
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
echo "$(basename "$deb"): lintian clean, hardened; Depends: $depends"
