#!/usr/bin/env bash
# Builds the benchmarks (Release, build/bench), runs each against the bundled
# test service on 127.0.0.1 and writes BENCHMARKS.md at the repository root.
# A few minutes; run it on a quiet machine, the figures are wall times.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
mkdir -p build
log=build/bench.log
cmake --preset bench >"$log" 2>&1 || { cat "$log"; exit 1; }
cmake --build --preset bench -j 2 --target movu_core_bench movu_sync_call_bench movu_jobs_bench movu_service_bench movu_kit_bench >>"$log" 2>&1 ||
  { tail -n 60 "$log"; exit 1; }

bin=build/bench/bin
out=build/bench/results
rm -rf "$out"
mkdir -p "$out"
echo "=== core: exchange, 50 MiB answer, token from memory"
"$bin/movu_core_bench" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_out="$out/core.json" --benchmark_out_format=json | tee "$out/core.txt"
echo "=== the MQL5 kit: parse, merge, replay lookup"
"$bin/movu_kit_bench" --benchmark_repetitions=5 --benchmark_out="$out/kit.json" --benchmark_out_format=json |
  tee "$out/kit.txt"
echo "=== synchronous call"
"$bin/movu_sync_call_bench" | tee "$out/sync.txt"
echo "=== background jobs"
"$bin/movu_jobs_bench" | tee "$out/jobs.txt"
echo "=== the service's own cost"
"$bin/movu_service_bench" | tee "$out/service.txt"

python3 bench/report.py --results "$out" --build build/bench --command scripts/bench.sh \
  --before bench/baseline/sync_before_session_resumption.txt >BENCHMARKS.md.tmp
mv BENCHMARKS.md.tmp BENCHMARKS.md
echo "wrote BENCHMARKS.md"
