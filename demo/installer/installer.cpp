// The demo's Installer.exe: shows a window that lists what it found beside itself, writes a file
// there for the launcher to clean up, and closes itself after a few seconds. What it saw goes to
// "demo-installer.log" in its current directory, which is the launcher's, so the demo script can
// tell what happened.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const UINT_PTR TICK_TIMER = 1;
const int SECONDS_SHOWN = 4;
const int MAX_LINES = 24;

char g_lines[MAX_LINES][MAX_PATH + 16];
int g_lineCount;
int g_secondsLeft = SECONDS_SHOWN;
FILE* g_log;

void AddLine(const char* text) {
  if (g_log != nullptr) fprintf(g_log, "%s\n", text);
  if (g_lineCount < MAX_LINES) lstrcpynA(g_lines[g_lineCount++], text, sizeof g_lines[0]);
}

void ListFiles(const char* root, const char* relative) {
  char pattern[MAX_PATH + 8];
  snprintf(pattern, sizeof pattern, "%s%s\\*", root, relative);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
    char child[MAX_PATH + 8];
    snprintf(child, sizeof child, "%s\\%s", relative, found.cFileName);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListFiles(root, child);
    } else {
      char line[MAX_PATH + 16];
      snprintf(line, sizeof line, "  unpacked: %s (%lu bytes)", child + 1, found.nFileSizeLow);
      AddLine(line);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  SetBkMode(dc, TRANSPARENT);
  int y = 12;
  for (int i = 0; i < g_lineCount; ++i, y += 18)
    TextOutA(dc, 12, y, g_lines[i], lstrlenA(g_lines[i]));
  char closing[64];
  snprintf(closing, sizeof closing, "Closing in %d s.", g_secondsLeft);
  TextOutA(dc, 12, y + 10, closing, lstrlenA(closing));
  EndPaint(window, &paint);
}

LRESULT CALLBACK InstallerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_TIMER:
      if (--g_secondsLeft <= 0) DestroyWindow(window);
      InvalidateRect(window, nullptr, TRUE);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  g_log = fopen("demo-installer.log", "w");
  char own[MAX_PATH];
  GetModuleFileNameA(nullptr, own, MAX_PATH);
  char* cut = strrchr(own, '\\');
  if (cut != nullptr) *cut = '\0';
  char line[MAX_PATH + 32];
  snprintf(line, sizeof line, "Demo installer running in %s", own);
  AddLine(line);
  ListFiles(own, "");

  snprintf(line, sizeof line, "%s\\installed.txt", own);
  FILE* written = fopen(line, "w");
  if (written != nullptr) {
    fputs("Written by the demo installer; the launcher removes it with the install directory.\n",
          written);
    fclose(written);
    AddLine("  wrote: installed.txt");
  }

  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = InstallerWndProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = "DemoInstallerWnd";
  RegisterClassExA(&windowClass);
  HWND window = CreateWindowExA(0, "DemoInstallerWnd", "Demo installer", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 560, 120 + 18 * g_lineCount, nullptr,
                                nullptr, instance, nullptr);
  ShowWindow(window, showCommand);
  UpdateWindow(window);
  SetTimer(window, TICK_TIMER, 1000, nullptr);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  AddLine("exit code 0");
  if (g_log != nullptr) fclose(g_log);
  return 0;
}
