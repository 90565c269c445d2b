// Win32 implementation of the platform layer, with the ANSI calls throughout, except for the two
// paths the system hands over (the temporary directory, the launcher's own), which are read wide
// and put into ANSI only where that is exact, and for the removal of a tree the launcher did not
// fill itself, which is wide throughout.
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

MakeDirResult CreateDirectoryResult(BOOL created) {
  if (created) return MAKEDIR_CREATED;
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MAKEDIR_EXISTS
                                                                     : MAKEDIR_FAILED;
}

volatile LONG g_refuseNewFiles = 0;

}  // namespace

void RefuseNewFiles(void) {
  InterlockedExchange(&g_refuseNewFiles, 1);
}

MakeDirResult MakeDirectory(const char* path) {
  if (g_refuseNewFiles) return MAKEDIR_FAILED;
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
  if (g_refuseNewFiles || !GetProcessUserSid(user, sizeof user) ||
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
  if (g_refuseNewFiles) return nullptr;
  // CREATE_NEW on the name itself, a link included, never on what a link points to.
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (exists != nullptr && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS))
      *exists = 1;
    return nullptr;
  }
  return StreamOnHandle(handle, 1);
}

void (*g_directoryMade)(const char* path) = nullptr;

// Held, rather than walked relative to: a directory open without FILE_SHARE_DELETE cannot be
// renamed, removed or replaced by a link while the handle lives, so the path through held
// directories names what it named when each was checked, and the ANSI calls by path stay safe.
// This costs the stub far less than creating children relative to a handle through the native
// calls would. A handle with data access counts against the sharing of later opens, one with
// attribute access only would not.
DirHandle OpenDirectoryHandle(const char* path) {
  HANDLE handle =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return NO_DIR_HANDLE;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_DIRECTORY) {
    CloseHandle(handle);
    return NO_DIR_HANDLE;
  }
  return reinterpret_cast<DirHandle>(handle);
}

void CloseDirectoryHandle(DirHandle dir) {
  if (dir != NO_DIR_HANDLE) CloseHandle(reinterpret_cast<HANDLE>(dir));
}

MakeDirResult MakeDirectoryAt(DirHandle, const char* path, DirHandle* made) {
  *made = NO_DIR_HANDLE;
  MakeDirResult result = MakeDirectory(path);
  if (result != MAKEDIR_CREATED) return result;
  if (g_directoryMade != nullptr) g_directoryMade(path);
  *made = OpenDirectoryHandle(path);
  return *made != NO_DIR_HANDLE ? MAKEDIR_CREATED : MAKEDIR_SWAPPED;
}

namespace {

DWORD WINAPI RunWorker(LPVOID start) {
  WorkerStart* worker = static_cast<WorkerStart*>(start);
  worker->run(worker);
  return 0;
}

}  // namespace

WorkerThread StartWorkerThread(WorkerStart* start) {
  // A small stack: a worker holds its decoder in static storage, not on the stack.
  return reinterpret_cast<WorkerThread>(
      CreateThread(nullptr, 65536, RunWorker, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
}

void JoinWorkerThread(WorkerThread thread) {
  WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
  CloseHandle(reinterpret_cast<HANDLE>(thread));
}

int ProcessorCount(void) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors < 1 ? 1 : static_cast<int>(info.dwNumberOfProcessors);
}

Semaphore MakeSemaphore(int initial) {
  return reinterpret_cast<Semaphore>(CreateSemaphoreA(nullptr, initial, 0x7FFFFFFF, nullptr));
}

void WaitSemaphore(Semaphore semaphore) {
  WaitForSingleObject(reinterpret_cast<HANDLE>(semaphore), INFINITE);
}

void PostSemaphore(Semaphore semaphore) {
  ReleaseSemaphore(reinterpret_cast<HANDLE>(semaphore), 1, nullptr);
}

void CloseSemaphore(Semaphore semaphore) {
  if (semaphore != NO_SEMAPHORE) CloseHandle(reinterpret_cast<HANDLE>(semaphore));
}

FILE* StreamOnHandle(void* handle, int forWriting) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                           (forWriting ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, forWriting ? "wb" : "rb");
  if (file == nullptr) _close(fd);
  return file;
}

int GetFreeDiskBytes(const char* dir, unsigned long long* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(dir, &available, nullptr, nullptr)) return 0;
  *bytes = available.QuadPart;
  return 1;
}

namespace {

// The longest path the wide calls take, in characters with the terminator.
const int LONG_PATH = 32768;
// Every level of a tree adds at least a separator and one character to the path.
const int MAX_TREE_DEPTH = LONG_PATH / 2;

// The walk's whole state, kept out of the stack so that no depth the system allows can overflow
// it; one removal runs at a time.
WCHAR g_removalPath[LONG_PATH];
HANDLE g_removalSearches[MAX_TREE_DEPTH];
WIN32_FIND_DATAW g_found;

// A name from a directory search is joined to its directory only when it is one plain
// component: with a separator in it, or as "." or "..", the joined path would lead somewhere
// other than the entry, possibly out of the tree.
int IsPlainComponent(const WCHAR* name) {
  if (name[0] == L'\0') return 0;
  if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) return 0;
  for (; *name != L'\0'; ++name)
    if (*name == L'\\' || *name == L'/') return 0;
  return 1;
}

// Puts the full "\\?\" form of `dir` into g_removalPath and returns its length, or 0. In that
// form the wide calls take a path of any length as it stands, with no name turned into another.
int ToExtendedPath(const char* dir) {
  WCHAR wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, dir, -1, wide, MAX_PATH) == 0) return 0;
  // Room in front for the longest prefix, "\\?\UNC".
  const int ROOM = 8;
  WCHAR* full = g_removalPath + ROOM;
  int length = static_cast<int>(GetFullPathNameW(wide, LONG_PATH - ROOM, full, nullptr));
  if (length <= 0 || length >= LONG_PATH - ROOM) return 0;
  const WCHAR* prefix = L"\\\\?\\";
  int skip = 0;
  if (full[0] == L'\\' && full[1] == L'\\') {
    if (full[2] == L'?' || full[2] == L'.') {
      prefix = L"";  // already a device or extended path
    } else {
      prefix = L"\\\\?\\UNC";  // \\server\share becomes \\?\UNC\server\share
      skip = 1;
    }
  }
  int prefixLength = lstrlenW(prefix);
  memcpy(g_removalPath, prefix, prefixLength * sizeof(WCHAR));
  memmove(g_removalPath + prefixLength, full + skip, (length - skip + 1) * sizeof(WCHAR));
  length += prefixLength - skip;
  while (length > prefixLength + 3 && g_removalPath[length - 1] == L'\\')
    g_removalPath[--length] = L'\0';
  return length;
}

// Appends `name` to the directory of `length` characters in g_removalPath; the new length, or
// 0 when the path would not fit.
int AppendComponent(int length, const WCHAR* name) {
  int nameLength = lstrlenW(name);
  if (length + 1 + nameLength >= LONG_PATH) return 0;
  g_removalPath[length] = L'\\';
  memcpy(g_removalPath + length + 1, name, (nameLength + 1) * sizeof(WCHAR));
  return length + 1 + nameLength;
}

// Starts listing the directory of `length` characters in g_removalPath; the first entry lands
// in g_found.
HANDLE StartListing(int length) {
  if (length + 2 >= LONG_PATH) return INVALID_HANDLE_VALUE;
  g_removalPath[length] = L'\\';
  g_removalPath[length + 1] = L'*';
  g_removalPath[length + 2] = L'\0';
  HANDLE search = FindFirstFileW(g_removalPath, &g_found);
  g_removalPath[length] = L'\0';
  return search == nullptr ? INVALID_HANDLE_VALUE : search;
}

// Removes the link at g_removalPath itself, through a handle on the link rather than by name:
// Wine resolves a name through a Unix link, and would delete the file it points to, or the
// directory if it is empty. A handle that shows no reparse point has reached what the link
// points to, and is left alone.
void RemoveLink() {
  HANDLE link =
      CreateFileW(g_removalPath, DELETE | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (link == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info;
  FILE_DISPOSITION_INFO remove = {TRUE};
  if (GetFileInformationByHandle(link, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    SetFileInformationByHandle(link, FileDispositionInfo, &remove, sizeof remove);
  CloseHandle(link);
}

}  // namespace

int RemoveDirectoryTree(const char* dir) {
  // Wide calls, because the installer may leave names in any script, which the ANSI search
  // would hand back best-fit mapped: a fullwidth backslash becomes a separator there, so a
  // name like "..(U+FF3C)..(U+FF3C)x" would be deleted outside the tree. And paths of any length,
  // with the search handles of every open level kept in a fixed stack instead of a recursion.
  int length = ToExtendedPath(dir);
  if (length == 0) return 0;
  DWORD attributes = GetFileAttributesW(g_removalPath);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return 0;
  int depth = 0;
  g_removalSearches[0] = StartListing(length);
  if (g_removalSearches[0] == INVALID_HANDLE_VALUE) return 0;
  int haveEntry = 1;
  for (;;) {
    if (!haveEntry && !FindNextFileW(g_removalSearches[depth], &g_found)) {
      FindClose(g_removalSearches[depth]);
      if (depth == 0) break;
      --depth;
      RemoveDirectoryW(g_removalPath);
      // Names are single components, so the parent ends at the last separator.
      while (g_removalPath[length] != L'\\') --length;
      g_removalPath[length] = L'\0';
      continue;
    }
    haveEntry = 0;
    if (!IsPlainComponent(g_found.cFileName)) continue;
    int childLength = AppendComponent(length, g_found.cFileName);
    if (childLength == 0) continue;
    DWORD childAttributes = g_found.dwFileAttributes;
    if (childAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // A link goes itself, never what it points to.
      RemoveLink();
    } else if (childAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      HANDLE search = depth + 1 < MAX_TREE_DEPTH ? StartListing(childLength) : INVALID_HANDLE_VALUE;
      if (search != INVALID_HANDLE_VALUE) {
        g_removalSearches[++depth] = search;
        length = childLength;
        haveEntry = 1;
        continue;
      }
      RemoveDirectoryW(g_removalPath);
    } else {
      DeleteFileW(g_removalPath);
    }
    g_removalPath[length] = L'\0';
  }
  return RemoveDirectoryW(g_removalPath) ? 1 : 0;
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
