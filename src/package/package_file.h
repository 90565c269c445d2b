// The package file: a directory table, a file table and the blobs behind them. All integers are
// 32-bit little-endian; a record is a name length, the name, an offset into the data area and a
// size. There is no magic number and no checksum, so every field is checked before it is used.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/platform.h"

struct PackageEntry {
  char name[MAX_PATH];  // the first bytes of the name, NUL-terminated
  uint32_t offset;
  uint32_t size;
  PackageEntry* next;
  uint32_t nameLength;  // as declared; longer than the buffer when the name was cut
};

// The entries of one table, in package order. Owns its entries.
class EntryList {
 public:
  EntryList() : first(nullptr), last(nullptr), count(0) {}
  ~EntryList();
  EntryList(const EntryList&) = delete;
  EntryList& operator=(const EntryList&) = delete;

  // Returns the new entry, or null when out of memory.
  PackageEntry* Append();

  PackageEntry* first;
  PackageEntry* last;
  int count;
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
  uint32_t dataStart;        // where the data area begins
  unsigned long long bytes;  // size of the whole package
};

// Reads both tables from the start of `package`. Names are stored as far as they fit and are not
// judged here (see EntryNameProblem); blob ranges are judged by BlobProblem.
PackageStatus ReadPackageTables(FILE* package, PackageTables* tables);

// Null when the blob of `entry` lies inside the package at an addressable position.
const char* BlobProblem(const PackageTables& tables, const PackageEntry& entry);
