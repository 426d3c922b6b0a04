#!/usr/bin/env bash
# A staged install puts exactly the shipped files under DESTDIR and the chosen prefix, and
# nothing anywhere else: a rule with an absolute destination would land outside it. The daemon's
# unit and configuration file are the exceptions when the build names absolute folders for them
# (as it does for the prefix /usr): they then go to those folders, under DESTDIR all the same.
#   staged_install.sh BUILD_DIR SCRATCH_DIR [UNIT_DIR CONFIG_DIR]   (the last two with the daemon)
set -euo pipefail
build=$1 scratch=$2 unit_dir=${3:-} config_dir=${4:-}
rm -rf "$scratch" && mkdir -p "$scratch"
prefix=/opt/ledboard-staged

DESTDIR="$scratch" cmake --install "$build" --prefix "$prefix" >/dev/null

actual=$(cd "$scratch" && find . -type f | sort)
shipped='bin/ledboard
lib/sysusers.d/ledboard.conf
lib/udev/rules.d/60-ledboard.rules
share/doc/ledboard/LICENSE
share/doc/ledboard/README.md
share/doc/ledboard/changelog.gz
share/doc/ledboard/copyright
share/man/man1/ledboard.1.gz'
if [ -n "$unit_dir" ]; then
    under() { case $1 in /*) echo "$1" ;; *) echo "$prefix/$1" ;; esac; }
    shipped+="
bin/ledboardd
share/doc/ledboardd/changelog.gz
share/doc/ledboardd/copyright
share/man/man8/ledboardd.8.gz"
    absolute="$(under "$unit_dir")/ledboardd.service
$(under "$config_dir")/ledboardd.conf"
fi
expected=$({ sed "s|^|$prefix/|" <<<"$shipped"; [ -z "$unit_dir" ] || echo "$absolute"; } |
    sed 's|^/|./|' | sort)
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
if [ -n "$unit_dir" ]; then
    "$scratch$prefix/bin/ledboardd" --version | grep -qx 'ledboardd [0-9]*\.[0-9]*\.[0-9]*'
    gzip -t "$scratch$prefix/share/man/man8/ledboardd.8.gz"
fi
echo "staged install: $(echo "$actual" | wc -l) files, all under DESTDIR"
