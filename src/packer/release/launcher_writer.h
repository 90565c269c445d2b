// The launcher of a release, written: the stub as a release starts from, branded with an icon
// and version information, sealed to what it will load, with a single file's appended region;
// and read back as every reader of a release reads it before anything is written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "encode/encoder.h"
#include "packer/options.h"
#include "packer/release/pe_image.h"
#include "packer/release/resources.h"

namespace packer {

// The stub as a release starts from: unsigned, nothing after its sections, its seal unused.
// Throws Failure for a program that is no plain launcher.
PeImage LoadStub(const std::filesystem::path& path, const Options& options);

// The stub's resources with the icon (when given) and version information (likewise) replaced,
// in a new section. `what` names the stub in messages.
void Brand(PeImage* stub, const std::string& what, const std::vector<Resource>& icon,
           const std::optional<VersionInfo>& version);

// Writes the seal: `flags`, and the sizes and hashes of `package` and `bitmap` as the release
// stores them.
void Seal(PeImage* stub, uint32_t flags, const std::vector<uint8_t>& package,
          const std::vector<uint8_t>& bitmap);

// The splash as a single file stores it: one blob of the package's codec. None stays none.
std::vector<uint8_t> CompressBitmap(const std::vector<uint8_t>& bitmap, ParseMode mode);

// A single file's splash as the launcher shows it, from the bytes the release stores (where and
// whether compressed, ReadSealedRelease says): decoded as the launcher decodes it; empty when
// it does not decode to exactly its declared size.
std::vector<uint8_t> DecodeStoredBitmap(const std::vector<uint8_t>& stored);

// The region appended to a single file: the package, the bitmap, padding, the trailer.
std::vector<uint8_t> Region(const std::vector<uint8_t>& package,
                            const std::vector<uint8_t>& bitmap);

// Reads the launcher made back as the loader and the launcher will; throws Failure, this
// program's error, when anything does not read back as written.
void CheckLauncher(const std::vector<uint8_t>& bytes, uint32_t flags,
                   const std::vector<uint8_t>& package, const std::vector<uint8_t>& bitmap,
                   const std::vector<Resource>& icon, const std::optional<VersionInfo>& version);

}  // namespace packer
