#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/platform.h"
#include "packer/system.h"

namespace packer {

namespace {

void (*g_cleanUp)() = nullptr;
UINT g_consoleOutputPage = 0;

// Whether the shared core is unpacking, and whether a stop waits for it to let go.
enum CoreState : LONG { CORE_IDLE, CORE_WORKING, CORE_STOPPING };
volatile LONG g_coreState = CORE_IDLE;
HANDLE g_coreLetGo = nullptr;
volatile LONG g_stopping = 0;
// Long enough to finish decoding a large file after the stop, short enough that a stuck run
// still ends.
const DWORD kCoreWaitMs = 30000;

BOOL WINAPI HandleControl(DWORD) {
  // This runs on a thread of its own while the main thread goes on. The files the tool writes
  // itself were opened so that they can be deleted while open: the main thread may write on
  // into the deleted file, whose name is gone once the process has ended. The shared core's are
  // not, so it is made to fail and close them first (see CoreAtWork). TerminateProcess, not
  // ExitProcess: the C runtime's clean-up would wait for locks the main thread may hold.
  // Each event gets a thread of its own: a second stop waits for the first clean-up, which ends
  // the process.
  if (InterlockedExchange(&g_stopping, 1) != 0) Sleep(INFINITE);
  RefuseNewFiles();
  if (InterlockedCompareExchange(&g_coreState, CORE_STOPPING, CORE_WORKING) == CORE_WORKING)
    WaitForSingleObject(g_coreLetGo, kCoreWaitMs);
  if (g_cleanUp != nullptr) g_cleanUp();
  if (g_consoleOutputPage != 0) SetConsoleOutputCP(g_consoleOutputPage);
  TerminateProcess(GetCurrentProcess(), 130);
  return TRUE;
}

void RestoreConsole() {
  SetConsoleOutputCP(g_consoleOutputPage);
}

// The path as the ANSI calls spell it; false when some character has no exact spelling there.
bool ToAnsi(const std::wstring& wide, std::string* out) {
  BOOL lossy = FALSE;
  int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(),
                                 static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
  if (size <= 0 || lossy) return false;
  out->assign(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), static_cast<int>(wide.size()),
                      &(*out)[0], size, nullptr, nullptr);
  return true;
}

void AppendUtf16(const wchar_t* text, int length, std::u32string* out) {
  for (int i = 0; i < length; ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00);
    out->push_back(c);
  }
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    int length = static_cast<int>(wcslen(argv[i]));
    int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
      WideCharToMultiByte(CP_UTF8, 0, argv[i], length, &text[0], size, nullptr, nullptr);
    arguments.push_back(text);
  }
  return arguments;
}

void PrepareConsole() {
  UINT page = GetConsoleOutputCP();
  if (page == 0 || page == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  // The console outlives the program: the user's own setting comes back at a normal exit.
  g_consoleOutputPage = page;
  atexit(RestoreConsole);
}

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

bool IsTerminal(FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

void UseBinaryMode(FILE* stream) {
  _setmode(_fileno(stream), _O_BINARY);
}

FILE* OpenForReading(const std::filesystem::path& path) {
  // Deletable while open, as what the tool writes: a stop takes away a copy of standard input
  // while it is being read.
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return StreamOnHandle(handle, 0);
}

std::filesystem::path ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void WriteStderrNow(const char* text, size_t size) {
  DWORD wrote;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(size), &wrote, nullptr);
}

FILE* CreateNewFile(const std::filesystem::path& path, NewFile life) {
  // A file marked for deletion can no longer be opened, one made to go when its handle closes
  // can: by others that let it be deleted (OpenForReading).
  HANDLE handle = CreateFileW(
      path.c_str(), GENERIC_READ | GENERIC_WRITE | (life != NewFile::kept ? DELETE : 0),
      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL |
          (life == NewFile::readByName || life == NewFile::unnamed ? FILE_FLAG_DELETE_ON_CLOSE : 0),
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  if (life == NewFile::putInPlace) {
    // Marked, not FILE_FLAG_DELETE_ON_CLOSE: a mark can be taken back once the file is whole.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
      CloseHandle(handle);
      DeleteFileW(path.c_str());
      return nullptr;
    }
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "w+b");
  if (file == nullptr) _close(fd);
  return file;
}

bool PutInPlace(FILE* file, const std::filesystem::path& temporary,
                const std::filesystem::path& target, std::string* error) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  FILE_DISPOSITION_INFO keep = {FALSE};
  if (fflush(file) != 0 || !FlushFileBuffers(handle)) {
    fclose(file);
    *error = "write failed (disk full?)";
    return false;
  }
  // Renamed through the handle while the mark is off, so that no moment leaves the file under
  // its temporary name unmarked.
  const std::wstring full = std::filesystem::absolute(target).wstring();
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + full.size() * sizeof(wchar_t));
  FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(full.size() * sizeof(wchar_t));
  memcpy(rename->FileName, full.c_str(), full.size() * sizeof(wchar_t));
  bool renamed =
      SetFileInformationByHandle(handle, FileDispositionInfo, &keep, sizeof keep) &&
      SetFileInformationByHandle(handle, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()));
  DWORD code = renamed ? 0 : GetLastError();
  const bool closed = fclose(file) == 0;
  // A file made without the mark, or a system that cannot rename by handle: by name.
  if (!renamed && closed &&
      MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
    renamed = true;
  if (!renamed) {
    DeleteFileW(temporary.c_str());
    *error = "cannot be replaced (error " + std::to_string(code ? code : GetLastError()) + ")";
    return false;
  }
  if (!closed) *error = "write failed (disk full?)";
  return closed;
}

void GiveUsualAccess(FILE*) {}

std::filesystem::path StandardOutputFile() {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || GetFileType(handle) != FILE_TYPE_DISK)
    return {};
  std::vector<wchar_t> name(32768);
  DWORD length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                           FILE_NAME_NORMALIZED);
  if (length == 0 || length >= name.size()) return {};
  return std::wstring(name.data(), length);
}

bool ToCorePath(const std::filesystem::path& path, std::string* out) {
  const DWORD kRoom = 32768;
  std::vector<wchar_t> full(kRoom), brief(kRoom);
  DWORD length = GetFullPathNameW(path.c_str(), kRoom, full.data(), nullptr);
  if (length == 0 || length >= kRoom) return false;
  // A name the ANSI code page cannot spell is reached through its short form, as the launcher
  // reaches its own folder: never through a best-fit look-alike, which may name another file.
  if (!ToAnsi(full.data(), out)) {
    length = GetShortPathNameW(full.data(), brief.data(), kRoom);
    if (length == 0 || length >= kRoom || !ToAnsi(brief.data(), out)) return false;
  }
  return out->size() < MAX_PATH;
}

bool ToTargetName(const std::filesystem::path& name, int codePage, std::string* out,
                  std::string* error) {
  const std::wstring wide = name.wstring();
  bool ascii = true;
  for (wchar_t c : wide) ascii = ascii && c < 0x80;
  if (ascii) {
    out->assign(wide.begin(), wide.end());
    return true;
  }
  if (codePage == 0) {
    *error = "name is not plain ASCII; name the target code page with --codepage";
    return false;
  }
  BOOL lossy = FALSE;
  int size = WideCharToMultiByte(static_cast<UINT>(codePage), WC_NO_BEST_FIT_CHARS, wide.c_str(),
                                 static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
  if (size <= 0 || lossy) {
    *error = "name cannot be written in code page " + std::to_string(codePage);
    return false;
  }
  out->assign(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(static_cast<UINT>(codePage), WC_NO_BEST_FIT_CHARS, wide.c_str(),
                      static_cast<int>(wide.size()), &(*out)[0], size, nullptr, nullptr);
  return true;
}

std::filesystem::path FromPortablePath(const std::string& portable) {
  // The core works in the ANSI code page, as the launcher does.
  int size = MultiByteToWideChar(CP_ACP, 0, portable.data(), static_cast<int>(portable.size()),
                                 nullptr, 0);
  std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0)
    MultiByteToWideChar(CP_ACP, 0, portable.data(), static_cast<int>(portable.size()), &wide[0],
                        size);
  return wide;
}

bool IsKnownCodePage(int codePage) {
  return IsValidCodePage(static_cast<UINT>(codePage)) != 0;
}

bool DecodeCodePage(const std::string& bytes, int codePage, std::u32string* out) {
  UINT page = static_cast<UINT>(codePage);
  CPINFO info;
  if (!IsValidCodePage(page) || !GetCPInfo(page, &info)) return false;
  out->clear();
  const char* text = bytes.data();
  int length = static_cast<int>(bytes.size());
  if (length == 0) return true;
  int size = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
  if (size > 0) {
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text, length, &wide[0], size);
    AppendUtf16(wide.data(), size, out);
    return true;
  }
  // Some byte starts no character: one character at a time, so that only the bad bytes become
  // escapes. Double-byte pages say which bytes lead; in longer encodings every byte beyond ASCII
  // of such a name stands for itself.
  for (int i = 0; i < length;) {
    unsigned char first = static_cast<unsigned char>(text[i]);
    int take = info.MaxCharSize == 2 && IsDBCSLeadByteEx(page, first) && i + 1 < length ? 2 : 1;
    wchar_t wide[2];
    int got = first < 0x80 || info.MaxCharSize <= 2
                  ? MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text + i, take, wide, 2)
                  : 0;
    if (got > 0) {
      AppendUtf16(wide, got, out);
      i += take;
    } else {
      out->push_back(0xDC00 + first);
      ++i;
    }
  }
  return true;
}

char32_t UpperCase(char32_t c) {
  if (c > 0xFFFF) return c;
  wchar_t in = static_cast<wchar_t>(c), upper = in;
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &in, 1, &upper, 1) != 1) return c;
  return static_cast<char16_t>(upper);
}

void RemoveNow(const PathChar* path, bool keepTop) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!keepTop) DeleteFileW(path);
    return;
  }
  // A junction or directory link goes with RemoveDirectoryW, which leaves its target alone; only
  // the directory the user named is emptied through a link.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !keepTop) {
    RemoveDirectoryW(path);
    return;
  }
  std::wstring pattern = std::wstring(path) + L"\\*";
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
      RemoveNow((std::wstring(path) + L"\\" + data.cFileName).c_str(), false);
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  if (!keepTop) RemoveDirectoryW(path);
}

void OnInterrupt(void (*cleanUp)()) {
  g_cleanUp = cleanUp;
  static const BOOL installed = SetConsoleCtrlHandler(HandleControl, TRUE);
  (void)installed;
}

CoreAtWork::CoreAtWork() {
  if (g_coreLetGo == nullptr) g_coreLetGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  InterlockedExchange(&g_coreState, CORE_WORKING);
}

CoreAtWork::~CoreAtWork() {
  if (InterlockedCompareExchange(&g_coreState, CORE_IDLE, CORE_WORKING) == CORE_WORKING) return;
  // A stop is waiting: the core has let go of its files, the handler takes over and ends the
  // process.
  SetEvent(g_coreLetGo);
  Sleep(INFINITE);
}

bool Stopping() {
  return g_stopping != 0;
}

}  // namespace packer
