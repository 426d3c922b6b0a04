#!/usr/bin/env bash
# The man page as man(1) shows it on Debian (groff): its header names the manual, not "BSD", and
# its footer the version the tool reports.
#   manpage_header.sh MANPAGE LEDBOARD
set -euo pipefail
page=$(groff -mdoc -Tutf8 -P-cbou "$1")
header=$(head -n 1 <<<"$page")
footer=$(tail -n 1 <<<"$page")
version=$("$2" --version)
if [[ $header == *BSD* || $header != *"General Commands Manual"* ]]; then
    echo "man page header: $header" >&2
    exit 1
fi
if [[ $footer != "$version"* ]]; then
    echo "man page footer: $footer (the tool says $version)" >&2
    exit 1
fi
