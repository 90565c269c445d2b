// The path helpers every directory and file name goes through: bounded, never past a buffer.
#include <gtest/gtest.h>

#include <string>

#include "common/paths.h"

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

}  // namespace
