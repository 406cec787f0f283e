#!/bin/bash
# The services the tests talk to: a system D-Bus, avahi-daemon on loopback only,
# a session bus, an unlocked gnome-keyring and an X server (Xvfb).
#
#   scripts/test-services.sh up        start them; prints the environment to eval
#   scripts/test-services.sh down      stop what "up" started, nothing else
#   scripts/test-services.sh run CMD…  up, run CMD with that environment, down; CMD's status
#
# Every process started is recorded in $KESTRA_SVC_DIR and only those are stopped.
# "run" keeps them in a private folder of its own (and a free X display), so several runs
# at once never stop each other's buses; "up"/"down" share one folder in the user's runtime
# folder. A service that is already running on the machine (a system bus, avahi) is used as it is.
set -uo pipefail

PRIVATE_DIR=0
if [ -n "${KESTRA_SVC_DIR:-}" ]; then
  SVC_DIR=$KESTRA_SVC_DIR
elif [ "${1:-}" = run ]; then
  SVC_DIR=$(mktemp -d "${TMPDIR:-/tmp}/kestra-services-XXXXXX") || exit 1
  PRIVATE_DIR=1
else
  SVC_DIR=${XDG_RUNTIME_DIR:-$HOME/.cache}/kestra-test-services
fi
DISPLAY_NUM=
SYSBUS_SOCKET=/run/dbus/system_bus_socket

log() { echo "test-services: $*" >&2; }

wait_for() { # wait_for <tries of 0.1 s> <command...>
  local n=$1; shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
  "$@"
}

system_bus_alive() {
  [ -S "$SYSBUS_SOCKET" ] && dbus-send --system --dest=org.freedesktop.DBus --type=method_call \
    --print-reply /org/freedesktop/DBus org.freedesktop.DBus.GetId >/dev/null 2>&1
}

up() {
  mkdir -p "$SVC_DIR"
  : > "$SVC_DIR/env"
  local root=0; [ "$(id -u)" -eq 0 ] && root=1

  # 1. System bus: avahi-daemon needs it, and the agent listens there for session events.
  if system_bus_alive; then
    log "system bus already running; using it"
  elif [ $root -eq 1 ]; then
    mkdir -p /run/dbus; rm -f /run/dbus/pid
    dbus-daemon --system --fork --print-pid > "$SVC_DIR/sysbus.pid" || { log "system bus failed to start"; return 1; }
    touch "$SVC_DIR/sysbus.started"
    wait_for 50 system_bus_alive || { log "system bus not answering"; return 1; }
  else
    log "not root: no system bus (tests that need one will skip)"
  fi

  # 2. avahi-daemon, announcing on loopback only: nothing ever leaves this machine.
  if avahi-daemon --check 2>/dev/null; then
    log "avahi-daemon already running; using it"
  elif [ $root -eq 1 ] && system_bus_alive; then
    cat > "$SVC_DIR/avahi.conf" <<X
[server]
host-name=kestra-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
X
    avahi-daemon -f "$SVC_DIR/avahi.conf" --no-chroot --no-drop-root > "$SVC_DIR/avahi.log" 2>&1 &
    echo $! > "$SVC_DIR/avahi.pid"
    wait_for 100 grep -q 'Server startup complete' "$SVC_DIR/avahi.log" \
      || { log "avahi-daemon failed:"; cat "$SVC_DIR/avahi.log" >&2; return 1; }
  else
    log "no avahi-daemon (needs root and a system bus)"
  fi

  # 3. Session bus and an unlocked keyring with its own storage.
  export XDG_RUNTIME_DIR="$SVC_DIR/runtime"
  mkdir -p "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
  rm -f "$XDG_RUNTIME_DIR/bus"
  dbus-daemon --session --fork --address="unix:path=$XDG_RUNTIME_DIR/bus" --print-pid > "$SVC_DIR/sessbus.pid" \
    || { log "session bus failed to start"; return 1; }
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
  echo "export XDG_RUNTIME_DIR='$XDG_RUNTIME_DIR'" >> "$SVC_DIR/env"
  echo "export DBUS_SESSION_BUS_ADDRESS='$DBUS_SESSION_BUS_ADDRESS'" >> "$SVC_DIR/env"

  mkdir -p "$SVC_DIR/keyring-data"
  ( export XDG_DATA_HOME="$SVC_DIR/keyring-data"
    printf 'kestra-test-keyring' | gnome-keyring-daemon --daemonize --unlock --components=secrets > "$SVC_DIR/keyring.env" 2>"$SVC_DIR/keyring.log" )
  local kpid
  kpid=$(sed -n 's/^GNOME_KEYRING_PID=//p' "$SVC_DIR/keyring.env")
  [ -n "$kpid" ] || kpid=$(pgrep -u "$(id -u)" -n -x gnome-keyring-d || true)
  if [ -n "$kpid" ]; then echo "$kpid" > "$SVC_DIR/keyring.pid"; else log "gnome-keyring did not start"; fi

  # 4. An X server for widget tests that want a real display, on a display number
  # Xvfb finds free (or the one asked for), so runs side by side do not meet.
  : > "$SVC_DIR/display"
  if [ -n "${KESTRA_XVFB_DISPLAY:-}" ]; then
    Xvfb ":$KESTRA_XVFB_DISPLAY" -screen 0 1280x800x24 -nolisten tcp > "$SVC_DIR/xvfb.log" 2>&1 &
    echo "$KESTRA_XVFB_DISPLAY" > "$SVC_DIR/display"
  else
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$SVC_DIR/display" > "$SVC_DIR/xvfb.log" 2>&1 &
  fi
  echo $! > "$SVC_DIR/xvfb.pid"
  wait_for 100 test -s "$SVC_DIR/display"
  DISPLAY_NUM=$(tr -dc 0-9 < "$SVC_DIR/display")
  if [ -n "$DISPLAY_NUM" ] && wait_for 100 test -e "/tmp/.X11-unix/X$DISPLAY_NUM"; then
    echo "export DISPLAY=:$DISPLAY_NUM" >> "$SVC_DIR/env"
  else
    log "Xvfb did not start; widget tests use the offscreen platform"
  fi
  echo "export KESTRA_TEST_SERVICES='$SVC_DIR'" >> "$SVC_DIR/env"
  cat "$SVC_DIR/env"
}

down() {
  [ -d "$SVC_DIR" ] || return 0
  DISPLAY_NUM=$(tr -dc 0-9 2>/dev/null < "$SVC_DIR/display" || true)
  for f in xvfb keyring sessbus avahi sysbus; do
    local pidfile="$SVC_DIR/$f.pid"
    [ -s "$pidfile" ] || continue
    local pid; pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null && for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$pidfile"
  done
  [ -f "$SVC_DIR/sysbus.started" ] && rm -f /run/dbus/pid "$SVC_DIR/sysbus.started"
  [ -n "$DISPLAY_NUM" ] && rm -f "/tmp/.X11-unix/X$DISPLAY_NUM" "/tmp/.X$DISPLAY_NUM-lock"
  [ "$PRIVATE_DIR" -eq 1 ] && rm -rf "$SVC_DIR"
  return 0
}

case "${1:-}" in
  up) down; up >/dev/null && cat "$SVC_DIR/env" ;;
  down) down ;;
  run)
    shift; [ "${1:-}" = "--" ] && shift
    [ "$PRIVATE_DIR" -eq 1 ] || down
    trap 'down' EXIT
    trap 'exit 130' INT TERM
    up >/dev/null || { log "could not start the test services"; exit 1; }
    # shellcheck disable=SC1091
    . "$SVC_DIR/env"
    "$@"
    ;;
  *) echo "usage: $0 up|down|run CMD..." >&2; exit 2 ;;
esac
