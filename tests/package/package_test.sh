#!/usr/bin/env bash
# The Debian packages of a release tree: contents, control fields and scripts,
# lintian, hardening, the units; then both packages extracted into a scratch
# root, their scripts run as dpkg runs them for another root (DPKG_ROOT) through
# install, upgrade, unwound removals and purge, and the demo run from there.
#   tests/package/package_test.sh BUILD_DIR
set -euo pipefail
# The scratch root's own registry is the one the scripts must use.
unset VSTL_REGISTRY_ROOT
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
         ./etc/modprobe.d/vistrel.conf ./usr/lib/systemd/system/vistrel-v4l2loopback.service \
         ./usr/lib/systemd/user/vistrel-camhost.service ./usr/lib/systemd/user/vistrel-headless.service \
         ./usr/share/man/man1/vistrel.1.gz ./usr/share/man/man1/vistrel-camhost.1.gz \
         ./usr/share/doc/vistrel/copyright ./usr/share/doc/vistrel/changelog.gz \
         ./usr/share/applications/vistrel.desktop ./usr/share/icons/hicolor/scalable/apps/vistrel.svg \
         ./usr/share/icons/hicolor/256x256/apps/vistrel.png ./usr/share/icons/hicolor/16x16/apps/vistrel.png \
         "./usr/share/locale/en@pseudo/LC_MESSAGES/vistrel.mo"; do
  grep -qxF "$f" "$work/files" || fail "$f is missing from $(basename "$deb")"
done
! grep -q 'vistrel-phone' "$work/files" || fail "the simulator belongs to vistrel-tools"
# v4l2loopback-dkms is only recommended: nothing loads the module unconditionally.
! grep -q 'modules-load\.d/.' "$work/files" || fail "a modules-load file loads v4l2loopback at every boot"
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
grep -qx 'License: GPL-3+' "$source/packaging/copyright" &&
  grep -q 'version 3 or later' "$source/README.md" || fail "copyright and README disagree on the licence"

lintian -I -E --pedantic --tag-display-limit 0 "$deb" "$tools" >"$work/lintian" 2>&1 || true
if grep -q '^E:' "$work/lintian"; then cat "$work/lintian"; fail "lintian reports errors"; fi
if grep 'hardening-' "$work/lintian"; then fail "lintian finds binaries built without hardening"; fi
grep '^W:' "$work/lintian" || true

# Into a scratch root.
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$tools" "$root"

# The shipped programs, built with Debian's hardening: PIE, full RELRO and
# BIND_NOW, the stack protector and fortified calls.
for binary in usr/bin/vistrel usr/bin/vistrel-camhost usr/bin/vistrel-phone \
              "usr/lib/$multiarch/vistrel/libvistrel-vcam.so"; do
  # Read whole before grep: an early grep -q would break readelf's pipe.
  headers=$(readelf -lW "$root/$binary")
  dynamic=$(readelf -dW "$root/$binary")
  symbols=$(readelf --dyn-syms -W "$root/$binary")
  grep -q GNU_RELRO <<<"$headers" || fail "$binary has no RELRO"
  grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).* NOW' <<<"$dynamic" || fail "$binary has no BIND_NOW"
  grep -q ' __stack_chk_fail@' <<<"$symbols" || fail "$binary has no stack protector"
  grep -Eq ' __[a-z0-9_]+_chk@' <<<"$symbols" || fail "$binary has no fortified calls"
  case "$binary" in
    usr/bin/*) grep -Eq '\(FLAGS_1\).* PIE' <<<"$dynamic" || fail "$binary is not PIE" ;;
  esac
done

# The units as installed, their programs looked up in the scratch root; the
# user units as a user's manager reads them.
mkdir -p "$work/units/user" "$work/units/system" "$work/run"
chmod 700 "$work/run"
for unit in "$root"/usr/lib/systemd/user/*.service; do
  sed "s#=/usr/bin/#=$root/usr/bin/#" "$unit" >"$work/units/user/$(basename "$unit")"
done
XDG_RUNTIME_DIR=$work/run systemd-analyze verify --user --man=no "$work"/units/user/*.service ||
  fail "systemd-analyze rejects the user units"
for directive in NoNewPrivileges=yes ProtectSystem=full ProtectKernelTunables=yes \
                 ProtectKernelModules=yes ProtectControlGroups=yes RestrictSUIDSGID=yes \
                 LockPersonality=yes RestrictNamespaces=yes SystemCallArchitectures=native \
                 'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK'; do
  for unit in "$work"/units/user/*.service; do
    grep -qxF "$directive" "$unit" || fail "$(basename "$unit") lacks $directive"
  done
done
# What would break the user's choices: folders anywhere, /dev/video*, /dev/shm.
! grep -Eq '^(ProtectHome|PrivateDevices|PrivateIPC|DevicePolicy|InaccessiblePaths)=|^ProtectSystem=strict' \
  "$work"/units/user/*.service || fail "a user unit hides what the user chose"
# The boot unit loads v4l2loopback only where the running kernel has it.
loopback=$root/usr/lib/systemd/system/vistrel-v4l2loopback.service
grep -qx 'ExecCondition=/sbin/modprobe --quiet --dry-run v4l2loopback' "$loopback" ||
  fail "the boot unit loads v4l2loopback without asking whether it is built"
cp "$loopback" "$work/units/system/"
systemd-analyze verify --man=no "$work"/units/system/*.service || fail "systemd-analyze rejects the boot unit"

# The scripts, as dpkg runs them for another root: DPKG_ROOT alone says where.
# An earlier build's registry in /etc, with a record of someone else's, moves.
registry=$root/var/lib/vistrel/registry
library=/usr/lib/$multiarch/vistrel/libvistrel-vcam.so
server=SOFTWARE/Classes/CLSID/{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}/InprocServer32
mkdir -p "$root/etc/vistrel/registry/SOFTWARE/Other"
echo kept >"$root/etc/vistrel/registry/SOFTWARE/Other/@"
scripts() {
  DPKG_ROOT=$root DPKG_MAINTSCRIPT_PACKAGE=vistrel DPKG_MAINTSCRIPT_NAME=$1 "$work/control/$1" "${@:2}"
}
registered() { [ "$(cat "$registry/$server/@" 2>/dev/null)" = "$library" ]; }
enabled=$root/etc/systemd/system/multi-user.target.wants/vistrel-v4l2loopback.service
scripts postinst configure
registered || fail "postinst did not register $library in the scratch root's registry"
[ "$(cat "$registry/SOFTWARE/Other/@")" = kept ] && [ ! -e "$root/etc/vistrel" ] ||
  fail "the registry in /etc was not moved to /var/lib"
[ -L "$enabled" ] || fail "postinst did not enable the boot unit"
scripts postinst configure "$version"
scripts prerm upgrade "$version"
registered || fail "an upgrade lost the registration"
# dpkg unwinds a deconfiguration or removal whose next step failed: the
# package stays installed, and so must its registration.
for step in deconfigure remove; do
  scripts prerm "$step" "in-favour" "other" "1.0"
  ! registered || fail "prerm $step left the registration"
  scripts postinst "abort-$step" "in-favour" "other" "1.0"
  registered || fail "postinst abort-$step did not register again"
done
scripts prerm remove
! registered || fail "prerm remove left the registration"
scripts postrm remove
[ "$(readlink "$root/etc/systemd/system/vistrel-v4l2loopback.service")" = /dev/null ] ||
  fail "postrm remove did not mask the boot unit"
scripts postrm purge
[ ! -e "$registry/SOFTWARE/Classes" ] && [ "$(cat "$registry/SOFTWARE/Other/@")" = kept ] ||
  fail "purge did not remove the emptied registry folders alone"
[ -z "$(find "$root/etc/systemd" "$root/var/lib/systemd" -name 'vistrel*' 2>/dev/null)" ] ||
  fail "purge left the boot unit's links"
scripts postinst configure
registered || fail "postinst after removal did not register again"
"$root/usr/bin/vistrel" --version | grep -qxF "vistrel $version" || fail "vistrel --version"
"$root/usr/bin/vistrel-camhost" --version | grep -qxF "vistrel-camhost $version" ||
  fail "vistrel-camhost --version"
# Help and version before anything else: no key appears in the home folder.
mkdir "$work/home"
HOME=$work/home XDG_DATA_HOME= XDG_STATE_HOME= "$root/usr/bin/vistrel-phone" --help >"$work/help" ||
  fail "vistrel-phone --help failed"
grep -q '^usage: vistrel-phone pair URL' "$work/help" || fail "vistrel-phone --help printed no usage"
HOME=$work/home XDG_DATA_HOME= XDG_STATE_HOME= "$root/usr/bin/vistrel-phone" --version |
  grep -qxF "vistrel-phone $version" || fail "vistrel-phone --version"
[ -z "$(ls -A "$work/home")" ] || fail "vistrel-phone --help wrote $(find "$work/home" -type f)"

# The demo registers the scratch root's library in a private registry of its own.
VISTREL_PREFIX=$root TMPDIR=$work "$source/scripts/demo" >"$work/demo.out" 2>&1 ||
  { cat "$work/demo.out"; fail "the demo failed from the installed tree"; }
grep -q 'published to the virtual camera' "$work/demo.out" || { cat "$work/demo.out"; fail "demo report"; }
grep -q "$root/usr/lib/$multiarch/vistrel/libvistrel-vcam.so" "$work"/vistrel-demo.*/camhost.err ||
  fail "the camera host did not load the installed library"
echo "package test: $(basename "$deb") and $(basename "$tools") pass"
