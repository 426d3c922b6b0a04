#!/usr/bin/env bash
# Builds the .deb from this build tree, checks it with lintian, and installs it into a scratch
# root, where the tool must run.
#   debian_package.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$1 scratch=$2
rm -rf "$scratch" && mkdir -p "$scratch/root"

cpack --config "$build/CPackConfig.cmake" -B "$scratch" >/dev/null 2>&1
deb=$(ls "$scratch"/ledboard_*.deb)

if ! report=$(lintian --fail-on error,warning "$deb" 2>&1); then
    printf '%s\n' "$report" >&2
    echo "lintian: errors or warnings" >&2
    exit 1
fi

depends=$(dpkg-deb --field "$deb" Depends)
case "$depends" in
    *libusb-0.1-4*) ;;
    *) echo "Depends lacks libusb: $depends" >&2; exit 1 ;;
esac

dpkg-deb --extract "$deb" "$scratch/root"
for file in usr/bin/ledboard usr/lib/udev/rules.d/60-ledboard.rules \
    usr/share/man/man1/ledboard.1.gz usr/share/doc/ledboard/copyright; do
    [ -f "$scratch/root/$file" ] || { echo "missing from the package: /$file" >&2; exit 1; }
done
if readelf --sections "$scratch/root/usr/bin/ledboard" | grep -q '\.symtab'; then
    echo "the packaged binary is not stripped" >&2
    exit 1
fi
"$scratch/root/usr/bin/ledboard" --help | grep -q '/usr/lib/udev/rules.d/60-ledboard.rules'
echo "$(basename "$deb"): lintian clean; Depends: $depends"
