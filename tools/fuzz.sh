#!/usr/bin/env bash
# Hostile-input fuzzing and model-based testing for as long as asked:
#   tools/fuzz.sh [seconds]            (default 120) against the build in QSC_BUILD_DIR or the
#                                      installed module
#   QSC_FUZZ_SANITIZE=1 tools/fuzz.sh  against the ASan+UBSan build that tools/sanitize.sh makes
# Rounds of fresh random seeds run until the time is up; the first failure stops the campaign.
# The figures of every round are summed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
python=${PYTHON:-python3}
stats=$(mktemp)
trap 'rm -f "$stats"' EXIT

if [ "${QSC_FUZZ_SANITIZE:-0}" = 1 ]; then
  build=${QSC_SANITIZE_BUILD:-build/sanitize}
  [ -f "$build/build.ninja" ] || { echo "run tools/sanitize.sh first" >&2; exit 2; }
  cmake --build "$build" >/dev/null
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
  export PYTHONMALLOC=malloc
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  export QSC_BUILD_DIR=$build
fi

export QSC_FUZZ_EXAMPLES=${QSC_FUZZ_EXAMPLES:-300} QSC_MODEL_EXAMPLES=${QSC_MODEL_EXAMPLES:-100}
export QSC_FUZZ_STATS=$stats
end=$((SECONDS + seconds))
rounds=0
while [ "$SECONDS" -lt "$end" ]; do
  seed=$RANDOM$RANDOM
  "$python" -m pytest -p no:cacheprovider -q -x tests/test_fuzz.py tests/test_models.py \
    --hypothesis-seed="$seed" >/dev/null || {
    echo "fuzz round $((rounds + 1)) failed (--hypothesis-seed=$seed):" >&2
    "$python" -m pytest -p no:cacheprovider -q -x tests/test_fuzz.py tests/test_models.py \
      --hypothesis-seed="$seed" | tail -60 >&2
    exit 1
  }
  rounds=$((rounds + 1))
done
awk -v rounds="$rounds" '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); sum[kv[1]] += kv[2] } }
  END { printf "fuzz campaign: %d rounds", rounds; for (k in sum) printf ", %d %s", sum[k], k; print "" }' "$stats"
