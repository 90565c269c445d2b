// The splash screen: a bitmap file ("setup.bmp" from beside the launcher, or a sealed launcher's
// checked copy of it), shown at its own size in a borderless
// window centred on the desktop. The window has a thread and message loop of its own, so it keeps
// painting while the main thread is busy unpacking.
#pragma once

#include <windows.h>

// Shows the bitmap file `bitmapPath` as the splash and returns its window, or null when there is
// none: no path, no readable bitmap, no window, or no answer from the splash thread within 30 s.
// The path is read by the splash thread, possibly after a time-out: it must stay valid as long
// as the process runs.
HWND ShowSplash(HINSTANCE instance, int showCommand, const char* bitmapPath);

// Takes the splash off the screen before the installer's window comes: its thread leaves its
// message loop and ends, which takes the window with it. Returns once that thread has ended, or
// after 5 s; nothing waits for the window to be hidden. Without a window it does nothing.
void CloseSplash(HWND splash);

// The file beside the launcher named "setup.bmp"; 0 when that path cannot be formed.
int GetSplashBitmapPath(char* out);

void CenterOnDesktop(HWND window);
