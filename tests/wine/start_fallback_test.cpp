// start_fallback_test INSTALLER: StartInstaller when the system refuses to create the installer
// directly. Wine runs every program with full rights, so the refusal that Windows gives an
// unelevated launcher for an installer that needs elevation is staged here, between
// StartInstaller and CreateProcessW. The shell's library is loaded at run time, so the test
// stands between the launcher and the loader as well, to count the shell's calls and to see
// where the library is taken from. Prints each failed check; the exit code counts them.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "import_hook.h"
#include "launcher/installer.h"

namespace {

const DWORD ERROR_NEEDS_ELEVATION = 740;
const DWORD INSTALLER_EXIT_WAIT = 60000;
const DWORD PROBE_EXIT_CODE = 3;

decltype(&ShellExecuteExW) g_realShellExecute;
decltype(&LoadLibraryExA) g_realLoadLibraryEx;
decltype(&GetProcAddress) g_realGetProcAddress;
DWORD g_refusal;
int g_createCalls;
int g_shellCalls;
std::wstring g_commandLine;
std::wstring g_shellFile;
std::wstring g_shellParameters;
int g_shellShow;
std::string g_loadedShell;
int g_failures;

void Check(bool ok, const char* what) {
  if (ok) return;
  printf("FAILED: %s\n", what);
  ++g_failures;
}

BOOL WINAPI RefusedCreateProcess(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                                 LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                 LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  ++g_createCalls;
  g_commandLine = commandLine != nullptr ? commandLine : L"";
  SetLastError(g_refusal);
  return FALSE;
}

BOOL WINAPI CountedShellExecute(SHELLEXECUTEINFOW* info) {
  ++g_shellCalls;
  g_shellFile = info->lpFile != nullptr ? info->lpFile : L"";
  g_shellParameters = info->lpParameters != nullptr ? info->lpParameters : L"(none)";
  g_shellShow = info->nShow;
  return g_realShellExecute != nullptr && g_realShellExecute(info);
}

HMODULE WINAPI NotedLoadLibraryEx(LPCSTR name, HANDLE file, DWORD flags) {
  const char* base = strrchr(name, '\\');
  if (lstrcmpiA(base != nullptr ? base + 1 : name, "shell32.dll") == 0) g_loadedShell = name;
  return g_realLoadLibraryEx(name, file, flags);
}

FARPROC WINAPI CountingGetProcAddress(HMODULE module, LPCSTR name) {
  FARPROC found = g_realGetProcAddress(module, name);
  // Not a name but an ordinal when the high word is 0.
  if (found == nullptr || (reinterpret_cast<UINT_PTR>(name) >> 16) == 0 ||
      lstrcmpA(name, "ShellExecuteExW") != 0)
    return found;
  g_realShellExecute = reinterpret_cast<decltype(&ShellExecuteExW)>(reinterpret_cast<void*>(found));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(CountedShellExecute));
}

std::string SystemShellPath() {
  char path[MAX_PATH];
  UINT length = GetSystemDirectoryA(path, MAX_PATH);
  return std::string(path, length) + "\\shell32.dll";
}

void StartCase(DWORD refusal) {
  g_refusal = refusal;
  g_createCalls = 0;
  g_shellCalls = 0;
  g_loadedShell.clear();
}

std::wstring Wide(const char* text) {
  wchar_t wide[MAX_PATH * 2];
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide, MAX_PATH * 2);
  return wide;
}

HANDLE Start(const char* installer, const wchar_t* arguments, DWORD* error) {
  wchar_t commandLine[MAX_PATH * 2];
  return StartInstaller(installer, arguments, commandLine, MAX_PATH * 2, error);
}

// The shell asks the user and starts the installer with the same arguments, beyond the ANSI code
// page too; the launcher gets a handle to wait on.
void ElevationRequired(const char* installer) {
  StartCase(ERROR_NEEDS_ELEVATION);
  const wchar_t arguments[] = L"/S /name=\u0141\u00F3d\u017A \"\" \"a b\"";
  DWORD error = 1;
  HANDLE process = Start(installer, arguments, &error);
  Check(g_createCalls == 1, "elevation: CreateProcessW is tried first");
  Check(g_commandLine == L"\"" + Wide(installer) + L"\" " + arguments,
        "elevation: the command line is the quoted path, a blank and the arguments");
  Check(lstrcmpiA(g_loadedShell.c_str(), SystemShellPath().c_str()) == 0,
        "elevation: the shell's library is loaded by its full path in the system directory");
  Check(g_shellCalls == 1 && g_shellFile == Wide(installer),
        "elevation: the shell starts the installer");
  Check(g_shellParameters == arguments, "elevation: the shell is given the same arguments");
  Check(g_shellShow == SW_SHOWNORMAL, "elevation: shown normally when the caller gave no state");
  Check(process != nullptr, "elevation: a process handle comes back");
  if (process == nullptr) return;
  Check(WaitForSingleObject(process, INSTALLER_EXIT_WAIT) == WAIT_OBJECT_0,
        "elevation: the handle can be waited on until the installer exits");
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  Check(code == PROBE_EXIT_CODE, "elevation: the handle is the installer's process");
}

// Without arguments the shell is given none, not an empty string.
void ElevationWithoutArguments(const char* installer) {
  StartCase(ERROR_NEEDS_ELEVATION);
  DWORD error = 1;
  HANDLE process = Start(installer, L"", &error);
  Check(g_commandLine == L"\"" + Wide(installer) + L"\"",
        "no arguments: the command line is the quoted path alone");
  Check(g_shellParameters == L"(none)", "no arguments: the shell is given no parameters");
  if (process != nullptr) WaitForSingleObject(process, INSTALLER_EXIT_WAIT);
}

// Any other refusal leaves nothing to wait for, and the shell is not asked.
void OtherRefusal(const char* installer) {
  StartCase(ERROR_BAD_EXE_FORMAT);
  DWORD error = 0;
  HANDLE process = Start(installer, L"/S", &error);
  Check(process == nullptr, "other failure: no handle");
  Check(error == ERROR_BAD_EXE_FORMAT, "other failure: the system's reason comes back");
  Check(g_shellCalls == 0 && g_loadedShell.empty(),
        "other failure: the shell is not asked, nor its library loaded");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: start_fallback_test INSTALLER\n");
    return 2;
  }
  decltype(&CreateProcessW) realCreateProcess;
  if (!HookImport("kernel32.dll", "CreateProcessW", RefusedCreateProcess, &realCreateProcess) ||
      !HookImport("kernel32.dll", "LoadLibraryExA", NotedLoadLibraryEx, &g_realLoadLibraryEx) ||
      !HookImport("kernel32.dll", "GetProcAddress", CountingGetProcAddress,
                  &g_realGetProcAddress)) {
    printf("FAILED: the calls to stand between are not imported\n");
    return 1;
  }
  OtherRefusal(argv[1]);
  ElevationRequired(argv[1]);
  ElevationWithoutArguments(argv[1]);
  printf("%d failed\n", g_failures);
  return g_failures;
}
