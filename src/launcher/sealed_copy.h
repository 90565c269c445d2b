// A sealed launcher trusts what it reads only once its SHA-256 is the seal's, and reads it from
// a file it holds open so that nobody can change it: the check and every later read see the
// same bytes. What it keeps a copy of, it hashes as it copies, read once.
#pragma once

#include <cstdint>
#include <cstdio>

enum SealedCopy {
  COPY_MATCHES,  // exactly the sealed bytes
  COPY_DIFFERS,  // other bytes
  COPY_FAILED,   // a read or write failed, or the system could not hash
};

// Hashes `size` bytes at `position` of `source`, taken with the system's provider, and compares
// them with `sealed` (32 bytes); with a `targetPath`, copies them into that new file as they are
// read. The target may stay whatever the result: it belongs in a directory that the caller
// removes. Nothing is read, and `source` may be null, when `size` is 0.
SealedCopy CopySealed(const char* targetPath, FILE* source, uint32_t position, uint32_t size,
                      const volatile unsigned char* sealed);

// Decodes the blob of the package's codec stored in `size` bytes at `position` of `source` into
// the new file `targetPath`; 0 when it does not decode to exactly its declared size, or a read
// or write fails.
int DecodeSealed(const char* targetPath, FILE* source, uint32_t position, uint32_t size);
