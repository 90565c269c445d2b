// The launcher: shows the splash, unpacks "Pack.qvd" from beside itself into a fresh temporary
// directory, runs the installer from there, waits for it and cleans up. It reports nothing and
// always exits with 0.
#include <windows.h>

#include "common/paths.h"
#include "common/platform.h"
#include "launcher/dll_search.h"
#include "launcher/install_dir.h"
#include "launcher/installer.h"
#include "package/extract.h"
#include "package/tree_walk.h"
#include "splash/splash.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  char installDir[PATH_BUFFER];
  char packagePath[PATH_BUFFER];
  char installerPath[PATH_BUFFER];

  RestrictDllSearch();

  HWND splash = ShowSplash(instance, SW_SHOW);

  if (!GetPackagePath(packagePath)) return 0;
  // Without a temporary directory of its own the launcher has nowhere safe to unpack.
  if (!MakeInstallDir(installDir)) return 0;

  int unpacked = ExtractPackage(packagePath, installDir);

  CloseSplash(splash);

  // An installer that came out of a damaged package, or only partly, is not run.
  HANDLE installer = nullptr;
  if (unpacked && JoinPath(installerPath, installDir, "Installer.exe"))
    installer = StartInstaller(installerPath);

  if (installer != nullptr) WaitForSingleObject(installer, INFINITE);

  RemoveTree(installDir);
  return 0;
}
