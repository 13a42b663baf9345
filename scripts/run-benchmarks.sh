#!/usr/bin/env bash
# Runs every Google Benchmark binary of the build tree given as $1.
set -euo pipefail
build=${1:-build}
for bench in "$build"/bench/*Bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" --benchmark_min_time=0.2
done
