#!/usr/bin/env bash
# Usage: check-no-simulation.sh <simulation library> <product library>...
# Fails when a product library defines or uses a class of the simulation
# library: the classes are those whose members the simulation library defines.
set -euo pipefail
simulation=$1
shift

classes=$(nm -C --defined-only "$simulation" |
          sed -nE 's/^[0-9a-f]+ [Tt] (platform::[A-Za-z_][A-Za-z0-9_]*)::.*/\1/p' | sort -u)
# A check that finds no class checks nothing.
if ! grep -qx 'platform::VirtualPrinter' <<< "$classes"; then
  echo "no simulation classes found in $simulation" >&2
  exit 2
fi
pattern="($(paste -sd'|' <<< "$classes"))([^A-Za-z0-9_]|$)"

status=0
for library in "$@"; do
  if hits=$(nm -C "$library" | grep -E "$pattern"); then
    echo "$(basename "$library") holds simulation code:" >&2
    head -n 10 <<< "$hits" >&2
    status=1
  fi
done
exit $status
