// SHA-256 through the processor's SHA instructions, for checking a sealed release where it lies:
// under an emulation layer the system's provider hashes about 120 MB/s, these instructions
// ten times that. Callers use the system's provider when `Sha256Accelerated` says no.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct Sha256State {
  uint32_t state[8];
  unsigned char block[64];
  uint32_t used;    // bytes in `block`
  uint64_t length;  // bytes hashed in all
};

// Whether this processor has the SHA instructions (and SSE4.1 beside them); 0 elsewhere,
// including on builds for other processors.
int Sha256Accelerated(void);

// Only after Sha256Accelerated said yes.
void Sha256Init(Sha256State* hash);
void Sha256Update(Sha256State* hash, const unsigned char* bytes, size_t count);
void Sha256Final(Sha256State* hash, unsigned char digest[32]);
