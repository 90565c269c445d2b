// Writes package files for tests, including damaged ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/package_writer.h"

struct TestFile {
  std::string name;
  std::vector<uint8_t> blob;
};

// A well-formed package: the tables, then the blobs in order.
std::vector<uint8_t> BuildPackage(const std::vector<std::string>& directories,
                                  const std::vector<TestFile>& files);
