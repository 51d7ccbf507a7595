#!/bin/sh
# Runs a command in a network namespace of its own with loopback up, so a test can serve a
# protocol's standard port (VXI-11's port mapper on 111) without meeting the machine's.
# Exits 77 (skipped) where namespaces cannot be made (no root, no unshare or ip).
if ! unshare -n true 2>/dev/null || ! command -v ip >/dev/null 2>&1; then
  echo "cannot make a private network namespace here; skipped"
  exit 77
fi
exec unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
