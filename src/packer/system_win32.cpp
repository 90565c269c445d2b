#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdlib>

#include "packer/system.h"

namespace packer {

namespace {

void (*g_cleanUp)() = nullptr;

BOOL WINAPI HandleControl(DWORD) {
  if (g_cleanUp != nullptr) g_cleanUp();
  ExitProcess(130);
  return TRUE;
}

}  // namespace

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
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

void OnInterrupt(void (*cleanUp)()) {
  g_cleanUp = cleanUp;
  SetConsoleCtrlHandler(HandleControl, TRUE);
}

}  // namespace packer
