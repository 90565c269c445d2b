#!/usr/bin/env bash
# setup.exe under Wine with a real package beside it: it creates its install directory, fills it
# byte-exactly, removes it again and skips names already taken; a failure gives its own exit code
# and one debug line.
# usage: launcher_run.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2

work=$(mktemp -d)
at_exit 'rm -rf "$work"'
temp="$work/temp dir"
mkdir -p "$temp" "$work/app" "$work/payload/sub/deeper" "$work/payload/empty"
use_temp_dir "$temp"

# A multi-level payload: large and small files, an empty file, an empty directory.
printf 'MZ not really a program\n' >"$work/payload/Installer.exe"
seq 1 400000 >"$work/payload/sub/deeper/numbers.txt"
head -c 300000 /dev/zero | tr '\0' 'z' >"$work/payload/sub/zzz"
: >"$work/payload/sub/empty.dat"
wine_run "$packer" "$work/payload" "$work/app/Pack.qvd"
cp "$setup_exe" "$work/app/setup.exe"

left_in_temp() { (cd "$temp" && find . -mindepth 1 | sort | tr '\n' ' '); }

# 1. With deletion refused by the system, what the launcher unpacked stays for comparison.
traced_run "$work/trace1" -e trace=unlink,unlinkat,rmdir \
  -e inject=unlink,unlinkat,rmdir:error=EACCES -- "$work/app/setup.exe"
check "193, not a valid program, after unpacking a payload whose installer cannot start" test $? -eq 193
check "unpacked tree equals the payload" diff -r "$work/payload" "$temp/ZeKolInst0"
check "removal was attempted" grep -q 'ZeKolInst0.*EACCES' "$work/trace1"
rm -rf "${temp:?}"/*

# 2. A stale ZeKolInst0 is passed over and kept; ZeKolInst1 is made, filled and removed.
mkdir "$temp/ZeKolInst0"
echo stale >"$temp/ZeKolInst0/marker"
traced_run "$work/trace2" -y -e trace=%file -- "$work/app/setup.exe"
check "193 on a normal run with an installer that cannot start" test $? -eq 193
check "ZeKolInst1 created" grep -qE 'mkdir\(".*ZeKolInst1", 0[0-7]+\) = 0' "$work/trace2"
for file in Installer.exe sub/deeper/numbers.txt sub/zzz sub/empty.dat; do
  check "$file written into ZeKolInst1" grep -qE "\"[^\"]*ZeKolInst1/$file\", [^)]*O_CREAT" "$work/trace2"
done
check "ZeKolInst1 removed" grep -qE 'rmdir\("[^"]*ZeKolInst1"\) = 0' "$work/trace2"
check "only the stale directory is left" test "$(left_in_temp)" = "./ZeKolInst0 ./ZeKolInst0/marker "
check "stale directory untouched" grep -qx stale "$temp/ZeKolInst0/marker"
rm -rf "${temp:?}"/*

# Runs setup.exe with its debug output on and checks its exit code, its debug line and that
# nothing stayed in the temporary directory: expect_failure CASE CODE LINE_PATTERN.
expect_failure() {
  WINEDEBUG=+debugstr wine_run "$work/app/setup.exe" 2>"$work/debug.raw"
  check "$1: exit code $2" test $? -eq $(($2 & 255))
  check "$1: debug line" grep -aq "setup: $3" "$work/debug.raw"
  check "$1: nothing left" test -z "$(left_in_temp)"
}

# 3. A damaged package: nothing stays behind, the exit code and the debug line say why.
head -c 100 "$work/app/Pack.qvd" >"$work/cut.qvd" && mv "$work/cut.qvd" "$work/app/Pack.qvd"
expect_failure "damaged package" 1620 'package damaged: .*Pack.qvd'

# 4. No package at all.
rm "$work/app/Pack.qvd"
expect_failure "no package" 1619 'package missing or unreadable: .*Pack.qvd'

# 5. A package without the installer: unpacked, then nothing to start.
rm "$work/payload/Installer.exe"
wine_run "$packer" "$work/payload" "$work/app/Pack.qvd"
expect_failure "no installer" 1620 'no installer in the package: .*ZeKolInst0.*Installer.exe'

# 6. A temporary directory that does not exist.
use_temp_dir "$work/missing"
temp="$work/missing"
expect_failure "no temporary directory" 1632 'cannot create an install directory: '

finish
