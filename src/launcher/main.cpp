// The launcher: shows the splash, unpacks "Pack.qvd" from beside itself into a fresh temporary
// directory, runs the installer from there, waits for it and cleans up. It shows no message; its
// exit code tells a deployment tool or a script whether the installer was started, and a failure
// leaves one line for a debugger or a debug-output viewer.
#include <windows.h>

#include "common/code_page.h"
#include "common/paths.h"
#include "common/platform.h"
#include "launcher/dll_search.h"
#include "launcher/install_dir.h"
#include "launcher/installer.h"
#include "package/extract.h"
#include "package/tree_walk.h"
#include "splash/splash.h"

namespace {

// The exit codes; the installer's own is not looked at, and 0 says that it was started.
enum {
  EXIT_INSTALLER_STARTED = 0,
  EXIT_PACKAGE_UNREADABLE = 1,  // no package beside the launcher, or it cannot be read
  EXIT_NO_TEMPORARY_DIRECTORY = 2,
  EXIT_PACKAGE_DAMAGED = 3,  // broken or unsafe, or a read or write failed while unpacking
  EXIT_NO_SPACE = 4,         // the package needs more than the temporary directory's disk has
  EXIT_INSTALLER_NOT_STARTED = 5,
};

// The first problem unpacking met, kept for the debug line.
char g_problem[2 * PATH_BUFFER];

void Append(char* out, size_t size, const char* text) {
  size_t used = lstrlenA(out);
  lstrcpynA(out + used, text, static_cast<int>(size - used));
}

void KeepFirstProblem(void*, const char* where, const char* what) {
  if (g_problem[0] != '\0') return;
  Append(g_problem, sizeof g_problem, where);
  Append(g_problem, sizeof g_problem, ": ");
  Append(g_problem, sizeof g_problem, what);
}

// One line, "setup: what: path (detail)", which costs nothing without a listener.
int Fail(int code, const char* what, const char* path, const char* detail) {
  char line[4 * PATH_BUFFER] = "setup: ";
  Append(line, sizeof line, what);
  Append(line, sizeof line, ": ");
  Append(line, sizeof line, path);
  if (detail != nullptr && detail[0] != '\0') {
    Append(line, sizeof line, " (");
    Append(line, sizeof line, detail);
    Append(line, sizeof line, ")");
  }
  Append(line, sizeof line, "\n");
  OutputDebugStringA(line);
  return code;
}

int NoTemporaryDirectory(const char* what) {
  char temp[PATH_BUFFER];
  if (!GetTempDirectory(temp, MAX_PATH)) lstrcpyA(temp, "unknown temporary directory");
  return Fail(EXIT_NO_TEMPORARY_DIRECTORY, what, temp, nullptr);
}

int ExtractFailure(ExtractStatus status, const char* packagePath) {
  switch (status) {
    case EXTRACT_OK:
      break;
    case EXTRACT_NO_STAGING:
      return NoTemporaryDirectory("cannot create a staging directory");
    case EXTRACT_UNREADABLE:
      return Fail(EXIT_PACKAGE_UNREADABLE, "package missing or unreadable", packagePath, g_problem);
    case EXTRACT_DAMAGED:
      return Fail(EXIT_PACKAGE_DAMAGED, "package damaged", packagePath, g_problem);
    case EXTRACT_NO_SPACE:
      return Fail(EXIT_NO_SPACE, "not enough disk space to unpack", packagePath, g_problem);
  }
  return EXIT_INSTALLER_STARTED;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  char installDir[PATH_BUFFER];
  char packagePath[PATH_BUFFER];
  char installerPath[PATH_BUFFER];

  RestrictDllSearch();
  // Names and paths are in the system's ANSI code page, which may have double-byte characters.
  SetNameCodePage(static_cast<int>(GetACP()));

  HWND splash = ShowSplash(instance, SW_SHOW);

  if (!GetPackagePath(packagePath))
    return Fail(EXIT_PACKAGE_UNREADABLE, "cannot tell the launcher's own folder", "Pack.qvd",
                nullptr);
  // Without a temporary directory of its own the launcher has nowhere safe to unpack.
  if (!MakeInstallDir(installDir))
    return NoTemporaryDirectory("cannot create an install directory");

  ProblemReporter reporter = {KeepFirstProblem, nullptr, nullptr};
  int failure = ExtractFailure(ExtractPackage(packagePath, installDir, &reporter), packagePath);

  CloseSplash(splash);

  // An installer that came out of a damaged package, or only partly, is not run.
  HANDLE installer = nullptr;
  if (failure == EXIT_INSTALLER_STARTED) {
    if (JoinPath(installerPath, installDir, "Installer.exe"))
      installer = StartInstaller(installerPath);
    if (installer == nullptr)
      failure = Fail(EXIT_INSTALLER_NOT_STARTED, "installer missing or cannot be started",
                     installerPath, nullptr);
  }

  if (installer != nullptr) WaitForSingleObject(installer, INFINITE);

  RemoveTree(installDir);
  return failure;
}
