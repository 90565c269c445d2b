// The control for the DLL planting test: shows and closes a popup window as the splash does, but
// leaves the DLL search as the system sets it, so that a DLL planted beside it is found.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = "DllLoadControl";
  RegisterClassExA(&windowClass);
  HWND window = CreateWindowExA(0, "DllLoadControl", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                instance, nullptr);
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  DestroyWindow(window);
  return 0;
}
