// Builds compressed streams bit by bit, most significant bit first, for crafting test input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class BitWriter {
 public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used_ == 0) bytes_.push_back(0);
      if ((value >> i) & 1u) bytes_.back() |= static_cast<uint8_t>(0x80u >> used_);
      used_ = (used_ + 1) & 7;
    }
  }
  void Literal(uint8_t byte) { Put(byte, 9); }
  void Reference(uint32_t k, int width) { Put((1u << width) | k, width + 1); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

// A blob: the 32-bit little-endian decoded size followed by `stream`.
std::vector<uint8_t> MakeBlob(uint32_t size, const std::vector<uint8_t>& stream);

// The simplest valid encoding of `data`: every byte as a literal.
std::vector<uint8_t> LiteralBlob(const std::string& data);
