// The writer of the compressed format. It keeps a dictionary identical to the decoder's after
// every symbol, so every code it emits means to the decoder exactly the phrase it chose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/dictionary.h"

enum ParseMode {
  PARSE_GREEDY,     // the longest phrase the dictionary holds at each position
  PARSE_LOOKAHEAD,  // the phrase that makes this one and the next longest together
};

// Create zero-initialised (see Dictionary); one per thread.
struct Encoder {
  Dictionary dictionary;
  int width;
  int threshold;
};

// Appends the compressed form of `data` (the 32-bit size, then the symbols) to `out`.
// `size` must be below 4 GiB.
void EncodeBlob(Encoder& encoder, const uint8_t* data, size_t size, ParseMode mode,
                std::vector<uint8_t>* out);
