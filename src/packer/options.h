// What the command line asked of a command, and the warnings it has given.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "encode/encoder.h"
#include "packer/failure.h"

namespace packer {

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

}  // namespace packer
