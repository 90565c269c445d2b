#!/usr/bin/env bash
# A release made as a publisher makes it, in a scratch build: configured without tests and with
# GoogleTest and Google Benchmark hidden from find_package, as on a machine without them, and
# given a win32 build directory to take the Windows programs from (a stand-in with the two files
# in place). A path that is no build directory is refused when configuring. The build makes the
# packer; the version header holds the project's version; cpack makes a .tar.gz and a .zip
# whose names carry that version and which hold exactly the files the install puts down.
# Compiles the packer from scratch: about a minute on two cores.
# usage: release_test.sh SOURCE_DIR
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
source_dir=$(cd "$1" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build
logged() {  # logged NAME COMMAND...: quiet unless it fails
  "${@:2}" >"$work/$1.log" 2>&1 || {
    cat "$work/$1.log" >&2
    return 1
  }
}

mkdir -p "$work/win32/src"
touch "$work/win32/CMakeCache.txt"
printf 'MZ stand-in for the launcher' >"$work/win32/src/setup.exe"
printf 'MZ stand-in for the packer' >"$work/win32/src/setuppack.exe"

configure() {  # configure WIN32_BUILD_DIR
  cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
    -DSETUP_WIN32_BUILD_DIR="$1"
}
check "a win32 build directory that is none is refused" eval \
  '! configure "$work/nowhere" >"$work/refused.log" 2>&1 && grep -q "is not a build directory" "$work/refused.log"'
if ! logged configure configure "$work/win32"; then
  echo "FAILED: configure without tests"
  exit 1
fi
cmake --build "$build" --target help >"$work/targets"
for target in core_tests packer_tests make_test_package decode_fuzzer_replay codec_bench; do
  check "no $target without tests" eval '! grep -q "^$target:" "$work/targets"'
done
check "setuppack builds" logged build cmake --build "$build" --target setuppack

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
check "the project has a version x.y.z" eval '[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]'
check "the version header says it" \
  grep -qx "#define SETUP_LAUNCHER_VERSION \"$version\"" "$build/generated/setup_launcher_version.h"

check "install" logged install cmake --install "$build" --prefix "$work/prefix"
(cd "$work/prefix" && find . ! -type d | sed 's|^\./||' | sort) >"$work/installed"
check "the Windows programs are installed from the win32 build" eval \
  'grep -qx bin/setuppack.exe "$work/installed" && grep -qx share/setup_launcher/setup.exe "$work/installed"'

check "the try tool and what it sources are installed" eval \
  'grep -qx bin/setuppack-try "$work/installed" &&
   grep -qx share/setup_launcher/try/scripts/try-package.sh "$work/installed" &&
   grep -qx share/setup_launcher/try/tests/wine/lib.sh "$work/installed"'

check "cpack" logged cpack bash -c 'cd "$1" && cpack' _ "$build"
archives=$(cd "$build" && ls -- *.tar.gz *.zip 2>/dev/null)
check "a .tar.gz and a .zip of one name" eval '[ "$(echo $archives)" = \
  "setup_launcher-$version-linux-$(uname -m)-win32.tar.gz setup_launcher-$version-linux-$(uname -m)-win32.zip" ]'
for archive in $archives; do
  # Each entry below the archive's one top-level folder, files only.
  (cd "$build" && cmake -E tar tf "$archive") | sed -n 's|^[^/]*/||; /[^/]$/p' | sort >"$work/$archive.files"
  check "$archive holds the installed files" same_lines "$work/installed" "$work/$archive.files"
done

finish
