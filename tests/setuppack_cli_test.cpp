// The real setuppack in a process of its own, as scripts and CI run it: argument forms, exit
// codes, JSON read back with a parser, standard input and output, --werror, names in any script
// and Ctrl-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "setup_launcher_version.h"
#include "support/bit_writer.h"
#include "support/child_process.h"
#include "support/package_builder.h"
#include "support/test_stub.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
typedef std::vector<std::string> Arguments;

// How a run stopped by Ctrl-C ends.
#ifdef _WIN32
const int kStoppedExit = 130;
#else
const int kStoppedExit = 128 + SIGINT;
#endif

fs::path Setuppack() {
  std::string path = SETUPPACK_PATH;
#ifdef _WIN32
  // The build names it by its Unix path; under Wine that is drive Z:.
  if (path[0] == '/') path = "Z:" + path;
#endif
  return fs::u8path(path);
}

std::string Sample(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string text;
  // Line ends, ^Z and NUL: what a text-mode stream would change or stop at.
  const std::string pieces[] = {"alpha ", "beta\r\n", "gamma\n", std::string("\x1a\0", 2), "\xff"};
  while (text.size() < size) text += pieces[random() % 5];
  text.resize(size);
  return text;
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  for (unsigned char byte : bytes) {
    const char* digits = "0123456789abcdef";
    hex += {digits[byte >> 4], digits[byte & 15]};
  }
  return hex;
}

// Text as the tool printed it, with Windows' line ends as "\n".
std::string Text(std::string printed) {
  for (size_t at; (at = printed.find("\r\n")) != std::string::npos;) printed.erase(at, 1);
  return printed;
}

class SetuppackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("setuppack-cli-" + std::to_string(std::random_device()()));
    for (const char* dir : {"work", "tmp", "io"}) fs::create_directories(root_ / dir);
    Write("src/Installer.exe", Sample(5000, 1));
    Write("src/data/notes.txt", Sample(700, 2));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Below the working directory of the runs.
  void Write(const fs::path& relative, const std::string& contents) {
    fs::create_directories((root_ / "work" / relative).parent_path());
    std::ofstream(root_ / "work" / relative, std::ios::binary) << contents;
  }
  std::string Read(const fs::path& relative) {
    std::ifstream in(root_ / "work" / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool Exists(const fs::path& relative) { return fs::exists(root_ / "work" / relative); }
  void WritePackage(const fs::path& relative, const std::vector<std::string>& directories,
                    const std::vector<TestFile>& files) {
    std::vector<uint8_t> bytes = BuildPackage(directories, files);
    Write(relative, std::string(bytes.begin(), bytes.end()));
  }
  // Everything in the working and temporary directories, so that a test can see that a run
  // left nothing behind.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> names;
    for (const char* dir : {"work", "tmp"})
      for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root_ / dir))
        names.push_back(entry.path().lexically_relative(root_).u8string());
    std::sort(names.begin(), names.end());
    return names;
  }

  ChildRun Run(const Arguments& arguments, const std::string& input = "") {
    ChildSetup setup = {root_ / "work", root_ / "tmp", root_ / "io", input, nullptr};
    return RunChild(Setuppack(), arguments, setup);
  }
  // Stopped with Ctrl-C (SIGINT) as soon as `when` holds.
  ChildRun RunStoppedWhen(const Arguments& arguments, std::function<bool()> when) {
    ChildSetup setup = {root_ / "work", root_ / "tmp", root_ / "io", "", when};
    return RunChild(Setuppack(), arguments, setup);
  }

  fs::path root_;
};

// --- Argument forms -----------------------------------------------------------------------

TEST_F(SetuppackTest, OptionsTakeValuesEitherWayAndStandAnywhere) {
  ChildRun reference = Run({"create", "src", "-o", "a.qvd"});
  ASSERT_EQ(reference.exitCode, 0) << reference.err;
  EXPECT_NE(reference.out.find("a.qvd: 1 directory, 2 files"), std::string::npos);
  // Options of the whole tool before and after the command, values after '=' or apart, '--'.
  fs::rename(root_ / "work/src", root_ / "work/-src");
  for (const Arguments& arguments :
       {Arguments{"--quiet", "create", "--output=b.qvd", "--jobs=1", "--", "-src"},
        Arguments{"--jobs", "2", "create", "--codepage", "1252", "-o", "b.qvd", "-q", "--", "-src"},
        Arguments{"create", "--output", "b.qvd", "-q", "--jobs", "1", "--codepage=1252",
                  "./-src"}}) {
    ChildRun run = Run(arguments);
    EXPECT_EQ(run.exitCode, 0) << arguments[1] << run.err;
    EXPECT_EQ(run.out, "") << "quiet";
    EXPECT_TRUE(Read("b.qvd") == Read("a.qvd"));
    fs::remove(root_ / "work/b.qvd");
  }
  ChildRun verbose = Run({"-v", "verify", "a.qvd"});
  EXPECT_EQ(verbose.exitCode, 0);
  EXPECT_NE(Text(verbose.out).find("\\data\\notes.txt: ok\n"), std::string::npos) << verbose.out;
  // Given twice, the last value counts, as a script appending to its defaults expects; and
  // quiet wins over verbose wherever each stands.
  ChildRun twice = Run({"create", "./-src", "-o", "x.qvd", "--jobs", "1", "--jobs=2", "-o", "c.qvd",
                        "-v", "--quiet"});
  EXPECT_EQ(twice.exitCode, 0) << twice.err;
  EXPECT_EQ(twice.out, "");
  EXPECT_FALSE(Exists("x.qvd"));
  EXPECT_TRUE(Read("c.qvd") == Read("a.qvd"));
}

TEST_F(SetuppackTest, HelpAndVersion) {
  ChildRun version = Run({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(Text(version.out), std::string("setuppack ") + SETUP_LAUNCHER_VERSION + "\n");
  EXPECT_EQ(Run({"list", "-V"}).out, version.out);
  for (const char* command : {"create", "list", "verify", "extract", "compress", "decompress"}) {
    ChildRun help = Run({"help", command});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: setuppack ") + command + " ", 0), 0u) << help.out;
    EXPECT_EQ(Run({command, "--help"}).out, help.out);
  }
  ChildRun general = Run({"help"});
  EXPECT_EQ(Run({"-h"}).out, general.out);
  EXPECT_NE(general.out.find("3  a file cannot be read or written"), std::string::npos);
}

TEST_F(SetuppackTest, WrongUsageGetsTheCommandsSynopsisAndExitCodeTwo) {
  WritePackage("p.qvd", {}, {{"\\Installer.exe", LiteralBlob("x")}});
  struct Case {
    Arguments arguments;
    const char* message;
    const char* synopsis;
  };
  const Case cases[] = {
      {{"create", "src", "--bogus"}, "unknown option '--bogus' for create", "setuppack create"},
      {{"list", "p.qvd", "--fast"}, "unknown option '--fast'", "setuppack list FILE"},
      {{"create", "src", "--jobs", "2x"}, "--jobs", "setuppack create"},
      {{"--jobs=0", "verify", "p.qvd"}, "--jobs", "setuppack verify"},
      {{"extract", "p.qvd", "out", "--codepage", "12ab"}, "--codepage", "setuppack extract"},
      {{"list", "p.qvd", "--codepage", "70000"}, "--codepage", "setuppack list"},
      {{"list", "p.qvd", "--codepage", "1"}, "code page 1 is not known", ""},
      {{"create", "src", "-o"}, "--output", "setuppack create"},
      {{"extract", "p.qvd"}, "DEST_DIR", "setuppack extract"},
      {{"compress", "a", "b", "c"}, "unexpected argument 'c'", "setuppack compress"},
      {{"list", "--", "p.qvd", "-q"}, "unexpected argument '-q'", "setuppack list FILE"},
      {{"create", "src", "-o=p2.qvd"}, "write -o p2.qvd or --output=p2.qvd", "commands:"},
      {{"bogus"}, "unknown command 'bogus'", "commands:"},
      {{}, "no command given", "commands:"},
      {{"help", "bogus"}, "no command 'bogus'", "commands:"},
  };
  std::vector<std::string> before = Leftovers();
  for (const Case& c : cases) {
    ChildRun run = Run(c.arguments);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.synopsis), std::string::npos) << run.err;
  }
  EXPECT_EQ(Leftovers(), before) << "nothing written";
}

// --- Exit codes ---------------------------------------------------------------------------

TEST_F(SetuppackTest, ExitCodesTellProblemsFromUsageFromFiles) {
  ASSERT_EQ(Run({"create", "src", "-q"}).exitCode, 0);
  std::string good = Read("Pack.qvd");
  Write("cut.qvd", good.substr(0, good.size() - 10));
  Write("short.qvd", "abc");
  Write("blob", good.substr(0, 3));
  Write(fs::u8path("bad/caf\u00e9"), "not ASCII, and no --codepage");
  Write("full/x", "");
  struct Case {
    Arguments arguments;
    int exitCode;
  };
  const Case cases[] = {
      {{"verify", "Pack.qvd"}, 0},         {{"verify", "cut.qvd"}, 1},
      {{"list", "short.qvd"}, 1},          {{"create", "bad", "-o", "bad.qvd"}, 1},
      {{"extract", "cut.qvd", "out"}, 1},  {{"extract", "Pack.qvd", "full"}, 1},
      {{"decompress", "blob", "out"}, 1},  {{"list", "missing.qvd"}, 3},
      {{"verify", "missing.qvd"}, 3},      {{"extract", "missing.qvd", "out"}, 3},
      {{"create", "missing"}, 3},          {{"create", "src", "-o", "src/no/p.qvd"}, 3},
      {{"compress", "missing", "out"}, 3}, {{"decompress", "missing", "out"}, 3},
      {{"list", "/no/such/p.qvd"}, 3},  // a path, never a Windows-style option
  };
  for (const Case& c : cases) {
    ChildRun run = Run(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments[0] << " " << c.arguments[1] << run.err;
    EXPECT_EQ(run.err.empty(), c.exitCode == 0) << "every failure says why";
  }
  EXPECT_FALSE(Exists("out") || Exists("bad.qvd"));
  EXPECT_FALSE(Exists("src/no")) << "no folder made inside the tree being packed";
}

// --- What a publisher stumbled over ------------------------------------------------------

TEST_F(SetuppackTest, BundleMakesItsFoldersAndReportsOnlyWhatIsUploaded) {
  // create too: the publisher's first step runs in an empty folder.
  ASSERT_EQ(Run({"create", "src", "-o", "release/new/Pack.qvd", "-q"}).exitCode, 0);
  EXPECT_TRUE(Exists("release/new/Pack.qvd"));
  std::vector<uint8_t> stub = MakeTestStub();
  Write("stub.exe", std::string(stub.begin(), stub.end()));
  ChildRun made =
      Run({"bundle", "src", "--single-file", "--stub", "stub.exe", "-o", "out/deeper/setup.exe",
           "--product", "Zeta", "--version", "1.2.3", "--product-version", "1.2.3-beta"});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_TRUE(Exists("out/deeper/setup.exe"));
  std::string said = made.out + made.err;
  EXPECT_EQ(said.find(".package"), std::string::npos) << "no internal file named: " << said;
  EXPECT_NE(said.find("out/deeper/setup.exe: single file"), std::string::npos) << said;

  // The version strings: a description by default, the product version as given.
  ChildRun verified = Run({"verify", "out/deeper/setup.exe", "--json"});
  EXPECT_EQ(verified.exitCode, 0) << verified.err;
  Json document = Json::parse(verified.out);
  EXPECT_EQ(document["release"], "single-file");
  EXPECT_EQ(document["launcher"]["version"], "1.2.3");
  const std::string launcher = Read("out/deeper/setup.exe");
  auto holds = [](const std::string& image, const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return image.find(bytes) != std::string::npos;
  };
  EXPECT_TRUE(holds(launcher, u"FileDescription")) << "given by default";
  EXPECT_TRUE(holds(launcher, u"Zeta Setup"));
  EXPECT_TRUE(holds(launcher, u"1.2.3-beta"));
  EXPECT_EQ(Run({"bundle", "src", "--stub", "stub.exe", "--description", "Mine", "-o", "rel",
                 "--product", "Zeta"})
                .exitCode,
            0);
  EXPECT_TRUE(holds(Read("rel/setup.exe"), u"Mine"));
  EXPECT_FALSE(holds(Read("rel/setup.exe"), u"Zeta Setup")) << "what is given wins";

  // An unsigned release is a warning; --werror makes it fail.
  ChildRun strict = Run({"verify", "out/deeper/setup.exe", "--werror"});
  EXPECT_EQ(strict.exitCode, 1);
  EXPECT_NE(strict.err.find("no Authenticode signature"), std::string::npos) << strict.err;
}

TEST_F(SetuppackTest, CountsAndEscapesReadAsMeant) {
  // A byte beyond ASCII right after a separator: the escape cannot pass for a doubled
  // backslash, and the JSON quotes the same text.
  WritePackage("p.qvd", {"\\data"},
               {{"\\Installer.exe", LiteralBlob("x")}, {"\\data\\\x80uro.txt", LiteralBlob("y")}});
  ChildRun listed = Run({"list", "p.qvd"});
  EXPECT_NE(Text(listed.out).find(" \\data\\\\x{80}uro.txt\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("total: 1 directory, 2 files"), std::string::npos) << listed.out;
  Json document = Json::parse(Run({"list", "p.qvd", "--json"}).out);
  EXPECT_EQ(document["entries"][2]["shown"], "\\data\\\\x{80}uro.txt");
  EXPECT_FALSE(document["entries"][2].contains("name"));

  WritePackage("one.qvd", {}, {{"\\Installer.exe", LiteralBlob("x")}});
  ChildRun verified = Run({"verify", "one.qvd"});
  EXPECT_NE(verified.out.find(": ok, 0 directories, 1 file, "), std::string::npos) << verified.out;
  Write("one/Installer.exe", "x");
  Write("one/a/b", "y");
  ChildRun created = Run({"create", "one", "-o", "one.qvd"});
  EXPECT_NE(created.out.find("one.qvd: 1 directory, 2 files"), std::string::npos) << created.out;
}

// --- JSON ---------------------------------------------------------------------------------

TEST_F(SetuppackTest, ListJsonDescribesEveryEntry) {
  std::vector<uint8_t> shared = LiteralBlob("shared"), own = LiteralBlob(Sample(300, 3));
  std::vector<PackageRecord> directories = {{"\\d", 0, 0}};
  uint32_t end = static_cast<uint32_t>(shared.size() + own.size());
  std::vector<PackageRecord> files = {
      {"\\Installer.exe", 0, static_cast<uint32_t>(shared.size())},
      {"\\d\\caf\xe9.txt", static_cast<uint32_t>(shared.size()), static_cast<uint32_t>(own.size())},
      {"\\d\\copy.txt", 0, static_cast<uint32_t>(shared.size())},
      {"\\e1", end, 0},
      {"\\e2", end, 0},
      {"\\rtl\xe2\x80\xaetxt\x1b", end, 0}};
  std::vector<uint8_t> bytes = PackageTablesBytes(directories, files);
  uint64_t dataStart = bytes.size();
  bytes.insert(bytes.end(), shared.begin(), shared.end());
  bytes.insert(bytes.end(), own.begin(), own.end());
  Write("p.qvd", std::string(bytes.begin(), bytes.end()));

  ChildRun bare = Run({"list", "p.qvd", "--json"});
  ASSERT_EQ(bare.exitCode, 0) << bare.err;
  Json listed = Json::parse(bare.out);
  const Json& entries = listed["entries"];
  ASSERT_EQ(entries.size(), 1 + files.size());
  EXPECT_EQ(entries[0]["kind"], "directory");
  EXPECT_EQ(entries[0]["name"], "\\d");
  const uint32_t decoded[] = {6, 300, 6, 0, 0, 0};
  const bool isShared[] = {true, false, true, false, false, false};
  for (size_t i = 0; i < files.size(); ++i) {
    const Json& entry = entries[1 + i];
    SCOPED_TRACE(files[i].name);
    EXPECT_EQ(entry["kind"], "file");
    EXPECT_EQ(entry["name_hex"], Hex(files[i].name));
    EXPECT_EQ(entry["stored"], files[i].size);
    EXPECT_EQ(entry["decoded"], decoded[i]);
    EXPECT_EQ(entry["offset"], dataStart + files[i].offset);
    EXPECT_EQ(entry["shared"], isShared[i]) << "empty blobs share nothing";
  }
  EXPECT_EQ(entries[1]["name"], "\\Installer.exe") << "ASCII is text in every code page";
  EXPECT_FALSE(entries[2].contains("name")) << "a byte beyond ASCII means nothing by itself";
  EXPECT_EQ(listed["files"], files.size());
  EXPECT_EQ(listed["stored"], shared.size() + own.size()) << "a shared blob counts once";

  ChildRun western = Run({"list", "p.qvd", "--json", "--codepage", "1252"});
  EXPECT_EQ(Json::parse(western.out)["entries"][2]["name"], "\\d\\caf\xc3\xa9.txt");
  // Characters that would steer a terminal are escaped in the text, intact in the value.
  ChildRun utf8 = Run({"list", "p.qvd", "--json", "--codepage", "65001"});
  EXPECT_EQ(utf8.out.find("\xe2\x80\xae"), std::string::npos);
  EXPECT_EQ(utf8.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(Json::parse(utf8.out)["entries"][6]["name"], files[5].name);
}

TEST_F(SetuppackTest, VerifyJsonGivesEachProblemAStableCode) {
  std::vector<uint8_t> fine = LiteralBlob("fine");
  BitWriter early;
  early.Reference(0, 1);  // the first symbol a reference, to nothing learnt yet
  WritePackage("p.qvd", {"\\d", "\\D", "\\d"},
               {{"\\..\\evil", fine},
                {"\\nodir\\f", fine},
                {"\\d\\ok", fine},
                {"\\corrupt", MakeBlob(1, early.bytes())},
                {"\\cut", MakeBlob(3, {0x30, 0x80})},
                {"\\" + std::string(270, 'n'), fine}});
  ChildRun run = Run({"verify", "p.qvd", "--json"});
  EXPECT_EQ(run.exitCode, 1);
  Json verified = Json::parse(run.out);
  EXPECT_EQ(verified["ok"], false);
  std::vector<std::string> found;
  for (const Json& problem : verified["problems"])
    found.push_back(problem["code"].get<std::string>() + " " +
                    problem["entry"]["kind"].get<std::string>() + " " +
                    std::to_string(problem["entry"]["index"].get<int>()));
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"case-clash directory 1", "corrupt-stream file 3",
                                             "duplicate-name directory 2",
                                             "missing-directory file 1", "too-long file 5",
                                             "truncated-stream file 4", "unsafe-name file 0"}));

  // A package with tables that end early is a finding too; a clean one has none.
  Write("short.qvd", "abc");
  ChildRun tables = Run({"verify", "short.qvd", "--json"});
  EXPECT_EQ(tables.exitCode, 1);
  EXPECT_EQ(Json::parse(tables.out)["problems"][0]["code"], "bad-tables");
  WritePackage("clean.qvd", {}, {{"\\Installer.exe", fine}});
  ChildRun clean = Run({"verify", "clean.qvd", "--json"});
  EXPECT_EQ(clean.exitCode, 0);
  Json ok = Json::parse(clean.out);
  EXPECT_EQ(ok["ok"], true);
  EXPECT_EQ(ok["problems"].size(), 0u);
  EXPECT_EQ(ok["decoded"], 4);
}

// --- Standard input and output --------------------------------------------------------------

TEST_F(SetuppackTest, StandardStreamsCarryBytesAsTheyAre) {
  ASSERT_EQ(Run({"create", "src", "-o", "file.qvd", "-q"}).exitCode, 0);
  ChildRun piped = Run({"create", "src", "-o", "-"});
  EXPECT_EQ(piped.exitCode, 0);
  EXPECT_TRUE(piped.out == Read("file.qvd")) << "the package alone, the report on standard error";
  EXPECT_NE(piped.err.find("standard output: 1 directory"), std::string::npos);
  // A package read from standard input is the same package, and its copy goes afterwards.
  std::vector<std::string> before = Leftovers();
  for (const char* command : {"list", "verify"}) {
    std::string named = Run({command, "file.qvd"}).out;
    if (named.rfind("file.qvd:", 0) == 0) named.replace(0, 8, "-");
    EXPECT_EQ(Run({command, "-"}, piped.out).out, named) << command;
  }
  ChildRun extracted = Run({"extract", "-", "out", "-q"}, piped.out);
  EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_EQ(Read("out/data/notes.txt"), Read("src/data/notes.txt"));
  fs::remove_all(root_ / "work/out");
  ChildRun notPackage = Run({"verify", "-"}, "junk");
  EXPECT_EQ(notPackage.exitCode, 1);
  EXPECT_NE(notPackage.err.find("-: not a valid package"), std::string::npos) << notPackage.err;
  EXPECT_EQ(Leftovers(), before);

  // Line ends and ^Z pass unchanged (binary mode on Windows).
  std::string data = Sample(20000, 4);
  Write("data", data);
  ASSERT_EQ(Run({"compress", "data", "blob"}).exitCode, 0);
  ChildRun compressed = Run({"compress", "-", "-"}, data);
  EXPECT_EQ(compressed.exitCode, 0);
  EXPECT_TRUE(compressed.out == Read("blob"));
  ChildRun decompressed = Run({"decompress", "-", "-"}, compressed.out);
  EXPECT_EQ(decompressed.exitCode, 0);
  EXPECT_TRUE(decompressed.out == data);

  // A failure reaches standard output as nothing at all, and leaves nothing behind.
  before = Leftovers();
  ChildRun damaged = Run({"decompress", "-", "-"}, compressed.out.substr(0, 2000));
  EXPECT_EQ(damaged.exitCode, 1);
  EXPECT_EQ(damaged.out, "");
  Write(fs::u8path("src/caf\u00e9"), "not ASCII, and no --codepage");
  before = Leftovers();
  ChildRun refused = Run({"create", "src", "-o", "-"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(Leftovers(), before);
}

// --- Warnings -----------------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

TEST_F(SetuppackTest, InputsTooLargeForMemoryAreNamed) {
#ifdef UNDER_ADDRESS_SANITIZER
  GTEST_SKIP() << "AddressSanitizer ends a process whose allocation fails instead of throwing";
#endif
  // A sparse file: it claims the size without taking the disk. Past what a 32-bit process can
  // address on Windows, past what memory gives on a 64-bit system.
  const uintmax_t huge = sizeof(void*) == 4 ? uintmax_t{3} << 30 : uintmax_t{1} << 40;
  std::ofstream(root_ / "work/huge.exe").put('M');
  fs::resize_file(root_ / "work/huge.exe", huge);
  ChildRun run = Run({"bundle", "src", "--stub", "huge.exe", "-o", "release"});
  EXPECT_EQ(run.exitCode, 3) << run.err;
  EXPECT_NE(run.err.find("huge.exe: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("more than this program can hold in memory"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("bad_alloc"), std::string::npos) << run.err;
  EXPECT_FALSE(Exists("release"));
}

TEST_F(SetuppackTest, WerrorMakesWarningsFatalEvenWhenQuiet) {
  fs::remove(root_ / "work/src/Installer.exe");
  ChildRun warned = Run({"create", "src", "-q"});
  EXPECT_EQ(warned.exitCode, 0);
  EXPECT_EQ(warned.err, "") << "--quiet hides a warning";
  std::vector<std::string> before = Leftovers();
  for (const Arguments& arguments : {Arguments{"create", "src", "-o", "w.qvd", "--werror"},
                                     Arguments{"-q", "create", "src", "-o", "w.qvd", "--werror"}}) {
    ChildRun run = Run(arguments);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("no Installer.exe"), std::string::npos) << run.err;
    EXPECT_EQ(Leftovers(), before) << "no package";
  }
  // What the launcher passes over, extract warns about; --werror leaves nothing unpacked.
  WritePackage("slip.qvd", {},
               {{"\\Installer.exe", LiteralBlob("x")}, {"\\nodir\\f", LiteralBlob("y")}});
  EXPECT_EQ(Run({"extract", "slip.qvd", "out", "-q"}).exitCode, 0);
  ChildRun strict = Run({"extract", "slip.qvd", "strict", "-q", "--werror"});
  EXPECT_EQ(strict.exitCode, 1);
  EXPECT_NE(strict.err.find("nodir"), std::string::npos);
  EXPECT_TRUE(Exists("out/Installer.exe"));
  EXPECT_FALSE(Exists("strict"));
}

// --- Names in any script, stops ------------------------------------------------------------

TEST_F(SetuppackTest, NamesInAnyScriptAsArgumentsAndInTheTree) {
  // Cyrillic and Japanese in the paths the user names; Cyrillic names in the tree, for the
  // Cyrillic code page. Windows must take all of them through the wide calls.
  fs::path tree = fs::u8path("Пакет 日本"), data = fs::u8path("данные/файл.txt");
  Write(tree / "Installer.exe", "installer");
  Write(tree / data, "contents");
  fs::path package = fs::u8path("выход パック.qvd");
  ChildRun created = Run({"create", tree.u8string(), "-o", package.u8string(), "--codepage=1251"});
  ASSERT_EQ(created.exitCode, 0) << created.err;
  EXPECT_EQ(created.out.find(package.u8string() + ": 1 directory, 2 files"), 0u) << created.out;
  ChildRun listed = Run({"list", package.u8string(), "--codepage", "1251"});
  EXPECT_NE(Text(listed.out).find(" \\данные\\файл.txt\n"), std::string::npos) << listed.out;
  ChildRun json = Run({"list", package.u8string(), "--json", "--codepage", "1251"});
  EXPECT_EQ(Json::parse(json.out)["package"], package.u8string());
  EXPECT_EQ(Run({"verify", package.u8string(), "--codepage", "1251"}).exitCode, 0);
  // Japanese names in the tree, whose second bytes in code page 932 include '\\'.
  Write(fs::u8path("日本/Installer.exe"), "installer");
  Write(fs::u8path("日本/ソフト/表.txt"), "table");
  EXPECT_EQ(Run({"create", "日本", "-o", "日本.qvd", "--codepage", "932", "-q"}).exitCode, 0);
  ChildRun japanese = Run({"list", "日本.qvd", "--codepage", "932"});
  EXPECT_NE(Text(japanese.out).find(" \\ソフト\\表.txt\n"), std::string::npos) << japanese.out;

  fs::path destination = fs::u8path("распаковка 展開");
  ChildRun extracted = Run({"extract", package.u8string(), destination.u8string(), "-q"});
  EXPECT_EQ(extracted.exitCode, 0) << extracted.err;
  EXPECT_EQ(Read(destination / "Installer.exe"), "installer");
  fs::path blob = fs::u8path("日本.blob"), back = fs::u8path("Ж.txt");
  EXPECT_EQ(Run({"compress", (tree / data).u8string(), blob.u8string()}).exitCode, 0);
  EXPECT_EQ(Run({"decompress", blob.u8string(), back.u8string()}).exitCode, 0);
  EXPECT_EQ(Read(back), "contents");
}

TEST_F(SetuppackTest, StoppedCreateLeavesNoPartialOutput) {
  // Enough to compress that a stop finds the temporary file open and being written.
  Write("src/big.bin", Sample(24 << 20, 5));
  for (const char* output : {"big.qvd", "-"}) {
    SCOPED_TRACE(output);
    std::vector<std::string> before = Leftovers();
    bool partFound = false;
    auto writing = [&] {
      for (const std::string& name : Leftovers())
        partFound = partFound || (name.find(".part") != std::string::npos &&
                                  std::find(before.begin(), before.end(), name) == before.end());
      return partFound;
    };
    ChildRun run = RunStoppedWhen({"create", "src", "-o", output, "--jobs", "1", "-q"}, writing);
    ASSERT_TRUE(partFound) << "setuppack ended before it could be stopped";
    EXPECT_EQ(run.exitCode, kStoppedExit);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Leftovers(), before);
  }
}

TEST_F(SetuppackTest, StoppedExtractLeavesNothing) {
  // Stopped while the shared core decodes into a file it holds open, which Windows cannot
  // delete until it is closed.
  Write("src/big.bin", Sample(24 << 20, 6));
  ASSERT_EQ(Run({"create", "src", "-o", "big.qvd", "-q"}).exitCode, 0);
  std::vector<std::string> before = Leftovers();
  fs::path decoded = root_ / "work/out/big.bin";
  bool seen = false;
  auto decoding = [&] {
    std::error_code error;
    seen = seen || (fs::file_size(decoded, error) > 0 && !error);
    return seen;
  };
  ChildRun run = RunStoppedWhen({"extract", "big.qvd", "out"}, decoding);
  ASSERT_TRUE(seen) << "setuppack ended before it could be stopped";
  EXPECT_EQ(run.exitCode, kStoppedExit);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Leftovers(), before);
}

}  // namespace
