#!/bin/bash
# Runs the end-to-end tests: sets up the private network, runs the console test
# inside the console's namespace, and takes everything down again, also after a
# failure or an interrupt. Exit 77 (skipped) without root or network namespaces.
# Usage: tests/e2e/run.sh [BUILD] [test function...]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export E2E_BUILD=$(cd "${1:-build/e2e}" && pwd); shift || true
export E2E_STATE=${E2E_STATE:-/tmp/e2e-hosts}
export E2E_HOSTS_SH=$here/hosts.sh E2E_BADPEER=$here/badpeer.py
test=$E2E_BUILD/tests/e2e/e2e_tst_e2e
if ! why=$("$E2E_HOSTS_SH" check 2>&1); then
  echo "e2e: skipped: needs root and network namespaces ($why)"; exit 77
fi
if ! command -v python3 >/dev/null; then echo "e2e: skipped: needs python3"; exit 77; fi
[ -x "$test" ] || { echo "e2e: $test is not built"; exit 1; }
# A test administrator (member of sudo) for the privileged task, removed afterwards.
export E2E_ADMIN_USER=kestra_e2eadm E2E_ADMIN_PASSWORD="e2e-$RANDOM-$RANDOM-Pw"
cleanup() {
  "$E2E_HOSTS_SH" down >/dev/null 2>&1   # also ends every process left in our namespaces
  id "$E2E_ADMIN_USER" >/dev/null 2>&1 && userdel -r "$E2E_ADMIN_USER" >/dev/null 2>&1
  true
}
cleanup
trap cleanup EXIT
if getent group sudo >/dev/null && useradd -m -G sudo "$E2E_ADMIN_USER" \
   && echo "$E2E_ADMIN_USER:$E2E_ADMIN_PASSWORD" | chpasswd; then :; else
  echo "e2e: no test administrator: the privileged task is skipped"; unset E2E_ADMIN_USER E2E_ADMIN_PASSWORD
fi
child=
# In the background, so that an interrupt is handled at once (the network goes down with it).
trap '[ -n "$child" ] && kill -TERM "$child" 2>/dev/null; exit 130' INT TERM
"$E2E_HOSTS_SH" up 4 || exit 1
# The console program makes a sandbox of its own inside its namespace.
timeout -k 10 400 "$E2E_HOSTS_SH" exec 0 env QT_QPA_PLATFORM=offscreen QTEST_FUNCTION_TIMEOUT=240000 "$test" "$@" &
child=$!
wait "$child"
rc=$?
echo "e2e: logs of this run are kept in $E2E_STATE.last"
exit $rc
