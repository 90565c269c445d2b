#include "packer/atomic_output.h"

#include <algorithm>
#include <random>
#include <system_error>

#include "packer/failure.h"
#include "packer/system.h"

namespace packer {

namespace fs = std::filesystem;

bool IsStandardStream(const fs::path& path) {
  return path.native().size() == 1 && path.native()[0] == '-';
}

AtomicOutput::AtomicOutput(const fs::path& target, bool reopened)
    : target_(target), toStandardOutput_(IsStandardStream(target)) {
  shown_ = toStandardOutput_ ? "standard output" : target.string();
  fs::path directory = target.parent_path();
  fs::path name = ".";
  name += target.filename();
  std::error_code error;
  if (toStandardOutput_) {
    directory = fs::temp_directory_path(error);
    if (error)
      throw FileFailure("no temporary directory to build the output in: " + error.message());
    name = ".setuppack-" + std::to_string(std::random_device()());
  } else if (fs::is_directory(target, error)) {
    throw FileFailure(shown_ + ": is a directory");
  } else {
    RequireDirectoryFor(target);
  }
  if (directory.empty()) directory = ".";
  // A fresh name that nobody else is writing: the target's name, a dot and a counter. It is
  // watched from before it exists, so that a stop right after the file is made takes it too.
  for (int n = 0; n < 1000 && file_ == nullptr; ++n) {
    temporary_ = directory / name;
    temporary_ += ".part" + std::to_string(n);
    if (fs::exists(fs::symlink_status(temporary_, error))) continue;
    pending_.emplace(temporary_, false);
    file_ = CreateNewFile(temporary_, reopened ? NewFile::readByName : NewFile::putInPlace);
    if (file_ == nullptr) pending_.reset();
  }
  if (file_ == nullptr) {
    temporary_.clear();
    throw FileFailure(shown_ + ": cannot create a file " +
                      (toStandardOutput_ ? "in " + directory.string() : "beside it"));
  }
}

AtomicOutput::~AtomicOutput() {
  if (file_ != nullptr) fclose(file_);
  std::error_code ignored;
  if (!temporary_.empty()) fs::remove(temporary_, ignored);
}

void AtomicOutput::Write(const void* data, size_t size) {
  if (size > 0 && fwrite(data, 1, size, file_) != size)
    throw FileFailure(shown_ + ": write failed (disk full?)");
  if (mirror_ != nullptr && size > 0) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    const size_t at = static_cast<size_t>(position_);
    if (mirror_->size() < at + size) mirror_->resize(at + size);
    std::copy(bytes, bytes + size, mirror_->begin() + static_cast<long>(at));
  }
  position_ += size;
}

void AtomicOutput::WriteAt(uint64_t position, const void* data, size_t size) {
  if (fseek(file_, static_cast<long>(position), SEEK_SET) != 0)
    throw FileFailure(shown_ + ": seek failed");
  const uint64_t end = position_;
  position_ = position;
  Write(data, size);
  fseek(file_, 0, SEEK_END);
  position_ = std::max(end, position_);
}

void AtomicOutput::Commit() {
  if (toStandardOutput_) {
    CopyToStandardOutput();
    return;
  }
  GiveUsualAccess(file_);
  FILE* file = file_;
  file_ = nullptr;
  std::string why;
  if (!PutInPlace(file, temporary_, target_, &why)) throw FileFailure(shown_ + ": " + why);
  temporary_.clear();
  pending_.reset();
}

const fs::path& AtomicOutput::Close() {
  // Flushed, not closed: on Windows the file goes with its handle.
  if (fflush(file_) != 0) throw FileFailure(shown_ + ": write failed (disk full?)");
  return temporary_;
}

void AtomicOutput::CopyToStandardOutput() {
  if (fflush(file_) != 0 || fseek(file_, 0, SEEK_SET) != 0)
    throw FileFailure(temporary_.string() + ": write failed (disk full?)");
  // Read back through the handle it was written with, never by its name in a directory others
  // share; on Windows the name cannot even be opened, as the file is marked for deletion.
  UseBinaryMode(stdout);
  std::vector<char> buffer(1 << 16);
  size_t got;
  bool ok = true;
  while (ok && (got = fread(buffer.data(), 1, buffer.size(), file_)) > 0)
    ok = fwrite(buffer.data(), 1, got, stdout) == got;
  ok = ok && !ferror(file_);
  if (fflush(stdout) != 0 || !ok) throw FileFailure(shown_ + ": write failed");
}

void CreateParentFolders(const fs::path& output) {
  std::error_code error;
  fs::path parent = output.parent_path();
  if (parent.empty() || fs::is_directory(parent, error)) return;
  fs::create_directories(parent, error);
  if (error) throw FileFailure(parent.string() + ": cannot be created: " + error.message());
}

bool Inside(const fs::path& path, const fs::path& folder) {
  std::error_code error;
  fs::path inner = fs::weakly_canonical(fs::absolute(path), error);
  fs::path outer = fs::weakly_canonical(fs::absolute(folder), error);
  if (error) return false;
  auto mismatch = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
  return mismatch.first == outer.end();
}

void RequireDirectoryFor(const fs::path& target) {
  fs::path directory = target.parent_path();
  std::error_code error;
  if (!directory.empty() && !fs::is_directory(directory, error))
    throw FileFailure(target.string() + ": no directory " + directory.string() + " to write it in");
}

}  // namespace packer
