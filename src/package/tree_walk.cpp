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
    // A name from the search is joined only as one plain component: a name the system had to
    // map into the code page may come back holding separators or dots.
    if (const char* problem = ComponentNameProblem(entry.name)) {
      ReportProblem(reporter, entry.name, problem);
      ++failures;
    } else if (!JoinPath(sourceChild, sourceDir, entry.name) ||
               !JoinPath(destinationChild, destinationDir, entry.name)) {
      ReportProblem(reporter, entry.name, "path longer than MAX_PATH");
      ++failures;
    } else if (entry.isLink) {
      ReportProblem(reporter, sourceChild, "link in the staged tree");
      ++failures;
    } else if (entry.isDirectory) {
      // Only a directory made here and now is written into: one that exists already was put
      // there by someone else, and may lead anywhere.
      MakeDirResult made = MakeDirectory(destinationChild);
      if (made != MAKEDIR_CREATED) {
        ReportProblem(reporter, destinationChild,
                      made == MAKEDIR_EXISTS ? "exists already, not made by this run"
                                             : "cannot create directory");
        ++failures;
      } else {
        failures += DecompressTree(sourceChild, destinationChild, reporter);
      }
    } else if (!DecompressFile(sourceChild, destinationChild)) {
      ReportProblem(reporter, destinationChild, "exists already, or cannot be decoded or written");
      ++failures;
    }
  } while (NextDirEntry(search, &entry));
  CloseDirSearch(search);
  return failures;
}

int RemoveTree(const char* dir) {
  return RemoveDirectoryTree(dir);
}
