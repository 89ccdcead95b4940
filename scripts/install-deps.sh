#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need, when any is missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config make
  libsqlite3-dev libsodium-dev libssl-dev nlohmann-json3-dev libcli11-dev libseccomp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  openssl bash procps util-linux
  man-db systemd  # the install test: man renders the pages, systemd-analyze checks the unit
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
