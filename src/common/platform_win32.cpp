// Win32 implementation of the platform layer, with the ANSI calls throughout.
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

int RemoveLink(const char* path, int isDirectory) {
  // A directory junction or symbolic link goes with RemoveDirectoryA, which removes the link and
  // leaves its target alone.
  return (isDirectory ? RemoveDirectoryA(path) : DeleteFileA(path)) ? 1 : 0;
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
  DWORD n = GetTempPathA(static_cast<DWORD>(size), out);
  return n > 0 && n < size && out[n - 1] == '\\';
}

int GetLauncherPath(char* out, size_t size) {
  DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
  return n > 0 && n < size;
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
