#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include "support/messages.h"
#include "exhaust_memory.h"

namespace {

std::string take(char *text)
{
    std::string copy = text ? text : "(null)";
    free(text);
    return copy;
}

std::string joined(const char *folder, const char *name)
{
    return take(path_join(folder, name));
}

// Both cutting functions are one algorithm; every case is checked on both.
void expect_cut(const char *path, const char *expected)
{
    EXPECT_EQ(expected, take(path_dir_part(path))) << "path_dir_part(" << path << ")";
    EXPECT_EQ(expected, take(parent_path(path))) << "parent_path(" << path << ")";
}

} // namespace

TEST(PathJoin, PlacesTheNameInTheFolder)
{
    EXPECT_EQ("D:\\data\\x", joined("D:\\data", "x"));
    EXPECT_EQ("D:/data\\x", joined("D:/data", "x"));
    EXPECT_EQ("data\\x", joined("data", "x"));
    EXPECT_EQ("x", joined("", "x"));
    EXPECT_EQ("D:\\data\\", joined("D:\\data", ""));
    EXPECT_EQ("D:\\data\\$VANTA$$", joined("D:\\data", "$VANTA$$"));
}

TEST(PathJoin, RootsTakeTheNameWithoutASecondSeparator)
{
    EXPECT_EQ("C:\\x", joined("C:\\", "x"));
    EXPECT_EQ("C:/x", joined("C:/", "x"));       // the root's own separator stays
    EXPECT_EQ("C:x", joined("C:", "x"));         // drive-relative
    EXPECT_EQ("z:x", joined("z:", "x"));
    EXPECT_EQ("\\x", joined("\\", "x"));
    EXPECT_EQ("\\x", joined("/", "x"));          // a lone slash becomes a backslash
}

TEST(PathJoin, AnyOtherFolderGetsABackslashEvenAfterASeparator)
{
    EXPECT_EQ("D:\\data\\\\x", joined("D:\\data\\", "x"));
    EXPECT_EQ("D:\\data/\\x", joined("D:\\data/", "x"));
    EXPECT_EQ("\\\\\\x", joined("\\\\", "x"));
    EXPECT_EQ("C:\\\\\\x", joined("C:\\\\", "x"));   // longer than a drive root
    EXPECT_EQ("1:\\x", joined("1:", "x"));           // not a drive letter
    EXPECT_EQ("\x82\x60:\\x", joined("\x82\x60:", "x"));  // a full-width letter neither
}

TEST(PathJoin, KeepsDoubleByteNamesWhole)
{
    EXPECT_EQ("C:\\ソ\\表", joined("C:\\ソ", "表"));
    EXPECT_EQ("C:\\表", joined("C:\\", "表"));
}

TEST(PathCut, RemovesTheLastComponent)
{
    expect_cut("C:\\a\\b", "C:\\a");
    expect_cut("C:/a/b", "C:/a");
    expect_cut("C:\\a/b", "C:\\a");
    expect_cut("a\\b", "a");
    expect_cut("a\\b\\", "a\\b");                // only the trailing separator goes
    expect_cut("a\\\\b", "a\\");
    expect_cut("\\\\srv\\share\\dir", "\\\\srv\\share");
    expect_cut("C:a\\b", "C:a");
}

TEST(PathCut, NeverCutsIntoTheRoot)
{
    expect_cut("C:\\a", "C:\\");
    expect_cut("C:\\", "C:\\");
    expect_cut("C:/", "C:/");
    expect_cut("C:a", "C:");
    expect_cut("C:", "C:");
    expect_cut("\\a", "\\");
    expect_cut("\\", "\\");
    expect_cut("/", "/");
    expect_cut("\\\\srv", "\\\\");
    expect_cut("\\/srv", "\\/");
    expect_cut("\\\\", "\\\\");
    expect_cut("a", "");
    expect_cut("", "");
    expect_cut("1:\\a", "1:");                   // no drive: the colon is just a byte
}

TEST(PathCut, ATrailByteOf5CIsNoSeparator)
{
    expect_cut("C:\\dir\\表", "C:\\dir");
    expect_cut("C:\\表", "C:\\");
    expect_cut("C:\\dirソ\\x", "C:\\dirソ");
    expect_cut("C:\\ソ表\\ソ表", "C:\\ソ表");
    expect_cut("表", "");
    expect_cut("ソ\\x", "ソ");
    expect_cut("\\\\srv\\表", "\\\\srv");
    // a lead byte swallows the backslash after it
    expect_cut("a\\b\x83\\", "a");
}

TEST(PathCut, ALeadByteBeforeTheZeroCountsAlone)
{
    expect_cut("dir\\\x95", "dir");
    expect_cut("C:\\\x83", "C:\\");
    expect_cut("\x83", "");
    expect_cut("a\\b\\c\x95", "a\\b");
}

TEST(IsAsciiAlpha, OnlyThe52AsciiLetters)
{
    int letters = 0;
    for (int c = -128; c <= 255; ++c) {
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        EXPECT_EQ(letter, is_ascii_alpha(c) != 0) << "c = " << c;
        letters += is_ascii_alpha(c) != 0;
    }
    EXPECT_EQ(52, letters);
    // bytes of the upper half seen as signed characters, e.g. a half-width katakana
    EXPECT_EQ(0, is_ascii_alpha((char)0xC1));
}

// Without memory the joins and cuts that callers use unchecked stop the
// program cleanly; parent_path hands the failure back instead.
TEST(PathsWithoutMemory, JoinStopsTheProgramWithALine)
{
    EXPECT_EXIT({ exhaust_memory(); path_join("D:\\data", "x"); },
                testing::ExitedWithCode(1), "^vanta: inadequate memory\\.\n$");
}

TEST(PathsWithoutMemory, DirPartStopsTheProgramWithALine)
{
    EXPECT_EXIT({ exhaust_memory(); path_dir_part("D:\\data\\x"); },
                testing::ExitedWithCode(1), "^vanta: inadequate memory\\.\n$");
}

TEST(PathsWithoutMemory, ParentPathGivesNoResult)
{
    EXPECT_EXIT({ exhaust_memory(); exit(parent_path("D:\\data\\x") ? 3 : 7); },
                testing::ExitedWithCode(7), "");
}
