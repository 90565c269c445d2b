// look_at_splash WAIT_MS [cover]: waits up to WAIT_MS for a visible window of the splash class
// and prints, one "key=value" per line, what the system knows of it: class, title, style, window
// and client rectangles, the desktop's size, and how many windows of that class exist. With
// "cover" it then lays a window of its own over the splash and takes it away again, so that the
// splash has to repaint what was covered. Prints "found=0" when no splash appeared in time.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char SPLASH_CLASS[] = "ZeKotSetupWnd";

BOOL CALLBACK CountSplash(HWND window, LPARAM count) {
  char name[64];
  if (GetClassNameA(window, name, sizeof name) && strcmp(name, SPLASH_CLASS) == 0)
    ++*reinterpret_cast<int*>(count);
  return TRUE;
}

void PumpFor(DWORD milliseconds) {
  DWORD start = GetTickCount();
  MSG message;
  while (GetTickCount() - start < milliseconds) {
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(10);
  }
}

// A magenta window of the splash's size on top of it, shown and taken away again.
void CoverAndUncover(HWND splash) {
  RECT area;
  GetWindowRect(splash, &area);
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hbrBackground = CreateSolidBrush(RGB(255, 0, 255));
  windowClass.lpszClassName = "SplashCover";
  RegisterClassExA(&windowClass);
  HWND cover = CreateWindowExA(WS_EX_TOPMOST, "SplashCover", "", WS_POPUP | WS_VISIBLE, area.left,
                               area.top, area.right - area.left, area.bottom - area.top, nullptr,
                               nullptr, windowClass.hInstance, nullptr);
  UpdateWindow(cover);
  PumpFor(500);
  DestroyWindow(cover);
  PumpFor(200);
  printf("covered=%d\n", cover != nullptr ? 1 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // plain "\n" lines for the shell
  if (argc < 2) {
    fprintf(stderr, "usage: look_at_splash WAIT_MS [cover]\n");
    return 2;
  }
  DWORD wait = static_cast<DWORD>(atoi(argv[1]));
  DWORD start = GetTickCount();
  HWND splash = nullptr;
  for (;;) {
    splash = FindWindowA(SPLASH_CLASS, nullptr);
    if (splash != nullptr && IsWindowVisible(splash)) break;
    splash = nullptr;
    if (GetTickCount() - start >= wait) break;
    Sleep(50);
  }
  int count = 0;
  EnumWindows(CountSplash, reinterpret_cast<LPARAM>(&count));
  printf("found=%d\ncount=%d\n", splash != nullptr ? 1 : 0, count);
  if (splash == nullptr) return 0;

  char text[256];
  GetClassNameA(splash, text, sizeof text);
  printf("class=%s\n", text);
  int length = GetWindowTextA(splash, text, sizeof text);
  printf("title_length=%d\n", length);
  LONG style = GetWindowLongA(splash, GWL_STYLE);
  printf("popup=%d\ncaption=%d\nborder=%d\n", (style & WS_POPUP) ? 1 : 0,
         (style & WS_CAPTION) == WS_CAPTION ? 1 : 0,
         (style & (WS_BORDER | WS_THICKFRAME | WS_DLGFRAME)) ? 1 : 0);
  printf("exstyle=0x%lx\n", static_cast<unsigned long>(GetWindowLongA(splash, GWL_EXSTYLE)));
  RECT rect;
  GetWindowRect(splash, &rect);
  printf("window=%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left,
         rect.top);
  GetClientRect(splash, &rect);
  printf("client=%ldx%ld\n", rect.right - rect.left, rect.bottom - rect.top);
  GetWindowRect(GetDesktopWindow(), &rect);
  printf("desktop=%ldx%ld\n", rect.right - rect.left, rect.bottom - rect.top);
  fflush(stdout);
  if (argc > 2 && strcmp(argv[2], "cover") == 0) CoverAndUncover(splash);
  return 0;
}
