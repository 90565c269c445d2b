#!/usr/bin/env bash
# The main job: builds the Windows launcher and the demo's installer, packs the demo payload
# into Pack.qvd and runs setup.exe under Wine, on an X display of its own when there is none;
# then tells what happened and leaves a screenshot of the splash; last it makes a signed
# single-file release of the same payload and runs it. Installs what is missing first.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
bash scripts/setup.sh
# BUILD_ROOT=DIR builds into DIR/win32 and runs in DIR/demo, as scripts/test.sh does.
build="$root/${BUILD_ROOT:-build}/win32"
cmake --preset win32 -B "$build" >/dev/null
cmake --build "$build" >/dev/null

out="$root/${BUILD_ROOT:-build}/demo"
rm -rf "$out"
mkdir -p "$out/app" "$out/temp" "$out/payload"
source tests/wine/lib.sh
[ -n "${DISPLAY:-}" ] || start_display
use_temp_dir "$out/temp"

cp -r demo/payload/. "$out/payload/"
cp "$build/demo/Installer.exe" "$out/payload/"
# Packed with the Windows build of the publishers' packer, as a publisher on Windows would.
wine_run "$build/src/setuppack.exe" create --quiet "$out/payload" -o "$out/app/Pack.qvd"
wine_run "$build/src/setuppack.exe" list "$out/app/Pack.qvd"
cp "$build/src/setup.exe" "$out/app/"
# The splash picture, drawn here: a sun and a progress bar on a blue gradient.
splash_size=480x270
convert -size $splash_size gradient:'#16324f-#2a6f97' -fill '#f4d35e' -draw 'circle 96,135 96,183' \
  -fill '#ffffff' -draw 'roundrectangle 180,118 440,152 10,10' \
  -fill '#2a6f97' -draw 'rectangle 188,126 330,144' BMP3:"$out/app/setup.bmp"
echo "launcher: $out/app/setup.exe ($(stat -c %s "$out/app/setup.exe") bytes)"
echo "package:  $out/app/Pack.qvd ($(stat -c %s "$out/app/Pack.qvd") bytes)"
echo "splash:   $out/app/setup.bmp ($splash_size)"
echo "display:  $DISPLAY"

# The demo payload unpacks in a moment, too quick to see: the launcher's first read of the package
# is held up for a few seconds, so that the splash can be photographed.
echo "running setup.exe (its first read of Pack.qvd held up for 3 s, to photograph the splash)"
(cd "$out" && held_run "$out/app/Pack.qvd" 3 "$out/app/setup.exe") &
launcher=$!
photographed=""
while [ -z "$photographed" ] && kill -0 "$launcher" 2>/dev/null; do
  window=$(xwininfo -root -tree 2>/dev/null | awk -v size=" $splash_size+" 'index($0, size) { print $1; exit }')
  if [ -n "$window" ] && import -window "$window" "$out/splash.png" 2>/dev/null &&
    [ "$(compare -metric AE "$out/app/setup.bmp" "$out/splash.png" null: 2>&1)" = 0 ]; then
    photographed=yes
  fi
  sleep 0.2
done
set +e
wait "$launcher"
status=$?
set -e

log="$out/demo-installer.log"
if [ -f "$log" ]; then
  tr -d '\r' <"$log" >"$log.txt"
  echo "installer: $(head -1 "$log.txt")"
  grep -E '^  (unpacked|wrote):' "$log.txt" || true
  echo "installer: $(tail -1 "$log.txt")"
else
  echo "installer: did not run"
fi
echo "setup.exe exit code: $status"
echo "left in the temporary directory: $(find "$out/temp" -mindepth 1 | wc -l) entries"
if [ -n "$photographed" ]; then
  echo "splash screenshot: $out/splash.png"
else
  echo "splash screenshot: none, the splash was not seen"
fi

# The release a publisher uploads: one signed setup.exe carrying the package and the splash,
# sealed so that its signature vouches for both. Signed here with a throwaway certificate.
release="$out/release"
mkdir -p "$release"
echo "bundling a single-file release with the Windows build of setuppack"
wine_run "$build/src/setuppack.exe" bundle --quiet --single-file "$out/payload" \
  --stub "$build/src/setup.exe" --splash "$out/app/setup.bmp" --version 1.0.0 \
  --product "Demo" --company "Demo publisher" --description "Demo setup" -o "$release/unsigned.exe"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Demo Code Signing" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout "$release/key.pem" -out "$release/cert.pem" >/dev/null 2>&1
osslsigncode sign -certs "$release/cert.pem" -key "$release/key.pem" -h sha256 \
  -in "$release/unsigned.exe" -out "$release/setup.exe" >/dev/null
rm "$release/unsigned.exe" "$release/key.pem"
if osslsigncode verify -CAfile "$release/cert.pem" -in "$release/setup.exe" >/dev/null 2>&1; then
  echo "signed release: $release/setup.exe ($(stat -c %s "$release/setup.exe") bytes), signature verified"
else
  echo "signed release: $release/setup.exe, signature NOT verified" >&2
  exit 1
fi
rm -f "$log"
set +e
(cd "$out" && wine_run "$release/setup.exe")
status=$?
set -e
if [ -f "$log" ]; then
  tr -d '\r' <"$log" >"$log.txt"
  echo "signed release: the installer ran: $(tail -1 "$log.txt")"
else
  echo "signed release: the installer did not run"
fi
echo "signed release: setup.exe exit code $status"
echo "left in the temporary directory: $(find "$out/temp" -mindepth 1 | wc -l) entries"
[ "$status" -eq 0 ] && [ -f "$log" ]
