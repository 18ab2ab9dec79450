#!/usr/bin/env bash
# Installs the Debian packages that are missing for a purpose.
# Usage: scripts/deps.sh run|test|docs
set -euo pipefail

build=(build-essential cmake pkg-config qt6-base-dev)
test=(libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev clang libclang-rt-14-dev appstream time)
docs=(xvfb xauth x11-utils imagemagick)

case "${1:-}" in
run) wanted=("${build[@]}") ;;
test) wanted=("${build[@]}" "${test[@]}") ;;
docs) wanted=("${build[@]}" "${docs[@]}") ;;
*) echo "usage: $0 run|test|docs" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    status="$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)"
    [ "$status" = "installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    # No sudo (a root password was set at install): the user runs the line.
    {
        echo "$0: these packages are missing: ${missing[*]}"
        echo "Installing them needs root. As root (su -), run:"
        echo "    apt-get update && apt-get install --no-install-recommends ${missing[*]}"
        echo "then run this command again."
    } >&2
    exit 1
fi
echo "installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
