#include "package/bundle_format.h"

#include <cstring>

namespace {

uint32_t ReadU16(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

uint32_t ReadU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Header fields, from the start of the PE signature or of the optional header.
enum {
  DOS_NEW_HEADER = 0x3C,
  PE_SECTION_COUNT = 6,
  PE_OPTIONAL_SIZE = 20,
  PE_OPTIONAL_HEADER = 24,
  SECTION_HEADER_BYTES = 40,
  SECTION_RAW_SIZE = 16,
  SECTION_RAW_POINTER = 20,
  SECURITY_DIRECTORY = 4,
};

}  // namespace

int ReadPeLayout(const unsigned char* head, size_t headBytes, unsigned long long fileSize,
                 PeLayout* layout) {
  // Each bound is checked by subtraction from what is known to be larger, so that no sum of
  // fields from the file can wrap around (the stub does its arithmetic in 32 bits).
  if (headBytes < DOS_NEW_HEADER + 4 || head[0] != 'M' || head[1] != 'Z' ||
      fileSize > MAX_BUNDLE_POSITION)
    return 0;
  uint32_t size = static_cast<uint32_t>(fileSize);
  size_t pe = ReadU32(head + DOS_NEW_HEADER);
  if (pe > headBytes - PE_OPTIONAL_HEADER || memcmp(head + pe, "PE\0\0", 4) != 0) return 0;
  size_t optional = pe + PE_OPTIONAL_HEADER;
  size_t optionalSize = ReadU16(head + pe + PE_OPTIONAL_SIZE);
  size_t sections = ReadU16(head + pe + PE_SECTION_COUNT);
  if (optionalSize < 2 || optionalSize > headBytes - optional ||
      sections * SECTION_HEADER_BYTES > headBytes - optional - optionalSize)
    return 0;
  const unsigned char* table = head + optional + optionalSize;

  // The data directories follow the optional header's fixed part, longer in the 64-bit form.
  uint32_t magic = ReadU16(head + optional);
  size_t directories;
  if (magic == 0x10B)
    directories = 96;
  else if (magic == 0x20B)
    directories = 112;
  else
    return 0;
  uint32_t certificates = 0, certificatesSize = 0;
  size_t security = directories + SECURITY_DIRECTORY * 8;
  if (optionalSize >= security + 8 &&
      ReadU32(head + optional + directories - 4) > SECURITY_DIRECTORY) {
    certificates = ReadU32(head + optional + security);
    certificatesSize = ReadU32(head + optional + security + 4);
  }

  uint32_t end = 0;
  for (size_t i = 0; i < sections; ++i) {
    const unsigned char* section = table + i * SECTION_HEADER_BYTES;
    uint32_t raw = ReadU32(section + SECTION_RAW_SIZE);
    uint32_t pointer = ReadU32(section + SECTION_RAW_POINTER);
    if (raw == 0) continue;
    if (pointer > size || raw > size - pointer) return 0;
    if (pointer + raw > end) end = pointer + raw;
  }
  if (end == 0) return 0;
  layout->sectionsEnd = end;
  layout->regionEnd = size;
  if (certificatesSize != 0) {
    // Signing puts the table behind everything it signs; one anywhere else is not ours.
    if (certificates < end || certificates > size || certificatesSize > size - certificates)
      return 0;
    layout->regionEnd = certificates;
  }
  return 1;
}

int ReadBundleTrailer(const unsigned char* trailer, const PeLayout& layout, BundleTrailer* out) {
  if (layout.regionEnd < layout.sectionsEnd ||
      layout.regionEnd - layout.sectionsEnd < TRAILER_BYTES ||
      memcmp(trailer, TRAILER_MAGIC, TRAILER_MAGIC_BYTES) != 0)
    return 0;
  uint32_t room = layout.regionEnd - layout.sectionsEnd - TRAILER_BYTES;
  out->packageOffset = ReadU32(trailer + 16);
  out->packageSize = ReadU32(trailer + 20);
  out->bitmapOffset = ReadU32(trailer + 24);
  out->bitmapSize = ReadU32(trailer + 28);
  return out->packageOffset <= room && out->packageSize <= room - out->packageOffset &&
         out->bitmapOffset <= room && out->bitmapSize <= room - out->bitmapOffset;
}

SealStatus ReadSealedRelease(const unsigned char* record, const PeLayout* layout,
                             const unsigned char* trailer, SealedRelease* out) {
  out->flags = ReadU32(record + SEAL_FLAGS_OFFSET);
  out->packageSize = ReadU32(record + SEAL_PACKAGE_SIZE_OFFSET);
  out->bitmapSize = ReadU32(record + SEAL_BITMAP_SIZE_OFFSET);
  out->packagePosition = out->bitmapPosition = 0;
  out->bitmapCompressed = (out->flags & SEAL_BITMAP_COMPRESSED) != 0;
  memcpy(out->packageHash, record + SEAL_PACKAGE_HASH_OFFSET, SHA256_BYTES);
  memcpy(out->bitmapHash, record + SEAL_BITMAP_HASH_OFFSET, SHA256_BYTES);
  uint32_t layoutFlags = out->flags & ~static_cast<uint32_t>(SEAL_BITMAP_COMPRESSED);
  if (out->flags == 0) return SEAL_NOT_SEALED;
  if (layoutFlags == SEAL_FOLDER && !out->bitmapCompressed) return SEAL_OK;
  if (layoutFlags != SEAL_SINGLE_FILE) return SEAL_NOT_UNDERSTOOD;
  BundleTrailer region;
  if (layout == nullptr || trailer == nullptr || !ReadBundleTrailer(trailer, *layout, &region))
    return SEAL_NO_REGION;
  // The trailer is inside what a signature covers, but the seal is what the launcher trusts.
  if (region.packageSize != out->packageSize || region.bitmapSize != out->bitmapSize)
    return SEAL_REGION_DIFFERS;
  out->packagePosition = layout->sectionsEnd + region.packageOffset;
  out->bitmapPosition = layout->sectionsEnd + region.bitmapOffset;
  return SEAL_OK;
}
