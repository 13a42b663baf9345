#!/usr/bin/env bash
# Runs a command in a network namespace of its own in which an interface holds
# the link-local address fe80::1 (the loopback one, else one of a veth pair),
# for the test that reaches a printer at a link-local address: its URL must
# carry the interface as zone. The machine's network is never touched.
#
#   link-local-sandbox.sh COMMAND [ARGUMENT...]
#
# Where the machine does not allow it, prints one line saying why and exits
# with 77.
set -uo pipefail

skip() { echo "link-local sandbox not available: $*"; exit 77; }

export PATH=$PATH:/usr/sbin:/sbin
for tool in unshare ip; do
  command -v "$tool" > /dev/null || skip "$tool is not installed"
done
namespaces=(--net)
[ "$(id -u)" -eq 0 ] || namespaces=(--user --map-root-user --net)
unshare "${namespaces[@]}" true 2> /dev/null || skip "cannot make a network namespace here"

exec unshare "${namespaces[@]}" bash -c '
  ip link set lo up || exit 77
  ip address add fe80::1/64 dev lo nodad 2> /dev/null ||
    { ip link add pt-ll0 type veth peer name pt-ll1 && ip link set pt-ll0 up && ip link set pt-ll1 up &&
      ip address add fe80::1/64 dev pt-ll0 nodad; } ||
    { echo "link-local sandbox not available: no interface takes fe80::1"; exit 77; }
  exec "$@"' link-local-sandbox "$@"
