#!/usr/bin/env bash
# Plants typical faults in the driver one at a time and tells, for each,
# whether the tests noticed: a habit for finding the tests' blind spots, not
# a gate. The faults are applied to a copy of the tree (build/mutate/src), so
# the working tree is never touched and can be edited while this runs.
#
#   scripts/mutate.sh [MUTATIONS_FILE] [PATTERN]
#
# MUTATIONS_FILE (default scripts/mutations.txt) holds one fault per line:
#   file | what the fault is | sed expression (which may itself hold "|")
# Only lines whose text contains PATTERN are tried. A sed expression that
# changes nothing is reported as "stale" (the source moved on).
#
# Environment: MUTATE_DIR (default build/mutate), MUTATE_SANITIZE (ON/OFF,
# default OFF: three times quicker, and the host's own checks still see
# leaked objects, handles and locks), MUTATE_TARGETS (the test binaries that
# run driver code), MUTATE_CTEST (ctest's selection), MUTATE_TIMEOUT (seconds
# per test; a fault that hangs a test counts as caught), MUTATE_NAMES=1 (run
# every test and name the ones that failed, instead of stopping at the first).
set -uo pipefail

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
list=${1:-$root/scripts/mutations.txt}
pattern=${2:-}
work=${MUTATE_DIR:-$root/build/mutate}
targets=${MUTATE_TARGETS:-link_tests driver_tests scenario_tests sim_line_tests}
# The fuzz replays are left out: their binaries are not among the targets built here.
selection=${MUTATE_CTEST:--LE slow|posix|platform -E _NOT_BUILT|fuzz_replay}
timeout=${MUTATE_TIMEOUT:-120}
src=$work/src
bld=$work/build

mkdir -p "$src"
# The files git knows of; only those that differ are copied, so that what
# changed is rebuilt and nothing else.
(cd "$root" && git ls-files -co --exclude-standard) | while read -r f; do
  [ -f "$root/$f" ] || continue
  cmp -s "$root/$f" "$src/$f" 2>/dev/null || { mkdir -p "$src/$(dirname "$f")" && cp "$root/$f" "$src/$f"; }
done
if [ ! -f "$bld/build.ninja" ]; then
  cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHART_SANITIZE="${MUTATE_SANITIZE:-OFF}" \
    -DHART_BUILD_BENCH=OFF >/dev/null || exit 1
fi

build() { cmake --build "$bld" -j2 --target $targets >"$work/build.log" 2>&1; }
# shellcheck disable=SC2086
stop=--stop-on-failure
[ "${MUTATE_NAMES:-0}" = 1 ] && stop=
# shellcheck disable=SC2086
run_tests() { (cd "$bld" && ctest -j2 $selection --timeout "$timeout" $stop >"$work/ctest.log" 2>&1); }
failed_tests() { sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$work/ctest.log" | paste -sd, -; }

if ! build || ! run_tests; then
  echo "the unmutated tree does not pass; see $work/build.log and $work/ctest.log" >&2
  exit 1
fi

current=""
restore() { [ -n "$current" ] && cp "$work/original" "$src/$current"; current=""; }
trap 'restore; exit 130' INT TERM
trap restore EXIT

caught=0 missed=0 stale=0 broken=0
while IFS='|' read -r file what expression; do
  file=$(echo "$file" | sed 's/^ *//; s/ *$//')
  expression=$(echo "$expression" | sed 's/^ *//; s/ *$//')
  what=$(echo "$what" | sed 's/^ *//')
  case "$file" in ''|'#'*) continue ;; esac
  [ -n "$pattern" ] && [[ "$file $what" != *"$pattern"* ]] && continue
  cp "$src/$file" "$work/original"
  current=$file
  sed -i -e "$expression" "$src/$file"
  if cmp -s "$src/$file" "$work/original"; then
    verdict=stale; stale=$((stale + 1))
  elif ! build; then
    verdict="no build"; broken=$((broken + 1))
  elif run_tests; then
    verdict=MISSED; missed=$((missed + 1))
  else
    verdict=caught; caught=$((caught + 1))
  fi
  restore
  printf '%-8s %-32s %s\n' "$verdict" "$file" "$what"
  [ "$verdict" = caught ] && [ -z "$stop" ] && echo "         by: $(failed_tests)"
done <"$list"

# Leave the copy built as it is in the tree, for the next run.
build
tried=$((caught + missed))
echo "caught $caught of $tried ($(( tried ? caught * 100 / tried : 0 )) %); stale $stale, not building $broken"
