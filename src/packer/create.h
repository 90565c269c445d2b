// What `create` does that other commands do too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "encode/encoder.h"

namespace packer {

// Compresses the file at `path`, which must hold `size` bytes (below 4 GiB), reading it a piece
// at a time and handing the blob to `take` as it comes (`take` may move the bytes away), so that
// memory stays at a piece whatever the file's size. Throws Failure when the file cannot be read
// or its size changed.
void CompressFile(const std::filesystem::path& path, uint64_t size, ParseMode mode,
                  Encoder& encoder, const std::function<void(std::vector<uint8_t>*)>& take);

}  // namespace packer
