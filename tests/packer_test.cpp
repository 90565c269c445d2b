// The packer's commands end to end on real directories: what it packs comes back byte-exactly,
// what it refuses leaves nothing behind, and damaged packages get errors, never crashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "packer/atomic_output.h"
#include "packer/commands.h"
#include "packer/failure.h"
#include "packer/options.h"
#include "packer/source_tree.h"
#include "packer/system.h"
#include "packer/terminal.h"
#include "support/bit_writer.h"
#include "support/package_builder.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using packer::Failure;
using packer::Options;

class PackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ =
        fs::temp_directory_path() / ("setuppack-test-" + std::to_string(std::random_device()()));
    fs::create_directories(root_ / "src");
    options_.quiet = true;
    options_.jobs = 2;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void Write(const fs::path& relative, const std::string& contents) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary) << contents;
  }
  std::string Read(const fs::path& relative) {
    std::ifstream in(root_ / relative, std::ios::binary | std::ios::ate);
    std::string contents(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
    in.seekg(0);
    in.read(&contents[0], static_cast<std::streamsize>(contents.size()));
    return contents;
  }
  // Names of everything in the test's directory, so a test can see that nothing stray stayed.
  std::vector<std::string> Listing(const fs::path& relative = "") {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(root_ / relative))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  int Create(const std::string& output = "Pack.qvd") {
    options_.output = root_ / output;
    return packer::CreateCommand(root_ / "src", options_);
  }
  void ExpectCreateRefused() {
    std::vector<std::string> before = Listing();
    EXPECT_THROW(Create(), Failure);
    EXPECT_FALSE(fs::exists(root_ / "Pack.qvd"));
    EXPECT_EQ(Listing(), before) << "no partial output";
  }

  fs::path root_;
  Options options_;
};

void WritePackage(const fs::path& path, const std::vector<std::string>& directories,
                  const std::vector<TestFile>& files) {
  std::vector<uint8_t> package = BuildPackage(directories, files);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(package.data()), static_cast<long>(package.size()));
}

// What a command printed on standard output (or error), and its exit code; a Failure counts as 1.
struct Printed {
  std::string text;
  int code;
};

template <typename Command>
Printed Capture(bool standardError, Command command) {
  Printed printed;
  standardError ? testing::internal::CaptureStderr() : testing::internal::CaptureStdout();
  try {
    printed.code = command();
  } catch (const Failure&) {
    printed.code = 1;
  }
  printed.text = standardError ? testing::internal::GetCapturedStderr()
                               : testing::internal::GetCapturedStdout();
  return printed;
}

// True when `text` is lines of plain ASCII or UTF-8 text: no control byte but the line ends, no
// DEL, no C1 control in either form.
bool OnlyPrintable(const std::string& text, bool utf8) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    if (c >= 0x80 && (!utf8 || (c == 0xC2 && i + 1 < text.size() &&
                                static_cast<unsigned char>(text[i + 1]) < 0xA0)))
      return false;
  }
  return true;
}

std::string Sample(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string text;
  const char* words[] = {"alpha ", "beta ", "gamma\n", "\x01\x02", "delta "};
  while (text.size() < size) text += words[random() % 5];
  text.resize(size);
  return text;
}

// The names in a package's tables, and where each file's blob lies.
struct Record {
  std::string name;
  uint32_t offset;
  uint32_t size;
};
struct Tables {
  std::vector<std::string> directories;
  std::vector<Record> files;
  std::vector<std::string> fileNames() const {
    std::vector<std::string> names;
    for (const Record& file : files) names.push_back(file.name);
    return names;
  }
};

Tables ReadTables(const std::string& package) {
  auto u32 = [&](size_t at) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) value = value << 8 | static_cast<uint8_t>(package.at(at + i));
    return value;
  };
  Tables tables;
  size_t position = 0;
  for (int table = 0; table < 2; ++table) {
    const uint32_t count = u32(position);
    position += 4;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t length = u32(position);
      std::string name = package.substr(position + 4, length);
      if (table == 0)
        tables.directories.push_back(name);
      else
        tables.files.push_back({name, u32(position + 4 + length), u32(position + 8 + length)});
      position += 12 + length;
    }
  }
  return tables;
}

// Sets an environment variable for as long as it lives.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) { Set(value); }
  ~ScopedVariable() { Set(""); }

 private:
  void Set(const std::string& value) {
#ifdef _WIN32
    // _putenv keeps the string it is given; an empty value removes the variable.
    static std::vector<std::unique_ptr<std::string>> kept;
    kept.emplace_back(new std::string(name_ + "=" + value));
    _putenv(kept.back()->c_str());
#else
    if (value.empty())
      unsetenv(name_.c_str());
    else
      setenv(name_.c_str(), value.c_str(), 1);
#endif
  }
  std::string name_;
};

// Mostly zeros, which compress quickly even in a debug build, with 64 KiB of noise in every MiB
// so that the blob is large enough to be spilt.
void WriteMostlyZeros(const fs::path& path, size_t mebibytes, unsigned seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 random(seed);
  std::vector<uint64_t> noise(8192);
  const std::vector<char> zeros((1 << 20) - 65536);
  for (size_t i = 0; i < mebibytes; ++i) {
    for (uint64_t& word : noise) word = random();
    out.write(reinterpret_cast<const char*>(noise.data()), 65536);
    out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
}

TEST_F(PackerTest, PacksAndUnpacksATreeByteExactly) {
  Write("src/Installer.exe", Sample(300000, 1));
  Write("src/bin/lib/a.dll", Sample(70000, 2));
  Write("src/bin/zero", "");
  Write("src/docs/x", "tiny");
  fs::create_directories(root_ / "src/empty/nested");
  for (ParseMode parse : {PARSE_PLANNED, PARSE_GREEDY}) {
    options_.parse = parse;
    ASSERT_EQ(Create(), 0);
    EXPECT_EQ(packer::VerifyCommand(root_ / "Pack.qvd", options_), 0);
    EXPECT_EQ(packer::ListCommand(root_ / "Pack.qvd", options_), 0);
    ASSERT_EQ(packer::ExtractCommand(root_ / "Pack.qvd", root_ / "out", options_), 0);
    for (const char* file : {"Installer.exe", "bin/lib/a.dll", "bin/zero", "docs/x"})
      EXPECT_TRUE(Read(fs::path("out") / file) == Read(fs::path("src") / file)) << file;
    EXPECT_TRUE(fs::is_directory(root_ / "out/empty/nested"));
    fs::remove_all(root_ / "out");
  }
}

TEST_F(PackerTest, OutputIsDeterministicAndOrdered) {
  Write("src/b/file", Sample(5000, 3));
  Write("src/a/file", Sample(5000, 4));
  Write("src/a-z", "x");
  Write("src/Installer.exe", "MZ");
  ASSERT_EQ(Create("one.qvd"), 0);
  options_.jobs = 1;
  ASSERT_EQ(Create("two.qvd"), 0);
  EXPECT_TRUE(Read("one.qvd") == Read("two.qvd"));
  // Directories in byte order, parents first; files likewise.
  std::vector<uint8_t> expectedTables = PackageTablesBytes(
      {{"\\a", 0, 0}, {"\\b", 0, 0}},
      {{"\\Installer.exe", 0, 0}, {"\\a-z", 0, 0}, {"\\a\\file", 0, 0}, {"\\b\\file", 0, 0}});
  std::string package = Read("one.qvd");
  ASSERT_GE(package.size(), expectedTables.size());
  // Compare names and counts only: offsets and sizes depend on the blobs.
  size_t position = 0;
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(package[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(package[at + 1])) << 8;
  };
  std::vector<std::string> names;
  for (int table = 0; table < 2; ++table) {
    uint32_t count = u32(position);
    position += 4;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t length = u32(position);
      names.push_back(package.substr(position + 4, length));
      position += 12 + length;
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"\\a", "\\b", "\\Installer.exe", "\\a-z", "\\a\\file",
                                             "\\b\\file"}));
}

TEST_F(PackerTest, ReplacesAnExistingPackageOnlyWhenComplete) {
  Write("Pack.qvd", "old package");
  Write("src/Installer.exe", "MZ");
  Write("src/bad:name", "x");
  EXPECT_THROW(Create(), Failure);
  EXPECT_EQ(Read("Pack.qvd"), "old package");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"Pack.qvd", "src"}));
  fs::remove(root_ / "src/bad:name");
  ASSERT_EQ(Create(), 0);
  EXPECT_NE(Read("Pack.qvd"), "old package");
  EXPECT_EQ(packer::VerifyCommand(root_ / "Pack.qvd", options_), 0);
}

TEST_F(PackerTest, RefusesNamesWindowsCannotHold) {
#ifdef _WIN32
  GTEST_SKIP() << "such names cannot be created on Windows in the first place";
#else
  for (const char* name : {"a:b", "con", "NUL.txt", "com3.log", "trail.", "blank ", "q?", "pipe|x",
                           "star*", "lt<", "quote\"", "back\\slash", "tab\tname"}) {
    Write(fs::path("src") / name, "x");
    ExpectCreateRefused();
    fs::remove_all(root_ / "src");
    fs::create_directories(root_ / "src");
  }
#endif
}

TEST_F(PackerTest, RefusesNamesDifferingOnlyInCase) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows holds only one of them";
#else
  Write("src/Readme.txt", "a");
  Write("src/README.TXT", "b");
  ExpectCreateRefused();
#endif
}

TEST_F(PackerTest, NonAsciiNamesNeedACodePage) {
#ifdef _WIN32
  GTEST_SKIP() << "covered on the native build";
#else
  Write("src/caf\xc3\xa9.txt", "coffee");
  ExpectCreateRefused();
  options_.codePage = 1252;
  ASSERT_EQ(Create(), 0);
  std::string package = Read("Pack.qvd");
  EXPECT_NE(package.find("\\caf\xe9.txt"), std::string::npos) << "converted to code page 1252";
  options_.codePage = 1251;  // Cyrillic: no e acute
  fs::remove(root_ / "Pack.qvd");
  ExpectCreateRefused();
#endif
}

TEST_F(PackerTest, RefusesLinksSpecialFilesAndHugeFiles) {
#ifdef _WIN32
  GTEST_SKIP() << "links, pipes and sparse files are made with POSIX calls here";
#else
  Write("elsewhere", "secret");
  fs::create_symlink(root_ / "elsewhere", root_ / "src/link");
  ExpectCreateRefused();
  fs::remove(root_ / "src/link");
  ASSERT_EQ(mkfifo((root_ / "src/pipe").c_str(), 0600), 0);
  ExpectCreateRefused();
  fs::remove(root_ / "src/pipe");
  // A sparse file of exactly 4 GiB takes no disk space.
  { std::ofstream(root_ / "src/huge", std::ios::binary); }
  fs::resize_file(root_ / "src/huge", 4ull << 30);
  ExpectCreateRefused();
  fs::remove(root_ / "elsewhere");
#endif
}

TEST_F(PackerTest, DamagedPackagesGetErrorsNotCrashes) {
  Write("src/Installer.exe", Sample(20000, 5));
  Write("src/d/f", Sample(3000, 6));
  ASSERT_EQ(Create(), 0);
  std::string good = Read("Pack.qvd");
  // Cut at every length through the tables and into the blobs.
  for (size_t cut :
       {size_t{0}, size_t{3}, size_t{9}, size_t{30}, good.size() / 2, good.size() - 1}) {
    Write("cut.qvd", good.substr(0, cut));
    bool listFails = false;
    try {
      packer::ListCommand(root_ / "cut.qvd", options_);
    } catch (const Failure&) {
      listFails = true;
    }
    int verified = 1;
    try {
      verified = packer::VerifyCommand(root_ / "cut.qvd", options_);
    } catch (const Failure&) {
    }
    EXPECT_NE(verified, 0) << cut;
    EXPECT_THROW(packer::ExtractCommand(root_ / "cut.qvd", root_ / "out/deeper", options_), Failure)
        << cut;
    EXPECT_FALSE(fs::exists(root_ / "out")) << "a failed extract leaves nothing, parents neither";
    if (cut < 30) {
      EXPECT_TRUE(listFails) << cut;
    }
  }
  // A flipped byte inside a blob: decoding goes wrong or ends at the wrong size.
  std::string flipped = good;
  flipped[flipped.size() - 100] ^= 0x5A;
  Write("flip.qvd", flipped);
  EXPECT_NE(packer::VerifyCommand(root_ / "flip.qvd", options_), 0);
}

TEST_F(PackerTest, VerifyFindsWhatTheLauncherWouldRefuse) {
  std::vector<uint8_t> blob = LiteralBlob("payload");
  struct Case {
    std::vector<std::string> directories;
    std::string file;
  };
  for (const Case& c : {Case{{}, "\\..\\evil"}, Case{{}, "\\nodir\\f"},
                        Case{{"\\d"}, "\\D\\f\\..\\g"}, Case{{"\\A", "\\a"}, "\\a\\f"}}) {
    std::vector<uint8_t> package = BuildPackage(c.directories, {{c.file, blob}});
    Write("p.qvd", std::string(package.begin(), package.end()));
    EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 1) << c.file;
  }
  std::vector<uint8_t> wrongSize = MakeBlob(99, {0x30, 0x80});  // one literal, claims 99 bytes
  std::vector<uint8_t> package = BuildPackage({}, {{"\\f", wrongSize}});
  Write("p.qvd", std::string(package.begin(), package.end()));
  EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 1);
}

// The launcher's tolerance on the tools' side: extract warns about each slip and unpacks what
// the launcher would; verify counts each as a problem, for the maker to mend.
TEST_F(PackerTest, SlipsAreWarningsToExtractAndProblemsToVerify) {
  std::vector<uint8_t> package =
      BuildPackage({"\\", "\\Data\\", "\\late\\x", "\\late", "\\late\\x", "\\Data"},
                   {{"\\nodir\\f", LiteralBlob("lost")},
                    {"\\twice.txt", LiteralBlob("first")},
                    {"\\late\\x\\in.txt", LiteralBlob("deep")},
                    {"\\TWICE.txt", LiteralBlob("second")}});
  Write("p.qvd", std::string(package.begin(), package.end()));
  Printed extracted = Capture(
      true, [&] { return packer::ExtractCommand(root_ / "p.qvd", root_ / "out", options_); });
  EXPECT_EQ(extracted.code, 0) << extracted.text;
  // The root, the trailing backslash, "\\late\\x" before "\\late", "\\Data" again, the file
  // without its directory, the earlier "twice.txt".
  EXPECT_EQ(std::count(extracted.text.begin(), extracted.text.end(), '\n'), 6) << extracted.text;
  EXPECT_EQ(Listing("out"), (std::vector<std::string>{"Data", "TWICE.txt", "late"}));
  EXPECT_EQ(Read("out/TWICE.txt"), "second");
  EXPECT_EQ(Read("out/late/x/in.txt"), "deep");
  Printed verified =
      Capture(false, [&] { return packer::VerifyCommand(root_ / "p.qvd", options_); });
  EXPECT_EQ(verified.code, 1);
  EXPECT_EQ(std::count(verified.text.begin(), verified.text.end(), '\n'), 6) << verified.text;
}

// Both builds of the packer accept exactly the same names for a code page, and write the same
// bytes: what a converter maps one way only is refused, as Windows refuses it.
TEST_F(PackerTest, NamesConvertAlikeOnEveryBuild) {
  struct Case {
    int codePage;
    const char* utf8;
    const char* bytes;  // null: cannot be written in the code page
  };
  const Case cases[] = {
      {932, "\u30bd\u30d5\u30c8.txt", "\x83\x5C\x83\x74\x83\x67.txt"},  // ソフト
      {932, "\u8868.txt", "\x95\x5C.txt"},                              // 表
      {932, "\u30dd\u30fc\u30c8", "\x83\x7C\x81\x5B\x83\x67"},          // ポート
      {932, "\uff5e", "\x81\x60"},                                      // fullwidth tilde
      {932, "\u301c", nullptr},      // wave dash: the same byte, one way only
      {932, "\u00a5.txt", nullptr},  // yen sign: would be the byte of '\\'
      {932, "caf\u00e9", nullptr},
      {1252, "caf\u00e9", "caf\xE9"},
      {1252, "\u20ac", "\x80"},
      {1252, "\u0141ukasz", nullptr},  // no best fit to "Lukasz"
      {1251, "\u0416", "\xC6"},
      {949, "\ud55c", "\xC7\xD1"},
  };
  for (const Case& c : cases) {
    std::string out, error;
    bool ok = packer::ToTargetName(fs::u8path(c.utf8), c.codePage, &out, &error);
    EXPECT_EQ(ok, c.bytes != nullptr) << c.codePage << " " << c.utf8 << ": " << error;
    if (ok && c.bytes != nullptr) {
      EXPECT_EQ(out, c.bytes) << c.codePage << " " << c.utf8;
    } else if (!ok) {
      EXPECT_NE(error.find("cannot be written in code page"), std::string::npos) << error;
    }
  }
  // And through create: a Japanese tree packs, its names checked a character at a time.
  Write(fs::u8path("src/\u30bd\u30d5\u30c8/\u8868.txt"), "table");
  Write(fs::u8path("src/\u30dd\u30fc\u30c8.txt"), "port");
  options_.codePage = 932;
  ASSERT_EQ(Create(), 0);
  std::string package = Read("Pack.qvd");
  EXPECT_NE(package.find("\\\x83\x5C\x83\x74\x83\x67\\\x95\x5C.txt"), std::string::npos);
  EXPECT_EQ(packer::VerifyCommand(root_ / "Pack.qvd", options_), 0);
}

TEST_F(PackerTest, ExtractOnlyIntoNewOrEmptyDirectories) {
  Write("src/Installer.exe", "MZ");
  ASSERT_EQ(Create(), 0);
  Write("busy/keep", "mine");
  EXPECT_THROW(packer::ExtractCommand(root_ / "Pack.qvd", root_ / "busy", options_), Failure);
  EXPECT_EQ(Read("busy/keep"), "mine");
  fs::create_directories(root_ / "empty");
  EXPECT_EQ(packer::ExtractCommand(root_ / "Pack.qvd", root_ / "empty", options_), 0);
  EXPECT_EQ(Read("empty/Installer.exe"), "MZ");
}

TEST_F(PackerTest, CompressAndDecompressOneFile) {
  Write("in", Sample(200000, 7));
  ASSERT_EQ(packer::CompressCommand(root_ / "in", root_ / "blob", options_), 0);
  ASSERT_EQ(packer::DecompressCommand(root_ / "blob", root_ / "back", options_), 0);
  EXPECT_TRUE(Read("back") == Read("in"));
  std::string blob = Read("blob");
  Write("cut", blob.substr(0, blob.size() / 2));
  EXPECT_THROW(packer::DecompressCommand(root_ / "cut", root_ / "bad", options_), Failure);
  Write("short", "ab");
  EXPECT_THROW(packer::DecompressCommand(root_ / "short", root_ / "bad", options_), Failure);
  EXPECT_FALSE(fs::exists(root_ / "bad"));
}

TEST_F(PackerTest, NamesFromAPackageCannotSteerTheTerminal) {
  const std::vector<std::string> names = {"\\\x1b[2J\x1b[Hcleared",
                                          "\\two\nlines: ok",
                                          "\\back\rspace\b",
                                          "\\del\x7f",
                                          "\\csi\x9b"
                                          "31m",
                                          "\\caf\xe9",
                                          "\\undefined\x81",
                                          "\\rtl\xe2\x80\xaetxt.exe",
                                          "\\c1\xc2\x9b"};
  std::vector<TestFile> files;
  for (const std::string& name : names) files.push_back({name, LiteralBlob("x")});
  WritePackage(root_ / "p.qvd", {}, files);
  auto list = [&] { return packer::ListCommand(root_ / "p.qvd", options_); };

  Printed bytes = Capture(false, list);
  EXPECT_EQ(bytes.code, 0);
  EXPECT_TRUE(OnlyPrintable(bytes.text, false)) << bytes.text;
  EXPECT_EQ(std::count(bytes.text.begin(), bytes.text.end(), '\n'), names.size() + 2)
      << "header, one line each, total";
  for (const char* shown :
       {"\\x{1b}[2J\\x{1b}[Hcleared", "two\\x{0a}lines: ok", "back\\x{0d}space\\x{08}",
        "del\\x{7f}", "csi\\x{9b}31m", "caf\\x{e9}", "rtl\\x{e2}\\x{80}\\x{ae}txt.exe"})
    EXPECT_NE(bytes.text.find(shown), std::string::npos) << shown;

  // Through code page 1252 the letters come out in UTF-8; 0x9B is a quotation mark there.
  options_.codePage = 1252;
  Printed latin = Capture(false, list);
  EXPECT_TRUE(OnlyPrintable(latin.text, true)) << latin.text;
  for (const char* shown :
       {"caf\xc3\xa9",
        "csi\xe2\x80\xba"
        "31m",
        "undefined\\x{81}", "\\x{1b}[2J\\x{1b}[Hcleared", "two\\x{0a}lines: ok"})
    EXPECT_NE(latin.text.find(shown), std::string::npos) << shown;

  // UTF-8 names may carry a C1 control in two bytes, or a right-to-left override.
  options_.codePage = 65001;
  Printed utf8 = Capture(false, list);
  EXPECT_TRUE(OnlyPrintable(utf8.text, true)) << utf8.text;
  EXPECT_NE(utf8.text.find("rtl\\u{202e}txt.exe"), std::string::npos);
  EXPECT_NE(utf8.text.find("c1\\x{9b}"), std::string::npos);
  EXPECT_NE(utf8.text.find("caf\\x{e9}"), std::string::npos) << "not UTF-8: a byte as it stands";

  // Verify reports the names with control characters, one line each, escaped the same way.
  options_.codePage = 0;
  options_.quiet = false;
  Printed verified =
      Capture(false, [&] { return packer::VerifyCommand(root_ / "p.qvd", options_); });
  EXPECT_EQ(verified.code, 1);
  EXPECT_TRUE(OnlyPrintable(verified.text, false)) << verified.text;
  EXPECT_EQ(std::count(verified.text.begin(), verified.text.end(), '\n'), 4) << verified.text;
  EXPECT_NE(verified.text.find("two\\x{0a}lines: ok): control character"), std::string::npos);

  // So do the problem lines of extract, which come from the launcher's own code.
  Printed extracted = Capture(
      true, [&] { return packer::ExtractCommand(root_ / "p.qvd", root_ / "out", options_); });
  EXPECT_EQ(extracted.code, 1);
  EXPECT_TRUE(OnlyPrintable(extracted.text, false)) << extracted.text;
  EXPECT_NE(extracted.text.find("\\x{1b}[2J\\x{1b}[Hcleared: control character"), std::string::npos)
      << extracted.text;
}

TEST_F(PackerTest, LetterCaseCountsBeyondAsciiThroughTheCodePage) {
  // e and E acute; y and Y diaeresis, whose capital lies in 0x80-0x9F of code page 1252.
  for (const std::vector<std::string>& pair :
       {std::vector<std::string>{"\\\xe9.txt", "\\\xc9.txt"}, {"\\\xff", "\\\x9f"}}) {
    WritePackage(root_ / "p.qvd", {}, {{pair[0], LiteralBlob("a")}, {pair[1], LiteralBlob("b")}});
    EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 0) << "ASCII only, no guessing";
    options_.codePage = 1252;
    EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 1) << pair[0];
    options_.codePage = 0;
  }
  // A directory written in one case holds what names it in the other.
  WritePackage(root_ / "p.qvd", {"\\\xc9t\xc9"}, {{"\\\xe9t\xe9\\f", LiteralBlob("a")}});
  options_.codePage = 1252;
  EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 0);
  // Two katakana whose second bytes are ASCII letters, and sharp s, which has no simple capital.
  for (int page : {0, 932}) {
    options_.codePage = page;
    WritePackage(root_ / "p.qvd", {},
                 {{"\\\x83\x61", LiteralBlob("a")}, {"\\\x83\x41", LiteralBlob("b")}});
    EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 0) << page;
  }
  options_.codePage = 1252;
  WritePackage(root_ / "p.qvd", {}, {{"\\\xdf", LiteralBlob("a")}, {"\\SS", LiteralBlob("b")}});
  EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 0);
  options_.codePage = 4242;
  EXPECT_THROW(packer::VerifyCommand(root_ / "p.qvd", options_), Failure) << "unknown code page";
  options_.codePage = 1252;

#ifndef _WIN32
  // create folds the names it converted the same way, and refuses superscript port devices.
  Write("src/Installer.exe", "MZ");
  Write("src/\xc3\xa9t\xc3\xa9/a", "1");
  Write("src/\xc3\x89T\xc3\x89/b", "2");
  ExpectCreateRefused();
  fs::remove_all(root_ / "src/\xc3\x89T\xc3\x89");
  Write("src/\xc3\x9f", "sharp s");
  Write("src/SS", "capitals");
  ASSERT_EQ(Create(), 0);
  fs::remove(root_ / "Pack.qvd");
  for (const char* device : {"COM\xc2\xb9.txt", "lpt\xc2\xb3"}) {
    Write(fs::path("src") / device, "x");
    ExpectCreateRefused();
    fs::remove(root_ / "src" / device);
  }
#endif
}

TEST_F(PackerTest, DoubleByteNamesFollowTheGivenCodePage) {
  // In code page 932 "ソフト" holds the byte of '\\' and "ポート" that of '|', as second bytes.
  const std::string software = "\\\x83\x5C\x83\x74\x83\x67",
                    port = "\\\x83\x7C\x81\x5B\x83\x67.txt";
  WritePackage(root_ / "p.qvd", {software}, {{software + port, LiteralBlob("port")}});
  EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 1) << "read byte by byte";
  options_.codePage = 932;
  EXPECT_EQ(packer::VerifyCommand(root_ / "p.qvd", options_), 0);
#ifndef _WIN32
  // Unpacked here, the names are UTF-8 on disk; packed, they go back to code page 932.
  ASSERT_EQ(packer::ExtractCommand(root_ / "p.qvd", root_ / "out", options_), 0);
  EXPECT_EQ(Read("out/\u30bd\u30d5\u30c8/\u30dd\u30fc\u30c8.txt"), "port");
  Write("src/\u30bd\u30d5\u30c8/\u8868.txt", "table");
  ASSERT_EQ(Create(), 0);
  EXPECT_EQ(packer::VerifyCommand(root_ / "Pack.qvd", options_), 0);
#endif
}

TEST_F(PackerTest, ListAndVerifyTellTheSpaceUnpackingTakes) {
  std::vector<uint8_t> small = LiteralBlob("hello"), large = LiteralBlob(Sample(70000, 8));
  WritePackage(root_ / "p.qvd", {"\\d"},
               {{"\\a", small}, {"\\d\\b", small}, {"\\c", large}, {"\\e", {}}});
  // Staging holds every blob beside what is unpacked; an empty blob declares nothing.
  uint64_t decoded = 5 + 5 + 70000, staged = decoded + 2 * small.size() + large.size();
  std::string needs = "unpacking needs " + std::to_string(decoded) + " bytes (" +
                      std::to_string(staged) + " on the launcher's temporary volume";

  Printed listed = Capture(false, [&] { return packer::ListCommand(root_ / "p.qvd", options_); });
  std::string total = listed.text.substr(listed.text.rfind("total:"));
  EXPECT_NE(total.find(needs), std::string::npos) << total;
  options_.quiet = false;
  Printed verified =
      Capture(false, [&] { return packer::VerifyCommand(root_ / "p.qvd", options_); });
  EXPECT_EQ(verified.code, 0) << verified.text;
  EXPECT_NE(verified.text.find(": ok, 1 directory, 4 files"), std::string::npos);
  EXPECT_NE(verified.text.find(needs), std::string::npos) << verified.text;
}

TEST(ExcludePatterns, MatchAsIgnoreFilesDo) {
  struct Case {
    const char* pattern;
    const char* path;
    bool directory;
    bool excluded;
  };
  const Case cases[] = {
      {"*.log", "a.log", false, true},
      {"*.log", "deep/er/a.log", false, true},
      {"*.log", "a.log.txt", false, false},
      {"*.log", "logs.log", true, true},
      {"build/", "src/build", true, true},
      {"build/", "build", false, false},  // directories only
      {"docs/*.txt", "docs/a.txt", false, true},
      {"docs/*.txt", "docs/sub/a.txt", false, false},  // '*' stays within a name
      {"docs/*.txt", "x/docs/a.txt", false, false},    // from the top
      {"/top", "top", false, true},
      {"/top", "x/top", false, false},
      {"**/cache", "cache", true, true},
      {"**/cache", "a/b/cache", true, true},
      {"a/**", "a", true, false},
      {"a/**", "a/b/c", false, true},
      {"a/**/z", "a/z", false, true},
      {"a/**/z", "a/b/c/z", false, true},
      {"a/**/z", "b/a/z", false, false},
      {"?.txt", "a.txt", false, true},
      {"?.txt", "ab.txt", false, false},
      {"?.txt", "\xc3\xa9.txt", false, true},  // one character, two bytes
      {"[a-c]x", "bx", false, true},
      {"[a-c]x", "dx", false, false},
      {"[!a-c]x", "dx", false, true},
      {"[^a-c]x", "ax", false, false},
      {"[]]x", "]x", false, true},
      {"[x", "[x", false, true},  // never closed: a plain '['
      {"*a*b*c", "xaxxbxbxc", false, true},
      {"*a*b*c", "xaxxbxbxcx", false, false},
      {"win\\dir\\*.tmp", "win/dir/a.tmp", false, true},
      {"Readme", "README", false, false},  // letter case counts
      {"", "anything", false, false},
      {"*", "x/y", false, true},
      {"**", "x", false, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(packer::ExcludePatterns({c.pattern}).Excludes(c.path, c.directory), c.excluded)
        << c.pattern << " on " << c.path;
}

TEST_F(PackerTest, ExcludedPathsAreLeftOutAndNeverEntered) {
  Write("src/Installer.exe", "MZ");
  Write("src/app/main.dll", "code");
  Write("src/app/debug.log", "log");
  Write("src/app/build/obj.o", "obj");
  Write("src/build/stale", "old");
  Write("src/docs/a.txt", "a");
  Write("src/docs/sub/b.txt", "b");
#ifndef _WIN32
  // What an excluded directory holds is never looked at: a link there is no problem.
  fs::create_symlink(root_ / "elsewhere", root_ / "src/build/link");
  ExpectCreateRefused();
#endif
  options_.exclude = {"*.log", "build/", "/docs/*.txt"};
  ASSERT_EQ(Create(), 0);
  Tables tables = ReadTables(Read("Pack.qvd"));
  EXPECT_EQ(tables.directories, (std::vector<std::string>{"\\app", "\\docs", "\\docs\\sub"}));
  EXPECT_EQ(tables.fileNames(),
            (std::vector<std::string>{"\\Installer.exe", "\\app\\main.dll", "\\docs\\sub\\b.txt"}));
}

TEST_F(PackerTest, FilesFromPacksTheListedPathsAndTheirDirectories) {
  Write("src/Installer.exe", "MZ");
  Write("src/bin/app.dll", "dll");
  Write("src/bin/unlisted.dll", "no");
  Write("src/data/deep/x.dat", "x");
  Write("src/data/skip.log", "log");
  Write("src/empty/inner/unlisted", "no");
  // A byte order mark, a comment, CRLF, blanks around a path, both separators, a path given
  // twice, a listed directory (its record only), an excluded path.
  Write("list.txt",
        "\xEF\xBB\xBF# what ships\r\nInstaller.exe\r\n\r\n  bin/app.dll \r\n./data\\deep/x.dat\n"
        "empty\nbin/app.dll\ndata/skip.log\n");
  options_.filesFrom = root_ / "list.txt";
  options_.exclude = {"*.log"};
  ASSERT_EQ(Create(), 0);
  Tables tables = ReadTables(Read("Pack.qvd"));
  EXPECT_EQ(tables.directories,
            (std::vector<std::string>{"\\bin", "\\data", "\\data\\deep", "\\empty"}));
  EXPECT_EQ(tables.fileNames(),
            (std::vector<std::string>{"\\Installer.exe", "\\bin\\app.dll", "\\data\\deep\\x.dat"}));
  ASSERT_EQ(packer::ExtractCommand(root_ / "Pack.qvd", root_ / "out", options_), 0);
  EXPECT_EQ(Read("out/data/deep/x.dat"), "x");

  fs::remove(root_ / "Pack.qvd");
  for (const char* wrong : {"missing.txt", "../src/Installer.exe", "/etc/hosts", "bin/app.dll/x",
                            "C:\\x", "bin\\..\\..\\x"}) {
    SCOPED_TRACE(wrong);
    Write("list.txt", std::string("Installer.exe\n") + wrong + "\n");
    ExpectCreateRefused();
  }
  options_.filesFrom = root_ / "no-such-list";
  ExpectCreateRefused();
}

TEST_F(PackerTest, ThePackageIsNeverPackedIntoItself) {
  Write("src/Installer.exe", Sample(5000, 9));
  options_.output = root_ / "src/Pack.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "src", options_), 0);
  const std::string first = Read("src/Pack.qvd");
  EXPECT_EQ(ReadTables(first).fileNames(), (std::vector<std::string>{"\\Installer.exe"}))
      << "nor its temporary file";
  // Again, with the first package in the tree, named another way, then listed by name.
  options_.output = root_ / "src/../src/./Pack.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "src", options_), 0);
  EXPECT_TRUE(Read("src/Pack.qvd") == first);
  Write("list.txt", "Installer.exe\nPack.qvd\n");
  options_.filesFrom = root_ / "list.txt";
  ASSERT_EQ(packer::CreateCommand(root_ / "src", options_), 0);
  EXPECT_TRUE(Read("src/Pack.qvd") == first);
#ifndef _WIN32
  options_.filesFrom.clear();
  fs::create_directory_symlink(root_ / "src", root_ / "alias");
  options_.output = root_ / "alias/Pack.qvd";
  ASSERT_EQ(packer::CreateCommand(root_ / "src", options_), 0);
  EXPECT_TRUE(Read("src/Pack.qvd") == first);
#endif
}

TEST_F(PackerTest, IdenticalFilesShareOneBlobAndAllUnpack) {
  const std::string big = Sample(200000, 10);
  Write("src/Installer.exe", big);
  Write("src/copies/one.dll", big);
  Write("src/copies/two.dll", big);
  Write("src/near.dll", big.substr(0, big.size() - 1) + "!");  // same size, one byte off
  Write("src/other", Sample(1000, 11));
  Write("src/zero1", "");
  Write("src/zero2", "");
  // Blobs of several pieces, so that workers run ahead within a blob and spill.
  WriteMostlyZeros(root_ / "src/large1", 3, 1);
  WriteMostlyZeros(root_ / "src/large2", 3, 2);
  ASSERT_EQ(Create("one.qvd"), 0);
  const std::string package = Read("one.qvd");
  const Tables tables = ReadTables(package);
  ASSERT_EQ(tables.files.size(), 9u);
  auto blob = [&](const char* name) {
    for (const Record& file : tables.files)
      if (file.name == name) return std::make_pair(file.offset, file.size);
    ADD_FAILURE() << name;
    return std::make_pair(0u, 0u);
  };
  EXPECT_EQ(blob("\\copies\\one.dll"), blob("\\Installer.exe"));
  EXPECT_EQ(blob("\\copies\\two.dll"), blob("\\Installer.exe"));
  EXPECT_EQ(blob("\\zero2"), blob("\\zero1"));
  EXPECT_NE(blob("\\near.dll"), blob("\\Installer.exe"));
  EXPECT_NE(blob("\\large1"), blob("\\large2"));
  // Whatever the number of workers, and whether they held their blobs or spilt every byte.
  options_.jobs = 1;
  ASSERT_EQ(Create("two.qvd"), 0);
  EXPECT_TRUE(Read("two.qvd") == package);
  {
    ScopedVariable spillAll("SETUPPACK_HELD_BYTES", "0");
    options_.jobs = 3;
    ASSERT_EQ(Create("three.qvd"), 0);
    EXPECT_TRUE(Read("three.qvd") == package);
  }
  EXPECT_EQ(Listing(), (std::vector<std::string>{"one.qvd", "src", "three.qvd", "two.qvd"}))
      << "no spill file stays";

  ASSERT_EQ(packer::ExtractCommand(root_ / "one.qvd", root_ / "out", options_), 0);
  for (const char* file : {"Installer.exe", "copies/one.dll", "copies/two.dll", "near.dll", "zero2",
                           "large1", "large2"})
    EXPECT_TRUE(Read(fs::path("out") / file) == Read(fs::path("src") / file)) << file;
  Printed listed = Capture(false, [&] { return packer::ListCommand(root_ / "one.qvd", options_); });
  EXPECT_EQ(std::count(listed.text.begin(), listed.text.end(), '='), 3) << listed.text;
  EXPECT_NE(listed.text.find("9 files (3 sharing an earlier one's blob)"), std::string::npos);
}

TEST(ProgressLineTest, TellsPercentBytesRateAndTimeLeftWithinTheWidth) {
  std::string full = packer::ProgressLine("unpacking", 4200, 10000, 1000, 80);
  EXPECT_EQ(full, "unpacking  42%  4200 B of 10.0 KB  1000 B/s  0:06 left");
  // Narrower, the byte counts go first, then the throughput, then the time left; nothing ever
  // reaches the last column, where a terminal would wrap.
  const std::vector<std::string> shorter = {full, "unpacking  42%  1000 B/s  0:06 left",
                                            "unpacking  42%  0:06 left", "unpacking  42%"};
  for (int columns = 1; columns < 60; ++columns) {
    auto fits = std::find_if(shorter.begin(), shorter.end(), [&](const std::string& line) {
      return line.size() < static_cast<size_t>(columns);
    });
    std::string expected =
        fits != shorter.end() ? *fits : shorter.back().substr(0, static_cast<size_t>(columns - 1));
    EXPECT_EQ(packer::ProgressLine("unpacking", 4200, 10000, 1000, columns), expected);
  }
  EXPECT_EQ(packer::ProgressLine("verifying", 9999, 10000, 0, 80),
            "verifying  99%  9999 B of 10.0 KB");  // 100% only when done; no rate known yet
  EXPECT_EQ(packer::ProgressLine("packing", 0, 30000000000, 1e6, 80),
            "packing   0%  0 B of 30.0 GB  1000.0 KB/s  8:20:00 left");
}

#ifndef _WIN32
// What setuppack wrote, run by itself with standard output and error on one pipe, or on a
// pseudo-terminal `columns` wide (a terminal also turns each line end into "\r\n").
Printed RunSetuppack(std::vector<std::string> arguments, int columns, const fs::path& temp) {
  int reader = -1, writer = -1;
  pid_t child;
  if (columns > 0) {
    struct winsize size = {24, static_cast<unsigned short>(columns), 0, 0};
    child = forkpty(&reader, nullptr, nullptr, &size);
  } else {
    int ends[2];
    if (pipe(ends) != 0) return {"no pipe", -1};
    reader = ends[0];
    writer = ends[1];
    child = fork();
    if (child == 0) {
      dup2(writer, STDOUT_FILENO);
      dup2(writer, STDERR_FILENO);
    }
  }
  if (child == 0) {
    setenv("TMPDIR", temp.c_str(), 1);
    std::vector<char*> argv = {const_cast<char*>(SETUPPACK_PATH)};
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    execv(SETUPPACK_PATH, argv.data());
    _exit(127);
  }
  if (writer >= 0) close(writer);
  Printed printed = {"", -1};
  if (child < 0) return printed;
  char buffer[4096];
  // A terminal's reader gets EIO once the child is gone; a pipe's gets the end of the file.
  for (ssize_t got; (got = read(reader, buffer, sizeof buffer)) != 0;)
    if (got > 0)
      printed.text.append(buffer, static_cast<size_t>(got));
    else if (errno != EINTR)
      break;
  close(reader);
  int status = 0;
  waitpid(child, &status, 0);
  printed.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return printed;
}

// The rows a terminal shows once `text` is written to it: a carriage return sends the cursor
// back to the start of the row, and what follows overwrites it. Trailing blanks do not show.
std::vector<std::string> Screen(const std::string& text) {
  std::vector<std::string> rows(1);
  size_t column = 0;
  for (char c : text) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      rows.emplace_back();
      column = 0;
    } else {
      std::string& row = rows.back();
      if (row.size() <= column) row.resize(column + 1, ' ');
      row[column++] = c;
    }
  }
  std::vector<std::string> shown;
  for (std::string& row : rows) {
    row.erase(row.find_last_not_of(' ') + 1);
    if (!row.empty()) shown.push_back(row);
  }
  std::sort(shown.begin(), shown.end());
  return shown;
}

// On a terminal each command shows a line that says how far it is, rewritten in place within the
// terminal's width and gone at the end: the rows left on the screen are exactly what a pipe gets,
// whatever was printed while the line showed. Through a pipe or with --quiet there is no line.
TEST_F(PackerTest, ProgressOnlyOnATerminalAndGoneAtTheEnd) {
  // Enough data for every command to run well past the moment the line first shows, on a fast
  // machine and in any build: with several workers, a few megabytes unpack in less than that.
  // Noise, which the encoder cannot shorten, takes longest to decode.
#ifdef NDEBUG
  const size_t kFileBytes = 16000000;
#else
  const size_t kFileBytes = 4000000;
#endif
  std::mt19937 random(7);
  for (unsigned i = 0; i < 4; ++i) {
    std::string noise(kFileBytes, '\0');
    for (char& byte : noise) byte = static_cast<char>(random());
    Write("src/part" + std::to_string(i), noise);
  }
  fs::path temp = root_ / "tmp";
  fs::create_directories(temp);
  const std::string package = (root_ / "Pack.qvd").string(), out = (root_ / "out").string();
  const int kColumns = 60;

  struct Case {
    const char* verb;
    std::vector<std::string> arguments;
    int code;
  };
  for (const Case& c :
       {Case{"packing", {"create", "--fast", (root_ / "src").string(), "-o", package}, 0},
        Case{"unpacking", {"extract", package, out}, 0},
        // The last blob cut short: its problem line comes after all the rest is decoded, while
        // the line shows.
        Case{"verifying", {"verify", package}, 1}}) {
    SCOPED_TRACE(c.verb);
    if (c.code == 1) fs::resize_file(package, fs::file_size(package) - 10);
    Printed piped = RunSetuppack(c.arguments, 0, temp);
    fs::remove_all(out);
    Printed shown = RunSetuppack(c.arguments, kColumns, temp);
    fs::remove_all(out);
    std::vector<std::string> quietly = c.arguments;
    quietly.push_back("--quiet");
    Printed quiet = RunSetuppack(quietly, kColumns, temp);
    fs::remove_all(out);
    EXPECT_EQ(piped.code, c.code) << piped.text;
    EXPECT_EQ(shown.code, c.code) << shown.text;
    EXPECT_EQ(quiet.code, c.code) << quiet.text;

    EXPECT_EQ(piped.text.find('\r'), std::string::npos) << piped.text;
    std::string quietText = quiet.text;
    for (size_t at; (at = quietText.find("\r\n")) != std::string::npos;) quietText.erase(at, 1);
    EXPECT_EQ(quietText.find('\r'), std::string::npos) << quiet.text;

    // Every progress line, and the blanks that take one away, short of the last column.
    std::regex progress(std::string("\r(") + c.verb + " +[0-9]+%[^\r\n]*| +)(?=\r)");
    int lines = 0;
    for (std::sregex_iterator it(shown.text.begin(), shown.text.end(), progress), end; it != end;
         ++it) {
      lines += (*it)[1].str()[0] != ' ';
      EXPECT_LT((*it)[1].length(), kColumns) << (*it)[1];
    }
    EXPECT_GT(lines, 0) << shown.text;
    EXPECT_EQ(Screen(shown.text), Screen(piped.text)) << shown.text;
  }
  EXPECT_TRUE(fs::is_empty(temp)) << "no staging directory stays";
}

TEST_F(PackerTest, FollowLinksPacksWhatLinksPointTo) {
  Write("src/Installer.exe", "MZ");
  Write("outside/lib/shared.dll", "shared");
  fs::create_directory_symlink(root_ / "outside/lib", root_ / "src/lib");
  fs::create_symlink(root_ / "outside/lib/shared.dll", root_ / "src/alias.dll");
  ExpectCreateRefused();
  options_.followLinks = true;
  ASSERT_EQ(Create(), 0);
  ASSERT_EQ(packer::ExtractCommand(root_ / "Pack.qvd", root_ / "out", options_), 0);
  EXPECT_EQ(Read("out/lib/shared.dll"), "shared");
  EXPECT_EQ(Read("out/alias.dll"), "shared");
  fs::remove(root_ / "Pack.qvd");
  fs::remove_all(root_ / "out");

  // A directory met again below itself would be walked for ever; a link to nowhere or round a
  // loop of links leads to nothing. Each is refused, and the walk ends.
  struct Case {
    const char* link;
    const char* target;
  };
  for (const Case& c : {Case{"src/up", "."}, Case{"outside/lib/back", ".."},
                        Case{"src/gone", "nothing"}, Case{"src/ping", "pong"}}) {
    SCOPED_TRACE(c.link);
    fs::create_symlink(c.target, root_ / c.link);
    if (std::string(c.target) == "pong") fs::create_symlink("ping", root_ / "src/pong");
    ExpectCreateRefused();
    fs::remove(root_ / c.link);
    fs::remove(root_ / "src/pong");
  }
}

// A package of `count` records that all name the one blob of `single` (a package of one file),
// `cut` bytes shorter than it is.
std::string SharingOneBlob(const std::string& single, size_t count, uint32_t cut) {
  const Tables tables = ReadTables(single);
  const uint32_t size = tables.files.at(0).size;
  std::vector<PackageRecord> records;
  for (size_t i = 0; i < count; ++i) records.push_back({"\\f" + std::to_string(i), 0, size - cut});
  std::vector<uint8_t> bytes = PackageTablesBytes({}, records);
  return std::string(bytes.begin(), bytes.end()) + single.substr(single.size() - size);
}

double SecondsToVerify(const fs::path& package, const Options& options) {
  const auto start = std::chrono::steady_clock::now();
  Capture(false, [&] { return packer::VerifyCommand(package, options); });
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(PackerTest, VerifyDecodesASharedBlobOnceAndReportsEveryRecord) {
  WriteMostlyZeros(root_ / "src/big", 24, 3);
  ASSERT_EQ(Create("one.qvd"), 0);
  const std::string single = Read("one.qvd");
  Write("shared.qvd", SharingOneBlob(single, 300, 0));
  Printed ok =
      Capture(false, [&] { return packer::VerifyCommand(root_ / "shared.qvd", options_); });
  EXPECT_EQ(ok.code, 0) << ok.text;
  // However many records name the blob, verifying costs about one decoding of it.
  const double once = SecondsToVerify(root_ / "one.qvd", options_);
  const double shared = SecondsToVerify(root_ / "shared.qvd", options_);
  EXPECT_LT(shared, 4 * once + 2) << once << " s for one record, " << shared << " for 300";

  // A damaged shared blob is a problem of every record that names it.
  Write("cut.qvd", SharingOneBlob(single, 300, 9));
  options_.quiet = false;
  Printed cut = Capture(false, [&] { return packer::VerifyCommand(root_ / "cut.qvd", options_); });
  EXPECT_EQ(cut.code, 1);
  EXPECT_EQ(std::count(cut.text.begin(), cut.text.end(), '\n'), 300) << cut.text.substr(0, 400);
  for (const char* record : {"file 0 (\\f0)", "file 299 (\\f299)"})
    EXPECT_NE(cut.text.find(record), std::string::npos) << record;
}

TEST_F(PackerTest, FollowLinksPacksADirectoryAgainOnlyWithinABound) {
  Write("src/Installer.exe", "MZ");
  // Two links to one shared folder: packed twice, as the links ask.
  Write("outside/shared/lib.dll", "library");
  fs::create_directory_symlink(root_ / "outside/shared", root_ / "src/one");
  fs::create_directory_symlink(root_ / "outside/shared", root_ / "src/two");
  options_.followLinks = true;
  ASSERT_EQ(Create(), 0);
  const Tables twice = ReadTables(Read("Pack.qvd"));
  EXPECT_EQ(twice.fileNames(),
            (std::vector<std::string>{"\\Installer.exe", "\\one\\lib.dll", "\\two\\lib.dll"}));
  fs::remove(root_ / "Pack.qvd");

  // 22 levels, each holding two links to the one below: no cycle, but 4 million paths. The walk
  // stops at the bound, naming a link, and writes nothing.
  for (int level = 22; level >= 0; --level) {
    const fs::path dir = root_ / "deep" / std::to_string(level);
    fs::create_directories(dir);
    if (level == 22) {
      Write(fs::path("deep") / "22" / "leaf.txt", "leaf");
      continue;
    }
    fs::create_directory_symlink(root_ / "deep" / std::to_string(level + 1), dir / "a");
    fs::create_directory_symlink(root_ / "deep" / std::to_string(level + 1), dir / "b");
  }
  fs::create_directory_symlink(root_ / "deep/0", root_ / "src/tree");
  const auto start = std::chrono::steady_clock::now();
  try {
    Create();
    ADD_FAILURE() << "a tree of 4 million paths was packed";
  } catch (const Failure& failure) {
    EXPECT_NE(std::string(failure.what()).find("reached again through another link"),
              std::string::npos)
        << failure.what();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 30) << "the walk went on";
  EXPECT_FALSE(fs::exists(root_ / "Pack.qvd"));
}

#ifndef _WIN32
// The real setuppack's `create src -o -` with standard output opened onto `output` by the shell
// (`>`, or `>>` with `append`); its exit status.
int CreateToStandardOutput(const fs::path& source, const fs::path& output, bool append) {
  pid_t child = fork();
  if (child == 0) {
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(126);
    execl(SETUPPACK_PATH, SETUPPACK_PATH, "create", source.c_str(), "-o", "-", "--quiet",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(PackerTest, StandardOutputRedirectedIntoTheSourceIsNotPackedIntoItself) {
  Write("src/Installer.exe", Sample(3000, 4));
  ASSERT_EQ(CreateToStandardOutput(root_ / "src", root_ / "src/out.qvd", false), 0);
  const std::string made = Read("src/out.qvd");
  EXPECT_EQ(ReadTables(made).fileNames(), std::vector<std::string>{"\\Installer.exe"});

  // `>>` onto an older package in the tree: the older one is the file being written too.
  fs::rename(root_ / "src/out.qvd", root_ / "src/old.qvd");
  ASSERT_EQ(CreateToStandardOutput(root_ / "src", root_ / "src/old.qvd", true), 0);
  const std::string appended = Read("src/old.qvd");
  ASSERT_GT(appended.size(), made.size());
  EXPECT_EQ(appended.substr(0, made.size()), made);
  EXPECT_EQ(ReadTables(appended.substr(made.size())).fileNames(),
            std::vector<std::string>{"\\Installer.exe"});
  // Redirected elsewhere, a package in the tree is packed like any file.
  ASSERT_EQ(CreateToStandardOutput(root_ / "src", root_ / "elsewhere.qvd", false), 0);
  EXPECT_EQ(ReadTables(Read("elsewhere.qvd")).fileNames(),
            (std::vector<std::string>{"\\Installer.exe", "\\old.qvd"}));
}

TEST_F(PackerTest, TemporaryFilesAreTheOwnersAloneUntilPutInPlace) {
  const mode_t before = umask(022);
  auto mode = [](const fs::path& path) {
    struct stat status = {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
  };
  {
    packer::AtomicOutput out(root_ / "made.qvd");
    EXPECT_EQ(mode(out.temporary()), 0600u) << "beside the output";
    out.Write("bytes", 5);
    out.Commit();
  }
  EXPECT_EQ(mode(root_ / "made.qvd"), 0644u) << "the output gets what the umask gives";
  {
    // Standard output's package, and the copy of standard input, are built in the temporary
    // directory, which every user shares.
    packer::AtomicOutput out("-");
    EXPECT_EQ(mode(out.temporary()), 0600u) << "in the temporary directory";
  }
  umask(077);
  {
    packer::AtomicOutput out(root_ / "private.qvd");
    out.Commit();
  }
  EXPECT_EQ(mode(root_ / "private.qvd"), 0600u);
  umask(before);
}
#endif

// The real setuppack in a process of its own, with `temp` for its temporary directory and the
// stop signals as usual, whatever this process ignores or blocks.
pid_t StartExtract(const fs::path& package, const fs::path& destination, const fs::path& temp) {
  pid_t child = fork();
  if (child != 0) return child;
  setenv("TMPDIR", temp.c_str(), 1);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) signal(stop, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execl(SETUPPACK_PATH, SETUPPACK_PATH, "extract", package.c_str(), destination.c_str(), "--quiet",
        static_cast<char*>(nullptr));
  _exit(127);
}

// A file below `dir`, or a directory that holds something.
bool HoldsAnything(const fs::path& dir) {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir, error))
    if (!entry.is_directory(error) || !fs::is_empty(entry.path(), error)) return true;
  return false;
}

// Peak resident memory in kilobytes of the real setuppack packing `source` on two threads,
// with a budget of 256 KiB for the blobs held ahead of the package; -1 when it fails.
long PeakKilobytes(const fs::path& source, const fs::path& output) {
  pid_t child = fork();
  if (child == 0) {
    setenv("SETUPPACK_HELD_BYTES", "262144", 1);
    // AddressSanitizer would keep what was freed in quarantine, up to 256 MB, and count it.
    const char* asan = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS",
           ((asan != nullptr ? std::string(asan) + ":" : "") + "quarantine_size_mb=0").c_str(), 1);
    execl(SETUPPACK_PATH, SETUPPACK_PATH, "create", source.c_str(), "-o", output.c_str(), "--jobs",
          "2", "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return -1;
  return usage.ru_maxrss;
}

TEST_F(PackerTest, MemoryStaysBoundedWhateverTheFileSizes) {
  // The same tree at 2 and at 16 MiB a file: what memory grows by with the files' sizes is
  // what the packer would hold of them.
  for (int i = 0; i < 3; ++i) {
    WriteMostlyZeros(root_ / "small" / std::to_string(i), 2, static_cast<unsigned>(i));
    WriteMostlyZeros(root_ / "large" / std::to_string(i), 16, static_cast<unsigned>(i));
  }
  const long small = PeakKilobytes(root_ / "small", root_ / "small.qvd");
  const long large = PeakKilobytes(root_ / "large", root_ / "large.qvd");
  ASSERT_GT(small, 0);
  ASSERT_GT(large, 0);
  EXPECT_LT(large - small, 8 * 1024) << small << " KB for 6 MiB, " << large << " KB for 48 MiB";
  ASSERT_EQ(packer::ExtractCommand(root_ / "large.qvd", root_ / "out", options_), 0);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(Read(fs::path("out") / std::to_string(i)) ==
                Read(fs::path("large") / std::to_string(i)))
        << i;
}

TEST_F(PackerTest, InterruptedExtractLeavesNothingBehind) {
  // Thousands of small files: staging and unpacking each take far longer than a signal.
  std::vector<std::string> directories;
  std::vector<TestFile> files;
  for (int d = 0; d < 10; ++d) {
    directories.push_back("\\d" + std::to_string(d));
    for (int f = 0; f < 300; ++f)
      files.push_back({directories.back() + "\\f" + std::to_string(f),
                       LiteralBlob(Sample(600, static_cast<unsigned>(d * 1000 + f)))});
  }
  WritePackage(root_ / "big.qvd", directories, files);

  struct Case {
    int signal;
    bool whileUnpacking;  // else while staging
    const char* destination;
    bool destinationExists;  // empty, made beforehand
  };
  for (const Case& c : {Case{SIGTERM, false, "new/nested", false},
                        Case{SIGINT, true, "empty", true}, Case{SIGHUP, true, "new", false}}) {
    SCOPED_TRACE(c.destination);
    fs::path temp = root_ / "tmp", destination = root_ / c.destination;
    fs::create_directories(temp);
    if (c.destinationExists) fs::create_directories(destination);
    pid_t child = StartExtract(root_ / "big.qvd", destination, temp);
    ASSERT_GT(child, 0);
    // Signal once the staging directory holds something, or the destination does: the run is
    // then past the point where it learnt its staging directory, and far from done.
    int status = 0;
    bool finished = false;
    while (!HoldsAnything(c.whileUnpacking ? destination : temp)) {
      if ((finished = waitpid(child, &status, WNOHANG) == child)) break;
      usleep(200);
    }
    ASSERT_FALSE(finished) << "setuppack ended before it could be interrupted";
    kill(child, c.signal);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + c.signal)
        << "stopped by its handler, not by the signal itself: " << status;
    EXPECT_TRUE(fs::is_empty(temp)) << "no staging directory stays";
    if (c.destinationExists) {
      EXPECT_TRUE(fs::is_directory(destination) && fs::is_empty(destination));
    } else {
      EXPECT_FALSE(fs::exists(root_ / "new")) << "what extract made goes, parents too";
    }
    fs::remove_all(temp);
    fs::remove_all(root_ / c.destination);
  }
}
#endif

}  // namespace
