#!/usr/bin/env bash
# Installs the Debian 12 packages Quippet needs to build, run and test; does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  qt6-base-dev qt6-websockets-dev qt6-tools-dev
  libpulse-dev libwebrtc-audio-processing-dev libspeexdsp-dev libsamplerate0-dev
  libsecret-1-dev libpoppler-cpp-dev libxcb1-dev libxcb-keysyms1-dev libx11-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # running the tests: virtual display, compositor, tray host, private sound server, speech, keyring, session bus
  xvfb xauth xdotool xcompmgr trayer pulseaudio pulseaudio-utils espeak-ng sox
  gnome-keyring libsecret-tools dbus dbus-x11
  # what a screen reader meets, over the accessibility bus
  at-spi2-core python3-pyatspi gir1.2-atspi-2.0
  # quippet-server: Qt SQL drivers, libsodium (Argon2id); its tests: PostgreSQL, headless Chromium for the sign-in page
  libqt6sql6-sqlite libqt6sql6-psql libsodium-dev postgresql chromium chromium-driver python3-selenium
  # its Debian package and the service unit's checks
  dpkg-dev systemd
  # validating and installing the desktop files
  desktop-file-utils appstream file xdg-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
