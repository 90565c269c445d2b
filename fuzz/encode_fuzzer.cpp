// The encoder's round trip on arbitrary input: whatever it writes, with either parse, the
// decoder and the plain model must read back exactly, ending at the declared size; and the same
// input handed over in pieces gives the same blob.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode/decoder.h"
#include "encode/encoder.h"
#include "support/decoding.h"
#include "support/reference_codec.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "encode_fuzzer: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Encoder* encoder = new Encoder();
  static Decoder* decoder = new Decoder();
  const std::string original(reinterpret_cast<const char*>(data), size);
  for (ParseMode mode : {PARSE_GREEDY, PARSE_PLANNED}) {
    std::vector<uint8_t> blob;
    EncodeBlob(*encoder, data, size, mode, &blob);
    std::string decoded;
    uint32_t declared = 0;
    Check(DecodeToString(*decoder, blob.data(), blob.size(), &decoded, &declared) == DECODE_OK,
          "decoder refused");
    Check(declared == size, "wrong declared size");
    Check(decoder->produced == size, "decoding does not end at the declared size");
    Check(decoded == original, "round trip differs");
    std::string plain;
    Check(ReferenceDecode(blob, &plain) && plain == original, "plain model disagrees");
    // Handed over in pieces whose sizes the input picks, from one byte to past the look-ahead.
    std::vector<uint8_t> chunked;
    BlobEncoder pieces(*encoder, size, mode, &chunked);
    for (size_t at = 0, piece = 0; at < size; at += piece) {
      piece = 1 + data[at] % (2 * ENCODE_LOOKAHEAD);
      if (piece > size - at) piece = size - at;
      pieces.Add(data + at, piece);
    }
    pieces.Finish();
    Check(chunked == blob, "input in pieces encodes differently");
  }
  return 0;
}
