// The file decoder: turns one compressed blob (a 32-bit little-endian decoded size, then the
// symbol stream) back into its bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "decode/bit_reader.h"
#include "decode/byte_io.h"
#include "decode/dictionary.h"

enum DecodeStatus {
  DECODE_OK,
  DECODE_TRUNCATED,     // the stream ended before the decoded size was reached
  DECODE_CORRUPT,       // a code above 4096, or a reference to an entry not in use
  DECODE_WRITE_FAILED,  // the output could not be written
};

enum { DECODE_BUFFER = 1 << 16 };

// All decoder state, fixed in size: nothing is allocated while decoding. The launcher keeps one
// static instance; tools create one per thread, zero-initialised (see ChildBits).
struct Decoder {
  DecoderDictionary dictionary;
  BitReader reader;
  int width;      // W, bits of a reference
  int threshold;  // T, learnt entries at which W grows next
  ByteSource* input;
  ByteSink* output;
  uint64_t produced;  // bytes written by the last DecodeStream
  uint8_t inputBuffer[DECODE_BUFFER];
  uint8_t outputBuffer[DECODE_BUFFER];
};

void ResetDecoder(Decoder& decoder);

// Reads the next symbol: 0 to 255 for a literal, 256 + k for a reference.
inline int ReadCode(Decoder& decoder) {
  // The width grows by at most one step per symbol, however far the entry count has run ahead.
  if (decoder.dictionary.inUse - FIRST_LEARNT >= decoder.threshold) {
    decoder.threshold *= 2;
    decoder.width += 1;
  }
  return decoder.reader.ReadSymbol(decoder.width);
}

// Decodes from decoder.input to decoder.output until `size` bytes have been produced. Whole
// phrases are written, so a stream whose last phrase runs past `size` produces more; callers that
// insist on an exact end compare decoder.produced.
DecodeStatus DecodeStream(Decoder& decoder, uint32_t size);

// Reads the size prefix from `input` and decodes the rest into `output`. An input shorter than
// the prefix decodes to nothing. `expectedSize`, when not null, receives the prefix.
DecodeStatus DecodeBlob(Decoder& decoder, ByteSource* input, ByteSink* output,
                        uint32_t* expectedSize);

// How decoding one staged blob into its file ended, each failure told apart for the report.
enum DecompressResult {
  DECOMPRESS_OK,
  DECOMPRESS_EXISTS,         // the destination name is taken: not made by this run
  DECOMPRESS_CORRUPT,        // a code in the stream names no phrase
  DECOMPRESS_TRUNCATED,      // the stream ends before its declared size
  DECOMPRESS_SIZE_MISMATCH,  // the stream decodes to another size than it declares
  DECOMPRESS_NO_SPACE,       // the destination's disk is full
  DECOMPRESS_WRITE_FAILED,   // the destination cannot be created or written otherwise
  DECOMPRESS_READ_FAILED,    // the staged blob cannot be opened or read
};

// The words a report uses for `result`.
const char* DecompressResultText(DecompressResult result);

// The process's own decoder, for one file at a time.
Decoder& ProcessDecoder();

// Decodes the blob read from `source`, where it stands, into `destination`, a file just created,
// with `decoder`, and closes `destination`; `source` stays the caller's. The caller removes the
// destination after a failure. Once `stop` (may be null) is set, by another thread too, no more is
// written and the result is a write failure.
DecompressResult DecodeFileStreams(Decoder& decoder, FILE* source, FILE* destination,
                                   const std::atomic<int>* stop = nullptr);

// Decodes the compressed file `sourcePath` into `destinationPath`, a new file, with the
// process's decoder. Returns 1 on success; on any failure 0, also when `destinationPath` exists,
// and no destination file of its own stays.
int DecompressFile(const char* sourcePath, const char* destinationPath);
