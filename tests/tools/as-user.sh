#!/bin/sh
# Runs a test program as an unprivileged account when the tests run as root, so the
# tools' user-level paths (the user's folders, `systemctl --user`) are covered too.
if [ "$(id -u)" = 0 ]; then
  exec runuser -u nobody -- "$@"
fi
exec "$@"
