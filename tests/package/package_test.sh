#!/usr/bin/env bash
# The Debian packages of a release tree: contents, control fields and scripts,
# lintian, the user units; then both packages extracted into a scratch root,
# their scripts run against a private registry, and the demo run from there.
#   tests/package/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vistrel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.out" 2>&1 ||
  { cat "$work/cpack.out"; fail "cpack failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb=$work/out/vistrel_${version}_${arch}.deb
tools=$work/out/vistrel-tools_${version}_${arch}.deb
[ -f "$deb" ] && [ -f "$tools" ] || { ls "$work/out"; fail "the two packages were not made"; }

# Contents.
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
for f in ./usr/bin/vistrel ./usr/bin/vistrel-camhost "./usr/lib/$multiarch/vistrel/libvistrel-vcam.so" \
         ./etc/modprobe.d/vistrel.conf ./usr/lib/modules-load.d/vistrel.conf \
         ./usr/lib/systemd/user/vistrel-camhost.service ./usr/lib/systemd/user/vistrel-headless.service \
         ./usr/share/man/man1/vistrel.1.gz ./usr/share/man/man1/vistrel-camhost.1.gz \
         ./usr/share/doc/vistrel/copyright ./usr/share/doc/vistrel/changelog.gz \
         ./usr/share/applications/vistrel.desktop ./usr/share/icons/hicolor/scalable/apps/vistrel.svg \
         ./usr/share/icons/hicolor/256x256/apps/vistrel.png ./usr/share/icons/hicolor/16x16/apps/vistrel.png; do
  grep -qxF "$f" "$work/files" || fail "$f is missing from $(basename "$deb")"
done
! grep -q 'vistrel-phone' "$work/files" || fail "the simulator belongs to vistrel-tools"
dpkg-deb -c "$tools" | awk '{print $6}' | grep -qxF ./usr/bin/vistrel-phone ||
  fail "vistrel-tools has no vistrel-phone"

# Control fields and scripts.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vistrel ] && [ "$(field Version)" = "$version" ] &&
  [ "$(field Architecture)" = "$arch" ] || fail "wrong package, version or architecture"
for lib in libc6 libssl3 libavcodec libavformat libturbojpeg libgtk-3-0 libavahi-client3; do
  field Depends | grep -q "$lib" || fail "Depends lacks $lib: $(field Depends)"
done
[ "$(field Recommends)" = "v4l2loopback-dkms, usbmuxd, avahi-daemon" ] ||
  fail "Recommends is \"$(field Recommends)\""
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "$script is missing or not executable"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -qxF /etc/modprobe.d/vistrel.conf "$work/control/conffiles" || fail "no conffiles"

lintian --tag-display-limit 0 "$deb" "$tools" >"$work/lintian" 2>&1 || true
if grep -q '^E:' "$work/lintian"; then cat "$work/lintian"; fail "lintian reports errors"; fi
grep '^W:' "$work/lintian" || true

# Into a scratch root; the scripts run as dpkg runs them with --root.
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$tools" "$root"
# The units as installed, their programs looked up in the scratch root.
mkdir "$work/units"
for unit in "$root"/usr/lib/systemd/user/*.service; do
  sed "s#=/usr/bin/#=$root/usr/bin/#" "$unit" >"$work/units/$(basename "$unit")"
done
systemd-analyze verify --man=no "$work"/units/*.service || fail "systemd-analyze rejects the units"
registry=$work/registry
library=$root/usr/lib/$multiarch/vistrel/libvistrel-vcam.so
scripts() { DPKG_ROOT=$root VSTL_REGISTRY_ROOT=$registry "$work/control/$1" "${@:2}"; }
registered() { grep -rqF "$library" "$registry" 2>/dev/null; }
scripts postinst configure
registered || fail "postinst did not register $library"
scripts postinst configure "$version"
scripts prerm upgrade "$version"
registered || fail "an upgrade lost the registration"
scripts prerm remove
! registered || fail "prerm remove left the registration"
scripts postrm purge
scripts postinst configure
registered || fail "postinst after removal did not register again"
"$root/usr/bin/vistrel" --version | grep -qxF "vistrel $version" || fail "vistrel --version"
"$root/usr/bin/vistrel-camhost" --version | grep -qxF "vistrel-camhost $version" ||
  fail "vistrel-camhost --version"

VISTREL_PREFIX=$root VSTL_REGISTRY_ROOT=$registry TMPDIR=$work "$source/scripts/demo" >"$work/demo.out" 2>&1 ||
  { cat "$work/demo.out"; fail "the demo failed from the installed tree"; }
grep -q 'published to the virtual camera' "$work/demo.out" || { cat "$work/demo.out"; fail "demo report"; }
grep -q "$root/usr/lib/$multiarch/vistrel/libvistrel-vcam.so" "$work"/vistrel-demo.*/camhost.err ||
  fail "the camera host did not load the installed library"
echo "package test: $(basename "$deb") and $(basename "$tools") pass"
