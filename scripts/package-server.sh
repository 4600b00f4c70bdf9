#!/usr/bin/env bash
# Builds the server's Debian package: build/package-server/quippet-server_<version>_<arch>.deb with the binary, the
# systemd unit and /etc/quippet-server/config. Install it with
#   sudo apt install ./build/package-server/quippet-server_*.deb
# QUIPPET_SKIP_DEPS=1 skips installing the build dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${QUIPPET_SKIP_DEPS:-}" = 1 ] || scripts/install-deps.sh
build=build/package-server
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUIPPET_BUILD_TESTS=OFF -DQUIPPET_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target quippet-server
version=$(sed -n 's/^project(Quippet VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)

root="$build/root"
rm -rf "$root"
install -d "$root/DEBIAN" "$root/usr/bin" "$root/lib/systemd/system" "$root/etc/quippet-server" \
  "$root/usr/share/doc/quippet-server"
install -m 755 -s "$build/src/server/quippet-server" "$root/usr/bin/quippet-server"
install -m 644 resources/server/quippet-server.service "$root/lib/systemd/system/"
install -m 600 resources/server/config "$root/etc/quippet-server/config"
install -m 644 resources/server/README.Debian "$root/usr/share/doc/quippet-server/"

# Depends: the packages of the libraries the binary links, plus the SQLite driver Qt loads as a plugin.
shlibs="$build/shlibs"
rm -rf "$shlibs" && mkdir -p "$shlibs/debian"
printf 'Source: quippet-server\n\nPackage: quippet-server\nArchitecture: any\n' >"$shlibs/debian/control"
depends=$(cd "$shlibs" && dpkg-shlibdeps -O -e "$PWD/../root/usr/bin/quippet-server" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<CONTROL
Package: quippet-server
Version: $version
Architecture: $arch
Maintainer: Quippet <support@quippet.app>
Installed-Size: $size
Depends: ${depends:+$depends, }libqt6sql6-sqlite, ca-certificates, systemd
Suggests: libqt6sql6-psql, postgresql
Section: net
Priority: optional
Homepage: https://quippet.app
Description: self-hosted server for Quippet, the live-call prompter
 Keeps a sales team's provider keys and shared documents on one machine:
 each rep's Quippet signs in once in the browser, listening time is metered,
 and the team lead manages users, documents and usage on admin pages.
CONTROL
echo /etc/quippet-server/config >"$root/DEBIAN/conffiles"
install -m 755 resources/server/postinst resources/server/prerm resources/server/postrm "$root/DEBIAN/"

dpkg-deb --root-owner-group -Zxz --build "$root" "$build/quippet-server_${version}_${arch}.deb" >/dev/null
ls "$build"/quippet-server_*.deb
