#include "package/extract.h"

#include "common/paths.h"
#include "common/platform.h"
#include "package/entry_name.h"
#include "package/package_file.h"
#include "package/tree_walk.h"

namespace {

constexpr size_t COPY_BUFFER = 1 << 16;

unsigned char g_copyBuffer[COPY_BUFFER];

// Null when `entry` names a path that is safe and fits below both directories.
const char* PathProblem(const PackageEntry& entry, const char* staging, const char* installDir,
                        char* stagedPath) {
  const char* problem = EntryNameProblem(entry.name, entry.nameLength);
  if (problem != nullptr) return problem;
  char installedPath[PATH_BUFFER];
  if (!AppendPath(stagedPath, staging, entry.name) ||
      !AppendPath(installedPath, installDir, entry.name))
    return "path longer than MAX_PATH once unpacked";
  return nullptr;
}

int StageEntries(FILE* package, const PackageTables& tables, const char* staging,
                 const char* installDir, const ProblemReporter* reporter) {
  int failures = 0;
  char path[PATH_BUFFER];
  for (PackageEntry* entry = tables.directories.first; entry != nullptr; entry = entry->next) {
    const char* problem = PathProblem(*entry, staging, installDir, path);
    if (problem == nullptr && MakeDirectory(path) == MAKEDIR_FAILED)
      problem = "cannot create directory";
    if (problem != nullptr) {
      ReportProblem(reporter, entry->name, problem);
      ++failures;
    }
  }
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next) {
    const char* problem = PathProblem(*entry, staging, installDir, path);
    if (problem == nullptr) problem = BlobProblem(tables, *entry);
    if (problem == nullptr &&
        !CopyBlob(path, package, tables.dataStart + entry->offset, entry->size))
      problem = "cannot be staged (missing directory, or a read or write failed)";
    if (problem != nullptr) {
      ReportProblem(reporter, entry->name, problem);
      ++failures;
    }
  }
  return failures;
}

}  // namespace

int MakeStagingDir(char* out) {
  return MakeUniqueTempDir("%slatmp%d.tmp", out);
}

int CopyBlob(const char* targetPath, FILE* package, uint32_t position, uint32_t size) {
  FILE* target = OpenFile(targetPath, "wb");
  if (target == nullptr) return 0;
  int ok = fseek(package, static_cast<long>(position), SEEK_SET) == 0;
  uint32_t left = size;
  while (ok && left > 0) {
    size_t chunk = left < COPY_BUFFER ? left : COPY_BUFFER;
    ok = fread(g_copyBuffer, 1, chunk, package) == chunk &&
         fwrite(g_copyBuffer, 1, chunk, target) == chunk;
    left -= static_cast<uint32_t>(chunk);
  }
  if (fclose(target) != 0) ok = 0;
  if (!ok) DeletePlainFile(targetPath);
  return ok;
}

int ExtractPackage(const char* packagePath, const char* installDir, const ProblemReporter* reporter,
                   void (*stagingMade)(const char* stagingDir)) {
  char staging[PATH_BUFFER];
  if (!MakeStagingDir(staging)) {
    ReportProblem(reporter, "temporary directory", "cannot create a staging directory");
    return 0;
  }
  if (stagingMade != nullptr) stagingMade(staging);
  int failures = 0;
  FILE* package = OpenFile(packagePath, "rb");
  if (package == nullptr) {
    ReportProblem(reporter, packagePath, "cannot be opened");
    ++failures;
  } else {
    PackageTables tables;
    PackageStatus status = ReadPackageTables(package, &tables);
    if (status != PACKAGE_OK) {
      ReportProblem(reporter, packagePath, PackageStatusText(status));
      ++failures;
    } else {
      failures += StageEntries(package, tables, staging, installDir, reporter);
    }
    fclose(package);
    // Even after a failure the staged part is decoded, so that every problem is reported; the
    // caller starts nothing from an install directory that failed.
    if (status == PACKAGE_OK) failures += DecompressTree(staging, installDir, reporter);
  }
  RemoveTree(staging);
  return failures == 0;
}
