// A Windows executable (PE32 or PE32+) held in memory: its headers and sections read with every
// offset checked, and the few changes a release needs made in place, so that the result stays a
// file that the loader, the signing tools and resource readers accept.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace packer {

enum DataDirectoryIndex {
  DIRECTORY_EXPORT = 0,
  DIRECTORY_IMPORT = 1,
  DIRECTORY_RESOURCE = 2,
  DIRECTORY_SECURITY = 4,  // a file offset, not an address: the certificate table
  DIRECTORY_BASERELOC = 5,
  DIRECTORY_DEBUG = 6,
};

struct PeSection {
  std::string name;
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
  uint32_t characteristics = 0;
};

struct PeDirectory {
  uint32_t address = 0;
  uint32_t size = 0;
};

class PeImage {
 public:
  // Reads the headers; throws Failure, naming `what`, when the bytes are not an image this code
  // can change safely.
  PeImage(std::vector<uint8_t> bytes, std::string what);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  const std::vector<PeSection>& sections() const { return sections_; }
  PeDirectory directory(int index) const;
  bool is64() const { return is64_; }
  uint32_t fileAlignment() const { return fileAlignment_; }
  uint32_t sectionAlignment() const { return sectionAlignment_; }
  uint32_t sizeOfImage() const;
  uint32_t sizeOfInitializedData() const;
  uint32_t checksum() const;

  // Where the sections' raw data ends: anything after it is appended data or the certificate
  // table.
  uint32_t EndOfSections() const { return endOfSections_; }
  bool IsSigned() const { return directory(DIRECTORY_SECURITY).size != 0; }
  // Bytes between the end of the sections and the certificate table (or the end of the file).
  uint32_t AppendedSize() const;

  // The bytes at [address, address + size) of the loaded image, when a section's raw data
  // holds them all; null otherwise.
  const uint8_t* AtAddress(uint32_t address, uint32_t size) const;
  // The section whose loaded range holds `address`, or null.
  const PeSection* SectionAt(uint32_t address) const;

  // Takes the certificate table away and clears its directory entry. It must be the last thing
  // in the file, where signing tools put it.
  void RemoveSignature();

  // Puts `build(address)` in place of the resource section, where `build` makes the section's
  // bytes for the address it will be loaded at. A stub without resources gets a new section.
  // Sections after the resources move up or down with their directory entries; they must be
  // ones nothing else refers to (the base relocations), which the relocations themselves
  // confirm: no fixup lies in, or points into, what moves. Appended data and a signature must
  // be gone first.
  void ReplaceResources(const std::function<std::vector<uint8_t>(uint32_t address)>& build);

  // Overwrites bytes inside the sections' raw data, as a seal is patched in place.
  void Patch(size_t offset, const uint8_t* data, size_t size);

  // Appends bytes after the sections (and before any certificate table, which must be absent).
  void Append(const std::vector<uint8_t>& data);

  // The checksum field as the system's image checker computes it, over the file as it is now.
  void UpdateChecksum();
  static uint32_t ComputeChecksum(const std::vector<uint8_t>& bytes, size_t checksumOffset);
  size_t checksumOffset() const { return optionalHeader_ + 64; }

  std::vector<uint8_t> Release() { return std::move(bytes_); }

 private:
  struct ResourcePlan {
    size_t index;      // where the resource section is or goes in sections_
    bool replaces;     // an existing section is replaced
    uint32_t address;  // the new section's address and file offset
    uint32_t offset;
  };

  void Parse();
  [[noreturn]] void Fail(const std::string& problem) const;
  uint32_t Get32(size_t offset) const;
  uint16_t Get16(size_t offset) const;
  void Put32(size_t offset, uint32_t value);
  void Put16(size_t offset, uint16_t value);
  size_t DirectoryOffset(int index) const;
  void SetDirectory(int index, PeDirectory value);
  ResourcePlan PlanResources() const;
  void CheckNothingPointsInto(uint32_t from) const;
  void Relayout(const ResourcePlan& plan, const std::vector<uint8_t>& resources);
  void WriteSectionHeaders();

  std::vector<uint8_t> bytes_;
  std::string what_;
  std::vector<PeSection> sections_;
  bool is64_ = false;
  size_t coffHeader_ = 0;
  size_t optionalHeader_ = 0;
  size_t sectionTable_ = 0;
  uint32_t directoryCount_ = 0;
  uint32_t fileAlignment_ = 0;
  uint32_t sectionAlignment_ = 0;
  uint32_t sizeOfHeaders_ = 0;
  uint64_t imageBase_ = 0;
  uint32_t endOfSections_ = 0;
};

}  // namespace packer
