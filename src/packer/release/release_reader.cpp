// setuppack's reader of releases. The launcher's order is kept: a sealed launcher opens what
// its seal covers, checks the bitmap, then the package, and stops at the first failure, so the
// exit code named is the one the launcher would end with.
#include "packer/release/release_reader.h"
#include "packer/release/launcher_writer.h"

#include <algorithm>
#include <cstring>

#include "package/bundle_format.h"
#include "packer/atomic_output.h"
#include "packer/bundle.h"
#include "packer/failure.h"
#include "packer/input_files.h"
#include "packer/options.h"
#include "packer/release/digest.h"
#include "packer/release/pe_image.h"
#include "packer/release/resources.h"
#include "packer/system.h"

namespace packer {

namespace fs = std::filesystem;

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The file named `name` in `folder` as Windows would find it, whatever its letter case.
fs::path Beside(const fs::path& folder, const std::string& name) {
  std::error_code error;
  fs::path exact = folder / name;
  if (fs::is_regular_file(exact, error)) return exact;
  auto lower = [](std::string text) {
    for (char& c : text)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
  };
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (lower(it->path().filename().string()) == lower(name) && it->is_regular_file(error))
      return it->path();
  return fs::path();
}

bool StartsLikeAProgram(const fs::path& path) {
  FILE* file = OpenForReading(path);
  if (file == nullptr) throw FileFailure(path.string() + ": cannot be opened");
  char head[2] = {};
  size_t got = fread(head, 1, 2, file);
  fclose(file);
  return got == 2 && head[0] == 'M' && head[1] == 'Z';
}

// The code of a program: what branding and sealing leave as it was, so that two launchers of
// one build compare equal however they were branded.
std::vector<uint8_t> CodeOf(const PeImage& image) {
  for (const PeSection& section : image.sections())
    if (section.name == ".text")
      return std::vector<uint8_t>(image.bytes().begin() + section.rawOffset,
                                  image.bytes().begin() + section.rawOffset + section.rawSize);
  return {};
}

// Whether `image` is the launcher the tools were installed with: 1, 0, or -1 when there is no
// installed launcher to compare with.
int SameBuildAsInstalled(const PeImage& image) {
  try {
    PeImage installed(ReadWholeFile(DefaultStub()), "the installed launcher");
    std::vector<uint8_t> code = CodeOf(image);
    return !code.empty() && code == CodeOf(installed) ? 1 : 0;
  } catch (const Failure&) {
    return -1;
  }
}

// The bitmap of a folder release: setup.bmp beside the launcher, where a missing one is none.
std::vector<uint8_t> FolderBitmap(const fs::path& folder) {
  fs::path bitmap = Beside(folder, "setup.bmp");
  return bitmap.empty() ? std::vector<uint8_t>() : ReadWholeFile(bitmap);
}

}  // namespace

const char* LauncherExitMeaning(int code) {
  switch (code) {
    case 0:
      return "the installer is started";
    case kLauncherPackageOpenFailed:
      return "the package cannot be opened";
    case kLauncherPackageInvalid:
      return "the package is invalid, damaged or differs from the seal";
    case kLauncherTempUnwritable:
      return "the temporary directory cannot be written";
    case kLauncherDiskFull:
      return "the disk is full";
  }
  return "unknown";
}

const char* ReleaseKindName(ReleaseKind kind) {
  switch (kind) {
    case RELEASE_PACKAGE:
      break;
    case RELEASE_SINGLE_FILE:
      return "single-file";
    case RELEASE_SEALED_FOLDER:
      return "sealed-folder";
    case RELEASE_PLAIN_FOLDER:
      return "plain-folder";
  }
  return "package";
}

const char* SplashProblem(const std::vector<uint8_t>& bitmap) {
  if (bitmap.size() >= 8 && std::equal(kPngSignature, kPngSignature + 8, bitmap.begin()))
    return "a PNG image; the splash must be a BMP file (convert it first, for instance with "
           "ImageMagick: convert splash.png BMP3:setup.bmp)";
  if (bitmap.size() < 26 || bitmap[0] != 'B' || bitmap[1] != 'M') return "not a BMP file";
  uint32_t header = Read32(&bitmap[14]);
  uint32_t pixels = Read32(&bitmap[10]);
  bool knownHeader = header == 12 || header == 40 || header == 52 || header == 56 ||
                     header == 108 || header == 124;
  if (!knownHeader || 14 + header > bitmap.size() || pixels >= bitmap.size())
    return "a damaged or unknown kind of BMP file";
  return nullptr;
}

ReleaseInput::ReleaseInput(const fs::path& given) : name_(given.string()) {
  std::error_code error;
  if (IsStandardStream(given)) {
    input_.reset(new InputFile(given));
    if (StartsLikeAProgram(input_->path())) {
      ReadLauncher(input_->path(), false);
    } else {
      packagePath_ = input_->path();
    }
    return;
  }
  if (fs::is_directory(given, error)) {
    fs::path launcher = Beside(given, "setup.exe");
    if (launcher.empty()) {
      // A folder of the plain layout without its launcher yet: the package is what there is.
      fs::path package = Beside(given, "Pack.qvd");
      if (package.empty())
        throw FileFailure(given.string() + ": a folder with neither setup.exe nor Pack.qvd");
      kind_ = RELEASE_PLAIN_FOLDER;
      packagePath_ = package;
      name_ = package.string();
      bitmap_ = FolderBitmap(given);
      CheckBitmapShowable();
      return;
    }
    ReadLauncher(launcher, true);
    return;
  }
  if (!fs::is_regular_file(given, error)) throw FileFailure(given.string() + ": not a file");
  if (StartsLikeAProgram(given))
    ReadLauncher(given, true);
  else
    packagePath_ = given;
}

ReleaseInput::~ReleaseInput() = default;

void ReleaseInput::Problem(const char* code, const std::string& message, int exitCode) {
  problems_.push_back({code, message, false});
  if (launcherExit_ == 0) launcherExit_ = exitCode;
}

void ReleaseInput::Warning(const char* code, const std::string& message) {
  problems_.push_back({code, message, true});
}

void ReleaseInput::KeepPackage(const std::vector<uint8_t>& bytes) {
  // The commands read a package from a file of its own: the region's package is copied out,
  // privately, for as long as the command runs.
  copy_.reset(new AtomicOutput(fs::path("-"), true));  // read again by its name
  copy_->Write(bytes.data(), bytes.size());
  packagePath_ = copy_->Close();
}

void ReleaseInput::ReadLauncher(const fs::path& file, bool besideKnown) {
  launcher_ = file;
  const std::string shown = input_ ? std::string("standard input") : file.string();
  std::vector<uint8_t> bytes = ReadWholeFile(file);
  kind_ = RELEASE_SINGLE_FILE;

  // As the launcher finds its sections' end: from the head of its file alone.
  PeLayout layout;
  bool laidOut = ReadPeLayout(bytes.data(), std::min<size_t>(bytes.size(), STUB_HEADER_BYTES),
                              bytes.size(), &layout) != 0;
  long seal = laidOut ? FindSealRecord(bytes.data(), layout.sectionsEnd) : -1;
  if (seal < 0) {
    Problem("not-a-launcher",
            shown + ": not this launcher (no seal record in a program whose headers it reads)",
            kLauncherPackageInvalid);
    launcherExit_ = 0;  // nothing can be said of another program's exit
    return;
  }
  try {
    PeImage image(bytes, shown);
    signed_ = image.IsSigned();
    sameBuild_ = SameBuildAsInstalled(image);
    for (const Resource& resource : ReadResources(image, shown))
      if (resource.type.id == kResourceVersion) {
        VersionInfo info = ReadVersionResource(resource.data, shown);
        for (const auto& field : info.strings)
          if (field.first == "FileVersion") version_ = field.second;
      }
  } catch (const Failure& failure) {
    Warning("resources", failure.what());
  }
  if (!signed_)
    Warning("unsigned", shown + ": carries no Authenticode signature (sign it before upload)");

  // The seal as the launcher reads it, with the launcher's own reader: the two never disagree.
  const unsigned char* trailerBytes = laidOut && layout.regionEnd >= layout.sectionsEnd &&
                                              layout.regionEnd - layout.sectionsEnd >= TRAILER_BYTES
                                          ? bytes.data() + layout.regionEnd - TRAILER_BYTES
                                          : nullptr;
  SealedRelease sealed;
  SealStatus status =
      ReadSealedRelease(bytes.data() + seal, laidOut ? &layout : nullptr, trailerBytes, &sealed);
  sealFlags_ = sealed.flags;
  fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();

  if (status == SEAL_NO_REGION || status == SEAL_REGION_DIFFERS) {
    name_ = shown + " (its package)";
    bool magic =
        trailerBytes != nullptr && memcmp(trailerBytes, TRAILER_MAGIC, TRAILER_MAGIC_BYTES) == 0;
    Problem(status == SEAL_REGION_DIFFERS ? "seal-mismatch"
            : magic                       ? "region"
                                          : "trailer",
            shown + (status == SEAL_REGION_DIFFERS
                         ? ": the appended package or bitmap is not of the size the launcher is "
                           "sealed to"
                     : magic ? ": the trailer places the package or the bitmap outside the "
                               "appended region"
                             : ": no trailer ends the appended region (cut, or data appended "
                               "after it)"),
            kLauncherPackageInvalid);
    return;
  }
  if (status == SEAL_NOT_UNDERSTOOD) {
    Problem("seal-flags",
            shown + ": seal flags " + std::to_string(sealFlags_) + " are not understood",
            kLauncherPackageInvalid);
    return;
  }
  if (status == SEAL_OK && (sealFlags_ & ~uint32_t{SEAL_BITMAP_COMPRESSED}) == SEAL_SINGLE_FILE) {
    name_ = shown + " (its package)";
    std::vector<uint8_t> stored(bytes.begin() + sealed.bitmapPosition,
                                bytes.begin() + sealed.bitmapPosition + sealed.bitmapSize);
    std::vector<uint8_t> package(bytes.begin() + sealed.packagePosition,
                                 bytes.begin() + sealed.packagePosition + sealed.packageSize);
    bitmap_ = stored;
    // A compressed splash is checked as stored, then decoded as the launcher decodes it; one
    // that differs from the seal is never decoded.
    const bool bitmapSealed = CheckSeal(package, true, sealed);
    if (sealed.bitmapCompressed && !stored.empty()) {
      bitmap_ = bitmapSealed ? DecodeStoredBitmap(stored) : std::vector<uint8_t>();
      if (bitmapSealed && bitmap_.empty())
        Problem("bitmap-mismatch",
                shown + ": the appended bitmap does not decode (the launcher refuses it)",
                kLauncherPackageInvalid);
    }
    CheckBitmapShowable();
    KeepPackage(package);
    return;
  }

  kind_ = sealFlags_ == SEAL_FOLDER ? RELEASE_SEALED_FOLDER : RELEASE_PLAIN_FOLDER;
  if (!besideKnown) {
    Problem("no-package",
            shown +
                ": a launcher that reads its package from beside itself, which standard "
                "input has not",
            kLauncherPackageOpenFailed);
    return;
  }
  fs::path package = Beside(folder, "Pack.qvd");
  bitmap_ = FolderBitmap(folder);
  if (package.empty()) {
    Problem("no-package", (folder / "Pack.qvd").string() + ": missing beside the launcher",
            kLauncherPackageOpenFailed);
    CheckBitmapShowable();
    return;
  }
  name_ = package.string();
  if (sealFlags_ == SEAL_FOLDER) CheckSeal(ReadWholeFile(package), true, sealed);
  CheckBitmapShowable();
  packagePath_ = package;
}

bool ReleaseInput::CheckSeal(const std::vector<uint8_t>& package, bool packageFound,
                             const SealedRelease& sealed) {
  const bool single = kind_ == RELEASE_SINGLE_FILE;
  const std::string where = single ? launcher_.string() + ": " : name_ + ": ";
  // The bitmap first, as the launcher checks it before the splash shows it.
  const bool bitmapSealed = bitmap_.size() == sealed.bitmapSize &&
                            memcmp(Sha256(bitmap_).data(), sealed.bitmapHash, SHA256_BYTES) == 0;
  if (!bitmapSealed)
    Problem("bitmap-mismatch",
            (single ? where + "the appended bitmap"
                    : (launcher_.parent_path() / "setup.bmp").string() + ":") +
                (bitmap_.empty() ? " is missing, but the launcher is sealed to one"
                                 : " differs from the bitmap the launcher is sealed to"),
            kLauncherPackageInvalid);
  if (packageFound && (package.size() != sealed.packageSize ||
                       memcmp(Sha256(package).data(), sealed.packageHash, SHA256_BYTES) != 0))
    Problem("seal-mismatch",
            where + (single ? "the appended package differs from the one the launcher is sealed to"
                            : "differs from the package the launcher is sealed to (made again "
                              "after bundling? bundle the release again)"),
            kLauncherPackageInvalid);
  return bitmapSealed;
}

void ReleaseInput::CheckBitmapShowable() {
  if (bitmap_.empty()) return;
  if (const char* why = SplashProblem(bitmap_))
    Problem("bitmap-unshowable",
            (kind_ == RELEASE_SINGLE_FILE ? launcher_.string() + ": the appended bitmap: "
                                          : "setup.bmp: ") +
                why + "; the launcher shows no splash",
            0);
}

void WarnAboutRelease(const ReleaseInput& release, const std::string& given,
                      const Options& options) {
  for (const ReleaseProblem& problem : release.problems())
    if (!(problem.warning && strcmp(problem.code, "unsigned") == 0))
      Warn(options, problem.message + " [" + problem.code + "]");
  if (!release.HasPackage())
    throw Failure(given + ": no package the launcher would find; 'setuppack verify' tells more");
}

}  // namespace packer
