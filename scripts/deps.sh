#!/usr/bin/env bash
# Installs the Debian packages that are missing for a purpose.
# Usage: scripts/deps.sh run|test|docs
set -euo pipefail

build=(build-essential cmake pkg-config qt6-base-dev libxcb1-dev libmosquitto-dev libmicrohttpd-dev)
# The publishers' tests run the real servers (mosquitto, with mosquitto_sub as
# the subscriber; prometheus with its promtool; openssl makes the TLS
# listener's certificate); bench/ loads /metrics with wrk.
test=(libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev clang libclang-rt-14-dev appstream time locales xvfb
      mosquitto mosquitto-clients prometheus openssl wrk)
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
# The tests also run in a French locale, as the window's users do, and write
# and read the log in locales whose decimal separator Windows-1252 lacks.
locales=()
if [ "$1" = test ]; then
    for name in fr_FR ar_EG fa_IR; do
        locale -a 2>/dev/null | grep -qix "$name\.utf-\?8" || locales+=("$name")
    done
fi
[ ${#missing[@]} -eq 0 ] && [ ${#locales[@]} -eq 0 ] && exit 0
locale_lines=()
for name in "${locales[@]}"; do
    locale_lines+=("localedef -i $name -c -f UTF-8 $name.UTF-8")
done

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    # No sudo (a root password was set at install): the user runs the line.
    {
        [ ${#missing[@]} -eq 0 ] || echo "$0: these packages are missing: ${missing[*]}"
        [ ${#locales[@]} -eq 0 ] || echo "$0: the tests need these locales: ${locales[*]/%/.UTF-8}"
        echo "Installing them needs root. As root (su -), run:"
        [ ${#missing[@]} -eq 0 ] || echo "    apt-get update && apt-get install --no-install-recommends ${missing[*]}"
        for line in "${locale_lines[@]}"; do
            echo "    $line"
        done
        echo "then run this command again."
    } >&2
    exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
for line in "${locale_lines[@]}"; do
    echo "making a locale: $line"
    # shellcheck disable=SC2086
    "${as_root[@]}" $line
done
