#!/usr/bin/env bash
# Sets up what is missing, builds every configuration and runs every suite:
# native, AddressSanitizer+UBSan, ThreadSanitizer, the Windows DLL under Wine,
# and the fuzz targets for a short while each. Ends with one line:
# "N passed, N failed".
#
#   scripts/test.sh --repeat N [suite...]
# builds the configurations of MOVU_TEST_PRESETS (default: native) and runs the
# named ctest suites (default: all of them) N times over, reporting each failed
# suite with its configuration and run number. Ends with one line:
# "N runs, N failed" (the exit status is non-zero when any run failed).
set -uo pipefail
cd "$(dirname "$0")/.."

repeat=0
suites=()
while [ $# -gt 0 ]; do
  case "$1" in
    --repeat)
      [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [--repeat N [suite...]]" >&2; exit 2; }
      repeat=$2; shift 2 ;;
    -*) echo "usage: $0 [--repeat N [suite...]]" >&2; exit 2 ;;
    *) suites+=("$1"); shift ;;
  esac
done
if [ "$repeat" -eq 0 ] && [ ${#suites[@]} -gt 0 ]; then
  echo "suites are named only with --repeat N" >&2; exit 2
fi

scripts/setup.sh || { echo "setup failed"; exit 1; }

if [ "$repeat" -gt 0 ]; then
  presets=(${MOVU_TEST_PRESETS:-native})
  selection=()
  if [ ${#suites[@]} -gt 0 ]; then
    # A suite's cases are its tests natively ("movu_unit_tests.Suite.Case").
    selection=(-R "^($(IFS='|'; echo "${suites[*]}"))(\\.|\$)")
  fi
  runs=0 failed=0
  for preset in "${presets[@]}"; do
    log="build/$preset.log"
    mkdir -p build
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)"; } >"$log" 2>&1; then
      tail -n 60 "$log"; echo "$preset: build failed"; exit 1
    fi
    for ((run = 1; run <= repeat; run++)); do
      runs=$((runs + 1))
      out="build/$preset/repeat-run-$run.log"
      if ctest --preset "$preset" "${selection[@]}" >"$out" 2>&1; then
        echo "$preset run $run/$repeat: passed"
      else
        failed=$((failed + 1))
        names=$(sed -n 's/^[0-9]*://p' "build/$preset/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | tr '\n' ' ')
        echo "$preset run $run/$repeat: FAILED ${names:-(see log)}- $out"
        grep -E '^\[  FAILED  \] [^ ]+\.[^ ]+' "$out" | sort -u | sed 's/^/    /'
      fi
    done
  done
  echo "$runs runs, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

presets=(${MOVU_TEST_PRESETS:-native native-asan native-tsan windows fuzz})
failed_steps=()


for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  rm -rf "build/$preset/test-results"
  mkdir -p build
  log="build/$preset.log"
  if ! cmake --preset "$preset" >"$log" 2>&1; then
    cat "$log"; failed_steps+=("$preset:configure"); continue
  fi
  if ! cmake --build --preset "$preset" -j "$(nproc)" >>"$log" 2>&1; then
    tail -n 60 "$log"; failed_steps+=("$preset:build"); continue
  fi
  echo "=== $preset: test"
  mkdir -p "build/$preset/test-results"
  if ! ctest --preset "$preset" --output-junit "$PWD/build/$preset/test-results/ctest.junit.xml"; then
    failed_steps+=("$preset:test")
  fi
done

scripts/line_ratio.sh || true
format_ok=1
scripts/check_format.sh || format_ok=0
python3 scripts/summarize_tests.py "${presets[@]}" "${failed_steps[@]/#/--failed-step=}" && [ "$format_ok" = 1 ]
