#!/usr/bin/env bash
# Fuzzes longer than the test command does: builds the fuzz preset, then runs
# every target over its seeds and its grown corpus for the given seconds
# (default 300), as many at once as there are cores. Grown corpora, crash
# inputs and logs stay under build/fuzz/fuzz-work/.
#   scripts/fuzz.sh [seconds-per-target]
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
case $seconds in ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [seconds-per-target]" >&2; exit 2 ;; esac

scripts/setup.sh || { echo "setup failed"; exit 1; }
mkdir -p build
log=build/fuzz.log
if ! { cmake --preset fuzz && cmake --build --preset fuzz -j "$(nproc)"; } >"$log" 2>&1; then
  tail -n 60 "$log"; exit 1
fi

work=build/fuzz/fuzz-work
mkdir -p "$work"
targets=()
for bin in build/fuzz/bin/fuzz_*; do targets+=("${bin##*/fuzz_}"); done
echo "fuzzing ${targets[*]} for ${seconds}s each"
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n; done
  rm -f "$work/$t.rc"
  ( sh fuzz/run_target.sh "build/fuzz/bin/fuzz_$t" "fuzz/corpus/$t" "$work/$t" "$seconds" >"$work/$t.log" 2>&1
    echo $? >"$work/$t.rc" ) &
done
wait

passed=0 failed=0
for t in "${targets[@]}"; do
  if [ "$(cat "$work/$t.rc" 2>/dev/null)" = 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED $t: see $work/$t.log and $work/$t/artifacts/"
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
