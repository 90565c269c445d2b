// A stand-in for Installer.exe that tries to leave the place it was run in: it writes a file at
// each path that ESCAPE_TARGETS names (separated by '|'), and a file into the user's folders that
// Wine links to the home directory (Desktop, Documents). Its exit code is 100 plus the number of
// ESCAPE_TARGETS it could write, so that a run that never happened cannot pass for a sandbox
// that held; what lands in the user's folders the test finds by looking.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

int WriteMark(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  WriteFile(file, "escaped\r\n", 9, &written, nullptr);
  CloseHandle(file);
  return written == 9 ? 1 : 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int escaped = 0;
  const char* targets = getenv("ESCAPE_TARGETS");
  char list[4096] = "";
  if (targets != nullptr) lstrcpynA(list, targets, sizeof list);
  for (char* path = strtok(list, "|"); path != nullptr; path = strtok(nullptr, "|"))
    escaped += WriteMark(path);
  const char* profile = getenv("USERPROFILE");
  for (const char* folder : {"Desktop", "Documents", "My Documents"}) {
    char path[MAX_PATH];
    if (profile == nullptr) break;
    snprintf(path, sizeof path, "%s\\%s\\escaped-%s.txt", profile, folder, "installer");
    WriteMark(path);
  }
  return 100 + escaped;
}
