#include "support/test_stub.h"

#include <cstring>

#include "package/bundle_format.h"

namespace {

const uint32_t kFileAlignment = 0x200;
const uint32_t kSectionAlignment = 0x1000;

void Put16(std::vector<uint8_t>* out, size_t at, uint32_t value) {
  (*out)[at] = static_cast<uint8_t>(value);
  (*out)[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>* out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Section {
  const char* name;
  uint32_t address;
  std::vector<uint8_t> data;
  uint32_t characteristics;
};

// One type, one name, one language: the manifest, with its data right after the tables.
std::vector<uint8_t> ManifestSection(uint32_t address) {
  const std::string manifest = TestStubManifest();
  std::vector<uint8_t> out(0x48, 0);
  Put16(&out, 14, 1);                   // root: one numbered entry
  Put32(&out, 16, 24);                  // type 24
  Put32(&out, 20, 0x80000000u | 0x18);  // its table
  Put16(&out, 0x18 + 14, 1);
  Put32(&out, 0x28, 1);  // name 1
  Put32(&out, 0x2C, 0x80000000u | 0x30);
  Put16(&out, 0x30 + 14, 1);
  Put32(&out, 0x40, 1033);  // language
  Put32(&out, 0x44, 0x48);  // its data entry
  out.resize(0x58, 0);
  Put32(&out, 0x48, address + 0x58);
  Put32(&out, 0x4C, static_cast<uint32_t>(manifest.size()));
  out.insert(out.end(), manifest.begin(), manifest.end());
  return out;
}

}  // namespace

std::string TestStubManifest() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"/>\n";
}

std::vector<uint8_t> MakeTestStub(const TestStubShape& shape) {
  std::vector<Section> sections;
  sections.push_back({".text", 0x1000, std::vector<uint8_t>(0x40, 0xC3), 0x60000020});
  std::vector<uint8_t> data(0x100, 0);
  if (shape.seal) memcpy(data.data(), &UNSEALED_RECORD, sizeof UNSEALED_RECORD);
  // A pointer to the data itself, and one to the first resource or to the code.
  Put32(&data, TEST_STUB_POINTERS, TEST_STUB_IMAGE_BASE + TEST_STUB_DATA_ADDRESS);
  Put32(&data, TEST_STUB_POINTERS + 4,
        TEST_STUB_IMAGE_BASE + (shape.pointsIntoResources ? 0x3010 : 0x1000));
  sections.push_back({".data", TEST_STUB_DATA_ADDRESS, data, 0xC0000040});
  uint32_t next = 0x3000;
  uint32_t resourceAddress = 0;
  if (shape.resources) {
    resourceAddress = next;
    sections.push_back({".rsrc", next, ManifestSection(next), 0x40000040});
    next += kSectionAlignment;
  }
  uint32_t relocationAddress = 0;
  if (shape.relocations) {
    std::vector<uint8_t> block(12, 0);
    Put32(&block, 0, TEST_STUB_DATA_ADDRESS);
    Put32(&block, 4, 12);
    Put16(&block, 8, 0x3000 | TEST_STUB_POINTERS);
    Put16(&block, 10, 0x3000 | (TEST_STUB_POINTERS + 4));
    relocationAddress = next;
    sections.push_back({".reloc", next, block, 0x42000040});
    next += kSectionAlignment;
  }

  const uint32_t headers = shape.headerRoom;
  std::vector<uint8_t> out(headers, 0);
  out[0] = 'M';
  out[1] = 'Z';
  const uint32_t pe = 0x80;
  Put32(&out, 0x3C, pe);
  memcpy(&out[pe], "PE\0\0", 4);
  const size_t coff = pe + 4, optional = coff + 20;
  Put16(&out, coff, 0x14C);  // i386
  Put16(&out, coff + 2, static_cast<uint32_t>(sections.size()));
  Put16(&out, coff + 16, 224);
  Put16(&out, coff + 18, 0x102);
  Put16(&out, optional, 0x10B);
  Put32(&out, optional + 16, 0x1000);  // entry point
  Put32(&out, optional + 28, TEST_STUB_IMAGE_BASE);
  Put32(&out, optional + 32, kSectionAlignment);
  Put32(&out, optional + 36, kFileAlignment);
  Put16(&out, optional + 40, 4);
  Put16(&out, optional + 48, 4);
  Put32(&out, optional + 56, next);
  Put32(&out, optional + 60, headers);
  Put16(&out, optional + 68, 2);  // GUI
  Put32(&out, optional + 92, 16);
  const size_t directories = optional + 96;
  uint32_t initialized = 0;
  size_t table = optional + 224;
  for (const Section& section : sections) {
    uint32_t raw = static_cast<uint32_t>((section.data.size() + kFileAlignment - 1) /
                                         kFileAlignment * kFileAlignment);
    memcpy(&out[table], section.name, strlen(section.name));
    Put32(&out, table + 8, static_cast<uint32_t>(section.data.size()));
    Put32(&out, table + 12, section.address);
    Put32(&out, table + 16, raw);
    Put32(&out, table + 20, static_cast<uint32_t>(out.size()));
    Put32(&out, table + 36, section.characteristics);
    if (section.characteristics & 0x40) initialized += raw;
    out.insert(out.end(), section.data.begin(), section.data.end());
    out.resize(out.size() + raw - section.data.size(), 0);
    table += 40;
  }
  Put32(&out, optional + 8, initialized);
  if (resourceAddress != 0) {
    Put32(&out, directories + 16, resourceAddress);
    Put32(&out, directories + 20, static_cast<uint32_t>(sections[2].data.size()));
  }
  if (relocationAddress != 0) {
    Put32(&out, directories + 40, relocationAddress);
    Put32(&out, directories + 44, 12);
  }
  return out;
}
