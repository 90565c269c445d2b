// The readers of a sealed release on arbitrary files. A layout they accept lies inside the file,
// the region behind the sections; the launcher's short read of its own headers finds the same
// layout or none; a trailer they accept points inside the region before it and is written back
// byte for byte; a seal found is its magic with room for the whole record. The trailer reader is
// also held to these on regions taken from the input's first bytes, whatever the rest holds. A
// seal read as a release places the package and the bitmap inside the region, with the sizes
// the seal gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/bundle_format.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "bundle_fuzzer: %s\n", what);
  abort();
}

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void CheckTrailer(const uint8_t* trailer, const PeLayout& layout) {
  BundleTrailer read;
  if (!ReadBundleTrailer(trailer, layout, &read)) return;
  Check(layout.sectionsEnd <= layout.regionEnd &&
            layout.regionEnd - layout.sectionsEnd >= TRAILER_BYTES,
        "a trailer accepted in a region too short for one");
  unsigned long long room = layout.regionEnd - layout.sectionsEnd - TRAILER_BYTES;
  Check(static_cast<unsigned long long>(read.packageOffset) + read.packageSize <= room,
        "the package passes the trailer");
  Check(static_cast<unsigned long long>(read.bitmapOffset) + read.bitmapSize <= room,
        "the bitmap passes the trailer");
  unsigned char again[TRAILER_BYTES];
  WriteBundleTrailer(read, again);
  Check(memcmp(again, trailer, TRAILER_BYTES) == 0, "the trailer is not written back as read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 8 + TRAILER_BYTES) {
    PeLayout any = {ReadU32(data), ReadU32(data + 4)};
    CheckTrailer(data + 8, any);
  }
  PeLayout layout;
  if (!ReadPeLayout(data, size, size, &layout)) return 0;
  Check(
      layout.sectionsEnd > 0 && layout.sectionsEnd <= layout.regionEnd && layout.regionEnd <= size,
      "a layout outside the file");
  PeLayout head;
  size_t headBytes = size < STUB_HEADER_BYTES ? size : static_cast<size_t>(STUB_HEADER_BYTES);
  if (ReadPeLayout(data, headBytes, size, &head))
    Check(head.sectionsEnd == layout.sectionsEnd && head.regionEnd == layout.regionEnd,
          "the headers alone give another layout");
  if (layout.regionEnd >= TRAILER_BYTES)
    CheckTrailer(data + layout.regionEnd - TRAILER_BYTES, layout);
  long seal = FindSealRecord(data, layout.sectionsEnd);
  if (seal >= 0)
    Check(static_cast<size_t>(seal) + SEAL_RECORD_BYTES <= layout.sectionsEnd &&
              memcmp(data + seal, UNSEALED_RECORD.magic, SEAL_MAGIC_BYTES) == 0,
          "a seal found where its record does not fit or its magic is not");
  if (seal >= 0 && layout.regionEnd >= TRAILER_BYTES) {
    SealedRelease release;
    if (ReadSealedRelease(data + seal, &layout, data + layout.regionEnd - TRAILER_BYTES,
                          &release) == SEAL_OK &&
        (release.flags & SEAL_SINGLE_FILE) != 0) {
      unsigned long long end = layout.regionEnd - TRAILER_BYTES;
      Check(release.packagePosition >= layout.sectionsEnd &&
                release.packagePosition + static_cast<unsigned long long>(release.packageSize) <=
                    end &&
                release.bitmapPosition >= layout.sectionsEnd &&
                release.bitmapPosition + static_cast<unsigned long long>(release.bitmapSize) <= end,
            "a sealed release placed outside its region");
    }
  }
  return 0;
}
