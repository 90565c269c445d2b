// The packer's sub-commands. Each returns the process exit code or throws Failure.
#pragma once

#include <filesystem>

#include "packer/options.h"

namespace packer {

int CreateCommand(const std::filesystem::path& sourceDir, const Options& options);
int ListCommand(const std::filesystem::path& package, const Options& options);
int VerifyCommand(const std::filesystem::path& package, const Options& options);
int ExtractCommand(const std::filesystem::path& package, const std::filesystem::path& destination,
                   const Options& options);
int CompressCommand(const std::filesystem::path& in, const std::filesystem::path& out,
                    const Options& options);
int DecompressCommand(const std::filesystem::path& in, const std::filesystem::path& out,
                      const Options& options);

}  // namespace packer
