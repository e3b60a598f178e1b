#!/usr/bin/env bash
# Builds and runs every test: the g++ tree (unit and end-to-end tests), the clang tree under
# AddressSanitizer + UndefinedBehaviorSanitizer (unit tests and fuzz corpora), a short libFuzzer
# run of every fuzz target (TM_FUZZ_SECONDS each, 0 to skip), and the clang tree under
# ThreadSanitizer (the *_threads_test.cpp files).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
status=0
launch=()

run_tree() {  # name, then CMake arguments
  local name=$1; shift
  echo "=== ${name} ==="
  cmake -S . -B "build/${name}" -G Ninja "$@" >/dev/null
  cmake --build "build/${name}" -j "${jobs}"
  if ! "${launch[@]}" ctest --test-dir "build/${name}" --output-on-failure --no-tests=ignore -j "${jobs}"; then
    status=1
  fi
}

# Line tables only: a full CI run must fit on a small disk (three trees of statically linked tests
# with full debug information took over 4 GB); backtraces and sanitizer reports keep file:line.
run_tree gcc -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_tree asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    "-DTOVENMARSH_SANITIZE=address,undefined" -DCMAKE_CXX_FLAGS=-O1 \
    -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only -DCMAKE_C_FLAGS_DEBUG=-gline-tables-only
# Then a short real fuzzing run of every target: libFuzzer over libraries built with coverage,
# under the same sanitizers, from scratch copies of the corpora (CI never grows them). Targets
# run nproc at a time; 15 s each keeps the step to a few minutes even on two cores.
fuzz_seconds=${TM_FUZZ_SECONDS:-15}
if [ "${fuzz_seconds}" -gt 0 ]; then
  echo "=== fuzz (${fuzz_seconds} s a target) ==="
  if ! tools/fuzz/run_fuzz.sh --build build/fuzz --seconds "${fuzz_seconds}" --jobs "${jobs}" --no-merge; then
    status=1
  fi
fi
# ThreadSanitizer's fixed shadow layout can meet a randomised mapping and crash a test at start;
# its tests run with address randomisation off where the machine allows it.
if setarch "$(uname -m)" -R true 2>/dev/null; then launch=(setarch "$(uname -m)" -R); fi
TSAN_OPTIONS=halt_on_error=1 \
  run_tree tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTOVENMARSH_SANITIZE=thread -DCMAKE_CXX_FLAGS=-O1 \
    -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only -DCMAKE_C_FLAGS_DEBUG=-gline-tables-only

exit "${status}"
