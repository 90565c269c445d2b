// stopwatch PROGRAM...: starts each program in turn, in its own directory and without
// arguments, waits for it and prints one line for it:
//   SECONDS EXIT_CODE INSTALLER_STARTED LEFT_IN_TEMP
// SECONDS runs from just before CreateProcess until the process has ended (a setup program
// that removes what it unpacked before it exits is timed to the end of its clean-up);
// INSTALLER_STARTED is 1 when the benchmark's Installer.exe signalled the event meanwhile;
// LEFT_IN_TEMP counts the entries in the temporary directory afterwards, which should be none.
// Run inside Wine, it leaves out Wine's own start-up, which no user on Windows pays.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

int CountTempEntries() {
  char pattern[MAX_PATH + 4];
  DWORD length = GetTempPathA(MAX_PATH, pattern);
  if (length == 0 || length > MAX_PATH) return -1;
  lstrcatA(pattern, "*");
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do {
    if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) ++count;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return count;
}

bool TimeOne(const char* program, HANDLE started, LARGE_INTEGER frequency) {
  char directory[MAX_PATH];
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(program, MAX_PATH, directory, &namePart);
  if (length == 0 || length >= MAX_PATH || namePart == nullptr) {
    fprintf(stderr, "stopwatch: bad path: %s\n", program);
    return false;
  }
  char full[MAX_PATH];
  lstrcpyA(full, directory);
  *namePart = '\0';
  char commandLine[MAX_PATH + 3];
  snprintf(commandLine, sizeof commandLine, "\"%s\"", full);

  ResetEvent(started);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  LARGE_INTEGER begin, end;
  QueryPerformanceCounter(&begin);
  if (!CreateProcessA(full, commandLine, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup,
                      &process)) {
    fprintf(stderr, "stopwatch: cannot start %s (error %lu)\n", full, GetLastError());
    return false;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  int installerStarted = WaitForSingleObject(started, 0) == WAIT_OBJECT_0 ? 1 : 0;
  printf("%.6f %lu %d %d\n", double(end.QuadPart - begin.QuadPart) / double(frequency.QuadPart),
         exitCode, installerStarted, CountTempEntries());
  fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: stopwatch PROGRAM...\n");
    return 2;
  }
  // Manual reset: it stays signalled until the next run, whenever the installer sets it.
  HANDLE started = CreateEventA(nullptr, TRUE, FALSE, "setup-bench-installer-started");
  if (started == nullptr) {
    fprintf(stderr, "stopwatch: cannot create the event (error %lu)\n", GetLastError());
    return 1;
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (int i = 1; i < argc; ++i) {
    if (!TimeOne(argv[i], started, frequency)) return 1;
  }
  return 0;
}
