// hold_file hold PATH MS: opens PATH for writing, as an editor or a download would, prints "held"
// and keeps it open for MS milliseconds; exit code 1 when it cannot be opened.
// hold_file change PATH: tries what another program would do to a file a launcher checks: open
// it for writing and rename it (and back). Prints "write=ok" or "write=refused", likewise
// "rename=".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenForWriting(const char* path) {
  return CreateFileA(path, GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "hold") == 0) {
    HANDLE file = OpenForWriting(argv[2]);
    if (file == INVALID_HANDLE_VALUE) return 1;
    printf("held\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(atoi(argv[3])));
    CloseHandle(file);
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "change") == 0) {
    HANDLE file = OpenForWriting(argv[2]);
    printf("write=%s\n", file == INVALID_HANDLE_VALUE ? "refused" : "ok");
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    char moved[MAX_PATH + 8];
    snprintf(moved, sizeof moved, "%s.moved", argv[2]);
    int renamed = MoveFileA(argv[2], moved);
    printf("rename=%s\n", renamed ? "ok" : "refused");
    if (renamed) MoveFileA(moved, argv[2]);
    return 0;
  }
  fprintf(stderr, "usage: hold_file hold PATH MS | hold_file change PATH\n");
  return 2;
}
