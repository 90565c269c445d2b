// The launcher: shows the splash, unpacks "Pack.qvd" from beside itself into a fresh temporary
// directory, runs the installer from there with the launcher's own arguments, waits for it and
// cleans up. It shows no message; its exit code is the installer's, or one of its own failures
// that a deployment tool reads as such, and a failure leaves one line for a debugger or a
// debug-output viewer, and in the log when one is asked for. A sealed launcher takes the package
// and the bitmap from beside itself or from its own file, and only as the seal's hashes say.
#include <windows.h>

#include "common/code_page.h"
#include "common/paths.h"
#include "common/platform.h"
#include "launcher/dll_search.h"
#include "launcher/install_dir.h"
#include "launcher/installer.h"
#include "launcher/run_log.h"
#include "launcher/sealed_copy.h"
#include "package/bundle_format.h"
#include "package/extract.h"
#include "package/tree_walk.h"
#include "splash/splash.h"

namespace {

// The launcher's own exit codes, the system's codes whose standard texts say what happened, so
// that a console or a deployment tool translates them right. Once the installer was started,
// the exit code is the installer's.
enum {
  EXIT_INSTALLER_STARTED = 0,  // within the launcher: nothing failed
  // ERROR_INSTALL_PACKAGE_OPEN_FAILED: no package beside the launcher, or it cannot be read
  EXIT_PACKAGE_UNREADABLE = 1619,
  // ERROR_INSTALL_TEMP_UNWRITABLE
  EXIT_NO_TEMPORARY_DIRECTORY = 1632,
  // ERROR_INSTALL_PACKAGE_INVALID: broken or unsafe, a read or write failed while unpacking, or
  // no installer in it
  EXIT_PACKAGE_DAMAGED = 1620,
  // ERROR_DISK_FULL: the package needs more than the temporary directory's disk has
  EXIT_NO_SPACE = 112,
  // ERROR_INSTALL_FAILURE: the installer cannot be started and the system gave no reason
  EXIT_INSTALLER_NOT_STARTED = 1603,
};

// The first problem unpacking met, kept for the debug line.
char g_problem[2 * PATH_BUFFER];

void Append(char* out, size_t size, const char* text) {
  size_t used = lstrlenA(out);
  lstrcpynA(out + used, text, static_cast<int>(size - used));
}

void KeepFirstProblem(void*, const char* where, const char* what) {
  if (g_problem[0] != '\0') return;
  Append(g_problem, sizeof g_problem, where);
  Append(g_problem, sizeof g_problem, ": ");
  Append(g_problem, sizeof g_problem, what);
}

// One line, "setup: what: path (detail)", which costs nothing without a listener; the same in
// the log, after the exit code.
int Fail(int code, const char* what, const char* path, const char* detail) {
  char line[4 * PATH_BUFFER] = "setup: ";
  Append(line, sizeof line, what);
  Append(line, sizeof line, ": ");
  Append(line, sizeof line, path);
  if (detail != nullptr && detail[0] != '\0') {
    Append(line, sizeof line, " (");
    Append(line, sizeof line, detail);
    Append(line, sizeof line, ")");
  }
  LogNumber("failed, exit code ", static_cast<DWORD>(code));
  LogLine("", line);
  Append(line, sizeof line, "\n");
  OutputDebugStringA(line);
  return code;
}

int NoTemporaryDirectory(const char* what) {
  char temp[PATH_BUFFER];
  if (!GetTempDirectory(temp, MAX_PATH)) lstrcpyA(temp, "unknown temporary directory");
  return Fail(EXIT_NO_TEMPORARY_DIRECTORY, what, temp, nullptr);
}

int ExtractFailure(ExtractStatus status, const char* packagePath) {
  switch (status) {
    case EXTRACT_OK:
      break;
    case EXTRACT_NO_STAGING:
      return NoTemporaryDirectory("cannot create a staging directory");
    case EXTRACT_UNREADABLE:
      return Fail(EXIT_PACKAGE_UNREADABLE, "package missing or unreadable", packagePath, g_problem);
    case EXTRACT_DAMAGED:
      return Fail(EXIT_PACKAGE_DAMAGED, "package damaged", packagePath, g_problem);
    case EXTRACT_NO_SPACE:
      return Fail(EXIT_NO_SPACE, "not enough disk space to unpack", packagePath, g_problem);
  }
  return EXIT_INSTALLER_STARTED;
}

// The seal the packer patches (package/bundle_format.h); as built, flags 0: the plain launcher.
// In a section of its own, which the linker merges into .data, so that --gc-sections keeps it
// as long as it is read and nothing else lands inside it; volatile, so that every read goes to
// the patched bytes and never to the zeros the compiler saw.
__attribute__((used, section(".data$seal"))) volatile SealRecord g_seal = UNSEALED_RECORD;

// A sealed launcher's private directory, holding its checked copy of the bitmap ("b"), made only
// for a splash; empty while there is none. The name is short so that it fits below any
// directory the launcher can make.
char g_sealedDir[PATH_BUFFER];
// The bitmap the splash shows. The splash thread may read the path late, so it lives as long as
// the process.
char g_bitmapPath[PATH_BUFFER];
// The start of the launcher's own file, then its trailer.
unsigned char g_head[STUB_HEADER_BYTES];

// What the seal covers, held open from the check until the package is unpacked: the package's
// file (Pack.qvd or the launcher's own) and the bitmap's (setup.bmp, the launcher's own, or
// none).
struct Sealed {
  SealedRelease release;
  FILE* package;
  FILE* bitmap;
  char packagePath[PATH_BUFFER];
  char bitmapPath[PATH_BUFFER];
};

// Opens `path` so that, while it is open, others may read it but neither write, rename nor
// delete it: what is checked is then what is read. Null when it is missing, or when another
// program holds it open for writing, as such a file may change under the check.
FILE* OpenHeld(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : StreamOnHandle(file, 0);
}

int CannotHold(const char* path) {
  return Fail(EXIT_PACKAGE_UNREADABLE, "package missing or unreadable", path,
              "open for writing elsewhere");
}

// A file of another size than sealed reads as one of other bytes: it is, and is refused unread.
const char PACKAGE_DIFFERS[] = "package differs from the seal";
const char BITMAP_DIFFERS[] = "bitmap differs from the seal";

// 1 when the open `file` has exactly `size` bytes.
int HasSize(FILE* file, uint32_t size) {
  unsigned long long bytes;
  return GetOpenFileSize(file, &bytes) && bytes == size;
}

// Opens what the seal covers and learns where it lies, sizes first, before a byte of it is
// read; EXIT_INSTALLER_STARTED or the exit code of the failure. A missing setup.bmp is no
// bitmap, zero bytes, which is what a release without a splash is sealed with.
int OpenSealed(Sealed* sealed) {
  unsigned char record[SEAL_RECORD_BYTES];
  const volatile unsigned char* seal = reinterpret_cast<const volatile unsigned char*>(&g_seal);
  for (int i = 0; i < SEAL_RECORD_BYTES; ++i) record[i] = seal[i];
  SealStatus status = ReadSealedRelease(record, nullptr, nullptr, &sealed->release);
  if (status == SEAL_NO_REGION) {
    FILE* self;
    if (!GetLauncherPath(sealed->packagePath, MAX_PATH) ||
        (self = OpenHeld(sealed->packagePath)) == nullptr)
      return CannotHold(sealed->packagePath);
    sealed->package = self;
    lstrcpyA(sealed->bitmapPath, sealed->packagePath);
    unsigned long long fileSize;
    PeLayout layout;
    if (GetOpenFileSize(self, &fileSize) &&
        ReadPeLayout(g_head, fread(g_head, 1, sizeof g_head, self), fileSize, &layout) &&
        fseek(self, static_cast<long>(layout.regionEnd) - TRAILER_BYTES, SEEK_SET) == 0 &&
        fread(g_head, 1, TRAILER_BYTES, self) == TRAILER_BYTES)
      status = ReadSealedRelease(record, &layout, g_head, &sealed->release);
    if (status == SEAL_NO_REGION)
      return Fail(EXIT_PACKAGE_DAMAGED, "package damaged", sealed->packagePath,
                  "no sealed package appended");
    if (status == SEAL_REGION_DIFFERS)
      return Fail(EXIT_PACKAGE_DAMAGED, "package damaged", sealed->packagePath, PACKAGE_DIFFERS);
    if (sealed->release.bitmapSize != 0) sealed->bitmap = self;
    return EXIT_INSTALLER_STARTED;
  }
  if (status != SEAL_OK)
    return Fail(EXIT_PACKAGE_DAMAGED, "package damaged", "setup.exe", "seal not understood");
  if (!GetPackagePath(sealed->packagePath) ||
      (sealed->package = OpenHeld(sealed->packagePath)) == nullptr)
    return CannotHold(sealed->packagePath);
  if (!HasSize(sealed->package, sealed->release.packageSize))
    return Fail(EXIT_PACKAGE_DAMAGED, "package damaged", sealed->packagePath, PACKAGE_DIFFERS);
  // A bitmap that cannot be named cannot be planted either: it is none.
  if (GetSplashBitmapPath(sealed->bitmapPath) &&
      (sealed->bitmap = OpenHeld(sealed->bitmapPath)) == nullptr &&
      GetLastError() != ERROR_FILE_NOT_FOUND)
    return CannotHold(sealed->bitmapPath);
  if (sealed->bitmap != nullptr ? !HasSize(sealed->bitmap, sealed->release.bitmapSize)
                                : sealed->release.bitmapSize != 0)
    return Fail(EXIT_PACKAGE_DAMAGED, "package damaged", sealed->bitmapPath, BITMAP_DIFFERS);
  return EXIT_INSTALLER_STARTED;
}

int Differs(const char* path, SealedCopy checked, const char* differs) {
  return Fail(EXIT_PACKAGE_DAMAGED, "package damaged", path,
              checked == COPY_DIFFERS ? differs : "cannot be read and checked");
}

// Checks the bitmap and puts what the splash shows into the private directory, as g_bitmapPath:
// a stored bitmap is copied as it is hashed, a compressed one hashed where it lies and then
// decoded from the same open file. EXIT_INSTALLER_STARTED or the failure's exit code.
int TakeBitmap(const Sealed& sealed) {
  const SealedRelease& release = sealed.release;
  if (!MakeStagingDir(g_sealedDir))
    return NoTemporaryDirectory("cannot create a private directory");
  JoinPath(g_bitmapPath, g_sealedDir, "b");
  SealedCopy checked = CopySealed(release.bitmapCompressed ? nullptr : g_bitmapPath, sealed.bitmap,
                                  release.bitmapPosition, release.bitmapSize, release.bitmapHash);
  // A sealed stream that does not decode is the packer's fault; it reads as a failed read.
  if (checked == COPY_MATCHES && release.bitmapCompressed &&
      !DecodeSealed(g_bitmapPath, sealed.bitmap, release.bitmapPosition, release.bitmapSize))
    checked = COPY_FAILED;
  if (checked != COPY_MATCHES) return Differs(sealed.bitmapPath, checked, BITMAP_DIFFERS);
  return EXIT_INSTALLER_STARTED;
}

// The installer's command line: its quoted path and the launcher's arguments, 32767 characters at
// most.
wchar_t g_commandLine[32768];

int Launch(HINSTANCE instance) {
  char installDir[PATH_BUFFER];
  char packagePath[PATH_BUFFER];  // the plain launcher's package, beside it
  char installerPath[PATH_BUFFER];
  Sealed sealed = {};
  // Where the package came from, for the debug line.
  const char* packageSource = packagePath;

  HWND splash = nullptr;
  // Started hidden, as deployment agents start their commands, the launcher shows nothing.
  int hidden = StartedHidden();
  if (g_seal.flags == 0) {
    GetSplashBitmapPath(g_bitmapPath);
    if (!hidden) splash = ShowSplash(instance, SW_SHOW, g_bitmapPath);
    if (!GetPackagePath(packagePath))
      return Fail(EXIT_PACKAGE_UNREADABLE, "cannot tell the launcher's own folder", "Pack.qvd",
                  nullptr);
  } else {
    // The bitmap is checked before the splash shows it, the package before anything reads it;
    // both stay open, and so unchanged, until the package is unpacked.
    int failure = OpenSealed(&sealed);
    if (failure == EXIT_INSTALLER_STARTED && sealed.release.bitmapSize != 0)
      failure = TakeBitmap(sealed);
    if (failure != EXIT_INSTALLER_STARTED) return failure;
    if (!hidden)
      splash =
          ShowSplash(instance, SW_SHOW, sealed.release.bitmapSize != 0 ? g_bitmapPath : nullptr);
    const SealedRelease& release = sealed.release;
    SealedCopy checked = CopySealed(nullptr, sealed.package, release.packagePosition,
                                    release.packageSize, release.packageHash);
    if (checked != COPY_MATCHES) return Differs(sealed.packagePath, checked, PACKAGE_DIFFERS);
    packageSource = sealed.packagePath;
  }
  // Without a temporary directory of its own the launcher has nowhere safe to unpack.
  if (!MakeInstallDir(installDir))
    return NoTemporaryDirectory("cannot create an install directory");
  LogLine("install directory: ", installDir);

  ProblemReporter reporter = {KeepFirstProblem, nullptr, nullptr};
  ExtractStatus extracted =
      sealed.package != nullptr
          ? ExtractOpenPackage(sealed.package, sealed.release.packagePosition,
                               sealed.release.packageSize, installDir, &reporter)
          : ExtractPackage(packagePath, installDir, &reporter);
  if (sealed.package != nullptr) fclose(sealed.package);
  if (sealed.bitmap != nullptr && sealed.bitmap != sealed.package) fclose(sealed.bitmap);
  int failure = ExtractFailure(extracted, packageSource);

  CloseSplash(splash);

  // An installer that came out of a damaged package, or only partly, is not run.
  HANDLE installer = nullptr;
  if (failure == EXIT_INSTALLER_STARTED) {
    DWORD error = 0;
    if (JoinPath(installerPath, installDir, "Installer.exe")) {
      installer = StartInstaller(installerPath, SkipProgramName(GetCommandLineW()), g_commandLine,
                                 sizeof g_commandLine / sizeof *g_commandLine, &error);
      LogWideLine("installer command line: ", g_commandLine);
    }
    if (installer == nullptr) {
      // Not there at all: the package has no installer.
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        failure = Fail(EXIT_PACKAGE_DAMAGED, "no installer in the package", installerPath, nullptr);
      else
        failure = Fail(error != 0 ? static_cast<int>(error) : EXIT_INSTALLER_NOT_STARTED,
                       "installer cannot be started", installerPath, nullptr);
    }
  }

  if (installer != nullptr) {
    WaitForSingleObject(installer, INFINITE);
    DWORD code = EXIT_INSTALLER_NOT_STARTED;
    GetExitCodeProcess(installer, &code);
    LogNumber("installer exit code: ", code);
    failure = static_cast<int>(code);
  }

  if (!RemoveTree(installDir)) LogLine("not removed, in part or whole: ", installDir);
  return failure;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  RestrictDllSearch();
  // Names and paths are in the system's ANSI code page, which may have double-byte characters.
  SetNameCodePage(static_cast<int>(GetACP()));
  OpenRunLog();
  wchar_t self[PATH_BUFFER];
  DWORD length = GetModuleFileNameW(nullptr, self, PATH_BUFFER);
  if (length == 0 || length >= PATH_BUFFER) self[0] = L'\0';
  uint32_t sealFlags = g_seal.flags;
  // Only a single file's splash may be compressed.
  uint32_t singleFile = sealFlags & ~static_cast<uint32_t>(SEAL_BITMAP_COMPRESSED);
  LogWideLine(sealFlags == 0                   ? "start, plain: "
              : singleFile == SEAL_SINGLE_FILE ? "start, sealed single file: "
              : sealFlags == SEAL_FOLDER       ? "start, sealed folder: "
                                               : "start, seal not understood: ",
              self);
  int code = Launch(instance);
  if (g_sealedDir[0] != '\0' && !RemoveTree(g_sealedDir))
    LogLine("not removed, in part or whole: ", g_sealedDir);
  LogNumber("end, exit code ", static_cast<DWORD>(code));
  return code;
}

// The process starts here rather than in the C runtime's start-up code, which would bring
// thread-local storage, relocation fixing, argument splitting and unwind tables into the stub
// for nothing it uses (several kilobytes); the runtime's library initialises itself when it is
// loaded. The stub has no static constructors to run.
extern "C" void SetupEntry() {
  ExitProcess(WinMain(GetModuleHandleA(nullptr), nullptr, nullptr, 0));
}
