// SHA-256, the digest the launcher's seal records.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace packer {

typedef std::array<uint8_t, 32> Sha256Digest;

Sha256Digest Sha256(const uint8_t* data, size_t size);
inline Sha256Digest Sha256(const std::vector<uint8_t>& data) {
  return Sha256(data.data(), data.size());
}

std::string HexDigest(const Sha256Digest& digest);

}  // namespace packer
