// The launcher: unpacks "Pack.qvd" from beside itself into a fresh temporary directory and
// cleans up again. It shows nothing and always exits with 0.
#include <windows.h>

#include "common/platform.h"
#include "launcher/install_dir.h"
#include "package/extract.h"
#include "package/tree_walk.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char installDir[PATH_BUFFER];
  char packagePath[PATH_BUFFER];

  if (!GetPackagePath(packagePath)) return 0;
  // Without a temporary directory of its own the launcher has nowhere safe to unpack.
  if (!MakeInstallDir(installDir)) return 0;

  ExtractPackage(packagePath, installDir);

  RemoveTree(installDir);
  return 0;
}
