// setuppack extract, compress and decompress.
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "common/platform.h"
#include "decode/decoder.h"
#include "package/extract.h"
#include "package/package_file.h"
#include "packer/atomic_output.h"
#include "packer/commands.h"
#include "packer/create.h"
#include "packer/failure.h"
#include "packer/input_files.h"
#include "packer/name_text.h"
#include "packer/options.h"
#include "packer/release/release_reader.h"
#include "packer/stop_cleanup.h"
#include "packer/system.h"
#include "packer/terminal.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

struct ProblemLabel {
  std::string package;      // as the user named it
  std::string portable;     // as the core names it
  std::string destination;  // as the user named it
  std::string portableDestination;
  int codePage;
  const Options* options;
};

// Lines from the core name the package, an entry, or a path below the destination or the
// staging directory. Whatever came from the package is escaped; the user's own paths are not.
std::string Place(const ProblemLabel& label, const char* where) {
  std::string place = where;
  const std::string& below = label.portableDestination;
  if (place.compare(0, below.size(), below) == 0 && place.size() > below.size() &&
      place[below.size()] == '\\')
    return label.destination + PrintableName(place.substr(below.size()), label.codePage);
  return PrintableName(place, label.codePage);
}

void PrintProblem(void* context, const char* where, const char* what) {
  const ProblemLabel* label = static_cast<const ProblemLabel*>(context);
  if (Stopping()) return;
  try {
    if (label->portable == where)
      PrintLine(stderr, "setuppack: " + label->package + ": " + what);
    else
      PrintLine(stderr, "setuppack: " + label->package + ": " + Place(*label, where) + ": " + what);
  } catch (...) {
    // Called from code built without exceptions: out of memory, the line is lost.
  }
}

void PrintSlip(void* context, const char* where, const char* what) {
  const ProblemLabel* label = static_cast<const ProblemLabel*>(context);
  try {
    // Printed whatever --quiet says, as it always was: what extract passed over matters more
    // than a quiet run. Counted, for --werror.
    Options loud = *label->options;
    loud.quiet = false;
    Warn(loud, label->package + ": " + Place(*label, where) + ": " + what);
  } catch (...) {
  }
}

// The staging directory of the extraction in progress; the core hands it over from code built
// without exceptions, so nothing may be thrown back. The progress line's thread reads the path.
std::optional<RemovedOnInterrupt> g_staging;
std::mutex g_stagingLock;
fs::path g_stagingPath;

void WatchStaging(const char* stagingDir) {
  try {
    fs::path path = FromPortablePath(stagingDir);
    g_staging.emplace(path, false);
    std::lock_guard<std::mutex> hold(g_stagingLock);
    g_stagingPath = path;
  } catch (...) {
  }
}

// What an extraction writes: every blob once into the staging directory and its declared decoded
// size into the destination. 0 when the tables cannot be read; the core then says why.
uint64_t BytesToUnpack(const fs::path& package) {
  FILE* file = OpenForReading(package);
  if (file == nullptr) return 0;
  std::unique_ptr<FILE, int (*)(FILE*)> close(file, fclose);
  PackageTables tables;
  if (ReadPackageTables(file, &tables) != PACKAGE_OK) return 0;
  uint64_t total = 0;
  for (PackageEntry* entry = tables.files.first; entry != nullptr; entry = entry->next) {
    if (BlobProblem(tables, *entry) != nullptr) continue;
    total += entry->size;
    unsigned char size[4];
    if (entry->size >= 4 &&
        fseek(file, static_cast<long>(tables.dataStart + entry->offset), SEEK_SET) == 0 &&
        fread(size, 1, 4, file) == 4)
      total += static_cast<uint32_t>(size[0]) | static_cast<uint32_t>(size[1]) << 8 |
               static_cast<uint32_t>(size[2]) << 16 | static_cast<uint32_t>(size[3]) << 24;
  }
  return total;
}

// Bytes in the regular files below `dir`, as far as a walk gets while the tree changes under it.
uint64_t BytesBelow(const fs::path& dir) {
  uint64_t bytes = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (!fs::is_regular_file(it->symlink_status(ignored))) continue;
    uint64_t size = it->file_size(ignored);
    if (!ignored) bytes += size;
  }
  return bytes;
}

// How far an extraction has got, read from the disk: the blobs staged so far and the files
// decoded into the destination. The shared core tells nothing as it goes (the launcher has no
// room to spare for it), so this is asked from the progress line's thread while the core works.
// A walk of a large tree is not cheap: the walks take at most about a fifth of that thread's time.
class UnpackedBytes {
 public:
  explicit UnpackedBytes(const fs::path& destination) : destination_(destination) {}

  uint64_t operator()() {
    auto now = std::chrono::steady_clock::now();
    if (now < next_) return last_;
    fs::path staging;
    {
      std::lock_guard<std::mutex> hold(g_stagingLock);
      staging = g_stagingPath;
    }
    last_ = BytesBelow(destination_) + (staging.empty() ? 0 : BytesBelow(staging));
    next_ = std::chrono::steady_clock::now() + 4 * (std::chrono::steady_clock::now() - now);
    return last_;
  }

 private:
  fs::path destination_;
  std::chrono::steady_clock::time_point next_;
  uint64_t last_ = 0;
};

// The outermost directory that creating `path` makes: `path` itself or a missing ancestor; empty
// when `path` exists.
fs::path OutermostMissing(const fs::path& path) {
  std::error_code error;
  fs::path missing;
  for (fs::path at = path; !at.empty() && !fs::exists(fs::symlink_status(at, error));
       at = at.parent_path()) {
    missing = at;
    if (at == at.parent_path()) break;
  }
  return missing;
}

struct CountingFile {
  FILE* file;
  Progress* progress;
};

int WriteCounting(void* context, const uint8_t* data, size_t size) {
  CountingFile* out = static_cast<CountingFile*>(context);
  out->progress->Add(size);
  return fwrite(data, 1, size, out->file) == size;
}

}  // namespace

int ExtractCommand(const fs::path& package, const fs::path& destination, const Options& options) {
  std::error_code error;
  ReleaseInput input(package);
  WarnAboutRelease(input, package.string(), options);
  if (!fs::is_regular_file(input.path(), error))
    throw FileFailure(package.string() + ": not a file");
  if (!options.splash.empty() && input.bitmap().empty())
    Warn(options, package.string() + ": no splash bitmap in the release; " +
                      options.splash.string() + " is not written");
  UseCodePage(options.codePage);
  ProblemLabel label = {input.name(),         PortablePath(fs::absolute(input.path())),
                        destination.string(), "",
                        options.codePage,     &options};
  // Only into a directory of our own making, or an empty one: what was there before is never
  // overwritten, and a failed or interrupted run can take away everything it wrote.
  fs::path made = OutermostMissing(fs::absolute(destination).lexically_normal());
  std::optional<RemovedOnInterrupt> written;
  if (!made.empty()) written.emplace(made, false);
  bool created = fs::create_directories(destination, error);
  if (error) {
    if (!made.empty()) RemoveNow(made.c_str(), false);
    throw FileFailure(destination.string() + ": cannot be created: " + error.message());
  }
  if (!created) {
    written.reset();
    made.clear();
    if (!fs::is_empty(destination, error))
      throw Failure(destination.string() + ": not empty; extract into a new or empty directory");
    written.emplace(destination, true);
  }
  // As the launcher does: nothing half-unpacked is left to be mistaken for the real thing.
  auto takeAway = [&] {
    if (!made.empty())
      RemoveNow(made.c_str(), false);
    else
      RemoveNow(fs::absolute(destination).c_str(), true);
  };
  // Only now that it exists: a destination the ANSI code page cannot spell is reached through
  // its short form.
  if (!ToCorePath(fs::absolute(destination), &label.portableDestination)) {
    takeAway();
    throw FileFailure(destination.string() + ": path too long for the launcher's " +
                      std::to_string(MAX_PATH) + "-byte limit");
  }
  ProblemReporter reporter = {PrintProblem, &label, PrintSlip};
  ExtractStatus status;
  {
    UnpackedBytes unpacked(fs::absolute(destination));
    Progress progress(options, "unpacking",
                      Progress::Wanted(options) ? BytesToUnpack(input.path()) : 0,
                      [&unpacked] { return unpacked(); });
    // Opened by the tool, as the core could not open a copy it made of standard input or of a
    // single file's package: on Windows those go with the process, so only an open that lets
    // them be deleted reaches them.
    std::unique_ptr<FILE, int (*)(FILE*)> file(OpenForReading(input.path()), fclose);
    CoreAtWork atWork;
    status = ExtractPackageFile(file.get(), label.portable.c_str(),
                                label.portableDestination.c_str(), &reporter, WatchStaging);
  }
  g_staging.reset();
  {
    std::lock_guard<std::mutex> hold(g_stagingLock);
    g_stagingPath.clear();
  }
  if (status != EXTRACT_OK) {
    takeAway();
    std::string message =
        package.string() + ": not unpacked; nothing was left in " + destination.string();
    if (status == EXTRACT_DAMAGED) throw Failure(message);
    throw FileFailure(message);
  }
  try {
    FailOnWarnings(options);
    // The bitmap as the launcher would show it, for a look at what users will see.
    if (!options.splash.empty() && !input.bitmap().empty()) {
      AtomicOutput splash(options.splash);
      splash.Write(input.bitmap().data(), input.bitmap().size());
      splash.Commit();
    }
  } catch (const Failure&) {
    takeAway();
    throw;
  }
  written.reset();
  if (!options.quiet)
    printf("%s: unpacked into %s\n", label.package.c_str(), destination.string().c_str());
  return kExitClean;
}

int CompressCommand(const fs::path& in, const fs::path& out, const Options& options) {
  std::unique_ptr<Encoder> encoder(new Encoder());
  uint64_t size = 0, written = 0;
  auto write = [&](AtomicOutput& output, const std::vector<uint8_t>& bytes) {
    output.Write(bytes.data(), bytes.size());
    written += bytes.size();
  };
  if (IsStandardStream(in)) {
    // A pipe has no size to put in the blob's header before the data: read it whole first.
    std::vector<uint8_t> data = ReadWholeFile(in);
    size = data.size();
    if (size > 0xFFFFFFFFu)
      throw Failure("standard input: 4 GiB or more (the format holds sizes below 4 GiB)");
    std::vector<uint8_t> blob;
    EncodeBlob(*encoder, data.data(), data.size(), options.parse, &blob);
    AtomicOutput output(out);
    write(output, blob);
    output.Commit();
  } else {
    std::error_code error;
    size = fs::file_size(in, error);
    if (error) throw FileFailure(in.string() + ": cannot be read: " + error.message());
    if (size > 0xFFFFFFFFu)
      throw Failure(in.string() + ": 4 GiB or more (the format holds sizes below 4 GiB)");
    AtomicOutput output(out);
    CompressFile(in, size, options.parse, *encoder,
                 [&](std::vector<uint8_t>* piece) { write(output, *piece); });
    output.Commit();
  }
  if (options.verbose)
    PrintLine(stderr, (IsStandardStream(in) ? std::string("standard input") : in.string()) + ": " +
                          std::to_string(size) + " bytes in, " + std::to_string(written) + " out");
  return kExitClean;
}

int DecompressCommand(const fs::path& in, const fs::path& out, const Options& options) {
  // Standard input is read whole first: the decoder's file source reads ahead, and a pipe
  // cannot go back to the size field.
  std::vector<uint8_t> piped;
  FILE* source = nullptr;
  if (IsStandardStream(in)) {
    piped = ReadWholeFile(in);
  } else if ((source = OpenForReading(in)) == nullptr) {
    throw FileFailure(in.string() + ": cannot be opened");
  }
  std::unique_ptr<FILE, int (*)(FILE*)> closeSource(
      source, [](FILE* file) { return file != nullptr ? fclose(file) : 0; });
  std::string shownIn = source != nullptr ? in.string() : "standard input";
  unsigned char header[4];
  if (source != nullptr ? fread(header, 1, 4, source) != 4 || fseek(source, 0, SEEK_SET) != 0
                        : piped.size() < 4)
    throw Failure(shownIn + ": too short to be a compressed file");
  if (source == nullptr) std::copy(piped.begin(), piped.begin() + 4, header);
  uint32_t size = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                  static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
  AtomicOutput output(out);
  Progress progress(options, "decoding", size);
  std::unique_ptr<Decoder> decoder(new Decoder());
  ByteSource input;
  ByteSink sink;
  CountingFile counting = {output.file(), &progress};
  if (source != nullptr)
    InitFileSource(&input, source, decoder->inputBuffer, sizeof decoder->inputBuffer);
  else
    InitMemorySource(&input, piped.data(), piped.size());
  InitSink(&sink, decoder->outputBuffer, sizeof decoder->outputBuffer, WriteCounting, &counting);
  uint32_t declared = 0;
  DecodeStatus status = DecodeBlob(*decoder, &input, &sink, &declared);
  if (status == DECODE_TRUNCATED)
    throw Failure(shownIn + ": compressed stream ends before its declared size");
  if (status == DECODE_CORRUPT) throw Failure(shownIn + ": corrupt (a code names no phrase)");
  if (status == DECODE_WRITE_FAILED)
    throw FileFailure((IsStandardStream(out) ? "standard output" : out.string()) +
                      ": write failed (disk full?)");
  if (source != nullptr && ferror(source)) throw FileFailure(shownIn + ": read failed");
  if (decoder->produced != declared)
    throw Failure(shownIn + ": decodes to " + std::to_string(decoder->produced) +
                  " bytes but declares " + std::to_string(declared));
  progress.Finish();
  output.Commit();
  if (options.verbose)
    PrintLine(stderr, shownIn + ": " + std::to_string(decoder->produced) + " bytes out");
  return kExitClean;
}

}  // namespace packer
