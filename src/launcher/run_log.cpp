#include "launcher/run_log.h"

namespace {

// Whatever the command line or a path holds: 32767 UTF-16 units at most, three bytes each.
enum { LONGEST_TEXT = 32768, LONGEST_LINE = 3 * LONGEST_TEXT + 64 };

HANDLE g_log = INVALID_HANDLE_VALUE;
wchar_t g_wide[LONGEST_TEXT];
char g_line[LONGEST_LINE];

}  // namespace

void OpenRunLog() {
  DWORD length = GetEnvironmentVariableW(L"SETUP_LAUNCHER_LOG", g_wide, LONGEST_TEXT);
  if (length == 0 || length >= LONGEST_TEXT) return;
  // Appending only, so that lines of runs that share the log never overwrite each other. The
  // link itself is opened, never what it leads to, and is then refused below.
  HANDLE log =
      CreateFileW(g_wide, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (log == INVALID_HANDLE_VALUE) {
    OutputDebugStringA("setup: log cannot be opened\n");
    return;
  }
  BY_HANDLE_FILE_INFORMATION file;
  if (!GetFileInformationByHandle(log, &file) ||
      (file.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      file.nNumberOfLinks != 1) {
    CloseHandle(log);
    OutputDebugStringA("setup: log not written: a link or a file of several names\n");
    return;
  }
  g_log = log;
}

void LogWideLine(const char* label, const wchar_t* text) {
  if (g_log == INVALID_HANDLE_VALUE) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  int used = wsprintfA(g_line, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] %s", now.wYear, now.wMonth,
                       now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                       GetCurrentProcessId(), label);
  int converted = WideCharToMultiByte(CP_UTF8, 0, text, -1, g_line + used, LONGEST_LINE - used - 2,
                                      nullptr, nullptr);
  if (converted > 0) used += converted - 1;
  g_line[used++] = '\r';
  g_line[used++] = '\n';
  DWORD written;
  WriteFile(g_log, g_line, static_cast<DWORD>(used), &written, nullptr);
}

void LogLine(const char* label, const char* text) {
  if (g_log == INVALID_HANDLE_VALUE) return;
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, g_wide, LONGEST_TEXT) == 0) g_wide[0] = L'\0';
  LogWideLine(label, g_wide);
}

void LogNumber(const char* label, DWORD number) {
  if (g_log == INVALID_HANDLE_VALUE) return;
  char digits[16];
  wsprintfA(digits, "%lu", number);
  LogLine(label, digits);
}
