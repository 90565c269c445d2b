// Win32 implementation of the platform layer, with the ANSI calls throughout.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

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

MakeDirResult CreateDirectoryResult(BOOL created) {
  if (created) return MAKEDIR_CREATED;
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MAKEDIR_EXISTS
                                                                     : MAKEDIR_FAILED;
}

}  // namespace

MakeDirResult MakeDirectory(const char* path) {
  return CreateDirectoryResult(CreateDirectoryA(path, nullptr));
}

int RemoveEmptyDirectory(const char* path) {
  return RemoveDirectoryA(path) ? 1 : 0;
}

int DeletePlainFile(const char* path) {
  return DeleteFileA(path) ? 1 : 0;
}

namespace {

// The SID of the user the process runs as, in its string form; 0 when it cannot be told.
int GetProcessUserSid(char* out, size_t size) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD length;
  BOOL known = GetTokenInformation(token, TokenUser, &info, sizeof info, &length);
  CloseHandle(token);
  char* text;
  if (!known || !ConvertSidToStringSidA(info.user.User.Sid, &text)) return 0;
  int fits = lstrlenA(text) < static_cast<int>(size);
  if (fits) lstrcpyA(out, text);
  LocalFree(text);
  return fits;
}

}  // namespace

MakeDirResult MakePrivateDirectory(const char* path) {
  // Run as SYSTEM, the launcher's temporary directory is C:\Windows\Temp, where every local user
  // may add files and folders to any new folder through the inherited entries: they could plant
  // a file or a link in the install directory before it is filled, or read what is unpacked.
  // The list is given whole and protected ("P"), so nothing of the parent's is inherited, and
  // every entry passes on to what is created inside ("OICI").
  char user[PATH_BUFFER];
  char sddl[PATH_BUFFER];
  if (!GetProcessUserSid(user, sizeof user) ||
      !FormatPath(sddl, "D:P(A;OICI;FA;;;%s)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", user, nullptr, 0))
    return MAKEDIR_FAILED;
  PSECURITY_DESCRIPTOR descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return MAKEDIR_FAILED;
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  MakeDirResult result = CreateDirectoryResult(CreateDirectoryA(path, &attributes));
  LocalFree(descriptor);
  return result;
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
