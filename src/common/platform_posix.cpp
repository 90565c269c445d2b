// POSIX implementation of the platform layer: portable backslash paths in the names' code page
// become '/' paths in UTF-8 here, as names are on any current system.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/code_page.h"
#include "common/platform.h"

// Native paths are longer than portable ones once converted to UTF-8.
enum { NATIVE_BUFFER = 4 * PATH_BUFFER };

namespace {

// Converts between the names' code page and UTF-8 in both directions; the converters are
// opened once per code page (the tools convert on one thread).
int Convert(const char* text, char* out, size_t size, bool toNative) {
  static int openFor = 0;
  static iconv_t converters[2];
  int codePage = NameCodePage();
  if (openFor != codePage) {
    if (openFor != 0)
      for (iconv_t converter : converters) iconv_close(converter);
    openFor = 0;
    char name[16];
    snprintf(name, sizeof name, "CP%d", codePage);
    converters[0] = iconv_open(name, "UTF-8");
    converters[1] = iconv_open("UTF-8", name);
    if (converters[0] == reinterpret_cast<iconv_t>(-1) ||
        converters[1] == reinterpret_cast<iconv_t>(-1))
      return 0;
    openFor = codePage;
  }
  iconv_t converter = converters[toNative ? 1 : 0];
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(text);
  size_t inLeft = strlen(text);
  char* next = out;
  size_t outLeft = size - 1;
  if (iconv(converter, &in, &inLeft, &next, &outLeft) == static_cast<size_t>(-1) || inLeft != 0)
    return 0;
  *next = '\0';
  return 1;
}

// A portable path as the system takes it: converted to UTF-8 when the names have a code page,
// after which every backslash left is a separator. Fails on overflow or an unconvertible name.
int ToNative(const char* path, char* out) {
  size_t n = strlen(path);
  if (n >= PATH_BUFFER) return 0;
  if (NameCodePage() != 0) {
    if (!Convert(path, out, NATIVE_BUFFER, true)) return 0;
  } else {
    memcpy(out, path, n + 1);
  }
  for (char* p = out; *p != '\0'; ++p)
    if (*p == '\\') *p = '/';
  return 1;
}

int FromNative(const char* native, char* out, size_t size) {
  // A native name holding a backslash cannot be told apart from a separator once portable.
  if (strchr(native, '\\') != nullptr) return 0;
  char converted[NATIVE_BUFFER];
  if (NameCodePage() != 0) {
    if (!Convert(native, converted, sizeof converted, false)) return 0;
  } else if (strlen(native) < sizeof converted) {
    strcpy(converted, native);
  } else {
    return 0;
  }
  if (strlen(converted) >= size) return 0;
  for (size_t i = 0;; ++i) {
    out[i] = converted[i] == '/' ? '\\' : converted[i];
    if (converted[i] == '\0') break;
  }
  return 1;
}

}  // namespace

struct DirSearchState {
  DIR* dir;
  char path[NATIVE_BUFFER];
};

MakeDirResult MakeDirectory(const char* path) {
  char native[NATIVE_BUFFER];
  if (!ToNative(path, native)) return MAKEDIR_FAILED;
  if (mkdir(native, 0700) == 0) return MAKEDIR_CREATED;
  return errno == EEXIST ? MAKEDIR_EXISTS : MAKEDIR_FAILED;
}

MakeDirResult MakePrivateDirectory(const char* path) {
  // Every directory here is made for its owner alone.
  return MakeDirectory(path);
}

int RemoveEmptyDirectory(const char* path) {
  char native[NATIVE_BUFFER];
  return ToNative(path, native) && rmdir(native) == 0;
}

int DeletePlainFile(const char* path) {
  char native[NATIVE_BUFFER];
  return ToNative(path, native) && unlink(native) == 0;
}

FILE* OpenFile(const char* path, const char* mode) {
  char native[NATIVE_BUFFER];
  if (!ToNative(path, native)) return nullptr;
  return fopen(native, mode);
}

// Creates `name` in the directory `dir` (AT_FDCWD: the current one, for a whole path) for
// writing; O_EXCL refuses any name that exists, a dangling link too.
static FILE* CreateNewAt(int dir, const char* name, int* exists) {
  int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (exists != nullptr && errno == EEXIST) *exists = 1;
    return nullptr;
  }
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

FILE* OpenNewFile(const char* path, int* exists) {
  if (exists != nullptr) *exists = 0;
  char native[NATIVE_BUFFER];
  if (!ToNative(path, native)) return nullptr;
  return CreateNewAt(AT_FDCWD, native, exists);
}

void (*g_directoryMade)(const char* path) = nullptr;

namespace {

// The native spelling of the last component of `path` (a double-byte name may hold the
// separator's byte as its second half).
int NativeLastName(const char* path, char* out) {
  const char* name = FindLastSeparator(path);
  return ToNative(name != nullptr ? name + 1 : path, out) && out[0] != '\0';
}

}  // namespace

DirHandle OpenDirectoryHandle(const char* path) {
  char native[NATIVE_BUFFER];
  if (!ToNative(path, native)) return NO_DIR_HANDLE;
  return open(native, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void CloseDirectoryHandle(DirHandle dir) {
  if (dir != NO_DIR_HANDLE) close(static_cast<int>(dir));
}

MakeDirResult MakeDirectoryAt(DirHandle parent, const char* path, DirHandle* made) {
  *made = NO_DIR_HANDLE;
  char name[NATIVE_BUFFER];
  int at = static_cast<int>(parent);
  if (!NativeLastName(path, name)) return MAKEDIR_FAILED;
  if (mkdirat(at, name, 0700) != 0) return errno == EEXIST ? MAKEDIR_EXISTS : MAKEDIR_FAILED;
  if (g_directoryMade != nullptr) g_directoryMade(path);
  // What the name holds now must be what the open below gets, a directory of this user's: a
  // name renamed away and replaced meanwhile, by a link or a directory of someone else's, is
  // refused, and with it whatever it leads to.
  struct stat named, opened;
  if (fstatat(at, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(named.st_mode))
    return MAKEDIR_SWAPPED;
  int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return MAKEDIR_SWAPPED;
  if (fstat(fd, &opened) != 0 || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino ||
      opened.st_uid != geteuid()) {
    close(fd);
    return MAKEDIR_SWAPPED;
  }
  *made = fd;
  return MAKEDIR_CREATED;
}

FILE* OpenNewFileAt(DirHandle parent, const char* path, int* exists) {
  if (exists != nullptr) *exists = 0;
  char name[NATIVE_BUFFER];
  if (!NativeLastName(path, name)) return nullptr;
  return CreateNewAt(static_cast<int>(parent), name, exists);
}

namespace {

void* RunWorker(void* start) {
  WorkerStart* worker = static_cast<WorkerStart*>(start);
  worker->run(worker);
  return nullptr;
}

}  // namespace

WorkerThread StartWorkerThread(WorkerStart* start) {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, RunWorker, start) != 0) return NO_WORKER_THREAD;
  return static_cast<WorkerThread>(thread);
}

void JoinWorkerThread(WorkerThread thread) {
  pthread_join(static_cast<pthread_t>(thread), nullptr);
}

int ProcessorCount(void) {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count < 1 ? 1 : count > 1024 ? 1024 : static_cast<int>(count);
}

Semaphore MakeSemaphore(int initial) {
  sem_t* semaphore = static_cast<sem_t*>(malloc(sizeof(sem_t)));
  if (semaphore == nullptr) return NO_SEMAPHORE;
  if (sem_init(semaphore, 0, static_cast<unsigned>(initial)) != 0) {
    free(semaphore);
    return NO_SEMAPHORE;
  }
  return reinterpret_cast<Semaphore>(semaphore);
}

void WaitSemaphore(Semaphore semaphore) {
  while (sem_wait(reinterpret_cast<sem_t*>(semaphore)) != 0 && errno == EINTR) {
  }
}

void PostSemaphore(Semaphore semaphore) {
  sem_post(reinterpret_cast<sem_t*>(semaphore));
}

void CloseSemaphore(Semaphore semaphore) {
  if (semaphore == NO_SEMAPHORE) return;
  sem_destroy(reinterpret_cast<sem_t*>(semaphore));
  free(reinterpret_cast<sem_t*>(semaphore));
}

DirHandle ShareDirectoryHandle(DirHandle dir) {
  return fcntl(static_cast<int>(dir), F_DUPFD_CLOEXEC, 0);
}

void ReleaseSharedDirectoryHandle(DirHandle dir) {
  CloseDirectoryHandle(dir);
}

int GetFreeDiskBytes(const char* dir, unsigned long long* bytes) {
  char native[NATIVE_BUFFER];
  struct statvfs volume;
  if (!ToNative(dir, native) || statvfs(native, &volume) != 0) return 0;
  *bytes = static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize;
  return 1;
}

namespace {

// Empties the directory open as `fd` (which it takes over), never leaving it: each entry is
// opened relative to its parent, and a link is unlinked itself.
void EmptyDirectoryAt(int fd) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return;
  }
  while (struct dirent* record = readdir(dir)) {
    const char* name = record->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (unlinkat(dirfd(dir), name, 0) == 0) continue;
    int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) continue;
    EmptyDirectoryAt(child);
    unlinkat(dirfd(dir), name, AT_REMOVEDIR);
  }
  closedir(dir);
}

}  // namespace

int DeleteFileAt(DirHandle parent, const char* path) {
  char name[NATIVE_BUFFER];
  return NativeLastName(path, name) && unlinkat(static_cast<int>(parent), name, 0) == 0;
}

void EmptyDirectoryHandle(DirHandle dir) {
  if (dir == NO_DIR_HANDLE) return;
  int fd = fcntl(static_cast<int>(dir), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return;
  // The copy shares the position of the original's listing; from the start, whatever came before.
  lseek(fd, 0, SEEK_SET);
  EmptyDirectoryAt(fd);
}

int RemoveDirectoryTree(const char* dir) {
  char native[NATIVE_BUFFER];
  if (!ToNative(dir, native)) return 0;
  int fd = open(native, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  EmptyDirectoryAt(fd);
  return rmdir(native) == 0;
}

int GetOpenFileSize(FILE* file, unsigned long long* size) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  *size = static_cast<unsigned long long>(info.st_size);
  return 1;
}

int GetTempDirectory(char* out, size_t size) {
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr || dir[0] != '/') dir = "/tmp";
  char native[NATIVE_BUFFER];
  size_t n = strlen(dir);
  if (n + 2 > sizeof native) return 0;
  memcpy(native, dir, n);
  if (native[n - 1] != '/') native[n++] = '/';
  native[n] = '\0';
  return FromNative(native, out, size);
}

int GetLauncherPath(char* out, size_t size) {
  char native[NATIVE_BUFFER];
  ssize_t n = readlink("/proc/self/exe", native, MAX_PATH);
  if (n <= 0 || n >= MAX_PATH) return 0;
  native[n] = '\0';
  return FromNative(native, out, size);
}

int ToPortablePath(const char* native, char* out, size_t size) {
  if (native[0] == '/') return FromNative(native, out, size);
  char cwd[NATIVE_BUFFER];
  if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
  char joined[2 * NATIVE_BUFFER];
  int n = snprintf(joined, sizeof joined, "%s/%s", cwd, native);
  if (n < 0 || static_cast<size_t>(n) >= sizeof joined) return 0;
  return FromNative(joined, out, size);
}

namespace {

// Fills `entry` from the next directory record; 0 at the end. Names that cannot be expressed as
// portable names are passed over.
int ReadEntry(DirSearchState* state, DirEntry* entry) {
  for (;;) {
    struct dirent* record = readdir(state->dir);
    if (record == nullptr) return 0;
    if (!FromNative(record->d_name, entry->name, MAX_PATH)) continue;
    char child[2 * NATIVE_BUFFER];
    snprintf(child, sizeof child, "%s/%s", state->path, record->d_name);
    struct stat info;
    if (lstat(child, &info) != 0) {
      entry->isDirectory = 0;
      entry->isLink = 0;
    } else {
      entry->isLink = S_ISLNK(info.st_mode) ? 1 : 0;
      entry->isDirectory = S_ISDIR(info.st_mode) ? 1 : 0;
      if (entry->isLink) {
        struct stat target;
        entry->isDirectory = stat(child, &target) == 0 && S_ISDIR(target.st_mode) ? 1 : 0;
      }
    }
    return 1;
  }
}

}  // namespace

DirSearch OpenDirSearch(const char* dir, DirEntry* first) {
  DirSearchState* state = static_cast<DirSearchState*>(malloc(sizeof(DirSearchState)));
  if (state == nullptr) return nullptr;
  if (!ToNative(dir, state->path) || (state->dir = opendir(state->path)) == nullptr) {
    free(state);
    return nullptr;
  }
  if (!ReadEntry(state, first)) {
    closedir(state->dir);
    free(state);
    return nullptr;
  }
  return state;
}

int NextDirEntry(DirSearch search, DirEntry* entry) {
  return ReadEntry(search, entry);
}

void CloseDirSearch(DirSearch search) {
  closedir(search->dir);
  free(search);
}
