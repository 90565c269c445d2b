// setuppack bundle. Everything that can be refused (the stub, the icon, the splash, the version
// text) is checked before anything is written; each file of the release is written beside its
// target and renamed into place, the launcher last, so an interrupted run never leaves a launcher
// sealed to files that are not there.
#include "packer/bundle.h"

#include <algorithm>
#include <optional>

#include "package/bundle_format.h"
#include "packer/atomic_output.h"
#include "packer/commands.h"
#include "packer/failure.h"
#include "packer/input_files.h"
#include "packer/options.h"
#include "packer/release/launcher_writer.h"
#include "packer/release/release_reader.h"
#include "packer/stop_cleanup.h"
#include "packer/system.h"
#include "packer/terminal.h"

namespace packer {

namespace {

namespace fs = std::filesystem;

// Where the install puts the stub: <prefix>/share/<project>/setup.exe beside <prefix>/bin.
const char kProjectName[] = "setup_launcher";

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  AtomicOutput out(path);
  out.Write(bytes.data(), bytes.size());
  out.Commit();
}

// The launcher shows the splash with the system's bitmap loader, which takes BMP files only.
void CheckSplash(const std::vector<uint8_t>& bitmap, const fs::path& path) {
  if (const char* why = SplashProblem(bitmap)) throw Failure(path.string() + ": " + why);
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

std::string SplashReport(const std::vector<uint8_t>& bitmap, const std::vector<uint8_t>& stored,
                         bool compressed) {
  if (bitmap.empty()) return "none";
  if (!compressed) return FormatBytes(bitmap.size()) + ", stored as it is";
  return FormatBytes(stored.size()) + " compressed from " + FormatBytes(bitmap.size());
}

// A package given as a file is checked as `verify` does before it goes into a release.
void CheckPackage(const fs::path& path, const Options& options) {
  Options quiet = options;
  quiet.quiet = true;
  if (VerifyCommand(path, quiet) != 0)
    throw Failure(path.string() + ": the package has problems; no release was made");
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
