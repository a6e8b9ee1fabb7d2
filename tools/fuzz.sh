#!/usr/bin/env bash
# Builds the libFuzzer programs (tests/fuzz, clang with ASan and UBSan) and
# runs them on their corpora.
#   tools/fuzz.sh short [HARNESS...]   each for FUZZ_SECONDS (default 20) on a
#                                      copy of its corpus; any finding fails
#   tools/fuzz.sh long [HARNESS...]    each for FUZZ_SECONDS (default 600);
#                                      new inputs are merged into the
#                                      checked-in corpus, kept small
#   tools/fuzz.sh build                only build
# FUZZ_JOBS (default 1) harnesses run at once. Execution counts are appended
# to build/fuzz/stats.txt. Findings are kept in build/fuzz/run/HARNESS/ and
# the run fails; add the input to tests/fuzz/corpus/HARNESS/ as a regression
# case (a name of your own: only 40-hex-digit names are replaced by merges).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
mode=${1:-short}
shift || true
BUILD=build/fuzz
JOBS=${FUZZ_JOBS:-1}
case "$mode" in
  short) SECONDS_EACH=${FUZZ_SECONDS:-20} ;;
  long) SECONDS_EACH=${FUZZ_SECONDS:-600} ;;
  build) ;;
  *) echo "usage: $0 short|long|build [HARNESS...]" >&2; exit 2 ;;
esac

# clang, its libFuzzer runtime and the sanitizers come from Debian.
need=()
command -v clang++ >/dev/null || need+=(clang)
dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "install ok installed" ||
  [ -n "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] ||
  need+=(libclang-rt-14-dev)
command -v cmake >/dev/null || need+=(cmake)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${need[*]} (sudo apt-get install -y ${need[*]})" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

CC=clang CXX=clang++ cmake -S tests/fuzz -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"${JOBS_BUILD:-2}" >/dev/null || cmake --build "$BUILD" -j1
[ "$mode" = build ] && exit 0

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for src in tests/fuzz/fuzz_*.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi

# Inputs larger than libFuzzer's default where the surface needs them.
options_for() {
  case "$1" in
    fuzz_request) echo "-max_len=12000" ;;   # bodies past the 10000-byte limit
    fuzz_newslist) echo "-max_len=20000" ;;  # a hundred records and more
    fuzz_multipart) echo "-max_len=20000" ;;
    *) echo "-max_len=4096" ;;
  esac
}

# Names libFuzzer gives inputs (SHA-1); every other name is a seed or a
# regression case and stays.
generated_name() { [[ "$(basename "$1")" =~ ^[0-9a-f]{40}$ ]]; }

# replace_generated CORPUS MERGED: the generated inputs of CORPUS become those
# of MERGED, leaving out copies of the seeds and regression cases.
replace_generated() {
  local corpus=$1 merged=$2 f
  declare -A kept=()
  for f in "$corpus"/*; do
    [ -e "$f" ] || continue
    if generated_name "$f"; then rm -f "$f"; else kept[$(sha1sum <"$f" | cut -c1-40)]=1; fi
  done
  for f in "$merged"/*; do
    [ -e "$f" ] || continue
    [ -n "${kept[$(sha1sum <"$f" | cut -c1-40)]:-}" ] || cp "$f" "$corpus/"
  done
}

run_one() {
  local h=$1 run=$BUILD/run/$1
  rm -rf "$run"
  mkdir -p "$run/bin" "$run/work" "$run/findings"
  # A copy of its own: fuzz_request keeps its forum beside its program file.
  cp "$BUILD/$h" "$run/bin/$h"
  local corpus=tests/fuzz/corpus/$h
  mkdir -p "$corpus"
  cp -r "$corpus/." "$run/work/"
  local dict=()
  [ -f "tests/fuzz/$h.dict" ] && dict=("-dict=$ROOT/tests/fuzz/$h.dict")
  local status=0
  # shellcheck disable=SC2046
  (cd "$run" && exec "bin/$h" work $(options_for "$h") "${dict[@]}" -max_total_time="$SECONDS_EACH" \
      -timeout=10 -rss_limit_mb=2560 -malloc_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix=findings/) >"$run/log" 2>&1 || status=$?
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -1)
  echo "$(date -u +%FT%TZ) $h $mode ${SECONDS_EACH}s executions=${execs:-?} status=$status" >>"$BUILD/stats.txt"
  if [ $status -ne 0 ] || [ -n "$(ls -A "$run/findings")" ]; then
    echo "FAIL $h: finding(s) in $run/findings (log: $run/log)" >&2
    grep -E -m5 'property violated|ERROR: |SUMMARY' "$run/log" >&2 || tail -20 "$run/log" >&2
    return 1
  fi
  echo "ok   $h: ${execs:-?} executions in ${SECONDS_EACH}s"
  if [ "$mode" = long ]; then
    # Keep the corpus small: a minimal set covering the old corpus and the
    # new inputs replaces the generated files; seeds and regressions stay.
    local merged=$run/merged
    mkdir -p "$merged"
    (cd "$run" && "bin/$h" -merge=1 $(options_for "$h") merged "$ROOT/$corpus" work) >"$run/merge.log" 2>&1 || {
      echo "FAIL $h: merge failed (log: $run/merge.log)" >&2
      return 1
    }
    replace_generated "$corpus" "$merged"
    echo "     corpus $corpus: $(ls "$corpus" | wc -l) inputs"
  fi
}

failed=0
if [ "$JOBS" -le 1 ]; then
  for h in "${harnesses[@]}"; do run_one "$h" || failed=1; done
else
  pids=()
  for h in "${harnesses[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do sleep 1; done
    run_one "$h" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || failed=1; done
fi
exit $failed
