// setuppack list and verify: what a package holds, and whether the launcher would unpack it.
#include <cinttypes>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "common/platform.h"
#include "decode/decoder.h"
#include "package/bundle_format.h"
#include "package/entry_name.h"
#include "package/package_file.h"
#include "packer/commands.h"
#include "packer/failure.h"
#include "packer/name_text.h"
#include "packer/options.h"
#include "packer/release/release_reader.h"
#include "packer/system.h"
#include "packer/terminal.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// An open package with its tables read, or a Failure saying why not.
class OpenPackage {
 public:
  // `path` names the package in messages; its bytes are at `bytes`.
  OpenPackage(const std::string& path, const fs::path& bytes) : path_(path) {
    file_ = OpenForReading(bytes);
    if (file_ == nullptr) throw FileFailure(path + ": cannot be opened");
    PackageStatus status = ReadPackageTables(file_, &tables_);
    if (status != PACKAGE_OK) {
      fclose(file_);
      std::string message = path + ": not a valid package: " + PackageStatusText(status);
      if (status == PACKAGE_UNREADABLE) throw FileFailure(message);
      throw Failure(message);
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
  std::string path_;
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

// What verify finds, each with a code that scripts can rely on (the README lists them).
struct Problem {
  const char* code;
  std::string message;
};

// What decoding one blob found: no problem (null code), or one for every record naming it.
struct BlobOutcome {
  const char* code = nullptr;
  std::string message;
  uint64_t produced = 0;
};

Problem DecodeProblem(DecodeStatus status) {
  switch (status) {
    case DECODE_OK:
      break;
    case DECODE_TRUNCATED:
      return {"truncated-stream", "compressed stream ends before its declared size"};
    case DECODE_CORRUPT:
      return {"corrupt-stream", "compressed stream is corrupt (a code names no phrase)"};
    case DECODE_WRITE_FAILED:
      return {"corrupt-stream", "output failed"};
  }
  return {nullptr, ""};
}

using Json = nlohmann::ordered_json;

// An entry's name for machine-readable output: its bytes in hex always, and its text when it is
// known (plain ASCII, or decoded through the code page).
void AddName(Json* object, const PackageEntry& entry, int codePage) {
  std::string name(entry.name), text;
  if (NameText(name, codePage, &text)) (*object)["name"] = text;
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : name) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 15]);
  }
  (*object)["name_hex"] = hex;
  // As the text form shows it, escapes and all, for a report that quotes both.
  (*object)["shown"] = PrintableName(name, codePage);
}

void PrintJson(const Json& document) {
  // Paths the user gave may be bytes of no encoding on POSIX: they are shown with U+FFFD.
  std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace);
  printf("%s\n", EscapeSteering(text).c_str());
}

void AddDiskNeeds(Json* object, uint64_t decoded, uint64_t stored) {
  (*object)["unpack_bytes"] = decoded;
  (*object)["temp_volume_bytes"] = decoded + stored;
}

}  // namespace

int ListCommand(const fs::path& path, const Options& options) {
  UseCodePage(options.codePage);
  ReleaseInput input(path);
  WarnAboutRelease(input, path.string(), options);
  OpenPackage package(input.name(), input.path());
  const PackageTables& tables = package.tables();
  Json entries = Json::array();
  if (!options.json)
    printf("%-4s %12s %12s %6s  %s\n", "kind", "stored", "decoded", "ratio", "name");
  for (PackageEntry* entry = tables.directories.first; entry != nullptr; entry = entry->next) {
    if (options.json) {
      Json object = {{"kind", "directory"}};
      AddName(&object, *entry, options.codePage);
      entries.push_back(object);
    } else {
      printf("%-4s %12s %12s %6s  %s\n", "dir", "-", "-", "-",
             PrintableName(entry->name, options.codePage).c_str());
    }
  }
  // Records of identical files share one blob: "=" before the stored size marks a record whose
  // blob an earlier record has already, and the package holds it only once.
  std::map<std::pair<uint32_t, uint32_t>, int> blobUsers;
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next)
    if (entry->size > 0) ++blobUsers[{entry->offset, entry->size}];
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
    if (options.json) {
      Json object = {{"kind", "file"}};
      AddName(&object, *entry, options.codePage);
      object["stored"] = entry->size;
      object["decoded"] = known ? Json(size) : Json(nullptr);
      object["offset"] = static_cast<uint64_t>(tables.dataStart) + entry->offset;
      object["shared"] = entry->size > 0 && blobUsers[{entry->offset, entry->size}] > 1;
      entries.push_back(object);
      continue;
    }
    char ratio[16] = "-";
    if (known && size > 0)
      snprintf(ratio, sizeof ratio, "%.3f", static_cast<double>(entry->size) / size);
    printf("%-4s %12s %12s %6s  %s\n", "file",
           ((copy ? "=" : "") + std::to_string(entry->size)).c_str(),
           known ? std::to_string(size).c_str() : "?", ratio,
           PrintableName(entry->name, options.codePage).c_str());
  }
  if (options.json) {
    Json document = {{"package", path.string()},    {"release", ReleaseKindName(input.kind())},
                     {"entries", entries},          {"directories", tables.directories.count},
                     {"files", tables.files.count}, {"stored", stored},
                     {"decoded", decoded}};
    AddDiskNeeds(&document, decoded, staged);
    PrintJson(document);
    return kExitClean;
  }
  printf(
      "total: %s, %s",
      Counted(static_cast<uint64_t>(tables.directories.count), "directory", "directories").c_str(),
      Counted(static_cast<uint64_t>(tables.files.count), "file", "files").c_str());
  if (copies > 0) printf(" (%d sharing an earlier one's blob)", copies);
  printf(", %" PRIu64 " stored, %" PRIu64 " decoded", stored, decoded);
  if (decoded > 0)
    printf(", ratio %.3f", static_cast<double>(stored) / static_cast<double>(decoded));
  printf("; %s\n", DiskNeeds(decoded, staged).c_str());
  return kExitClean;
}

namespace {

// The release's side of a verify: what the launcher checks before it unpacks, and the facts a
// publisher checks before upload.
void AddRelease(Json* document, const ReleaseInput& release) {
  (*document)["release"] = ReleaseKindName(release.kind());
  if (release.launcher().empty()) return;
  (*document)["launcher"] = {
      {"sealed", release.sealFlags() == SEAL_FOLDER         ? Json("folder")
                 : release.sealLayout() == SEAL_SINGLE_FILE ? Json("single-file")
                 : release.sealFlags() == 0                 ? Json("no")
                                                            : Json(release.sealFlags())},
      {"signed", release.isSigned()},
      {"version", release.version().empty() ? Json(nullptr) : Json(release.version())},
      {"installed_build", release.sameBuildAsInstalled() < 0
                              ? Json(nullptr)
                              : Json(release.sameBuildAsInstalled() == 1)}};
}

void AddLauncherExit(Json* document, int code) {
  (*document)["launcher_exit"] = {{"code", code}, {"meaning", LauncherExitMeaning(code)}};
}

std::string LauncherExitLine(const ReleaseInput& release, int code) {
  return (release.launcher().empty() ? std::string("the launcher")
                                     : release.launcher().filename().string()) +
         " would end with " + std::to_string(code) + ": " + LauncherExitMeaning(code);
}

}  // namespace

int VerifyCommand(const fs::path& path, const Options& options) {
  UseCodePage(options.codePage);
  Json problemList = Json::array();
  std::unique_ptr<OpenPackage> opened;
  ReleaseInput release(path);
  int releaseProblems = 0;
  for (const ReleaseProblem& problem : release.problems()) {
    if (problem.warning) {
      // With --werror a warning fails the verify like a problem.
      Options loud = options;
      loud.quiet = loud.quiet || options.json;
      Warn(loud, problem.message);
      if (!options.werror) {
        if (options.json)
          problemList.push_back(
              {{"code", problem.code}, {"message", problem.message}, {"warning", true}});
        continue;
      }
    } else if (!options.json) {
      PrintLine(stdout, problem.message);
    }
    ++releaseProblems;
    if (options.json) problemList.push_back({{"code", problem.code}, {"message", problem.message}});
  }
  auto finishWithoutPackage = [&](int code) {
    if (options.json) {
      Json document = {{"package", path.string()}, {"ok", false}, {"problems", problemList}};
      AddRelease(&document, release);
      if (code != 0) AddLauncherExit(&document, code);
      PrintJson(document);
    } else if (code != 0) {
      PrintLine(stderr, "setuppack: " + path.string() + ": " + LauncherExitLine(release, code));
    }
    return kExitProblems;
  };
  if (!release.HasPackage()) return finishWithoutPackage(release.launcherExit());
  try {
    opened.reset(new OpenPackage(release.name(), release.path()));
  } catch (const FileFailure&) {
    throw;
  } catch (const Failure& failure) {
    // Tables that cannot be read are a finding like any other, for a script to see as such.
    if (!options.json && release.launcher().empty()) throw;
    if (!options.json) PrintLine(stdout, failure.what());
    problemList.push_back({{"code", "bad-tables"}, {"message", failure.what()}});
    release.NotePackageDamage();
    return finishWithoutPackage(release.launcherExit());
  }
  OpenPackage& package = *opened;
  const PackageTables& tables = package.tables();
  int problems = releaseProblems;
  auto report = [&](const char* kind, int index, const PackageEntry& entry, const char* code,
                    const std::string& what) {
    ++problems;
    if (options.json) {
      Json place = {{"kind", kind}, {"index", index}};
      AddName(&place, entry, options.codePage);
      problemList.push_back({{"code", code}, {"entry", place}, {"message", what}});
      return;
    }
    PrintLine(stdout, release.name() + ": " + kind + " " + std::to_string(index) + " (" +
                          PrintableName(entry.name, options.codePage) + "): " + what);
  };

  std::set<std::string> directories;        // by CaseKey
  std::map<std::string, std::string> seen;  // CaseKey to the first name with it
  auto checkName = [&](const char* kind, int index, const PackageEntry& entry) {
    bool directory = strcmp(kind, "directory") == 0;
    if (entry.nameLength >= MAX_PATH) {
      report(kind, index, entry, "too-long", EntryNameProblem(entry.name, entry.nameLength));
      return false;
    }
    if (const char* why = EntryNameProblem(entry.name, entry.nameLength)) {
      report(kind, index, entry, "unsafe-name", why);
      return false;
    }
    if (const char* why = UnpackedLengthProblem(entry.name, directory)) {
      report(kind, index, entry, "too-long", why);
      return false;
    }
    std::string key = CaseKey(entry.name, options.codePage);
    std::string parent = Parent(key);
    if (!parent.empty() && directories.count(parent) == 0)
      report(kind, index, entry, "missing-directory", "its directory is not created before it");
    auto first = seen.emplace(key, entry.name);
    if (!first.second && first.first->second == entry.name)
      report(kind, index, entry, "duplicate-name", "same name as an earlier entry");
    else if (!first.second)
      report(kind, index, entry, "case-clash",
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
  // Records of identical files share a blob, and a package may make thousands of records name
  // one blob that declares a large size: each blob is decoded once, and what it gave is what
  // every record naming it gets.
  std::map<std::pair<uint32_t, uint32_t>, BlobOutcome> outcomes;
  index = 0;
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next, ++index) {
    if (const char* why = BlobProblem(tables, *entry)) {
      report("file", index, *entry, "blob-outside", why);
      continue;
    }
    auto known = outcomes.find({entry->offset, entry->size});
    if (known != outcomes.end()) {
      const BlobOutcome& outcome = known->second;
      if (outcome.code != nullptr)
        report("file", index, *entry, outcome.code, outcome.message);
      else if (options.verbose && !options.json)
        PrintLine(stdout, PrintableName(entry->name, options.codePage) + ": ok");
      progress.Add(outcome.produced);
      decoded += outcome.produced;
      continue;
    }
    BlobOutcome& outcome = outcomes[{entry->offset, entry->size}];
    auto fault = [&](const char* code, const std::string& what) {
      outcome.code = code;
      outcome.message = what;
      report("file", index, *entry, code, what);
    };
    // The blob alone, through a buffer: the decoder must not read into the next blob.
    if (fseek(package.file(), static_cast<long>(tables.dataStart + entry->offset), SEEK_SET) != 0) {
      fault("unreadable", "cannot be read");
      continue;
    }
    std::vector<uint8_t> blob(entry->size);
    if (entry->size > 0 && fread(blob.data(), 1, blob.size(), package.file()) != blob.size()) {
      fault("unreadable", "cannot be read");
      continue;
    }
    ByteSource input;
    ByteSink output;
    InitMemorySource(&input, blob.data(), blob.size());
    InitSink(&output, decoder->outputBuffer, sizeof decoder->outputBuffer, CountBytes, &progress);
    uint32_t declared = 0;
    DecodeStatus status = DecodeBlob(*decoder, &input, &output, &declared);
    Problem problem = DecodeProblem(status);
    if (problem.code != nullptr)
      fault(problem.code, problem.message);
    else if (decoder->produced != declared)
      fault("size-mismatch", "decodes to " + std::to_string(decoder->produced) +
                                 " bytes but declares " + std::to_string(declared));
    else if (entry->size > 0 && entry->size < 4)
      fault("short-blob", "blob shorter than its 4-byte size");
    else if (options.verbose && !options.json)
      PrintLine(stdout, PrintableName(entry->name, options.codePage) + ": ok");
    outcome.produced = decoder->produced;
    decoded += decoder->produced;
  }
  progress.Finish();
  // Any problem of the package itself makes the launcher refuse it.
  if (problems > releaseProblems) release.NotePackageDamage();
  if (options.json) {
    Json document = {{"package", path.string()},    {"ok", problems == 0},
                     {"problems", problemList},     {"directories", tables.directories.count},
                     {"files", tables.files.count}, {"decoded", decoded}};
    AddRelease(&document, release);
    AddDiskNeeds(&document, total, stored);
    if (release.launcherExit() != 0) AddLauncherExit(&document, release.launcherExit());
    PrintJson(document);
    return problems > 0 ? kExitProblems : kExitClean;
  }
  if (problems > 0) {
    std::string line = "setuppack: " + path.string() + ": " + std::to_string(problems) +
                       (problems == 1 ? " problem" : " problems");
    if (release.launcherExit() != 0)
      line += "; " + LauncherExitLine(release, release.launcherExit());
    PrintLine(stderr, line);
    return kExitProblems;
  }
  if (!options.quiet)
    printf("%s: ok, %s, %s, %" PRIu64 " bytes decoded; %s\n", path.string().c_str(),
           Counted(static_cast<uint64_t>(tables.directories.count), "directory", "directories")
               .c_str(),
           Counted(static_cast<uint64_t>(tables.files.count), "file", "files").c_str(), decoded,
           DiskNeeds(total, stored).c_str());
  return kExitClean;
}

}  // namespace packer
