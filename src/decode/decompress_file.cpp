// Decoding a staged blob file into the file it stands for, and telling why that failed. Apart
// from the decoder itself, which alone is built for speed.
#include <cerrno>

#include "common/platform.h"
#include "decode/decoder.h"

const char* DecompressResultText(DecompressResult result) {
  // Short, and a table rather than a switch: the stub carries these words too. They are those of
  // the verification's problem list, which explains them.
  static const char* const TEXTS[] = {
      "exists already, not made by this run",
      "corrupt stream",
      "truncated stream",
      "size mismatch",
      "no space left",
      "write failed",
      "staged blob unreadable",
  };
  return result == DECOMPRESS_OK ? "" : TEXTS[result - 1];
}

namespace {

// A write that failed for want of space, as the C library reports it on either system (the
// Windows runtime turns ERROR_DISK_FULL into ENOSPC).
int IsNoSpace(int error) {
#ifdef EDQUOT
  if (error == EDQUOT) return 1;
#endif
  return error == ENOSPC;
}

Decoder g_decoder;

struct StoppableFile {
  FILE* file;
  const std::atomic<int>* stop;
};

int WriteUnlessStopped(void* context, const uint8_t* data, size_t size) {
  StoppableFile* out = static_cast<StoppableFile*>(context);
  if (out->stop != nullptr && out->stop->load(std::memory_order_relaxed) != 0) return 0;
  return fwrite(data, 1, size, out->file) == size;
}

}  // namespace

Decoder& ProcessDecoder() {
  return g_decoder;
}

DecompressResult DecodeFileStreams(Decoder& decoder, FILE* source, FILE* destination,
                                   const std::atomic<int>* stop) {
  ByteSource input;
  ByteSink output;
  StoppableFile out = {destination, stop};
  InitFileSource(&input, source, decoder.inputBuffer, sizeof decoder.inputBuffer);
  InitSink(&output, decoder.outputBuffer, sizeof decoder.outputBuffer, WriteUnlessStopped, &out);
  errno = 0;
  uint32_t declared = 0;
  DecodeStatus status = DecodeBlob(decoder, &input, &output, &declared);
  int writeError = errno;
  // A read error ends the input early: it is told as such, not as the truncation it looks like.
  int readFailed = ferror(source);
  errno = 0;
  if (fclose(destination) != 0 && status == DECODE_OK) {
    status = DECODE_WRITE_FAILED;
    writeError = errno;
  }
  if (readFailed) return DECOMPRESS_READ_FAILED;
  switch (status) {
    case DECODE_OK:
      return decoder.produced == declared ? DECOMPRESS_OK : DECOMPRESS_SIZE_MISMATCH;
    case DECODE_TRUNCATED:
      return DECOMPRESS_TRUNCATED;
    case DECODE_CORRUPT:
      return DECOMPRESS_CORRUPT;
    case DECODE_WRITE_FAILED:
      break;
  }
  return IsNoSpace(writeError) ? DECOMPRESS_NO_SPACE : DECOMPRESS_WRITE_FAILED;
}

int DecompressFile(const char* sourcePath, const char* destinationPath) {
  FILE* source = OpenFile(sourcePath, "rb");
  if (source == nullptr) return 0;
  // Never over an existing file: what stands there was not made by this run.
  FILE* destination = OpenNewFile(destinationPath, nullptr);
  if (destination == nullptr) {
    fclose(source);
    return 0;
  }
  DecompressResult result = DecodeFileStreams(g_decoder, source, destination);
  fclose(source);
  if (result != DECOMPRESS_OK) {
    DeletePlainFile(destinationPath);
    return 0;
  }
  return 1;
}
