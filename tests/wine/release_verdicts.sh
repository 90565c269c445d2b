#!/usr/bin/env bash
# setuppack verify and the launcher must never disagree on a release: each release below, good
# or damaged as publishers and transfers damage them, is verified (the Windows setuppack, under
# Wine) and then run. Where verify names an exit code the launcher would end with, the launcher
# refuses and starts nothing; where verify finds nothing wrong, the launcher starts the
# installer. Exit codes are compared as Wine passes them on, in 8 bits.
# usage: release_verdicts.sh SETUP_EXE SETUPPACK_EXE PROBE_INSTALLER_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
setuppack=$2
probe=$3

stage_run temp "$probe"
echo data >"$work/payload/notes.txt"
convert -size 64x32 gradient:'#2c3e50-#c0392b' BMP3:"$work/splash.bmp"
wine_run "$setuppack" bundle "$work/payload" -o "$work/folder" --stub "$setup_exe" \
  --splash "$work/splash.bmp" --quiet
wine_run "$setuppack" bundle "$work/payload" --single-file -o "$work/single/setup.exe" \
  --stub "$setup_exe" --splash "$work/splash.bmp" --quiet
single_size=$(stat -c %s "$work/single/setup.exe")

flip_byte() {  # flip_byte FILE OFFSET: one bit of the byte at OFFSET changed
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  # shellcheck disable=SC2059
  printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# The exit status that matches the code verify names, as Wine passes it on in 8 bits: the
# launcher's own code, or for none the probe installer's 3, which the launcher passes on.
launcher_status_for() {
  case $1 in
    0) echo 3 ;;
    1619) echo "$((1619 % 256))" ;;
    1620) echo "$((1620 % 256))" ;;
    *) echo "unknown code $1" ;;
  esac
}
one_of() { [[ " $2 " == *" $1 "* ]]; }  # one_of WORD "WORDS"

# verdicts NAME DIR CODE: verify DIR/setup.exe names problem CODE (or none: "-") and the launcher,
# run from DIR, ends as verify says.
verdicts() {
  local name=$1 dir=$2 code=$3
  wine_run "$setuppack" verify --json "$dir/setup.exe" >"$work/verify.json" 2>/dev/null
  local verified=$?
  local found named
  found=$(python3 -c 'import json,sys
d = json.load(open(sys.argv[1]))
print(" ".join(p["code"] for p in d["problems"] if not p.get("warning")) or "-")' "$work/verify.json")
  named=$(python3 -c 'import json,sys
print(json.load(open(sys.argv[1])).get("launcher_exit", {}).get("code", 0))' "$work/verify.json")
  check "$name: verify finds $code" [ "$found" = "$code" ]
  check "$name: verify's exit status" [ "$verified" = "$([ "$code" = - ] && echo 0 || echo 1)" ]
  (cd "$dir" && wine_run "$dir/setup.exe")
  local status=$?
  check "$name: the launcher ends as verify named ($named, not $status)" \
    one_of "$status" "$(launcher_status_for "$named")"
  check "$name: nothing left in the temporary directory" eval '[ -z "$(ls -A "$temp")" ]'
}

# Each case from a fresh copy of the good release.
fresh() {  # fresh folder|single: the copy in $work/case
  rm -rf "$work/case"
  cp -R "$work/$1" "$work/case"
}

fresh folder
verdicts "good folder" "$work/case" -
fresh single
verdicts "good single file" "$work/case" -

fresh folder
echo "a typo mended" >>"$work/payload/notes.txt"
wine_run "$setuppack" create "$work/payload" -o "$work/case/Pack.qvd" --quiet
verdicts "the trap: a package made again into a sealed folder" "$work/case" seal-mismatch
fresh folder
convert -size 64x32 gradient:'#c0392b-#2c3e50' BMP3:"$work/case/setup.bmp"
verdicts "another splash" "$work/case" bitmap-mismatch
fresh folder
rm "$work/case/setup.bmp"
verdicts "the splash removed" "$work/case" bitmap-mismatch
fresh folder
rm "$work/case/Pack.qvd"
verdicts "the package removed" "$work/case" no-package

fresh single
truncate -s $((single_size - 8)) "$work/case/setup.exe"
verdicts "a single file cut short" "$work/case" trailer
fresh single
head -c 8 /dev/zero >>"$work/case/setup.exe"
verdicts "bytes appended to a single file" "$work/case" trailer
fresh single
flip_byte "$work/case/setup.exe" $((single_size - 32 - 16))
verdicts "a byte of the appended bitmap changed" "$work/case" bitmap-mismatch

finish
