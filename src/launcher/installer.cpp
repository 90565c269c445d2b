#include "launcher/installer.h"

// For the shell's types only: its library is loaded at run time.
#include <shellapi.h>

#include <cstring>

#include "common/paths.h"
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

typedef BOOL(WINAPI* ShellExecuteExCall)(SHELLEXECUTEINFOA*);

// The shell's library is not one the system always takes from its own directory, and the loader
// resolves static imports before WinMain restricts the DLL search: imported, a shell32.dll or
// one of its own dependencies planted beside the launcher could be loaded from the download
// folder. So it is loaded here, by its full path in the system directory, with the search
// already restricted, and only when it is needed. It stays loaded until the process ends.
ShellExecuteExCall LoadShellExecute() {
  char systemDir[PATH_BUFFER];
  char shellPath[PATH_BUFFER];
  UINT length = GetSystemDirectoryA(systemDir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || !JoinPath(shellPath, systemDir, "shell32.dll"))
    return nullptr;
  // Its own dependencies are looked for beside it first, in the system directory, also where
  // the search could not be restricted.
  HMODULE shell = LoadLibraryExA(shellPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (shell == nullptr) return nullptr;
  return reinterpret_cast<ShellExecuteExCall>(
      reinterpret_cast<void*>(GetProcAddress(shell, "ShellExecuteExA")));
}

// An installer whose manifest, or whose name to the system's installer detection, asks for
// administrator rights cannot be created by an unelevated launcher. The shell asks the user for
// consent and starts it; its window is then left alone, since a lower process may not move it.
HANDLE StartThroughShell(const char* installerPath) {
  ShellExecuteExCall shellExecute = LoadShellExecute();
  if (shellExecute == nullptr) return nullptr;
  SHELLEXECUTEINFOA info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpFile = installerPath;
  info.nShow = SW_SHOWNORMAL;
  if (!shellExecute(&info)) return nullptr;
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
