// A stand-in for Installer.exe that writes down what it finds, for the launcher's Wine tests.
// Into the file named by PROBE_REPORT it writes, one "key=value" per line: its program path and
// command line (also the whole wide one, in UTF-8), the show state its startup information
// carries, if any, its current directory, the user it runs as and its directory's access list
// (SDDL), the value of PROBE_INHERITED, whether a splash window was visible when it started, the
// files beside it, and after PROBE_LINGER_MS of serving its windows how many of them the launcher
// made visible and topmost and whether one is in the foreground. It also leaves a file and a
// directory beside itself, for the launcher to remove; with PROBE_TRAPS set, also names that the
// ANSI calls cannot hold: names that best-fit mapping turns into paths out of the tree, names
// outside the ANSI code page and a tree deeper than MAX_PATH. PROBE_BUSY_MS keeps it from waiting
// for input that long after making its windows; PROBE_WINDOWS sets their number (1). They start
// hidden: only the launcher shows them. PROBE_EXIT_CODE sets its exit code (3), any 32-bit value.
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const UINT_PTR REPORT_TIMER = 1;

std::vector<HWND> g_windows;
std::string g_report;

void Add(const char* key, const std::string& value) {
  g_report += key;
  g_report += '=';
  g_report += value;
  g_report += '\n';
}

int EnvironmentNumber(const char* name, int fallback) {
  const char* value = getenv(name);
  return value != nullptr ? atoi(value) : fallback;
}

// In its short form, so that the ANSI calls below reach it whatever characters it has.
std::string OwnDirectory() {
  wchar_t wide[MAX_PATH];
  wchar_t shortPath[MAX_PATH];
  char path[MAX_PATH];
  GetModuleFileNameW(nullptr, wide, MAX_PATH);
  GetShortPathNameW(wide, shortPath, MAX_PATH);
  WideCharToMultiByte(CP_ACP, 0, shortPath, -1, path, MAX_PATH, nullptr, nullptr);
  std::string directory = path;
  return directory.substr(0, directory.rfind('\\'));
}

void ListTree(const std::string& root, const std::string& relative,
              std::vector<std::string>* names) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((root + relative + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    std::string entry = relative.empty() ? name : relative.substr(1) + "\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      names->push_back(entry + "\\");
      ListTree(root, relative + "\\" + name, names);
    } else {
      names->push_back(entry);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// The access list of the probe's own directory, in SDDL.
std::string OwnDirectoryAccess() {
  std::vector<char> descriptor(4096);
  DWORD needed = 0;
  char* text = nullptr;
  if (!GetFileSecurityA(OwnDirectory().c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                        static_cast<DWORD>(descriptor.size()), &needed) ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
    return "(unknown)";
  std::string access = text;
  LocalFree(text);
  return access;
}

std::string ProcessUser() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "(unknown)";
  std::vector<BYTE> info(256);
  DWORD length;
  BOOL known =
      GetTokenInformation(token, TokenUser, info.data(), static_cast<DWORD>(info.size()), &length);
  CloseHandle(token);
  char* text = nullptr;
  if (!known ||
      !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, &text))
    return "(unknown)";
  std::string user = text;
  LocalFree(text);
  return user;
}

void RecordStart() {
  char text[MAX_PATH * 2];
  GetModuleFileNameA(nullptr, text, MAX_PATH);
  Add("program", text);
  Add("command_line", GetCommandLineA());
  WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, text, sizeof text, nullptr, nullptr);
  Add("wide_command_line", text);
  STARTUPINFOW startup;
  GetStartupInfoW(&startup);
  Add("show_state", (startup.dwFlags & STARTF_USESHOWWINDOW) != 0
                        ? std::to_string(startup.wShowWindow)
                        : std::string("(none)"));
  GetCurrentDirectoryA(sizeof text, text);
  Add("current_directory", text);
  const char* inherited = getenv("PROBE_INHERITED");
  Add("inherited", inherited != nullptr ? inherited : "(unset)");
  HWND splash = FindWindowA("ZeKotSetupWnd", nullptr);
  Add("user", ProcessUser());
  Add("access", OwnDirectoryAccess());
  Add("splash_visible", splash != nullptr && IsWindowVisible(splash) ? "1" : "0");
  std::vector<std::string> names;
  ListTree(OwnDirectory(), "", &names);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) Add("beside", name);
}

void LeaveFilesBehind() {
  std::string directory = OwnDirectory() + "\\installer-data";
  CreateDirectoryA(directory.c_str(), nullptr);
  FILE* file = fopen((directory + "\\log.txt").c_str(), "w");
  int wrote = file != nullptr && fputs("written by the installer\n", file) >= 0;
  if (file != nullptr && fclose(file) != 0) wrote = 0;
  Add("wrote_beside", wrote ? "1" : "0");
}

// Made with the wide calls on "\\?\" paths, as an installer may.
class WideTree {
 public:
  WideTree() {
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    root_ = path;
    root_ = L"\\\\?\\" + root_.substr(0, root_.rfind(L'\\'));
  }
  bool Directory(const std::wstring& relative) {
    return CreateDirectoryW((root_ + L"\\" + relative).c_str(), nullptr) != 0;
  }
  bool File(const std::wstring& relative) {
    HANDLE file = CreateFileW((root_ + L"\\" + relative).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, "left by the installer\n", 22, &written, nullptr) && written == 22;
    return CloseHandle(file) && ok;
  }

 private:
  std::wstring root_;
};

void LeaveTrapsBehind() {
  WideTree tree;
  // U+FF3C, the fullwidth backslash. Best-fit mapped, the file is "..\..\victim.txt": from the
  // install directory, a file in the profile above the temporary directory; the directory below
  // "nest" leads to the same place.
  const std::wstring trap = L"..\uFF3C..\uFF3C";
  bool made = tree.File(trap + L"victim.txt") && tree.Directory(L"nest") &&
              tree.Directory(L"nest\\" + trap + L"..\uFF3Cvictim-dir") &&
              tree.File(L"nest\\" + trap + L"..\uFF3Cvictim-dir\\inner.txt");
  // Han and Polish letters, outside the ANSI code page of a Western system.
  const std::wstring foreign = L"\u4E2D\u6587";
  made = made && tree.Directory(foreign) && tree.File(foreign + L"\\" + foreign + L".log") &&
         tree.File(foreign + L"\\\u0141ukasz.txt");
  // 400 levels, some 2400 characters: far past MAX_PATH, within what Wine maps to a Unix path.
  std::wstring deep = L"deep";
  made = made && tree.Directory(deep);
  for (int level = 0; made && level < 400; ++level) {
    deep += L"\\level";
    made = tree.Directory(deep);
  }
  made = made && tree.File(deep + L"\\" + foreign + L".txt");
  Add("traps", made ? "1" : "0");
}

void RecordWindows() {
  int visible = 0;
  int topmost = 0;
  HWND foreground = GetForegroundWindow();
  int ownsForeground = 0;
  for (HWND window : g_windows) {
    if (IsWindowVisible(window)) ++visible;
    if (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) ++topmost;
    if (window == foreground) ownsForeground = 1;
  }
  Add("visible_windows", std::to_string(visible));
  Add("topmost_windows", std::to_string(topmost));
  Add("foreground", std::to_string(ownsForeground));
}

void WriteReport() {
  const char* path = getenv("PROBE_REPORT");
  if (path == nullptr) return;
  Add("done", "1");
  FILE* file = fopen(path, "wb");
  if (file == nullptr) return;
  fputs(g_report.c_str(), file);
  fclose(file);
}

LRESULT CALLBACK ProbeWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER && wParam == REPORT_TIMER) {
    KillTimer(window, REPORT_TIMER);
    RecordWindows();
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  RecordStart();
  LeaveFilesBehind();
  if (getenv("PROBE_TRAPS") != nullptr) LeaveTrapsBehind();

  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = ProbeWndProc;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = "ProbeInstallerWnd";
  RegisterClassExA(&windowClass);
  int count = EnvironmentNumber("PROBE_WINDOWS", 1);
  for (int i = 0; i < count; ++i) {
    g_windows.push_back(CreateWindowExA(0, "ProbeInstallerWnd", "Probe installer",
                                        WS_OVERLAPPEDWINDOW, 40 + 30 * i, 40 + 30 * i, 300, 200,
                                        nullptr, nullptr, instance, nullptr));
  }
  if (g_windows.empty() || g_windows[0] == nullptr) {
    Add("windows", "cannot be created");
    WriteReport();
    return 3;
  }
  // Busy with windows that exist but do not answer yet.
  Sleep(EnvironmentNumber("PROBE_BUSY_MS", 0));
  SetTimer(g_windows[0], REPORT_TIMER, EnvironmentNumber("PROBE_LINGER_MS", 1500), nullptr);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  WriteReport();
  // Not 0, so that a launcher that passed the installer's exit code on would be noticed.
  const char* exitCode = getenv("PROBE_EXIT_CODE");
  return exitCode != nullptr ? static_cast<int>(strtoul(exitCode, nullptr, 0)) : 3;
}
