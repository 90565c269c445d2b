// Reads the compressed bit stream: bytes in file order, bits from the most significant down, and
// every value most significant bit first, running freely across byte boundaries.
#pragma once

#include <cstdint>

#include "decode/byte_io.h"

class BitReader {
 public:
  void Reset(ByteSource* source) {
    source_ = source;
    bits_ = 0;
    count_ = 0;
    pastEnd_ = 0;
  }

  uint32_t ReadBit() { return ReadBits(1); }

  // 1 <= n <= 12.
  uint32_t ReadBits(int n) {
    if (count_ < n) Refill(n);
    count_ -= n;
    return static_cast<uint32_t>(bits_ >> count_) & ((1u << n) - 1);
  }

  // Set once a read needed bits beyond the last byte; those bits read as ones, as the end-of-file
  // value of a byte-wise reader would, and the caller must treat the stream as truncated.
  int PastEnd() const { return pastEnd_; }

 private:
  void Refill(int n) {
    while (count_ <= 56) {
      int byte = TakeByte(source_);
      if (byte < 0) break;
      bits_ = (bits_ << 8) | static_cast<uint32_t>(byte);
      count_ += 8;
    }
    while (count_ < n) {
      bits_ = (bits_ << 8) | 0xFF;
      count_ += 8;
      pastEnd_ = 1;
    }
  }

  ByteSource* source_;
  uint64_t bits_;  // the low `count_` bits are not yet consumed
  int count_;
  int pastEnd_;
};
