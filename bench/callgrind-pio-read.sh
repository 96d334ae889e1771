#!/usr/bin/env bash
# Instructions per sector of a 256-sector PR_PIO_READ on the simulated drive (engine, simulated
# port I/O and device model together), measured with valgrind's callgrind.
#   bench/callgrind-pio-read.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
bin="$build/bin/ata_callgrind_read"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out/cg.%p" "$bin" > /dev/null 2> "$out/log"
file=$(grep -l 'pio_read_256' "$out"/cg.* | head -n 1)
ir=$(awk '/^totals:/ {print $2; exit}' "$file")
echo "instructions for one 256-sector read: $ir"
awk -v ir="$ir" 'BEGIN { printf "instructions per sector: %.0f\n", ir / 256 }'
