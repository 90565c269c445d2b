// Reading what a command was given: a file, or standard input for "-".
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "packer/atomic_output.h"

namespace packer {

// A package to read, named "-" for standard input. The commands seek in a package, so standard
// input is first copied whole into a temporary file, which goes when the command ends or is
// stopped.
class InputFile {
 public:
  explicit InputFile(const std::filesystem::path& path);
  // Where the bytes are now; the path as given names the package in messages.
  const std::filesystem::path& path() const { return path_; }

 private:
  std::unique_ptr<AtomicOutput> copy_;
  std::filesystem::path path_;
};

// The whole of a file, or of standard input for "-".
std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path);

}  // namespace packer
