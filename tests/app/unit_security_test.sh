#!/bin/sh
# systemd's rating of the service's sandbox: an exposure of 2.5 or better (0
# is best, 10 is a root service without one), and no setting that systemd
# does not understand, as it would ignore it and run the service without it;
# and bounds on the service's tasks and memory.
unit="$1"
grep -q '^TasksMax=[1-9]' "$unit" && grep -q '^MemoryMax=[1-9]' "$unit" || { echo "$unit: no TasksMax= or MemoryMax="; exit 1; }
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze is not installed (Debian package systemd): skipped"
  exit 77
fi
warnings=$(mktemp)
trap 'rm -f "$warnings"' EXIT
systemd-analyze security --offline=true --threshold=25 --no-pager "$unit" 2>"$warnings"
status=$?
if [ -s "$warnings" ]; then
  cat "$warnings"
  echo "systemd warned about $unit"
  exit 1
fi
exit "$status"
