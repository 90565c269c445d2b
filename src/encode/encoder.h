// The writer of the compressed format. It keeps a dictionary identical to the decoder's after
// every symbol, so every code it emits means to the decoder exactly the phrase it chose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/dictionary.h"

enum ParseMode {
  PARSE_GREEDY,   // the longest phrase the dictionary holds at each position
  PARSE_PLANNED,  // the fewest bits over a short window ahead, judged on today's dictionary
};

enum {
  PLAN_WINDOW = 24,  // bytes planned at once
  PLAN_STEP = 20,    // bytes taken from a plan before planning again
};

// Create zero-initialised (see ChildTable); one per thread.
struct Encoder {
  EncoderDictionary dictionary;
  int width;
  int threshold;
  uint8_t plan[PLAN_WINDOW];     // the phrase length chosen at each offset of the window
  uint8_t longest[PLAN_WINDOW];  // the longest phrase the plan knew of at each offset
};

// Appends the compressed form of `data` (the 32-bit size, then the symbols) to `out`.
// `size` must be below 4 GiB.
void EncodeBlob(Encoder& encoder, const uint8_t* data, size_t size, ParseMode mode,
                std::vector<uint8_t>* out);
