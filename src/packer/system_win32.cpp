#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "packer/system.h"

namespace packer {

namespace {

void (*g_cleanUp)() = nullptr;

BOOL WINAPI HandleControl(DWORD) {
  // This runs on a thread of its own while the main thread goes on; a file the main thread holds
  // open at this moment cannot be deleted and stays.
  if (g_cleanUp != nullptr) g_cleanUp();
  ExitProcess(130);
  return TRUE;
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

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
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

FILE* CreateNewFile(const std::filesystem::path& path) {
  int fd = _wopen(path.wstring().c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                  _S_IREAD | _S_IWRITE);
  return fd >= 0 ? _fdopen(fd, "wb") : nullptr;
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

}  // namespace packer
