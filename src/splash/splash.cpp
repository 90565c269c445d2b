#include "splash/splash.h"

#include <cstdlib>

#include "common/paths.h"

namespace {

const char SPLASH_CLASS[] = "ZeKotSetupWnd";
const DWORD SPLASH_ANSWER_TIMEOUT = 30000;
// Ending the splash thread takes moments; a thread stuck for longer leaves its window up rather
// than keep the installer from starting.
const DWORD SPLASH_END_TIMEOUT = 5000;

enum { REQUEST_WAITING, REQUEST_ANSWERED, REQUEST_ABANDONED };

// The hand-off between ShowSplash and the splash thread. Whoever is last to need it releases it:
// ShowSplash when the thread answered in time, the thread when ShowSplash stopped waiting first.
struct SplashRequest {
  HANDLE event;  // manual reset, set once the window exists or failed to exist
  HINSTANCE instance;
  int showCommand;
  const char* bitmapPath;  // null for no splash
  HWND window;
  volatile LONG state;  // REQUEST_*, changed only by interlocked exchange
};

// Owned by the splash thread alone. The bitmap is never released: it lives as long as the window.
HBITMAP g_bitmap;
int g_width;
int g_height;

// Loaded before the window exists, so that a missing or unreadable bitmap means no window at all
// rather than one of whatever size a failed query left behind.
int LoadSplashBitmap(const char* path) {
  if (path == nullptr) return 0;
  g_bitmap = static_cast<HBITMAP>(LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
  if (g_bitmap == nullptr) return 0;
  BITMAP size;
  if (GetObjectA(g_bitmap, sizeof size, &size) != sizeof size) return 0;
  g_width = size.bmWidth;
  g_height = size.bmHeight;
  return g_width > 0 && g_height > 0;
}

void PaintSplash(HWND window) {
  PAINTSTRUCT paint;
  HDC target = BeginPaint(window, &paint);
  HDC source = CreateCompatibleDC(target);
  HGDIOBJ previous = SelectObject(source, g_bitmap);
  BitBlt(target, 0, 0, g_width, g_height, source, 0, 0, SRCCOPY);
  SelectObject(source, previous);
  DeleteDC(source);
  EndPaint(window, &paint);
}

LRESULT CALLBACK SplashWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      SetWindowPos(window, nullptr, 0, 0, g_width, g_height,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOOWNERZORDER);
      CenterOnDesktop(window);
      break;
    case WM_CLOSE:
      // Neither hidden nor destroyed here: either waits for a window manager to confirm the hide
      // (under X without one, about two seconds for nothing), and CloseSplash waits for this
      // thread. Ending the thread takes the window with it at once.
      PostQuitMessage(0);
      return 0;
    case WM_DESTROY:  // destroyed by other means, the window ends the loop all the same
      PostQuitMessage(0);
      break;
    case WM_PAINT:
      PaintSplash(window);
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateSplashWindow(HINSTANCE instance) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = SplashWndProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.lpszClassName = SPLASH_CLASS;
  RegisterClassExA(&windowClass);
  return CreateWindowExA(0, SPLASH_CLASS, "", WS_POPUP, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr,
                         nullptr, instance, nullptr);
}

DWORD WINAPI SplashThread(LPVOID parameter) {
  SplashRequest* request = static_cast<SplashRequest*>(parameter);
  HWND window = nullptr;
  if (LoadSplashBitmap(request->bitmapPath)) window = CreateSplashWindow(request->instance);
  if (window != nullptr) {
    ShowWindow(window, request->showCommand);
    UpdateWindow(window);
  }

  request->window = window;
  if (InterlockedCompareExchange(&request->state, REQUEST_ANSWERED, REQUEST_WAITING) !=
      REQUEST_WAITING) {
    // ShowSplash gave up waiting: nobody would ever close this window, and the request is ours.
    CloseHandle(request->event);
    free(request);
    if (window != nullptr) DestroyWindow(window);
    return 0;
  }
  SetEvent(request->event);
  // From here on the request belongs to ShowSplash.

  if (window == nullptr) return 0;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

}  // namespace

HWND ShowSplash(HINSTANCE instance, int showCommand, const char* bitmapPath) {
  SplashRequest* request = static_cast<SplashRequest*>(malloc(sizeof(SplashRequest)));
  if (request == nullptr) return nullptr;
  request->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  request->instance = instance;
  request->showCommand = showCommand;
  request->bitmapPath = bitmapPath;
  request->window = nullptr;
  request->state = REQUEST_WAITING;

  HWND window = nullptr;
  HANDLE thread = nullptr;
  if (request->event != nullptr)
    thread = CreateThread(nullptr, 0, SplashThread, request, 0, nullptr);
  if (thread != nullptr) {
    CloseHandle(thread);
    if (WaitForSingleObject(request->event, SPLASH_ANSWER_TIMEOUT) != WAIT_OBJECT_0 &&
        InterlockedCompareExchange(&request->state, REQUEST_ABANDONED, REQUEST_WAITING) ==
            REQUEST_WAITING) {
      return nullptr;  // the splash thread releases the request when it gets that far
    }
    // Answered, possibly just after the time-out, in which case the event is about to be set.
    WaitForSingleObject(request->event, INFINITE);
    window = request->window;
  }
  if (request->event != nullptr) CloseHandle(request->event);
  free(request);
  return window;
}

void CloseSplash(HWND splash) {
  if (splash == nullptr) return;
  // Opened while the window exists, so that the id is still that of the splash thread.
  HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, GetWindowThreadProcessId(splash, nullptr));
  if (PostMessageA(splash, WM_CLOSE, 0, 0) && thread != nullptr)
    WaitForSingleObject(thread, SPLASH_END_TIMEOUT);
  if (thread != nullptr) CloseHandle(thread);
}

int GetSplashBitmapPath(char* out) {
  return FileBesideLauncher("setup.bmp", out);
}

void CenterOnDesktop(HWND window) {
  RECT desktop;
  RECT own;
  GetWindowRect(GetDesktopWindow(), &desktop);
  GetWindowRect(window, &own);
  int x = ((desktop.right - desktop.left) - (own.right - own.left)) / 2;
  int y = ((desktop.bottom - desktop.top) - (own.bottom - own.top)) / 2;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER);
}
