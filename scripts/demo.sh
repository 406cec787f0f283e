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
echo
echo "Everything above lives under $sandbox (remove it with: rm -rf $sandbox)."
