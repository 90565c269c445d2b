// What a stopped run (Ctrl-C, termination) takes away before it ends.
#pragma once

#include <filesystem>

namespace packer {

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

}  // namespace packer
