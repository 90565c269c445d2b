#include "package/tree_walk.h"

#include <cstring>

#include "common/paths.h"
#include "common/platform.h"
#include "decode/decoder.h"

namespace {

int IsDotEntry(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

}  // namespace

int DecompressTree(const char* sourceDir, const char* destinationDir,
                   const ProblemReporter* reporter) {
  DirEntry entry;
  DirSearch search = OpenDirSearch(sourceDir, &entry);
  if (search == nullptr) {
    ReportProblem(reporter, sourceDir, "cannot list the staged directory");
    return 1;
  }
  int failures = 0;
  do {
    if (IsDotEntry(entry.name)) continue;
    char sourceChild[PATH_BUFFER];
    char destinationChild[PATH_BUFFER];
    if (!JoinPath(sourceChild, sourceDir, entry.name) ||
        !JoinPath(destinationChild, destinationDir, entry.name)) {
      ReportProblem(reporter, entry.name, "path longer than MAX_PATH");
      ++failures;
    } else if (entry.isLink) {
      ReportProblem(reporter, sourceChild, "link in the staged tree");
      ++failures;
    } else if (entry.isDirectory) {
      if (MakeDirectory(destinationChild) == MAKEDIR_FAILED) {
        ReportProblem(reporter, destinationChild, "cannot create directory");
        ++failures;
      } else {
        failures += DecompressTree(sourceChild, destinationChild, reporter);
      }
    } else if (!DecompressFile(sourceChild, destinationChild)) {
      ReportProblem(reporter, destinationChild, "cannot be decoded or written");
      ++failures;
    }
  } while (NextDirEntry(search, &entry));
  CloseDirSearch(search);
  return failures;
}

int RemoveTree(const char* dir) {
  return RemoveDirectoryTree(dir);
}
