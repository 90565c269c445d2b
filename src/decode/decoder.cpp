#include "decode/decoder.h"

#include <cstring>

void ResetDecoder(Decoder& decoder) {
  ResetDictionary(decoder.dictionary);
  decoder.threshold = 2;
  decoder.width = 1;
  decoder.reader.Reset(decoder.input);
  decoder.produced = 0;
}

DecodeStatus DecodeStream(Decoder& decoder, uint32_t size) {
  ResetDecoder(decoder);
  DecoderDictionary& d = decoder.dictionary;
  ByteSink* out = decoder.output;
  int previous = NO_ENTRY;
  int previousLength = 0;
  uint64_t total = 0;
  while (total < size) {
    int code = ReadCode(decoder);
    if (decoder.reader.PastEnd()) return DECODE_TRUNCATED;
    if (code == NO_ENTRY) {
      // A reference one past the last entry names no phrase; it only cuts the link.
      previous = NO_ENTRY;
      previousLength = 0;
      continue;
    }
    if (code >= d.inUse) return DECODE_CORRUPT;
    if (out->capacity - out->used < MAX_PHRASE && !FlushSink(out)) return DECODE_WRITE_FAILED;
    uint8_t* phrase = out->buffer + out->used;
    int n = UsePhrase(d, code, phrase);
    out->used += static_cast<size_t>(n);
    AddPhrases(d, phrase, n, previous, previousLength);
    previous = code;
    previousLength = n;
    total += static_cast<uint64_t>(n);
  }
  decoder.produced = total;
  return FlushSink(out) ? DECODE_OK : DECODE_WRITE_FAILED;
}

DecodeStatus DecodeBlob(Decoder& decoder, ByteSource* input, ByteSink* output,
                        uint32_t* expectedSize) {
  decoder.input = input;
  decoder.output = output;
  uint32_t size = 0;
  for (int i = 0; i < 4; ++i) {
    int byte = TakeByte(input);
    if (byte < 0) {
      // Too short to hold a decoded size (a blob of size 0, say): nothing to decode.
      if (expectedSize != nullptr) *expectedSize = 0;
      decoder.produced = 0;
      return DECODE_OK;
    }
    size |= static_cast<uint32_t>(byte) << (8 * i);
  }
  if (expectedSize != nullptr) *expectedSize = size;
  return DecodeStream(decoder, size);
}
