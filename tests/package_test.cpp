// Package reading, staging and extraction: well-formed packages come out byte-exactly, and
// damaged or hostile ones are refused without touching anything outside the directories owned.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/code_page.h"
#include "common/paths.h"
#include "package/entry_name.h"
#include "package/extract.h"
#include "package/package_file.h"
#include "package/package_writer.h"
#include "package/tree_walk.h"
#include "support/bit_writer.h"
#include "support/package_builder.h"
#include "support/scratch.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

typedef std::vector<std::pair<std::string, std::string>> Tree;

struct ExtractResult {
  int ok;
  std::vector<std::string> problems;
  std::vector<std::string> slips;
};

void CollectSlip(void* context, const char* where, const char* what) {
  static_cast<ExtractResult*>(context)->slips.push_back(std::string(where) + ": " + what);
}

void CollectDamage(void* context, const char* where, const char* what) {
  static_cast<ExtractResult*>(context)->problems.push_back(std::string(where) + ": " + what);
}

// Extracts `package` into a fresh directory and checks that no staging directory is left.
ExtractResult Extract(const ScratchDir& dir, const std::vector<uint8_t>& package) {
  EXPECT_TRUE(WriteWholeFile(dir / "Pack.qvd", package));
  RemoveTree((dir / "install").c_str());
  EXPECT_EQ(MakeDirectory((dir / "install").c_str()), MAKEDIR_CREATED);
  ExtractResult result;
  ProblemReporter reporter = {CollectDamage, &result, CollectSlip};
  result.ok = ExtractPackage((dir / "Pack.qvd").c_str(), (dir / "install").c_str(), &reporter) ==
              EXTRACT_OK;
  return result;
}

std::vector<std::string> StagingLeftovers() {
  char temp[PATH_BUFFER];
  std::vector<std::string> left;
  if (!GetTempDirectory(temp, MAX_PATH)) return left;
  std::string dir(temp);
  dir.pop_back();
  for (const std::string& name : ListDir(dir))
    if (name.rfind("latmp", 0) == 0) left.push_back(name);
  return left;
}

TEST(Extraction, MultiLevelPackageComesOutByteExactly) {
  ScratchDir dir;
  std::string big;
  for (int i = 0; i < 70000; ++i) big += static_cast<char>(i * 7 % 251);
  std::vector<uint8_t> package =
      BuildPackage({"\\bin", "\\bin\\lib", "\\empty", "\\data"},
                   {{"\\Installer.exe", LiteralBlob("MZ fake installer")},
                    {"\\bin\\lib\\big.dat", LiteralBlob(big)},
                    {"\\data\\zero", {}},
                    {"\\readme.txt", LiteralBlob("hello\r\n")}});
  std::vector<std::string> before = StagingLeftovers();
  ExtractResult result = Extract(dir, package);
  EXPECT_EQ(result.ok, 1);
  EXPECT_TRUE(result.problems.empty()) << result.problems[0];
  Tree expected = {{"\\Installer.exe", "MZ fake installer"},
                   {"\\bin\\", ""},
                   {"\\bin\\lib\\", ""},
                   {"\\bin\\lib\\big.dat", big},
                   {"\\data\\", ""},
                   {"\\data\\zero", ""},
                   {"\\empty\\", ""},
                   {"\\readme.txt", "hello\r\n"}};
  EXPECT_TRUE(Snapshot(dir / "install") == expected);
  EXPECT_EQ(StagingLeftovers(), before);
}

TEST(Extraction, EmptyPackageGivesEmptyDirectory) {
  ScratchDir dir;
  ExtractResult result = Extract(dir, PackageTablesBytes({}, {}));
  EXPECT_EQ(result.ok, 1);
  EXPECT_TRUE(ListDir(dir / "install").empty());
  // Negative counts mean no records.
  ScratchDir other;
  std::vector<uint8_t> negative = {0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Extract(other, negative).ok, 1);
}

TEST(Extraction, BlobOfExactlyOneChunkAndEmptyBlob) {
  ScratchDir dir;
  // A stored blob of exactly 65536 bytes: the size prefix and literal bits of the right length.
  std::string text(58250, 'q');
  std::vector<uint8_t> blob = LiteralBlob(text);
  blob.resize(65536, 0);
  std::vector<uint8_t> package = BuildPackage({}, {{"\\chunk", blob}, {"\\none", {}}});
  ExtractResult result = Extract(dir, package);
  EXPECT_EQ(result.ok, 1);
  std::string out;
  ASSERT_TRUE(ReadWholeFile(dir / "install\\chunk", &out));
  EXPECT_TRUE(out == text);
  ASSERT_TRUE(ReadWholeFile(dir / "install\\none", &out));
  EXPECT_EQ(out, "");
}

TEST(Extraction, MissingPackageFailsAndLeavesNoStaging) {
  ScratchDir dir;
  std::vector<std::string> before = StagingLeftovers();
  ASSERT_EQ(MakeDirectory((dir / "install").c_str()), MAKEDIR_CREATED);
  EXPECT_EQ(ExtractPackage((dir / "nothing.qvd").c_str(), (dir / "install").c_str()),
            EXTRACT_UNREADABLE);
  EXPECT_EQ(StagingLeftovers(), before);
}

// What a package's maker got wrong the same way on every machine is passed over or applied as
// records are, and the rest still comes out.
TEST(Slips, AreToleratedAndTheRestComesOut) {
  ScratchDir dir;
  ExtractResult result =
      Extract(dir, BuildPackage({"\\", "\\Data\\", "\\orphan\\child", "\\Data", "\\data\\Sub",
                                 "\\late\\x", "\\late", "\\late\\x", "\\Taken"},
                                {{"\\nodir\\f", LiteralBlob("lost")},
                                 {"\\DATA\\sub\\one", LiteralBlob("first")},
                                 {"\\data\\SUB\\ONE", LiteralBlob("second")},
                                 {"\\taken", LiteralBlob("under a directory")},
                                 {"\\late\\x\\in", LiteralBlob("deep")},
                                 {"\\Installer.exe", LiteralBlob("MZ")}}));
  EXPECT_EQ(result.ok, 1);
  EXPECT_TRUE(result.problems.empty()) << result.problems[0];
  // The root record, the trailing backslash, the orphan, "\\Data" again, the first "\\late\\x",
  // the orphan file, the earlier "one", the file under "\\Taken".
  EXPECT_EQ(result.slips.size(), 8u);
  Tree expected = {
      {"\\Data\\", ""},          {"\\Data\\Sub\\", ""},    {"\\Data\\Sub\\ONE", "second"},
      {"\\Installer.exe", "MZ"}, {"\\Taken\\", ""},        {"\\late\\", ""},
      {"\\late\\x\\", ""},       {"\\late\\x\\in", "deep"}};
  EXPECT_TRUE(Snapshot(dir / "install") == expected);
}

TEST(Extraction, CorruptBlobFailsTheWholePackage) {
  ScratchDir dir;
  std::vector<uint8_t> corrupt = MakeBlob(10, {0x30});  // truncated stream
  ExtractResult result =
      Extract(dir, BuildPackage({}, {{"\\bad", corrupt}, {"\\good", LiteralBlob("fine")}}));
  EXPECT_EQ(result.ok, 0);
  EXPECT_FALSE(PathExists(dir / "install\\bad"));
}

TEST(HostileNames, AreRefusedAndNothingLandsOutside) {
  const std::vector<std::string> hostile = {"\\..\\escape", "\\a\\..\\..\\escape",
                                            "..\\escape",   "escape",
                                            "\\",           "\\a\\\\b",
                                            "\\.\\x",       "\\x\\.",
                                            "\\a/b",        "\\c:x",
                                            "\\tab\there",  "\\CON",
                                            "\\nul.txt",    "\\com1",
                                            "\\trail.",     "\\blank ",
                                            "\\q?",         "\\pipe|x",
                                            "\\lpt9.log",   "\\star*"};
  for (const std::string& name : hostile) {
    ScratchDir dir;
    ASSERT_EQ(MakeDirectory((dir / "outside").c_str()), MAKEDIR_CREATED);
    ExtractResult asFile = Extract(dir, BuildPackage({}, {{name, LiteralBlob("evil")}}));
    EXPECT_EQ(asFile.ok, 0) << name;
    EXPECT_EQ(asFile.problems.size(), 1u) << name;
    ExtractResult asDirectory = Extract(dir, BuildPackage({name}, {}));
    EXPECT_EQ(asDirectory.ok, name == "\\" ? 1 : 0) << name;
    EXPECT_TRUE(ListDir(dir / "install").empty()) << name;
    EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"Pack.qvd", "install", "outside"}));
  }
  EXPECT_EQ(EntryNameProblem("\\ok\\name.txt", 12), nullptr);
  EXPECT_EQ(EntryNameProblem("\\console.log", 12), nullptr);
  EXPECT_NE(EntryNameProblem("\\x", 3), nullptr) << "embedded NUL";
}

TEST(HostileNames, SuperscriptPortNumbersAreDevices) {
  // Code page 1252 bytes, then UTF-8; with an extension, a blank before it, any letter case.
  for (std::string name : {"\\COM\xB9", "\\lpt\xB2.txt", "\\d\\Com\xB3 .x", "\\LPT\xC2\xB9"}) {
    EXPECT_STREQ(EntryNameProblem(name.c_str(), static_cast<uint32_t>(name.size())),
                 "reserved device name")
        << name;
  }
  // Other Latin-1 digits and fractions are no port numbers, and C2 leads a superscript only.
  for (std::string name :
       {"\\COM\xBC", "\\LPT\xB0.txt", "\\COM\xB9\xB9", "\\COM\xC2\x31", "\\COM\xB2x"})
    EXPECT_EQ(EntryNameProblem(name.c_str(), static_cast<uint32_t>(name.size())), nullptr) << name;
  ScratchDir dir;
  ExtractResult result = Extract(dir, BuildPackage({}, {{"\\COM\xB9.log", LiteralBlob("x")}}));
  EXPECT_EQ(result.ok, 0);
  EXPECT_TRUE(ListDir(dir / "install").empty());
}

// Names in a double-byte code page for as long as a test runs.
class CodePage {
 public:
  explicit CodePage(int codePage) { SetNameCodePage(codePage); }
  ~CodePage() { SetNameCodePage(0); }
};

// In code page 932 "ソ" is 83 5C and "ポ" 83 7C: the second byte is no separator and no '|'.
const char kSoftware[] = "\\\x83\x5C\x83\x74\x83\x67";  // \ソフト
const char kTable[] = "\\\x95\x5C.txt";                 // \表.txt
const char kPort[] = "\\\x83\x7C\x81\x5B\x83\x67.txt";  // \ポート.txt

TEST(CodePages, DoubleByteNamesFollowTheirCodePage) {
  {
    CodePage japanese(932);
    for (const char* name : {kSoftware, kTable, kPort, "\\\x83\x5C\\readme.txt"})
      EXPECT_EQ(EntryNameProblem(name, static_cast<uint32_t>(strlen(name))), nullptr) << name;
    EXPECT_NE(EntryNameProblem("\\ok\x83", 4), nullptr) << "ends inside a character";
    EXPECT_NE(EntryNameProblem("\\\x83\x5C\\..\\x", 8), nullptr);
    EXPECT_EQ(ComponentNameProblem("\x83\x5C"), nullptr);
    EXPECT_NE(ComponentNameProblem("\x83\x5C\\x"), nullptr);
  }
  // In a single-byte code page the same bytes are a backslash and a bar.
  EXPECT_NE(EntryNameProblem(kPort, static_cast<uint32_t>(strlen(kPort))), nullptr);
  EXPECT_NE(ComponentNameProblem("\x83\x5C"), nullptr);
}

// The superscript digits of a port name are single bytes in most Latin code pages, letters in
// others, and two bytes in UTF-8.
TEST(CodePages, SuperscriptPortsAsTheCodePageSpellsThem) {
  struct Case {
    int page;
    const char* name;
    bool device;
  };
  for (Case c : {Case{1252, "\\COM\xB9", true}, Case{1250, "\\COM\xB9", false},
                 Case{1250, "\\LPT\xB3.txt", false}, Case{1253, "\\COM\xB9", false},
                 Case{1253, "\\lpt\xB2", true}, Case{932, "\\COM\xB3", false},
                 Case{1252, "\\COM\xC2\xB9", false}, Case{65001, "\\COM\xC2\xB9", true},
                 Case{65001, "\\COM\xB9", false}}) {
    CodePage page(c.page);
    const char* problem = EntryNameProblem(c.name, static_cast<uint32_t>(strlen(c.name)));
    EXPECT_EQ(problem != nullptr, c.device) << c.page << " " << c.name;
  }
}

#ifndef _WIN32
// Natively the names become UTF-8 on disk and come back in the code page; on Windows the
// system's own code page decides, which the Wine tests set.
TEST(CodePages, DoubleBytePackageUnpacksWithEveryName) {
  CodePage japanese(932);
  ScratchDir dir;
  std::string software = kSoftware;
  // "ツ" (83 61) and "ア" (83 41) differ only in a second byte that looks like a letter's case.
  std::string tsu = software + "\\\x83\x61", a = software + "\\\x83\x41";
  ExtractResult result = Extract(
      dir, BuildPackage({software, software + "\\"}, {{software + kTable, LiteralBlob("table")},
                                                      {kPort, LiteralBlob("port")},
                                                      {tsu, LiteralBlob("tsu")},
                                                      {a, LiteralBlob("a")}}));
  EXPECT_EQ(result.ok, 1);
  EXPECT_TRUE(result.problems.empty()) << result.problems[0];
  EXPECT_EQ(result.slips.size(), 2u) << "the trailing backslash, then the directory again";
  Tree expected = {
      {kPort, "port"}, {software + "\\", ""}, {a, "a"}, {tsu, "tsu"}, {software + kTable, "table"}};
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(Snapshot(dir / "install") == expected);
  // What a Linux user sees: the names in UTF-8.
  std::string native = dir / "install";
  std::replace(native.begin(), native.end(), '\\', '/');
  EXPECT_EQ(access((native + "/\u30bd\u30d5\u30c8/\u8868.txt").c_str(), F_OK), 0);
}
#endif

// What no temporary directory could hold, the tools refuse before any launcher meets it: below
// "C:\\latmp0.tmp" (13 bytes) a directory's path must stay within 255 bytes, so that its listing
// pattern fits MAX_PATH, and a file's within 259.
TEST(HostileNames, NamesNoMachineCouldUnpackAreKnownBeforehand) {
  EXPECT_EQ(UnpackedLengthProblem(("\\" + std::string(241, 'd')).c_str(), 1), nullptr);
  EXPECT_NE(UnpackedLengthProblem(("\\" + std::string(242, 'd')).c_str(), 1), nullptr);
  EXPECT_NE(UnpackedLengthProblem(("\\" + std::string(245, 'd')).c_str(), 1), nullptr);
  EXPECT_EQ(UnpackedLengthProblem(("\\" + std::string(245, 'f')).c_str(), 0), nullptr);
  EXPECT_NE(UnpackedLengthProblem(("\\" + std::string(246, 'f')).c_str(), 0), nullptr);
}

TEST(HostileNames, LongNamesAreRefusedWithoutOverflow) {
  ScratchDir dir;
  std::string long259 = "\\" + std::string(258, 'n');
  std::string long260 = "\\" + std::string(259, 'n');
  std::string long5000 = "\\" + std::string(4999, 'n');
  for (const std::string& name : {long259, long260, long5000}) {
    ExtractResult result = Extract(dir, BuildPackage({}, {{name, LiteralBlob("x")}}));
    EXPECT_EQ(result.ok, 0) << name.size();
    EXPECT_TRUE(ListDir(dir / "install").empty());
  }
}

TEST(DamagedTables, TruncatedTablesAreRefused) {
  std::vector<uint8_t> whole = BuildPackage({"\\d"}, {{"\\d\\f", LiteralBlob("data")}});
  size_t tables = PackageTablesBytes({{"\\d", 0, 0}}, {{"\\d\\f", 0, 0}}).size();
  for (size_t cut = 0; cut < tables; ++cut) {
    ScratchDir dir;
    std::vector<uint8_t> part(whole.begin(), whole.begin() + static_cast<long>(cut));
    ExtractResult result = Extract(dir, part);
    EXPECT_EQ(result.ok, 0) << cut;
    EXPECT_TRUE(ListDir(dir / "install").empty()) << cut;
  }
}

TEST(DamagedTables, HugeCountsAndLengthsAreRefused) {
  ScratchDir dir;
  std::vector<uint8_t> hugeCount = {0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0};
  EXPECT_EQ(Extract(dir, hugeCount).ok, 0);
  ScratchDir other;
  std::vector<uint8_t> hugeName = {1, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, '\\', 'a'};
  EXPECT_EQ(Extract(other, hugeName).ok, 0);
}

TEST(DamagedTables, BlobsOutsideThePackageAreRefused) {
  std::vector<uint8_t> blob = LiteralBlob("content");
  uint32_t size = static_cast<uint32_t>(blob.size());
  struct Case {
    uint32_t offset, size;
  };
  for (Case c : {Case{1, size}, Case{0, size + 1}, Case{0xFFFFFFF0u, size}, Case{0x80000000u, 1},
                 Case{0, 0xFFFFFFFFu}}) {
    ScratchDir dir;
    std::vector<uint8_t> package = PackageTablesBytes({}, {{"\\f", c.offset, c.size}});
    package.insert(package.end(), blob.begin(), blob.end());
    ExtractResult result = Extract(dir, package);
    EXPECT_EQ(result.ok, 0) << c.offset << " " << c.size;
    EXPECT_TRUE(ListDir(dir / "install").empty());
  }
}

// Overlapping blobs let a small package declare any amount of output: it is refused before
// anything is staged when it would not fit on the temporary directory's disk.
TEST(DamagedTables, DeclaredOutputBeyondTheDiskIsRefusedBeforeStaging) {
  ScratchDir dir;
  std::vector<uint8_t> blob = LiteralBlob("x");
  blob[0] = blob[1] = blob[2] = blob[3] = 0xFF;  // declares 4 GiB
  std::vector<PackageRecord> files;
  for (int i = 0; i < 4096; ++i)
    files.push_back({"\\f" + std::to_string(i), 0, static_cast<uint32_t>(blob.size())});
  std::vector<uint8_t> package = PackageTablesBytes({}, files);
  package.insert(package.end(), blob.begin(), blob.end());
  ASSERT_TRUE(WriteWholeFile(dir / "Pack.qvd", package));
  ASSERT_EQ(MakeDirectory((dir / "install").c_str()), MAKEDIR_CREATED);
  std::vector<std::string> before = StagingLeftovers();
  EXPECT_EQ(ExtractPackage((dir / "Pack.qvd").c_str(), (dir / "install").c_str()),
            EXTRACT_NO_SPACE);
  EXPECT_TRUE(ListDir(dir / "install").empty());
  EXPECT_EQ(StagingLeftovers(), before);
}

TEST(DamagedTables, OverlappingBlobsAreAllowed) {
  ScratchDir dir;
  std::vector<uint8_t> blob = LiteralBlob("shared");
  uint32_t size = static_cast<uint32_t>(blob.size());
  std::vector<uint8_t> package = PackageTablesBytes({}, {{"\\a", 0, size}, {"\\b", 0, size}});
  package.insert(package.end(), blob.begin(), blob.end());
  EXPECT_EQ(Extract(dir, package).ok, 1);
  EXPECT_TRUE(Snapshot(dir / "install") == (Tree{{"\\a", "shared"}, {"\\b", "shared"}}));
}

// A package of `count` files spread over ten directories, some of them large, with what a
// package's maker may get wrong: a directory listed twice, a file whose directory is missing, a
// name given twice (the later record wins), and two records sharing one blob. The file at
// `corruptAt` (if any) holds a stream that names no phrase.
std::vector<uint8_t> ManyFilesPackage(int count, int corruptAt) {
  std::vector<PackageRecord> directories, files;
  std::vector<uint8_t> data;
  auto add = [&](const std::string& name, const std::vector<uint8_t>& blob) {
    files.push_back({name, static_cast<uint32_t>(data.size()), static_cast<uint32_t>(blob.size())});
    data.insert(data.end(), blob.begin(), blob.end());
  };
  for (int d = 0; d < 10; ++d) directories.push_back({"\\d" + std::to_string(d), 0, 0});
  directories.push_back({"\\d3", 0, 0});
  uint32_t seed = 12345;
  for (int i = 0; i < count; ++i) {
    std::string text(i % 25 == 0 ? 300000 : static_cast<size_t>(i * 997 % 5000), ' ');
    for (char& c : text) c = static_cast<char>('a' + (seed = seed * 1103515245 + 12345) % 26);
    add("\\d" + std::to_string(i % 10) + "\\f" + std::to_string(i),
        i == corruptAt ? MakeBlob(10, {0x80}) : LiteralBlob(text));
  }
  files.push_back({"\\d9\\shared", files[2].offset, files[2].size});
  add("\\d1\\f1", LiteralBlob("the later record"));
  add("\\nodir\\lost", LiteralBlob("lost"));
  std::vector<uint8_t> package = PackageTablesBytes(directories, files);
  package.insert(package.end(), data.begin(), data.end());
  return package;
}

// Sets the number of decoding workers for one scope.
struct Workers {
  explicit Workers(int count) { g_decodeWorkers = count; }
  ~Workers() { g_decodeWorkers = 0; }
};

TEST(DecodeWorkers, ManyWorkersGiveExactlyTheTreeOfOne) {
  ScratchDir dir;
  std::vector<uint8_t> package = ManyFilesPackage(240, -1);
  Tree one;
  std::vector<std::string> slipsOfOne;
  for (int count : {1, 2, 8}) {
    Workers workers(count);
    ExtractResult result = Extract(dir, package);
    EXPECT_EQ(result.ok, 1) << count;
    EXPECT_TRUE(result.problems.empty()) << count << " " << result.problems[0];
    Tree tree = Snapshot(dir / "install");
    std::sort(result.slips.begin(), result.slips.end());
    if (count == 1) {
      one = tree;
      slipsOfOne = result.slips;
      // The shared blob came out twice, the later record of "f1" won, the orphan is passed over.
      EXPECT_EQ(tree.size(), 10u + 240u + 1u);
      auto contents = [&](const std::string& name) {
        for (const auto& entry : tree)
          if (entry.first == name) return entry.second;
        return std::string("(missing)");
      };
      EXPECT_EQ(contents("\\d9\\shared"), contents("\\d2\\f2"));
      EXPECT_EQ(contents("\\d2\\f2").size(), 1994u);
      EXPECT_EQ(contents("\\d1\\f1"), "the later record");
      EXPECT_EQ(contents("\\d0\\f0").size(), 300000u);
      EXPECT_EQ(result.slips.size(), 3u);
    } else {
      EXPECT_TRUE(tree == one) << count << " workers";
      EXPECT_EQ(result.slips, slipsOfOne) << count << " workers";
    }
  }
  EXPECT_TRUE(StagingLeftovers().empty());
}

TEST(DecodeWorkers, ACorruptBlobAmongManyStopsTheRunAndReportsItAlone) {
  for (int count : {1, 4}) {
    ScratchDir dir;
    Workers workers(count);
    ExtractResult result = Extract(dir, ManyFilesPackage(200, 105));
    EXPECT_EQ(result.ok, 0) << count;
    ASSERT_EQ(result.problems.size(), 1u) << count;
    EXPECT_NE(result.problems[0].find("\\d5\\f105: corrupt stream"), std::string::npos)
        << result.problems[0];
    // What the run made in the failing file's directory is gone already; the rest goes with the
    // install directory, as the launcher and the packer take it away, and no worker is left to
    // write anything after.
    for (const auto& entry : Snapshot(dir / "install\\d5"))
      EXPECT_EQ(entry.first.back(), '\\') << entry.first;
    EXPECT_EQ(RemoveTree((dir / "install").c_str()), 1);
    EXPECT_FALSE(PathExists(dir / "install"));
    EXPECT_TRUE(StagingLeftovers().empty());
  }
}

// Reads the tables of a package file holding `bytes`.
PackageStatus ReadTablesOf(const std::vector<uint8_t>& bytes, PackageTables* tables) {
  ScratchDir dir;
  if (!WriteWholeFile(dir / "p", bytes)) return PACKAGE_UNREADABLE;
  FILE* file = OpenFile((dir / "p").c_str(), "rb");
  if (file == nullptr) return PACKAGE_UNREADABLE;
  PackageStatus status = ReadPackageTables(file, tables);
  fclose(file);
  return status;
}

// Each record costs about what it takes in the file, so a package of millions of empty records
// cannot make the launcher exhaust its address space before it refuses the names.
TEST(PackageTables, MemoryStaysNearTheTablesSize) {
  const uint32_t records = 2000000;
  std::vector<uint8_t> bytes(8 + 12 * static_cast<size_t>(records), 0);
  bytes[0] = records & 0xFF;
  bytes[1] = (records >> 8) & 0xFF;
  bytes[2] = (records >> 16) & 0xFF;
  PackageTables tables;
  EXPECT_EQ(ReadTablesOf(bytes, &tables), PACKAGE_OK);
  EXPECT_EQ(tables.directories.count, static_cast<int>(records));
  // Twice the tables for the launcher's 32-bit pointers; 64-bit builds pay for wider ones.
  const double factor = sizeof(void*) == 4 ? 2.0 : 3.0;
  EXPECT_LE(static_cast<double>(tables.directories.BytesHeld()),
            factor * static_cast<double>(bytes.size()) + 65536.0);
}

TEST(PackageTables, ReadsRecordsInOrder) {
  std::vector<uint8_t> bytes =
      PackageTablesBytes({{"\\x", 9, 9}, {"\\x\\y", 0, 0}}, {{"\\x\\f", 3, 4}});
  bytes.resize(bytes.size() + 7);
  PackageTables tables;
  EXPECT_EQ(ReadTablesOf(bytes, &tables), PACKAGE_OK);
  ASSERT_EQ(tables.directories.count, 2);
  EXPECT_STREQ(tables.directories.first->name, "\\x");
  EXPECT_STREQ(tables.directories.last->name, "\\x\\y");
  ASSERT_EQ(tables.files.count, 1);
  EXPECT_EQ(tables.files.first->offset, 3u);
  EXPECT_EQ(tables.files.first->size, 4u);
  EXPECT_EQ(tables.dataStart, bytes.size() - 7);
  EXPECT_EQ(BlobProblem(tables, *tables.files.first), nullptr);
}

// ---- A package read from a region of a larger file, as a single-file launcher reads its own.

// Writes `before`, the package and `after` into one file, and extracts the package from its
// region of it, `size` bytes (the package's own size when 0), through the open file.
ExtractResult ExtractRegion(const ScratchDir& dir, const std::vector<uint8_t>& package,
                            size_t before, size_t after, uint32_t size = 0) {
  std::vector<uint8_t> bytes;
  // Reserved whole: GCC's -O3 bounds check misreads an insert into a vector it has just sized.
  bytes.reserve(before + package.size() + after);
  bytes.assign(before, 0xEE);
  bytes.insert(bytes.end(), package.begin(), package.end());
  // What follows looks like more of the package: a reader that ran on would find data there.
  for (size_t i = 0; i < after; ++i) bytes.push_back(static_cast<uint8_t>('A' + i % 26));
  EXPECT_TRUE(WriteWholeFile(dir / "setup.exe", bytes));
  RemoveTree((dir / "install").c_str());
  EXPECT_EQ(MakeDirectory((dir / "install").c_str()), MAKEDIR_CREATED);
  ExtractResult result;
  ProblemReporter reporter = {CollectDamage, &result, CollectSlip};
  FILE* file = OpenFile((dir / "setup.exe").c_str(), "rb");
  EXPECT_NE(file, nullptr);
  if (file == nullptr) return result;
  result.ok = ExtractOpenPackage(file, static_cast<uint32_t>(before),
                                 size != 0 ? size : static_cast<uint32_t>(package.size()),
                                 (dir / "install").c_str(), &reporter) == EXTRACT_OK;
  // The file stays the caller's, open and readable.
  EXPECT_EQ(fseek(file, 0, SEEK_SET), 0);
  EXPECT_EQ(fgetc(file), bytes[0]);
  fclose(file);
  return result;
}

TEST(PackageInARegion, ComesOutAsTheSameFileWouldAlone) {
  ScratchDir dir;
  std::string big;
  for (int i = 0; i < 70000; ++i) big += static_cast<char>(i * 13 % 251);
  std::vector<uint8_t> package =
      BuildPackage({"\\bin"}, {{"\\Installer.exe", LiteralBlob("MZ fake installer")},
                               {"\\bin\\big.dat", LiteralBlob(big)},
                               {"\\bin\\empty", {}}});
  Tree expected = {{"\\Installer.exe", "MZ fake installer"},
                   {"\\bin\\", ""},
                   {"\\bin\\big.dat", big},
                   {"\\bin\\empty", ""}};
  std::vector<std::string> before = StagingLeftovers();
  // At the start, behind an odd number of bytes, behind more than a copy buffer, with and
  // without bytes after it.
  const size_t starts[] = {0, 4099, 70001};
  for (size_t start : starts) {
    for (size_t after : {size_t{0}, size_t{300}}) {
      SCOPED_TRACE(std::to_string(start) + " + " + std::to_string(after));
      ExtractResult result = ExtractRegion(dir, package, start, after);
      EXPECT_EQ(result.ok, 1);
      EXPECT_TRUE(result.problems.empty()) << result.problems[0];
      EXPECT_TRUE(Snapshot(dir / "install") == expected);
    }
  }
  EXPECT_EQ(StagingLeftovers(), before);
}

TEST(PackageInARegion, NothingPastTheRegionIsReadAsThePackage) {
  ScratchDir dir;
  std::vector<uint8_t> blob = LiteralBlob("inside");
  uint32_t size = static_cast<uint32_t>(blob.size());
  // A blob one byte longer than the package holds: the file has that byte, the region not.
  std::vector<uint8_t> package = PackageTablesBytes({}, {{"\\a", 0, size + 1}});
  package.insert(package.end(), blob.begin(), blob.end());
  ExtractResult result = ExtractRegion(dir, package, 512, 64);
  EXPECT_EQ(result.ok, 0);
  ASSERT_EQ(result.problems.size(), 1u);
  EXPECT_NE(result.problems[0].find("past the end of the package"), std::string::npos)
      << result.problems[0];
  EXPECT_TRUE(Snapshot(dir / "install").empty());

  // Tables cut by the region's end, at every length short of the whole, with the rest of them
  // right behind in the file.
  std::vector<uint8_t> whole = PackageTablesBytes({{"\\d", 0, 0}}, {{"\\d\\f", 0, 0}});
  for (uint32_t cut = 1; cut < whole.size(); ++cut) {
    result = ExtractRegion(dir, whole, 100, 100, cut);
    EXPECT_EQ(result.ok, 0) << cut;
    EXPECT_TRUE(Snapshot(dir / "install").empty()) << cut;
  }
  EXPECT_EQ(ExtractRegion(dir, whole, 100, 100).ok, 1);
}

TEST(PackageInARegion, ARegionTheFileDoesNotHoldIsRefused) {
  ScratchDir dir;
  std::vector<uint8_t> package = PackageTablesBytes({}, {});
  // Says one byte more than the file has after the start.
  ExtractResult result =
      ExtractRegion(dir, package, 10, 0, static_cast<uint32_t>(package.size() + 1));
  EXPECT_EQ(result.ok, 0);
  EXPECT_FALSE(result.problems.empty());
}

}  // namespace
