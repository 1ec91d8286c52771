#!/bin/bash
# Installs the Debian 12 packages the build, the tests and the demo need.
# Quick when everything is there already; needs root otherwise.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-svg-dev libsystemd-dev libaudit-dev nlohmann-json3-dev libmd-dev scdoc
    libgtest-dev libgmock-dev
    dbus systemd bubblewrap attr util-linux libcap2-bin man-db xvfb xauth
)
# `install-deps.sh fuzz`: also the compiler and runtime of the fuzz targets;
# `install-deps.sh coverage`: also what scripts/coverage.sh reads gcov's data with;
# `install-deps.sh packages`: also what scripts/test-packages.sh builds,
# checks and installs the Debian packages with.
case "${1:-}" in
fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
coverage) packages+=(lcov python3) ;;
packages) packages+=(debhelper dpkg-dev lintian pkexec psmisc) ;;
esac

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root to install packages" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
