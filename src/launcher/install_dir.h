// The launcher's two paths: the package beside it and its fresh install directory.
#pragma once

int GetPackagePath(char* out);
int MakeInstallDir(char* out);
