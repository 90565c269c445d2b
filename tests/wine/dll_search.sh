#!/usr/bin/env bash
# setup.exe loads no DLL from its own folder, and imports from known DLLs only, with its
# manifest embedded. A DLL planted beside it under the name of one that the system loads on
# demand while the splash window is made leaves a marker when loaded; a control program that
# makes the same window without restricting the DLL search shows that the plant works.
# Wine prefers its own builtin DLLs to any file of a system DLL's name, so the planted names are
# set to "native first" for these runs: that is how Windows treats a DLL that is not one of its
# known DLLs, and the case the restriction is there for.
# usage: dll_search.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE PLANTED_DLL
#                      DLL_LOAD_CONTROL_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3
planted_dll=$4
control=$5

stage_run temp "$probe"
pack_app "$packer" "$setup_exe"
cp "$control" "$app/control.exe"
convert -size 40x30 xc:'#336699' BMP3:"$app/setup.bmp"
# Loaded on demand when a window is made: the theming library.
cp "$planted_dll" "$app/uxtheme.dll"
export WINEDLLOVERRIDES="mscoree,mshtml=;uxtheme=n,b"
export PROBE_REPORT
PROBE_REPORT=$(windows_path "$work/report")

# 1. The plant works on a program that leaves the search as it is.
wine_run "$app/control.exe"
check "control: the planted DLL is loaded from the program's folder" test -e "$app/uxtheme.dll.loaded"
rm -f "$app/uxtheme.dll.loaded"

# 2. The launcher, through a whole run with splash and installer, loads nothing from its folder.
WINEDEBUG=+pid,+loaddll wine_run "$app/setup.exe" 2>"$work/loads"
check "the installer's exit code 3" test $? -eq 3
check "the run went through to the installer" grep -qx "done=1" "$work/report"
check "the splash window made the system load the theming library" \
  grep -qi 'Loaded L".*\\uxtheme.dll"' "$work/loads"
check "the planted DLL is not loaded" test ! -e "$app/uxtheme.dll.loaded"
# Wine's log doubles every backslash.
app_logged=$(windows_path "$app" | sed 's/\\/\\\\/g')
check "no DLL loaded from the launcher's folder" \
  test -z "$(grep -iF "Loaded L\"$app_logged" "$work/loads" | grep -vi 'setup\.exe"')"

# 3. What the executable itself declares. The loader resolves the imports before WinMain can
#    restrict the search, so only known DLLs, which the system always takes from its own
#    directory, may be imported; the shell's library is loaded at run time.
imports=$(i686-w64-mingw32-objdump -p "$setup_exe" | sed -nE 's/.*DLL Name: (.*)/\1/p' |
  tr 'A-Z' 'a-z')
only_known_dll_imports() {
  local dll
  for dll in $imports; do
    case $dll in
      kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | msvcrt.dll) ;;
      *) return 1 ;;
    esac
  done
}
check "imports only known DLLs (found: $(echo $imports))" only_known_dll_imports
check "manifest: runs as the invoker" grep -q 'level="asInvoker"' "$setup_exe"
check "manifest: supported systems from Vista to 10 and later" \
  test "$(grep -ao 'supportedOS Id=' "$setup_exe" | wc -l)" -eq 5
check "manifest: DPI aware" grep -q '<dpiAware[^>]*>true/pm</dpiAware>' "$setup_exe"

finish
