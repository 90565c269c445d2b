// A release as list, verify and extract take it: a package, a single-file setup.exe, a sealed
// folder or its setup.exe, or a plain launcher's folder. The package is found where the launcher
// finds it, through the launcher's own readers of package/bundle_format.h, and every check the
// launcher makes before it unpacks is made here too, so that a publisher hears of a release the
// launcher would refuse before any user does.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "package/bundle_format.h"
#include "packer/atomic_output.h"
#include "packer/input_files.h"
#include "packer/options.h"

namespace packer {

// The launcher's exit codes that a release can bring about before its installer starts.
const int kLauncherPackageOpenFailed = 1619;
const int kLauncherPackageInvalid = 1620;
const int kLauncherTempUnwritable = 1632;
const int kLauncherDiskFull = 112;

// What a launcher exit code means, in the words of the README's table.
const char* LauncherExitMeaning(int code);

struct ReleaseProblem {
  const char* code;  // stable, for scripts: the README lists them
  std::string message;
  bool warning;  // counts as a problem only with --werror
};

enum ReleaseKind {
  RELEASE_PACKAGE,      // a package file alone
  RELEASE_SINGLE_FILE,  // a setup.exe carrying its package and splash
  RELEASE_SEALED_FOLDER,
  RELEASE_PLAIN_FOLDER,  // the unsealed launcher beside Pack.qvd and setup.bmp
};

const char* ReleaseKindName(ReleaseKind kind);

// The release named on the command line, opened. Never throws for what is wrong with the
// release itself: that is a problem on the list, for verify to report. Throws FileFailure for a
// path that names nothing readable.
class ReleaseInput {
 public:
  explicit ReleaseInput(const std::filesystem::path& given);
  ~ReleaseInput();
  ReleaseInput(const ReleaseInput&) = delete;
  ReleaseInput& operator=(const ReleaseInput&) = delete;

  ReleaseKind kind() const { return kind_; }
  // The launcher's file; empty for a package alone.
  const std::filesystem::path& launcher() const { return launcher_; }
  // Where the package's bytes are now (a private copy for a single file, or standard input);
  // empty when the release has no package the launcher could find.
  const std::filesystem::path& path() const { return packagePath_; }
  bool HasPackage() const { return !packagePath_.empty(); }
  // The package as messages name it: the file, or "setup.exe (its package)".
  const std::string& name() const { return name_; }
  const std::vector<ReleaseProblem>& problems() const { return problems_; }
  // The exit code the launcher would end with on what is checked here; 0 when it would go on to
  // unpack the package.
  int launcherExit() const { return launcherExit_; }
  // The launcher's facts, for reports.
  bool isSigned() const { return signed_; }
  uint32_t sealFlags() const { return sealFlags_; }
  // The layout the seal names, whether or not the splash is stored compressed.
  uint32_t sealLayout() const { return sealFlags_ & ~uint32_t{SEAL_BITMAP_COMPRESSED}; }
  const std::string& version() const { return version_; }
  // Whether the launcher's code is that of the launcher installed with the tools (which a
  // release of this version makes): 1, 0, or -1 when there is none to compare with.
  int sameBuildAsInstalled() const { return sameBuild_; }

  // The bitmap the launcher would show, as it would find it (none: empty).
  const std::vector<uint8_t>& bitmap() const { return bitmap_; }

  // Adds a problem that the package itself has, found by the caller, with the launcher's code.
  void NotePackageDamage() {
    if (launcherExit_ == 0) launcherExit_ = kLauncherPackageInvalid;
  }

 private:
  void ReadLauncher(const std::filesystem::path& file, bool besideKnown);
  void ReadBeside(const std::filesystem::path& folder);
  // Whether the bitmap is the one sealed; problems for what differs.
  bool CheckSeal(const std::vector<uint8_t>& package, bool packageFound,
                 const SealedRelease& sealed);
  void CheckBitmapShowable();
  void Problem(const char* code, const std::string& message, int exitCode);
  void Warning(const char* code, const std::string& message);
  void KeepPackage(const std::vector<uint8_t>& bytes);

  ReleaseKind kind_ = RELEASE_PACKAGE;
  std::filesystem::path launcher_;
  std::filesystem::path packagePath_;
  std::string name_;
  std::vector<ReleaseProblem> problems_;
  int launcherExit_ = 0;
  bool signed_ = false;
  uint32_t sealFlags_ = 0;
  std::string version_;
  int sameBuild_ = -1;
  std::vector<uint8_t> bitmap_;
  std::unique_ptr<InputFile> input_;    // standard input's copy
  std::unique_ptr<AtomicOutput> copy_;  // a single file's package, while it is read
};

// Prints the release's own problems, for list and extract: each a warning, since what they
// read is the package either way. Throws Failure when the release has no package to read.
void WarnAboutRelease(const ReleaseInput& release, const std::string& given,
                      const Options& options);

// Whether `bitmap` is a BMP file the splash can show; null when it is, else why not.
const char* SplashProblem(const std::vector<uint8_t>& bitmap);

}  // namespace packer
