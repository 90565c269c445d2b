// The few file-system and process services the portable code needs. Portable code always spells
// paths with backslashes, as the package format does; the POSIX implementation maps them to '/'
// on the way in and back on the way out, so no other file ever deals with separators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifndef MAX_PATH
#define MAX_PATH 260
#endif

// Every path buffer holds a MAX_PATH path plus a little slack, as the launcher always had.
enum { PATH_BUFFER = MAX_PATH + 4 };
// The longest directory path that can still be listed: the search appends "\*.*" to it.
enum { MAX_DIRECTORY_PATH = MAX_PATH - 5 };

enum MakeDirResult { MAKEDIR_CREATED, MAKEDIR_EXISTS, MAKEDIR_FAILED, MAKEDIR_SWAPPED };

MakeDirResult MakeDirectory(const char* path);
// MakeDirectory for the top of a tree the launcher owns under a shared temporary directory: only
// the current user, SYSTEM and the Administrators may use it, whatever its parent allows, and
// everything created inside inherits that.
MakeDirResult MakePrivateDirectory(const char* path);
int RemoveEmptyDirectory(const char* path);
int DeletePlainFile(const char* path);
FILE* OpenFile(const char* path, const char* mode);
// Creates `path` for binary writing only when nothing of that name exists, a link included, so
// that nothing planted there is ever truncated or followed. Null on failure; `exists` (may be
// null) is then 1 when something of that name was there.
FILE* OpenNewFile(const char* path, int* exists);
#ifdef _WIN32
// A binary stream for writing, or reading, on a Win32 file handle, which it then owns; null on
// failure, with the handle closed.
FILE* StreamOnHandle(void* handle, int forWriting);
// For a tool whose stop handler runs on a thread of its own while the shared code works: from
// now on no file or directory is created, so that the work fails at its next step and lets go of
// its files, which Windows cannot delete while they are open.
void RefuseNewFiles(void);
#endif
// A directory held open while things are created in it, so that nothing put in its place or on
// the way to it can lead elsewhere: natively a descriptor that every child is created relative
// to; on Windows a handle that shares neither renaming nor deletion, so that the directory, and
// with it the path to everything inside, stays as it is while the handle lives.
typedef intptr_t DirHandle;
const DirHandle NO_DIR_HANDLE = -1;

// Opens the directory `path` itself, refusing a link or other reparse point there.
DirHandle OpenDirectoryHandle(const char* path);
void CloseDirectoryHandle(DirHandle dir);
// Creates the directory `path`, whose last component is a child of `parent`, and opens it into
// `made`; MAKEDIR_SWAPPED when what can then be opened under that name is not the directory just
// made (a link, or another directory moved into its place).
MakeDirResult MakeDirectoryAt(DirHandle parent, const char* path, DirHandle* made);
// OpenNewFile for `path`, whose last component is a child of `parent`.
#ifdef _WIN32
// Windows goes by path through held directories: no call of its own, no cost in the stub.
inline FILE* OpenNewFileAt(DirHandle, const char* path, int* exists) {
  return OpenNewFile(path, exists);
}
#else
FILE* OpenNewFileAt(DirHandle parent, const char* path, int* exists);
#endif
// DeletePlainFile for `path`, whose last component is a child of `parent`.
#ifdef _WIN32
inline int DeleteFileAt(DirHandle, const char* path) {
  return DeletePlainFile(path);
}
#else
int DeleteFileAt(DirHandle parent, const char* path);
#endif
// Deletes everything inside `dir` through the handle, wherever the directory has been moved
// meanwhile. A link is removed itself. Windows leaves this to RemoveDirectoryTree on the path,
// which a held directory keeps pointing at.
#ifdef _WIN32
inline void EmptyDirectoryHandle(DirHandle) {}
#else
void EmptyDirectoryHandle(DirHandle dir);
#endif
// Called, when set, right after this process has created a directory and before it is used:
// tests stand in there for another local user who swaps the directory.
extern void (*g_directoryMade)(const char* path);

// Threads for the decoding workers: a worker's record begins with this, and `run` is given it.
struct WorkerStart {
  void (*run)(WorkerStart* self);
};
typedef intptr_t WorkerThread;
const WorkerThread NO_WORKER_THREAD = 0;
WorkerThread StartWorkerThread(WorkerStart* start);
// Waits until the thread has ended, and lets go of it.
void JoinWorkerThread(WorkerThread thread);
// Processors the system runs this process on; at least 1.
int ProcessorCount(void);
// Counting semaphores between the walk and its workers; made before decoding starts.
typedef intptr_t Semaphore;
const Semaphore NO_SEMAPHORE = 0;
Semaphore MakeSemaphore(int initial);
void WaitSemaphore(Semaphore semaphore);
void PostSemaphore(Semaphore semaphore);
void CloseSemaphore(Semaphore semaphore);
// Another hold on the directory `dir`, which outlives the walk's own (natively a duplicate
// descriptor; on Windows the same handle, as the calls made through it there go by path).
#ifdef _WIN32
inline DirHandle ShareDirectoryHandle(DirHandle dir) {
  return dir;
}
#else
DirHandle ShareDirectoryHandle(DirHandle dir);
#endif
#ifdef _WIN32
inline void ReleaseSharedDirectoryHandle(DirHandle) {}
#else
void ReleaseSharedDirectoryHandle(DirHandle dir);
#endif

// Bytes free to the calling user on the volume that holds the directory `dir`; 0 when unknown.
int GetFreeDiskBytes(const char* dir, unsigned long long* bytes);
// Deletes `dir` and everything below it, bottom-up, names and depth of any kind the system
// allows, whoever created them. A link is removed itself, never what it points to. What cannot
// be deleted stays, with the directories above it. Returns 1 when `dir` itself is gone. One
// removal at a time: the walk's state may be shared.
int RemoveDirectoryTree(const char* dir);
// The size of an open file in bytes, beyond 2 GiB too; 0 when it cannot be told.
int GetOpenFileSize(FILE* file, unsigned long long* size);

// The temporary directory with its trailing separator; 0 when it cannot be determined or does
// not fit in `size` bytes. On Windows a path that the ANSI code page cannot spell comes in its
// short form, and without one there is no temporary directory (0): the best the code page could
// do instead names nothing, or another directory.
int GetTempDirectory(char* out, size_t size);
// The full path of the running executable, short on Windows like the temporary directory; 0 on
// failure.
int GetLauncherPath(char* out, size_t size);

// Converts a path given by the user on this platform's command line into the portable form
// (a no-op on Windows). Returns 0 when the path cannot be represented.
int ToPortablePath(const char* native, char* out, size_t size);

struct DirEntry {
  char name[MAX_PATH];
  int isDirectory;
  int isLink;  // symbolic link, junction or other reparse point: never descended into
};

struct DirSearchState;
typedef DirSearchState* DirSearch;

// Starts listing `dir`; "." and ".." are reported like any other entry, as the platform does.
// Returns null when the search cannot be started (missing directory, path too long).
DirSearch OpenDirSearch(const char* dir, DirEntry* first);
int NextDirEntry(DirSearch search, DirEntry* entry);
void CloseDirSearch(DirSearch search);
