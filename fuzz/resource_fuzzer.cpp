// The packer's branding on arbitrary stubs and icons: the input is a 2-byte length, that many
// bytes of a stub, then an .ico file. What the PE reader accepts has its resources read, their
// version information read if any, and its checksum recomputed; an icon accepted holds each
// image once and no more bytes than the file; the stub rebranded with the icon and new version
// information reads back as written, resources and checksum alike. Refusals (Failure) are fine;
// any other exception, a crash or a check below is a finding.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "packer/failure.h"
#include "packer/release/pe_image.h"
#include "packer/release/resources.h"

namespace {

using packer::Failure;
using packer::PeImage;
using packer::Resource;

void Check(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "resource_fuzzer: %s\n", what);
  abort();
}

bool SameResource(const Resource& a, const Resource& b) {
  return a.type == b.type && a.name == b.name && a.language == b.language && a.data == b.data;
}

// The resources in the order the section writer sorts them, so that two lists compare.
std::vector<Resource> Sorted(std::vector<Resource> resources) {
  std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
    if (a.type.text != b.type.text) return a.type.text < b.type.text;
    if (a.type.id != b.type.id) return a.type.id < b.type.id;
    if (a.name.text != b.name.text) return a.name.text < b.name.text;
    if (a.name.id != b.name.id) return a.name.id < b.name.id;
    return a.language < b.language;
  });
  return resources;
}

std::vector<Resource> Icon(const std::vector<uint8_t>& ico) {
  std::vector<Resource> icon;
  try {
    icon = packer::IconResources(ico, "icon");
  } catch (const Failure&) {
    return {};
  }
  Check(icon.size() >= 2 && icon.size() <= 257, "an icon of no image or of too many");
  size_t images = 0;
  for (const Resource& r : icon)
    if (r.type.id == packer::kResourceIcon) images += r.data.size();
  Check(images <= ico.size(), "the images hold more bytes than the icon file");
  const Resource& group = icon.back();
  Check(group.type.id == packer::kResourceGroupIcon && group.data.size() >= 6, "no group");
  const size_t entries = group.data[4] | group.data[5] << 8;
  Check(group.data.size() == 6 + 14 * entries, "a group of another size than its count");
  for (size_t i = 0; i < entries; ++i) {
    const size_t id = group.data[6 + 14 * i + 12] | group.data[6 + 14 * i + 13] << 8;
    Check(id >= 1 && id < icon.size(), "a group entry naming no image");
  }
  return icon;
}

packer::VersionInfo Version(const uint8_t* data, size_t size) {
  packer::VersionInfo info;
  for (size_t i = 0; i < 4 && 2 * i + 1 < size; ++i)
    info.fileVersion[i] = static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8);
  info.productVersion = info.fileVersion;
  // Text of the input's own bytes where they are UTF-8, so that odd lengths and wide
  // characters reach the writer.
  std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 40));
  std::u16string ignored;
  if (!packer::Utf8ToUtf16(text, &ignored)) text = "Zeta";
  info.strings = {{"ProductName", text}, {"CompanyName", ""}, {"OriginalFilename", "setup.exe"}};
  return info;
}

void Rebrand(const std::vector<uint8_t>& stub, std::vector<Resource> resources,
             const std::vector<Resource>& icon, const packer::VersionInfo& version) {
  auto drop = [&](uint16_t type) {
    resources.erase(std::remove_if(resources.begin(), resources.end(),
                                   [&](const Resource& r) {
                                     return r.type == packer::ResourceName{type, {}};
                                   }),
                    resources.end());
  };
  if (!icon.empty()) {
    drop(packer::kResourceIcon);
    drop(packer::kResourceGroupIcon);
    resources.insert(resources.end(), icon.begin(), icon.end());
  }
  drop(packer::kResourceVersion);
  Resource info;
  info.type.id = packer::kResourceVersion;
  info.name.id = 1;
  info.language = packer::kResourceLanguage;
  info.data = packer::VersionResourceData(version);
  resources.push_back(info);

  std::vector<uint8_t> made;
  try {
    PeImage image(stub, "stub");
    if (image.IsSigned()) image.RemoveSignature();
    if (image.AppendedSize() != 0) return;
    image.ReplaceResources(
        [&](uint32_t address) { return packer::ResourceSection(resources, address); });
    image.UpdateChecksum();
    made = image.Release();
  } catch (const Failure&) {
    return;  // a stub this code will not change, or resources that cannot be written
  }
  PeImage back(made, "rebranded");
  Check(back.checksum() == PeImage::ComputeChecksum(made, back.checksumOffset()),
        "the checksum does not match the image");
  std::vector<Resource> read = Sorted(packer::ReadResources(back, "rebranded"));
  std::vector<Resource> wanted = Sorted(resources);
  Check(read.size() == wanted.size(), "another number of resources read back");
  for (size_t i = 0; i < read.size(); ++i)
    Check(SameResource(read[i], wanted[i]), "a resource does not read back as written");
  for (const Resource& r : read)
    if (r.type.id == packer::kResourceVersion && r.type.text.empty())
      Check(packer::ReadVersionResource(r.data, "rebranded").strings == version.strings,
            "the version information does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t stubSize = std::min<size_t>(data[0] | data[1] << 8, size - 2);
  const std::vector<uint8_t> stub(data + 2, data + 2 + stubSize);
  const std::vector<uint8_t> ico(data + 2 + stubSize, data + size);
  const std::vector<Resource> icon = Icon(ico);
  packer::VersionInfo version = Version(ico.data(), ico.size());
  try {
    std::vector<uint8_t> made = packer::VersionResourceData(version);
    Check(packer::ReadVersionResource(made, "made").strings == version.strings,
          "version information does not read back");
  } catch (const Failure&) {
    version.strings[0].second = "Zeta";  // text the writer refuses; the rest goes on
  }
  std::vector<Resource> resources;
  try {
    PeImage image(stub, "stub");
    resources = packer::ReadResources(image, "stub");
    PeImage::ComputeChecksum(stub, image.checksumOffset());
    for (const Resource& r : resources)
      if (r.type.id == packer::kResourceVersion && r.type.text.empty()) {
        try {
          packer::ReadVersionResource(r.data, "stub");
        } catch (const Failure&) {
        }
      }
  } catch (const Failure&) {
    return 0;
  }
  Rebrand(stub, resources, icon, version);
  return 0;
}
