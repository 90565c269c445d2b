// Win32 implementation of the platform layer, with the ANSI calls throughout, except for the two
// paths the system hands over (the temporary directory, the launcher's own): those are read wide
// and put into ANSI only where that is exact.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "common/paths.h"
#include "common/platform.h"

struct DirSearchState {
  HANDLE handle;
};

namespace {

void FillEntry(const WIN32_FIND_DATAA& data, DirEntry* entry) {
  lstrcpynA(entry->name, data.cFileName, MAX_PATH);
  entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  entry->isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
}

// The ANSI spelling of a path, only when it names the same file: a character the code page lacks
// would come out as '?', which names nothing, or as a look-alike ("Ł" as "L"), which names
// somebody else's directory.
int ToAnsiPath(const wchar_t* wide, char* out, size_t size) {
  BOOL usedDefault = FALSE;
  // With UTF-8 as the ANSI code page every valid path converts, and Windows refuses the best-fit
  // flag and the default-character report there.
  int utf8 = GetACP() == CP_UTF8;
  int n = WideCharToMultiByte(CP_ACP, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide, -1,
                              out, static_cast<int>(size), nullptr, utf8 ? nullptr : &usedDefault);
  return n > 0 && !usedDefault;
}

// The path in ANSI, or else its short form, whose names the system keeps in plain characters.
// Where the volume keeps no short names that form is the long one again, and there is no ANSI
// path at all.
int ToAnsiOrShortPath(const wchar_t* wide, char* out, size_t size) {
  if (ToAnsiPath(wide, out, size)) return 1;
  wchar_t shortPath[PATH_BUFFER];
  DWORD n = GetShortPathNameW(wide, shortPath, PATH_BUFFER);
  if (n > 0 && n < PATH_BUFFER && ToAnsiPath(shortPath, out, size)) return 1;
  out[0] = '\0';
  return 0;
}

}  // namespace

MakeDirResult MakeDirectory(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return MAKEDIR_CREATED;
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MAKEDIR_EXISTS
                                                                     : MAKEDIR_FAILED;
}

int RemoveEmptyDirectory(const char* path) {
  return RemoveDirectoryA(path) ? 1 : 0;
}

int DeletePlainFile(const char* path) {
  return DeleteFileA(path) ? 1 : 0;
}

MakeDirResult MakePrivateDirectory(const char* path) {
  return MakeDirectory(path);
}

FILE* OpenNewFile(const char* path, int* exists) {
  if (exists != nullptr) *exists = 0;
  // CREATE_NEW on the name itself, a link included, never on what a link points to.
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (exists != nullptr && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS))
      *exists = 1;
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
}

int GetFreeDiskBytes(const char* dir, unsigned long long* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(dir, &available, nullptr, nullptr)) return 0;
  *bytes = available.QuadPart;
  return 1;
}

int RemoveDirectoryTree(const char* dir) {
  DirEntry entry;
  DirSearch search = OpenDirSearch(dir, &entry);
  if (search == nullptr) return 0;
  do {
    if (lstrcmpA(entry.name, ".") == 0 || lstrcmpA(entry.name, "..") == 0) continue;
    char child[PATH_BUFFER];
    if (!JoinPath(child, dir, entry.name)) continue;
    // A junction or directory link goes with RemoveDirectoryA, which leaves its target alone.
    if (entry.isLink && entry.isDirectory)
      RemoveDirectoryA(child);
    else if (entry.isDirectory)
      RemoveDirectoryTree(child);
    else
      DeleteFileA(child);
  } while (NextDirEntry(search, &entry));
  CloseDirSearch(search);
  return RemoveDirectoryA(dir) ? 1 : 0;
}

FILE* OpenFile(const char* path, const char* mode) {
  return fopen(path, mode);
}

int GetOpenFileSize(FILE* file, unsigned long long* size) {
  long long length = _filelengthi64(_fileno(file));
  if (length < 0) return 0;
  *size = static_cast<unsigned long long>(length);
  return 1;
}

int GetTempDirectory(char* out, size_t size) {
  wchar_t wide[PATH_BUFFER];
  DWORD n = GetTempPathW(PATH_BUFFER, wide);
  if (n == 0 || n >= PATH_BUFFER || !ToAnsiOrShortPath(wide, out, size)) return 0;
  size_t length = strlen(out);
  return length > 0 && out[length - 1] == '\\';
}

// Shortening the whole path shortens its directory, which is what the launcher looks in.
int GetLauncherPath(char* out, size_t size) {
  wchar_t wide[PATH_BUFFER];
  DWORD n = GetModuleFileNameW(nullptr, wide, PATH_BUFFER);
  if (n == 0 || n >= PATH_BUFFER) return 0;
  return ToAnsiOrShortPath(wide, out, size);
}

int ToPortablePath(const char* native, char* out, size_t size) {
  DWORD n = GetFullPathNameA(native, static_cast<DWORD>(size), out, nullptr);
  return n > 0 && n < size;
}

DirSearch OpenDirSearch(const char* dir, DirEntry* first) {
  char pattern[PATH_BUFFER];
  if (!JoinPath(pattern, dir, "*.*")) return nullptr;
  WIN32_FIND_DATAA data;
  HANDLE handle = FindFirstFileA(pattern, &data);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return nullptr;
  DirSearchState* state = static_cast<DirSearchState*>(malloc(sizeof(DirSearchState)));
  if (state == nullptr) {
    FindClose(handle);
    return nullptr;
  }
  state->handle = handle;
  FillEntry(data, first);
  return state;
}

int NextDirEntry(DirSearch search, DirEntry* entry) {
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(search->handle, &data)) return 0;
  FillEntry(data, entry);
  return 1;
}

void CloseDirSearch(DirSearch search) {
  FindClose(search->handle);
  free(search);
}
