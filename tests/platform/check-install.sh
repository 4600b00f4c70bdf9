#!/usr/bin/env bash
# Installs the build into a temporary prefix and validates the desktop entry, the AppStream file and the icons.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/quippet"
desktop-file-validate "$prefix/share/applications/app.quippet.Quippet.desktop"
grep -q '^MimeType=x-scheme-handler/quippet;$' "$prefix/share/applications/app.quippet.Quippet.desktop"
appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/app.quippet.Quippet.metainfo.xml" >/dev/null ||
  appstreamcli validate --no-net "$prefix/share/metainfo/app.quippet.Quippet.metainfo.xml"
test -s "$prefix/share/icons/hicolor/scalable/apps/app.quippet.Quippet.svg"
for size in 16 22 24 32 48 64 128 256; do
  file "$prefix/share/icons/hicolor/${size}x${size}/apps/app.quippet.Quippet.png" | grep -q "${size} x ${size}"
done
echo "installed files valid"
