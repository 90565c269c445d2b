// Pieces every sub-command of the packer shares: errors, options, progress, safe output.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "encode/encoder.h"

namespace packer {

// An error the user can act on; main prints it and exits with 1.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

struct Options {
  bool quiet = false;
  ParseMode parse = PARSE_PLANNED;
  unsigned jobs = 0;  // 0: one per core
  int codePage = 0;   // the target's ANSI code page; 0: names are taken as plain ASCII
  std::filesystem::path output;
  bool json = false;    // list and verify: machine-readable output
  bool werror = false;  // warnings make the command fail
  // create: what to pack of the source tree.
  std::vector<std::string> exclude;  // glob patterns on paths relative to the source
  std::filesystem::path filesFrom;   // a list of paths to pack, one a line, instead of the tree
  bool followLinks = false;          // pack what links point to instead of refusing them
};

void Warn(const Options& options, const std::string& message);

// A one-line progress report on a terminal, for work that takes more than a moment.
class Progress {
 public:
  Progress(const Options& options, const char* verb, uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  // Safe from any thread; only the thread that made the Progress should call Show.
  void Add(uint64_t bytes) { done_ += bytes; }
  void Show();

 private:
  bool enabled_;
  const char* verb_;
  uint64_t total_;
  std::atomic<uint64_t> done_{0};
  std::chrono::steady_clock::time_point start_, last_;
  bool shown_ = false;
};

// Takes a path away if the run is interrupted (Ctrl-C, termination), for as long as it lives: a
// file or a directory with everything below it, or, with `contentsOnly`, what a directory holds.
// It never throws: a path it cannot watch (far too long, too many at once) is not watched.
class RemovedOnInterrupt {
 public:
  RemovedOnInterrupt(const std::filesystem::path& path, bool contentsOnly);
  ~RemovedOnInterrupt();
  RemovedOnInterrupt(const RemovedOnInterrupt&) = delete;
  RemovedOnInterrupt& operator=(const RemovedOnInterrupt&) = delete;

 private:
  int slot_ = -1;
};

// A file written under a temporary name beside its target and renamed over it only when
// complete, so that an interrupted or failed run never leaves a half-written file and never
// spoils an existing one. The temporary file is removed on failure and on Ctrl-C.
class AtomicOutput {
 public:
  explicit AtomicOutput(const std::filesystem::path& target);
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  FILE* file() { return file_; }
  const std::filesystem::path& temporary() const { return temporary_; }
  void Write(const void* data, size_t size);
  void WriteAt(uint64_t position, const void* data, size_t size);
  void Commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  FILE* file_ = nullptr;
  std::optional<RemovedOnInterrupt> pending_;
};

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path);

// Compresses the file at `path`, which must hold `size` bytes (below 4 GiB), reading it a piece
// at a time and handing the blob to `take` as it comes (`take` may move the bytes away), so that
// memory stays at a piece whatever the file's size. Throws Failure when the file cannot be read
// or its size changed.
void CompressFile(const std::filesystem::path& path, uint64_t size, ParseMode mode,
                  Encoder& encoder, const std::function<void(std::vector<uint8_t>*)>& take);

// The portable (backslash) form of a path given on the command line, for the shared core.
std::string PortablePath(const std::filesystem::path& path);

std::string FormatBytes(uint64_t bytes);

// Hands the names' code page to the shared core, whose name rules read the names of a
// double-byte code page a character at a time. Throws Failure unless `codePage` is 0 or a code
// page this system can convert from.
void UseCodePage(int codePage);

// A name from a package as text for a terminal: through `codePage` (when not 0) into UTF-8, and
// every byte or character that would move the cursor, start a terminal command or reorder the
// line written as \x1b or \u202e, so that no package can rewrite the screen or forge a line.
// Bytes beyond ASCII are written as \xNN too, unless the code page gave them a meaning.
std::string PrintableName(const std::string& name, int codePage);

// Names that Windows takes for the same file get the same key: letters are compared by their
// upper case. Through `codePage` every letter counts; with 0 only ASCII letters do.
std::string CaseKey(const std::string& name, int codePage);

}  // namespace packer
