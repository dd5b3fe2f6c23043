#!/bin/sh
# run_target.sh BINARY SEED_DIR WORK_DIR SECONDS: one fuzz target over its
# seeds (only read), then fuzzing for a bounded time. WORK_DIR receives the
# grown corpus, crash inputs (artifacts/) and the target's temporary folders.
set -eu
binary=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus" "$work/artifacts" "$work/tmp"
export TMPDIR="$work/tmp" ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$binary" "$work/corpus" "$seeds" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$work/artifacts/"
