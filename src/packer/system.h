// What the packer needs from the operating system beyond the standard library.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace packer {

bool StderrIsTerminal();

// Creates `path` for binary writing only if nothing of that name exists; null otherwise.
FILE* CreateNewFile(const std::filesystem::path& path);

// The name of a directory entry as the launcher will see it: bytes in the target ANSI code
// page. `codePage` 0 means plain ASCII only. Returns false, with `error` set, when the name
// cannot be represented.
bool ToTargetName(const std::filesystem::path& name, int codePage, std::string* out,
                  std::string* error);

// Calls `cleanUp` once when the process is asked to stop (Ctrl-C, termination), then exits.
void OnInterrupt(void (*cleanUp)());

}  // namespace packer
