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
# The udev rule and the sysusers.d entry as installed: the mode keeps the node readable by
# everyone, and uaccess does not hang on the group.
"$(dirname "$0")/access_files.sh" "$scratch" "$prefix"
"$scratch$prefix/bin/ledboard" --version | grep -qx 'ledboard [0-9]*\.[0-9]*\.[0-9]*'
gzip -t "$scratch$prefix/share/man/man1/ledboard.1.gz"
echo "staged install: $(echo "$actual" | wc -l) files, all under DESTDIR$prefix"
