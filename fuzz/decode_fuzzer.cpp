// The decoder on arbitrary blobs, held to the plain model: what it decodes must be exactly what
// the model makes of the blob, and what it calls corrupt the model must refuse as well. Files are
// read through a buffer that refills, so each blob is decoded once more from a FILE* with a tiny
// buffer, and that must come out the same as from memory.
#include <stdio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode/decoder.h"
#include "support/reference_codec.h"

namespace {

// The declared size bounds the work of both decoders; far beyond this one input takes seconds.
const uint32_t kMaxDeclaredSize = 1u << 20;

void Check(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "decode_fuzzer: %s\n", what);
  abort();
}

int AppendToString(void* context, const uint8_t* data, size_t size) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), size);
  return 1;
}

DecodeStatus Decode(Decoder* decoder, ByteSource* input, std::string* output, uint32_t* expected) {
  // A small output buffer makes phrases straddle many flushes.
  static uint8_t outputBuffer[4 * MAX_PHRASE];
  ByteSink sink;
  InitSink(&sink, outputBuffer, sizeof outputBuffer, AppendToString, output);
  return DecodeBlob(*decoder, input, &sink, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t declared = 0;
  if (size >= 4)
    declared = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
               static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  if (declared > kMaxDeclaredSize) return 0;

  // Reused for every input, as the launcher reuses its one decoder for every file.
  static Decoder* decoder = new Decoder();
  std::string output;
  ByteSource input;
  InitMemorySource(&input, data, size);
  uint32_t expected = 0;
  DecodeStatus status = Decode(decoder, &input, &output, &expected);
  Check(status != DECODE_WRITE_FAILED, "write failed although the sink never fails");
  Check(expected == declared, "decoded size misread");
  uint64_t produced = decoder->produced;

  if (size > 0) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    Check(file != nullptr, "fmemopen failed");
    // Buffer sizes below and around the reader's eight-byte loads, varied from input to input.
    uint8_t fileBuffer[16];
    ByteSource fileInput;
    InitFileSource(&fileInput, file, fileBuffer, 1 + size % sizeof fileBuffer);
    std::string fileOutput;
    DecodeStatus fileStatus = Decode(decoder, &fileInput, &fileOutput, nullptr);
    fclose(file);
    Check(fileStatus == status, "status differs between file and memory");
    if (status == DECODE_OK) Check(fileOutput == output, "output differs between file and memory");
  }
  if (status == DECODE_TRUNCATED) return 0;

  std::vector<uint8_t> blob(data, data + size);
  std::string plain;
  bool plainAccepts = ReferenceDecode(blob, &plain);
  if (status == DECODE_CORRUPT) {
    Check(!plainAccepts, "decoder refused a blob the plain model decodes");
    return 0;
  }
  Check(plainAccepts, "decoder accepted a blob the plain model refuses");
  Check(output == plain, "output differs from the plain model");
  Check(produced == output.size(), "produced count differs from the output");
  // Only whole phrases are written: at most one phrase beyond the declared size.
  Check(output.size() >= declared, "output shorter than the declared size");
  Check(declared == 0 ? output.empty() : output.size() < declared + MAX_PHRASE,
        "output runs more than a phrase past the declared size");
  return 0;
}
