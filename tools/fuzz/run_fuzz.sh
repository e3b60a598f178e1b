#!/usr/bin/env bash
# Builds the libFuzzer tree (clang, AddressSanitizer + UndefinedBehaviorSanitizer, coverage in
# every library) and runs each fuzz target for a fixed time, several targets at once. Each target
# starts from its committed corpus fuzz/<folder>/corpus/<name>/ (read through a scratch copy, so
# the run itself never writes there). Afterwards the inputs that added coverage are merged into
# the committed corpus: libFuzzer's merge picks a small set of the new inputs that reaches every
# edge the corpus lacks (edges only, not hit counts, or the corpus would grow by thousands of
# files a run); --no-merge leaves the corpus alone (CI). Crashes, leaks, timeouts and
# out-of-memory inputs are saved under <out>/crashes/ and make the script exit with 1.
#
# Usage: tools/fuzz/run_fuzz.sh [options] [name-regex]
#   -t, --seconds N   fuzzing time per target (default 60)
#   -j, --jobs N      targets run at once (default: the number of cores)
#   -b, --build DIR   libFuzzer build folder (default build/fuzz)
#   -o, --out DIR     scratch and crash folder (default <build>/fuzz-run, emptied first)
#   --no-merge        do not add new inputs to the committed corpora
#   --no-build        use the binaries already in the build folder
#   name-regex        run only targets whose name (e.g. fuzz_web_request) matches
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

seconds=60
jobs=$(nproc)
build="${root}/build/fuzz"
out=""
merge=yes
do_build=yes
filter=""
while [ $# -gt 0 ]; do
  case $1 in
    -t|--seconds) seconds=$2; shift 2 ;;
    -j|--jobs) jobs=$2; shift 2 ;;
    -b|--build) build=$2; shift 2 ;;
    -o|--out) out=$2; shift 2 ;;
    --no-merge) merge=no; shift ;;
    --no-build) do_build=no; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "run_fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) filter=$1; shift ;;
  esac
done
case $seconds$jobs in *[!0-9]*) echo "run_fuzz.sh: seconds and jobs are whole numbers" >&2; exit 2 ;; esac
[ "$jobs" -ge 1 ] || jobs=1
out=${out:-${build}/fuzz-run}

if [ "$do_build" = yes ]; then
  echo "=== building the libFuzzer tree in ${build} ==="
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTOVENMARSH_LIBFUZZER=ON "-DTOVENMARSH_SANITIZE=address,undefined" -DCMAKE_CXX_FLAGS=-O1 \
    -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only -DCMAKE_C_FLAGS_DEBUG=-gline-tables-only >/dev/null
  cmake --build "$build" -j "$jobs" --target fuzz_targets
fi

# Every fuzz/<folder>/<name>_fuzz.cpp is a target fuzz_<folder>_<name>.
targets=()
for src in "$root"/fuzz/*/*_fuzz.cpp; do
  folder=$(basename "$(dirname "$src")")
  name=$(basename "$src" _fuzz.cpp)
  target="fuzz_${folder}_${name}"
  if [ -n "$filter" ] && ! [[ $target =~ $filter ]]; then continue; fi
  if [ ! -x "${build}/fuzz/${target}" ]; then
    echo "run_fuzz.sh: ${build}/fuzz/${target} is not built" >&2
    exit 2
  fi
  targets+=("${folder}/${name}")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "run_fuzz.sh: no fuzz target matches '${filter}'" >&2
  exit 2
fi

# Only a folder this script made (or an empty one) is emptied: a mistyped -o must not wipe sources.
if [ -n "$(ls -A "$out" 2>/dev/null)" ] && [ ! -e "$out/.run_fuzz" ]; then
  echo "run_fuzz.sh: ${out} is not empty and was not made by this script" >&2
  exit 2
fi
rm -rf "$out"
mkdir -p "$out/crashes"
touch "$out/.run_fuzz"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# One target: fuzz it from a scratch copy of its corpus, new inputs going to <work>/new.
fuzz_one() {
  local folder=${1%/*} name=${1#*/}
  local target="fuzz_${folder}_${name}"
  local corpus="${root}/fuzz/${folder}/corpus/${name}"
  local work="${out}/${target}"
  mkdir -p "$work/new" "$work/seed"
  if [ -d "$corpus" ]; then cp -R "$corpus/." "$work/seed/"; fi
  # A dictionary of the format's tokens beside the target, when there is one.
  local dict=()
  if [ -f "${root}/fuzz/${folder}/${name}.dict" ]; then dict=(-dict="${root}/fuzz/${folder}/${name}.dict"); fi
  # -timeout catches hangs; the outer timeout is only a backstop should libFuzzer itself stall.
  local rc=0
  timeout --kill-after=30 $((seconds + 300)) "${build}/fuzz/${target}" \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="${out}/crashes/${target}-" "$work/new" "$work/seed" >"$work/log" 2>&1 || rc=$?
  echo "$rc" >"$work/rc"
  local cov
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -1 || true)
  if [ "$rc" -eq 0 ]; then
    echo "${target}: ${cov:-no coverage line}, $(find "$work/new" -type f | wc -l) new inputs"
  else
    echo "${target}: FAILED (exit ${rc}), log ${work}/log"
  fi
}

echo "=== fuzzing ${#targets[@]} targets for ${seconds} s each, ${jobs} at a time ==="
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
wait || true

status=0
for t in "${targets[@]}"; do
  target="fuzz_${t%/*}_${t#*/}"
  if [ "$(cat "${out}/${target}/rc" 2>/dev/null || echo 1)" != 0 ]; then
    status=1
    echo "--- ${target} failed; its log from the first report on:"
    log="${out}/${target}/log"
    start=$(grep -n -m1 -E '^==[0-9]+==|DEADLYSIGNAL|runtime error:|^ERROR: libFuzzer|ALARM' "$log" | cut -d: -f1 || true)
    if [ -n "$start" ]; then tail -n +"$start" "$log" | head -n 120; else tail -n 40 "$log"; fi
  fi
done
crashes=$(find "$out/crashes" -type f | sort)
if [ -n "$crashes" ]; then
  status=1
  echo "--- inputs that failed (replay: <binary> <file>):"
  echo "$crashes"
fi

if [ "$merge" = yes ]; then
  echo "=== merging new inputs into the corpora ==="
  for t in "${targets[@]}"; do
    target="fuzz_${t%/*}_${t#*/}"
    corpus="${root}/fuzz/${t%/*}/corpus/${t#*/}"
    [ -n "$(ls -A "${out}/${target}/new")" ] || continue
    mkdir -p "$corpus"
    before=$(find "$corpus" -type f | wc -l)
    # Merging replays inputs, some of which may have failed above: a failure here is reported
    # by the run, not again by the merge.
    "${build}/fuzz/${target}" -set_cover_merge=1 -use_counters=0 -timeout=30 -rss_limit_mb=2560 \
      -artifact_prefix="${out}/crashes/${target}-merge-" "$corpus" "${out}/${target}/new" \
      >"${out}/${target}/merge.log" 2>&1 || echo "${target}: merge failed, log ${out}/${target}/merge.log"
    after=$(find "$corpus" -type f | wc -l)
    echo "${target}: $((after - before)) inputs added ($(du -sk "$corpus" | cut -f1) KB)"
  done
fi

exit "$status"
