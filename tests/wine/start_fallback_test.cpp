// start_fallback_test INSTALLER: StartInstaller when the system refuses to create the installer
// directly. Wine runs every program with full rights, so the refusal that Windows gives an
// unelevated launcher for an installer that needs elevation is staged here, between
// StartInstaller and CreateProcessA. The shell's library is loaded at run time, so the test
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

decltype(&ShellExecuteExA) g_realShellExecute;
decltype(&LoadLibraryExA) g_realLoadLibraryEx;
decltype(&GetProcAddress) g_realGetProcAddress;
DWORD g_refusal;
int g_createCalls;
int g_shellCalls;
std::string g_commandLine;
std::string g_shellFile;
std::string g_loadedShell;
int g_failures;

void Check(bool ok, const char* what) {
  if (ok) return;
  printf("FAILED: %s\n", what);
  ++g_failures;
}

BOOL WINAPI RefusedCreateProcess(LPCSTR, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                                 LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA,
                                 LPPROCESS_INFORMATION) {
  ++g_createCalls;
  g_commandLine = commandLine != nullptr ? commandLine : "";
  SetLastError(g_refusal);
  return FALSE;
}

BOOL WINAPI CountedShellExecute(SHELLEXECUTEINFOA* info) {
  ++g_shellCalls;
  g_shellFile = info->lpFile != nullptr ? info->lpFile : "";
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
      lstrcmpA(name, "ShellExecuteExA") != 0)
    return found;
  g_realShellExecute = reinterpret_cast<decltype(&ShellExecuteExA)>(reinterpret_cast<void*>(found));
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

// The shell asks the user and starts the installer; the launcher gets a handle to wait on.
void ElevationRequired(const char* installer) {
  StartCase(ERROR_NEEDS_ELEVATION);
  HANDLE process = StartInstaller(installer);
  Check(g_createCalls == 1, "elevation: CreateProcessA is tried first");
  Check(g_commandLine == std::string("\"") + installer + "\"",
        "elevation: the command line is the quoted path alone");
  Check(lstrcmpiA(g_loadedShell.c_str(), SystemShellPath().c_str()) == 0,
        "elevation: the shell's library is loaded by its full path in the system directory");
  Check(g_shellCalls == 1 && g_shellFile == installer, "elevation: the shell starts the installer");
  Check(process != nullptr, "elevation: a process handle comes back");
  if (process == nullptr) return;
  Check(WaitForSingleObject(process, INSTALLER_EXIT_WAIT) == WAIT_OBJECT_0,
        "elevation: the handle can be waited on until the installer exits");
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  Check(code == PROBE_EXIT_CODE, "elevation: the handle is the installer's process");
}

// Any other refusal leaves nothing to wait for, and the shell is not asked.
void OtherRefusal(const char* installer) {
  StartCase(ERROR_FILE_NOT_FOUND);
  HANDLE process = StartInstaller(installer);
  Check(process == nullptr, "other failure: no handle");
  Check(g_shellCalls == 0 && g_loadedShell.empty(),
        "other failure: the shell is not asked, nor its library loaded");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: start_fallback_test INSTALLER\n");
    return 2;
  }
  decltype(&CreateProcessA) realCreateProcess;
  if (!HookImport("kernel32.dll", "CreateProcessA", RefusedCreateProcess, &realCreateProcess) ||
      !HookImport("kernel32.dll", "LoadLibraryExA", NotedLoadLibraryEx, &g_realLoadLibraryEx) ||
      !HookImport("kernel32.dll", "GetProcAddress", CountingGetProcAddress,
                  &g_realGetProcAddress)) {
    printf("FAILED: the calls to stand between are not imported\n");
    return 1;
  }
  OtherRefusal(argv[1]);
  ElevationRequired(argv[1]);
  printf("%d failed\n", g_failures);
  return g_failures;
}
