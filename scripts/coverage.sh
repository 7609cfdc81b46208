#!/usr/bin/env bash
# Line and branch coverage of the tests that `make test` runs, per folder of
# the code: a summary on stdout, file by file pages in build/coverage/html.
# Its own build (gcc --coverage, no sanitizers), so the asan build is untouched.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
out=build/coverage
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHART_SANITIZE=OFF -DHART_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null || exit 1
cmake --build "$out" -j "$jobs" || exit 1
find "$out" -name '*.gcda' -delete
(cd "$out" && ctest -j "$jobs" -LE slow --output-on-failure >"ctest.log" 2>&1)
tests=$?
[ $tests -eq 0 ] || echo "some tests failed, see $out/ctest.log; coverage of the rest follows" >&2
mkdir -p "$out/html"
# The tests' own objects are not searched: only the code's coverage is wanted.
# gcovr 5 cannot merge the tasks that Task.h instantiates in many files (the
# same function name at other lines) and stops; that header is left out.
gcovr --root . --object-directory "$out" --exclude-directories "$out/tests" --exclude-directories "$out/bench" \
  --exclude-directories "$out/CMakeFiles/[0-9].*" --gcov-exclude '.*Task\.h.*' \
  --exclude 'tests/' --exclude 'bench/' --exclude "$out/" \
  --json-summary "$out/summary.json" --html-details "$out/html/index.html" >/dev/null || exit 1
python3 - "$out/summary.json" <<'PY'
import collections, json, sys
folders = collections.defaultdict(lambda: [0, 0, 0, 0])
for entry in json.load(open(sys.argv[1]))["files"]:
    parts = entry["filename"].split("/")
    folder = "/".join(parts[:2]) if parts[0] == "platform" and len(parts) > 2 else parts[0]
    row = folders[folder]
    row[0] += entry["line_covered"]; row[1] += entry["line_total"]
    row[2] += entry["branch_covered"]; row[3] += entry["branch_total"]
def percent(done, total):
    return f"{100 * done / total:5.1f} %" if total else "    - "
print(f"{'folder':<18}{'lines':>20}{'branches':>22}")
for folder, (lines, line_total, branches, branch_total) in sorted(folders.items()):
    print(f"{folder:<18}{lines:>6}/{line_total:<6}{percent(lines, line_total)}  {branches:>6}/{branch_total:<6}{percent(branches, branch_total)}")
PY
echo "file by file: $out/html/index.html"
exit $tests
