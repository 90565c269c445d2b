#!/usr/bin/env bash
# Releases made by `setuppack bundle` (the Windows build, under Wine), in both layouts: what
# resource readers see in the branded launcher, signing and verifying with a throwaway
# code-signing certificate, the signed releases run with the probe installer, a single file run
# after being renamed and moved, and tampering: one byte of a signed single file's appended
# region breaks its signature, and a changed or planted file beside a sealed launcher is refused.
# Usage: bundle_release.sh SETUP_EXE SETUPPACK_EXE PROBE_INSTALLER_EXE
source "$(dirname "$0")/lib.sh"
setup_exe=$1
setuppack=$2
probe=$3

stage_run "temp" "$probe"
echo "extra" >"$work/payload/extra.txt"
export PROBE_REPORT="$work/report.txt"
export PROBE_LINGER_MS=300

# The branding, the same for both layouts, so that the folder's launcher has the sections of
# the single file's stub.
convert -size 16x16 xc:'#d04020' "$work/16.png" && convert -size 32x32 xc:'#2040d0' "$work/32.png" &&
  convert "$work/16.png" "$work/32.png" "$work/app.ico"
convert -size 160x90 xc:'#40a060' BMP3:"$work/splash.bmp"
brand=(--icon "$work/app.ico" --splash "$work/splash.bmp" --version 3.1.4 --product "Zeta Écrit"
  --company "Zeta" --description "Zeta Écrit setup" --copyright "(c) 2026 Zeta")

# A throwaway code-signing certificate, its own CA.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway Code Signing" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
sign() { osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -h sha256 \
  -in "$1" -out "$2" >/dev/null 2>&1; }
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.txt" 2>&1; }
checksum_right() {  # the checksum field as the image checker computes it
  local report
  report=$(osslsigncode verify -in "$1" 2>&1)  # fails for want of a trusted signature
  grep -q '^PE checksum' <<<"$report" && ! grep -q 'Calculated PE checksum' <<<"$report"
}

# Runs a launcher under Wine with a fresh report; the exit code is the launcher's.
run_launcher() {
  rm -f "$PROBE_REPORT"
  wine_run "$1"
  local status=$?
  wineserver -w
  return $status
}
started() { [ -f "$PROBE_REPORT" ] && grep -qx 'done=1' "$PROBE_REPORT"; }
launched() { [ "$1" -eq 3 ] && started; }  # launched STATUS: the probe's exit code 3, it ran
# refused STATUS: the launcher's exit code for a seal that does not match, and nothing started
refused() { [ "$1" -eq $((1620 & 255)) ] && [ ! -f "$PROBE_REPORT" ]; }
verification_fails() { ! osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1; }
resource_listed() { wrestool -l "$1" | grep -q -- "--type=$2 --name=1 "; }
version_text() { wrestool -x --raw --type=16 "$1" | iconv -f UTF-16LE -t UTF-8 2>/dev/null | tr '\0' '\n'; }
same_icon() {  # the icon group and images read back as the .ico they came from
  wrestool -x --type=14 "$1" >"$work/back.ico" &&
    cmp -s <(head -c "$(stat -c %s "$work/app.ico")" "$work/back.ico") "$work/app.ico"
}

echo "== folder layout"
folder="$work/folder"
wine_run "$setuppack" bundle "$work/payload" -o "$folder" --stub "$setup_exe" --quiet "${brand[@]}"
check "folder release made" test -f "$folder/setup.exe" -a -f "$folder/Pack.qvd" -a -f "$folder/setup.bmp"
check "splash copied as given" cmp -s "$folder/setup.bmp" "$work/splash.bmp"
check "manifest kept" resource_listed "$folder/setup.exe" 24
check "icon group written" resource_listed "$folder/setup.exe" 14
check "version written" resource_listed "$folder/setup.exe" 16
check "icon reads back" same_icon "$folder/setup.exe"
check "product name reads back" grep -qx 'Zeta Écrit' <(version_text "$folder/setup.exe")
check "version reads back" grep -qx '3.1.4' <(version_text "$folder/setup.exe")
check "checksum right unsigned" checksum_right "$folder/setup.exe"
sign "$folder/setup.exe" "$work/signed.exe" && mv "$work/signed.exe" "$folder/setup.exe"
check "folder launcher verifies signed" verifies "$folder/setup.exe"
check "signed checksum right" checksum_right "$folder/setup.exe"
run_launcher "$folder/setup.exe"
status=$?
check "signed folder release starts the installer (exit $status)" launched $status

echo "== single file"
single="$work/single/setup.exe"
mkdir -p "$work/single"
wine_run "$setuppack" bundle "$work/payload" --single-file -o "$single" --quiet "${brand[@]}"
check "single file made with the stub found beside the tools" test -f "$single"
check "nothing but the single file" test "$(ls "$work/single")" = "setup.exe"
check "single file keeps its resources" same_icon "$single"
unsigned_size=$(stat -c %s "$single")
sign "$single" "$work/single/signed.exe" && mv "$work/single/signed.exe" "$single"
check "single file verifies signed" verifies "$single"
check "signed single file's checksum right" checksum_right "$single"
run_launcher "$single"
status=$?
check "signed single file starts the installer (exit $status)" launched $status
check "the installer was unpacked, not found beside" \
  grep -qx 'beside=extra.txt' "$PROBE_REPORT"
mkdir -p "$work/elsewhere/deeper"
mv "$single" "$work/elsewhere/deeper/Renamed Setup 3.1.exe"
run_launcher "$work/elsewhere/deeper/Renamed Setup 3.1.exe"
status=$?
check "renamed and moved, it still runs (exit $status)" launched $status
mv "$work/elsewhere/deeper/Renamed Setup 3.1.exe" "$single"

echo "== tampering"
# The region starts where the stub's sections end; the folder's launcher has the same sections,
# and signing left its unsigned length where the certificate table starts.
region_start=$(osslsigncode remove-signature -in "$folder/setup.exe" -out "$work/plain.exe" \
  >/dev/null 2>&1 && stat -c %s "$work/plain.exe")
tamper() {  # tamper FILE OFFSET: one byte changed
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
for offset in $((region_start + 40)) $((unsigned_size - 33)) $((unsigned_size - 1)); do
  cp "$single" "$work/tampered.exe"
  tamper "$work/tampered.exe" "$offset"
  check "a byte changed at $offset of the region fails verification" \
    verification_fails "$work/tampered.exe"
done
cp "$single" "$work/tampered.exe"
tamper "$work/tampered.exe" $((region_start + 40))
run_launcher "$work/tampered.exe"
status=$?
check "a changed package in a single file is refused (exit $status)" refused $status

cp -r "$folder" "$work/folder2"
tamper "$work/folder2/Pack.qvd" 200
run_launcher "$work/folder2/setup.exe"
status=$?
check "a changed Pack.qvd beside a sealed launcher is refused (exit $status)" refused $status
cp "$folder/Pack.qvd" "$work/folder2/Pack.qvd"
tamper "$work/folder2/setup.bmp" 100
run_launcher "$work/folder2/setup.exe"
status=$?
check "a changed setup.bmp beside a sealed launcher is refused (exit $status)" refused $status

# A release without a splash is sealed to none: a bitmap planted beside it is refused.
wine_run "$setuppack" bundle "$work/payload" -o "$work/plain" --stub "$setup_exe" --quiet
run_launcher "$work/plain/setup.exe"
status=$?
check "a release without a splash starts the installer (exit $status)" launched $status
cp "$work/splash.bmp" "$work/plain/setup.bmp"
run_launcher "$work/plain/setup.exe"
status=$?
check "a bitmap planted beside it is refused (exit $status)" refused $status

finish
