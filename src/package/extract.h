// Unpacking a package: its blobs are copied into a fresh staging directory under the temporary
// directory, decoded from there into the install directory, and the staging directory removed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "package/problems.h"

enum ExtractStatus {
  EXTRACT_OK,          // everything unpacked (slips of the package's maker passed over)
  EXTRACT_NO_STAGING,  // no staging directory could be made under the temporary directory
  EXTRACT_UNREADABLE,  // the package is missing or cannot be read
  EXTRACT_DAMAGED,     // the package is broken or unsafe, or unpacking it failed
  EXTRACT_NO_SPACE,    // the package declares more than the temporary directory's volume holds
};

// Unpacks into `installDir`, which the caller created for this run and which is empty. The
// staging directory is removed in every case; after a failure `installDir` may hold part of the
// package, and nothing from it is to be started. `stagingMade`, when given, learns the staging
// directory as soon as it exists, so that a tool can take it away if it is interrupted.
ExtractStatus ExtractPackage(const char* packagePath, const char* installDir,
                             const ProblemReporter* reporter = nullptr,
                             void (*stagingMade)(const char* stagingDir) = nullptr);

// ExtractPackage for a package file that is already open, read whole; `name` stands for it in
// reports. `package` stays open; a null one is a package that cannot be opened.
ExtractStatus ExtractPackageFile(FILE* package, const char* name, const char* installDir,
                                 const ProblemReporter* reporter = nullptr,
                                 void (*stagingMade)(const char* stagingDir) = nullptr);

// ExtractPackage for a package that is already open: the `size` bytes at `start` of `package`
// are read like a file of their own (blob offsets count from them, and nothing past them is
// read as the package's), so that a package inside a larger file needs no copy. `package` stays
// open, and it is read only after the staging directory exists.
ExtractStatus ExtractOpenPackage(FILE* package, uint32_t start, uint32_t size,
                                 const char* installDir, const ProblemReporter* reporter = nullptr,
                                 void (*stagingMade)(const char* stagingDir) = nullptr);

// Creates a fresh "latmp<n>.tmp" directory in the temporary directory; 0 when none can be made.
int MakeStagingDir(char* out);

// Copies `size` bytes at `position` of `package` into `targetPath`, which must not exist yet.
// Returns 0, and leaves no file of its own behind, when the target exists or cannot be created
// or written, or the package ends early. A null `targetPath` only reads the bytes. `copied`, when
// given, sees every piece as it is written, so that what is checked is exactly what the target
// holds, read once.
int CopyBlob(const char* targetPath, FILE* package, uint32_t position, uint32_t size,
             void (*copied)(const unsigned char* bytes, size_t count) = nullptr);
