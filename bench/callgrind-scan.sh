#!/usr/bin/env bash
# Instructions per 256-sector READ VERIFY block on the simulated drive: the bare engine command
# beside the whole surface scan path (thread, slices, view model, results packets), measured
# with valgrind's callgrind.
#   bench/callgrind-scan.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
bin="$build/bin/scan_callgrind"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --instr-atstart=no --separate-threads=no \
    --callgrind-out-file="$out/cg.%p" "$bin" > "$out/stdout" 2> "$out/log"
total() { # sum of the totals of every dump named $1
    grep -l "^desc: Trigger: Client Request: $1\$" "$out"/cg.* |
        xargs awk '/^totals:/ {s += $2} END {print s}'
}
bare=$(total bare_verify)
scan=$(total scan)
cat "$out/stdout"
echo "bare engine: $bare instructions, $((bare / 1000)) per block"
echo "scan path:   $scan instructions, $((scan / 1000)) per block"
awk -v b="$bare" -v s="$scan" 'BEGIN { printf "scan bookkeeping: %.2f%% over the bare commands\n", (s - b) * 100 / b }'
