// setuppack create: a directory tree into a package, deterministically, in parallel, and in
// memory that stays bounded whatever the files' sizes.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "package/package_writer.h"
#include "packer/atomic_output.h"
#include "packer/commands.h"
#include "packer/create.h"
#include "packer/failure.h"
#include "packer/name_text.h"
#include "packer/options.h"
#include "packer/source_tree.h"
#include "packer/system.h"
#include "packer/terminal.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// Blobs are addressed by signed 32-bit positions.
const uint64_t kMaxBlobStart = 0x7FFFFFFF;
// Files are read, and blobs handed on, this much at a time.
const size_t kPiece = 1 << 20;
// What the workers that run ahead of the package may hold of their blobs in memory, all of them
// together; past it they write to spill files beside the package.
const uint64_t kHeldBytes = 64 << 20;

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Names are compared as the target system will hold them, in its code page: that is where
// letters beyond ASCII get their case.
void CheckCaseClashes(const SourceTree& tree, int codePage, std::vector<std::string>* problems) {
  std::map<std::string, const SourceEntry*> seen;
  for (const std::vector<SourceEntry>* list : {&tree.directories, &tree.files})
    for (const SourceEntry& entry : *list) {
      auto inserted = seen.emplace(CaseKey(entry.name, codePage), &entry);
      if (!inserted.second)
        problems->push_back(entry.source.string() + ": same name as " +
                            inserted.first->second->source.string() +
                            " on Windows, where letter case does not count");
    }
}

unsigned JobCount(const Options& options) {
  unsigned jobs = options.jobs != 0 ? options.jobs : std::thread::hardware_concurrency();
  return jobs != 0 ? jobs : 1;
}

// The budget of held blob bytes. SETUPPACK_HELD_BYTES is for the tests only: it lets them show
// with files of a few megabytes what the default shows with hundreds.
uint64_t HeldBytes() {
  const char* text = getenv("SETUPPACK_HELD_BYTES");
  if (text == nullptr || *text == '\0') return kHeldBytes;
  return strtoull(text, nullptr, 10);
}

// Reads the file a piece at a time and hands each to `use`. Throws Failure unless the file
// holds exactly `size` bytes: one that changed since the walk would make its record lie.
template <typename Use>
void ReadPieces(const fs::path& path, uint64_t size, Use use) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileFailure(path.string() + ": cannot be opened");
  std::unique_ptr<char[]> buffer(
      new char[static_cast<size_t>(std::min<uint64_t>(size, kPiece)) + 1]);
  for (uint64_t left = size; left > 0;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kPiece));
    in.read(buffer.get(), static_cast<std::streamsize>(want));
    if (static_cast<size_t>(in.gcount()) != want) {
      if (in.bad()) throw FileFailure(path.string() + ": cannot be read");
      throw Failure(path.string() + ": changed while being packed");
    }
    use(reinterpret_cast<const uint8_t*>(buffer.get()), want);
    left -= want;
  }
  if (in.get() != std::ifstream::traits_type::eof())
    throw Failure(path.string() + ": changed while being packed");
}

uint64_t Rotate(uint64_t value, int bits) {
  return value << bits | value >> (64 - bits);
}

// Tells files apart quickly: files whose fingerprints differ differ, and files whose
// fingerprints agree are then compared byte for byte, so it needs to be fast and well mixed,
// not unforgeable. Four lanes, so that a core works on several words at once.
class Fingerprint {
 public:
  void Add(const uint8_t* data, size_t size) {
    total_ += size;
    if (tailed_ > 0) {
      const size_t take = std::min(size, sizeof tail_ - tailed_);
      memcpy(tail_ + tailed_, data, take);
      tailed_ += take;
      data += take;
      size -= take;
      if (tailed_ < sizeof tail_) return;
      Block(tail_);
      tailed_ = 0;
    }
    for (; size >= sizeof tail_; data += sizeof tail_, size -= sizeof tail_) Block(data);
    memcpy(tail_, data, size);
    tailed_ = size;
  }

  uint64_t Value() const {
    uint64_t value = total_;
    for (int i = 0; i < 4; ++i) value = Mix(value ^ Rotate(lanes_[i], 7 * i + 1));
    for (size_t i = 0; i < tailed_; ++i) value = Mix(value ^ tail_[i]);
    return value;
  }

 private:
  static constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
  static constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;

  static uint64_t Word(const uint8_t* bytes) {
    uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = word << 8 | bytes[i];
    return word;
  }
  static uint64_t Mix(uint64_t value) {
    value = (value ^ value >> 33) * kPrime2;
    value = (value ^ value >> 29) * kPrime1;
    return value ^ value >> 32;
  }
  void Block(const uint8_t* block) {
    for (int i = 0; i < 4; ++i)
      lanes_[i] = Rotate(lanes_[i] + Word(block + 8 * i) * kPrime2, 31) * kPrime1;
  }

  uint64_t lanes_[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  uint8_t tail_[32];
  size_t tailed_ = 0;
  uint64_t total_ = 0;
};

bool SameBytes(const SourceEntry& a, const SourceEntry& b) {
  std::ifstream in(b.source, std::ios::binary);
  if (!in) throw FileFailure(b.source.string() + ": cannot be opened");
  std::unique_ptr<char[]> other(new char[kPiece]);
  bool same = true;
  ReadPieces(a.source, a.size, [&](const uint8_t* data, size_t size) {
    if (!same) return;
    in.read(other.get(), static_cast<std::streamsize>(size));
    same = static_cast<size_t>(in.gcount()) == size && memcmp(other.get(), data, size) == 0;
  });
  return same;
}

// Calls `work(i)` for every i below `count` on `jobs` threads; rethrows the first failure.
template <typename Work>
void RunParallel(unsigned jobs, size_t count, Work work) {
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::string failure;
  int failureCode = kExitProblems;
  auto run = [&] {
    for (size_t i; (i = next++) < count;) {
      try {
        work(i);
      } catch (const std::exception& error) {
        std::lock_guard<std::mutex> hold(lock);
        if (failure.empty()) {
          failure = error.what();
          const Failure* known = dynamic_cast<const Failure*>(&error);
          if (known != nullptr) failureCode = known->exitCode();
        }
        next = count;
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < jobs && i < count; ++i) threads.emplace_back(run);
  run();
  for (std::thread& thread : threads) thread.join();
  if (!failure.empty()) throw Failure(failure, failureCode);
}

// For each file, the first file in package order with the same bytes: itself, or the one
// whose blob its record shares. Decided from the bytes alone, never from which thread finished
// first, so the same tree still gives the same package. Only files of one size can be alike,
// so only those are read an extra time.
std::vector<size_t> FindCopies(const std::vector<SourceEntry>& files, unsigned jobs) {
  std::map<uint64_t, size_t> ofSize;
  for (const SourceEntry& file : files) ++ofSize[file.size];
  std::vector<size_t> candidates;
  for (size_t i = 0; i < files.size(); ++i)
    if (ofSize[files[i].size] > 1) candidates.push_back(i);
  std::vector<uint64_t> prints(files.size());
  RunParallel(jobs, candidates.size(), [&](size_t k) {
    Fingerprint print;
    const SourceEntry& file = files[candidates[k]];
    ReadPieces(file.source, file.size,
               [&](const uint8_t* data, size_t size) { print.Add(data, size); });
    prints[candidates[k]] = print.Value();
  });
  std::vector<size_t> first(files.size());
  std::map<std::pair<uint64_t, uint64_t>, std::vector<size_t>> originals;
  for (size_t i = 0; i < files.size(); ++i) {
    first[i] = i;
    if (ofSize[files[i].size] < 2) continue;
    std::vector<size_t>& alike = originals[{files[i].size, prints[i]}];
    for (size_t original : alike)
      if (SameBytes(files[original], files[i])) {
        first[i] = original;
        break;
      }
    if (first[i] == i) alike.push_back(i);
  }
  return first;
}

// Compresses files on worker threads while the package is written in file order. A worker
// hands its blob on a piece at a time: the blob being written goes straight into the package;
// those of files further on wait in memory, up to a budget all workers share, and past it in a
// spill file each. So memory stays bounded whatever the sizes of the files and the timing of
// the threads, and a worker never waits for the one ahead of it.
class ParallelCompressor {
 public:
  ParallelCompressor(const std::vector<const SourceEntry*>& files, const Options& options,
                     const fs::path& output, Progress* progress)
      : files_(files),
        options_(options),
        output_(output),
        progress_(progress),
        heldBudget_(HeldBytes()),
        jobs_(files.size()) {
    const unsigned workers = JobCount(options);
    ahead_ = 2 * workers + 2;
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
  }

  ~ParallelCompressor() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // Writes the blob of file `index` to `out` as its pieces come; returns its size. Call with 0,
  // 1, 2, ... in turn.
  uint64_t WriteNext(size_t index, AtomicOutput* out) {
    Job& job = jobs_[index];
    {
      std::lock_guard<std::mutex> hold(lock_);
      writing_ = index;
    }
    changed_.notify_all();
    uint64_t written = 0;
    for (;;) {
      Piece piece;
      {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return !job.pieces.empty() || job.done; });
        if (job.pieces.empty()) {
          if (!job.error.empty()) throw Failure(job.error, job.errorCode);
          return written;
        }
        piece = std::move(job.pieces.front());
        job.pieces.pop_front();
      }
      if (piece.spill == nullptr) {
        out->Write(piece.bytes.data(), piece.bytes.size());
        written += piece.bytes.size();
        std::lock_guard<std::mutex> hold(lock_);
        held_ -= piece.bytes.size();
      } else {
        FILE* spill = piece.spill.get();
        if (fseek(spill, 0, SEEK_SET) != 0)
          throw FileFailure(piece.spillPath.string() + ": cannot be read");
        std::vector<uint8_t> buffer(kPiece);
        for (size_t got; (got = fread(buffer.data(), 1, buffer.size(), spill)) > 0;) {
          out->Write(buffer.data(), got);
          written += got;
        }
        if (ferror(spill)) throw FileFailure(piece.spillPath.string() + ": cannot be read");
      }
    }
  }

 private:
  // A stretch of a blob: bytes in memory, or a whole spill file, read back through the handle
  // it was written with and gone when that closes.
  struct Piece {
    std::vector<uint8_t> bytes;
    std::shared_ptr<FILE> spill;
    fs::path spillPath;  // for messages only: nothing opens it by name
  };
  struct Job {
    std::deque<Piece> pieces;  // in blob order, not yet written
    bool done = false;
    std::string error;
    int errorCode = kExitProblems;
  };
  // The spill file a worker is writing, which only that worker touches.
  struct Spill {
    FILE* file = nullptr;
    fs::path path;
    ~Spill() {
      if (file != nullptr) fclose(file);
    }
  };

  void Work() {
    std::unique_ptr<Encoder> encoder(new Encoder());
    for (;;) {
      size_t index;
      {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold,
                      [&] { return stop_ || next_ >= files_.size() || next_ < writing_ + ahead_; });
        if (stop_ || next_ >= files_.size()) return;
        index = next_++;
      }
      std::string error;
      int errorCode = kExitProblems;
      try {
        Compress(index, *encoder);
      } catch (const Failure& failure) {
        error = failure.what();
        errorCode = failure.exitCode();
      } catch (const std::exception& failure) {
        error = failure.what();
      }
      {
        std::lock_guard<std::mutex> hold(lock_);
        jobs_[index].done = true;
        jobs_[index].error = error;
        jobs_[index].errorCode = errorCode;
      }
      changed_.notify_all();
    }
  }

  void Compress(size_t index, Encoder& encoder) {
    const SourceEntry& file = *files_[index];
    Spill spill;
    std::vector<uint8_t> out;
    BlobEncoder blob(encoder, file.size, options_.parse, &out);
    ReadPieces(file.source, file.size, [&](const uint8_t* data, size_t size) {
      if (stop_) throw Failure("stopped");
      blob.Add(data, size);
      progress_->Add(size);
      HandOn(index, &out, &spill);
    });
    blob.Finish();
    HandOn(index, &out, &spill);
    if (spill.file != nullptr) CloseSpill(index, &spill);
  }

  // Passes on what the encoder wrote to `out` and empties it.
  void HandOn(size_t index, std::vector<uint8_t>* out, Spill* spill) {
    if (out->empty()) return;
    bool keep;
    {
      std::lock_guard<std::mutex> hold(lock_);
      // The blob being written is taken from memory at once; one that became so while it
      // spilled ends its spill file first, and goes on in memory.
      keep = index == writing_ || (spill->file == nullptr && held_ + out->size() <= heldBudget_);
      if (keep && spill->file == nullptr) {
        Keep(index, out);
        return;
      }
    }
    if (keep) {
      CloseSpill(index, spill);
      std::lock_guard<std::mutex> hold(lock_);
      Keep(index, out);
      return;
    }
    if (spill->file == nullptr) spill->file = NewSpillFile(&spill->path);
    if (fwrite(out->data(), 1, out->size(), spill->file) != out->size())
      throw Failure(spill->path.string() + ": write failed (disk full?)");
    out->clear();
  }

  // Called with lock_ held.
  void Keep(size_t index, std::vector<uint8_t>* out) {
    held_ += out->size();
    jobs_[index].pieces.push_back({std::move(*out), nullptr, fs::path()});
    out->clear();
    changed_.notify_all();
  }

  void CloseSpill(size_t index, Spill* spill) {
    std::shared_ptr<FILE> file(spill->file, fclose);
    spill->file = nullptr;
    if (fflush(file.get()) != 0)
      throw Failure(spill->path.string() + ": write failed (disk full?)");
    {
      std::lock_guard<std::mutex> hold(lock_);
      jobs_[index].pieces.push_back({std::vector<uint8_t>(), std::move(file), spill->path});
    }
    changed_.notify_all();
  }

  // Beside the package, on the volume that must hold the blobs anyway. Only its handle reads it
  // back: natively its name goes at once, on Windows the file goes with the handle, so that not
  // even a hard stop leaves one behind.
  FILE* NewSpillFile(fs::path* path) {
    fs::path beside = output_.parent_path();
    if (beside.empty()) beside = ".";
    for (int n = 0; n < 1000; ++n) {
      fs::path name = ".";
      name += output_.filename();
      name += ".spill" + std::to_string(spillCount_++);
      *path = beside / name;
      if (FILE* file = CreateNewFile(*path, NewFile::unnamed)) return file;
    }
    throw Failure(output_.string() + ": cannot create a spill file beside it");
  }

  const std::vector<const SourceEntry*>& files_;
  const Options& options_;
  const fs::path output_;
  Progress* progress_;
  const uint64_t heldBudget_;
  size_t ahead_;
  std::vector<std::thread> workers_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Job> jobs_;
  uint64_t held_ = 0;  // bytes of pieces in memory
  size_t next_ = 0;
  size_t writing_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> spillCount_{0};
};

std::vector<PackageRecord> Records(const std::vector<SourceEntry>& entries) {
  std::vector<PackageRecord> records;
  for (const SourceEntry& entry : entries) records.push_back({entry.name, 0, 0});
  return records;
}

}  // namespace

void CompressFile(const fs::path& path, uint64_t size, ParseMode mode, Encoder& encoder,
                  const std::function<void(std::vector<uint8_t>*)>& take) {
  std::vector<uint8_t> out;
  BlobEncoder blob(encoder, size, mode, &out);
  ReadPieces(path, size, [&](const uint8_t* data, size_t pieceSize) {
    blob.Add(data, pieceSize);
    take(&out);
    out.clear();
  });
  blob.Finish();
  take(&out);
}

int CreateCommand(const fs::path& sourceDir, const Options& options) {
  if (!fs::is_directory(sourceDir)) throw FileFailure(sourceDir.string() + ": not a directory");
  UseCodePage(options.codePage);
  fs::path output = options.output.empty() ? fs::path("Pack.qvd") : options.output;
  // The folders the output needs are made, as bundle makes them; never inside the tree, whose
  // walk would pack them.
  if (!IsStandardStream(output) && !Inside(output, sourceDir)) CreateParentFolders(output);
  // Made before the walk, so that the walk meets the temporary file too if it lies in the tree.
  AtomicOutput out(output);
  if (options.written != nullptr) {
    options.written->clear();
    out.Mirror(options.written);
  }
  SourceTree tree;
  std::vector<std::string> problems;
  // Standard output redirected into the tree (`-o - > SRC/out.qvd`, or `>>` onto an older
  // package) is the package being written as much as a named output is.
  const fs::path written = IsStandardStream(output) ? StandardOutputFile() : output;
  CollectSource(sourceDir, options, {written, out.temporary()}, &tree, &problems);
  CheckCaseClashes(tree, options.codePage, &problems);
  if (!problems.empty()) {
    for (const std::string& problem : problems) fprintf(stderr, "setuppack: %s\n", problem.c_str());
    throw Failure(sourceDir.string() + ": " + Counted(problems.size(), "entry", "entries") +
                  " cannot be packed; nothing was written");
  }
  std::vector<SourceEntry>& directories = tree.directories;
  std::vector<SourceEntry>& files = tree.files;
  // Byte order of the names: the same tree gives the same package everywhere, and every
  // directory comes before what it holds.
  auto byName = [](const SourceEntry& a, const SourceEntry& b) { return a.name < b.name; };
  std::sort(directories.begin(), directories.end(), byName);
  std::sort(files.begin(), files.end(), byName);
  bool hasInstaller = false;
  for (const SourceEntry& file : files)
    hasInstaller = hasInstaller || Lower(file.name) == "\\installer.exe";
  if (!hasInstaller)
    Warn(options,
         sourceDir.string() +
             ": no Installer.exe at the top level; the launcher will have nothing to start");
  FailOnWarnings(options);
  // The package may be going to standard output: reports go to standard error then.
  const bool toStandardOutput = IsStandardStream(output);
  FILE* report = toStandardOutput ? stderr : stdout;

  // Each file's record points at a blob of its own, or at the first copy's.
  const std::vector<size_t> firstCopy = FindCopies(files, JobCount(options));
  std::vector<const SourceEntry*> originals;
  std::vector<size_t> blobOf(files.size());
  uint64_t total = 0, compressed = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    total += files[i].size;
    if (firstCopy[i] != i) {
      blobOf[i] = blobOf[firstCopy[i]];
      continue;
    }
    blobOf[i] = originals.size();
    originals.push_back(&files[i]);
    compressed += files[i].size;
  }

  std::vector<PackageRecord> directoryRecords = Records(directories);
  std::vector<PackageRecord> fileRecords = Records(files);
  const uint64_t dataStart = PackageTablesSize(directoryRecords, fileRecords);
  // Room for the tables, filled in once the blobs' sizes are known.
  out.Write(std::vector<uint8_t>(static_cast<size_t>(dataStart)).data(),
            static_cast<size_t>(dataStart));
  Progress progress(options, "packing", compressed);
  std::vector<std::pair<uint32_t, uint32_t>> blobs;  // offset and size
  uint64_t offset = 0;
  {
    // Spill files go beside the file the package is built in.
    ParallelCompressor compressor(originals, options, toStandardOutput ? out.temporary() : output,
                                  &progress);
    for (size_t i = 0; i < originals.size(); ++i) {
      if (dataStart + offset > kMaxBlobStart)
        throw Failure(
            originals[i]->source.string() +
            ": would start beyond 2 GiB into the package, which the launcher cannot address");
      const uint64_t size = compressor.WriteNext(i, &out);
      if (size > 0xFFFFFFFFu)
        throw Failure(originals[i]->source.string() +
                      ": compresses to 4 GiB or more, which the format cannot hold");
      blobs.push_back({static_cast<uint32_t>(offset), static_cast<uint32_t>(size)});
      offset += size;
      if (options.verbose)
        PrintLine(report, originals[i]->source.string() + ": " +
                              std::to_string(originals[i]->size) + " bytes in, " +
                              std::to_string(size) + " out");
    }
  }
  for (size_t i = 0; i < files.size(); ++i) {
    fileRecords[i].offset = blobs[blobOf[i]].first;
    fileRecords[i].size = blobs[blobOf[i]].second;
  }
  progress.Finish();
  std::vector<uint8_t> tables = PackageTablesBytes(directoryRecords, fileRecords);
  out.WriteAt(0, tables.data(), tables.size());
  out.Commit();
  if (!options.quiet) {
    std::string copies;
    if (originals.size() < files.size())
      copies = " (" + std::to_string(files.size() - originals.size()) +
               " the same as an earlier one, stored once)";
    fprintf(report, "%s: %s, %s%s, %s in, %s out (%.3f)\n",
            toStandardOutput ? "standard output" : output.string().c_str(),
            Counted(directories.size(), "directory", "directories").c_str(),
            Counted(files.size(), "file", "files").c_str(), copies.c_str(),
            FormatBytes(total).c_str(), FormatBytes(dataStart + offset).c_str(),
            total > 0 ? static_cast<double>(offset) / static_cast<double>(total) : 0.0);
  }
  return kExitClean;
}

}  // namespace packer
