#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, where missing.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config openssl libssl-dev libexpat1-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  softhsm2 libp11-kit-dev xmlsec1 jq)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

