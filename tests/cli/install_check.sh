#!/usr/bin/env bash
# What `cmake --install` puts in place: the programs, the desktop entry with
# its icon by name in the hicolor theme at every size, AppStream metadata that
# appstreamcli accepts, the man page, the systemd user unit (installed,
# never enabled) and the publishing module where the program looks for it.
# Usage: install_check.sh BUILD_DIR
set -euo pipefail
build="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root" >/dev/null
fail() { echo "install_check: $*" >&2; exit 1; }

for file in bin/quelvane share/man/man1/quelvane.1 lib/systemd/user/quelvane-log.service \
            share/metainfo/org.quelvane.quelvane.metainfo.xml share/applications/quelvane.desktop; do
    [ -s "$root/$file" ] || fail "missing $file"
done
# The publishing module, where the program looks for it: beside its bin folder.
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")"
[ -s "$root/$libdir/quelvane/libquelvane_publishers.so" ] || fail "missing $libdir/quelvane/libquelvane_publishers.so"
grep -aq "\.\./$libdir/quelvane" "$root/bin/quelvane" || fail "the program does not look for the module in ../$libdir/quelvane"
grep -qx 'Icon=quelvane' "$root/share/applications/quelvane.desktop" || fail "the desktop entry names no icon"
for size in 32 48 64 128; do
    png="$root/share/icons/hicolor/${size}x${size}/apps/quelvane.png"
    # A PNG's IHDR holds the width and the height as 32-bit big-endian numbers at bytes 16 and 20.
    read -r width height < <(od -An -tu1 -j16 -N8 "$png" | awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }')
    [ "$width $height" = "$size $size" ] || fail "$png is ${width}x${height}"
done
grep -q '^ExecStart=.*/quelvane --log$' "$root/lib/systemd/user/quelvane-log.service" || fail "the unit does not run --log"
find "$root" -path '*.wants*' | grep -q . && fail "the unit is enabled"
appstreamcli validate-tree --no-net "$root" >/dev/null || { appstreamcli validate-tree --no-net "$root" >&2; fail "appstreamcli refuses the metadata"; }
echo "install_check: ok"
