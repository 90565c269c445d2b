#include "launcher/installer.h"

#include <shellapi.h>

#include <cstring>

#include "common/platform.h"

namespace {

const DWORD INPUT_IDLE_TIMEOUT = 5000;
// Missing from MinGW's headers.
const DWORD ERROR_NEEDS_ELEVATION = 740;

BOOL CALLBACK TakeFirstWindow(HWND window, LPARAM result) {
  *reinterpret_cast<HWND*>(result) = window;
  return FALSE;
}

void BringForward(HWND window) {
  // The launcher never lowers the window again: the user is meant to see the installer, not
  // whatever gets activated after the launcher's own windows are gone.
  SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  ShowWindow(window, SW_SHOW);
  ShowWindowAsync(window, SW_SHOW);
  SetForegroundWindow(window);
  SetActiveWindow(window);
}

// An installer whose manifest, or whose name to the system's installer detection, asks for
// administrator rights cannot be created by an unelevated launcher. The shell asks the user for
// consent and starts it; its window is then left alone, since a lower process may not move it.
HANDLE StartThroughShell(const char* installerPath) {
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpFile = installerPath;
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExA(&info)) return nullptr;
  return info.hProcess;
}

}  // namespace

HANDLE StartInstaller(const char* installerPath) {
  // Unquoted, a path with blanks would be tried piece by piece: "C:\Documents and" first, so a
  // program planted as "C:\Documents.exe" would run instead.
  // Quoted by hand: printf would bring a whole formatting library into the stub for this.
  char commandLine[PATH_BUFFER + 2];
  size_t length = strlen(installerPath);
  if (length + 3 > sizeof commandLine) return nullptr;
  commandLine[0] = '"';
  memcpy(commandLine + 1, installerPath, length);
  commandLine[length + 1] = '"';
  commandLine[length + 2] = '\0';

  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  startup.cb = sizeof startup;
  startup.lpDesktop = nullptr;
  startup.lpTitle = nullptr;
  startup.dwFlags = 0;

  SECURITY_ATTRIBUTES inheritable;
  inheritable.nLength = sizeof inheritable;
  inheritable.lpSecurityDescriptor = nullptr;
  inheritable.bInheritHandle = TRUE;

  PROCESS_INFORMATION started;
  if (!CreateProcessA(nullptr, commandLine, &inheritable, &inheritable, TRUE,
                      CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                      &started)) {
    return GetLastError() == ERROR_NEEDS_ELEVATION ? StartThroughShell(installerPath) : nullptr;
  }
  // Lets the installer take the foreground itself too, should it show its window later.
  AllowSetForegroundWindow(started.dwProcessId);
  if (WaitForInputIdle(started.hProcess, INPUT_IDLE_TIMEOUT) == 0) {
    HWND window = FindFirstThreadWindow(started.dwThreadId);
    if (window != nullptr) BringForward(window);
  }
  return started.hProcess;
}

HWND FindFirstThreadWindow(DWORD threadId) {
  HWND first = nullptr;
  EnumThreadWindows(threadId, TakeFirstWindow, reinterpret_cast<LPARAM>(&first));
  return first;
}
