// Unpacking a package: its blobs are copied into a fresh staging directory under the temporary
// directory, decoded from there into the install directory, and the staging directory removed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "package/problems.h"

// Returns 1 only when every entry was staged and decoded; 0 otherwise, also when the package
// cannot be opened or its tables are damaged. The staging directory is removed in every case.
// `stagingMade`, when given, learns the staging directory as soon as it exists, so that a tool
// can take it away if it is interrupted.
int ExtractPackage(const char* packagePath, const char* installDir,
                   const ProblemReporter* reporter = nullptr,
                   void (*stagingMade)(const char* stagingDir) = nullptr);

// Creates a fresh "latmp<n>.tmp" directory in the temporary directory; 0 when none can be made.
int MakeStagingDir(char* out);

// Copies `size` bytes at `position` of `package` into a new file `targetPath`. Returns 0, and
// leaves no file behind, when the target cannot be created or written or the package ends early.
int CopyBlob(const char* targetPath, FILE* package, uint32_t position, uint32_t size);
