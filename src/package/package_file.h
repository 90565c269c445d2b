// The package file: a directory table, a file table and the blobs behind them. All integers are
// 32-bit little-endian; a record is a name length, the name, an offset into the data area and a
// size. There is no magic number and no checksum, so every field is checked before it is used.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/platform.h"

// One record. Entries live in their list's blocks, each taking only the room its name needs, so
// a table of many short records costs about twice its size in memory and no more.
struct PackageEntry {
  uint32_t offset;
  uint32_t size;
  PackageEntry* next;
  uint32_t nameLength;  // as declared; longer than the stored name when the name was cut
  uint32_t ordinal;     // position in its table
  uint8_t flags;        // free for the reader of the tables (extraction marks what it skips)
  char name[1];         // the first bytes of the name (at most MAX_PATH - 1), NUL-terminated
};

// The entries of one table, in package order. Owns its entries.
class EntryList {
 public:
  EntryList() : first(nullptr), last(nullptr), count(0), blocks_(nullptr), free_(0), held_(0) {}
  ~EntryList();
  EntryList(const EntryList&) = delete;
  EntryList& operator=(const EntryList&) = delete;

  // Returns a new entry with room for a name of `nameBytes` bytes and its terminator, or null
  // when out of memory.
  PackageEntry* Append(uint32_t nameBytes);
  // Bytes taken from the system for the entries.
  unsigned long long BytesHeld() const { return held_; }

  PackageEntry* first;
  PackageEntry* last;
  int count;

 private:
  struct Block;
  Block* blocks_;
  size_t free_;  // bytes left at the end of the newest block
  unsigned long long held_;
};

enum PackageStatus {
  PACKAGE_OK,
  PACKAGE_UNREADABLE,  // the file cannot be read or its size cannot be told
  PACKAGE_TRUNCATED,   // a table ends before its records do
  PACKAGE_TOO_LARGE,   // the tables reach past the 2 GiB that positions can address
  PACKAGE_NO_MEMORY,
};

const char* PackageStatusText(PackageStatus status);

struct PackageTables {
  EntryList directories;
  EntryList files;
  uint32_t start;            // where the package begins in its file: 0 for a file of its own
  uint32_t dataStart;        // where the data area begins, in the file
  unsigned long long bytes;  // size of the whole package
};

// Reads both tables from the start of `package`. Names are stored as far as they fit and are not
// judged here (see EntryNameProblem); blob ranges are judged by BlobProblem.
PackageStatus ReadPackageTables(FILE* package, PackageTables* tables);
// Reads both tables of the package held in `package[start..start + size)`, a region of a larger
// file that is read like a file of its own: its blob offsets count from its data area, and no
// blob may reach past the region's end. A region the file does not hold is PACKAGE_TRUNCATED.
PackageStatus ReadPackageTablesAt(FILE* package, uint32_t start, uint32_t size,
                                  PackageTables* tables);

// Null when the blob of `entry` lies inside the package at an addressable position.
const char* BlobProblem(const PackageTables& tables, const PackageEntry& entry);
