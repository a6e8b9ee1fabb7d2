#!/usr/bin/env bash
# Builds the libFuzzer programs of tests/fuzz (clang, ASan and UBSan) and runs
# each on a copy of its corpus in tests/fuzz/corpus/HARNESS; any finding fails.
#   tools/fuzz.sh short|long [HARNESS...]
# short: FUZZ_SECONDS (default 20) each. long: 600 each, then the corpus is
# replaced by a minimal merge of it and the new inputs. Findings are kept in
# $FUZZ_BUILD/run/HARNESS/ (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-short} build=$(realpath -m "${FUZZ_BUILD:-build/fuzz}") && shift $(($# > 0))
seconds=${FUZZ_SECONDS:-$([ "$mode" = long ] && echo 600 || echo 20)}
# clang and its libFuzzer runtime (Debian's clang, libclang-rt-14-dev):
# tools/deps.sh test installs them.
CC=clang CXX=clang++ cmake -S tests/fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >"$build/build.log" 2>&1 || { tail -30 "$build/build.log" >&2; exit 1; }
[ $# -gt 0 ] || set -- $(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
for h in "$@"; do
  run=$build/run/$h corpus=tests/fuzz/corpus/$h
  rm -rf "$run" && mkdir -p "$run/bin" "$run/findings" "$run/tmp" "$run/merged" "$corpus"
  # A program file of its own: fuzz_request keeps its forum beside it.
  cp "$build/$h" "$run/bin/" && cp -r "$corpus" "$run/work"
  options=(-max_len=4096 -timeout=10 -rss_limit_mb=2560 $(find tests/fuzz -name "$h.dict" -printf '-dict=%p'))
  if ! TMPDIR=$run/tmp "$run/bin/$h" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$run/findings/" "$run/work" >"$run/log" 2>&1; then
    echo "FAIL $h: findings in $run/findings, log $run/log" >&2
    grep -E -m5 'property violated|ERROR: |SUMMARY' "$run/log" >&2 || tail -20 "$run/log" >&2
    failed=1 && continue
  fi
  echo "ok   $h: $(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log") runs in ${seconds}s"
  [ "$mode" = long ] || continue
  TMPDIR=$run/tmp "$run/bin/$h" -merge=1 "${options[@]}" "$run/merged" "$corpus" "$run/work" >"$run/merge.log" 2>&1
  rm -rf "$corpus" && mv "$run/merged" "$corpus"
done
exit ${failed:-0}
