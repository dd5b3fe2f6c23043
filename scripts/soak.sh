#!/usr/bin/env bash
# The soak run, longer: several threads mixing every export against a service
# that injects faults, under AddressSanitizer+UBSan and then ThreadSanitizer,
# SECONDS each (default 300). Prints the calls and jobs; ASan reports any leak.
#   scripts/soak.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
scripts/setup.sh

status=0
for preset in native-asan native-tsan; do
  dir=$PWD/build/$preset
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target movu_api_tests movu_mt5 >/dev/null
  service=$dir/testservice-soak
  sh tools/devserver/run_fixture.sh start "$service" >/dev/null
  mkdir -p "$dir/test-tmp"
  echo "=== $preset: soak for $seconds s"
  if ! MOVU_TESTSERVICE_DIR=$service SSL_CERT_FILE=$service/ca.pem MOVU_TEST_TMP=$dir/test-tmp \
       MOVU_SOAK_SECONDS=$seconds ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
       TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp" \
       "$dir/bin/movu_api_tests" --gtest_filter='Soak.*'; then
    status=1
  fi
  sh tools/devserver/run_fixture.sh stop "$service" >/dev/null || true
done
exit $status
