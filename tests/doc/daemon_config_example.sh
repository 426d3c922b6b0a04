#!/usr/bin/env bash
# The example configuration installed as /etc/ledboard/ledboardd.conf: as installed it is all
# comments, so that it changes nothing; and its example lines, uncommented, are settings the
# daemon takes. Only the keys this build's --help lists are tried (others arrive with other
# features), and not those naming files or network endpoints: those are the administrator's.
# As the file says, a key the daemon does not know (a misspelt one) is refused with status 78.
#   daemon_config_example.sh EXAMPLE LEDBOARDD SCRATCH_DIR
set -euo pipefail
example=$1 daemon=$2 scratch=$3
# Long enough for the daemon to have read its configuration and started its threads.
readonly RUN_SECONDS=2
mkdir -p "$scratch"

settings=$(grep -Ev '^[[:space:]]*(#|$)' "$example" || true)
if [ -n "$settings" ]; then
    echo "FAIL: $example sets, as installed:"$'\n'"$settings" >&2
    exit 1
fi

known=$("$daemon" --help)
config=$scratch/ledboardd.conf
: >"$config"
while IFS= read -r line; do
    key=${line%% =*} key=${key#\#} value=${line#*= }
    case $key in broker | http) continue ;; esac
    [[ $value == /* ]] && continue
    grep -q -- "--$key\b" <<<"$known" && echo "$key = $value" >>"$config"
done < <(grep -E '^#[a-z][a-z-]* = ' "$example")
[ -s "$config" ] || { echo "FAIL: no example line to try in $example" >&2; exit 1; }

# The broker on the command line wins over the file: a port nothing listens on, so that the
# daemon keeps trying and runs until stopped. Still running at the end means it took the file.
status=0
timeout -s INT "$RUN_SECONDS" "$daemon" --config "$config" --broker 127.0.0.1:1 \
    >"$scratch/out" 2>"$scratch/err" || status=$?
if [ $status != 124 ]; then
    echo "FAIL: ledboardd ended with $status on the example's settings:" >&2
    cat "$config" "$scratch/err" >&2
    exit 1
fi

misspelt=$scratch/misspelt.conf
sed 's/^interval =/intervall =/' "$config" >"$misspelt"
status=0
timeout -s INT "$RUN_SECONDS" "$daemon" --config "$misspelt" --broker 127.0.0.1:1 \
    >"$scratch/out" 2>"$scratch/err" || status=$?
if [ $status != 78 ]; then
    echo "FAIL: ledboardd ended with $status on a misspelt key, not 78 (bad configuration):" >&2
    cat "$misspelt" "$scratch/err" >&2
    exit 1
fi
echo "the example's settings taken: $(cut -d' ' -f1 "$config" | tr '\n' ' '); a misspelt key refused"
