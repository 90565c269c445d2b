// The launcher of a release, written and read back.
#include "packer/release/launcher_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "decode/decoder.h"
#include "package/bundle_format.h"
#include "packer/failure.h"
#include "packer/input_files.h"
#include "packer/release/digest.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool IsManifest(const Resource& resource) {
  return resource.type == ResourceName{kResourceManifest, {}} &&
         resource.name == ResourceName{1, {}};
}

void Put32(uint32_t value, uint8_t* out) {
  for (int byte = 0; byte < 4; ++byte) out[byte] = static_cast<uint8_t>(value >> (8 * byte));
}

int AppendTo(void* context, const uint8_t* data, size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), data, data + size);
  return 1;
}

}  // namespace

// The stub as a release starts from: unsigned, nothing after its sections, its seal unused.
PeImage LoadStub(const fs::path& path, const Options& options) {
  PeImage stub(ReadWholeFile(path), path.string());
  if (stub.IsSigned()) {
    stub.RemoveSignature();
    Warn(options, path.string() +
                      ": the stub was signed; its signature is left out, as bundling changes "
                      "the program: sign the release instead");
  }
  if (stub.sections().empty())
    throw Failure(path.string() + ": a program without sections; not the launcher");
  // A launcher first: data after the sections of another program says nothing about releases.
  long seal = FindSealRecord(stub.bytes().data(), stub.EndOfSections());
  if (seal < 0)
    throw Failure(path.string() +
                  ": no seal record; not a launcher this packer can seal (one built before "
                  "sealing, or another program)");
  if (stub.AppendedSize() != 0)
    throw Failure(path.string() +
                  ": holds data after its sections (a single-file release?); start from the "
                  "plain launcher");
  if (Read32(stub.bytes().data() + seal + SEAL_FLAGS_OFFSET) != 0)
    throw Failure(path.string() +
                  ": already sealed, the launcher of a release; start from the plain launcher");
  return stub;
}

// The stub's resources with the icon and version information replaced, in a new section.
void Brand(PeImage* stub, const std::string& what, const std::vector<Resource>& icon,
           const std::optional<VersionInfo>& version) {
  std::vector<Resource> resources = ReadResources(*stub, what);
  if (std::none_of(resources.begin(), resources.end(), IsManifest))
    throw Failure(what + ": no manifest (resource 1 of type 24); not the launcher");
  auto drop = [&](uint16_t type) {
    resources.erase(std::remove_if(resources.begin(), resources.end(),
                                   [&](const Resource& r) { return r.type.id == type; }),
                    resources.end());
  };
  if (!icon.empty()) {
    drop(kResourceIcon);
    drop(kResourceGroupIcon);
    resources.insert(resources.end(), icon.begin(), icon.end());
  }
  if (version) {
    drop(kResourceVersion);
    Resource info;
    info.type.id = kResourceVersion;
    info.name.id = 1;
    info.language = kResourceLanguage;
    info.data = VersionResourceData(*version);
    resources.push_back(std::move(info));
  }
  stub->ReplaceResources([&](uint32_t address) { return ResourceSection(resources, address); });
}

// `package` and `bitmap` as they are stored in the release: their sizes and hashes go into the
// seal.
void Seal(PeImage* stub, uint32_t flags, const std::vector<uint8_t>& package,
          const std::vector<uint8_t>& bitmap) {
  long seal = FindSealRecord(stub->bytes().data(), stub->EndOfSections());
  if (seal < 0) throw Failure("the seal record was lost while branding the stub");
  uint8_t field[4];
  size_t at = static_cast<size_t>(seal);
  Put32(flags, field);
  stub->Patch(at + SEAL_FLAGS_OFFSET, field, sizeof field);
  stub->Patch(at + SEAL_PACKAGE_HASH_OFFSET, Sha256(package).data(), SHA256_BYTES);
  stub->Patch(at + SEAL_BITMAP_HASH_OFFSET, Sha256(bitmap).data(), SHA256_BYTES);
  Put32(static_cast<uint32_t>(package.size()), field);
  stub->Patch(at + SEAL_PACKAGE_SIZE_OFFSET, field, sizeof field);
  Put32(static_cast<uint32_t>(bitmap.size()), field);
  stub->Patch(at + SEAL_BITMAP_SIZE_OFFSET, field, sizeof field);
}

// The splash as a single file stores it: one blob of the package's codec, which the launcher
// already carries. A bitmap is mostly pixels the codec shrinks well; none stays none.
std::vector<uint8_t> CompressBitmap(const std::vector<uint8_t>& bitmap, ParseMode mode) {
  std::vector<uint8_t> stored;
  if (bitmap.empty()) return stored;
  std::unique_ptr<Encoder> encoder(new Encoder());
  EncodeBlob(*encoder, bitmap.data(), bitmap.size(), mode, &stored);
  return stored;
}

std::vector<uint8_t> DecodeStoredBitmap(const std::vector<uint8_t>& stored) {
  std::vector<uint8_t> bitmap;
  if (stored.empty()) return bitmap;
  std::unique_ptr<Decoder> decoder(new Decoder());
  ByteSource input;
  ByteSink output;
  uint32_t expected;
  InitMemorySource(&input, stored.data(), stored.size());
  InitSink(&output, decoder->outputBuffer, sizeof decoder->outputBuffer, AppendTo, &bitmap);
  if (DecodeBlob(*decoder, &input, &output, &expected) != DECODE_OK ||
      decoder->produced != expected)
    bitmap.clear();
  return bitmap;
}

// The region of a single file: the package, the bitmap, padding to eight bytes, the trailer.
std::vector<uint8_t> Region(const std::vector<uint8_t>& package,
                            const std::vector<uint8_t>& bitmap) {
  BundleTrailer trailer;
  trailer.packageOffset = 0;
  trailer.packageSize = static_cast<uint32_t>(package.size());
  trailer.bitmapOffset = trailer.packageSize;
  trailer.bitmapSize = static_cast<uint32_t>(bitmap.size());
  std::vector<uint8_t> region(package);
  region.insert(region.end(), bitmap.begin(), bitmap.end());
  region.resize(region.size() + TrailerPadding(static_cast<uint32_t>(region.size())), 0);
  size_t at = region.size();
  region.resize(at + TRAILER_BYTES);
  WriteBundleTrailer(trailer, &region[at]);
  return region;
}

// The launcher made is read back as the loader and the launcher will read it: an error here is
// this program's, and nothing is written.
void CheckLauncher(const std::vector<uint8_t>& bytes, uint32_t flags,
                   const std::vector<uint8_t>& package, const std::vector<uint8_t>& bitmap,
                   const std::vector<Resource>& icon, const std::optional<VersionInfo>& version) {
  const std::string what = "the launcher made";
  PeImage image(bytes, what);
  auto fail = [&](const std::string& problem) { throw Failure(what + ": " + problem); };
  if (image.checksum() != PeImage::ComputeChecksum(bytes, image.checksumOffset()))
    fail("checksum does not match");
  std::vector<Resource> resources = ReadResources(image, what);
  auto find = [&](uint16_t type, uint16_t name) -> const Resource* {
    for (const Resource& r : resources)
      if (r.type == ResourceName{type, {}} && r.name == ResourceName{name, {}}) return &r;
    return nullptr;
  };
  if (find(kResourceManifest, 1) == nullptr) fail("manifest lost");
  for (const Resource& wanted : icon) {
    const Resource* found = find(wanted.type.id, wanted.name.id);
    if (found == nullptr || found->data != wanted.data) fail("icon does not read back");
  }
  if (version) {
    const Resource* found = find(kResourceVersion, 1);
    if (found == nullptr || ReadVersionResource(found->data, what).strings != version->strings)
      fail("version information does not read back");
  }
  long seal = FindSealRecord(bytes.data(), image.EndOfSections());
  if (seal < 0) fail("seal does not read back");
  // Read back as every reader of a release reads it.
  SealedRelease sealed;
  SealStatus status =
      ReadSealedRelease(&bytes[static_cast<size_t>(seal)], nullptr, nullptr, &sealed);
  if (sealed.flags != flags || status != (flags == SEAL_FOLDER ? SEAL_OK : SEAL_NO_REGION))
    fail("seal does not read back");
  Sha256Digest packageHash = Sha256(package), bitmapHash = Sha256(bitmap);
  if (memcmp(sealed.packageHash, packageHash.data(), SHA256_BYTES) != 0 ||
      memcmp(sealed.bitmapHash, bitmapHash.data(), SHA256_BYTES) != 0 ||
      sealed.packageSize != package.size() || sealed.bitmapSize != bitmap.size())
    fail("sealed hashes or sizes do not read back");
  // The launcher finds its sections' end from the first bytes of its file alone.
  PeLayout layout;
  if (!ReadPeLayout(bytes.data(), std::min<size_t>(bytes.size(), STUB_HEADER_BYTES), bytes.size(),
                    &layout) ||
      layout.sectionsEnd != image.EndOfSections())
    fail("its section table does not end within the launcher's first " +
         std::to_string(STUB_HEADER_BYTES) + " bytes");
  if (flags == SEAL_FOLDER) return;
  if (ReadSealedRelease(&bytes[static_cast<size_t>(seal)], &layout,
                        &bytes[layout.regionEnd - TRAILER_BYTES], &sealed) != SEAL_OK ||
      !std::equal(package.begin(), package.end(), bytes.begin() + sealed.packagePosition) ||
      !std::equal(bitmap.begin(), bitmap.end(), bytes.begin() + sealed.bitmapPosition))
    fail("appended region does not read back");
}

}  // namespace packer
