#!/usr/bin/env bash
# Instructions per character through the receiver, counted by callgrind:
# the inclusive cost of the loop that feeds the stream to the per-character
# entry point, divided by the characters fed.
set -euo pipefail
binary=${1:-build/release/bench/receiver_stream}
frames=${2:-20000}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
chars=$(valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" "$binary" "$frames" 2>/dev/null | awk '{print $2}')
cost=$(callgrind_annotate --inclusive=yes "$out/cg.out" 2>/dev/null \
  | awk '/FeedReceiver/ { gsub(",", "", $1); print $1; exit }')
awk -v c="$cost" -v n="$chars" 'BEGIN { printf "receiver: %d characters, %d instructions, %.1f instructions per character\n", n, c, c / n }'
