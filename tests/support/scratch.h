// File helpers for tests: a fresh directory under the temporary directory, removed afterwards,
// and whole-file reads and writes on portable paths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool WriteWholeFile(const std::string& path, const std::string& text);
// Returns false when the file cannot be opened.
bool ReadWholeFile(const std::string& path, std::string* contents);
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Names directly inside `dir`, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& dir);
// Every file below `dir` as "relative\path" -> contents, and every directory with a trailing "\".
std::vector<std::pair<std::string, std::string>> Snapshot(const std::string& dir);
