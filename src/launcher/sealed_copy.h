// A sealed launcher trusts a file only once it holds a private copy whose SHA-256 is the seal's:
// the bytes are hashed as they are copied, read once, so that nothing swapped in between a check
// and a later read is ever used.
#pragma once

#include <cstdint>
#include <cstdio>

enum SealedCopy {
  COPY_MATCHES,  // the copy holds exactly the sealed bytes
  COPY_DIFFERS,  // it holds other bytes
  COPY_FAILED,   // a read or write failed, or the system could not hash
};

// Copies `size` bytes at `position` of `source` into the new file `targetPath` and compares
// their SHA-256, taken with the system's provider, with `sealed` (32 bytes). The target may
// stay whatever the result: it belongs in a directory that the caller removes. Nothing is copied,
// and `source` may be null, when `size` is 0.
SealedCopy CopySealed(const char* targetPath, FILE* source, uint32_t position, uint32_t size,
                      const volatile unsigned char* sealed);
