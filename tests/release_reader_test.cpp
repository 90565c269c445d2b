// list, verify and extract of a release as it ships: a single file, a sealed folder or its
// setup.exe, a plain launcher's folder. verify must refuse what the launcher would refuse, with
// the problem's code and the launcher's exit code; list and extract read the package the
// launcher would unpack.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>

#include "package/bundle_format.h"
#include "packer/bundle.h"
#include "packer/commands.h"
#include "packer/failure.h"
#include "packer/input_files.h"
#include "packer/options.h"
#include "packer/release/release_reader.h"
#include "support/test_stub.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

void Set32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> MakeBmp(uint8_t shade) {
  std::vector<uint8_t> bmp(54 + 4 * 4 * 3, shade);
  bmp[0] = 'B';
  bmp[1] = 'M';
  Set32(&bmp, 2, static_cast<uint32_t>(bmp.size()));
  Set32(&bmp, 10, 54);
  Set32(&bmp, 14, 40);
  return bmp;
}

// Where the test stub keeps its security directory entry: PE header at 0x80, 32-bit optional
// header after 24 bytes, the fifth data directory.
const size_t kSecurityEntry = 0x80 + 24 + 96 + 4 * 8;

class ReleaseReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ =
        fs::temp_directory_path() / ("release-reader-" + std::to_string(std::random_device()()));
    fs::create_directories(root_ / "payload" / "data");
    Write("payload/Installer.exe", "MZ an installer");
    Write("payload/data/readme.txt", std::string(3000, 'r'));
    WriteBytes("stub.exe", MakeTestStub());
    WriteBytes("splash.bmp", MakeBmp(0x80));
    options_.quiet = true;
    options_.jobs = 1;
    bundle_.source = root_ / "payload";
    bundle_.stub = root_ / "stub.exe";
    bundle_.splash = root_ / "splash.bmp";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(root_ / name, std::ios::binary) << text;
  }
  void WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(root_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  }
  std::vector<uint8_t> Read(const std::string& name) { return packer::ReadWholeFile(root_ / name); }

  void Folder() {
    bundle_.output = root_ / "release";
    bundle_.singleFile = false;
    ASSERT_EQ(packer::BundleCommand(bundle_, options_), 0);
  }
  void SingleFile() {
    bundle_.output = root_ / "setup.exe";
    bundle_.singleFile = true;
    ASSERT_EQ(packer::BundleCommand(bundle_, options_), 0);
  }

  struct Verdict {
    int exit;
    Json document;
    // The codes of the problems, in order; warnings marked with a '?'.
    std::vector<std::string> codes;
    int launcherExit() const {
      return document.contains("launcher_exit") ? document["launcher_exit"]["code"].get<int>() : 0;
    }
  };
  Verdict Verify(const std::string& name, bool werror = false) {
    packer::Options options = options_;
    options.json = true;
    options.werror = werror;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Verdict verdict{};
    try {
      verdict.exit = packer::VerifyCommand(root_ / name, options);
    } catch (const packer::Failure& failure) {
      verdict.exit = -1;
      ADD_FAILURE() << name << ": " << failure.what();
    }
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    verdict.document = Json::parse(out, nullptr, false);
    EXPECT_FALSE(verdict.document.is_discarded()) << out;
    if (verdict.document.is_discarded()) return verdict;
    for (const Json& problem : verdict.document["problems"])
      verdict.codes.push_back(problem["code"].get<std::string>() +
                              (problem.value("warning", false) ? "?" : ""));
    return verdict;
  }
  Json List(const std::string& name) {
    packer::Options options = options_;
    options.json = true;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(packer::ListCommand(root_ / name, options), 0);
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return Json::parse(out, nullptr, false);
  }
  // The files below `dir`, relative, with their contents.
  std::vector<std::pair<std::string, std::string>> Tree(const fs::path& dir) {
    std::vector<std::pair<std::string, std::string>> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
      std::string contents;
      if (entry.is_regular_file()) {
        std::ifstream in(entry.path(), std::ios::binary);
        contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
      tree.emplace_back(entry.path().lexically_relative(dir).generic_string(), contents);
    }
    std::sort(tree.begin(), tree.end());
    return tree;
  }
  // A certificate table behind everything, as signing leaves it.
  void Sign(const std::string& name) {
    std::vector<uint8_t> bytes = Read(name);
    bytes.resize((bytes.size() + 7) / 8 * 8, 0);
    Set32(&bytes, kSecurityEntry, static_cast<uint32_t>(bytes.size()));
    Set32(&bytes, kSecurityEntry + 4, 16);
    std::vector<uint8_t> certificate(16, 0x30);
    Set32(&certificate, 0, 16);
    bytes.insert(bytes.end(), certificate.begin(), certificate.end());
    WriteBytes(name, bytes);
  }

  fs::path root_;
  packer::Options options_;
  packer::BundleOptions bundle_;
};

// ---- What a publisher checks before upload: the release as the launcher will read it.

TEST_F(ReleaseReaderTest, APackageMadeAgainIntoASealedFolderIsTheLaunchersRefusal) {
  Folder();
  Verdict good = Verify("release");
  EXPECT_EQ(good.exit, 0);
  EXPECT_EQ(good.codes, (std::vector<std::string>{"unsigned?"}));
  EXPECT_EQ(good.document["release"], "sealed-folder");
  EXPECT_EQ(good.document["launcher"]["sealed"], "folder");
  EXPECT_EQ(good.launcherExit(), 0);
  EXPECT_NE(good.document["launcher"]["installed_build"], true)
      << "made from a stub of its own, never the installed launcher";

  // A typo mended in one data file, and the package made again into the release folder.
  Write("payload/data/readme.txt", std::string(2999, 'r') + "!");
  packer::Options create = options_;
  create.output = root_ / "release" / "Pack.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "payload", create), 0);
  EXPECT_EQ(Verify("release/Pack.qvd").exit, 0) << "the package alone is fine";
  for (const char* name : {"release", "release/setup.exe"}) {
    Verdict trap = Verify(name);
    EXPECT_EQ(trap.exit, 1) << name;
    EXPECT_EQ(trap.codes, (std::vector<std::string>{"unsigned?", "seal-mismatch"})) << name;
    EXPECT_EQ(trap.launcherExit(), packer::kLauncherPackageInvalid) << name;
    EXPECT_FALSE(trap.document["ok"]);
  }
}

TEST_F(ReleaseReaderTest, EachSealAndTrailerProblemHasItsCodeAndTheLaunchersExit) {
  Folder();
  SingleFile();
  const std::vector<uint8_t> single = Read("setup.exe");
  const std::vector<uint8_t> folderLauncher = Read("release/setup.exe");
  struct Case {
    const char* what;
    std::function<void()> damage;
    const char* verified;
    std::vector<std::string> codes;
    int launcherExit;
  };
  const uint32_t end = static_cast<uint32_t>(single.size());
  const Case cases[] = {
      {"another splash beside a sealed launcher",
       [&] { WriteBytes("release/setup.bmp", MakeBmp(0x81)); },
       "release",
       {"unsigned?", "bitmap-mismatch"},
       packer::kLauncherPackageInvalid},
      {"the splash removed",
       [&] { fs::remove(root_ / "release/setup.bmp"); },
       "release",
       {"unsigned?", "bitmap-mismatch"},
       packer::kLauncherPackageInvalid},
      {"the package removed",
       [&] { fs::remove(root_ / "release/Pack.qvd"); },
       "release",
       {"unsigned?", "no-package"},
       packer::kLauncherPackageOpenFailed},
      {"unknown seal flags",
       [&] {
         std::vector<uint8_t> bytes = folderLauncher;
         long seal = FindSealRecord(bytes.data(), bytes.size());
         Set32(&bytes, static_cast<size_t>(seal) + SEAL_FLAGS_OFFSET, SEAL_FOLDER | 4);
         WriteBytes("release/setup.exe", bytes);
       },
       "release/setup.exe",
       {"unsigned?", "seal-flags"},
       packer::kLauncherPackageInvalid},
      {"a single file cut short",
       [&] { WriteBytes("setup.exe", std::vector<uint8_t>(single.begin(), single.end() - 8)); },
       "setup.exe",
       {"unsigned?", "trailer"},
       packer::kLauncherPackageInvalid},
      {"bytes appended after the trailer",
       [&] {
         std::vector<uint8_t> bytes = single;
         bytes.resize(bytes.size() + 8, 0);
         WriteBytes("setup.exe", bytes);
       },
       "setup.exe",
       {"unsigned?", "trailer"},
       packer::kLauncherPackageInvalid},
      {"a trailer that points past the region",
       [&] {
         std::vector<uint8_t> bytes = single;
         Set32(&bytes, end - TRAILER_BYTES + 20, end);  // package size
         WriteBytes("setup.exe", bytes);
       },
       "setup.exe",
       {"unsigned?", "region"},
       packer::kLauncherPackageInvalid},
      {"a byte of the appended package changed",
       [&] {
         std::vector<uint8_t> bytes = single;
         bytes[MakeTestStub().size() + 20] ^= 1;
         WriteBytes("setup.exe", bytes);
       },
       "setup.exe",
       {"unsigned?", "seal-mismatch"},
       packer::kLauncherPackageInvalid},
      {"a byte of the appended bitmap changed",
       [&] {
         std::vector<uint8_t> bytes = single;
         bytes[end - TRAILER_BYTES - 8] ^= 1;
         WriteBytes("setup.exe", bytes);
       },
       "setup.exe",
       {"unsigned?", "bitmap-mismatch"},
       packer::kLauncherPackageInvalid},
      {"a program that is not the launcher",
       [&] {
         TestStubShape shape;
         shape.seal = false;
         WriteBytes("setup.exe", MakeTestStub(shape));
       },
       "setup.exe",
       {"not-a-launcher"},
       0},
  };
  for (const Case& c : cases) {
    c.damage();
    Verdict verdict = Verify(c.verified);
    EXPECT_EQ(verdict.exit, 1) << c.what;
    EXPECT_EQ(verdict.codes, c.codes) << c.what;
    EXPECT_EQ(verdict.launcherExit(), c.launcherExit) << c.what;
    // Put back for the next case.
    WriteBytes("setup.exe", single);
    WriteBytes("release/setup.exe", folderLauncher);
    WriteBytes("release/setup.bmp", MakeBmp(0x80));
    if (!fs::exists(root_ / "release/Pack.qvd")) Folder();
  }
  EXPECT_EQ(Verify("setup.exe").exit, 0) << "all put back";
}

TEST_F(ReleaseReaderTest, SignedOrNotAndTheSplashTheLauncherCanShow) {
  SingleFile();
  EXPECT_EQ(Verify("setup.exe").document["launcher"]["signed"], false);
  Verdict unsignedStrict = Verify("setup.exe", true);
  EXPECT_EQ(unsignedStrict.exit, 1) << "--werror makes an unsigned release fail";
  EXPECT_EQ(unsignedStrict.codes, (std::vector<std::string>{"unsigned"}));

  Sign("setup.exe");
  Verdict signedFile = Verify("setup.exe", true);
  EXPECT_EQ(signedFile.exit, 0) << "the region still ends before the certificates";
  EXPECT_TRUE(signedFile.codes.empty());
  EXPECT_EQ(signedFile.document["launcher"]["signed"], true);

  // The plain launcher reads what lies beside it unchecked; a bitmap the splash cannot show is
  // still a problem, though the launcher would go on without a splash.
  fs::create_directories(root_ / "plain");
  fs::copy_file(root_ / "stub.exe", root_ / "plain/setup.exe");
  packer::Options create = options_;
  create.output = root_ / "plain/Pack.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "payload", create), 0);
  Write("plain/setup.bmp", "BM but nothing more");
  Verdict plain = Verify("plain");
  EXPECT_EQ(plain.document["release"], "plain-folder");
  EXPECT_EQ(plain.document["launcher"]["sealed"], "no");
  EXPECT_EQ(plain.codes, (std::vector<std::string>{"unsigned?", "bitmap-unshowable"}));
  EXPECT_EQ(plain.exit, 1);
  EXPECT_EQ(plain.launcherExit(), 0);
}

TEST_F(ReleaseReaderTest, ListAndExtractOfASingleFileGiveThePackagesTree) {
  SingleFile();
  packer::Options create = options_;
  create.output = root_ / "alone.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "payload", create), 0);
  Json fromFile = List("setup.exe"), fromPackage = List("alone.qvd");
  EXPECT_EQ(fromFile["release"], "single-file");
  EXPECT_EQ(fromFile["entries"], fromPackage["entries"]);
  EXPECT_EQ(fromFile["files"], 2);

  packer::Options extract = options_;
  extract.splash = root_ / "shown.bmp";
  testing::internal::CaptureStderr();
  EXPECT_EQ(packer::ExtractCommand(root_ / "setup.exe", root_ / "out", extract), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Tree(root_ / "out"), Tree(root_ / "payload"));
  EXPECT_EQ(Read("shown.bmp"), MakeBmp(0x80));

  // A folder release, named by its folder: the same.
  Folder();
  testing::internal::CaptureStderr();
  EXPECT_EQ(packer::ExtractCommand(root_ / "release", root_ / "out2", options_), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Tree(root_ / "out2"), Tree(root_ / "payload"));

  // Nothing the launcher would find: a clear failure, nothing made.
  fs::remove(root_ / "release/Pack.qvd");
  testing::internal::CaptureStderr();
  EXPECT_THROW(packer::ExtractCommand(root_ / "release", root_ / "out3", options_),
               packer::Failure);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fs::exists(root_ / "out3"));
}

}  // namespace
