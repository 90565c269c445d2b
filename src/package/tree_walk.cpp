#include "package/tree_walk.h"

#include <cstring>

#include "common/paths.h"
#include "common/platform.h"
#include "decode/decoder.h"
#include "package/entry_name.h"

namespace {

int IsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Mirrors one level: `destination` is held open as `destinationDir`. Stops at the first failure,
// after reporting it, and returns 1 then.
int DecodeLevel(const char* sourceDir, const char* destinationDir, DirHandle destination,
                const ProblemReporter* reporter) {
  DirEntry entry;
  DirSearch search = OpenDirSearch(sourceDir, &entry);
  if (search == nullptr) {
    ReportProblem(reporter, sourceDir, "cannot list the staged directory");
    return 1;
  }
  int failed = 0;
  do {
    if (IsDotEntry(entry.name)) continue;
    char sourceChild[PATH_BUFFER];
    char destinationChild[PATH_BUFFER];
    const char* problem = nullptr;
    const char* where = entry.name;
    // A name from the search is joined only as one plain component: a name the system had to
    // map into the code page may come back holding separators or dots.
    if ((problem = ComponentNameProblem(entry.name)) != nullptr) {
    } else if (!JoinPath(sourceChild, sourceDir, entry.name) ||
               !JoinPath(destinationChild, destinationDir, entry.name)) {
      problem = "path longer than MAX_PATH";
    } else if (entry.isLink) {
      where = sourceChild;
      problem = "link in the staged tree";
    } else if (entry.isDirectory) {
      where = destinationChild;
      // Only a directory made here and now is written into: one that exists already was put
      // there by someone else, and may lead anywhere.
      DirHandle child;
      MakeDirResult made = MakeDirectoryAt(destination, destinationChild, &child);
      if (made == MAKEDIR_CREATED) {
        failed = DecodeLevel(sourceChild, destinationChild, child, reporter);
        // What this run put in a directory it made is taken away through the handle, also
        // from a directory that someone moved elsewhere meanwhile.
        if (failed) EmptyDirectoryHandle(child);
        CloseDirectoryHandle(child);
      } else {
        problem = made == MAKEDIR_EXISTS    ? "exists already, not made by this run"
                  : made == MAKEDIR_SWAPPED ? "replaced once made (a link?)"
                                            : "cannot create directory";
      }
    } else {
      where = destinationChild;
      DecompressResult result = DECOMPRESS_READ_FAILED;
      int exists;
      FILE* source = OpenFile(sourceChild, "rb");
      FILE* output =
          source != nullptr ? OpenNewFileAt(destination, destinationChild, &exists) : nullptr;
      if (source != nullptr && output == nullptr) {
        fclose(source);
        result = exists ? DECOMPRESS_EXISTS : DECOMPRESS_WRITE_FAILED;
      } else if (output != nullptr) {
        result = DecodeFileStreams(ProcessDecoder(), source, output);
        if (result != DECOMPRESS_OK) DeleteFileAt(destination, destinationChild);
      }
      if (result != DECOMPRESS_OK) problem = DecompressResultText(result);
    }
    if (problem != nullptr) {
      ReportProblem(reporter, where, problem);
      failed = 1;
    }
  } while (!failed && NextDirEntry(search, &entry));
  CloseDirSearch(search);
  return failed;
}

}  // namespace

int DecompressTree(const char* sourceDir, const char* destinationDir,
                   const ProblemReporter* reporter) {
  DirHandle destination = OpenDirectoryHandle(destinationDir);
  if (destination == NO_DIR_HANDLE) {
    ReportProblem(reporter, destinationDir, "not a directory (a link?)");
    return 1;
  }
  int failed = DecodeLevel(sourceDir, destinationDir, destination, reporter);
  CloseDirectoryHandle(destination);
  return failed;
}

int RemoveTree(const char* dir) {
  return RemoveDirectoryTree(dir);
}
