// Recursive walks over a directory tree on disk. Neither walk ever enters a symbolic link or
// junction: a link is a leaf, so nothing outside the tree is decoded from or deleted.
#pragma once

#include "package/problems.h"

// Files are decoded by up to this many worker threads, one per processor; one processor decodes
// on the walk's own thread. Each worker has a decoder of its own in static storage.
enum { MAX_DECODE_WORKERS = 8 };
// The number of workers to use instead of one per processor (0: one per processor; 1: none),
// for tests that compare the two.
extern int g_decodeWorkers;

// Mirrors `sourceDir` into `destinationDir` (both exist), decoding every file into the same
// relative place, in any order. The destination is walked through held directories, never by whole
// paths, so a directory swapped for a link on the way leads nowhere. Stops at the first entry that
// fails (an over-long path, a link, a directory swapped, a file that cannot be decoded or written),
// reports it, empties the directories it made through their handles and returns 1; 0 when all
// is unpacked. What failed at the top of `destinationDir` is the caller's to remove.
int DecompressTree(const char* sourceDir, const char* destinationDir,
                   const ProblemReporter* reporter = nullptr);

// Deletes `dir` and everything in it, bottom-up. What cannot be deleted stays, with the
// directories above it. Returns 1 when `dir` itself is gone.
int RemoveTree(const char* dir);
