#!/usr/bin/env bash
# Sets up what is missing, builds every configuration and runs every suite:
# native, AddressSanitizer+UBSan, ThreadSanitizer, the Windows DLL under Wine,
# and the fuzz targets for a short while each. Ends with one line:
# "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || { echo "setup failed"; exit 1; }

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
python3 scripts/summarize_tests.py "${presets[@]}" "${failed_steps[@]/#/--failed-step=}"
