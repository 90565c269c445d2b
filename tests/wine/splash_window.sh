#!/usr/bin/env bash
# setup.exe under Wine on a display of its own shows "setup.bmp" while it unpacks: one borderless
# window of class ZeKotSetupWnd with an empty title, exactly the bitmap's size, centred with the
# halves truncated, painted pixel for pixel and repainted while the main thread is busy; gone
# before the installer starts. Without the bitmap there is no window at all. Then the hand-off
# between ShowSplash and its thread when the 30 s wait runs out, and a close that does not wait
# for the window manager.
# usage: splash_window.sh SETUP_EXE MAKE_TEST_PACKAGE_EXE PROBE_INSTALLER_EXE INSPECT_SPLASH_EXE
#                         SPLASH_HANDOFF_TEST_EXE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_exe=$1
packer=$2
probe=$3
inspector=$4
handoff_test=$5

stage_run temp "$probe"
pack_app "$packer" "$setup_exe"
# Odd sizes, so that centring on the 1024x768 screen has halves to truncate: (1024-321)/2 and
# (768-203)/2 give 351 and 282.
convert -size 321x203 gradient:'#c0392b-#2c3e50' -fill '#f1c40f' -draw 'circle 80,100 80,140' \
  -fill '#27ae60' -draw 'rectangle 200,30 300,60' BMP3:"$work/app/setup.bmp"
geometry=321x203+351+282
export PROBE_REPORT
PROBE_REPORT=$(windows_path "$work/report")

inspected() { grep -qxF "$1" "$work/inspect"; }  # inspected "key=value"
# True once a capture of the screen shows the bitmap at the splash's place, pixel for pixel;
# tried again while the launcher still unpacks, since the X server shows a paint a moment later.
splash_on_screen() {
  local differing
  while kill -0 "$launcher" 2>/dev/null; do
    import -display "$DISPLAY" -window root "$work/screen.png" 2>/dev/null
    convert "$work/screen.png" -crop "$geometry" +repage "$work/splash.png"
    differing=$(compare -metric AE "$work/app/setup.bmp" "$work/splash.png" null: 2>&1)
    [ "$differing" = 0 ] && return 0
    sleep 0.2
  done
  echo "pixels differing from the bitmap: $differing" >&2
  return 1
}
# Waits until the held launcher has made its staging directory: by then ShowSplash has returned.
wait_for_staging() {
  for _ in $(seq 1 300); do
    [ -d "$temp/latmp0.tmp" ] && return 0
    sleep 0.1
  done
  return 1
}

# 1. While the package is read, the splash is up; a window laid over it and taken away again
#    is repainted by the splash's own thread while the main thread is still held in the read.
held_run "$work/app/Pack.qvd" 6 "$work/app/setup.exe" &
launcher=$!
wine_run "$inspector" 60000 cover >"$work/inspect"
check "the splash window appears" inspected "found=1"
check "one splash window" inspected "count=1"
check "class ZeKotSetupWnd" inspected "class=ZeKotSetupWnd"
check "empty title" inspected "title_length=0"
check "popup style, no caption, no border" \
  test "$(grep -E '^(popup|caption|border)=' "$work/inspect" | tr '\n' ' ')" = "popup=1 caption=0 border=0 "
check "the desktop is the display" inspected "desktop=1024x768"
check "the bitmap's size, centred, halves truncated" inspected "window=$geometry"
check "client area the bitmap's size" inspected "client=321x203"
check "the window is covered and uncovered" inspected "covered=1"
check "repainted pixel for pixel while unpacking" splash_on_screen
check "the X window too has the bitmap's size and place" \
  bash -c "xwininfo -root -tree | grep -q ' $geometry '"
wait "$launcher"
check "the installer's exit code 3 with a splash" test $? -eq 3
check "the installer ran" grep -qx "done=1" "$work/report"
check "the splash was gone before the installer started" grep -qx "splash_visible=0" "$work/report"
check "the installer's window is in the foreground after the splash's" \
  grep -qx "foreground=1" "$work/report"
check "the splash is gone after the run" \
  bash -c "! xwininfo -root -tree | grep -q ' $geometry '"
rm -rf "${temp:?}"/* "$work/report"

# 2. Without the bitmap there is no window at all; the rest of the run is unchanged.
mv "$work/app/setup.bmp" "$work/setup.bmp"
held_run "$work/app/Pack.qvd" 3 "$work/app/setup.exe" &
launcher=$!
check "no bitmap: the launcher gets to unpacking" wait_for_staging
wine_run "$inspector" 0 >"$work/inspect"
check "no bitmap: no splash window, not even a hidden one" inspected "count=0"
wait "$launcher"
check "no bitmap: the installer's exit code 3" test $? -eq 3
check "no bitmap: the installer ran" grep -qx "done=1" "$work/report"
check "no bitmap: nothing left" test -z "$(find "$temp" -mindepth 1)"

# 3. The hand-off when ShowSplash stops waiting, and the close, driven from a test program with
#    the bitmap beside it.
mkdir "$work/handoff"
cp "$handoff_test" "$work/handoff/"
cp "$work/setup.bmp" "$work/handoff/setup.bmp"
wine_run "$work/handoff/$(basename "$handoff_test")"
check "hand-off: every check passes" test $? -eq 0

finish
