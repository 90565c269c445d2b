#include "package/bundle_format.h"

#include <cstring>

namespace {

uint32_t ReadU16(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

uint32_t ReadU32(const unsigned char* p) {
  return ReadU16(p) | ReadU16(p + 2) << 16;
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
  if (headBytes < DOS_NEW_HEADER + 4 || head[0] != 'M' || head[1] != 'Z' ||
      fileSize > MAX_BUNDLE_POSITION)
    return 0;
  unsigned long long pe = ReadU32(head + DOS_NEW_HEADER);
  if (pe + PE_OPTIONAL_HEADER > headBytes || memcmp(head + pe, "PE\0\0", 4) != 0) return 0;
  unsigned long long optional = pe + PE_OPTIONAL_HEADER;
  uint32_t optionalSize = ReadU16(head + pe + PE_OPTIONAL_SIZE);
  uint32_t sections = ReadU16(head + pe + PE_SECTION_COUNT);
  unsigned long long table = optional + optionalSize;
  if (optionalSize < 2 || table + sections * SECTION_HEADER_BYTES > headBytes) return 0;

  // The data directories follow the optional header's fixed part, longer in the 64-bit form.
  uint32_t magic = ReadU16(head + optional);
  uint32_t directories;
  if (magic == 0x10B)
    directories = 96;
  else if (magic == 0x20B)
    directories = 112;
  else
    return 0;
  uint32_t certificates = 0, certificatesSize = 0;
  uint32_t security = directories + SECURITY_DIRECTORY * 8;
  if (optionalSize >= security + 8 &&
      ReadU32(head + optional + directories - 4) > SECURITY_DIRECTORY) {
    certificates = ReadU32(head + optional + security);
    certificatesSize = ReadU32(head + optional + security + 4);
  }

  unsigned long long end = 0;
  for (uint32_t i = 0; i < sections; ++i) {
    const unsigned char* section = head + table + i * SECTION_HEADER_BYTES;
    unsigned long long size = ReadU32(section + SECTION_RAW_SIZE);
    unsigned long long sectionEnd = ReadU32(section + SECTION_RAW_POINTER) + size;
    if (size != 0 && sectionEnd > end) end = sectionEnd;
  }
  if (end == 0 || end > fileSize) return 0;
  layout->sectionsEnd = static_cast<uint32_t>(end);
  layout->regionEnd = static_cast<uint32_t>(fileSize);
  if (certificatesSize != 0) {
    // Signing puts the table behind everything it signs; one anywhere else is not ours.
    if (certificates < end ||
        static_cast<unsigned long long>(certificates) + certificatesSize > fileSize)
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
