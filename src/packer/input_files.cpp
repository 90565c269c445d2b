#include "packer/input_files.h"

#include <fstream>
#include <new>

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
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileFailure(path.string() + ": cannot be opened");
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) throw FileFailure(path.string() + ": cannot be read");
  in.seekg(0, std::ios::beg);
  // Named here, where the size is known: a bare "out of memory" would not say which file asked.
  const std::string tooLarge =
      path.string() + ": " + FormatBytes(static_cast<uint64_t>(size)) +
      ", more than this program can hold in memory" +
      (static_cast<uint64_t>(size) > 0xFFFFFFFFu ? " (is it the file meant?)" : "");
  if (static_cast<uint64_t>(size) > bytes.max_size()) throw FileFailure(tooLarge);
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    throw FileFailure(tooLarge);
  }
  if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size))
    throw FileFailure(path.string() + ": cannot be read");
  return bytes;
}

}  // namespace packer
