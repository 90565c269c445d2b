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

typedef BOOL(WINAPI* ShellExecuteExCall)(SHELLEXECUTEINFOW*);

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
      reinterpret_cast<void*>(GetProcAddress(shell, "ShellExecuteExW")));
}

// An installer whose manifest, or whose name to the system's installer detection, asks for
// administrator rights cannot be created by an unelevated launcher. The shell asks the user for
// consent and starts it with the same arguments; its window is then left alone, since a lower
// process may not move it.
HANDLE StartThroughShell(const wchar_t* installerPath, const wchar_t* arguments, int show,
                         DWORD* error) {
  ShellExecuteExCall shellExecute = LoadShellExecute();
  if (shellExecute == nullptr) return nullptr;
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpFile = installerPath;
  if (arguments[0] != L'\0') info.lpParameters = arguments;
  info.nShow = show;
  // 1223 when the user declined.
  if (!shellExecute(&info)) *error = GetLastError();
  return info.hProcess;
}

int CallerShowState(STARTUPINFOW* startup) {
  GetStartupInfoW(startup);
  return (startup->dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup->wShowWindow : -1;
}

}  // namespace

int StartedHidden() {
  STARTUPINFOW startup;
  return CallerShowState(&startup) == SW_HIDE;
}

const wchar_t* SkipProgramName(const wchar_t* commandLine) {
  // The C runtime's reading: a quote only switches blanks off and on, there is no escape.
  int quoted = 0;
  for (; *commandLine != L'\0'; ++commandLine) {
    if (*commandLine == L'"')
      quoted = !quoted;
    else if (!quoted && (*commandLine == L' ' || *commandLine == L'\t'))
      break;
  }
  while (*commandLine == L' ' || *commandLine == L'\t') ++commandLine;
  return commandLine;
}

HANDLE StartInstaller(const char* installerPath, const wchar_t* arguments, wchar_t* commandLine,
                      size_t size, DWORD* error) {
  *error = 0;
  commandLine[0] = L'\0';
  // Unquoted, a path with blanks would be tried piece by piece: "C:\Documents and" first, so a
  // program planted as "C:\Documents.exe" would run instead.
  wchar_t path[PATH_BUFFER];
  int length = MultiByteToWideChar(CP_ACP, 0, installerPath, -1, path, PATH_BUFFER) - 1;
  size_t argumentsLength = static_cast<size_t>(lstrlenW(arguments));
  if (length <= 0 || length + argumentsLength + 5 > size) return nullptr;
  // Formed by hand: printf would bring a whole formatting library into the stub for this.
  wchar_t* end = commandLine;
  *end++ = L'"';
  memcpy(end, path, length * sizeof *path);
  end += length;
  *end++ = L'"';
  if (argumentsLength != 0) {
    *end++ = L' ';
    memcpy(end, arguments, argumentsLength * sizeof *arguments);
    end += argumentsLength;
  }
  *end = L'\0';

  STARTUPINFOW startup;
  int show = CallerShowState(&startup);
  startup.cb = sizeof startup;
  startup.lpDesktop = nullptr;
  startup.lpTitle = nullptr;
  // The show state the caller gave is the installer's too; the other optional fields described
  // the launcher's own console or window.
  startup.dwFlags &= STARTF_USESHOWWINDOW;

  SECURITY_ATTRIBUTES inheritable;
  inheritable.nLength = sizeof inheritable;
  inheritable.lpSecurityDescriptor = nullptr;
  inheritable.bInheritHandle = TRUE;

  PROCESS_INFORMATION started;
  if (!CreateProcessW(nullptr, commandLine, &inheritable, &inheritable, TRUE,
                      CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                      &started)) {
    *error = GetLastError();
    if (*error != ERROR_NEEDS_ELEVATION) return nullptr;
    *error = 0;
    return StartThroughShell(path, arguments, show >= 0 ? show : SW_SHOWNORMAL, error);
  }
  // A hidden run stays hidden: the installer's window is left as the installer makes it.
  if (show != SW_HIDE) {
    // Lets the installer take the foreground itself too, should it show its window later.
    AllowSetForegroundWindow(started.dwProcessId);
    if (WaitForInputIdle(started.hProcess, INPUT_IDLE_TIMEOUT) == 0) {
      HWND window = FindFirstThreadWindow(started.dwThreadId);
      if (window != nullptr) BringForward(window);
    }
  }
  return started.hProcess;
}

HWND FindFirstThreadWindow(DWORD threadId) {
  HWND first = nullptr;
  EnumThreadWindows(threadId, TakeFirstWindow, reinterpret_cast<LPARAM>(&first));
  return first;
}
