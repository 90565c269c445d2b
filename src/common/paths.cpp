#include "common/paths.h"

#include <climits>
#include <cstring>

namespace {

int Fits(int written) {
  return written >= 0 && written < MAX_PATH;
}

}  // namespace

int JoinPath(char* out, const char* dir, const char* name) {
  int ok = Fits(snprintf(out, PATH_BUFFER, "%s\\%s", dir, name));
  if (!ok) out[0] = '\0';
  return ok;
}

int AppendPath(char* out, const char* dir, const char* name) {
  int ok = Fits(snprintf(out, PATH_BUFFER, "%s%s", dir, name));
  if (!ok) out[0] = '\0';
  return ok;
}

int FileBesideLauncher(const char* name, char* out) {
  char self[PATH_BUFFER];
  out[0] = '\0';
  if (!GetLauncherPath(self, MAX_PATH)) return 0;
  char* cut = strrchr(self, '\\');
  if (cut == nullptr) return 0;
  *cut = '\0';
  return JoinPath(out, self, name);
}

int MakeUniqueTempDir(const char* pattern, char* out) {
  char temp[PATH_BUFFER];
  out[0] = '\0';
  if (!GetTempDirectory(temp, MAX_PATH)) return 0;
  for (int n = 0; n < INT_MAX; ++n) {
    if (!Fits(snprintf(out, PATH_BUFFER, pattern, temp, n))) break;
    MakeDirResult made = MakeDirectory(out);
    if (made == MAKEDIR_CREATED) return 1;
    if (made == MAKEDIR_FAILED) break;
  }
  out[0] = '\0';
  return 0;
}
