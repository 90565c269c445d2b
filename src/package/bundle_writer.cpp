// The packer's half of the release conventions; the stub never links it.
#include <cstring>

#include "package/bundle_format.h"

long FindSealRecord(const unsigned char* image, size_t searchEnd) {
  long found = -1;
  for (size_t at = 0; at + SEAL_MAGIC_BYTES <= searchEnd; ++at) {
    if (memcmp(image + at, UNSEALED_RECORD.magic, SEAL_MAGIC_BYTES) != 0) continue;
    if (found >= 0) return -1;
    found = static_cast<long>(at);
  }
  if (found >= 0 && static_cast<size_t>(found) + SEAL_RECORD_BYTES > searchEnd) return -1;
  return found;
}

void WriteBundleTrailer(const BundleTrailer& trailer, unsigned char* out) {
  memcpy(out, TRAILER_MAGIC, TRAILER_MAGIC_BYTES);
  const uint32_t fields[4] = {trailer.packageOffset, trailer.packageSize, trailer.bitmapOffset,
                              trailer.bitmapSize};
  for (int i = 0; i < 4; ++i)
    for (int byte = 0; byte < 4; ++byte)
      out[TRAILER_MAGIC_BYTES + 4 * i + byte] = static_cast<unsigned char>(fields[i] >> (8 * byte));
}
