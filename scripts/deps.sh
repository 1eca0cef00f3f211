#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when
# they are all present. Run as root (or with sudo available).
set -euo pipefail
pkgs=(cmake ninja-build g++ pkgconf libssl-dev openssl libcjson-dev libgtest-dev libgmock-dev
      libbenchmark-dev libmodbus-dev tshark iproute2 socat procps python3 chromium systemd)
[ $# -gt 0 ] && pkgs+=("$@")
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
