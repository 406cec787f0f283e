#!/bin/bash
# Runs the demo in a sandbox folder that stands in for the computer, so nothing
# outside it is touched. Usage: scripts/demo.sh <build folder>
set -euo pipefail
build=${1:-build/debug}
sandbox=${KESTRA_DEMO_ROOT:-/tmp/kestra-demo}
mkdir -p "$sandbox/home"
export KESTRA_SYSTEM_ROOT="$sandbox" HOME="$sandbox/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
echo "Demo sandbox: $sandbox"
"$build/apps/KestraDemo.app/Contents/MacOS/KestraDemo"
agent="$build/apps/KestraClient.app/Contents/MacOS/KestraClient"
if [ -x "$agent" ]; then
  echo
  echo "Starting the client agent in the sandbox..."
  # A session bus of its own: the agent tells every other agent on its bus to quit.
  bus_pid=
  : > "$sandbox/agent.out"
  if command -v dbus-daemon >/dev/null; then
    bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
    bus_pid=$(sed -n 2p <<<"$bus")
    DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus") "$agent" > "$sandbox/agent.out" 2>&1 &
  else
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$agent" > "$sandbox/agent.out" 2>&1 &
  fi
  agent_pid=$!
  for _ in $(seq 100); do grep -q '^Listening on' "$sandbox/agent.out" && break; sleep 0.1; done
  status=$(grep -E '^Listening on ' "$sandbox/agent.out" | tail -n 1 || true)
  echo "Agent status: ${status:-$(tail -n 1 "$sandbox/agent.out")}"
  echo "Agent log:    $(find "$sandbox" -name KestraClient.1.log -path '*/Zendrel/*' | head -n 1)"
  kill "$agent_pid"; wait "$agent_pid" 2>/dev/null || true
  [ -n "$bus_pid" ] && kill "$bus_pid"
  echo "Agent stopped."
fi
echo
echo "Everything above lives under $sandbox (remove it with: rm -rf $sandbox)."
