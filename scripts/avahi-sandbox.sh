#!/usr/bin/env bash
# A private D-Bus system bus and an avahi-daemon of their own, for the test
# that resolves a DNS-SD service through the real daemon. The daemon runs in
# network and mount namespaces of its own, so it never touches the machine's
# network, /run or port 5353; the bus is a socket in DIR.
#
#   avahi-sandbox.sh start DIR NAME PORT   publishes NAME as an _ipp._tcp service
#                                          on PORT on host "pt-avahi.local"
#                                          (10.99.0.1, fd99::1); prints the bus
#                                          address once the service is up
#   avahi-sandbox.sh stop DIR              stops the daemon and the bus
#
# Further service files already in DIR/services are published too, and a
# DIR/hosts file (the daemon's "address name" lines) publishes those host
# names; start waits until every one of them is established. With a file
# DIR/second-link, the daemon also serves a second link, veth2 (10.98.0.1,
# fd98::1). The index of each served interface, as the daemon numbers it, is
# written to DIR/veth0.ifindex (and DIR/veth2.ifindex); the daemon's pid is in
# DIR/avahi.pid.
#
# Where the machine does not allow it, start prints one line saying why and
# exits with 77.
set -uo pipefail

skip() { echo "avahi sandbox not available: $*"; exit 77; }

stop() {
  local dir=$1 pid
  for name in avahi dbus; do
    [ -f "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid")
    # A daemon a test stopped (SIGSTOP) ends only once it runs again.
    kill "$pid" 2>/dev/null
    kill -CONT "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    rm -f "$dir/$name.pid"
  done
}

start() {
  local dir=$1 name=$2 port=$3
  for tool in dbus-daemon dbus-send avahi-daemon unshare ip mount; do
    command -v "$tool" > /dev/null || PATH=$PATH:/usr/sbin:/sbin command -v "$tool" > /dev/null ||
      skip "$tool is not installed"
  done
  export PATH=$PATH:/usr/sbin:/sbin
  local namespaces=(--net --mount)
  [ "$(id -u)" -eq 0 ] || namespaces=(--user --map-root-user --net --mount)
  unshare "${namespaces[@]}" true 2> /dev/null || skip "cannot make network and mount namespaces here"

  mkdir -p "$dir/services"
  local interfaces=veth0
  [ -f "$dir/second-link" ] && interfaces=veth0,veth2
  cat > "$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <auth>ANONYMOUS</auth>
  <allow_anonymous/>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
  cat > "$dir/avahi-daemon.conf" <<CONF
[server]
host-name=pt-avahi
use-ipv4=yes
use-ipv6=yes
allow-interfaces=$interfaces
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-workstation=no
publish-hinfo=no
CONF
  cat > "$dir/services/printer.service" <<CONF
<?xml version="1.0" standalone='no'?>
<!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group>
  <name>$name</name>
  <service><type>_ipp._tcp</type><port>$port</port><txt-record>usb_SN=PT-SANDBOX</txt-record></service>
</service-group>
CONF

  dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile > "$dir/dbus.log" 2>&1 &
  echo $! > "$dir/dbus.pid"
  for _ in $(seq 50); do [ -S "$dir/bus.sock" ] && break; sleep 0.1; done
  [ -S "$dir/bus.sock" ] || { stop "$dir"; skip "the private D-Bus bus did not start"; }
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus.sock"

  unshare "${namespaces[@]}" bash -c '
    set -e
    mount -t tmpfs tmpfs /run
    mount --bind "$0/services" /etc/avahi/services
    if [ -f "$0/hosts" ]; then mount --bind "$0/hosts" /etc/avahi/hosts; fi
    # add_link NAME PEER IPV4-NET IPV6-NET: a veth pair whose NAME end holds .1
    # of each network; its interface index goes to DIR/NAME.ifindex.
    add_link() {
      ip link add "$1" type veth peer name "$2"
      ip link set "$2" up
      ip link set "$1" up
      ip addr add "$3.1/24" dev "$1"
      ip -6 addr add "$4::1/64" dev "$1" nodad
      ip -o link show "$1" | cut -d: -f1 > "$0/$1.ifindex"
    }
    ip link set lo up
    add_link veth0 veth1 10.99.0 fd99
    if [ -f "$0/second-link" ]; then add_link veth2 veth3 10.98.0 fd98; fi
    exec avahi-daemon -f "$0/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits --debug' "$dir" \
    > "$dir/avahi.log" 2>&1 &
  echo $! > "$dir/avahi.pid"

  # One line per service group and per static host name when it is up.
  local expected established state=""
  expected=$(ls "$dir"/services/*.service | wc -l)
  [ -f "$dir/hosts" ] && expected=$(( expected + $(grep -cv '^[[:space:]]*\(#\|$\)' "$dir/hosts") ))
  for _ in $(seq 100); do
    state=$(dbus-send --system --print-reply=literal --dest=org.freedesktop.Avahi / \
              org.freedesktop.Avahi.Server.GetState 2> /dev/null | tr -d ' ')
    established=$(grep -c "successfully established" "$dir/avahi.log")
    [ "$state" = "int322" ] && [ "$established" -ge "$expected" ] && break
    sleep 0.1
  done
  if [ "$state" != "int322" ] || ! grep -q "New relevant interface" "$dir/avahi.log"; then
    stop "$dir"
    skip "avahi-daemon did not come up with a usable interface: $(tail -n 1 "$dir/avahi.log")"
  fi
  echo "$DBUS_SYSTEM_BUS_ADDRESS"
}

case "${1:-}" in
  start) start "$2" "$3" "$4" ;;
  stop) stop "$2" ;;
  *) echo "usage: $0 start DIR NAME PORT | stop DIR" >&2; exit 2 ;;
esac
