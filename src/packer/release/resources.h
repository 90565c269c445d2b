// A program's resources: read from its resource section, written into a new one, and the two
// kinds a release brands the launcher with, the icon (from an .ico file) and the version
// information.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "packer/release/pe_image.h"

namespace packer {

// Resource types by number, as the loader and Explorer know them.
enum : uint16_t {
  kResourceIcon = 3,
  kResourceGroupIcon = 14,
  kResourceVersion = 16,
  kResourceManifest = 24,
};

// United States English: the language the launcher's own resources carry.
const uint16_t kResourceLanguage = 0x0409;

// A type or name: a number, or, when `text` is not empty, a string.
struct ResourceName {
  uint16_t id = 0;
  std::u16string text;
  bool operator==(const ResourceName& other) const { return id == other.id && text == other.text; }
};

struct Resource {
  ResourceName type;
  ResourceName name;
  uint16_t language = 0;
  uint32_t codePage = 0;
  std::vector<uint8_t> data;
};

// Every resource of `image` in the order its directory lists them; throws Failure when the
// directory is damaged.
std::vector<Resource> ReadResources(const PeImage& image, const std::string& what);

// A resource section to be loaded at `address` holding `resources`, sorted as the loader's
// binary search needs them.
std::vector<uint8_t> ResourceSection(std::vector<Resource> resources, uint32_t address);

// The group (number 1) and the images of an .ico file, the images numbered from 1.
std::vector<Resource> IconResources(const std::vector<uint8_t>& ico, const std::string& what);

struct VersionInfo {
  std::array<uint16_t, 4> fileVersion{};
  std::array<uint16_t, 4> productVersion{};
  // Names and values in UTF-8, in the order written.
  std::vector<std::pair<std::string, std::string>> strings;
  std::vector<uint32_t> translations;  // language | code page << 16
};

// "1", "1.2", "1.2.3" or "1.2.3.4", each part from 0 to 65535.
bool ParseVersionNumber(const std::string& text, std::array<uint16_t, 4>* version);

// The data of a version resource; the strings' table is United States English in UTF-16.
std::vector<uint8_t> VersionResourceData(const VersionInfo& info);
VersionInfo ReadVersionResource(const std::vector<uint8_t>& data, const std::string& what);

// False when `text` is not valid UTF-8.
bool Utf8ToUtf16(const std::string& text, std::u16string* out);
std::string Utf16ToUtf8(const std::u16string& text);

}  // namespace packer
