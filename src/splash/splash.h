// The splash screen: "setup.bmp" from beside the launcher, shown at its own size in a borderless
// window centred on the desktop. The window has a thread and message loop of its own, so it keeps
// painting while the main thread is busy unpacking.
#pragma once

#include <windows.h>

// Shows the splash and returns its window, or null when there is none: no readable bitmap, no
// window, or no answer from the splash thread within 30 s. Sending the window WM_DESTROY hides it
// and ends its thread, which takes the window with it.
HWND ShowSplash(HINSTANCE instance, int showCommand);

// The file beside the launcher named "setup.bmp"; 0 when that path cannot be formed.
int GetSplashBitmapPath(char* out);

void CenterOnDesktop(HWND window);
