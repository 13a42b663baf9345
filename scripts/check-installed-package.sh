#!/usr/bin/env bash
# Usage: check-installed-package.sh <build tree> <consumer project> [cmake option...]
# Installs the build tree into a temporary prefix, checks that the prefix holds
# no simulated hardware, then configures, builds and runs the consumer project
# against that prefix alone. The options go to the consumer's configure.
set -euo pipefail
unset DESTDIR  # the install goes to the temporary prefix alone
build=$1
consumer=$2
shift 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > /dev/null

# Neither a simulation header nor the simulation or test libraries.
if found=$(find "$prefix" \( -path '*Simulation*' -o -name '*Tests*' -o -name '*Umockdev*' \
                             -o -name '*Bench*' -o -name 'libgtest*' \) -print | grep .); then
  echo "the installed tree holds what is not the product:" >&2
  echo "$found" >&2
  exit 1
fi
if grep -rl 'Simulation/' "$prefix/include" >&2; then
  echo "installed headers include the simulation" >&2
  exit 1
fi

cmake -S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "$@"
cmake --build "$work/consumer"
# The analytics client may make its folders: keep them in the temporary tree.
HOME=$work/home XDG_CACHE_HOME=$work/cache XDG_STATE_HOME=$work/state XDG_DATA_HOME=$work/data \
  "$work/consumer/consumer"
