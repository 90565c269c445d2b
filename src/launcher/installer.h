// Starting the unpacked installer and bringing its first window to the front.
#pragma once

#include <windows.h>

#include <cstddef>

// Whether whoever started the launcher asked for it to stay out of sight (STARTF_USESHOWWINDOW
// with SW_HIDE), as deployment agents do: then nothing of the launcher's or the installer's
// appears on the desktop by the launcher's doing.
int StartedHidden();

// The arguments the launcher was given: its own command line after its program name, as the C
// runtime splits that off, and the blanks after it. Points into `commandLine`.
const wchar_t* SkipProgramName(const wchar_t* commandLine);

// Starts `installerPath` (in the ANSI code page) with the command line "<quoted path> arguments"
// (the quoted path alone when `arguments` is empty), formed into `commandLine` even when the
// start fails, with the launcher's current directory, environment, inheritable handles and any
// show state it was given. Unless the launcher was started hidden, its first window is made
// topmost and brought to the foreground once the installer waits for input. An installer that
// needs administrator rights is started through the shell, which asks the user. Returns the
// installer's process handle, which stays open, or null with the system's reason in `*error`
// (0 when there is none).
HANDLE StartInstaller(const char* installerPath, const wchar_t* arguments, wchar_t* commandLine,
                      size_t size, DWORD* error);

// The first top-level window of the thread, or null.
HWND FindFirstThreadWindow(DWORD threadId);
