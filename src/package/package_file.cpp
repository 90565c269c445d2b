#include "package/package_file.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// A record is at least its length, offset and size fields.
const unsigned long long kMinRecord = 12;
// Package positions are signed 32-bit on every platform the launcher runs on.
const unsigned long long kMaxPosition = 0x7FFFFFFF;

int ReadU32(FILE* file, uint32_t* value) {
  unsigned char bytes[4];
  if (fread(bytes, 1, 4, file) != 4) return 0;
  *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return 1;
}

PackageStatus ReadTable(FILE* package, unsigned long long* position, unsigned long long bytes,
                        EntryList* list) {
  uint32_t rawCount;
  if (!ReadU32(package, &rawCount)) return PACKAGE_TRUNCATED;
  *position += 4;
  // In a region of a larger file a read can succeed past the region's end.
  if (*position > bytes) return PACKAGE_TRUNCATED;
  int32_t count = static_cast<int32_t>(rawCount);
  if (count <= 0) return PACKAGE_OK;
  // A count the file cannot hold is refused before anything is allocated for it.
  if (static_cast<unsigned long long>(count) * kMinRecord > bytes - *position)
    return PACKAGE_TRUNCATED;
  for (int32_t i = 0; i < count; ++i) {
    uint32_t length;
    if (!ReadU32(package, &length)) return PACKAGE_TRUNCATED;
    *position += 4;
    if (*position > bytes || length > bytes - *position) return PACKAGE_TRUNCATED;
    if (*position + length + 8 > kMaxPosition) return PACKAGE_TOO_LARGE;
    uint32_t kept = length < MAX_PATH ? length : MAX_PATH - 1;
    PackageEntry* entry = list->Append(kept);
    if (entry == nullptr) return PACKAGE_NO_MEMORY;
    entry->nameLength = length;
    if (fread(entry->name, 1, kept, package) != kept) return PACKAGE_TRUNCATED;
    entry->name[kept] = '\0';
    // An over-long name is cut to the buffer; the rest is skipped, never stored.
    if (kept < length && fseek(package, static_cast<long>(length - kept), SEEK_CUR) != 0)
      return PACKAGE_TRUNCATED;
    *position += length;
    if (!ReadU32(package, &entry->offset) || !ReadU32(package, &entry->size))
      return PACKAGE_TRUNCATED;
    *position += 8;
    if (*position > bytes) return PACKAGE_TRUNCATED;
  }
  return PACKAGE_OK;
}

}  // namespace

// Entries are carved from blocks of this size; an entry never spans two.
const size_t kBlockBytes = 64 * 1024;

struct EntryList::Block {
  Block* next;
};

namespace {

size_t EntryBytes(uint32_t nameBytes) {
  const size_t align = alignof(PackageEntry);
  size_t bytes = offsetof(PackageEntry, name) + nameBytes + 1;
  return (bytes + align - 1) / align * align;
}

// Where a block's entries begin, past its header.
size_t BlockStart() {
  const size_t align = alignof(PackageEntry);
  return (sizeof(void*) + align - 1) / align * align;
}

}  // namespace

EntryList::~EntryList() {
  Block* block = blocks_;
  while (block != nullptr) {
    Block* next = block->next;
    free(block);
    block = next;
  }
}

PackageEntry* EntryList::Append(uint32_t nameBytes) {
  size_t bytes = EntryBytes(nameBytes < MAX_PATH ? nameBytes : MAX_PATH - 1);
  if (bytes > free_) {
    Block* block = static_cast<Block*>(malloc(kBlockBytes));
    if (block == nullptr) return nullptr;
    block->next = blocks_;
    blocks_ = block;
    free_ = kBlockBytes - BlockStart();
    held_ += kBlockBytes;
  }
  PackageEntry* entry =
      reinterpret_cast<PackageEntry*>(reinterpret_cast<char*>(blocks_) + kBlockBytes - free_);
  free_ -= bytes;
  entry->name[0] = '\0';
  entry->offset = 0;
  entry->size = 0;
  entry->nameLength = 0;
  entry->ordinal = static_cast<uint32_t>(count);
  entry->flags = 0;
  entry->next = nullptr;
  if (last != nullptr)
    last->next = entry;
  else
    first = entry;
  last = entry;
  ++count;
  return entry;
}

const char* PackageStatusText(PackageStatus status) {
  switch (status) {
    case PACKAGE_OK:
      return "ok";
    case PACKAGE_UNREADABLE:
      return "cannot be read";
    case PACKAGE_TRUNCATED:
      return "tables end early or hold more records than the file";
    case PACKAGE_TOO_LARGE:
      return "tables reach beyond 2 GiB";
    case PACKAGE_NO_MEMORY:
      return "out of memory";
  }
  return "unknown";
}

namespace {

// Reads both tables of the package that starts at `start`; `end` is where it ends, and every
// position is one in the file.
PackageStatus ReadTables(FILE* package, unsigned long long start, unsigned long long end,
                         PackageTables* tables) {
  tables->start = static_cast<uint32_t>(start);
  tables->bytes = end - start;
  if (start > kMaxPosition || fseek(package, static_cast<long>(start), SEEK_SET) != 0)
    return PACKAGE_UNREADABLE;
  unsigned long long position = start;
  PackageStatus status = ReadTable(package, &position, end, &tables->directories);
  if (status == PACKAGE_OK) status = ReadTable(package, &position, end, &tables->files);
  if (status == PACKAGE_OK) tables->dataStart = static_cast<uint32_t>(position);
  return status;
}

}  // namespace

PackageStatus ReadPackageTables(FILE* package, PackageTables* tables) {
  unsigned long long size;
  if (!GetOpenFileSize(package, &size)) return PACKAGE_UNREADABLE;
  return ReadTables(package, 0, size, tables);
}

PackageStatus ReadPackageTablesAt(FILE* package, uint32_t start, uint32_t size,
                                  PackageTables* tables) {
  unsigned long long fileSize;
  if (!GetOpenFileSize(package, &fileSize)) return PACKAGE_UNREADABLE;
  // A region that the file does not hold whole ends early, however its tables read.
  if (start > fileSize || size > fileSize - start) return PACKAGE_TRUNCATED;
  return ReadTables(package, start, static_cast<unsigned long long>(start) + size, tables);
}

const char* BlobProblem(const PackageTables& tables, const PackageEntry& entry) {
  unsigned long long start = static_cast<unsigned long long>(tables.dataStart) + entry.offset;
  // Positions are signed 32-bit: a blob must start where a seek can reach.
  if (start > kMaxPosition) return "blob starts beyond 2 GiB";
  if (start + entry.size > tables.start + tables.bytes)
    return "blob reaches past the end of the package";
  return nullptr;
}
