// setuppack create: a directory tree into a package, deterministically and in parallel.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "common/code_page.h"
#include "common/platform.h"
#include "package/entry_name.h"
#include "package/package_writer.h"
#include "packer/commands.h"
#include "packer/system.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// The longest temporary directory the launcher is likely to meet, with its own directory
// name: "C:\Users\Publisher\AppData\Local\Temp\latmp10.tmp". Names that pass MAX_PATH under
// it are worth a warning, though a shorter profile path may still hold them.
const size_t kTypicalTempPath = 49;
// Blobs are addressed by signed 32-bit positions.
const uint64_t kMaxBlobStart = 0x7FFFFFFF;

struct Entry {
  std::string name;  // "\a\b" in the target code page
  fs::path source;
  uint64_t size = 0;
};

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Walks the tree, refusing what the launcher could not recreate faithfully on Windows.
void Collect(const fs::path& root, const Options& options, std::vector<Entry>* directories,
             std::vector<Entry>* files, std::vector<std::string>* problems) {
  std::error_code error;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, error), end;
  if (error) throw Failure(root.string() + ": cannot be read: " + error.message());
  for (; it != end; it.increment(error)) {
    if (error) throw Failure(root.string() + ": cannot be read: " + error.message());
    const fs::path& path = it->path();
    fs::path relative = path.lexically_relative(root);
    fs::file_status status = it->symlink_status(error);
    if (error) throw Failure(path.string() + ": cannot be read: " + error.message());
    if (fs::is_symlink(status)) {
      problems->push_back(path.string() +
                          ": symbolic link (packages hold files and directories only)");
      it.disable_recursion_pending();
      continue;
    }
    if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
      problems->push_back(path.string() +
                          ": special file (packages hold files and directories only)");
      continue;
    }
    Entry entry;
    entry.source = path;
    bool ok = true;
    for (const fs::path& component : relative) {
      std::string name, why;
      if (!ToTargetName(component, options.codePage, &name, &why)) {
        problems->push_back(path.string() + ": " + why);
        ok = false;
        break;
      }
      if (FindSeparator(name.c_str()) != nullptr) {
        problems->push_back(path.string() + ": backslash in a name is not valid on Windows");
        ok = false;
        break;
      }
      entry.name += "\\" + name;
    }
    if (!ok) continue;
    const char* why =
        EntryNameProblem(entry.name.c_str(), static_cast<uint32_t>(entry.name.size()));
    if (why == nullptr) why = UnpackedLengthProblem(entry.name.c_str(), fs::is_directory(status));
    if (why != nullptr) {
      problems->push_back(path.string() + ": " + why);
      continue;
    }
    if (kTypicalTempPath + entry.name.size() >= MAX_PATH)
      Warn(options, path.string() + ": name of " + std::to_string(entry.name.size()) +
                        " bytes may pass MAX_PATH under a user's temporary directory");
    if (fs::is_directory(status)) {
      directories->push_back(entry);
    } else {
      entry.size = fs::file_size(path, error);
      if (error) throw Failure(path.string() + ": cannot be read: " + error.message());
      if (entry.size > 0xFFFFFFFFu)
        problems->push_back(path.string() + ": 4 GiB or more (the format holds sizes below 4 GiB)");
      else
        files->push_back(entry);
    }
  }
}

// Names are compared as the target system will hold them, in its code page: that is where
// letters beyond ASCII get their case.
void CheckCaseClashes(const std::vector<Entry>& directories, const std::vector<Entry>& files,
                      int codePage, std::vector<std::string>* problems) {
  std::map<std::string, const Entry*> seen;
  for (const std::vector<Entry>* list : {&directories, &files})
    for (const Entry& entry : *list) {
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
  ParallelCompressor(const std::vector<Entry>& files, const Options& options, Progress* progress)
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

  const std::vector<Entry>& files_;
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

std::vector<PackageRecord> Records(const std::vector<Entry>& entries) {
  std::vector<PackageRecord> records;
  for (const Entry& entry : entries) records.push_back({entry.name, 0, 0});
  return records;
}

}  // namespace

int CreateCommand(const fs::path& sourceDir, const Options& options) {
  if (!fs::is_directory(sourceDir)) throw Failure(sourceDir.string() + ": not a directory");
  UseCodePage(options.codePage);
  fs::path output = options.output.empty() ? fs::path("Pack.qvd") : options.output;
  std::vector<Entry> directories, files;
  std::vector<std::string> problems;
  Collect(sourceDir, options, &directories, &files, &problems);
  CheckCaseClashes(directories, files, options.codePage, &problems);
  if (!problems.empty()) {
    for (const std::string& problem : problems) fprintf(stderr, "setuppack: %s\n", problem.c_str());
    throw Failure(sourceDir.string() + ": " + std::to_string(problems.size()) +
                  " entries cannot be packed; nothing was written");
  }
  // Byte order of the names: the same tree gives the same package everywhere, and every
  // directory comes before what it holds.
  auto byName = [](const Entry& a, const Entry& b) { return a.name < b.name; };
  std::sort(directories.begin(), directories.end(), byName);
  std::sort(files.begin(), files.end(), byName);
  bool hasInstaller = false;
  for (const Entry& file : files)
    hasInstaller = hasInstaller || Lower(file.name) == "\\installer.exe";
  if (!hasInstaller)
    Warn(options,
         sourceDir.string() +
             ": no Installer.exe at the top level; the launcher will have nothing to start");

  std::vector<PackageRecord> directoryRecords = Records(directories);
  std::vector<PackageRecord> fileRecords = Records(files);
  const uint64_t dataStart = PackageTablesSize(directoryRecords, fileRecords);
  uint64_t total = 0;
  for (const Entry& file : files) total += file.size;

  AtomicOutput out(output);
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
    }
  }
  progress.Finish();
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
