#!/usr/bin/env bash
# setup.exe under Wine, run where others share the temporary directory: its install directory is
# private.
# usage: shared_machine.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3

stage_run temp "$probe"
pack_app "$packer" "$setup_exe"
report="$work/report"
export PROBE_REPORT
PROBE_REPORT=$(windows_path "$report")

reported() { grep -qxF "$1" "$report"; }  # reported "key=value"

# 1. The install directory is for the launcher's user alone (Wine maps the access list to Unix
#    permissions and builds one back).
wine_run "$app/setup.exe"
check "exit code 0" test $? -eq 0
check "the installer ran" reported "done=1"
access=$(sed -n 's/^access=//p' "$report")
user=$(sed -n 's/^user=//p' "$report")
check "install directory: no entry for everyone ($access)" \
  test -n "$access" -a "${access/;WD)/}" = "$access"
check "install directory: full access for the user ($user)" \
  grep -qF "(A;OICI;FA;;;$user)" <<<"$access"

finish
