// setuppack create: a directory tree into a package, deterministically and in parallel.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "package/package_writer.h"
#include "packer/commands.h"
#include "packer/source_tree.h"
#include "packer/system.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// Blobs are addressed by signed 32-bit positions.
const uint64_t kMaxBlobStart = 0x7FFFFFFF;

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

// Compresses files on worker threads and hands the blobs over in package order, holding at
// most a few ahead so memory stays bounded by a handful of files.
class ParallelCompressor {
 public:
  ParallelCompressor(const std::vector<SourceEntry>& files, const Options& options,
                     Progress* progress)
      : files_(files), options_(options), progress_(progress) {
    unsigned jobs = options.jobs != 0 ? options.jobs : std::thread::hardware_concurrency();
    if (jobs == 0) jobs = 1;
    ahead_ = 2 * jobs + 2;
    for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { Work(); });
  }

  ~ParallelCompressor() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // The blob of file `index`, waiting for it if need be. Call with 0, 1, 2, ... in turn.
  std::vector<uint8_t> Take(size_t index) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return done_.count(index) != 0; });
    Result result = std::move(done_[index]);
    done_.erase(index);
    taken_ = index + 1;
    changed_.notify_all();
    if (!result.error.empty()) throw Failure(result.error);
    return std::move(result.blob);
  }

 private:
  struct Result {
    std::vector<uint8_t> blob;
    std::string error;
  };

  void Work() {
    std::unique_ptr<Encoder> encoder(new Encoder());
    for (;;) {
      size_t index;
      {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold,
                      [&] { return stop_ || next_ >= files_.size() || next_ < taken_ + ahead_; });
        if (stop_ || next_ >= files_.size()) return;
        index = next_++;
      }
      Result result;
      try {
        std::vector<uint8_t> data = ReadWholeFile(files_[index].source);
        if (data.size() != files_[index].size)
          throw Failure(files_[index].source.string() + ": changed while being packed");
        EncodeBlob(*encoder, data.data(), data.size(), options_.parse, &result.blob);
        progress_->Add(data.size());
      } catch (const std::exception& failure) {
        result.error = failure.what();
      }
      std::lock_guard<std::mutex> hold(lock_);
      done_[index] = std::move(result);
      changed_.notify_all();
    }
  }

  const std::vector<SourceEntry>& files_;
  const Options& options_;
  Progress* progress_;
  size_t ahead_;
  std::vector<std::thread> workers_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::map<size_t, Result> done_;
  size_t next_ = 0;
  size_t taken_ = 0;
  bool stop_ = false;
};

std::vector<PackageRecord> Records(const std::vector<SourceEntry>& entries) {
  std::vector<PackageRecord> records;
  for (const SourceEntry& entry : entries) records.push_back({entry.name, 0, 0});
  return records;
}

}  // namespace

int CreateCommand(const fs::path& sourceDir, const Options& options) {
  if (!fs::is_directory(sourceDir)) throw Failure(sourceDir.string() + ": not a directory");
  UseCodePage(options.codePage);
  fs::path output = options.output.empty() ? fs::path("Pack.qvd") : options.output;
  // Made before the walk, so that the walk meets the temporary file too if it lies in the tree.
  AtomicOutput out(output);
  SourceTree tree;
  std::vector<std::string> problems;
  CollectSource(sourceDir, options, {output, out.temporary()}, &tree, &problems);
  CheckCaseClashes(tree, options.codePage, &problems);
  if (!problems.empty()) {
    for (const std::string& problem : problems) fprintf(stderr, "setuppack: %s\n", problem.c_str());
    throw Failure(sourceDir.string() + ": " + std::to_string(problems.size()) +
                  " entries cannot be packed; nothing was written");
  }
  // Byte order of the names: the same tree gives the same package everywhere, and every
  // directory comes before what it holds.
  std::vector<SourceEntry>& directories = tree.directories;
  std::vector<SourceEntry>& files = tree.files;
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

  std::vector<PackageRecord> directoryRecords = Records(directories);
  std::vector<PackageRecord> fileRecords = Records(files);
  const uint64_t dataStart = PackageTablesSize(directoryRecords, fileRecords);
  uint64_t total = 0;
  for (const SourceEntry& file : files) total += file.size;

  // Room for the tables, filled in once the blobs' sizes are known.
  out.Write(std::vector<uint8_t>(static_cast<size_t>(dataStart)).data(),
            static_cast<size_t>(dataStart));
  Progress progress(options, "packing", total);
  uint64_t offset = 0;
  {
    ParallelCompressor compressor(files, options, &progress);
    for (size_t i = 0; i < files.size(); ++i) {
      std::vector<uint8_t> blob = compressor.Take(i);
      if (blob.size() > 0xFFFFFFFFu)
        throw Failure(files[i].source.string() +
                      ": compresses to 4 GiB or more, which the format cannot hold");
      if (dataStart + offset > kMaxBlobStart)
        throw Failure(
            files[i].source.string() +
            ": would start beyond 2 GiB into the package, which the launcher cannot address");
      fileRecords[i].offset = static_cast<uint32_t>(offset);
      fileRecords[i].size = static_cast<uint32_t>(blob.size());
      out.Write(blob.data(), blob.size());
      offset += blob.size();
      progress.Show();
    }
  }
  std::vector<uint8_t> tables = PackageTablesBytes(directoryRecords, fileRecords);
  out.WriteAt(0, tables.data(), tables.size());
  out.Commit();
  if (!options.quiet)
    printf("%s: %zu directories, %zu files, %s in, %s out (%.3f)\n", output.string().c_str(),
           directories.size(), files.size(), FormatBytes(total).c_str(),
           FormatBytes(dataStart + offset).c_str(),
           total > 0 ? static_cast<double>(offset) / static_cast<double>(total) : 0.0);
  return 0;
}

}  // namespace packer
