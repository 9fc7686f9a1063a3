#!/usr/bin/env bash
# Builds what the benchmarks need and runs them: the tick micro-benchmark on the
# host (Release, no sanitizers) and the Wine benchmark of the real Velmora.exe.
# Extra arguments go to bench/wine_bench.py (--pairs, --cpu-seconds, --strict).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh windows bench

echo "== one tick against the fake platform (host, Release)"
# Debian's libbenchmark warns about its own build before the numbers.
echo "(a \"Library was built as DEBUG\" warning below is about Debian's Google Benchmark"
echo " package, not Velmora: the code measured is built Release, build/bench)"
# Google Benchmark 1.8 and later want the unit in the minimum time (and warn
# without it); 1.7 (Debian 12) takes a bare number only.
tick_benchmark=build/bench/bench/velmora_tick_benchmark
min_time=0.5s
$tick_benchmark --benchmark_min_time=$min_time --benchmark_filter='^$' >/dev/null 2>&1 || min_time=0.5
$tick_benchmark --benchmark_min_time=$min_time
echo
echo "== Velmora.exe under Wine"
python3 bench/wine_bench.py "$@"
