#!/usr/bin/env bash
# Runs every Google Benchmark binary of the build tree given as $1. Those
# named *UmockdevBench drive libusb against devices served by umockdev and
# start under umockdev-wrapper.
set -euo pipefail
build=${1:-build}
for bench in "$build"/bench/*Bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  case "$bench" in
    *UmockdevBench) umockdev-wrapper "$bench" --benchmark_min_time=0.2 ;;
    *) "$bench" --benchmark_min_time=0.2 ;;
  esac
done
