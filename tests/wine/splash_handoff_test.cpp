// The hand-off between ShowSplash and its thread when the 30 s wait runs out, and the close,
// run under Wine with "setup.bmp" beside this program and a display. The wait is not sat
// through: the test stands between ShowSplash and the system's wait, holds the splash thread in
// its bitmap load for as long as a case needs, and holds any hiding of a window until the close
// has returned, as a window manager that never confirms a hide would. Prints each failed check;
// the exit code counts them.
#include <windows.h>

#include <cstdio>

#include "common/platform.h"
#include "import_hook.h"
#include "splash/splash.h"

namespace {

const DWORD SPLASH_WAIT = 30000;
const DWORD THREAD_END_WAIT = 20000;
// Only there so that a close that does wait for the hide comes back at all: the check is on
// whether it came back before the hide was let through, not on how long anything took.
const DWORD HIDE_HOLD_LIMIT = 10000;

enum WaitMode { WAIT_REAL, WAIT_TIMES_OUT_AT_ONCE, WAIT_TIMES_OUT_AS_ANSWERED };

decltype(&WaitForSingleObject) g_realWait;
decltype(&LoadImageA) g_realLoadImage;
decltype(&SetEvent) g_realSetEvent;
decltype(&CloseHandle) g_realCloseHandle;
decltype(&CreateThread) g_realCreateThread;
decltype(&ShowWindow) g_realShowWindow;
decltype(&SetWindowPos) g_realSetWindowPos;
decltype(&DestroyWindow) g_realDestroyWindow;

WaitMode g_waitMode = WAIT_REAL;
HANDLE g_loadGate;  // the splash thread's bitmap load waits for it
HANDLE g_splashThread;
volatile LONG g_splashWaits;
volatile LONG g_failedHandleCalls;
bool g_holdHides;
HANDLE g_closeReturned;  // the hides held wait for it
volatile LONG g_hidesHeldUpClose;
int g_failures;
char g_bitmapPath[PATH_BUFFER];  // setup.bmp beside this program

void Check(bool ok, const char* what) {
  if (ok) return;
  printf("FAILED: %s\n", what);
  ++g_failures;
}

DWORD WINAPI HookedWait(HANDLE handle, DWORD milliseconds) {
  if (milliseconds != SPLASH_WAIT || g_waitMode == WAIT_REAL)
    return g_realWait(handle, milliseconds);
  InterlockedIncrement(&g_splashWaits);
  // The splash thread answers at the very moment the wait gives up.
  if (g_waitMode == WAIT_TIMES_OUT_AS_ANSWERED) g_realWait(handle, INFINITE);
  return WAIT_TIMEOUT;
}

HANDLE WINAPI HookedLoadImage(HINSTANCE instance, LPCSTR name, UINT type, int width, int height,
                              UINT flags) {
  g_realWait(g_loadGate, INFINITE);
  return g_realLoadImage(instance, name, type, width, height, flags);
}

// A handle closed too early shows up as a call on it that fails.
BOOL WINAPI HookedSetEvent(HANDLE event) {
  BOOL ok = g_realSetEvent(event);
  if (!ok) InterlockedIncrement(&g_failedHandleCalls);
  return ok;
}

BOOL WINAPI HookedCloseHandle(HANDLE handle) {
  BOOL ok = g_realCloseHandle(handle);
  if (!ok) InterlockedIncrement(&g_failedHandleCalls);
  return ok;
}

HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                 LPDWORD id) {
  HANDLE thread = g_realCreateThread(security, stack, start, parameter, flags, id);
  if (thread != nullptr) {
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &g_splashThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  }
  return thread;
}

// A hide waits until the close has returned; one that has to give up first held up the close.
void HoldHide() {
  if (g_holdHides && g_realWait(g_closeReturned, HIDE_HOLD_LIMIT) != WAIT_OBJECT_0)
    InterlockedIncrement(&g_hidesHeldUpClose);
}

BOOL WINAPI HookedShowWindow(HWND window, int command) {
  if (command == SW_HIDE) HoldHide();
  return g_realShowWindow(window, command);
}

BOOL WINAPI HookedSetWindowPos(HWND window, HWND after, int x, int y, int width, int height,
                               UINT flags) {
  if (flags & SWP_HIDEWINDOW) HoldHide();
  return g_realSetWindowPos(window, after, x, y, width, height, flags);
}

BOOL WINAPI HookedDestroyWindow(HWND window) {
  if (IsWindowVisible(window)) HoldHide();
  return g_realDestroyWindow(window);
}

bool SplashThreadEnds() {
  bool ended = g_realWait(g_splashThread, THREAD_END_WAIT) == WAIT_OBJECT_0;
  g_realCloseHandle(g_splashThread);
  g_splashThread = nullptr;
  return ended;
}

void StartCase(WaitMode mode, bool loadMayGoOn) {
  g_waitMode = mode;
  g_splashWaits = 0;
  g_failedHandleCalls = 0;
  if (loadMayGoOn)
    g_realSetEvent(g_loadGate);
  else
    ResetEvent(g_loadGate);
}

// The normal case, for comparison: the window comes back; closing it ends its thread and takes
// it off the screen, and does not wait on its hiding, which the window manager may confirm late
// or never.
void AnsweredInTime() {
  StartCase(WAIT_REAL, true);
  HWND splash = ShowSplash(GetModuleHandleA(nullptr), SW_SHOW, g_bitmapPath);
  Check(splash != nullptr && IsWindowVisible(splash), "in time: a visible window comes back");
  g_holdHides = true;
  ResetEvent(g_closeReturned);
  g_hidesHeldUpClose = 0;
  CloseSplash(splash);
  bool gone = !IsWindowVisible(splash);
  g_realSetEvent(g_closeReturned);
  Check(g_hidesHeldUpClose == 0, "in time: closing does not wait for the window to be hidden");
  Check(gone, "in time: off the screen as soon as CloseSplash returns");
  Check(SplashThreadEnds(), "in time: the splash thread ends when closed");
  g_holdHides = false;
  Check(g_failedHandleCalls == 0, "in time: no call on a closed handle");
}

// The thread is still loading the bitmap when the wait gives up. Its late window must not stay
// on the screen with nobody to close it, and the request and event it still uses must stay
// valid until it is done with them.
void AnsweredAfterTimeOut() {
  StartCase(WAIT_TIMES_OUT_AT_ONCE, false);
  HWND splash = ShowSplash(GetModuleHandleA(nullptr), SW_SHOW, g_bitmapPath);
  Check(g_splashWaits == 1, "late: ShowSplash waits for the splash thread with a 30 s limit");
  Check(splash == nullptr, "late: no window after the time-out");
  g_realSetEvent(g_loadGate);
  Check(SplashThreadEnds(), "late: the splash thread ends by itself");
  Check(FindWindowA("ZeKotSetupWnd", nullptr) == nullptr, "late: the late window is gone");
  Check(g_failedHandleCalls == 0, "late: the event stays valid while the splash thread uses it");
}

// The thread answers just as the wait gives up: its window is taken all the same, since nobody
// else would close it.
void AnsweredAtTimeOut() {
  StartCase(WAIT_TIMES_OUT_AS_ANSWERED, true);
  HWND splash = ShowSplash(GetModuleHandleA(nullptr), SW_SHOW, g_bitmapPath);
  Check(g_splashWaits == 1, "at time-out: the 30 s wait was made");
  Check(splash != nullptr && IsWindowVisible(splash), "at time-out: the window comes back");
  SendMessageA(splash, WM_DESTROY, 0, 0);
  Check(SplashThreadEnds(), "at time-out: the splash thread ends after WM_DESTROY");
  Check(g_failedHandleCalls == 0, "at time-out: no call on a closed handle");
}

}  // namespace

int main() {
  bool hooked =
      HookImport("kernel32.dll", "WaitForSingleObject", HookedWait, &g_realWait) &&
      HookImport("user32.dll", "LoadImageA", HookedLoadImage, &g_realLoadImage) &&
      HookImport("kernel32.dll", "SetEvent", HookedSetEvent, &g_realSetEvent) &&
      HookImport("kernel32.dll", "CloseHandle", HookedCloseHandle, &g_realCloseHandle) &&
      HookImport("kernel32.dll", "CreateThread", HookedCreateThread, &g_realCreateThread) &&
      HookImport("user32.dll", "ShowWindow", HookedShowWindow, &g_realShowWindow) &&
      HookImport("user32.dll", "SetWindowPos", HookedSetWindowPos, &g_realSetWindowPos) &&
      HookImport("user32.dll", "DestroyWindow", HookedDestroyWindow, &g_realDestroyWindow);
  if (!hooked) {
    printf("FAILED: the calls to stand between are not imported\n");
    return 1;
  }
  GetSplashBitmapPath(g_bitmapPath);
  g_loadGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_closeReturned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  AnsweredInTime();
  AnsweredAfterTimeOut();
  AnsweredAtTimeOut();
  printf("%d failed\n", g_failures);
  return g_failures;
}
