// The two tree walks, including what they do with links and paths that do not exist.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/paths.h"
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
  bool linked = MakeDirectoryLink(dir / "outside", dir / "dst\\sub");
  EXPECT_EQ(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str()), linked ? 2 : 1);
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
  EXPECT_EQ(DecompressTree((dir / "src").c_str(), (dir / "dst").c_str()), 2);
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
