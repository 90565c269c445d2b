// Pieces every sub-command of the packer shares: errors, options, progress, safe output.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "encode/encoder.h"

namespace packer {

// Exit codes, as the classic file tools use them: scripts and CI tell "the package has problems"
// from "the command line is wrong" and from "the disk or a path is".
const int kExitClean = 0;
const int kExitProblems = 1;  // problems found (verify), or the command failed on its input
const int kExitUsage = 2;
const int kExitFile = 3;  // a file cannot be read or written

// An error the user can act on; main prints it and exits with its code.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message, int exitCode = kExitProblems)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// A file or directory that cannot be opened, read, created or written.
class FileFailure : public Failure {
 public:
  explicit FileFailure(const std::string& message) : Failure(message, kExitFile) {}
};

// A value on the command line that only the command itself can judge.
class UsageFailure : public Failure {
 public:
  explicit UsageFailure(const std::string& message) : Failure(message, kExitUsage) {}
};

struct Options {
  bool quiet = false;
  bool verbose = false;  // a line for each file handled
  ParseMode parse = PARSE_PLANNED;
  unsigned jobs = 0;  // 0: one per core
  int codePage = 0;   // the target's ANSI code page; 0: names are taken as plain ASCII
  std::filesystem::path output;
  bool json = false;             // list and verify: machine-readable output
  bool werror = false;           // warnings make the command fail
  std::filesystem::path splash;  // extract: where to write a release's splash bitmap
  // The warnings issued so far, shared by the copies of one command's options.
  std::shared_ptr<std::atomic<int>> warnings = std::make_shared<std::atomic<int>>(0);
  // create: what to pack of the source tree.
  std::vector<std::string> exclude;  // glob patterns on paths relative to the source
  std::filesystem::path filesFrom;   // a list of paths to pack, one a line, instead of the tree
  bool followLinks = false;          // pack what links point to instead of refusing them
  // create: when set, also receives the package's bytes exactly as written.
  std::vector<uint8_t>* written = nullptr;
};

// A warning, counted; with --werror it is printed as an error even under --quiet.
void Warn(const Options& options, const std::string& message);
// Throws Failure when --werror is given and any warning was issued: called before a command
// writes what it would leave behind.
void FailOnWarnings(const Options& options);

// "-" on the command line: standard input or output instead of a file.
bool IsStandardStream(const std::filesystem::path& path);

// Writes `line` and a line end to `stream` (standard output or error), taking away the progress
// line first, so that the two never share a row of the terminal. Safe from any thread.
void PrintLine(FILE* stream, const std::string& line);

// A one-line report on a terminal for work that takes more than a moment: percent done, bytes
// done of the total, throughput over the last few seconds and time left. Its own thread redraws
// the line in place a few times a second, shortened to the terminal's width, and erases it when
// the Progress goes. Nothing at all without a terminal on standard error, or with --quiet.
class Progress {
 public:
  // `measure`, when given, is asked on the line's thread how many bytes are done, for work that
  // cannot count as it goes; it may take its time, but should not be called in a tight loop.
  Progress(const Options& options, const char* verb, uint64_t total,
           std::function<uint64_t()> measure = nullptr);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Whether a Progress made with these options would show anything: work done only for the line
  // (such as finding the total) can be skipped when not.
  static bool Wanted(const Options& options);

  // Safe from any thread.
  void Add(uint64_t bytes) { done_ += bytes; }
  // Takes the line away for good, before the command prints its result; the destructor does
  // this too.
  void Finish();

 private:
  struct Sample {
    std::chrono::steady_clock::time_point at;
    uint64_t done;
  };
  void Run();
  void Draw(std::chrono::steady_clock::time_point now);

  const char* verb_;
  uint64_t total_;
  std::function<uint64_t()> measure_;
  std::atomic<uint64_t> done_{0};
  std::chrono::steady_clock::time_point start_;
  std::deque<Sample> samples_;  // the last few seconds, for the throughput
  uint64_t shown_ = 0;          // never goes back, whatever a measurement says
  std::mutex lock_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;
};

// The text of a progress line: `done` of `total` bytes at `bytesPerSecond` (0 when not known),
// in at most `columns` - 1 characters, so that the terminal never wraps it. What matters least
// goes first when it does not fit: the byte counts, then the throughput, then the time left.
std::string ProgressLine(const char* verb, uint64_t done, uint64_t total, double bytesPerSecond,
                         int columns);

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
// spoils an existing one. The temporary file is removed on failure and on Ctrl-C. A target of
// "-" is standard output: the file is then written in the temporary directory and copied out
// once complete, so that what reads it gets a whole package or, with the failure, nothing.
class AtomicOutput {
 public:
  // `reopened`: the temporary file will be opened again by its name (Close), so on Windows it
  // cannot be marked for deletion while it is written.
  explicit AtomicOutput(const std::filesystem::path& target, bool reopened = false);
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  FILE* file() { return file_; }
  const std::filesystem::path& temporary() const { return temporary_; }
  void Write(const void* data, size_t size);
  void WriteAt(uint64_t position, const void* data, size_t size);
  void Commit();
  // Closes the temporary file and keeps it, for reading, until this object goes.
  const std::filesystem::path& Close();
  // Keeps a copy of every byte written from now on in `copy`, as the file will hold them.
  void Mirror(std::vector<uint8_t>* copy) { mirror_ = copy; }

 private:
  void CopyToStandardOutput();

  std::filesystem::path target_;
  std::string shown_;  // the target as messages name it
  bool toStandardOutput_;
  std::filesystem::path temporary_;
  FILE* file_ = nullptr;
  std::optional<RemovedOnInterrupt> pending_;
  std::vector<uint8_t>* mirror_ = nullptr;
  uint64_t position_ = 0;
};

// Throws FileFailure, naming `target`, unless the directory it is to be written in exists.
void RequireDirectoryFor(const std::filesystem::path& target);

// A package to read, named "-" for standard input. The commands seek in a package, so standard
// input is first copied whole into a temporary file, which goes when the command ends or is
// stopped.
class InputFile {
 public:
  explicit InputFile(const std::filesystem::path& path);
  // Where the bytes are now; the path as given names the package in messages.
  const std::filesystem::path& path() const { return path_; }

 private:
  std::unique_ptr<AtomicOutput> copy_;
  std::filesystem::path path_;
};

// The whole of a file, or of standard input for "-".
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

// A count with its noun in the singular or the plural: "1 file", "2 files".
std::string Counted(uint64_t count, const char* one, const char* many);

// Hands the names' code page to the shared core, whose name rules read the names of a
// double-byte code page a character at a time. Throws Failure unless `codePage` is 0 or a code
// page this system can convert from.
void UseCodePage(int codePage);

// A name from a package as text for a terminal: through `codePage` (when not 0) into UTF-8, and
// every byte or character that would move the cursor, start a terminal command or reorder the
// line written as \x1b or \u202e, so that no package can rewrite the screen or forge a line.
// Bytes beyond ASCII are written as \xNN too, unless the code page gave them a meaning.
std::string PrintableName(const std::string& name, int codePage);

// JSON text (UTF-8) with the characters that steer a terminal or reorder a line written as
// \u escapes, so that machine-readable output is as safe to show as the rest.
std::string EscapeSteering(const std::string& json);

// A name from a package as UTF-8 text, for machine-readable output: through `codePage`, or as
// it stands when it is plain ASCII. False when some byte has no meaning there.
bool NameText(const std::string& name, int codePage, std::string* utf8);

// Names that Windows takes for the same file get the same key: letters are compared by their
// upper case. Through `codePage` every letter counts; with 0 only ASCII letters do.
std::string CaseKey(const std::string& name, int codePage);

}  // namespace packer
