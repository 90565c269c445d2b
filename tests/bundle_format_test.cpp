// The release conventions read from byte buffers: where a stub's sections end and a certificate
// table begins, the trailer of a single file's region, the seal's magic and what a reader takes
// from the seal. Headers are built
// here field by field, so that each malformation is one changed field of a valid image.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "package/bundle_format.h"

namespace {

struct Section {
  uint32_t pointer;
  uint32_t size;
};

void Put16(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  (*bytes)[at] = static_cast<uint8_t>(value);
  (*bytes)[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  Put16(bytes, at, value & 0xFFFF);
  Put16(bytes, at + 2, value >> 16);
}

const size_t kPe = 0x40;
const size_t kOptional = kPe + 24;

// The headers of an image: DOS header, PE signature, file header, an optional header with 16
// data directories (PE32 or PE32+), the section table.
struct Image {
  bool wide = false;
  std::vector<Section> sections = {{0x400, 0x200}, {0x600, 0x400}, {0xA00, 0x200}};
  uint32_t certificates = 0;
  uint32_t certificatesSize = 0;

  size_t OptionalSize() const { return wide ? 240 : 224; }
  size_t Directories() const { return kOptional + (wide ? 112 : 96); }
  size_t Table() const { return kOptional + OptionalSize(); }

  std::vector<uint8_t> Headers() const {
    std::vector<uint8_t> bytes(Table() + 40 * sections.size());
    bytes[0] = 'M';
    bytes[1] = 'Z';
    Put32(&bytes, 0x3C, kPe);
    memcpy(&bytes[kPe], "PE\0\0", 4);
    Put16(&bytes, kPe + 6, static_cast<uint32_t>(sections.size()));
    Put16(&bytes, kPe + 20, static_cast<uint32_t>(OptionalSize()));
    Put16(&bytes, kOptional, wide ? 0x20B : 0x10B);
    Put32(&bytes, Directories() - 4, 16);
    Put32(&bytes, Directories() + 32, certificates);
    Put32(&bytes, Directories() + 36, certificatesSize);
    for (size_t i = 0; i < sections.size(); ++i) {
      Put32(&bytes, Table() + 40 * i + 16, sections[i].size);
      Put32(&bytes, Table() + 40 * i + 20, sections[i].pointer);
    }
    return bytes;
  }
};

// The layout, or {0, 0} when it is refused.
PeLayout Layout(const std::vector<uint8_t>& head, unsigned long long fileSize) {
  PeLayout layout = {0, 0};
  if (!ReadPeLayout(head.data(), head.size(), fileSize, &layout)) return {0, 0};
  return layout;
}

void ExpectLayout(const std::vector<uint8_t>& head, unsigned long long fileSize,
                  uint32_t sectionsEnd, uint32_t regionEnd) {
  PeLayout layout = Layout(head, fileSize);
  EXPECT_EQ(layout.sectionsEnd, sectionsEnd);
  EXPECT_EQ(layout.regionEnd, regionEnd);
}

TEST(PeLayout, SectionsEndAtTheFurthestRawDataInAnyOrder) {
  for (bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "PE32+" : "PE32");
    Image image;
    image.wide = wide;
    // Out of file order, and an uninitialised section with a pointer but no raw data.
    image.sections = {{0xA00, 0x200}, {0x400, 0x200}, {0x5000, 0}, {0x600, 0x400}};
    ExpectLayout(image.Headers(), 0xC00, 0xC00, 0xC00);
    // Unsigned, whatever follows the sections belongs to the region.
    ExpectLayout(image.Headers(), 0x1234, 0xC00, 0x1234);
  }
}

TEST(PeLayout, ACertificateTableEndsTheRegion) {
  for (bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "PE32+" : "PE32");
    Image image;
    image.wide = wide;
    image.certificates = 0x1000;
    image.certificatesSize = 0x100;
    ExpectLayout(image.Headers(), 0x1100, 0xC00, 0x1000);
    // Signed right after the sections: an empty region.
    image.certificates = 0xC00;
    ExpectLayout(image.Headers(), 0xD00, 0xC00, 0xC00);
  }
}

TEST(PeLayout, ACertificateEntryOutsideTheDirectoriesIsNone) {
  Image image;
  image.certificates = 0x1000;
  image.certificatesSize = 0x100;
  std::vector<uint8_t> head = image.Headers();
  Put32(&head, image.Directories() - 4, 4);  // the security entry is not among them
  ExpectLayout(head, 0x1100, 0xC00, 0x1100);
  // An optional header that ends before the security entry.
  head = image.Headers();
  Put16(&head, kPe + 20, 96 + 4 * 8);
  head.erase(head.begin() + kOptional + 96 + 32, head.begin() + image.Table());
  ExpectLayout(head, 0x1100, 0xC00, 0x1100);
}

TEST(PeLayout, TruncatedHeadersAreRefused) {
  std::vector<uint8_t> head = Image().Headers();
  for (size_t bytes = 0; bytes < head.size(); ++bytes) {
    std::vector<uint8_t> cut(head.begin(), head.begin() + bytes);
    EXPECT_EQ(Layout(cut, 0xC00).sectionsEnd, 0u) << bytes << " bytes";
  }
}

TEST(PeLayout, MalformedHeadersAreRefused) {
  Image image;
  const std::vector<uint8_t> valid = image.Headers();
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
    int width;
  } cases[] = {
      {"no MZ", 0, 'X', 16},
      {"no PE signature", kPe, 'P' | 'X' << 8, 16},
      {"new header far past the buffer", 0x3C, 0xFFFFFFF0, 32},
      {"new header whose file header passes the buffer", 0x3C,
       static_cast<uint32_t>(valid.size() - 20), 32},
      {"more sections than the buffer holds", kPe + 6, 4, 16},
      {"optional header longer than the buffer", kPe + 20, 0xFFFF, 16},
      {"optional header too short for its magic", kPe + 20, 1, 16},
      {"unknown optional header", kOptional, 0x107, 16},
      {"section past the end of the file", image.Table() + 40 + 16, 0x800, 32},
      {"section whose end overflows 32 bits", image.Table() + 20, 0xFFFFFE00, 32},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> head = valid;
    if (c.width == 16)
      Put16(&head, c.at, c.value);
    else
      Put32(&head, c.at, c.value);
    EXPECT_EQ(Layout(head, 0xC00).sectionsEnd, 0u) << c.what;
  }
}

TEST(PeLayout, ImagesWithoutSectionDataOrTooLargeAreRefused) {
  Image image;
  image.sections = {};
  EXPECT_EQ(Layout(image.Headers(), 0x1000).sectionsEnd, 0u) << "no section";
  image.sections = {{0x400, 0}, {0x600, 0}};
  EXPECT_EQ(Layout(image.Headers(), 0x1000).sectionsEnd, 0u) << "no section with data";
  image = Image();
  EXPECT_EQ(Layout(image.Headers(), 0x7FFFFFFFull).regionEnd, 0x7FFFFFFFu);
  EXPECT_EQ(Layout(image.Headers(), 0x80000000ull).sectionsEnd, 0u) << "2 GiB";
  EXPECT_EQ(Layout(image.Headers(), 0x100000C00ull).sectionsEnd, 0u) << "past 4 GiB";
}

TEST(PeLayout, CertificateTablesOutOfPlaceAreRefused) {
  struct Case {
    const char* what;
    uint32_t offset;
    uint32_t size;
  } cases[] = {
      {"inside the sections", 0xA00, 0x100},
      {"at the start of the file", 0, 0x100},
      {"past the end of the file", 0x1080, 0x100},
      {"whose end overflows 32 bits", 0xFFFFFFF0, 0x20},
  };
  for (const Case& c : cases) {
    Image image;
    image.certificates = c.offset;
    image.certificatesSize = c.size;
    EXPECT_EQ(Layout(image.Headers(), 0x1100).sectionsEnd, 0u) << c.what;
  }
}

std::vector<uint8_t> Trailer(const BundleTrailer& fields) {
  std::vector<uint8_t> bytes(TRAILER_BYTES);
  WriteBundleTrailer(fields, bytes.data());
  return bytes;
}

// Reads a trailer for a region of `room` bytes before it; 0 when refused.
int ReadFor(uint32_t room, const std::vector<uint8_t>& trailer, BundleTrailer* out) {
  PeLayout layout = {0xC00, 0xC00 + room + TRAILER_BYTES};
  return ReadBundleTrailer(trailer.data(), layout, out);
}

TEST(BundleTrailer, WhatIsWrittenIsReadBack) {
  BundleTrailer written = {0, 1000, 1000, 54}, read = {};
  ASSERT_EQ(ReadFor(1056, Trailer(written), &read), 1);
  EXPECT_EQ(read.packageOffset, 0u);
  EXPECT_EQ(read.packageSize, 1000u);
  EXPECT_EQ(read.bitmapOffset, 1000u);
  EXPECT_EQ(read.bitmapSize, 54u);
  // Little-endian on disk, behind the magic.
  std::vector<uint8_t> bytes = Trailer(written);
  EXPECT_EQ(memcmp(bytes.data(), TRAILER_MAGIC, TRAILER_MAGIC_BYTES), 0);
  EXPECT_EQ(bytes[20], 1000 & 0xFF);
  EXPECT_EQ(bytes[21], 1000 >> 8);
  EXPECT_EQ(bytes[28], 54);
}

TEST(BundleTrailer, RangesMayReachTheTrailerButNotPassIt) {
  BundleTrailer read;
  EXPECT_EQ(ReadFor(1054, Trailer({0, 1000, 1000, 54}), &read), 1) << "exactly full";
  EXPECT_EQ(ReadFor(1053, Trailer({0, 1000, 1000, 54}), &read), 0) << "bitmap one byte over";
  EXPECT_EQ(ReadFor(999, Trailer({0, 1000, 0, 0}), &read), 0) << "package one byte over";
  EXPECT_EQ(ReadFor(0, Trailer({0, 0, 0, 0}), &read), 1) << "both empty in an empty region";
  EXPECT_EQ(ReadFor(100, Trailer({101, 0, 0, 0}), &read), 0) << "package offset past the end";
  EXPECT_EQ(ReadFor(100, Trailer({0, 0, 101, 0}), &read), 0) << "bitmap offset past the end";
  // Offset and size whose sum wraps around to something small.
  EXPECT_EQ(ReadFor(100, Trailer({8, 0xFFFFFFF8, 0, 0}), &read), 0) << "package sum overflows";
  EXPECT_EQ(ReadFor(100, Trailer({0, 0, 50, 0xFFFFFFD7}), &read), 0) << "bitmap sum overflows";
}

TEST(BundleTrailer, RegionsWithoutATrailerAreRefused) {
  std::vector<uint8_t> trailer = Trailer({0, 0, 0, 0});
  BundleTrailer read;
  PeLayout shortRegion = {0xC00, 0xC00 + TRAILER_BYTES - 1};
  EXPECT_EQ(ReadBundleTrailer(trailer.data(), shortRegion, &read), 0);
  PeLayout backwards = {0xC00, 0xB00};
  EXPECT_EQ(ReadBundleTrailer(trailer.data(), backwards, &read), 0);
  for (int i = 0; i < TRAILER_MAGIC_BYTES; ++i) {
    std::vector<uint8_t> changed = trailer;
    changed[i] ^= 1;
    EXPECT_EQ(ReadFor(64, changed, &read), 0) << "magic byte " << i;
  }
}

TEST(SealRecord, FoundOnlyWhenItsMagicIsUniqueAndTheRecordFits) {
  std::vector<uint8_t> image(4096, 0x5A);
  const unsigned char* magic = UNSEALED_RECORD.magic;
  EXPECT_EQ(FindSealRecord(image.data(), image.size()), -1) << "none";
  memcpy(&image[1000], magic, SEAL_MAGIC_BYTES);
  EXPECT_EQ(FindSealRecord(image.data(), image.size()), 1000);
  // Only the span searched counts: a copy behind it, in the region, is the publisher's data.
  memcpy(&image[3000], magic, SEAL_MAGIC_BYTES);
  EXPECT_EQ(FindSealRecord(image.data(), 3000 + SEAL_MAGIC_BYTES - 1), 1000);
  EXPECT_EQ(FindSealRecord(image.data(), image.size()), -1) << "twice";
  // A magic whose record would pass the end of the span.
  std::vector<uint8_t> tail(200, 0);
  memcpy(&tail[200 - SEAL_RECORD_BYTES + 1], magic, SEAL_MAGIC_BYTES);
  EXPECT_EQ(FindSealRecord(tail.data(), tail.size()), -1);
  std::vector<uint8_t> fits(200, 0);
  memcpy(&fits[200 - SEAL_RECORD_BYTES], magic, SEAL_MAGIC_BYTES);
  EXPECT_EQ(FindSealRecord(fits.data(), fits.size()), 200 - SEAL_RECORD_BYTES);
}

// A seal record's bytes, as the packer patches them in.
std::vector<uint8_t> Record(uint32_t flags, uint32_t packageSize, uint32_t bitmapSize) {
  std::vector<uint8_t> record(SEAL_RECORD_BYTES, 0);
  memcpy(record.data(), UNSEALED_RECORD.magic, SEAL_MAGIC_BYTES);
  Put32(&record, SEAL_FLAGS_OFFSET, flags);
  for (int i = 0; i < SHA256_BYTES; ++i) {
    record[SEAL_PACKAGE_HASH_OFFSET + i] = static_cast<uint8_t>(i);
    record[SEAL_BITMAP_HASH_OFFSET + i] = static_cast<uint8_t>(0xA0 + i);
  }
  Put32(&record, SEAL_PACKAGE_SIZE_OFFSET, packageSize);
  Put32(&record, SEAL_BITMAP_SIZE_OFFSET, bitmapSize);
  return record;
}

TEST(SealedRelease, AFolderSealReadsBackWithoutARegion) {
  SealedRelease release;
  ASSERT_EQ(ReadSealedRelease(Record(SEAL_FOLDER, 70000, 54).data(), nullptr, nullptr, &release),
            SEAL_OK);
  EXPECT_EQ(release.flags, static_cast<uint32_t>(SEAL_FOLDER));
  EXPECT_EQ(release.packageSize, 70000u);
  EXPECT_EQ(release.bitmapSize, 54u);
  EXPECT_EQ(release.packagePosition, 0u);
  EXPECT_EQ(release.bitmapPosition, 0u);
  EXPECT_EQ(release.bitmapCompressed, 0);
  EXPECT_EQ(release.packageHash[31], 31);
  EXPECT_EQ(release.bitmapHash[0], 0xA0);
  // The stub's own record, as built, is the plain launcher's.
  SealRecord plain = UNSEALED_RECORD;
  EXPECT_EQ(
      ReadSealedRelease(reinterpret_cast<const unsigned char*>(&plain), nullptr, nullptr, &release),
      SEAL_NOT_SEALED);
}

TEST(SealedRelease, OnlyKnownAndConsistentFlagsAreUnderstood) {
  const struct {
    uint32_t flags;
    SealStatus status;
  } cases[] = {
      {0, SEAL_NOT_SEALED},
      {SEAL_FOLDER, SEAL_OK},
      {SEAL_SINGLE_FILE, SEAL_NO_REGION},  // understood, and needs its region
      {SEAL_SINGLE_FILE | SEAL_BITMAP_COMPRESSED, SEAL_NO_REGION},
      {SEAL_FOLDER | SEAL_SINGLE_FILE, SEAL_NOT_UNDERSTOOD},
      {SEAL_BITMAP_COMPRESSED, SEAL_NOT_UNDERSTOOD},
      {SEAL_FOLDER | SEAL_BITMAP_COMPRESSED, SEAL_NOT_UNDERSTOOD},
      {8, SEAL_NOT_UNDERSTOOD},
      {SEAL_SINGLE_FILE | 8, SEAL_NOT_UNDERSTOOD},
      {0x80000001u, SEAL_NOT_UNDERSTOOD},
  };
  for (const auto& c : cases) {
    SealedRelease release;
    EXPECT_EQ(ReadSealedRelease(Record(c.flags, 10, 0).data(), nullptr, nullptr, &release),
              c.status)
        << "flags " << c.flags;
  }
}

TEST(SealedRelease, ASingleFileLiesWhereItsTrailerSaysWithTheSealsSizes) {
  PeLayout layout = {0xC00, 0xC00 + 1056 + TRAILER_BYTES};
  std::vector<uint8_t> trailer = Trailer({0, 1000, 1000, 54});
  for (uint32_t flags : {static_cast<uint32_t>(SEAL_SINGLE_FILE),
                         static_cast<uint32_t>(SEAL_SINGLE_FILE | SEAL_BITMAP_COMPRESSED)}) {
    SealedRelease release;
    ASSERT_EQ(ReadSealedRelease(Record(flags, 1000, 54).data(), &layout, trailer.data(), &release),
              SEAL_OK);
    EXPECT_EQ(release.packagePosition, 0xC00u);
    EXPECT_EQ(release.bitmapPosition, 0xC00u + 1000);
    EXPECT_EQ(release.bitmapCompressed, (flags & SEAL_BITMAP_COMPRESSED) != 0);
  }
  // Sizes other than sealed, by one byte either way, in either file.
  const uint32_t sizes[][2] = {{999, 54}, {1001, 54}, {1000, 53}, {1000, 55}, {1000, 0}};
  for (const auto& size : sizes) {
    SealedRelease release;
    EXPECT_EQ(ReadSealedRelease(Record(SEAL_SINGLE_FILE, size[0], size[1]).data(), &layout,
                                trailer.data(), &release),
              SEAL_REGION_DIFFERS)
        << size[0] << " " << size[1];
  }
  // A trailer that is none, or ranges past the region, is no region at all.
  SealedRelease release;
  std::vector<uint8_t> damaged = trailer;
  damaged[0] ^= 1;
  EXPECT_EQ(ReadSealedRelease(Record(SEAL_SINGLE_FILE, 1000, 54).data(), &layout, damaged.data(),
                              &release),
            SEAL_NO_REGION);
  PeLayout smaller = {0xC00, 0xC00 + 1053 + TRAILER_BYTES};
  EXPECT_EQ(ReadSealedRelease(Record(SEAL_SINGLE_FILE, 1000, 54).data(), &smaller, trailer.data(),
                              &release),
            SEAL_NO_REGION);
}

}  // namespace
