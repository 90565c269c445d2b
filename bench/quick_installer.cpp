// The benchmark's Installer.exe: it only tells the stopwatch that it was started, then exits at
// once, so that a timed run is all unpacking, starting and cleaning up. The stopwatch owns the
// event; started by anyone else, the program just exits.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HANDLE started = OpenEventA(EVENT_MODIFY_STATE, FALSE, "setup-bench-installer-started");
  if (started != nullptr) {
    SetEvent(started);
    CloseHandle(started);
  }
  return 0;
}
