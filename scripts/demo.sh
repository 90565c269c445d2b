#!/usr/bin/env bash
# The main job: builds the Windows launcher, packs the demo payload into Pack.qvd and runs
# setup.exe under Wine, then tells what it did. Installs what is missing first.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
bash scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 >/dev/null

out="$root/build/demo"
rm -rf "$out"
mkdir -p "$out/app" "$out/temp"
source tests/wine/lib.sh
use_temp_dir "$out/temp"

wine_run build/win32/tests/make_test_package.exe demo/payload "$out/app/Pack.qvd"
cp build/win32/src/setup.exe "$out/app/"
echo "launcher: $out/app/setup.exe ($(stat -c %s "$out/app/setup.exe") bytes)"
echo "package:  $out/app/Pack.qvd ($(stat -c %s "$out/app/Pack.qvd") bytes)"

set +e
traced_run "$out/trace" -y -e trace=%file -- "$out/app/setup.exe"
status=$?
set -e

install=$(grep -oE 'mkdir\("[^"]*ZeKolInst[0-9]+", 0777\) = 0' "$out/trace" | head -1 | grep -oE 'ZeKolInst[0-9]+' || true)
echo "install directory: ${install:-none was created}"
if [ -n "$install" ]; then
  echo "files unpacked:"
  grep -oE "\"[^\"]*$install/[^\"]*\", [^)]*O_CREAT" "$out/trace" |
    sed -E "s|^\"[^\"]*$install/([^\"]*)\".*|  \\1|" | sort -u
fi
echo "exit code: $status"
echo "left in the temporary directory: $(find "$out/temp" -mindepth 1 | wc -l) entries"
