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

// The most input a step of the encoder reads ahead of its position: a plan's window, and from
// its last offset the longest phrase.
enum { ENCODE_LOOKAHEAD = PLAN_WINDOW + MAX_PHRASE };

// Encodes one blob from input handed over in pieces of any size, so that a file need never be
// held whole: the bytes come out exactly as EncodeBlob's for the same input. The encoder holds
// back at most ENCODE_LOOKAHEAD bytes of what it was given, until it knows what follows them.
class BlobEncoder {
 public:
  // Writes the 32-bit size to `out` at once; `size` must be below 4 GiB and is exactly what the
  // pieces will add up to. Compressed bytes are appended to `out` as they are decided; the
  // caller may take them away between calls.
  BlobEncoder(Encoder& encoder, uint64_t size, ParseMode mode, std::vector<uint8_t>* out);
  BlobEncoder(const BlobEncoder&) = delete;
  BlobEncoder& operator=(const BlobEncoder&) = delete;

  // The next `size` bytes of the input. Bytes past the size given at the start are ignored.
  void Add(const uint8_t* data, size_t size);
  // Writes the rest, once every byte has been added.
  void Finish();

 private:
  // Encodes from `data`, the input at position_, as far as `available` bytes allow the same
  // choices as with the whole input at hand. Returns the bytes consumed.
  size_t Encode(const uint8_t* data, size_t available);

  Encoder& encoder_;
  const ParseMode mode_;
  const uint64_t size_;
  std::vector<uint8_t>* out_;
  uint64_t position_ = 0;  // bytes encoded
  // The bit writer's state between calls: bits not yet a whole byte, most significant first.
  uint64_t word_ = 0;
  int count_ = 0;
  int previous_ = NO_ENTRY;
  int previousLength_ = 0;
  int planned_ = PLAN_STEP;  // bytes taken from the current plan
  int window_ = 0;           // bytes the current plan covers
  // Input given but not yet encoded because what follows it was still unknown.
  uint8_t carry_[2 * ENCODE_LOOKAHEAD];
  size_t carried_ = 0;
};

// Appends the compressed form of `data` (the 32-bit size, then the symbols) to `out`.
// `size` must be below 4 GiB.
void EncodeBlob(Encoder& encoder, const uint8_t* data, size_t size, ParseMode mode,
                std::vector<uint8_t>* out);
