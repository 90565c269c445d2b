// The packer's release making: the PE writer keeps images loadable, resources and version
// information read back as written, and `bundle` seals what the launcher will load, in both
// layouts, refusing before it writes anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "common/sha256.h"
#include "package/bundle_format.h"
#include "packer/bundle.h"
#include "packer/commands.h"
#include "packer/failure.h"
#include "packer/input_files.h"
#include "packer/options.h"
#include "packer/release/digest.h"
#include "packer/release/launcher_writer.h"
#include "packer/release/pe_image.h"
#include "packer/release/resources.h"
#include "support/decoding.h"
#include "support/test_stub.h"

namespace {

namespace fs = std::filesystem;
using packer::Failure;
using packer::PeImage;
using packer::Resource;

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

void Set32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

const packer::PeSection& SectionNamed(const PeImage& image, const std::string& name) {
  for (const packer::PeSection& section : image.sections())
    if (section.name == name) return section;
  throw std::runtime_error("no section " + name);
}

Resource MakeResource(uint16_t type, uint16_t name, uint16_t language, size_t size) {
  Resource r;
  r.type.id = type;
  r.name.id = name;
  r.language = language;
  for (size_t i = 0; i < size; ++i) r.data.push_back(static_cast<uint8_t>(i * 7 + type));
  return r;
}

// An .ico file: one 16x16 image with a bitmap header whose entry leaves planes and bit count at
// zero, as some writers do, and one PNG image.
std::vector<uint8_t> MakeIco() {
  std::vector<uint8_t> bitmap(40 + 16 * 16 * 4 + 16 * 4, 0x11);
  Set32(&bitmap, 0, 40);
  Set32(&bitmap, 4, 16);
  Set32(&bitmap, 8, 32);  // the colour rows and the mask's
  Set32(&bitmap, 32, 0);
  bitmap[12] = 1;  // planes
  bitmap[13] = 0;
  bitmap[14] = 32;  // bits per pixel
  bitmap[15] = 0;
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0,
                              13,   'I', 'H', 'D', 'R',  0,    0,    1,    0, 0, 0,
                              1,    0,   8,   6,   0,    0,    0,    1,    2, 3, 4};
  std::vector<uint8_t> ico(6 + 2 * 16, 0);
  ico[2] = 1;
  ico[4] = 2;
  ico[6] = 16;
  ico[7] = 16;
  Set32(&ico, 6 + 8, static_cast<uint32_t>(bitmap.size()));
  Set32(&ico, 6 + 12, static_cast<uint32_t>(ico.size()));
  ico[22] = 0;  // 256 x 256
  ico[23] = 0;
  ico[22 + 4] = 1;
  ico[22 + 6] = 32;
  Set32(&ico, 22 + 8, static_cast<uint32_t>(png.size()));
  Set32(&ico, 22 + 12, static_cast<uint32_t>(ico.size() + bitmap.size()));
  // Copied into room made first: GCC 12's -O3 warns about inserting into a small vector.
  const size_t at = ico.size();
  ico.resize(at + bitmap.size() + png.size());
  std::copy(bitmap.begin(), bitmap.end(), ico.begin() + static_cast<long>(at));
  std::copy(png.begin(), png.end(), ico.begin() + static_cast<long>(at + bitmap.size()));
  return ico;
}

std::vector<uint8_t> MakeBmp() {
  std::vector<uint8_t> bmp(54 + 4 * 4 * 3, 0x80);
  bmp[0] = 'B';
  bmp[1] = 'M';
  Set32(&bmp, 2, static_cast<uint32_t>(bmp.size()));
  Set32(&bmp, 10, 54);
  Set32(&bmp, 14, 40);
  return bmp;
}

// ---- The PE image: reading, and rewriting the resources without breaking what stays.

TEST(PeImageTest, ReadsTheLinkersLayout) {
  PeImage image(MakeTestStub(), "stub");
  ASSERT_EQ(image.sections().size(), 4u);
  EXPECT_EQ(image.sections()[2].name, ".rsrc");
  EXPECT_EQ(image.directory(packer::DIRECTORY_RESOURCE).address, 0x3000u);
  EXPECT_EQ(image.sizeOfImage(), 0x5000u);
  EXPECT_EQ(image.EndOfSections(), image.bytes().size());
  EXPECT_FALSE(image.IsSigned());
  EXPECT_EQ(image.AppendedSize(), 0u);
  std::vector<Resource> resources = packer::ReadResources(image, "stub");
  ASSERT_EQ(resources.size(), 1u);
  EXPECT_EQ(resources[0].type.id, packer::kResourceManifest);
  EXPECT_EQ(resources[0].language, 1033);
  EXPECT_EQ(std::string(resources[0].data.begin(), resources[0].data.end()), TestStubManifest());
}

TEST(PeImageTest, DamagedImagesAreRefusedNeverOverread) {
  std::vector<uint8_t> stub = MakeTestStub();
  // Cut anywhere in the headers or the sections: a Failure, and AddressSanitizer sees no
  // read past the buffer.
  for (size_t size = 0; size < stub.size(); size += size < 0x400 ? 7 : 0x100) {
    std::vector<uint8_t> cut(stub.begin(), stub.begin() + size);
    EXPECT_THROW(PeImage(cut, "cut"), Failure) << size;
  }
  auto damaged = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> bytes = stub;
    Set32(&bytes, at, value);
    return bytes;
  };
  const size_t pe = 0x80, optional = pe + 24, table = optional + 224;
  EXPECT_THROW(PeImage(damaged(0x3C, 0xFFFFFFF0u), "x"), Failure);
  EXPECT_THROW(PeImage(damaged(optional, 0x10C), "x"), Failure);               // unknown magic
  EXPECT_THROW(PeImage(damaged(optional + 36, 0x300), "x"), Failure);          // file alignment
  EXPECT_THROW(PeImage(damaged(optional + 92, 17), "x"), Failure);             // directories
  EXPECT_THROW(PeImage(damaged(table + 40 + 20, 0xFFFFFF00u), "x"), Failure);  // raw data
  EXPECT_THROW(PeImage(damaged(table + 40 + 12, 0x1000), "x"), Failure);       // overlapping
  EXPECT_THROW(PeImage(damaged(optional + 56, 0x3000), "x"), Failure);         // image size
  // A resource directory whose table points back at itself is not followed for ever.
  std::vector<uint8_t> loop = stub;
  const size_t rsrc = SectionNamed(PeImage(stub, "x"), ".rsrc").rawOffset;
  Set32(&loop, rsrc + 0x2C, 0x80000000u);
  EXPECT_THROW(packer::ReadResources(PeImage(loop, "x"), "x"), Failure);
  std::vector<uint8_t> outside = stub;
  Set32(&outside, rsrc + 0x48, 0x9000);  // data beyond the image
  EXPECT_THROW(packer::ReadResources(PeImage(outside, "x"), "x"), Failure);
}

TEST(PeImageTest, LargerResourcesMoveTheRelocationsAndNothingElse) {
  const std::vector<uint8_t> stub = MakeTestStub();
  const PeImage before(stub, "stub");
  PeImage image(stub, "stub");
  std::vector<Resource> resources = {MakeResource(24, 1, 1033, 300),
                                     MakeResource(10, 7, 0, 0x2345)};
  image.ReplaceResources(
      [&](uint32_t address) { return packer::ResourceSection(resources, address); });

  const packer::PeSection& rsrc = SectionNamed(image, ".rsrc");
  const packer::PeSection& reloc = SectionNamed(image, ".reloc");
  EXPECT_EQ(rsrc.virtualAddress, 0x3000u);
  EXPECT_GE(rsrc.virtualSize, 0x2345u);
  EXPECT_EQ(rsrc.rawSize % image.fileAlignment(), 0u);
  EXPECT_EQ(reloc.virtualAddress, 0x6000u) << "right after the grown resources";
  EXPECT_EQ(reloc.rawOffset, rsrc.rawOffset + rsrc.rawSize);
  EXPECT_EQ(image.directory(packer::DIRECTORY_BASERELOC).address, 0x6000u);
  EXPECT_EQ(image.directory(packer::DIRECTORY_BASERELOC).size, 12u);
  EXPECT_EQ(image.directory(packer::DIRECTORY_RESOURCE).address, 0x3000u);
  EXPECT_EQ(image.sizeOfImage(), 0x7000u);
  EXPECT_EQ(image.sizeOfInitializedData(),
            before.sizeOfInitializedData() - SectionNamed(before, ".rsrc").rawSize + rsrc.rawSize);
  // The relocations' bytes, and everything before the resources, are as they were.
  const packer::PeSection& oldReloc = SectionNamed(before, ".reloc");
  EXPECT_TRUE(std::equal(stub.begin() + oldReloc.rawOffset,
                         stub.begin() + oldReloc.rawOffset + oldReloc.rawSize,
                         image.bytes().begin() + reloc.rawOffset));
  EXPECT_TRUE(std::equal(stub.begin() + 0x400, stub.begin() + rsrc.rawOffset,
                         image.bytes().begin() + 0x400));

  std::vector<Resource> read = packer::ReadResources(image, "branded");
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].type.id, 10) << "sorted by type for the loader's search";
  EXPECT_EQ(read[0].data, resources[1].data);
  EXPECT_EQ(read[1].data, resources[0].data);

  // Smaller again: the relocations come back down.
  image.ReplaceResources(
      [&](uint32_t address) { return packer::ResourceSection({resources[0]}, address); });
  EXPECT_EQ(SectionNamed(image, ".reloc").virtualAddress, 0x4000u);
  EXPECT_EQ(image.sizeOfImage(), 0x5000u);
  EXPECT_EQ(image.sizeOfInitializedData(), before.sizeOfInitializedData());
}

TEST(PeImageTest, AStubWithoutResourcesGetsASectionBeforeTheRelocations) {
  TestStubShape shape;
  shape.resources = false;
  PeImage image(MakeTestStub(shape), "stub");
  EXPECT_TRUE(packer::ReadResources(image, "stub").empty());
  image.ReplaceResources([&](uint32_t address) {
    return packer::ResourceSection({MakeResource(16, 1, 1033, 64)}, address);
  });
  ASSERT_EQ(image.sections().size(), 4u);
  EXPECT_EQ(image.sections()[2].name, ".rsrc");
  EXPECT_EQ(image.sections()[2].virtualAddress, 0x3000u);
  EXPECT_EQ(image.sections()[3].name, ".reloc");
  EXPECT_EQ(image.directory(packer::DIRECTORY_BASERELOC).address, 0x4000u);
  EXPECT_EQ(packer::ReadResources(image, "stub").size(), 1u);

  shape.headerRoom = 0x200;  // the section table fills the headers
  PeImage full(MakeTestStub(shape), "stub");
  EXPECT_THROW(full.ReplaceResources([](uint32_t) { return std::vector<uint8_t>(8); }), Failure);
}

TEST(PeImageTest, RefusesToMoveWhatSomethingPointsInto) {
  TestStubShape shape;
  shape.pointsIntoResources = true;
  PeImage image(MakeTestStub(shape), "stub");
  try {
    image.ReplaceResources([](uint32_t) { return std::vector<uint8_t>(8); });
    FAIL() << "a pointer into the resources went unnoticed";
  } catch (const Failure& failure) {
    EXPECT_NE(std::string(failure.what()).find("0x3010"), std::string::npos) << failure.what();
  }
  // Sections after the resources with no relocations to vouch for them stay where they are.
  shape.pointsIntoResources = false;
  std::vector<uint8_t> bytes = MakeTestStub(shape);
  PeImage plain(bytes, "stub");
  Set32(&bytes, 0x80 + 24 + 96 + 40, 0);
  Set32(&bytes, 0x80 + 24 + 96 + 44, 0);
  PeImage unrelocated(bytes, "stub");
  EXPECT_THROW(unrelocated.ReplaceResources([](uint32_t) { return std::vector<uint8_t>(8); }),
               Failure);
}

TEST(PeImageTest, SignatureAndAppendedDataAreSeenAndTheSignatureRemoved) {
  const std::vector<uint8_t> stub = MakeTestStub();
  std::vector<uint8_t> signedStub = stub;
  signedStub.resize(signedStub.size() + 24, 0x5A);  // a certificate table of 24 bytes
  Set32(&signedStub, 0x80 + 24 + 96 + 32, static_cast<uint32_t>(stub.size()));
  Set32(&signedStub, 0x80 + 24 + 96 + 36, 24);
  PeImage image(signedStub, "signed");
  EXPECT_TRUE(image.IsSigned());
  EXPECT_EQ(image.AppendedSize(), 0u);
  EXPECT_THROW(image.Append({1, 2, 3}), Failure);
  EXPECT_THROW(image.ReplaceResources([](uint32_t) { return std::vector<uint8_t>(8); }), Failure);
  image.RemoveSignature();
  EXPECT_FALSE(image.IsSigned());
  EXPECT_EQ(image.bytes(), stub);

  PeImage appended(stub, "stub");
  appended.Append({1, 2, 3});
  EXPECT_EQ(appended.AppendedSize(), 3u);
  EXPECT_EQ(PeImage(appended.bytes(), "again").AppendedSize(), 3u);
  EXPECT_THROW(appended.ReplaceResources([](uint32_t) { return std::vector<uint8_t>(8); }),
               Failure);
  // A table that is not behind the sections is no certificate table.
  Set32(&signedStub, 0x80 + 24 + 96 + 32, 0x100);
  EXPECT_THROW(PeImage(signedStub, "x"), Failure);
}

TEST(PeImageTest, ChecksumFoldsWordsAndAddsTheLength) {
  // Words 0x0001, 0xFFFF, [checksum field], 0x0002 and an odd last byte 0x03: the sum 0x10005
  // folds to 0x0006, plus the length 11.
  std::vector<uint8_t> bytes = {0x01, 0x00, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x00, 0x03};
  EXPECT_EQ(PeImage::ComputeChecksum(bytes, 4), 0x6u + 11u);
  PeImage image(MakeTestStub(), "stub");
  image.UpdateChecksum();
  EXPECT_EQ(image.checksum(), PeImage::ComputeChecksum(image.bytes(), image.checksumOffset()));
  EXPECT_NE(image.checksum(), 0u);
}

// ---- Resources: the section's tree, icons and version information.

TEST(ResourcesTest, SectionsReadBackWhateverTheMixOfNamesAndLanguages) {
  std::vector<Resource> resources = {MakeResource(3, 2, 1033, 5), MakeResource(3, 1, 1033, 9),
                                     MakeResource(3, 1, 1031, 0), MakeResource(24, 1, 1033, 17)};
  Resource named = MakeResource(0, 0, 0, 3);
  named.type.text = u"Custom";
  named.name.text = u"logo";
  resources.push_back(named);
  std::vector<uint8_t> stub = MakeTestStub();
  PeImage image(stub, "stub");
  image.ReplaceResources(
      [&](uint32_t address) { return packer::ResourceSection(resources, address); });
  std::vector<Resource> read = packer::ReadResources(image, "x");
  ASSERT_EQ(read.size(), 5u);
  // Named types first, names in upper case; numbers ascending; languages ascending.
  EXPECT_EQ(read[0].type.text, u"CUSTOM");
  EXPECT_EQ(read[0].name.text, u"LOGO");
  EXPECT_EQ(read[1].name.id, 1);
  EXPECT_EQ(read[1].language, 1031);
  EXPECT_TRUE(read[1].data.empty());
  EXPECT_EQ(read[2].language, 1033);
  EXPECT_EQ(read[2].data, resources[1].data);
  EXPECT_EQ(read[3].name.id, 2);
  EXPECT_EQ(read[4].type.id, 24);
  EXPECT_EQ(read[4].data, resources[3].data);
  EXPECT_THROW(packer::ResourceSection({resources[0], resources[0]}, 0x3000), Failure);
}

TEST(ResourcesTest, IconFilesBecomeAGroupAndNumberedImages) {
  std::vector<uint8_t> ico = MakeIco();
  std::vector<Resource> icon = packer::IconResources(ico, "app.ico");
  ASSERT_EQ(icon.size(), 3u);
  EXPECT_EQ(icon[0].type.id, packer::kResourceIcon);
  EXPECT_EQ(icon[0].name.id, 1);
  EXPECT_EQ(icon[0].data.size(), 40u + 16 * 16 * 4 + 16 * 4);
  EXPECT_EQ(icon[1].data[1], 'P');
  const std::vector<uint8_t>& group = icon[2].data;
  EXPECT_EQ(icon[2].type.id, packer::kResourceGroupIcon);
  ASSERT_EQ(group.size(), 6u + 2 * 14);
  EXPECT_EQ(group[4], 2);
  EXPECT_EQ(group[6], 16) << "width";
  EXPECT_EQ(group[6 + 4], 1) << "planes filled in from the bitmap header";
  EXPECT_EQ(group[6 + 6], 32) << "bit count filled in from the bitmap header";
  EXPECT_EQ(Get32(group, 6 + 8), icon[0].data.size());
  EXPECT_EQ(group[6 + 12], 1) << "image number";
  EXPECT_EQ(group[20 + 12], 2);

  auto refused = [&](std::vector<uint8_t> bytes, const char* why) {
    try {
      packer::IconResources(bytes, "bad.ico");
      ADD_FAILURE() << "accepted: " << why;
    } catch (const Failure& failure) {
      EXPECT_NE(std::string(failure.what()).find(why), std::string::npos) << failure.what();
    }
  };
  std::vector<uint8_t> cursor = ico;
  cursor[2] = 2;
  refused(cursor, "cursor");
  std::vector<uint8_t> none = ico;
  none[4] = 0;
  refused(none, "no image");
  refused(std::vector<uint8_t>(ico.begin(), ico.begin() + 30), "truncated");
  std::vector<uint8_t> outside = ico;
  Set32(&outside, 22 + 12, static_cast<uint32_t>(ico.size()) - 4);
  refused(outside, "outside");
  std::vector<uint8_t> garbage = ico;
  garbage[38] = 'x';
  refused(garbage, "neither");
  refused({'G', 'I', 'F', '8', '9', 'a'}, "not an icon");
}

// An .ico of `count` entries that all name the PNG image of MakeIco's, of `width` x `width`.
std::vector<uint8_t> IcoNamingOneImage(size_t count, uint8_t width) {
  std::vector<uint8_t> ico = MakeIco();
  std::vector<uint8_t> png(ico.begin() + static_cast<long>(Get32(ico, 22 + 12)), ico.end());
  std::vector<uint8_t> many(6 + 16 * count, 0);
  many[2] = 1;
  many[4] = static_cast<uint8_t>(count);
  many[5] = static_cast<uint8_t>(count >> 8);
  for (size_t i = 0; i < count; ++i) {
    many[6 + 16 * i] = width;
    many[6 + 16 * i + 1] = width;
    Set32(&many, 6 + 16 * i + 8, static_cast<uint32_t>(png.size()));
    Set32(&many, 6 + 16 * i + 12, static_cast<uint32_t>(many.size()));
  }
  const size_t at = many.size();
  many.resize(at + png.size());
  std::copy(png.begin(), png.end(), many.begin() + static_cast<long>(at));
  return many;
}

TEST(ResourcesTest, IconsHoldEachImageOnceAndNoMoreThanTheFile) {
  // Entries that all name one image: one image resource, every entry of the group naming it.
  std::vector<uint8_t> shared = IcoNamingOneImage(200, 0);
  std::vector<Resource> icon = packer::IconResources(shared, "shared.ico");
  ASSERT_EQ(icon.size(), 2u);
  EXPECT_EQ(icon[1].type.id, packer::kResourceGroupIcon);
  ASSERT_EQ(icon[1].data.size(), 6u + 14 * 200);
  for (size_t i = 0; i < 200; ++i) EXPECT_EQ(icon[1].data[6 + 14 * i + 12], 1) << i;
  std::vector<uint8_t> section = packer::ResourceSection(icon, 0x3000);
  EXPECT_LE(section.size(), shared.size() + 256) << "the section holds more than the file";

  auto refused = [](const std::vector<uint8_t>& bytes, const char* why) {
    try {
      packer::IconResources(bytes, "bad.ico");
      ADD_FAILURE() << "accepted: " << why;
    } catch (const Failure& failure) {
      EXPECT_NE(std::string(failure.what()).find(why), std::string::npos) << failure.what();
    }
  };
  refused(IcoNamingOneImage(257, 0), "more than the 256");
  refused(IcoNamingOneImage(4000, 0), "more than the 256");
  refused(IcoNamingOneImage(2, 48), "another size");
  // Images that share bytes without being the same image would count those bytes twice.
  std::vector<uint8_t> overlapping = IcoNamingOneImage(2, 0);
  Set32(&overlapping, 22 + 8, Get32(overlapping, 22 + 8) - 1);
  Set32(&overlapping, 22 + 12, Get32(overlapping, 22 + 12) + 1);
  refused(overlapping, "overlaps image 1");
  std::vector<uint8_t> intoList = IcoNamingOneImage(2, 0);
  Set32(&intoList, 22 + 12, 6);
  refused(intoList, "overlaps the image list");

  // A bitmap is checked against its entry and must hold its header, colours and both masks.
  std::vector<uint8_t> ico = MakeIco();
  const uint32_t bitmapSize = Get32(ico, 6 + 8);
  std::vector<uint8_t> shortBitmap = ico;
  Set32(&shortBitmap, 6 + 8, bitmapSize - 1);
  refused(shortBitmap, "shorter than its pixels");
  std::vector<uint8_t> wide = ico;
  Set32(&wide, 38 + 4, 17);
  refused(wide, "another size");
  std::vector<uint8_t> palette = ico;
  palette[38 + 14] = 8;  // 8 bits a pixel need 256 colours before the pixels
  refused(palette, "shorter than its pixels");
  std::vector<uint8_t> noHeader = ico;
  Set32(&noHeader, 22 + 8, 20);
  refused(noHeader, "without its header");
}

TEST(ResourcesTest, VersionInformationReadsBack) {
  packer::VersionInfo info;
  ASSERT_TRUE(packer::ParseVersionNumber("1.2.3", &info.fileVersion));
  info.productVersion = {4, 5, 6, 65535};
  // Odd lengths test the padding; a character beyond the Basic Multilingual Plane and an empty
  // value the edges of the text.
  info.strings = {{"CompanyName", "Zeta Éditions"},
                  {"ProductName", "Setup \xF0\x9F\x93\xA6 Demo"},
                  {"X", ""},
                  {"LegalCopyright", "(c) 2026"}};
  std::vector<uint8_t> data = packer::VersionResourceData(info);
  EXPECT_EQ(data.size() % 4, 0u);
  EXPECT_EQ(data[0] | data[1] << 8, static_cast<int>(data.size()));
  packer::VersionInfo read = packer::ReadVersionResource(data, "x");
  EXPECT_EQ(read.fileVersion, (std::array<uint16_t, 4>{1, 2, 3, 0}));
  EXPECT_EQ(read.productVersion, info.productVersion);
  EXPECT_EQ(read.strings, info.strings);
  EXPECT_EQ(read.translations, std::vector<uint32_t>{0x04B00409u});
  // The fixed part as Explorer reads it: the signature, then the four version words.
  EXPECT_EQ(Get32(data, 40), 0xFEEF04BDu);
  EXPECT_EQ(Get32(data, 48), 0x00010002u);
  EXPECT_EQ(Get32(data, 52), 0x00030000u);

  std::vector<uint8_t> cut(data.begin(), data.begin() + 60);
  EXPECT_THROW(packer::ReadVersionResource(cut, "x"), Failure);
  std::vector<uint8_t> bad = data;
  bad[40] ^= 1;
  EXPECT_THROW(packer::ReadVersionResource(bad, "x"), Failure);
  info.strings = {{"ProductName", "\xC0\xAF"}};
  EXPECT_THROW(packer::VersionResourceData(info), Failure);
  // Readers stop at the first NUL: text holding one would read back cut short.
  info.strings = {{"ProductName", std::string("Zeta\0hidden", 11)}};
  EXPECT_THROW(packer::VersionResourceData(info), Failure);
  info.strings = {{"", "no name"}};
  EXPECT_THROW(packer::VersionResourceData(info), Failure);
}

TEST(ResourcesTest, VersionNumbersAndTextAreCheckedStrictly) {
  std::array<uint16_t, 4> v{};
  EXPECT_TRUE(packer::ParseVersionNumber("7", &v));
  EXPECT_EQ(v, (std::array<uint16_t, 4>{7, 0, 0, 0}));
  EXPECT_TRUE(packer::ParseVersionNumber("65535.0.1.2", &v));
  EXPECT_EQ(v, (std::array<uint16_t, 4>{65535, 0, 1, 2}));
  for (const char* bad :
       {"", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "1.2a", "-1", " 1", "1.2 ", "0000001", "v1"})
    EXPECT_FALSE(packer::ParseVersionNumber(bad, &v)) << bad;

  std::u16string text;
  EXPECT_TRUE(packer::Utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xA6", &text));
  EXPECT_EQ(text, u"a\u00E9\u20AC\U0001F4E6");
  EXPECT_EQ(packer::Utf16ToUtf8(text), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xA6");
  for (const char* bad :
       {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3", "\x80", "\xFF"})
    EXPECT_FALSE(packer::Utf8ToUtf16(bad, &text)) << bad;
}

TEST(DigestTest, Sha256OfKnownMessages) {
  EXPECT_EQ(packer::HexDigest(packer::Sha256(nullptr, 0)),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(packer::HexDigest(packer::Sha256(reinterpret_cast<const uint8_t*>(abc.data()), 3)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// The launcher's own SHA-256, on the processor's instructions, must give the library's digest
// for every length around the block and padding edges, whole or fed in uneven pieces: one wrong
// word would make every sealed release refuse itself.
TEST(DigestTest, TheProcessorsSha256IsTheLibrarys) {
  if (!Sha256Accelerated()) GTEST_SKIP() << "this processor has no SHA instructions";
  std::vector<uint8_t> data(70000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 8));
  std::vector<size_t> lengths = {1000, 4095, 4096, 65537, 70000};
  for (size_t length = 0; length <= 200; ++length) lengths.push_back(length);
  for (size_t length : lengths) {
    const packer::Sha256Digest expected = packer::Sha256(data.data(), length);
    packer::Sha256Digest whole, pieces;
    Sha256State state;
    Sha256Init(&state);
    Sha256Update(&state, data.data(), length);
    Sha256Final(&state, whole.data());
    EXPECT_EQ(packer::HexDigest(whole), packer::HexDigest(expected)) << length << " bytes at once";
    Sha256Init(&state);
    for (size_t at = 0, piece = 1; at < length; piece = piece * 7 % 131 + 1) {
      const size_t count = std::min(piece, length - at);
      Sha256Update(&state, data.data() + at, count);
      at += count;
    }
    Sha256Final(&state, pieces.data());
    EXPECT_EQ(packer::HexDigest(pieces), packer::HexDigest(expected))
        << length << " bytes in pieces";
  }
}

// ---- bundle: both layouts from a payload folder or a package, and what it refuses.

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("bundle-test-" + std::to_string(std::random_device()()));
    fs::create_directories(root_ / "payload" / "data");
    Write("payload/Installer.exe", "MZ not really an installer");
    Write("payload/data/readme.txt", std::string(5000, 'r'));
    WriteBytes("stub.exe", MakeTestStub());
    WriteBytes("splash.bmp", MakeBmp());
    WriteBytes("app.ico", MakeIco());
    options_.quiet = true;
    options_.jobs = 1;
    bundle_.source = root_ / "payload";
    bundle_.stub = root_ / "stub.exe";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(root_ / name, std::ios::binary) << text;
  }
  void WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(root_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  }
  std::vector<uint8_t> Read(const fs::path& path) { return packer::ReadWholeFile(path); }
  std::vector<std::string> Listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  void Bundle() { ASSERT_EQ(packer::BundleCommand(bundle_, options_), 0); }
  // The message of the Failure the bundle ends with; fails the test when it succeeds.
  std::string Refusal() {
    try {
      packer::BundleCommand(bundle_, options_);
    } catch (const Failure& failure) {
      return failure.what();
    }
    ADD_FAILURE() << "bundle succeeded";
    return "";
  }
  // The seal's flags, hashes and sizes in a launcher.
  struct Seal {
    uint32_t flags;
    packer::Sha256Digest package, bitmap;
    uint32_t packageSize, bitmapSize;
  };
  Seal SealOf(const std::vector<uint8_t>& launcher) {
    PeImage image(launcher, "launcher");
    long at = FindSealRecord(launcher.data(), image.EndOfSections());
    EXPECT_GE(at, 0);
    Seal seal{};
    if (at < 0) return seal;
    seal.flags = Get32(launcher, at + SEAL_FLAGS_OFFSET);
    std::copy_n(launcher.begin() + at + SEAL_PACKAGE_HASH_OFFSET, 32, seal.package.begin());
    std::copy_n(launcher.begin() + at + SEAL_BITMAP_HASH_OFFSET, 32, seal.bitmap.begin());
    seal.packageSize = Get32(launcher, at + SEAL_PACKAGE_SIZE_OFFSET);
    seal.bitmapSize = Get32(launcher, at + SEAL_BITMAP_SIZE_OFFSET);
    return seal;
  }

  fs::path root_;
  packer::Options options_;
  packer::BundleOptions bundle_;
};

TEST_F(BundleTest, FolderReleaseIsSealedToItsPackageAndSplash) {
  bundle_.output = root_ / "out";
  bundle_.splash = root_ / "splash.bmp";
  Bundle();
  EXPECT_EQ(Listing(root_ / "out"),
            (std::vector<std::string>{"Pack.qvd", "setup.bmp", "setup.exe"}));
  std::vector<uint8_t> launcher = Read(root_ / "out" / "setup.exe");
  Seal seal = SealOf(launcher);
  EXPECT_EQ(seal.flags, static_cast<uint32_t>(SEAL_FOLDER));
  EXPECT_EQ(seal.package, packer::Sha256(Read(root_ / "out" / "Pack.qvd")));
  EXPECT_EQ(seal.bitmap, packer::Sha256(MakeBmp()));
  EXPECT_EQ(seal.packageSize, Read(root_ / "out" / "Pack.qvd").size());
  EXPECT_EQ(seal.bitmapSize, MakeBmp().size());
  EXPECT_EQ(Read(root_ / "out" / "setup.bmp"), MakeBmp());
  // Only the seal changed: no branding asked for, so the resources are the stub's.
  std::vector<uint8_t> stub = MakeTestStub();
  PeImage image(launcher, "launcher");
  EXPECT_EQ(image.checksum(), PeImage::ComputeChecksum(launcher, image.checksumOffset()));
  size_t differing = 0;
  for (size_t i = 0; i < stub.size(); ++i) differing += stub[i] != launcher[i];
  EXPECT_LE(differing, 4u + 4 + 64 + 8) << "flags, checksum, the two hashes and sizes";
  EXPECT_EQ(launcher.size(), stub.size());

  // The package unpacks to the payload.
  EXPECT_EQ(packer::ExtractCommand(root_ / "out" / "Pack.qvd", root_ / "unpacked", options_), 0);
  EXPECT_EQ(Listing(root_ / "unpacked"), (std::vector<std::string>{"Installer.exe", "data"}));
}

TEST_F(BundleTest, TheSealIsOfTheBytesWrittenNotOfWhatThePathHoldsLater) {
  // Whoever can write the release folder swaps Pack.qvd right after it is in place.
  fs::create_directories(root_ / "other");
  std::ofstream(root_ / "other" / "Installer.exe") << "another installer altogether";
  packer::Options create = options_;
  create.output = root_ / "planted.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "other", create), 0);
  const std::vector<uint8_t> planted = Read(root_ / "planted.qvd");
  static std::vector<uint8_t> written, plant;
  plant = planted;
  packer::g_packageWritten = [](const fs::path& package) {
    written = packer::ReadWholeFile(package);
    std::ofstream(package, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(plant.data()), static_cast<long>(plant.size()));
  };
  struct Unhook {
    ~Unhook() { packer::g_packageWritten = nullptr; }
  } unhook;
  create.output = root_ / "made.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "payload", create), 0);
  for (const char* source : {"payload", "made.qvd"}) {
    SCOPED_TRACE(source);
    written.clear();
    bundle_.source = root_ / source;
    bundle_.output = root_ / (std::string("out-") + source);
    Bundle();
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(Read(bundle_.output / "Pack.qvd"), planted) << "the swap happened";
    Seal seal = SealOf(Read(bundle_.output / "setup.exe"));
    EXPECT_EQ(seal.package, packer::Sha256(written));
    EXPECT_NE(seal.package, packer::Sha256(planted)) << "sealed to the planted package";
  }
}

TEST_F(BundleTest, FolderReleaseWithoutSplashIsSealedToNoBitmap) {
  bundle_.output = root_ / "out";
  fs::create_directories(root_ / "out");
  Write("out/setup.bmp", "left from an earlier release");
  Bundle();
  EXPECT_EQ(Listing(root_ / "out"), (std::vector<std::string>{"Pack.qvd", "setup.exe"}));
  Seal seal = SealOf(Read(root_ / "out" / "setup.exe"));
  EXPECT_EQ(packer::HexDigest(seal.bitmap),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(seal.bitmapSize, 0u);
}

TEST_F(BundleTest, FromAPackageTheSamePackageShips) {
  packer::Options create = options_;
  create.output = root_ / "given.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "payload", create), 0);
  bundle_.source = root_ / "given.qvd";
  bundle_.output = root_ / "out";
  Bundle();
  EXPECT_EQ(Read(root_ / "out" / "Pack.qvd"), Read(root_ / "given.qvd"));
  EXPECT_EQ(SealOf(Read(root_ / "out" / "setup.exe")).package,
            packer::Sha256(Read(root_ / "given.qvd")));

  // A damaged package is checked as verify does, and nothing is made.
  std::vector<uint8_t> damaged = Read(root_ / "given.qvd");
  damaged.resize(damaged.size() - 3);
  WriteBytes("damaged.qvd", damaged);
  bundle_.source = root_ / "damaged.qvd";
  bundle_.output = root_ / "out2";
  testing::internal::CaptureStdout();
  EXPECT_NE(Refusal().find("problems"), std::string::npos);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(fs::exists(root_ / "out2"));
}

TEST_F(BundleTest, SingleFileHoldsPackageAndSplashWhereTheLauncherLooks) {
  bundle_.output = root_ / "setup.exe";
  bundle_.singleFile = true;
  bundle_.splash = root_ / "splash.bmp";
  Bundle();
  EXPECT_EQ(Listing(root_),
            (std::vector<std::string>{"app.ico", "payload", "setup.exe", "splash.bmp", "stub.exe"}))
      << "no temporary package left";
  std::vector<uint8_t> launcher = Read(root_ / "setup.exe");
  PeImage image(launcher, "launcher");
  EXPECT_EQ(image.checksum(), PeImage::ComputeChecksum(launcher, image.checksumOffset()));
  EXPECT_EQ(image.EndOfSections(), MakeTestStub().size()) << "the stub's sections unchanged";

  // Read as the launcher reads it.
  PeLayout layout;
  ASSERT_TRUE(ReadPeLayout(launcher.data(), launcher.size(), launcher.size(), &layout));
  EXPECT_EQ(layout.sectionsEnd, image.EndOfSections());
  EXPECT_EQ(layout.regionEnd, launcher.size());
  EXPECT_EQ((layout.regionEnd - layout.sectionsEnd) % REGION_ALIGNMENT, 0u);
  BundleTrailer trailer;
  ASSERT_TRUE(ReadBundleTrailer(&launcher[layout.regionEnd - TRAILER_BYTES], layout, &trailer));
  EXPECT_EQ(trailer.packageOffset, 0u);
  EXPECT_EQ(trailer.bitmapOffset, trailer.packageSize);
  std::vector<uint8_t> package(launcher.begin() + layout.sectionsEnd,
                               launcher.begin() + layout.sectionsEnd + trailer.packageSize);
  std::vector<uint8_t> stored(
      launcher.begin() + layout.sectionsEnd + trailer.bitmapOffset,
      launcher.begin() + layout.sectionsEnd + trailer.bitmapOffset + trailer.bitmapSize);
  // The splash is stored as one blob of the package's codec, and the seal covers those bytes.
  std::unique_ptr<Decoder> decoder(new Decoder());
  std::string decoded;
  ASSERT_EQ(DecodeToString(*decoder, stored.data(), stored.size(), &decoded), DECODE_OK);
  EXPECT_EQ(std::vector<uint8_t>(decoded.begin(), decoded.end()), MakeBmp());
  EXPECT_EQ(packer::DecodeStoredBitmap(stored), MakeBmp());
  std::vector<uint8_t> cut(stored.begin(), stored.end() - 1);
  EXPECT_TRUE(packer::DecodeStoredBitmap(cut).empty()) << "a stream cut short shows nothing";
  Seal seal = SealOf(launcher);
  EXPECT_EQ(seal.flags, static_cast<uint32_t>(SEAL_SINGLE_FILE | SEAL_BITMAP_COMPRESSED));
  EXPECT_EQ(seal.package, packer::Sha256(package));
  EXPECT_EQ(seal.bitmap, packer::Sha256(stored));
  EXPECT_EQ(seal.packageSize, trailer.packageSize);
  EXPECT_EQ(seal.bitmapSize, trailer.bitmapSize);

  // What every reader of a release gets from the shared reader is the same.
  SealedRelease release;
  long at = FindSealRecord(launcher.data(), image.EndOfSections());
  ASSERT_EQ(ReadSealedRelease(&launcher[at], &layout, &launcher[layout.regionEnd - TRAILER_BYTES],
                              &release),
            SEAL_OK);
  EXPECT_EQ(release.packagePosition, layout.sectionsEnd);
  EXPECT_EQ(release.bitmapPosition, layout.sectionsEnd + trailer.packageSize);
  EXPECT_EQ(release.bitmapCompressed, 1);
}

TEST_F(BundleTest, SingleFileStoresAPictureSplashSmallerAndWithoutOneNone) {
  // A gradient of 96x64 pixels, 24 bits: the kind of picture the codec shrinks.
  std::vector<uint8_t> bmp(54 + 96 * 64 * 3);
  bmp[0] = 'B';
  bmp[1] = 'M';
  Set32(&bmp, 2, static_cast<uint32_t>(bmp.size()));
  Set32(&bmp, 10, 54);
  Set32(&bmp, 14, 40);
  for (size_t i = 54; i < bmp.size(); ++i) bmp[i] = static_cast<uint8_t>((i - 54) / 3 % 96 * 2);
  WriteBytes("picture.bmp", bmp);
  bundle_.output = root_ / "setup.exe";
  bundle_.singleFile = true;
  bundle_.splash = root_ / "picture.bmp";
  Bundle();
  Seal seal = SealOf(Read(root_ / "setup.exe"));
  EXPECT_GT(seal.bitmapSize, 4u);
  EXPECT_LT(seal.bitmapSize, bmp.size() / 4);

  // A picture the codec cannot shrink is stored as it is, and not flagged as compressed.
  std::vector<uint8_t> noise = bmp;
  std::mt19937 random(7);
  for (size_t i = 54; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(random());
  WriteBytes("noise.bmp", noise);
  bundle_.splash = root_ / "noise.bmp";
  bundle_.output = root_ / "noise.exe";
  Bundle();
  seal = SealOf(Read(root_ / "noise.exe"));
  EXPECT_EQ(seal.flags, static_cast<uint32_t>(SEAL_SINGLE_FILE));
  EXPECT_EQ(seal.bitmapSize, noise.size());
  EXPECT_EQ(seal.bitmap, packer::Sha256(noise));

  // No splash: nothing stored, sealed to nothing.
  bundle_.splash.clear();
  bundle_.output = root_ / "plain.exe";
  Bundle();
  seal = SealOf(Read(root_ / "plain.exe"));
  EXPECT_EQ(seal.bitmapSize, 0u);
  EXPECT_EQ(packer::HexDigest(seal.bitmap),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(BundleTest, BrandingReplacesIconAndVersionAndKeepsTheManifest) {
  bundle_.output = root_ / "setup.exe";
  bundle_.singleFile = true;
  bundle_.icon = root_ / "app.ico";
  bundle_.version = "2.10.3";
  bundle_.product = "Zeta Écrit";
  bundle_.company = "Zeta";
  bundle_.description = "Zeta Écrit setup";
  bundle_.copyright = "(c) 2026 Zeta";
  Bundle();
  std::vector<uint8_t> launcher = Read(root_ / "setup.exe");
  PeImage image(launcher, "launcher");
  std::vector<Resource> resources = packer::ReadResources(image, "launcher");
  ASSERT_EQ(resources.size(), 5u);  // two images, the group, the version, the manifest
  EXPECT_EQ(resources[2].type.id, packer::kResourceGroupIcon);
  EXPECT_EQ(resources[2].data, packer::IconResources(MakeIco(), "x").back().data);
  EXPECT_EQ(std::string(resources[4].data.begin(), resources[4].data.end()), TestStubManifest());
  packer::VersionInfo version = packer::ReadVersionResource(resources[3].data, "launcher");
  EXPECT_EQ(version.fileVersion, (std::array<uint16_t, 4>{2, 10, 3, 0}));
  auto value = [&](const std::string& name) {
    for (const auto& string : version.strings)
      if (string.first == name) return string.second;
    return std::string("(none)");
  };
  EXPECT_EQ(value("ProductName"), "Zeta Écrit");
  EXPECT_EQ(value("FileVersion"), "2.10.3");
  EXPECT_EQ(value("LegalCopyright"), "(c) 2026 Zeta");
  EXPECT_EQ(value("OriginalFilename"), "setup.exe");
  // The region follows the grown stub, and the seal is still found once.
  PeLayout layout;
  ASSERT_TRUE(ReadPeLayout(launcher.data(), launcher.size(), launcher.size(), &layout));
  EXPECT_EQ(layout.sectionsEnd, image.EndOfSections());
  EXPECT_GT(layout.sectionsEnd, MakeTestStub().size());
  EXPECT_EQ(SealOf(launcher).flags, static_cast<uint32_t>(SEAL_SINGLE_FILE)) << "no splash";
}

TEST_F(BundleTest, StubsThatCannotBeSealedAreRefused) {
  bundle_.output = root_ / "out";
  TestStubShape shape;
  shape.seal = false;
  WriteBytes("stub.exe", MakeTestStub(shape));
  EXPECT_NE(Refusal().find("no seal record"), std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "out"));

  // A release's own launcher, folder or single file, is no stub to start from.
  WriteBytes("stub.exe", MakeTestStub());
  bundle_.output = root_ / "single.exe";
  bundle_.singleFile = true;
  Bundle();
  bundle_.stub = root_ / "single.exe";
  bundle_.output = root_ / "again.exe";
  EXPECT_NE(Refusal().find("data after its sections"), std::string::npos);
  bundle_.stub = root_ / "stub.exe";
  bundle_.output = root_ / "folder";
  bundle_.singleFile = false;
  Bundle();
  bundle_.stub = root_ / "folder" / "setup.exe";
  bundle_.output = root_ / "folder2";
  EXPECT_NE(Refusal().find("already sealed"), std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "folder2"));
  EXPECT_FALSE(fs::exists(root_ / "again.exe"));

  // A program without sections is no launcher, whatever follows its headers.
  std::vector<uint8_t> bare = MakeTestStub();
  bare[0x80 + 6] = 0;
  bare[0x80 + 7] = 0;
  WriteBytes("bare.exe", bare);
  bundle_.stub = root_ / "bare.exe";
  std::string bareRefusal = Refusal();
  EXPECT_NE(bareRefusal.find("without sections; not the launcher"), std::string::npos)
      << bareRefusal;
  EXPECT_EQ(bareRefusal.find("after its sections"), std::string::npos) << bareRefusal;
  EXPECT_FALSE(fs::exists(root_ / "folder2"));

  // A signed stub loses its signature, and the release is the one the unsigned stub makes.
  std::vector<uint8_t> signedStub = MakeTestStub();
  size_t size = signedStub.size();
  signedStub.resize(size + 16, 0x77);
  Set32(&signedStub, 0x80 + 24 + 96 + 32, static_cast<uint32_t>(size));
  Set32(&signedStub, 0x80 + 24 + 96 + 36, 16);
  WriteBytes("signed.exe", signedStub);
  bundle_.stub = root_ / "signed.exe";
  bundle_.output = root_ / "from-signed";
  Bundle();
  EXPECT_EQ(Read(root_ / "from-signed" / "setup.exe"), Read(root_ / "folder" / "setup.exe"));
}

TEST_F(BundleTest, BadInputsAreRefusedBeforeAnythingIsWritten) {
  bundle_.output = root_ / "out";
  auto refusedFor = [&](const char* expected) {
    std::string message = Refusal();
    EXPECT_NE(message.find(expected), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(root_ / "out"));
  };
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13};
  WriteBytes("splash.png", png);
  bundle_.splash = root_ / "splash.png";
  refusedFor("BMP");
  Write("splash.txt", "not a picture at all, just words");
  bundle_.splash = root_ / "splash.txt";
  refusedFor("not a BMP");
  bundle_.splash.clear();
  bundle_.version = "1.2.x";
  refusedFor("--version");
  bundle_.version = "1.0";
  bundle_.product = "Caf\xE9";  // Latin-1, not UTF-8
  refusedFor("not UTF-8");
  bundle_.product = "Cafe";
  // Text that breaks lines, steers a terminal or turns the reading direction round is a usage
  // error, in every field.
  for (const char* misleading :
       {"Setup\xE2\x80\xAE"
        "fdp.exe",
        "a\xE2\x80\xAA"
        "b",
        "a\xE2\x81\xA6x", "a\xE2\x81\xA9", "a\xE2\x80\x8Fz", "a\xE2\x80\x8E", "red\x1B[31m",
        "line\r\nforged: yes", "tab\there", "c1\xC2\x9B"}) {
    for (std::string* field :
         {&bundle_.product, &bundle_.company, &bundle_.description, &bundle_.copyright}) {
      const std::string kept = *field;
      *field = misleading;
      try {
        packer::BundleCommand(bundle_, options_);
        ADD_FAILURE() << "accepted " << misleading;
      } catch (const Failure& failure) {
        EXPECT_EQ(failure.exitCode(), packer::kExitUsage) << failure.what();
        EXPECT_NE(std::string(failure.what()).find("holds a"), std::string::npos) << failure.what();
      }
      *field = kept;
    }
  }
  EXPECT_FALSE(fs::exists(root_ / "out"));
  bundle_.version = "1.65536";
  try {
    packer::BundleCommand(bundle_, options_);
    ADD_FAILURE() << "accepted an out-of-range version";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.exitCode(), packer::kExitUsage) << failure.what();
  }
  bundle_.version = "1.0";
  Write("bad.ico", "not an icon");
  bundle_.icon = root_ / "bad.ico";
  refusedFor("not an icon file");
  bundle_.icon.clear();
  bundle_.source = root_ / "missing";
  refusedFor("neither a payload folder nor a package");
  bundle_.source = root_ / "payload";
  bundle_.stub = root_ / "payload" / "data" / "readme.txt";
  refusedFor("not a Windows program");
  bundle_.stub = root_ / "stub.exe";
  bundle_.output = root_ / "payload" / "data" / ".." / "release";
  EXPECT_NE(Refusal().find("inside the payload folder"), std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "payload" / "release"));
}

}  // namespace
