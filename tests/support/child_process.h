// Runs a program in a process of its own, as a user or a script would: arguments in UTF-8 (wide
// on Windows), standard input from bytes, standard output through a pipe, so that nothing can
// seek in it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct ChildRun {
  int exitCode = -1;  // 128 + the signal when a signal ended it
  std::string out, err;
};

struct ChildSetup {
  std::filesystem::path directory;  // the working directory
  std::filesystem::path temp;       // its temporary directory (TMPDIR, or TMP and TEMP)
  std::filesystem::path files;      // where standard input and error are kept
  std::string input;                // standard input
  // When set, polled while the child runs; once true, the child is asked to stop as Ctrl-C asks
  // (SIGINT on POSIX, the console's CTRL_C_EVENT on Windows).
  std::function<bool()> interruptWhen;
};

ChildRun RunChild(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                  const ChildSetup& setup);
