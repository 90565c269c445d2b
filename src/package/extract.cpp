#include "package/extract.h"

#include <cstdlib>
#include <cstring>

#include "common/code_page.h"
#include "common/paths.h"
#include "common/platform.h"
#include "package/entry_name.h"
#include "package/package_file.h"
#include "package/tree_walk.h"

namespace {

constexpr size_t COPY_BUFFER = 1 << 16;

unsigned char g_copyBuffer[COPY_BUFFER];

// Marks on the entries while a package is unpacked.
enum {
  ENTRY_DIRECTORY = 1,   // a record of the directory table
  ENTRY_SKIPPED = 2,     // passed over: a slip of the package's maker
  ENTRY_CREATED = 4,     // on the first entry of a name: a directory of that name was created
  ENTRY_SUPERSEDED = 8,  // a file record whose name a later file record gives again
};

// Windows does not tell names apart by letter case, so neither does the plan. Only ASCII is
// folded, and never the second byte of a double-byte character: names that differ in the case
// of other letters meet on disk as an existing file or directory that the plan did not expect,
// which is refused.
int FoldByte(unsigned char c) {
  return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

// Compares the first `length` bytes of `a` with all of `b`, without regard to ASCII case.
int CompareFolded(const char* a, size_t length, const char* b) {
  size_t i = 0;
  while (i < length && b[i] != '\0') {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    int difference = FoldByte(x) - FoldByte(y);
    if (difference != 0) return difference;
    ++i;
    if (IsLeadByte(x) && i < length && b[i] != '\0') {
      if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
      ++i;
    }
  }
  if (i < length) return 1;
  return b[i] == '\0' ? 0 : -1;
}

// Directories before files of the same name, each kind in package order.
int CompareEntries(const void* left, const void* right) {
  const PackageEntry* a = *static_cast<PackageEntry* const*>(left);
  const PackageEntry* b = *static_cast<PackageEntry* const*>(right);
  int byName = CompareFolded(a->name, strlen(a->name), b->name);
  if (byName != 0) return byName;
  int aFile = (a->flags & ENTRY_DIRECTORY) == 0, bFile = (b->flags & ENTRY_DIRECTORY) == 0;
  if (aFile != bFile) return aFile - bFile;
  return a->ordinal < b->ordinal ? -1 : a->ordinal > b->ordinal ? 1 : 0;
}

// Every record of the package under its folded name, so that a name is looked up without a walk.
struct NameIndex {
  PackageEntry** sorted;
  int count;
};

// The first entry of the name `name[0..length)` (its directory, when there is one), or null.
PackageEntry* FindName(const NameIndex& index, const char* name, size_t length) {
  int low = 0, high = index.count;
  while (low < high) {
    int middle = low + (high - low) / 2;
    if (CompareFolded(name, length, index.sorted[middle]->name) > 0)
      low = middle + 1;
    else
      high = middle;
  }
  if (low < index.count && CompareFolded(name, length, index.sorted[low]->name) == 0)
    return index.sorted[low];
  return nullptr;
}

// Length of the part of `name` before its last backslash: the parent directory's name, empty for
// the top level.
size_t ParentLength(const char* name) {
  const char* cut = FindLastSeparator(name);
  return cut != nullptr ? static_cast<size_t>(cut - name) : 0;
}

// The directory that holds `entry`, once the plan created it; null for the top level, and
// `missing` when there is no such directory.
PackageEntry* CreatedParent(const NameIndex& index, const PackageEntry* entry,
                            PackageEntry* missing) {
  size_t length = ParentLength(entry->name);
  if (length == 0) return nullptr;
  PackageEntry* parent = FindName(index, entry->name, length);
  return parent != nullptr && (parent->flags & ENTRY_CREATED) != 0 ? parent : missing;
}

// Spells the directory part of `entry` as the directory was created, so that records which
// differ from it only in letter case land in it on every file system.
void TakeParentSpelling(PackageEntry* entry, const PackageEntry* parent) {
  if (parent != nullptr) memcpy(entry->name, parent->name, ParentLength(entry->name));
}

void Skip(PackageEntry* entry, const ProblemReporter* reporter, const char* why) {
  entry->flags |= ENTRY_SKIPPED;
  ReportSlip(reporter, entry->name, why);
}

// A directory record may end in one backslash ("\Data\" is "\Data"), and "\" names the top
// level itself, which exists already.
void TrimDirectoryName(PackageEntry* entry, const ProblemReporter* reporter) {
  size_t length = strlen(entry->name);
  if (length != entry->nameLength || length == 0 ||
      FindLastSeparator(entry->name) != entry->name + length - 1)
    return;
  if (length == 1) {
    Skip(entry, reporter, "names the top level, which exists");
    return;
  }
  entry->name[length - 1] = '\0';
  entry->nameLength -= 1;
  ReportSlip(reporter, entry->name, "directory name ends with a backslash; taken without it");
}

// Null when `entry` names a path that is safe and fits below both directories. A directory's
// path leaves room for the search pattern that lists it.
const char* PathProblem(const PackageEntry& entry, const char* staging, const char* installDir) {
  const char* problem = EntryNameProblem(entry.name, entry.nameLength);
  if (problem != nullptr) return problem;
  char stagedPath[PATH_BUFFER];
  char installedPath[PATH_BUFFER];
  if (!AppendPath(stagedPath, staging, entry.name) ||
      !AppendPath(installedPath, installDir, entry.name))
    return "path longer than MAX_PATH once unpacked";
  if ((entry.flags & ENTRY_DIRECTORY) != 0 &&
      (strlen(stagedPath) > MAX_DIRECTORY_PATH || strlen(installedPath) > MAX_DIRECTORY_PATH))
    return "directory path too long to be listed once unpacked";
  return nullptr;
}

uint32_t ReadDeclaredSize(FILE* package, const PackageTables& tables, const PackageEntry& entry,
                          int* ok) {
  unsigned char bytes[4];
  *ok = 1;
  if (entry.size < 4) return 0;
  if (fseek(package, static_cast<long>(tables.dataStart + entry.offset), SEEK_SET) != 0 ||
      fread(bytes, 1, 4, package) != 4) {
    *ok = 0;
    return 0;
  }
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Judges every record before anything is created: an unsafe name or a blob outside the package
// is damage. Reports each problem; returns their number.
int CheckEntries(PackageTables& tables, const char* staging, const char* installDir,
                 const ProblemReporter* reporter) {
  int problems = 0;
  for (PackageEntry* entry = tables.directories.first; entry != nullptr; entry = entry->next) {
    entry->flags |= ENTRY_DIRECTORY;
    TrimDirectoryName(entry, reporter);
    if (entry->flags & ENTRY_SKIPPED) continue;
    if (const char* problem = PathProblem(*entry, staging, installDir)) {
      ReportProblem(reporter, entry->name, problem);
      ++problems;
    }
  }
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next) {
    const char* problem = PathProblem(*entry, staging, installDir);
    if (problem == nullptr) problem = BlobProblem(tables, *entry);
    if (problem != nullptr) {
      ReportProblem(reporter, entry->name, problem);
      ++problems;
    }
  }
  return problems;
}

// Decides, as the records are applied in order, which of them the package's maker got wrong in
// a way every machine sees alike: a directory listed again or whose parent is not created before
// it, a file whose directory is not created, a file where a directory of its name stands, a
// name given twice (the later record wins). Those are passed over; the rest must then create
// new names only.
void PlanEntries(PackageTables& tables, const NameIndex& index, const ProblemReporter* reporter) {
  PackageEntry missing;
  for (PackageEntry* entry = tables.directories.first; entry != nullptr; entry = entry->next) {
    if (entry->flags & ENTRY_SKIPPED) continue;
    PackageEntry* first = FindName(index, entry->name, strlen(entry->name));
    PackageEntry* parent = CreatedParent(index, entry, &missing);
    if (first->flags & ENTRY_CREATED) {
      Skip(entry, reporter, "directory listed before; it exists");
    } else if (parent == &missing) {
      Skip(entry, reporter, "its parent directory is not created before it");
    } else {
      TakeParentSpelling(entry, parent);
      // The first entry of the name speaks for the directory from here on, in this spelling.
      if (first != entry) memcpy(first->name, entry->name, strlen(entry->name));
      first->flags |= ENTRY_CREATED;
    }
  }
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next) {
    PackageEntry* first = FindName(index, entry->name, strlen(entry->name));
    PackageEntry* parent = CreatedParent(index, entry, &missing);
    if (first->flags & ENTRY_CREATED)
      Skip(entry, reporter, "a directory of that name is created");
    else if (parent == &missing)
      Skip(entry, reporter, "its directory is not created");
    else if (entry->flags & ENTRY_SUPERSEDED)
      Skip(entry, reporter, "name given again later; the later record wins");
    else
      TakeParentSpelling(entry, parent);
  }
}

// Among the file records of one name, all but the last are superseded.
void MarkSuperseded(const NameIndex& index) {
  for (int i = 0; i + 1 < index.count; ++i) {
    PackageEntry* entry = index.sorted[i];
    PackageEntry* next = index.sorted[i + 1];
    if ((entry->flags & ENTRY_DIRECTORY) == 0 && (next->flags & ENTRY_DIRECTORY) == 0 &&
        CompareFolded(entry->name, strlen(entry->name), next->name) == 0)
      entry->flags |= ENTRY_SUPERSEDED;
  }
}

// What unpacking needs on the temporary directory's volume at its peak: every blob staged and
// every file decoded from it.
unsigned long long SpaceNeeded(FILE* package, const PackageTables& tables, int* ok) {
  unsigned long long total = 0;
  *ok = 1;
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next) {
    if (entry->flags & ENTRY_SKIPPED) continue;
    int read;
    total += entry->size +
             static_cast<unsigned long long>(ReadDeclaredSize(package, tables, *entry, &read));
    if (!read) *ok = 0;
  }
  return total;
}

ExtractStatus StageEntries(FILE* package, const PackageTables& tables, const char* staging,
                           const ProblemReporter* reporter) {
  char path[PATH_BUFFER];
  for (PackageEntry* entry = tables.directories.first; entry != nullptr; entry = entry->next) {
    if (entry->flags & ENTRY_SKIPPED) continue;
    AppendPath(path, staging, entry->name);
    MakeDirResult made = MakeDirectory(path);
    if (made != MAKEDIR_CREATED) {
      ReportProblem(reporter, entry->name,
                    made == MAKEDIR_EXISTS
                        ? "exists already in the staging directory, not made here"
                        : "cannot create directory");
      return EXTRACT_DAMAGED;
    }
  }
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next) {
    if (entry->flags & ENTRY_SKIPPED) continue;
    AppendPath(path, staging, entry->name);
    if (!CopyBlob(path, package, tables.dataStart + entry->offset, entry->size)) {
      ReportProblem(reporter, entry->name,
                    "cannot be staged (it exists, or a read or write failed)");
      return EXTRACT_DAMAGED;
    }
  }
  return EXTRACT_OK;
}

ExtractStatus UnpackTables(FILE* package, PackageTables& tables, const char* staging,
                           const char* installDir, const ProblemReporter* reporter) {
  if (CheckEntries(tables, staging, installDir, reporter) != 0) return EXTRACT_DAMAGED;

  int count = tables.directories.count + tables.files.count;
  NameIndex index = {static_cast<PackageEntry**>(malloc(sizeof(PackageEntry*) * (count + 1))), 0};
  if (index.sorted == nullptr) {
    ReportProblem(reporter, "package", "out of memory");
    return EXTRACT_DAMAGED;
  }
  const EntryList* lists[2] = {&tables.directories, &tables.files};
  for (const EntryList* list : lists)
    for (PackageEntry* entry = list->first; entry != nullptr; entry = entry->next)
      if ((entry->flags & ENTRY_SKIPPED) == 0) index.sorted[index.count++] = entry;
  qsort(index.sorted, static_cast<size_t>(index.count), sizeof(PackageEntry*), CompareEntries);
  MarkSuperseded(index);
  PlanEntries(tables, index, reporter);
  free(index.sorted);

  int read;
  unsigned long long needed = SpaceNeeded(package, tables, &read);
  if (!read) {
    ReportProblem(reporter, "package", "cannot be read");
    return EXTRACT_DAMAGED;
  }
  unsigned long long available;
  if (GetFreeDiskBytes(staging, &available) && needed > available) {
    ReportProblem(reporter, "package", "needs more space than the temporary directory's disk has");
    return EXTRACT_NO_SPACE;
  }

  return StageEntries(package, tables, staging, reporter);
}

}  // namespace

int MakeStagingDir(char* out) {
  return MakeUniqueTempDir("%slatmp%d.tmp", out);
}

int CopyBlob(const char* targetPath, FILE* package, uint32_t position, uint32_t size,
             void (*copied)(const unsigned char* bytes, size_t count)) {
  FILE* target = nullptr;
  if (targetPath != nullptr && (target = OpenNewFile(targetPath, nullptr)) == nullptr) return 0;
  int ok = fseek(package, static_cast<long>(position), SEEK_SET) == 0;
  uint32_t left = size;
  while (ok && left > 0) {
    size_t chunk = left < COPY_BUFFER ? left : COPY_BUFFER;
    ok = fread(g_copyBuffer, 1, chunk, package) == chunk &&
         (target == nullptr || fwrite(g_copyBuffer, 1, chunk, target) == chunk);
    if (ok && copied != nullptr) copied(g_copyBuffer, chunk);
    left -= static_cast<uint32_t>(chunk);
  }
  if (target != nullptr) {
    if (fclose(target) != 0) ok = 0;
    if (!ok) DeletePlainFile(targetPath);
  }
  return ok;
}

namespace {

// Unpacks the package of `package` at `start`, its `size` bytes, or the whole file when
// `whole`; `name` stands for it in reports.
ExtractStatus Extract(FILE* package, uint32_t start, uint32_t size, int whole, const char* name,
                      const char* installDir, const ProblemReporter* reporter,
                      void (*stagingMade)(const char* stagingDir)) {
  char staging[PATH_BUFFER];
  if (!MakeStagingDir(staging)) {
    ReportProblem(reporter, "temporary directory", "cannot create a staging directory");
    return EXTRACT_NO_STAGING;
  }
  if (stagingMade != nullptr) stagingMade(staging);
  ExtractStatus status;
  if (package == nullptr) {
    ReportProblem(reporter, name, "cannot be opened");
    status = EXTRACT_UNREADABLE;
  } else {
    PackageTables tables;
    PackageStatus read = whole ? ReadPackageTables(package, &tables)
                               : ReadPackageTablesAt(package, start, size, &tables);
    if (read == PACKAGE_OK) {
      status = UnpackTables(package, tables, staging, installDir, reporter);
    } else {
      ReportProblem(reporter, name, PackageStatusText(read));
      status = read == PACKAGE_UNREADABLE ? EXTRACT_UNREADABLE : EXTRACT_DAMAGED;
    }
    if (status == EXTRACT_OK && DecompressTree(staging, installDir, reporter) != 0)
      status = EXTRACT_DAMAGED;
  }
  RemoveTree(staging);
  return status;
}

}  // namespace

ExtractStatus ExtractPackage(const char* packagePath, const char* installDir,
                             const ProblemReporter* reporter,
                             void (*stagingMade)(const char* stagingDir)) {
  FILE* package = OpenFile(packagePath, "rb");
  ExtractStatus status =
      ExtractPackageFile(package, packagePath, installDir, reporter, stagingMade);
  if (package != nullptr) fclose(package);
  return status;
}

ExtractStatus ExtractPackageFile(FILE* package, const char* name, const char* installDir,
                                 const ProblemReporter* reporter,
                                 void (*stagingMade)(const char* stagingDir)) {
  return Extract(package, 0, 0, 1, name, installDir, reporter, stagingMade);
}

ExtractStatus ExtractOpenPackage(FILE* package, uint32_t start, uint32_t size,
                                 const char* installDir, const ProblemReporter* reporter,
                                 void (*stagingMade)(const char* stagingDir)) {
  return Extract(package, start, size, 0, "package", installDir, reporter, stagingMade);
}
