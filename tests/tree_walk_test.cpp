// The two tree walks, including what they do with links and paths that do not exist.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/paths.h"
#include "common/platform.h"
#include "package/tree_walk.h"
#include "support/bit_writer.h"
#include "support/scratch.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Makes `link` point at the directory `target`; false where the platform will not (Wine, for
// one, reports success and creates nothing).
bool MakeDirectoryLink(const std::string& target, const std::string& link) {
#ifdef _WIN32
  return CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) != 0 &&
         GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  std::string from = link, to = target;
  for (char& c : from) c = c == '\\' ? '/' : c;
  for (char& c : to) c = c == '\\' ? '/' : c;
  return symlink(to.c_str(), from.c_str()) == 0;
#endif
}

TEST(RemoveTree, RemovesNestedTreesAndEmptyOnes) {
  ScratchDir dir;
  ASSERT_EQ(MakeDirectory((dir / "t").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "t\\a").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "t\\a\\b").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "t\\a\\b\\f", std::string("1")));
  ASSERT_TRUE(WriteWholeFile(dir / "t\\g", std::string("2")));
  EXPECT_EQ(RemoveTree((dir / "t").c_str()), 1);
  EXPECT_FALSE(PathExists(dir / "t"));
  ASSERT_EQ(MakeDirectory((dir / "empty").c_str()), MAKEDIR_CREATED);
  EXPECT_EQ(RemoveTree((dir / "empty").c_str()), 1);
  EXPECT_TRUE(ListDir(dir.path()).empty());
}

TEST(RemoveTree, MissingPathDoesNothing) {
  ScratchDir dir;
  ASSERT_TRUE(WriteWholeFile(dir / "keep", std::string("k")));
  EXPECT_EQ(RemoveTree((dir / "absent").c_str()), 0);
  EXPECT_EQ(RemoveTree((dir / "absent\\deeper").c_str()), 0);
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"keep"}));
}

TEST(RemoveTree, RemovesALinkButNeverWhatItPointsTo) {
  ScratchDir dir;
  ASSERT_EQ(MakeDirectory((dir / "precious").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "precious\\data", std::string("keep me")));
  ASSERT_EQ(MakeDirectory((dir / "tree").c_str()), MAKEDIR_CREATED);
  if (!MakeDirectoryLink(dir / "precious", dir / "tree\\link"))
    GTEST_SKIP() << "this platform made no directory link";
  EXPECT_EQ(RemoveTree((dir / "tree").c_str()), 1);
  EXPECT_FALSE(PathExists(dir / "tree"));
  std::string data;
  EXPECT_TRUE(ReadWholeFile(dir / "precious\\data", &data));
  EXPECT_EQ(data, "keep me");
}

TEST(DecompressTree, MirrorsDirectoriesAndDecodesFiles) {
  ScratchDir dir;
  ASSERT_EQ(MakeDirectory((dir / "src").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "src\\empty").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "src\\sub").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "src\\sub\\f", LiteralBlob("inner")));
  ASSERT_TRUE(WriteWholeFile(dir / "src\\top", LiteralBlob("outer")));
  ASSERT_EQ(MakeDirectory((dir / "dst").c_str()), MAKEDIR_CREATED);
  EXPECT_EQ(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str()), 0);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"\\empty\\", ""}, {"\\sub\\", ""}, {"\\sub\\f", "inner"}, {"\\top", "outer"}};
  EXPECT_TRUE(Snapshot(dir / "dst") == expected);
}

TEST(DecompressTree, EmptySourceGivesEmptyDestination) {
  ScratchDir dir;
  ASSERT_EQ(MakeDirectory((dir / "src").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "dst").c_str()), MAKEDIR_CREATED);
  EXPECT_EQ(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str()), 0);
  EXPECT_TRUE(ListDir(dir / "dst").empty());
}

TEST(DecompressTree, DoesNotFollowALinkOutOfTheTree) {
  ScratchDir dir;
  ASSERT_EQ(MakeDirectory((dir / "elsewhere").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "elsewhere\\secret", LiteralBlob("secret")));
  ASSERT_EQ(MakeDirectory((dir / "src").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "dst").c_str()), MAKEDIR_CREATED);
  if (!MakeDirectoryLink(dir / "elsewhere", dir / "src\\link"))
    GTEST_SKIP() << "this platform made no directory link";
  EXPECT_EQ(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str()), 1);
  EXPECT_TRUE(ListDir(dir / "dst").empty());
}

// Another user of the machine may plant files and links in the install directory while it is
// filled: nothing is written through them and nothing of theirs is truncated.
TEST(DecompressTree, WritesOnlyIntoWhatItCreates) {
  ScratchDir dir;
  ASSERT_EQ(MakeDirectory((dir / "outside").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "outside\\victim", std::string("keep")));
  ASSERT_EQ(MakeDirectory((dir / "src").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "src\\sub").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "src\\sub\\victim", LiteralBlob("through a directory link")));
  ASSERT_TRUE(WriteWholeFile(dir / "src\\top", LiteralBlob("over a planted file")));
  ASSERT_EQ(MakeDirectory((dir / "dst").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "dst\\top", std::string("theirs")));
  MakeDirectoryLink(dir / "outside", dir / "dst\\sub");
  // The walk stops at the first of the two.
  EXPECT_EQ(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str()), 1);
  std::string data;
  EXPECT_TRUE(ReadWholeFile(dir / "dst\\top", &data));
  EXPECT_EQ(data, "theirs");
  EXPECT_TRUE(ReadWholeFile(dir / "outside\\victim", &data));
  EXPECT_EQ(data, "keep");
#ifndef _WIN32
  // A link to a file, planted where a decoded file goes.
  ASSERT_TRUE(RemoveTree((dir / "dst").c_str()));
  ASSERT_EQ(MakeDirectory((dir / "dst").c_str()), MAKEDIR_CREATED);
  std::string victim = dir / "outside\\victim", link = dir / "dst\\top";
  for (char& c : victim) c = c == '\\' ? '/' : c;
  for (char& c : link) c = c == '\\' ? '/' : c;
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_GE(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str()), 1);
  EXPECT_TRUE(ReadWholeFile(dir / "outside\\victim", &data));
  EXPECT_EQ(data, "keep");
  // A name the search hands back that is not one plain component (as a best-fit mapping into
  // the code page can make) is never joined to a path.
  ASSERT_TRUE(RemoveTree((dir / "dst").c_str()));
  ASSERT_TRUE(RemoveTree((dir / "src").c_str()));
  ASSERT_EQ(MakeDirectory((dir / "src").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "dst").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "src\\c:name", LiteralBlob("x")));
  ASSERT_TRUE(WriteWholeFile(dir / "src\\what?", LiteralBlob("x")));
  EXPECT_EQ(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str()), 1);
  EXPECT_TRUE(ListDir(dir / "dst").empty());
#endif
}

TEST(DecompressTree, RefusesPathsBeyondMaxPath) {
  ScratchDir dir;
  ASSERT_EQ(MakeDirectory((dir / "s").c_str()), MAKEDIR_CREATED);
  // The destination is long enough that the child's path would pass MAX_PATH.
  std::string longDestination = dir / std::string(MAX_PATH - 6 - dir.path().size(), 'd');
  ASSERT_EQ(MakeDirectory(longDestination.c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "s\\long-child-name", LiteralBlob("x")));
  EXPECT_EQ(DecompressTree((dir / "s").c_str(), longDestination.c_str()), 1);
  EXPECT_TRUE(ListDir(longDestination).empty());
}

// Another local user who can write the destination renames a directory of ours the moment it is
// made and leaves a link to a directory of their choice in its place. The hook stands in for
// them at exactly that moment, for the directory whose path ends in `g_swapWhen`.
struct Swap {
  std::string when;     // the directory whose creation sets it off
  std::string victim;   // the directory renamed away
  std::string movedTo;  // where it goes
  std::string target;   // what the link planted in its place points to
  int done;
};
Swap g_swap;

void SwapForALink(const char* path) {
  std::string made = path;
  if (g_swap.done || made.size() < g_swap.when.size() ||
      made.compare(made.size() - g_swap.when.size(), g_swap.when.size(), g_swap.when) != 0)
    return;
  g_swap.done = 1;
#ifndef _WIN32
  std::string from = g_swap.victim, to = g_swap.movedTo;
  for (char& c : from) c = c == '\\' ? '/' : c;
  for (char& c : to) c = c == '\\' ? '/' : c;
  if (rename(from.c_str(), to.c_str()) == 0) MakeDirectoryLink(g_swap.target, g_swap.victim);
#endif
}

struct Reported {
  std::vector<std::string> lines;
  static void Add(void* context, const char* where, const char* what) {
    static_cast<Reported*>(context)->lines.push_back(std::string(where) + ": " + what);
  }
};

// Files below `dir`, without the directories.
std::vector<std::string> FilesBelow(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& entry : Snapshot(dir))
    if (entry.first.back() != '\\') files.push_back(entry.first);
  return files;
}

class SwappedDestination : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "Wine makes no links a test could swap in; the POSIX walk is tested";
#endif
    ASSERT_EQ(MakeDirectory((dir_ / "outside").c_str()), MAKEDIR_CREATED);
    ASSERT_EQ(MakeDirectory((dir_ / "outside\\sub").c_str()), MAKEDIR_CREATED);
    ASSERT_EQ(MakeDirectory((dir_ / "src").c_str()), MAKEDIR_CREATED);
    ASSERT_EQ(MakeDirectory((dir_ / "src\\data").c_str()), MAKEDIR_CREATED);
    ASSERT_EQ(MakeDirectory((dir_ / "src\\data\\sub").c_str()), MAKEDIR_CREATED);
    for (int i = 0; i < 20; ++i)
      ASSERT_TRUE(WriteWholeFile(dir_ / ("src\\data\\f" + std::to_string(i)),
                                 LiteralBlob("file " + std::to_string(i))));
    ASSERT_TRUE(WriteWholeFile(dir_ / "src\\data\\sub\\g", LiteralBlob("deep")));
    ASSERT_EQ(MakeDirectory((dir_ / "dst").c_str()), MAKEDIR_CREATED);
    g_swap = Swap{"", dir_ / "dst\\data", "", dir_ / "outside", 0};
    g_directoryMade = SwapForALink;
  }
  void TearDown() override {
    g_directoryMade = nullptr;
  }

  int Run() {
    ProblemReporter reporter = {Reported::Add, &reported_, nullptr};
    return DecompressTree((dir_ / "src").c_str(), (dir_ / "dst").c_str(), &reporter);
  }

  ScratchDir dir_;
  Reported reported_;
};

TEST_F(SwappedDestination, ALinkInPlaceOfANewDirectoryIsRefusedWhereItStands) {
  g_swap.when = "\\dst\\data";
  g_swap.movedTo = dir_ / "dst\\moved";
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(g_swap.done, 1);
  EXPECT_TRUE(FilesBelow(dir_ / "outside").empty());
  EXPECT_TRUE(FilesBelow(dir_ / "dst\\moved").empty());
  ASSERT_EQ(reported_.lines.size(), 1u);
  EXPECT_EQ(reported_.lines[0].find(dir_ / "dst\\data: replaced once made"), 0u)
      << reported_.lines[0];
}

TEST_F(SwappedDestination, ADirectoryMovedAfterItWasOpenedIsStillFilled) {
  // Set off one level further down, once "data" is held open: the rest of "data" lands where it
  // was moved to, inside the destination, and nothing goes through the link.
  g_swap.when = "\\dst\\data\\sub";
  g_swap.movedTo = dir_ / "dst\\moved";
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(g_swap.done, 1);
  EXPECT_TRUE(FilesBelow(dir_ / "outside").empty());
  std::string data;
  EXPECT_TRUE(ReadWholeFile(dir_ / "dst\\moved\\sub\\g", &data));
  EXPECT_EQ(data, "deep");
  EXPECT_EQ(FilesBelow(dir_ / "dst\\moved").size(), 21u);
}

TEST_F(SwappedDestination, AFailedRunTakesBackWhatItWroteWhereverItWasMoved) {
  // Moved out of the destination altogether, then a blob fails: what was decoded into the moved
  // directory is removed through the handles, and nothing lands behind the link.
  ASSERT_TRUE(WriteWholeFile(dir_ / "src\\data\\sub\\h", MakeBlob(3, {0x80})));
  g_swap.when = "\\dst\\data\\sub";
  g_swap.movedTo = dir_ / "away";
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(g_swap.done, 1);
  EXPECT_TRUE(FilesBelow(dir_ / "outside").empty());
  EXPECT_TRUE(FilesBelow(dir_ / "away").empty());
  ASSERT_EQ(reported_.lines.size(), 1u);
  EXPECT_NE(reported_.lines[0].find("\\sub\\h: "), std::string::npos) << reported_.lines[0];
}

#ifdef _WIN32
// On Windows the walk holds every directory on the way open without sharing deletion: another
// program cannot rename one away (and put a link in its place) while anything is made inside.
int g_moveResult = -1;
std::string g_moveFrom, g_moveTo;

void TryToMoveTheParent(const char* path) {
  std::string made = path;
  if (g_moveResult == -1 && made.size() > 4 && made.compare(made.size() - 4, 4, "\\sub") == 0)
    g_moveResult = MoveFileA(g_moveFrom.c_str(), g_moveTo.c_str()) ? 1 : 0;
}

TEST(DecompressTree, HeldDirectoriesCannotBeMovedAway) {
  ScratchDir dir;
  ASSERT_EQ(MakeDirectory((dir / "src").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "src\\data").c_str()), MAKEDIR_CREATED);
  ASSERT_EQ(MakeDirectory((dir / "src\\data\\sub").c_str()), MAKEDIR_CREATED);
  ASSERT_TRUE(WriteWholeFile(dir / "src\\data\\sub\\g", LiteralBlob("deep")));
  ASSERT_EQ(MakeDirectory((dir / "dst").c_str()), MAKEDIR_CREATED);
  g_moveFrom = dir / "dst\\data";
  g_moveTo = dir / "dst\\moved";
  g_moveResult = -1;
  g_directoryMade = TryToMoveTheParent;
  int failed = DecompressTree((dir / "src").c_str(), (dir / "dst").c_str());
  g_directoryMade = nullptr;
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(g_moveResult, 0);
  std::string data;
  EXPECT_TRUE(ReadWholeFile(dir / "dst\\data\\sub\\g", &data));
  EXPECT_EQ(data, "deep");
  // Once the walk has let go, the directory moves as any other.
  EXPECT_TRUE(MoveFileA(g_moveFrom.c_str(), g_moveTo.c_str()));
}
#endif

TEST(DecompressTree, ReportsWhyAFileFailed) {
  struct Case {
    std::vector<uint8_t> blob;
    const char* words;
  };
  const Case cases[] = {
      {MakeBlob(3, {0x80}), "corrupt stream"},
      {MakeBlob(9, {0x30}), "truncated stream"},
      {MakeBlob(3, {0x30, 0x98, 0xA0}), "size mismatch"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    ASSERT_EQ(MakeDirectory((dir / "src").c_str()), MAKEDIR_CREATED);
    ASSERT_EQ(MakeDirectory((dir / "dst").c_str()), MAKEDIR_CREATED);
    ASSERT_TRUE(WriteWholeFile(dir / "src\\bad", c.blob));
    Reported reported;
    ProblemReporter reporter = {Reported::Add, &reported, nullptr};
    EXPECT_EQ(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str(), &reporter), 1);
    ASSERT_EQ(reported.lines.size(), 1u) << c.words;
    EXPECT_EQ(reported.lines[0].find(dir / "dst\\bad: " + c.words), 0u) << reported.lines[0];
    EXPECT_TRUE(ListDir(dir / "dst").empty()) << c.words;
  }
}

TEST(UniqueTempDir, SkipsNamesThatExistAndNeverReusesThem) {
  char first[PATH_BUFFER], second[PATH_BUFFER];
  ASSERT_EQ(MakeUniqueTempDir("%ssltwalk%d", first), 1);
  ASSERT_TRUE(WriteWholeFile(std::string(first) + "\\marker", std::string("mine")));
  ASSERT_EQ(MakeUniqueTempDir("%ssltwalk%d", second), 1);
  EXPECT_STRNE(first, second);
  std::string marker;
  EXPECT_TRUE(ReadWholeFile(std::string(first) + "\\marker", &marker));
  EXPECT_TRUE(ListDir(second).empty());
  RemoveTree(first);
  RemoveTree(second);
}

}  // namespace
