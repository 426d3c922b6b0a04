#!/usr/bin/env bash
# The tool loads libusb and libc and nothing else: loading libstdc++ would cost several times the
# instructions of everything the tool does (bench/README.md).
#   runtime_libraries.sh LEDBOARD
set -euo pipefail
needed=$(readelf --dynamic "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
if [ "$needed" != "libc.so.6 libusb-0.1.so.4 " ]; then
    echo "ledboard needs: $needed (expected only libc.so.6 and libusb-0.1.so.4)" >&2
    exit 1
fi
