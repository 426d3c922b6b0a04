#!/usr/bin/env bash
# A staged install puts exactly the shipped files under DESTDIR and the chosen prefix, and
# nothing anywhere else: a rule with an absolute destination would land outside it.
#   staged_install.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$1 scratch=$2
rm -rf "$scratch" && mkdir -p "$scratch"
prefix=/opt/ledboard-staged

DESTDIR="$scratch" cmake --install "$build" --prefix "$prefix" >/dev/null

actual=$(cd "$scratch" && find . -type f | sort)
expected=$(sed "s|^|.$prefix/|" <<'LIST'
bin/ledboard
lib/sysusers.d/ledboard.conf
lib/udev/rules.d/60-ledboard.rules
share/doc/ledboard/LICENSE
share/doc/ledboard/README.md
share/doc/ledboard/changelog.gz
share/doc/ledboard/copyright
share/man/man1/ledboard.1.gz
LIST
)
if [ "$actual" != "$expected" ]; then
    echo "installed files differ from the expected list:" >&2
    diff <(echo "$expected") <(echo "$actual") >&2
    exit 1
fi
# libusb 0.1 skips device nodes it cannot read, so a rule that hides the node from other users
# hides the board itself: it must stay readable by everyone.
mode=$(sed -n 's/.*MODE="\([0-7]*\)".*/\1/p' "$scratch$prefix/lib/udev/rules.d/60-ledboard.rules")
if [ -z "$mode" ] || [ $((8#$mode & 4)) -eq 0 ]; then
    echo "the udev rule's MODE=\"$mode\" hides the board from other users" >&2
    exit 1
fi
"$scratch$prefix/bin/ledboard" --version | grep -qx 'ledboard [0-9]*\.[0-9]*\.[0-9]*'
gzip -t "$scratch$prefix/share/man/man1/ledboard.1.gz"
echo "staged install: $(echo "$actual" | wc -l) files, all under DESTDIR$prefix"
