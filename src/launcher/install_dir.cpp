#include "launcher/install_dir.h"

#include "common/paths.h"

int GetPackagePath(char* out) {
  return FileBesideLauncher("Pack.qvd", out);
}

int MakeInstallDir(char* out) {
  return MakeUniqueTempDir("%sZeKolInst%d", out);
}
