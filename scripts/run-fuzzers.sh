#!/usr/bin/env bash
# Runs each fuzz target for a while on its committed corpus, then prints
# what each did. New inputs go to BUILD/corpus/<target> (the committed
# corpus is only read); crashes, hangs and failed checks go to
# BUILD/findings/<target>/. Exits non-zero when any target found something.
#   scripts/run-fuzzers.sh BUILD SECONDS TARGET...
set -uo pipefail
build=$1
seconds=$2
shift 2
source=$(cd "$(dirname "$0")/.." && pwd)
found=0
summary=()
for target in "$@"; do
  mkdir -p "$build/corpus/$target" "$build/findings/$target"
  dict=()
  [ -f "$source/fuzz/$target.dict" ] && dict=(-dict="$source/fuzz/$target.dict")
  log="$build/findings/$target.log"
  echo "== $target: ${seconds}s"
  "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target/" "${dict[@]}" \
    "$build/corpus/$target" "$source/fuzz/corpus/$target" >"$log" 2>&1
  status=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  if [ $status -ne 0 ]; then
    found=1
    summary+=("$target: FOUND something after ${execs:-?} runs, see $log and $build/findings/$target/")
    grep -m3 -E 'fuzz check failed|ERROR: AddressSanitizer|runtime error|driver fault|deadly signal|timeout' "$log" | sed 's/^/    /'
  else
    summary+=("$target: ${execs:-?} runs, ${rate:-?} exec/s, ${cov:-cov: ?}")
  fi
done
echo
printf '%s\n' "${summary[@]}"
exit $found
