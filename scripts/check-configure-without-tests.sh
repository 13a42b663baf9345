#!/usr/bin/env bash
# Usage: check-configure-without-tests.sh <source tree> [cmake option...]
# Configures the tree with tests and benchmarks off in a temporary folder and
# fails when a test tool (GoogleTest, Google Benchmark, cpp-httplib, umockdev)
# was looked up: a consumer building the libraries needs none of them.
set -euo pipefail
source=$1
shift

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$source" -B "$work" -DBUILD_TESTING=OFF -DPT_BENCH=OFF \
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_GMock=ON \
      -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON "$@" > "$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
# A find_package() or pkg_check_modules() leaves its results in the cache.
if grep -E '^[^#/]*(GTest|GMock|benchmark|HTTPLIB|UMOCKDEV)[^:]*:' "$work/CMakeCache.txt" |
   grep -v '^CMAKE_DISABLE_FIND_PACKAGE_' >&2; then
  echo "configured without tests, the tree still looks up a test tool" >&2
  exit 1
fi
