#!/usr/bin/env bash
# Runs a command inside what the tests need from a desktop: a private D-Bus session with an unlocked
# gnome-keyring, and a virtual X display. Nothing of the user's own session is touched.
set -euo pipefail

if [ "${QUIPPET_IN_TEST_SESSION:-}" != 1 ]; then
  export QUIPPET_IN_TEST_SESSION=1
  exec dbus-run-session --config-file="$(dirname "$0")/test-session-bus.conf" -- "$0" "$@"
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_DATA_HOME="$scratch/data" XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
# The keyring password must be non-empty for a non-interactive unlock.
eval "$(printf %s quippet-ci-keyring | gnome-keyring-daemon --unlock --components=secrets)"
export GNOME_KEYRING_CONTROL
export QUIPPET_REQUIRE_KEYRING=1

exec xvfb-run -a -s '-screen 0 1440x900x24 -noreset' "$@"
