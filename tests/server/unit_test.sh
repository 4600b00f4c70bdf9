#!/bin/sh
# The service unit as packaged: `systemd-analyze verify` finds nothing to say, and its exposure stays "OK" (under 2
# of 10). Usage: unit_test.sh UNIT PATH/TO/quippet-server. Exits 77 (skipped) without systemd-analyze.
set -eu
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The packaged unit starts /usr/bin/quippet-server; here it is the binary just built.
sed "s|^ExecStart=/usr/bin/quippet-server|ExecStart=$2|" "$1" >"$work/quippet-server.service"
out=$(systemd-analyze verify "$work/quippet-server.service" 2>&1)
[ -z "$out" ] || { echo "$out"; exit 1; }
systemd-analyze security --offline=yes --threshold=20 "$work/quippet-server.service" | tail -1
