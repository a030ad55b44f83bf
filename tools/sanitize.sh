#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole
# test suite against that build. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QSC_SANITIZE_BUILD:-build/sanitize}
python=${PYTHON:-python3}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQSC_SANITIZE=ON \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"

asan_lib=$(g++ -print-file-name=libasan.so)
ubsan_lib=$(g++ -print-file-name=libubsan.so)
# The interpreter's own allocations are not ours to police at exit; everything else is fatal.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export PYTHONMALLOC=malloc
LD_PRELOAD="$asan_lib $ubsan_lib" QSC_BUILD_DIR="$build" "$python" -m pytest -p no:cacheprovider -q tests "$@"
