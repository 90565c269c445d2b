// setuppack list and verify: what a package holds, and whether the launcher would unpack it.
#include <cinttypes>
#include <cstring>
#include <memory>
#include <set>

#include "common/platform.h"
#include "decode/decoder.h"
#include "package/entry_name.h"
#include "package/package_file.h"
#include "packer/commands.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// An open package with its tables read, or a Failure saying why not.
class OpenPackage {
 public:
  explicit OpenPackage(const fs::path& path) : path_(path) {
    file_ = OpenFile(PortablePath(path).c_str(), "rb");
    if (file_ == nullptr) throw Failure(path.string() + ": cannot be opened");
    PackageStatus status = ReadPackageTables(file_, &tables_);
    if (status != PACKAGE_OK) {
      fclose(file_);
      throw Failure(path.string() + ": not a valid package: " + PackageStatusText(status));
    }
  }
  ~OpenPackage() { fclose(file_); }
  OpenPackage(const OpenPackage&) = delete;
  OpenPackage& operator=(const OpenPackage&) = delete;

  FILE* file() { return file_; }
  const PackageTables& tables() const { return tables_; }

  // The decoded size a blob declares; false when it cannot be read.
  bool DeclaredSize(const PackageEntry& entry, uint32_t* size) {
    *size = 0;
    if (BlobProblem(tables_, entry) != nullptr) return false;
    if (entry.size < 4) return true;
    unsigned char bytes[4];
    if (fseek(file_, static_cast<long>(tables_.dataStart + entry.offset), SEEK_SET) != 0 ||
        fread(bytes, 1, 4, file_) != 4)
      return false;
    *size = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
  }

 private:
  fs::path path_;
  FILE* file_;
  PackageTables tables_;
};

int CountBytes(void* context, const uint8_t*, size_t size) {
  static_cast<Progress*>(context)->Add(size);
  return 1;
}

std::string Parent(const std::string& name) {
  size_t cut = name.rfind('\\');
  return cut == 0 || cut == std::string::npos ? std::string() : name.substr(0, cut);
}

// The disk space unpacking takes: the decoded sizes the blobs declare, and where the launcher
// unpacks, in the temporary directory, the staged blobs beside them.
std::string DiskNeeds(uint64_t decoded, uint64_t stored) {
  return "unpacking needs " + std::to_string(decoded) + " bytes (" +
         std::to_string(decoded + stored) +
         " on the launcher's temporary volume, staging included)";
}

const char* DecodeProblem(DecodeStatus status) {
  switch (status) {
    case DECODE_OK:
      return nullptr;
    case DECODE_TRUNCATED:
      return "compressed stream ends before its declared size";
    case DECODE_CORRUPT:
      return "compressed stream is corrupt (a code names no phrase)";
    case DECODE_WRITE_FAILED:
      return "output failed";
  }
  return "unknown decoding problem";
}

}  // namespace

int ListCommand(const fs::path& path, const Options& options) {
  UseCodePage(options.codePage);
  OpenPackage package(path);
  const PackageTables& tables = package.tables();
  printf("%-4s %12s %12s %6s  %s\n", "kind", "stored", "decoded", "ratio", "name");
  for (PackageEntry* entry = tables.directories.first; entry != nullptr; entry = entry->next)
    printf("%-4s %12s %12s %6s  %s\n", "dir", "-", "-", "-",
           PrintableName(entry->name, options.codePage).c_str());
  // Records of identical files share one blob: "=" before the stored size marks a record whose
  // blob an earlier record has already, and the package holds it only once.
  std::set<std::pair<uint32_t, uint32_t>> blobs;
  uint64_t stored = 0, staged = 0, decoded = 0;
  int copies = 0;
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next) {
    uint32_t size;
    bool known = package.DeclaredSize(*entry, &size);
    const bool copy = entry->size > 0 && !blobs.emplace(entry->offset, entry->size).second;
    copies += copy ? 1 : 0;
    stored += copy ? 0 : entry->size;
    staged += entry->size;
    decoded += size;
    char ratio[16] = "-";
    if (known && size > 0)
      snprintf(ratio, sizeof ratio, "%.3f", static_cast<double>(entry->size) / size);
    printf("%-4s %12s %12s %6s  %s\n", "file",
           ((copy ? "=" : "") + std::to_string(entry->size)).c_str(),
           known ? std::to_string(size).c_str() : "?", ratio,
           PrintableName(entry->name, options.codePage).c_str());
  }
  printf("total: %d directories, %d files", tables.directories.count, tables.files.count);
  if (copies > 0) printf(" (%d sharing an earlier one's blob)", copies);
  printf(", %" PRIu64 " stored, %" PRIu64 " decoded", stored, decoded);
  if (decoded > 0)
    printf(", ratio %.3f", static_cast<double>(stored) / static_cast<double>(decoded));
  printf("; %s\n", DiskNeeds(decoded, staged).c_str());
  return 0;
}

int VerifyCommand(const fs::path& path, const Options& options) {
  UseCodePage(options.codePage);
  OpenPackage package(path);
  const PackageTables& tables = package.tables();
  int problems = 0;
  auto report = [&](const char* kind, int index, const PackageEntry& entry,
                    const std::string& what) {
    PrintLine(stdout, path.string() + ": " + kind + " " + std::to_string(index) + " (" +
                          PrintableName(entry.name, options.codePage) + "): " + what);
    ++problems;
  };

  std::set<std::string> directories;  // by CaseKey
  std::set<std::string> seen;
  auto checkName = [&](const char* kind, int index, const PackageEntry& entry) {
    const char* why = EntryNameProblem(entry.name, entry.nameLength);
    if (why == nullptr) why = UnpackedLengthProblem(entry.name, strcmp(kind, "directory") == 0);
    if (why != nullptr) {
      report(kind, index, entry, why);
      return false;
    }
    std::string key = CaseKey(entry.name, options.codePage);
    std::string parent = Parent(key);
    if (!parent.empty() && directories.count(parent) == 0)
      report(kind, index, entry, "its directory is not created before it");
    if (!seen.insert(key).second)
      report(kind, index, entry,
             "same name as an earlier entry on Windows, where letter case does not count");
    return true;
  };
  int index = 0;
  for (PackageEntry* entry = tables.directories.first; entry != nullptr;
       entry = entry->next, ++index)
    if (checkName("directory", index, *entry))
      directories.insert(CaseKey(entry->name, options.codePage));

  uint64_t total = 0, stored = 0;
  index = 0;
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next, ++index) {
    checkName("file", index, *entry);
    uint32_t size;
    if (package.DeclaredSize(*entry, &size)) total += size;
    stored += entry->size;
  }

  std::unique_ptr<Decoder> decoder(new Decoder());
  Progress progress(options, "verifying", total);
  uint64_t decoded = 0;
  index = 0;
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next, ++index) {
    if (const char* why = BlobProblem(tables, *entry)) {
      report("file", index, *entry, why);
      continue;
    }
    // The blob alone, through a buffer: the decoder must not read into the next blob.
    if (fseek(package.file(), static_cast<long>(tables.dataStart + entry->offset), SEEK_SET) != 0) {
      report("file", index, *entry, "cannot be read");
      continue;
    }
    std::vector<uint8_t> blob(entry->size);
    if (entry->size > 0 && fread(blob.data(), 1, blob.size(), package.file()) != blob.size()) {
      report("file", index, *entry, "cannot be read");
      continue;
    }
    ByteSource input;
    ByteSink output;
    InitMemorySource(&input, blob.data(), blob.size());
    InitSink(&output, decoder->outputBuffer, sizeof decoder->outputBuffer, CountBytes, &progress);
    uint32_t declared = 0;
    DecodeStatus status = DecodeBlob(*decoder, &input, &output, &declared);
    if (const char* why = DecodeProblem(status))
      report("file", index, *entry, why);
    else if (decoder->produced != declared)
      report("file", index, *entry,
             "decodes to " + std::to_string(decoder->produced) + " bytes but declares " +
                 std::to_string(declared));
    else if (entry->size > 0 && entry->size < 4)
      report("file", index, *entry, "blob shorter than its 4-byte size");
    decoded += decoder->produced;
  }
  progress.Finish();
  if (problems > 0) {
    fprintf(stderr, "setuppack: %s: %d problem%s\n", path.string().c_str(), problems,
            problems == 1 ? "" : "s");
    return 1;
  }
  if (!options.quiet)
    printf("%s: ok, %d directories, %d files, %" PRIu64 " bytes decoded; %s\n",
           path.string().c_str(), tables.directories.count, tables.files.count, decoded,
           DiskNeeds(total, stored).c_str());
  return 0;
}

}  // namespace packer
