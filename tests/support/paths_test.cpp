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

// Names from Windows' UTF-16 in a code page, without best-fit mapping: a
// character that would become a look-alike naming another folder is lost,
// and says so.
TEST(Paths, ANameTheCodePageCantHoldIsLostNotMappedToALookAlike)
{
    const struct { const char *name; UINT code_page; std::wstring wide; std::string ansi; int lost, size = 64; } rows[] = {
        {"full-width dots under 1252 (best fit: ..)", 1252, L"D:\\\xFF0E\xFF0E\\x", "D:\\??\\x", 1},
        {"full-width dots under 932: its own", 932, L"D:\\\xFF0E\xFF0E\\x", "D:\\\x81\x44\x81\x44\\x", 0},
        {"a full-width backslash under 1252 (best fit: \\)", 1252, L"D:\\a\xFF3C" L"b", "D:\\a?b", 1},
        {"yen under 932 (best fit: \\)", 932, L"D:\\a\x00A5" L"b", "D:\\a?b", 1},
        {"yen under 1252: its own", 1252, L"D:\\a\x00A5" L"b", "D:\\a\xA5" "b", 0},
        {"a 0x5C trail byte under 932", 932, L"C:\\\x8868", "C:\\表", 0},
        {"Japanese under 1252", 1252, L"C:\\\x8868", "C:\\?", 1},
        {"a character beyond 16 bits, one ?", 932, L"C:\\\xD83D\xDE00" L"a", "C:\\?a", 1},
        {"UTF-8 holds everything", CP_UTF8, L"C:\\\x8868\xFF0E", "C:\\\xE8\xA1\xA8\xEF\xBC\x8E", 0},
        {"cut before a character that does not fit", 932, L"ab\x8868", "ab", 0, 4},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        char ansi[64] = "";
        int lost = -1;
        EXPECT_EQ((int)r.ansi.size(), ansi_from_wide(r.code_page, r.wide.c_str(), -1, ansi, r.size, &lost));
        EXPECT_EQ(r.ansi, ansi);
        EXPECT_EQ(r.lost, lost);
    }
}

// Names Windows takes for a device, not a file, wherever they stand: a record
// or a work folder there would go nowhere.
TEST(Paths, ADeviceIsKnownByItsLastPartOrItsNamespace)
{
    const struct { const char *path; int device; } rows[] = {
        {"CON", PATH_DEVICE}, {"nul.csv", PATH_DEVICE}, {"D:\\logs\\Com1.txt", PATH_DEVICE}, {"lpt9", PATH_DEVICE},
        {"COM0", PATH_DEVICE}, {"C:nul:", PATH_DEVICE}, {"nul .csv", PATH_DEVICE}, {"AUX.tar.gz", PATH_DEVICE},
        {"conout$", PATH_DEVICE}, {"\\\\srv\\share\\prn.csv", PATH_DEVICE}, {"D:/logs/nul", PATH_DEVICE},
        {"C:\\表\\NUL", PATH_DEVICE}, {"\\\\.\\C:", PATH_DEVICE}, {"//./pipe/x", PATH_DEVICE}, {"\\\\.\\U:\\data", PATH_DEVICE},
        {"\\\\?\\Volume{0b0e8d6c-1f2a-11e9-8a7e-806e6f6e6963}\\", PATH_RAW}, {"\\??\\C:\\x", PATH_RAW}, {"\\\\?\\C:\\x", PATH_RAW},
        {"console.csv", 0}, {"COM10", 0}, {"LPT", 0}, {"D:\\nul\\r.csv", 0}, {"connul", 0}, {"表.csv", 0}, {"", 0},
        {"D:\\", 0}, {"\\\\srv\\share", 0}, {".\\r.csv", 0}, {"D:\\x.con", 0},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.device, path_names_device(r.path)) << r.path;
}
