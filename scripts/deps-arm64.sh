#!/usr/bin/env bash
# Installs what the ARM64 cross-build and the emulated test run need: the
# aarch64 cross compiler, the target's OpenSSL and cJSON, GoogleTest sources
# and qemu-user, with the arm64 C++ runtime the emulated tests load. Does
# nothing when everything is present. Run as root (or with sudo).
set -euo pipefail
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
export DEBIAN_FRONTEND=noninteractive

pkgs=(cmake ninja-build g++-aarch64-linux-gnu libssl-dev:arm64 libcjson-dev:arm64 pkgconf:arm64 libstdc++6:arm64
      libmodbus-dev:arm64
      qemu-user googletest file binutils binutils-aarch64-linux-gnu)

need_update=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
    need_update=1
fi
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ $need_update -eq 0 ] && exit 0
$sudo apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
