// Path helpers: joins and cuts of CP932 byte strings, and running out of memory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include "support/messages.h"
#include "support/exhaust_memory.h"

static std::string take(char *text) { std::string copy = text ? text : "(null)"; free(text); return copy; }

TEST(Paths, JoinUsesTheRightSeparatorAndBothCutsKeepTheRoot)
{
    const char *const joins[][3] = {   // \x82\x60 is a full-width A: no drive letter
        {"C:\\", "x", "C:\\x"}, {"C:/", "x", "C:/x"}, {"C:", "x", "C:x"}, {"\\", "x", "\\x"}, {"/", "x", "\\x"},
        {"", "x", "x"}, {"D:\\d", "x", "D:\\d\\x"}, {"D:\\d\\", "x", "D:\\d\\\\x"}, {"\\\\", "x", "\\\\\\x"},
        {"1:", "x", "1:\\x"}, {"\x82\x60:", "x", "\x82\x60:\\x"}, {"C:\\ソ", "表", "C:\\ソ\\表"},
    };
    for (auto &c : joins)
        EXPECT_EQ(c[2], take(path_join(c[0], c[1]))) << c[0] << " + " << c[1];
    const char *const cuts[][2] = {
        {"C:\\a\\b", "C:\\a"}, {"C:/a/b", "C:/a"}, {"C:\\a", "C:\\"}, {"C:\\", "C:\\"}, {"C:a", "C:"}, {"C:", "C:"},
        {"1:\\a", "1:"}, {"\\a", "\\"}, {"/", "/"}, {"\\\\srv\\share\\dir", "\\\\srv\\share"}, {"\\/srv", "\\/"},
        {"a\\b", "a"}, {"a", ""}, {"a\\b\\", "a\\b"}, {"", ""},
        // 表 and ソ end in 0x5C, no separator there; a lead byte before the zero counts alone
        {"C:\\d\\表", "C:\\d"}, {"C:\\表", "C:\\"}, {"C:\\dソ\\x", "C:\\dソ"}, {"\\\\srv\\表", "\\\\srv"},
        {"表", ""}, {"a\\b\x83\\", "a"}, {"dir\\\x95", "dir"}, {"C:\\\x83", "C:\\"},
    };
    for (auto &c : cuts) {
        EXPECT_EQ(c[1], take(path_dir_part(c[0]))) << c[0];
        EXPECT_EQ(c[1], take(parent_path(c[0]))) << c[0];
    }
    std::string drive_letters;
    for (int c = -256; c < 512; ++c)
        drive_letters += is_ascii_alpha(c) ? std::string(1, (char)c) : "";
    EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", drive_letters);
}

TEST(Paths, WithoutMemoryJoinAndDirPartStopTheProgramParentPathGivesNull)
{
    const char *line = "^vanta: inadequate memory\\.\n$";
    EXPECT_EXIT({ exhaust_memory(); path_join("D:\\d", "x"); }, testing::ExitedWithCode(1), line);
    EXPECT_EXIT({ exhaust_memory(); path_dir_part("D:\\d"); }, testing::ExitedWithCode(1), line);
    EXPECT_EXIT({ exhaust_memory(); exit(parent_path("D:\\d") ? 3 : 7); }, testing::ExitedWithCode(7), "");
}
