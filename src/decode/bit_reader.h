// Reads the compressed bit stream: bytes in file order, bits from the most significant down, and
// every value most significant bit first, running freely across byte boundaries.
#pragma once

#include <cstdint>
#include <cstring>

#include "decode/byte_io.h"

class BitReader {
 public:
  void Reset(ByteSource* source) {
    source_ = source;
    bits_ = 0;
    count_ = 0;
    padding_ = 0;
  }

  uint32_t ReadBit() { return ReadBits(1); }

  // 1 <= n <= 12.
  uint32_t ReadBits(int n) {
    if (count_ < n) Refill(n);
    count_ -= n;
    return static_cast<uint32_t>(bits_ >> count_) & ((1u << n) - 1);
  }

  // A flag bit, then 8 bits of a literal (returned as 0 to 255) or `width` bits of a reference
  // (returned as 256 + k). One look at the buffer serves both fields.
  int ReadSymbol(int width) {
    if (count_ < 13) Refill(13);
    uint32_t window = static_cast<uint32_t>(bits_ >> (count_ - 13));  // the next 13 bits on top
    if ((window & 0x1000u) == 0) {
      count_ -= 9;
      return static_cast<int>((window >> 4) & 0xFFu);
    }
    count_ -= width + 1;
    return 256 + static_cast<int>((window >> (12 - width)) & ((1u << width) - 1));
  }

  // True once a read took bits beyond the last byte; those bits read as ones, as the end-of-file
  // value of a byte-wise reader would, and the caller must treat the stream as truncated.
  int PastEnd() const { return count_ < padding_; }

 private:
  void Refill(int n) {
    // Whole bytes while eight are at hand: one big-endian load instead of a call per byte.
    if (source_->end - source_->next >= 8) {
      int take = (63 - count_) >> 3;
      uint64_t word;
      memcpy(&word, source_->next, sizeof word);
      // The stream is most significant byte first; every target here is little-endian.
      word = __builtin_bswap64(word);
      bits_ = (bits_ << (8 * take)) | (word >> (64 - 8 * take));
      count_ += 8 * take;
      source_->next += take;
      return;
    }
    while (count_ <= 56) {
      int byte = TakeByte(source_);
      if (byte < 0) break;
      bits_ = (bits_ << 8) | static_cast<uint32_t>(byte);
      count_ += 8;
    }
    // Past the end, padding lets a symbol be looked at whole; only taking it counts.
    while (count_ < n) {
      bits_ = (bits_ << 8) | 0xFF;
      count_ += 8;
      padding_ += 8;
    }
  }

  ByteSource* source_;
  uint64_t bits_;  // the low `count_` bits are not yet consumed
  int count_;
  int padding_;  // how many of the low bits are padding beyond the end
};
