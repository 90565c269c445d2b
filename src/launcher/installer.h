// Starting the unpacked installer and bringing its first window to the front.
#pragma once

#include <windows.h>

// Starts `installerPath` without arguments, with the launcher's current directory, environment
// and inheritable handles. Once the installer waits for input, its first window is made topmost
// and brought to the foreground. An installer that needs administrator rights is started through
// the shell, which asks the user. Returns the installer's process handle, which stays open, or
// null when it cannot be started.
HANDLE StartInstaller(const char* installerPath);

// The first top-level window of the thread, or null.
HWND FindFirstThreadWindow(DWORD threadId);
