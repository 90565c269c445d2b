// Outputs that appear whole or not at all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/failure.h"
#include "packer/stop_cleanup.h"

namespace packer {

// "-" on the command line: standard input or output instead of a file.
bool IsStandardStream(const std::filesystem::path& path);

// A file written under a temporary name beside its target and renamed over it only when
// complete, so that an interrupted or failed run never leaves a half-written file and never
// spoils an existing one. The temporary file is removed on failure and on Ctrl-C. A target of
// "-" is standard output: the file is then written in the temporary directory and copied out
// once complete, so that what reads it gets a whole package or, with the failure, nothing.
class AtomicOutput {
 public:
  // `reopened`: the temporary file will be opened again by its name (Close), with
  // OpenForReading: on Windows it then goes when this object does, not when it is renamed.
  explicit AtomicOutput(const std::filesystem::path& target, bool reopened = false);
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  FILE* file() { return file_; }
  const std::filesystem::path& temporary() const { return temporary_; }
  void Write(const void* data, size_t size);
  void WriteAt(uint64_t position, const void* data, size_t size);
  void Commit();
  // Finishes the temporary file and keeps it, for reading by its name, until this object goes.
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

// Makes the folders `output` is to be written in, as other packing tools do; throws FileFailure
// when they cannot be made.
void CreateParentFolders(const std::filesystem::path& output);

// Whether `path` is `folder` or lies below it, links resolved.
bool Inside(const std::filesystem::path& path, const std::filesystem::path& folder);

// Throws FileFailure, naming `target`, unless the directory it is to be written in exists.
void RequireDirectoryFor(const std::filesystem::path& target);

}  // namespace packer
