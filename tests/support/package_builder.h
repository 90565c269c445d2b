// Writes package files for tests, including damaged ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TestRecord {
  std::string name;
  uint32_t offset;
  uint32_t size;
};

// The two tables exactly as given, without a data area.
std::vector<uint8_t> PackageTablesBytes(const std::vector<TestRecord>& directories,
                                        const std::vector<TestRecord>& files);

struct TestFile {
  std::string name;
  std::vector<uint8_t> blob;
};

// A well-formed package: the tables, then the blobs in order.
std::vector<uint8_t> BuildPackage(const std::vector<std::string>& directories,
                                  const std::vector<TestFile>& files);
