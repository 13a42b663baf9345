#!/usr/bin/env bash
# Runs every example program of the build tree given as $1.
set -euo pipefail
build=${1:-build}
for example in "$build"/examples/*; do
  [ -f "$example" ] && [ -x "$example" ] || continue
  echo "== $(basename "$example")"
  "$example"
done
