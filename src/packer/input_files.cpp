#include "packer/input_files.h"

#include <memory>
#include <new>

#include "common/platform.h"

#include "packer/atomic_output.h"
#include "packer/failure.h"
#include "packer/system.h"
#include "packer/terminal.h"

namespace packer {

namespace fs = std::filesystem;

InputFile::InputFile(const fs::path& path) : path_(path) {
  if (!IsStandardStream(path)) return;
  copy_.reset(new AtomicOutput(path, true));
  UseBinaryMode(stdin);
  std::vector<uint8_t> buffer(1 << 16);
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), stdin)) > 0)
    copy_->Write(buffer.data(), got);
  if (ferror(stdin)) throw FileFailure("standard input: read failed");
  path_ = copy_->Close();
}

std::vector<uint8_t> ReadWholeFile(const fs::path& path) {
  std::vector<uint8_t> bytes;
  if (IsStandardStream(path)) {
    UseBinaryMode(stdin);
    uint8_t buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, stdin)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + got);
    if (ferror(stdin)) throw FileFailure("standard input: read failed");
    return bytes;
  }
  // Through OpenForReading, which can read the copies this tool makes of its inputs.
  std::unique_ptr<FILE, int (*)(FILE*)> in(OpenForReading(path), fclose);
  if (in == nullptr) throw FileFailure(path.string() + ": cannot be opened");
  unsigned long long size;
  if (!GetOpenFileSize(in.get(), &size)) throw FileFailure(path.string() + ": cannot be read");
  // Named here, where the size is known: a bare "out of memory" would not say which file asked.
  const std::string tooLarge =
      path.string() + ": " + FormatBytes(static_cast<uint64_t>(size)) +
      ", more than this program can hold in memory" +
      (static_cast<uint64_t>(size) > 0xFFFFFFFFu ? " (is it the file meant?)" : "");
  if (size > bytes.max_size()) throw FileFailure(tooLarge);
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    throw FileFailure(tooLarge);
  }
  if (size > 0 && fread(bytes.data(), 1, bytes.size(), in.get()) != bytes.size())
    throw FileFailure(path.string() + ": cannot be read");
  return bytes;
}

}  // namespace packer
