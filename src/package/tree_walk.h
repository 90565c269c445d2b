// Recursive walks over a directory tree on disk. Neither walk ever enters a symbolic link or
// junction: a link is a leaf, so nothing outside the tree is decoded from or deleted.
#pragma once

#include "package/problems.h"

// Mirrors `sourceDir` into `destinationDir` (both exist), decoding every file into the same
// relative place. The destination is walked through held directories, never by whole paths, so
// a directory swapped for a link on the way leads nowhere. Stops at the first entry that fails
// (an over-long path, a link, a directory swapped, a file that cannot be decoded or written),
// reports it, empties the directories it made through their handles and returns 1; 0 when all
// is unpacked. What failed at the top of `destinationDir` is the caller's to remove.
int DecompressTree(const char* sourceDir, const char* destinationDir,
                   const ProblemReporter* reporter = nullptr);

// Deletes `dir` and everything in it, bottom-up. What cannot be deleted stays, with the
// directories above it. Returns 1 when `dir` itself is gone.
int RemoveTree(const char* dir);
