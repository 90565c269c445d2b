// Recursive walks over a directory tree on disk. Neither walk ever enters a symbolic link or
// junction: a link is a leaf, so nothing outside the tree is decoded from or deleted.
#pragma once

#include "package/problems.h"

// Mirrors `sourceDir` into `destinationDir` (both exist), decoding every file into the same
// relative place. Returns the number of entries that failed: over-long paths, links, files that
// could not be decoded.
int DecompressTree(const char* sourceDir, const char* destinationDir,
                   const ProblemReporter* reporter = nullptr);

// Deletes `dir` and everything in it, bottom-up. What cannot be deleted stays, with the
// directories above it. Returns 1 when `dir` itself is gone.
int RemoveTree(const char* dir);
