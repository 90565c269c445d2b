// How a command of the packer fails: exit codes and the errors main prints.
#pragma once

#include <stdexcept>
#include <string>

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

}  // namespace packer
