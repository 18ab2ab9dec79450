#!/usr/bin/env bash
# Installs the Debian packages that are missing for a purpose.
# Usage: scripts/deps.sh run|test|docs
set -euo pipefail

build=(build-essential cmake pkg-config qt6-base-dev)
test=(libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev clang libclang-rt-14-dev time)
docs=(xvfb xauth imagemagick)

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

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
