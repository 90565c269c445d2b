// What a command writes to the terminal: whole lines, the progress line that gives way to
// them, and how sizes and counts read.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "packer/options.h"

namespace packer {

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

// Takes the progress line away without allocating or locking, for the interrupt handler, so that
// the shell's prompt after Ctrl-C starts on a clean row.
void EraseProgressLineNow();

std::string FormatBytes(uint64_t bytes);

// A count with its noun in the singular or the plural: "1 file", "2 files".
std::string Counted(uint64_t count, const char* one, const char* many);

}  // namespace packer
