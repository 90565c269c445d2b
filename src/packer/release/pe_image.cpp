#include "packer/release/pe_image.h"

#include <algorithm>

#include "packer/failure.h"

namespace packer {

namespace {

const uint32_t kScnInitializedData = 0x00000040;
const uint32_t kScnMemRead = 0x40000000;
const uint16_t kRelocAbsolute = 0;
const uint16_t kRelocHighLow = 3;
const uint16_t kRelocDir64 = 10;

bool PowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

uint64_t AlignUp(uint64_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// The span a section takes once loaded; the loader rounds it up to the section alignment.
uint64_t LoadedEnd(const PeSection& section) {
  return static_cast<uint64_t>(section.virtualAddress) +
         std::max(section.virtualSize, section.rawSize);
}

}  // namespace

PeImage::PeImage(std::vector<uint8_t> bytes, std::string what)
    : bytes_(std::move(bytes)), what_(std::move(what)) {
  Parse();
}

void PeImage::Fail(const std::string& problem) const {
  throw Failure(what_ + ": " + problem);
}

uint16_t PeImage::Get16(size_t offset) const {
  if (offset > bytes_.size() || bytes_.size() - offset < 2) Fail("truncated headers");
  return static_cast<uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
}

uint32_t PeImage::Get32(size_t offset) const {
  if (offset > bytes_.size() || bytes_.size() - offset < 4) Fail("truncated headers");
  return static_cast<uint32_t>(bytes_[offset]) | static_cast<uint32_t>(bytes_[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes_[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes_[offset + 3]) << 24;
}

void PeImage::Put16(size_t offset, uint16_t value) {
  bytes_.at(offset) = static_cast<uint8_t>(value);
  bytes_.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PeImage::Put32(size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes_.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

void PeImage::Parse() {
  if (bytes_.size() < 64 || bytes_[0] != 'M' || bytes_[1] != 'Z') Fail("not a Windows program");
  size_t pe = Get32(0x3C);
  if (pe > bytes_.size() || Get32(pe) != 0x00004550) Fail("not a Windows program (no PE header)");
  coffHeader_ = pe + 4;
  const uint16_t sectionCount = Get16(coffHeader_ + 2);
  const uint16_t optionalSize = Get16(coffHeader_ + 16);
  optionalHeader_ = coffHeader_ + 20;
  const uint16_t magic = Get16(optionalHeader_);
  if (magic != 0x10B && magic != 0x20B) Fail("unknown optional header (not PE32 or PE32+)");
  is64_ = magic == 0x20B;
  const size_t directories = optionalHeader_ + (is64_ ? 112 : 96);
  if (optionalSize < directories - optionalHeader_) Fail("optional header too short");
  imageBase_ =
      is64_
          ? (static_cast<uint64_t>(Get32(optionalHeader_ + 28)) << 32 | Get32(optionalHeader_ + 24))
          : Get32(optionalHeader_ + 28);
  sectionAlignment_ = Get32(optionalHeader_ + 32);
  fileAlignment_ = Get32(optionalHeader_ + 36);
  if (!PowerOfTwo(sectionAlignment_) || !PowerOfTwo(fileAlignment_) || fileAlignment_ < 512 ||
      fileAlignment_ > 65536 || fileAlignment_ > sectionAlignment_)
    Fail("unusual alignment (file " + Hex(fileAlignment_) + ", sections " + Hex(sectionAlignment_) +
         ")");
  sizeOfHeaders_ = Get32(optionalHeader_ + 60);
  directoryCount_ = Get32(directories - 4);
  if (directoryCount_ > 16 || directories + 8 * directoryCount_ > optionalHeader_ + optionalSize)
    Fail("data directories do not fit the optional header");
  sectionTable_ = optionalHeader_ + optionalSize;
  if (sectionTable_ + 40 * static_cast<size_t>(sectionCount) > sizeOfHeaders_ ||
      sizeOfHeaders_ > bytes_.size())
    Fail("section table outside the headers");

  sections_.clear();
  endOfSections_ = sizeOfHeaders_;
  uint64_t loadedEnd = AlignUp(sizeOfHeaders_, sectionAlignment_);
  for (uint16_t i = 0; i < sectionCount; ++i) {
    size_t header = sectionTable_ + 40 * static_cast<size_t>(i);
    PeSection section;
    for (size_t c = 0; c < 8 && bytes_[header + c] != 0; ++c)
      section.name.push_back(static_cast<char>(bytes_[header + c]));
    section.virtualSize = Get32(header + 8);
    section.virtualAddress = Get32(header + 12);
    section.rawSize = Get32(header + 16);
    section.rawOffset = Get32(header + 20);
    section.characteristics = Get32(header + 36);
    if (section.rawSize != 0 &&
        (section.rawOffset < sizeOfHeaders_ || section.rawOffset > bytes_.size() ||
         bytes_.size() - section.rawOffset < section.rawSize))
      Fail("section " + section.name + " lies outside the file");
    // The loader maps sections in order, each right after the one before.
    if (section.virtualAddress < loadedEnd || section.virtualAddress % sectionAlignment_ != 0)
      Fail("section " + section.name + " overlaps the one before or is not aligned");
    loadedEnd = AlignUp(LoadedEnd(section), sectionAlignment_);
    if (section.rawSize != 0)
      endOfSections_ = std::max(endOfSections_, section.rawOffset + section.rawSize);
    sections_.push_back(section);
  }
  if (loadedEnd > sizeOfImage()) Fail("sections reach beyond the image size");

  PeDirectory security = directory(DIRECTORY_SECURITY);
  if (security.size != 0 &&
      (security.address < endOfSections_ || security.address > bytes_.size() ||
       bytes_.size() - security.address < security.size))
    Fail("certificate table outside the file or inside the sections");
}

size_t PeImage::DirectoryOffset(int index) const {
  return optionalHeader_ + (is64_ ? 112 : 96) + 8 * static_cast<size_t>(index);
}

PeDirectory PeImage::directory(int index) const {
  if (index < 0 || static_cast<uint32_t>(index) >= directoryCount_) return {};
  return {Get32(DirectoryOffset(index)), Get32(DirectoryOffset(index) + 4)};
}

void PeImage::SetDirectory(int index, PeDirectory value) {
  if (static_cast<uint32_t>(index) >= directoryCount_) Fail("too few data directories");
  Put32(DirectoryOffset(index), value.address);
  Put32(DirectoryOffset(index) + 4, value.size);
}

uint32_t PeImage::sizeOfImage() const {
  return Get32(optionalHeader_ + 56);
}

uint32_t PeImage::sizeOfInitializedData() const {
  return Get32(optionalHeader_ + 8);
}

uint32_t PeImage::checksum() const {
  return Get32(checksumOffset());
}

uint32_t PeImage::AppendedSize() const {
  size_t end = IsSigned() ? directory(DIRECTORY_SECURITY).address : bytes_.size();
  return static_cast<uint32_t>(end - endOfSections_);
}

const PeSection* PeImage::SectionAt(uint32_t address) const {
  for (const PeSection& section : sections_)
    if (address >= section.virtualAddress && address < LoadedEnd(section)) return &section;
  return nullptr;
}

const uint8_t* PeImage::AtAddress(uint32_t address, uint32_t size) const {
  const PeSection* section = SectionAt(address);
  if (section == nullptr) return nullptr;
  uint64_t inside = address - section->virtualAddress;
  // Raw data past the virtual size is never loaded.
  uint32_t loaded = section->virtualSize != 0 ? std::min(section->virtualSize, section->rawSize)
                                              : section->rawSize;
  if (inside + size > loaded) return nullptr;
  return bytes_.data() + section->rawOffset + inside;
}

void PeImage::RemoveSignature() {
  PeDirectory security = directory(DIRECTORY_SECURITY);
  if (security.size == 0) return;
  if (static_cast<uint64_t>(security.address) + security.size != bytes_.size())
    Fail("the certificate table is not at the end of the file");
  size_t end = security.address;
  // Signing pads the file to eight bytes before the table; that padding goes too.
  while (end > endOfSections_ && security.address - end < 8 && bytes_[end - 1] == 0) --end;
  bytes_.resize(end);
  SetDirectory(DIRECTORY_SECURITY, {});
  Parse();
}

void PeImage::Patch(size_t offset, const uint8_t* data, size_t size) {
  if (offset < sizeOfHeaders_ || offset > endOfSections_ || endOfSections_ - offset < size)
    Fail("patch outside the sections");
  std::copy(data, data + size, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
}

void PeImage::Append(const std::vector<uint8_t>& data) {
  if (IsSigned()) Fail("signed: nothing can be appended before its certificate table");
  bytes_.insert(bytes_.end(), data.begin(), data.end());
}

PeImage::ResourcePlan PeImage::PlanResources() const {
  if (IsSigned()) Fail("signed: remove the signature before changing resources");
  if (AppendedSize() != 0) Fail("holds data after its sections");
  ResourcePlan plan{sections_.size(), false, 0, 0};
  PeDirectory resources = directory(DIRECTORY_RESOURCE);
  if (resources.size != 0) {
    const PeSection* section = SectionAt(resources.address);
    if (section == nullptr || section->virtualAddress != resources.address || section->rawSize == 0)
      Fail("resources do not start a section of their own");
    plan = {static_cast<size_t>(section - sections_.data()), true, section->virtualAddress,
            section->rawOffset};
  } else {
    // A new section goes before the relocations, which are what the linker puts last.
    PeDirectory relocations = directory(DIRECTORY_BASERELOC);
    const PeSection* last = sections_.empty() ? nullptr : &sections_.back();
    if (last != nullptr && relocations.size != 0 && SectionAt(relocations.address) == last) {
      plan = {sections_.size() - 1, false, last->virtualAddress, last->rawOffset};
    } else {
      plan.address = static_cast<uint32_t>(AlignUp(sizeOfImage(), sectionAlignment_));
      plan.offset = static_cast<uint32_t>(AlignUp(endOfSections_, fileAlignment_));
    }
  }
  // What comes before stays where it is; what comes after must be free to move.
  for (size_t i = 0; i < plan.index; ++i)
    if (sections_[i].rawSize != 0 && sections_[i].rawOffset + sections_[i].rawSize > plan.offset)
      Fail("section " + sections_[i].name + " lies after the resources in the file");
  uint32_t lastOffset = plan.offset;
  for (size_t i = plan.index + (plan.replaces ? 1 : 0); i < sections_.size(); ++i) {
    const PeSection& section = sections_[i];
    if (section.rawSize != 0 && section.rawOffset < lastOffset)
      Fail("section " + section.name + " is out of order in the file");
    if (section.rawSize != 0) lastOffset = section.rawOffset + section.rawSize;
    for (int d = 0; d < static_cast<int>(directoryCount_); ++d) {
      PeDirectory entry = directory(d);
      if (d == DIRECTORY_SECURITY || d == DIRECTORY_BASERELOC || entry.size == 0) continue;
      if (SectionAt(entry.address) == &section)
        Fail("section " + section.name + " after the resources holds data directory " +
             std::to_string(d) + ", which cannot move");
    }
  }
  bool moves = plan.index + (plan.replaces ? 1 : 0) < sections_.size();
  if (moves && directory(DIRECTORY_BASERELOC).size == 0)
    Fail("has sections after its resources and no relocations to show they can move");
  if (plan.replaces || moves) CheckNothingPointsInto(plan.address);
  PeDirectory debug = directory(DIRECTORY_DEBUG);
  if (debug.size != 0) {
    const uint8_t* entries = AtAddress(debug.address, debug.size);
    if (entries == nullptr) Fail("debug directory outside the sections");
    size_t base = static_cast<size_t>(entries - bytes_.data());
    for (uint32_t at = 0; at + 28 <= debug.size; at += 28) {
      uint32_t address = Get32(base + at + 20), offset = Get32(base + at + 24);
      if ((address != 0 && address >= plan.address) || offset >= plan.offset)
        Fail("debug data lies in or after the resources; strip the program");
    }
  }
  return plan;
}

void PeImage::CheckNothingPointsInto(uint32_t from) const {
  PeDirectory relocations = directory(DIRECTORY_BASERELOC);
  if (relocations.size == 0) return;
  const uint8_t* table = AtAddress(relocations.address, relocations.size);
  if (table == nullptr) Fail("relocations outside the sections");
  const size_t base = static_cast<size_t>(table - bytes_.data());
  const uint32_t width = is64_ ? 8 : 4;
  for (uint32_t block = 0; block + 8 <= relocations.size;) {
    uint32_t page = Get32(base + block);
    uint32_t blockSize = Get32(base + block + 4);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > relocations.size - block)
      Fail("damaged relocation block at " + Hex(relocations.address + block));
    for (uint32_t at = 8; at < blockSize; at += 2) {
      uint16_t entry = Get16(base + block + at);
      uint16_t type = entry >> 12;
      if (type == kRelocAbsolute) continue;
      if (type != (is64_ ? kRelocDir64 : kRelocHighLow))
        Fail("relocation of unexpected type " + std::to_string(type));
      uint64_t site = static_cast<uint64_t>(page) + (entry & 0xFFF);
      if (site + width > from)
        Fail("a relocated pointer at " + Hex(site) + " lies in the resources or after them");
      const uint8_t* value = AtAddress(static_cast<uint32_t>(site), width);
      if (value == nullptr) continue;  // in zero-filled data, so pointing at nothing yet
      uint64_t pointer = 0;
      for (uint32_t i = 0; i < width; ++i) pointer |= static_cast<uint64_t>(value[i]) << (8 * i);
      uint64_t target = pointer - imageBase_;
      if (pointer >= imageBase_ && target >= from && target < sizeOfImage())
        Fail("the pointer at " + Hex(site) + " refers to " + Hex(target) +
             ", in the resources or after them, which move");
    }
    block += blockSize;
  }
}

void PeImage::ReplaceResources(const std::function<std::vector<uint8_t>(uint32_t)>& build) {
  ResourcePlan plan = PlanResources();
  Relayout(plan, build(plan.address));
}

void PeImage::Relayout(const ResourcePlan& plan, const std::vector<uint8_t>& resources) {
  if (resources.empty() || resources.size() > 0x7FFFFFFF) Fail("resource section of bad size");
  std::vector<PeSection> layout(sections_.begin(), sections_.begin() + plan.index);
  PeSection section;
  uint32_t oldRawSize = 0;
  if (plan.replaces) {
    section = sections_[plan.index];
    oldRawSize = section.rawSize;
  } else {
    section.name = ".rsrc";
    section.characteristics = kScnInitializedData | kScnMemRead;
    if (sectionTable_ + 40 * (sections_.size() + 1) > sizeOfHeaders_)
      Fail("no room in the headers for a resource section");
  }
  section.virtualAddress = plan.address;
  section.virtualSize = static_cast<uint32_t>(resources.size());
  section.rawOffset = plan.offset;
  section.rawSize = static_cast<uint32_t>(AlignUp(resources.size(), fileAlignment_));
  layout.push_back(section);

  std::vector<uint8_t> out(bytes_.begin(),
                           bytes_.begin() + std::min<size_t>(plan.offset, bytes_.size()));
  out.resize(plan.offset + section.rawSize, 0);
  std::copy(resources.begin(), resources.end(), out.begin() + plan.offset);
  uint64_t nextAddress = AlignUp(LoadedEnd(section), sectionAlignment_);
  PeDirectory relocations = directory(DIRECTORY_BASERELOC);
  for (size_t i = plan.index + (plan.replaces ? 1 : 0); i < sections_.size(); ++i) {
    PeSection moved = sections_[i];
    if (nextAddress > 0xFFFFFFFFu) Fail("image too large");
    uint32_t newAddress = static_cast<uint32_t>(nextAddress);
    if (relocations.size != 0 && SectionAt(relocations.address) == &sections_[i])
      relocations.address = relocations.address - moved.virtualAddress + newAddress;
    moved.virtualAddress = newAddress;
    if (moved.rawSize != 0) {
      out.resize(AlignUp(out.size(), fileAlignment_), 0);
      moved.rawOffset = static_cast<uint32_t>(out.size());
      const uint8_t* from = bytes_.data() + sections_[i].rawOffset;
      out.insert(out.end(), from, from + moved.rawSize);
    }
    nextAddress = AlignUp(LoadedEnd(moved), sectionAlignment_);
    layout.push_back(moved);
  }
  if (nextAddress > 0xFFFFFFFFu) Fail("image too large");

  const uint32_t initializedData = sizeOfInitializedData() - oldRawSize + section.rawSize;
  bytes_ = std::move(out);
  sections_ = std::move(layout);
  WriteSectionHeaders();
  Put32(optionalHeader_ + 8, initializedData);
  Put32(optionalHeader_ + 56, static_cast<uint32_t>(nextAddress));
  SetDirectory(DIRECTORY_RESOURCE, {section.virtualAddress, section.virtualSize});
  if (relocations.size != 0) SetDirectory(DIRECTORY_BASERELOC, relocations);
  Parse();
}

void PeImage::WriteSectionHeaders() {
  Put16(coffHeader_ + 2, static_cast<uint16_t>(sections_.size()));
  for (size_t i = 0; i < sections_.size(); ++i) {
    const PeSection& section = sections_[i];
    size_t header = sectionTable_ + 40 * i;
    std::fill(bytes_.begin() + header, bytes_.begin() + header + 40, 0);
    std::copy(section.name.begin(), section.name.begin() + std::min<size_t>(8, section.name.size()),
              bytes_.begin() + header);
    Put32(header + 8, section.virtualSize);
    Put32(header + 12, section.virtualAddress);
    Put32(header + 16, section.rawSize);
    Put32(header + 20, section.rawOffset);
    Put32(header + 36, section.characteristics);
  }
}

uint32_t PeImage::ComputeChecksum(const std::vector<uint8_t>& bytes, size_t checksumOffset) {
  // The field itself counts as zero.
  auto byte = [&](size_t i) -> uint32_t {
    return i >= bytes.size() || (i >= checksumOffset && i < checksumOffset + 4) ? 0 : bytes[i];
  };
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    sum += byte(i) | byte(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + bytes.size());
}

void PeImage::UpdateChecksum() {
  Put32(checksumOffset(), ComputeChecksum(bytes_, checksumOffset()));
}

}  // namespace packer
