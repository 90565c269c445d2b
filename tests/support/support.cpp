#include <algorithm>

#include "common/paths.h"
#include "common/platform.h"
#include "package/tree_walk.h"
#include "support/bit_writer.h"
#include "support/decoding.h"
#include "support/package_builder.h"
#include "support/scratch.h"

namespace {

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

namespace {

int AppendToString(void* context, const uint8_t* data, size_t size) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), size);
  return 1;
}

}  // namespace

DecodeStatus DecodeToString(Decoder& decoder, const uint8_t* blob, size_t size, std::string* out,
                            uint32_t* declared) {
  out->clear();
  ByteSource input;
  ByteSink output;
  InitMemorySource(&input, blob, size);
  InitSink(&output, decoder.outputBuffer, sizeof decoder.outputBuffer, AppendToString, out);
  return DecodeBlob(decoder, &input, &output, declared);
}

std::vector<uint8_t> MakeBlob(uint32_t size, const std::vector<uint8_t>& stream) {
  std::vector<uint8_t> blob;
  PutU32(&blob, size);
  blob.insert(blob.end(), stream.begin(), stream.end());
  return blob;
}

std::vector<uint8_t> LiteralBlob(const std::string& data) {
  BitWriter writer;
  for (char c : data) writer.Literal(static_cast<uint8_t>(c));
  return MakeBlob(static_cast<uint32_t>(data.size()), writer.bytes());
}

std::vector<uint8_t> BuildPackage(const std::vector<std::string>& directories,
                                  const std::vector<TestFile>& files) {
  std::vector<PackageRecord> directoryRecords;
  for (const std::string& name : directories) directoryRecords.push_back({name, 0, 0});
  std::vector<PackageRecord> fileRecords;
  uint32_t offset = 0;
  for (const TestFile& file : files) {
    fileRecords.push_back({file.name, offset, static_cast<uint32_t>(file.blob.size())});
    offset += static_cast<uint32_t>(file.blob.size());
  }
  std::vector<uint8_t> out = PackageTablesBytes(directoryRecords, fileRecords);
  for (const TestFile& file : files) out.insert(out.end(), file.blob.begin(), file.blob.end());
  return out;
}

ScratchDir::ScratchDir() {
  char path[PATH_BUFFER];
  if (MakeUniqueTempDir("%ssltest%d", path)) path_ = path;
}

ScratchDir::~ScratchDir() {
  if (!path_.empty()) RemoveTree(path_.c_str());
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* file = OpenFile(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  return WriteWholeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool ReadWholeFile(const std::string& path, std::string* contents) {
  FILE* file = OpenFile(path.c_str(), "rb");
  if (file == nullptr) return false;
  contents->clear();
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) contents->append(buffer, got);
  fclose(file);
  return true;
}

bool PathExists(const std::string& path) {
  FILE* file = OpenFile(path.c_str(), "rb");
  if (file != nullptr) {
    fclose(file);
    return true;
  }
  return IsDirectory(path);
}

bool IsDirectory(const std::string& path) {
  DirEntry entry;
  DirSearch search = OpenDirSearch(path.c_str(), &entry);
  if (search == nullptr) return false;
  CloseDirSearch(search);
  return true;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  DirEntry entry;
  DirSearch search = OpenDirSearch(dir.c_str(), &entry);
  if (search == nullptr) return names;
  do {
    std::string name = entry.name;
    if (name != "." && name != "..") names.push_back(name);
  } while (NextDirEntry(search, &entry));
  CloseDirSearch(search);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

void SnapshotInto(const std::string& dir, const std::string& prefix,
                  std::vector<std::pair<std::string, std::string>>* out) {
  for (const std::string& name : ListDir(dir)) {
    std::string path = dir + "\\" + name;
    if (IsDirectory(path)) {
      out->push_back({prefix + name + "\\", ""});
      SnapshotInto(path, prefix + name + "\\", out);
    } else {
      std::string contents;
      ReadWholeFile(path, &contents);
      out->push_back({prefix + name, contents});
    }
  }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> Snapshot(const std::string& dir) {
  std::vector<std::pair<std::string, std::string>> out;
  SnapshotInto(dir, "\\", &out);
  return out;
}
