#include "package/package_writer.h"

namespace {

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutTable(std::vector<uint8_t>* out, const std::vector<PackageRecord>& records) {
  PutU32(out, static_cast<uint32_t>(records.size()));
  for (const PackageRecord& record : records) {
    PutU32(out, static_cast<uint32_t>(record.name.size()));
    out->insert(out->end(), record.name.begin(), record.name.end());
    PutU32(out, record.offset);
    PutU32(out, record.size);
  }
}

uint64_t TableSize(const std::vector<PackageRecord>& records) {
  uint64_t size = 4;
  for (const PackageRecord& record : records) size += 12 + record.name.size();
  return size;
}

}  // namespace

std::vector<uint8_t> PackageTablesBytes(const std::vector<PackageRecord>& directories,
                                        const std::vector<PackageRecord>& files) {
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(PackageTablesSize(directories, files)));
  PutTable(&out, directories);
  PutTable(&out, files);
  return out;
}

uint64_t PackageTablesSize(const std::vector<PackageRecord>& directories,
                           const std::vector<PackageRecord>& files) {
  return TableSize(directories) + TableSize(files);
}
