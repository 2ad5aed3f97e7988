// The texts, version, icon and manifest of ui/vanta.rc as the running
// program sees them: this test program links the same resource object.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <string>
#include "support/messages.h"
#include "ui/resource.h"
#include "exhaust_memory.h"
#include "long_text.h"

namespace {

HINSTANCE self()
{
    return GetModuleHandleA(NULL);
}

std::string text_of(UINT id)
{
    const char *text = load_resource_string(self(), id);
    return text ? text : "(null)";
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char two[4];
    for (unsigned char c : bytes) {
        snprintf(two, sizeof two, "%s%02x", out.empty() ? "" : " ", c);
        out += two;
    }
    return out;
}

struct Text {
    UINT id;
    const char *text;
};

// Literals compiled to CP932, as LoadStringA must give them under code page 932.
const Text TABLE[] = {
    {IDS_VERSION, "Version 8"},
    {IDS_ABOUT_CAPTION, "About vanta"},
    {IDS_APP_NAME, "vanta"},
    {IDS_CLASS_NAME, "vantaclass"},
    {IDS_MENU_NAME, "IDM_MENU"},
    {IDS_DIALOG_NAME, "IDD_DIALOG"},
    {IDS_BROWSE_TITLE, "フォルダ"},
    {IDS_NO_FOLDER, "フォルダ名が指定されていません。"},
    {IDS_CANNOT_CREATE_FOLDER, "フォルダを作成できません。"},
    {IDS_CANNOT_DELETE_FOLDER, "フォルダを削除できません。"},
    {IDS_ALREADY_STARTED, "すでに開始しています。"},
    {IDS_ABORTING, "中断しています..."},
    {IDS_ABORTED, "中断しました。"},
    {IDS_FOLDER_EXISTS, "フォルダがすでに存在します。処理を続ける場合\r\n"
                        "このフォルダにあるファイルは削除されます。\r\n"
                        "処理終了後もこのフォルダは残ります。"},
    {IDS_STEP_FORMAT, "step %d of %d: %s"},
    {IDS_INTRO, "ディスクの未使用領域を消去します。消去方法とフォルダを指定してください。"},
    {IDS_FINISHED, "消去が終了しました。"},
    {IDS_CONTINUE_QUESTION, "処理を続けますか？"},
};

} // namespace

TEST(StringTable, EveryTextReadsExactlyAsWritten)
{
    ASSERT_EQ(IDS_LAST - IDS_FIRST + 1, (int)(sizeof TABLE / sizeof TABLE[0]));
    for (const Text &t : TABLE)
        EXPECT_EQ(hex(t.text), hex(text_of(t.id))) << "text " << t.id;
}

// Byte values written out, so that a wrong source or execution charset can't
// make the literals above agree with a wrong table.
TEST(StringTable, JapaneseTextsAreCp932Bytes)
{
    EXPECT_EQ("83 74 83 48 83 8b 83 5f", hex(text_of(IDS_BROWSE_TITLE)));
    // the full-width question mark
    EXPECT_EQ("8f 88 97 9d 82 f0 91 b1 82 af 82 dc 82 b7 82 a9 81 48",
              hex(text_of(IDS_CONTINUE_QUESTION)));
    // three plain full stops, no ellipsis character
    EXPECT_EQ("92 86 92 66 82 b5 82 c4 82 a2 82 dc 82 b7 2e 2e 2e",
              hex(text_of(IDS_ABORTING)));
    EXPECT_EQ("8f c1 8b 8e 82 aa 8f 49 97 b9 82 b5 82 dc 82 b5 82 bd 81 42",
              hex(text_of(IDS_FINISHED)));
}

TEST(StringTable, FolderExistsTextIsThreeLines)
{
    std::string text = text_of(IDS_FOLDER_EXISTS);
    size_t first = text.find("\r\n");
    ASSERT_NE(std::string::npos, first);
    size_t second = text.find("\r\n", first + 2);
    ASSERT_NE(std::string::npos, second);
    EXPECT_EQ(std::string::npos, text.find("\r\n", second + 2));
    EXPECT_EQ(2, (int)std::count(text.begin(), text.end(), '\r'));
    EXPECT_EQ(2, (int)std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ("処理終了後もこのフォルダは残ります。", text.substr(second + 2));
}

TEST(StringTable, StepFormatTakesNumberCountAndLine)
{
    char step[128];
    snprintf(step, sizeof step, load_resource_string(self(), IDS_STEP_FORMAT), 2, 3, "erase random");
    EXPECT_STREQ("step 2 of 3: erase random", step);
}

TEST(StringTable, MissingTextIsEmpty)
{
    EXPECT_EQ("", text_of(IDS_FIRST - 1));
    EXPECT_EQ("", text_of(IDS_LAST + 1));
    EXPECT_EQ("", text_of(0));
}

TEST(StringTable, LongTextIsCutTo1022Characters)
{
    std::string text = text_of(IDS_LONG_TEXT);
    ASSERT_EQ(1022u, text.size());
    EXPECT_EQ("000|001|", text.substr(0, 8));
    EXPECT_EQ("254|25", text.substr(1016));     // "255|" is cut after two characters
}

TEST(StringTable, EachLoadIsItsOwnCopy)
{
    char *first = load_resource_string(self(), IDS_APP_NAME);
    char *second = load_resource_string(self(), IDS_APP_NAME);
    ASSERT_NE(first, second);
    first[0] = 'V';
    EXPECT_STREQ("vanta", second);
}

TEST(StringTable, WithoutMemoryATextIsEmptyNotNull)
{
    EXPECT_EXIT({
        exhaust_memory();
        const char *text = load_resource_string(self(), IDS_FINISHED);
        exit(text && !*text ? 7 : 3);
    }, testing::ExitedWithCode(7), "");
}

TEST(VersionInfo, FileAndProductVersionAre8000)
{
    char exe[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(NULL, exe, sizeof exe));
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(exe, &handle);
    ASSERT_NE(0u, size);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(exe, 0, size, &block[0]));

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\", (void **)&fixed, &length));
    ASSERT_GE(length, sizeof *fixed);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(MAKELONG(0, 8), (LONG)fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(0, 8), (LONG)fixed->dwProductVersionMS);
    EXPECT_EQ(0u, fixed->dwProductVersionLS);
    EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);

    WORD *translation = NULL;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\VarFileInfo\\Translation", (void **)&translation, &length));
    ASSERT_GE(length, 4u);
    auto value = [&](const char *name) {
        char key[128];
        snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], name);
        char *text = NULL;
        UINT chars = 0;
        return VerQueryValueA(&block[0], key, (void **)&text, &chars) && text ? std::string(text)
                                                                               : std::string("(none)");
    };
    EXPECT_EQ("8.0.0.0", value("FileVersion"));
    EXPECT_EQ("8.0.0.0", value("ProductVersion"));
    EXPECT_EQ("vanta", value("ProductName"));
    EXPECT_NE("(none)", value("FileDescription"));

    // the version text shown to the user names the same major version
    char shown[32];
    snprintf(shown, sizeof shown, "Version %u", (unsigned)HIWORD(fixed->dwFileVersionMS));
    EXPECT_EQ(shown, text_of(IDS_VERSION));
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colour_count, reserved;
    WORD planes, bit_count;
    DWORD bytes;
    WORD id;
};
struct IconGroup {
    WORD reserved, type, count;
    IconGroupEntry entries[1];
};
#pragma pack(pop)

TEST(WindowIcon, IsOne32By32ImageWith16Colours)
{
    HRSRC found = FindResourceA(self(), MAKEINTRESOURCEA(IDI_VANTA), RT_GROUP_ICON);
    ASSERT_TRUE(found != NULL);
    const IconGroup *group = (const IconGroup *)LockResource(LoadResource(self(), found));
    ASSERT_TRUE(group != NULL);
    EXPECT_EQ(1, group->type);
    ASSERT_EQ(1, group->count);
    EXPECT_EQ(32, group->entries[0].width);
    EXPECT_EQ(32, group->entries[0].height);
    EXPECT_EQ(16, group->entries[0].colour_count);
    EXPECT_EQ(4, group->entries[0].bit_count);
}

static void expect_icon_loads_at(int size)
{
    HICON icon = (HICON)LoadImageA(self(), MAKEINTRESOURCEA(IDI_VANTA), IMAGE_ICON,
                                   size, size, LR_DEFAULTCOLOR);
    ASSERT_TRUE(icon != NULL) << size << " x " << size;
    ICONINFO info;
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP colour;
    ASSERT_TRUE(info.hbmColor != NULL);
    ASSERT_NE(0, GetObjectA(info.hbmColor, sizeof colour, &colour));
    EXPECT_EQ(size, colour.bmWidth);
    EXPECT_EQ(size, colour.bmHeight);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
}

TEST(WindowIcon, LoadsAtFullAndSmallSize)
{
    expect_icon_loads_at(32);
    expect_icon_loads_at(16);
    expect_icon_loads_at(GetSystemMetrics(SM_CXSMICON));
}

TEST(Manifest, AsksForCommonControls6AsInvoker)
{
    HRSRC found = FindResourceA(NULL, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    ASSERT_TRUE(found != NULL);
    const char *bytes = (const char *)LockResource(LoadResource(NULL, found));
    ASSERT_TRUE(bytes != NULL);
    std::string manifest(bytes, SizeofResource(NULL, found));
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\""));
    EXPECT_NE(std::string::npos, manifest.find("processorArchitecture=\"x86\""));
}

// The loader took the manifest: comctl32 comes from the side-by-side store in
// its version 6 (Wine's copy reports 5.81 through DllGetVersion, so the path
// is what tells).
TEST(Manifest, CommonControls6AreLoaded)
{
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    ASSERT_TRUE(comctl != NULL);
    char path[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameA(comctl, path, sizeof path));
    CharLowerA(path);
    EXPECT_TRUE(strstr(path, "\\winsxs\\x86_microsoft.windows.common-controls_6595b64144ccf1df_6.") != NULL)
        << path;
}
