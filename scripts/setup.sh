#!/usr/bin/env bash
# Installs, from Debian packages, everything the builds and tests need.
# Idempotent: packages already present are left alone and nothing is fetched.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev strace
  mingw-w64 g++-mingw-w64-i686 wine wine32 wine64 xvfb x11-utils imagemagick
  clang-format zstd xz-utils ncompress libbenchmark-dev groff-base libcli11-dev nlohmann-json3-dev
  libgcrypt20-dev libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev osslsigncode openssl icoutils)
for p in "${packages[@]}"; do have "$p" || need+=("$p"); done

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
echo "setup: installing ${need[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
