// start_and_wait [hidden|show=N] PROGRAM: starts PROGRAM as a deployment agent does and prints
// its exit code in all 32 bits, which the Unix status of a Wine run cuts to eight. "hidden"
// starts it with STARTF_USESHOWWINDOW and SW_HIDE, "show=N" with show state N. The command
// line is PROGRAM quoted, then the UTF-8 contents of the file named by START_ARGUMENTS exactly
// as they are, when it is set. Also prints whether a splash window existed at any time.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                   static_cast<int>(wide.size()));
  wide.resize(length);
  return wide;
}

std::string ReadArguments() {
  const char* name = getenv("START_ARGUMENTS");
  std::string contents;
  FILE* file = name != nullptr ? fopen(name, "rb") : nullptr;
  if (file == nullptr) return contents;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) contents.append(buffer, got);
  fclose(file);
  return contents;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: start_and_wait normal|hidden|show=N PROGRAM\n");
    return 2;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (strcmp(argv[1], "hidden") == 0) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
  } else if (strncmp(argv[1], "show=", 5) == 0) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(atoi(argv[1] + 5));
  }
  std::wstring commandLine = L"\"" + Wide(argv[2]) + L"\"" + Wide(ReadArguments());
  PROCESS_INFORMATION started;
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &started)) {
    printf("not started: %lu\n", GetLastError());
    return 1;
  }
  int splashSeen = 0;
  while (WaitForSingleObject(started.hProcess, 20) == WAIT_TIMEOUT)
    if (FindWindowA("ZeKotSetupWnd", nullptr) != nullptr) splashSeen = 1;
  DWORD code = 0;
  GetExitCodeProcess(started.hProcess, &code);
  printf("exit_code=%lu\nsplash_seen=%d\n", code, splashSeen);
  return 0;
}
