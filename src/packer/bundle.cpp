// setuppack bundle. Everything that can be refused (the stub, the icon, the splash, the version
// text) is checked before anything is written; each file of the release is written beside its
// target and renamed into place, the launcher last, so an interrupted run never leaves a launcher
// sealed to files that are not there.
#include "packer/bundle.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

#include "decode/decoder.h"
#include "encode/encoder.h"
#include "package/bundle_format.h"
#include "packer/commands.h"
#include "packer/digest.h"
#include "packer/pe_image.h"
#include "packer/release_reader.h"
#include "packer/resources.h"
#include "packer/system.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// Where the install puts the stub: <prefix>/share/<project>/setup.exe beside <prefix>/bin.
const char kProjectName[] = "setup_launcher";

uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  AtomicOutput out(path);
  out.Write(bytes.data(), bytes.size());
  out.Commit();
}

// The launcher shows the splash with the system's bitmap loader, which takes BMP files only.
void CheckSplash(const std::vector<uint8_t>& bitmap, const fs::path& path) {
  if (const char* why = SplashProblem(bitmap)) throw Failure(path.string() + ": " + why);
}

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

bool WantsVersionInfo(const BundleOptions& bundle) {
  return !bundle.version.empty() || !bundle.product.empty() || !bundle.company.empty() ||
         !bundle.description.empty() || !bundle.copyright.empty() || !bundle.productVersion.empty();
}

// Why `text` cannot stand in the properties a user reads before trusting a program, or null:
// control characters break or hide lines, and the direction marks and overrides make a name
// read as something else ("setup\u202Eexe.pdf").
const char* VersionTextProblem(const std::u16string& text) {
  for (char16_t c : text) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return "a control character";
    if ((c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E ||
        c == 0x200F || c == 0x061C)
      return "a character that changes the direction of text";
  }
  return nullptr;
}

VersionInfo MakeVersionInfo(const BundleOptions& bundle) {
  VersionInfo info;
  if (!bundle.version.empty() && !ParseVersionNumber(bundle.version, &info.fileVersion))
    throw UsageFailure("--version takes one to four numbers from 0 to 65535, such as 1.2.3 (not '" +
                       bundle.version + "')");
  info.productVersion = info.fileVersion;
  // What Explorer shows as the file's description: a product's installer is "<product> Setup"
  // unless the publisher says otherwise. The product version may be any text ("1.2.3-beta");
  // the fixed numbers stay those of --version.
  const std::string description = !bundle.description.empty() ? bundle.description
                                  : !bundle.product.empty()   ? bundle.product + " Setup"
                                                              : std::string();
  const std::string& productVersion =
      bundle.productVersion.empty() ? bundle.version : bundle.productVersion;
  const std::pair<const char*, const std::string*> given[] = {
      {"CompanyName", &bundle.company}, {"FileDescription", &description},
      {"FileVersion", &bundle.version}, {"LegalCopyright", &bundle.copyright},
      {"ProductName", &bundle.product}, {"ProductVersion", &productVersion},
  };
  for (const auto& field : given) {
    std::u16string text;
    if (!Utf8ToUtf16(*field.second, &text))
      throw UsageFailure(std::string("the text for ") + field.first + " is not UTF-8");
    if (const char* problem = VersionTextProblem(text))
      throw UsageFailure(std::string("the text for ") + field.first + " holds " + problem +
                         ", which the file's properties would show misleadingly");
    if (!field.second->empty()) info.strings.push_back({field.first, *field.second});
  }
  info.strings.push_back({"OriginalFilename", "setup.exe"});
  return info;
}

bool IsManifest(const Resource& resource) {
  return resource.type == ResourceName{kResourceManifest, {}} &&
         resource.name == ResourceName{1, {}};
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

void Put32(uint32_t value, uint8_t* out) {
  for (int byte = 0; byte < 4; ++byte) out[byte] = static_cast<uint8_t>(value >> (8 * byte));
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

int AppendTo(void* context, const uint8_t* data, size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), data, data + size);
  return 1;
}

}  // namespace

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

namespace {

std::string SplashReport(const std::vector<uint8_t>& bitmap, const std::vector<uint8_t>& stored,
                         bool compressed) {
  if (bitmap.empty()) return "none";
  if (!compressed) return FormatBytes(bitmap.size()) + ", stored as it is";
  return FormatBytes(stored.size()) + " compressed from " + FormatBytes(bitmap.size());
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

// A package given as a file is checked as `verify` does before it goes into a release.
void CheckPackage(const fs::path& path, const Options& options) {
  Options quiet = options;
  quiet.quiet = true;
  if (VerifyCommand(path, quiet) != 0)
    throw Failure(path.string() + ": the package has problems; no release was made");
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

// A temporary file beside `near`, removed when the run ends or is interrupted.
class TemporaryFile {
 public:
  explicit TemporaryFile(const fs::path& near) {
    fs::path directory = near.parent_path().empty() ? fs::path(".") : near.parent_path();
    path_ = directory / ("." + near.filename().string() + ".package");
    watch_.emplace(path_, false);
  }
  ~TemporaryFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::optional<RemovedOnInterrupt> watch_;
};

}  // namespace

void (*g_packageWritten)(const fs::path& package) = nullptr;

fs::path DefaultStub() {
  fs::path tools = ExecutablePath().parent_path();
  const fs::path candidates[] = {
      tools.parent_path() / "share" / kProjectName / "setup.exe",         // installed
      tools / "setup.exe",                                                // the win32 build tree
      tools.parent_path().parent_path() / "win32" / "src" / "setup.exe",  // a native build's
  };
  std::string looked;
  for (const fs::path& candidate : candidates) {
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate;
    looked += "\n  " + candidate.lexically_normal().string();
  }
  throw Failure("no launcher stub found beside the tools; name one with --stub. Looked at:" +
                looked);
}

int BundleCommand(const BundleOptions& bundle, const Options& options) {
  std::error_code error;
  const bool fromFolder = fs::is_directory(bundle.source, error);
  if (!fromFolder && !fs::is_regular_file(bundle.source, error))
    throw Failure(bundle.source.string() + ": neither a payload folder nor a package");
  const fs::path output = !bundle.output.empty()
                              ? bundle.output
                              : fs::path(bundle.singleFile ? "setup.exe" : "release");
  // Before any work: the folders the output needs are made, as for a release folder.
  if (bundle.singleFile) CreateParentFolders(output);
  const fs::path stubPath = bundle.stub.empty() ? DefaultStub() : bundle.stub;
  if (fromFolder && Inside(output, bundle.source))
    throw Failure(output.string() + ": inside the payload folder, where the release would be " +
                  "packed into the next one; write it elsewhere");

  PeImage stub = LoadStub(stubPath, options);
  std::vector<Resource> icon;
  if (!bundle.icon.empty()) icon = IconResources(ReadWholeFile(bundle.icon), bundle.icon.string());
  std::optional<VersionInfo> version;
  if (WantsVersionInfo(bundle)) version = MakeVersionInfo(bundle);
  std::vector<uint8_t> bitmap;
  if (!bundle.splash.empty()) {
    bitmap = ReadWholeFile(bundle.splash);
    CheckSplash(bitmap, bundle.splash);
  }
  if (!icon.empty() || version) Brand(&stub, stubPath.string(), icon, version);

  if (bundle.singleFile) {
    if (fs::is_directory(output, error)) throw Failure(output.string() + ": is a directory");
    if (!fromFolder) CheckPackage(bundle.source, options);
    std::vector<uint8_t> package;
    if (fromFolder) {
      TemporaryFile packed(output);
      Options create = options;
      create.output = packed.path();
      create.written = &package;
      // The package is a step of the release: the report names only the file the user uploads.
      create.quiet = true;
      CreateCommand(bundle.source, create);
    } else {
      package = ReadWholeFile(bundle.source);
    }
    std::vector<uint8_t> stored = CompressBitmap(bitmap, options.parse);
    // A picture the codec cannot shrink (noise, say) is stored as it is, and flagged so.
    const bool compressed = stored.size() < bitmap.size();
    if (!compressed) stored = bitmap;
    uint64_t total = static_cast<uint64_t>(stub.bytes().size()) + package.size() + stored.size() +
                     REGION_ALIGNMENT + TRAILER_BYTES;
    if (total > MAX_BUNDLE_POSITION)
      throw Failure(output.string() + ": a single file of 2 GiB or more, which the launcher " +
                    "cannot read; make a folder release instead");
    const uint32_t flags = SEAL_SINGLE_FILE | (compressed ? SEAL_BITMAP_COMPRESSED : 0u);
    Seal(&stub, flags, package, stored);
    stub.Append(Region(package, stored));
    stub.UpdateChecksum();
    std::vector<uint8_t> launcher = stub.Release();
    CheckLauncher(launcher, flags, package, stored, icon, version);
    if (compressed && DecodeStoredBitmap(stored) != bitmap)
      throw Failure("the compressed splash does not decode back");
    WriteFile(output, launcher);
    if (!options.quiet)
      printf("%s: single file of %s (launcher, package %s, splash %s), sealed; sign it now\n",
             output.string().c_str(), FormatBytes(launcher.size()).c_str(),
             FormatBytes(package.size()).c_str(), SplashReport(bitmap, stored, compressed).c_str());
    return 0;
  }

  if (fs::exists(output, error) && !fs::is_directory(output, error))
    throw Failure(output.string() + ": exists and is not a folder");
  if (!fromFolder) CheckPackage(bundle.source, options);
  fs::create_directories(output, error);
  if (error) throw Failure(output.string() + ": cannot be created: " + error.message());
  const fs::path packagePath = output / "Pack.qvd";
  const fs::path bitmapPath = output / "setup.bmp";
  // The launcher is sealed to the bytes this run wrote, never to what the path holds a moment
  // later: whoever else can write the folder could swap the file in between.
  std::vector<uint8_t> package;
  if (fromFolder) {
    Options create = options;
    create.output = packagePath;
    create.written = &package;
    CreateCommand(bundle.source, create);
  } else {
    package = ReadWholeFile(bundle.source);
    if (!fs::equivalent(bundle.source, packagePath, error)) WriteFile(packagePath, package);
  }
  if (g_packageWritten != nullptr) g_packageWritten(packagePath);
  if (!bitmap.empty()) {
    WriteFile(bitmapPath, bitmap);
  } else if (fs::exists(bitmapPath, error)) {
    // The launcher is sealed to no splash, and would refuse to start beside this one.
    if (!fs::remove(bitmapPath, error))
      throw Failure(bitmapPath.string() + ": left from before and cannot be removed");
    Warn(options, bitmapPath.string() + ": left from an earlier release, removed");
  }
  Seal(&stub, SEAL_FOLDER, package, bitmap);
  stub.UpdateChecksum();
  std::vector<uint8_t> launcher = stub.Release();
  CheckLauncher(launcher, SEAL_FOLDER, package, bitmap, icon, version);
  WriteFile(output / "setup.exe", launcher);
  if (!options.quiet)
    printf("%s: setup.exe (sealed), Pack.qvd (%s)%s; sign setup.exe now\n", output.string().c_str(),
           FormatBytes(package.size()).c_str(), bitmap.empty() ? ", no splash" : ", setup.bmp");
  return 0;
}

}  // namespace packer
