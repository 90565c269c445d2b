// The path helpers every directory and file name goes through: bounded, never past a buffer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/paths.h"
#include "support/scratch.h"

namespace {

TEST(FormatPath, FillsPatternsAsTheLauncherUsesThem) {
  char out[PATH_BUFFER];
  EXPECT_EQ(FormatPath(out, "%sZeKolInst%d", "C:\\Temp\\", nullptr, 0), 1);
  EXPECT_STREQ(out, "C:\\Temp\\ZeKolInst0");
  EXPECT_EQ(FormatPath(out, "%slatmp%d.tmp", "C:\\T\\", nullptr, 2147483647), 1);
  EXPECT_STREQ(out, "C:\\T\\latmp2147483647.tmp");
  EXPECT_EQ(JoinPath(out, "C:\\a b", "c.txt"), 1);
  EXPECT_STREQ(out, "C:\\a b\\c.txt");
  EXPECT_EQ(AppendPath(out, "C:\\x", "\\d\\e"), 1);
  EXPECT_STREQ(out, "C:\\x\\d\\e");
  EXPECT_EQ(FormatPath(out, "%d", nullptr, nullptr, -12), 1);
  EXPECT_STREQ(out, "-12");
}

TEST(FormatPath, RefusesAnythingThatWouldNotBeAMaxPathPath) {
  char out[PATH_BUFFER];
  std::string dir(250, 'd');
  // 250 + 1 + 8 = 259 bytes: the longest path that still fits with its terminator.
  EXPECT_EQ(JoinPath(out, dir.c_str(), "12345678"), 1);
  EXPECT_EQ(std::string(out).size(), 259u);
  EXPECT_EQ(JoinPath(out, dir.c_str(), "123456789"), 0);
  EXPECT_STREQ(out, "");
  std::string huge(5000, 'h');
  EXPECT_EQ(AppendPath(out, huge.c_str(), "\\x"), 0);
  EXPECT_EQ(FormatPath(out, "%sZeKolInst%d", dir.c_str(), nullptr, 123456789), 0);
}

// Points the platform's temporary directory at a portable `dir` while it lives.
class TempDirOverride {
 public:
#ifdef _WIN32
  // GetTempPathA takes TMP first.
  static constexpr const char* VARIABLE = "TMP";
#else
  static constexpr const char* VARIABLE = "TMPDIR";
#endif
  explicit TempDirOverride(const std::string& dir) {
    const char* saved = getenv(VARIABLE);
    hadValue_ = saved != nullptr;
    if (hadValue_) saved_ = saved;
    std::string value = dir;
#ifndef _WIN32
    for (char& c : value) c = c == '\\' ? '/' : c;
#endif
    Set(value);
  }
  ~TempDirOverride() {
    Set(hadValue_ ? saved_ : "");
  }

 private:
  static void Set(const std::string& value) {
#ifdef _WIN32
    // _putenv keeps the string it is given; an empty value removes the variable.
    static std::string setting;
    setting = std::string(VARIABLE) + "=" + value;
    _putenv(setting.c_str());
#else
    if (value.empty())
      unsetenv(VARIABLE);
    else
      setenv(VARIABLE, value.c_str(), 1);
#endif
  }
  bool hadValue_;
  std::string saved_;
};

// Every directory of a run is searched with "\*.*" appended, so its own path may be 255 bytes
// at most: one of 256 to 259 bytes would be made but could never be listed or removed.
TEST(MakeUniqueTempDir, RefusesANameTooLongToBeSearched) {
  ScratchDir scratch;
  ASSERT_FALSE(scratch.path().empty());
  for (size_t length : {255u, 256u, 259u}) {
    SCOPED_TRACE(length);
    // "<temp>\long0": the temporary directory is padded to length - 6 bytes.
    std::string temp = scratch / std::string(length - 6 - scratch.path().size() - 1, 'p');
    ASSERT_EQ(MakeDirectory(temp.c_str()), MAKEDIR_CREATED);
    char made[PATH_BUFFER];
    int result;
    {
      TempDirOverride override(temp);
      result = MakeUniqueTempDir("%slong%d", made);
    }
    if (length == 255) {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(std::string(made), temp + "\\long0");
      EXPECT_EQ(ListDir(temp), (std::vector<std::string>{"long0"}));
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_STREQ(made, "");
      EXPECT_TRUE(ListDir(temp).empty());
    }
    RemoveDirectoryTree(temp.c_str());
  }
}

}  // namespace
