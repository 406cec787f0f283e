#!/bin/bash
# A small private network for the end-to-end tests: hosts ke1..keN and a console
# host ke0, network namespaces on one bridge (in namespace kehub), each with its
# own system bus and avahi-daemon; one agent per host in a sandbox of its own.
#
# Usage: hosts.sh up N | down | exec I CMD... | agent-start I [PORT [nobonjour]]
#        | agent-ensure I | agent-stop I (SIGTERM) | agent-quit I (disconnect notice)
#        | agent-kill I | agent-pid I | link I up|down | check
# Environment: E2E_BUILD (build folder), E2E_STATE (state folder, /tmp/e2e-hosts).
set -euo pipefail
ST=${E2E_STATE:-/tmp/e2e-hosts}
BUILD=${E2E_BUILD:-build/e2e}
NET=10.78.0
HUB=kehub

# Everything below works on names of our own only (ke*), never on other namespaces.
ns_list() { ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^ke(hub|[0-9]+)$' || true; }

# Running, not a zombie waiting for a parent that may never reap it.
alive() { [ -n "$1" ] && [ -r "/proc/$1/stat" ] && [ "$(sed 's/.*) //' "/proc/$1/stat" | cut -d' ' -f1)" != Z ]; }

kill_pidfile() {
  local f=$1 sig=${2:-TERM} p
  [ -f "$f" ] || return 0
  p=$(cat "$f")
  if alive "$p"; then
    kill -"$sig" "$p" 2>/dev/null || true
    for _ in $(seq 50); do alive "$p" || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
  fi
  rm -f "$f"
}

down() {
  if [ -d "$ST" ]; then
    for d in "$ST"/ke*; do
      [ -d "$d" ] || continue
      for f in agent.pid session.pid avahi.pid bus.pid; do kill_pidfile "$d/$f"; done
      # Anything still running inside one of our namespaces was started by us.
      local n; n=$(basename "$d")
      for p in $(ip netns pids "$n" 2>/dev/null || true); do kill -KILL "$p" 2>/dev/null || true; done
    done
  fi
  for n in $(ns_list); do
    for p in $(ip netns pids "$n" 2>/dev/null || true); do kill -KILL "$p" 2>/dev/null || true; done
    ip netns del "$n" 2>/dev/null || true
  done
  ip route del unreachable $NET.0/24 2>/dev/null || true
  # Keep the logs of the last run for a look after a failure.
  if [ -d "$ST" ]; then
    rm -rf "$ST.last"; mkdir -p "$ST.last"
    for d in "$ST"/ke*; do
      [ -d "$d" ] || continue
      mkdir -p "$ST.last/$(basename "$d")"
      cp -a "$d"/*.log "$d"/*.out "$ST.last/$(basename "$d")/" 2>/dev/null || true
      cp -a "$d/root/var/log" "$ST.last/$(basename "$d")/" 2>/dev/null || true
    done
    rm -rf "$ST"
  fi
}

host_up() {
  local i=$1 h=ke$1 d=$ST/ke$1
  mkdir -p "$d"
  ip netns add $h
  ip link add eth0 netns $h type veth peer name p$i netns $HUB
  ip -n $HUB link set p$i master br0
  ip -n $HUB link set p$i up
  ip -n $h addr add $NET.$((i + 10))/24 dev eth0
  ip -n $h link set lo up
  ip -n $h link set eth0 up
  cat > "$d/bus.conf" <<X
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN" "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=$d/bus.sock</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>
X
  cat > "$d/avahi.conf" <<X
[server]
host-name=$( [ "$i" = 0 ] && echo console || echo host$i )
use-ipv4=yes
use-ipv6=no
allow-interfaces=eth0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
X
  dbus-daemon --config-file="$d/bus.conf" --fork --print-pid > "$d/bus.pid"
  ip netns exec $h env DBUS_SYSTEM_BUS_ADDRESS=unix:path=$d/bus.sock \
    sh -c "mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon && exec avahi-daemon -f $d/avahi.conf --no-chroot" \
    > "$d/avahi.log" 2>&1 &
  echo $! > "$d/avahi.pid"
}

up() {
  local n=$1
  down
  mkdir -p "$ST"
  ip route add unreachable $NET.0/24 2>/dev/null || true   # test traffic never leaves this machine
  ip netns add $HUB
  ip -n $HUB link add br0 type bridge
  ip -n $HUB link set br0 up
  ip -n $HUB link set lo up
  for i in $(seq 0 "$n"); do host_up "$i"; done
  for i in $(seq 0 "$n"); do
    for _ in $(seq 100); do grep -q 'Server startup complete' "$ST/ke$i/avahi.log" && break; sleep 0.1; done
    grep -q 'Server startup complete' "$ST/ke$i/avahi.log" || { echo "e2e: host $i: avahi-daemon failed"; cat "$ST/ke$i/avahi.log"; exit 1; }
  done
  echo "$n" > "$ST/count"
  echo "e2e: up: $n hosts and a console on $NET.0/24"
}

agent_start() {
  local i=$1 port=${2:-} nobonjour=${3:-} d=$ST/ke$1 root=$ST/ke$1/root
  local agent=$BUILD/apps/KestraClient.app/Contents/MacOS/KestraClient
  [ -x "$agent" ] || { echo "e2e: no agent at $agent"; exit 1; }
  kill_pidfile "$d/agent.pid"
  mkdir -p "$root/etc" "$root/opt" "$root/home/.config" "$root/home/.local/share" "$root/home/.cache" "$root/home/.local/state"
  echo "host$i" > "$root/etc/hostname"
  if [ -z "$(ls "$root/opt")" ]; then
    for app in "$BUILD"/apps/*.app; do
      [ -f "$app/Contents/ZDUpdates.plist" ] && cp -a "$app" "$root/opt/"
    done
  fi
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<plist version="1.0"><dict>'
    [ -n "$port" ] && echo "<key>customPortSet</key><integer>1</integer><key>customPort</key><integer>$port</integer>"
    [ "$nobonjour" = nobonjour ] && echo '<key>disableBonjour</key><integer>1</integer>'
    echo '<key>showMenuBarIcon</key><integer>0</integer></dict></plist>'
  } > "$root/home/.config/com.zendrel.KestraClient.plist"
  cp "$root/home/.config/com.zendrel.KestraClient.plist" "$d/prefs.expected"
  # The console under test is paired first, as root does on a real computer.
  if [ -n "${E2E_CONSOLE_FINGERPRINT:-}" ]; then
    KESTRA_SYSTEM_ROOT="$root" "$agent" -enroll-fingerprint "$E2E_CONSOLE_FINGERPRINT" > /dev/null \
      || { echo "e2e: host$i: enrolment failed"; exit 1; }
  fi
  # A session bus of its own: an agent tells every other agent on its bus to quit.
  if ! { [ -f "$d/session.pid" ] && alive "$(cat "$d/session.pid")"; }; then
    rm -f "$d/session.sock"
    ip netns exec ke$i dbus-daemon --session --address="unix:path=$d/session.sock" --fork --print-pid > "$d/session.pid"
  fi
  : > "$d/agent.out"
  ip netns exec ke$i env -i PATH="$PATH" QT_QPA_PLATFORM=offscreen \
    KESTRA_SYSTEM_ROOT="$root" HOME="$root/home" XDG_CONFIG_HOME="$root/home/.config" \
    XDG_DATA_HOME="$root/home/.local/share" XDG_CACHE_HOME="$root/home/.cache" XDG_STATE_HOME="$root/home/.local/state" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$d/session.sock" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$d/bus.sock" \
    "$agent" >> "$d/agent.out" 2>&1 &
  echo $! > "$d/agent.pid"
  echo "=== start $(date +%s.%N)" >> "$d/agent.events"
  for _ in $(seq 200); do
    grep -q '^Listening on' "$d/agent.out" && { echo "e2e: host$i: $(grep '^Listening on' "$d/agent.out" | tail -n 1)"; return 0; }
    alive "$(cat "$d/agent.pid")" || break
    sleep 0.1
  done
  echo "e2e: host$i: agent did not start"; cat "$d/agent.out"; exit 1
}

agent_signal() {
  local i=$1 sig=$2 d=$ST/ke$1 p
  [ -f "$d/agent.pid" ] || return 0
  p=$(cat "$d/agent.pid")
  if [ "$sig" = QUIT ]; then
    # The orderly way out: the notification another process posts on its session bus.
    DBUS_SESSION_BUS_ADDRESS="unix:path=$d/session.sock" "$BUILD/tests/helpers/zdbus_notify" post ZDKestraClientDisconnect >/dev/null
  else
    kill -"$sig" "$p" 2>/dev/null || true
  fi
  for _ in $(seq 200); do alive "$p" || break; sleep 0.05; done
  if alive "$p"; then
    echo "e2e: host$i: agent $p still running 10 s after SIG$sig"; kill -KILL "$p" 2>/dev/null || true; rm -f "$d/agent.pid"; exit 1
  fi
  rm -f "$d/agent.pid"
  echo "=== $sig $(date +%s.%N)" >> "$d/agent.events"
}

case "${1:-}" in
up) up "${2:-4}";;
down) down; echo "e2e: down";;
exec) i=$2; shift 2; exec ip netns exec ke$i env DBUS_SYSTEM_BUS_ADDRESS=unix:path=$ST/ke$i/bus.sock "$@";;
agent-start) agent_start "$2" "${3:-}" "${4:-}";;
agent-stop) agent_signal "$2" TERM;;
agent-kill) agent_signal "$2" KILL;;
agent-quit) agent_signal "$2" QUIT;;
agent-pid) cat "$ST/ke$2/agent.pid";;
agent-ensure)  # started unless running
  { [ -f "$ST/ke$2/agent.pid" ] && alive "$(cat "$ST/ke$2/agent.pid")"; } || agent_start "$2";;
link) ip -n $HUB link set p"$2" "$3";;
check)  # can this machine make namespaces?
  [ "$(id -u)" = 0 ] || { echo "needs root"; exit 1; }
  for c in ip dbus-daemon avahi-daemon; do command -v $c >/dev/null || { echo "needs $c"; exit 1; }; done
  ip netns add ke-probe-$$ 2>/dev/null || { echo "cannot create network namespaces"; exit 1; }
  ip netns del ke-probe-$$;;
*) sed -n 2,9p "$0"; exit 2;;
esac
