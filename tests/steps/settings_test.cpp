// The settings file, written next to this test program as the program's own
// would be, and read through the platform's profile reader.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "steps/step_runner.h"
#include "support/messages.h"
#include "test_helpers.h"

namespace {

std::string own_path()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    return std::string(path, length);
}

std::string system_text(DWORD code)
{
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  (LPSTR)&text, 0, NULL);
    std::string result = length ? std::string(text, length) : std::string();
    if (text)
        LocalFree(text);
    return result;
}

DWORD WINAPI no_module_file_name(HMODULE, LPSTR, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

} // namespace

class SettingsFile : public ::testing::Test {
protected:
    // vanta.exe reads vanta.ini: the last three characters become "ini"
    std::string ini = own_path().substr(0, own_path().size() - 3) + "ini";

    void SetUp() override { DeleteFileA(ini.c_str()); }
    void TearDown() override
    {
        DeleteFileA(ini.c_str());
        use_new_browse_dialog = 2;
        module_file_name = GetModuleFileNameA;
    }
    void settings(const std::string &text) { ASSERT_TRUE(write_file(ini, text)) << ini; }
    // What the dialog lists: a name for every index up to the highest.
    std::vector<std::string> methods()
    {
        std::vector<std::string> names;
        for (int i = 0; i <= highest_method_index(); ++i)
            names.push_back(method_name(i));
        return names;
    }
};

// ----------------------------------------------------------- methods

TEST_F(SettingsFile, MaxnumberThreeGivesFourMethodsInIndexOrder)
{
    settings("[mode]\r\nmaxnumber=3\r\n3=four\r\n1=two\r\n0=one\r\n2=three\r\n");
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three", "four"}), methods());
}

struct Highest {
    const char *file;
    int highest;
};

static void PrintTo(const Highest &c, std::ostream *out)
{
    *out << c.file;
}

class MethodCount : public SettingsFile, public ::testing::WithParamInterface<Highest> {};

TEST_P(MethodCount, FollowsMaxnumberUpToNine)
{
    settings(GetParam().file);
    EXPECT_EQ(GetParam().highest, highest_method_index());
}

INSTANTIATE_TEST_SUITE_P(
    Values, MethodCount,
    ::testing::Values(Highest{"[mode]\r\nmaxnumber=12\r\n", 9}, Highest{"[mode]\r\nmaxnumber=10\r\n", 9},
                      Highest{"[mode]\r\nmaxnumber=9\r\n", 9}, Highest{"[mode]\r\nmaxnumber=0\r\n", 0},
                      Highest{"[mode]\r\nmaxnumber=-1\r\n", -1},
                      Highest{"[mode]\r\nmaxnumber=2 methods\r\n", 2},
                      Highest{"[mode]\r\nmaxnumber=none\r\n", 0}, Highest{"[mode]\r\nmaxnumber=\r\n", 0},
                      Highest{"[mode]\r\n0=only\r\n", 0}, Highest{"[other]\r\nmaxnumber=5\r\n", 0},
                      Highest{"", 0}));

TEST_F(SettingsFile, MinusOneListsNoMethodAtAll)
{
    settings("[mode]\r\nmaxnumber=-1\r\n0=zero\r\n");
    EXPECT_TRUE(methods().empty());
}

TEST_F(SettingsFile, TwelveListsTheTenIndicesAScriptNameCanCarry)
{
    settings("[mode]\r\nmaxnumber=12\r\n9=nine\r\n10=ten\r\n");
    std::vector<std::string> names = methods();
    ASSERT_EQ(10u, names.size());
    EXPECT_EQ("nine", names[9]);
}

TEST_F(SettingsFile, WithoutTheFileThereIsOneMethodWithAnEmptyName)
{
    EXPECT_EQ(std::vector<std::string>{""}, methods());
    EXPECT_STREQ("", read_setting("mode", "maxnumber"));
}

TEST_F(SettingsFile, AMissingNameIsEmptyAndTheMethodStays)
{
    settings("[mode]\r\nmaxnumber=2\r\n0=first\r\n2=third\r\n");
    EXPECT_EQ((std::vector<std::string>{"first", "", "third"}), methods());
}

TEST_F(SettingsFile, ANameIsCutAt255Bytes)
{
    settings("[mode]\r\n0=" + std::string(300, 'n') + "\r\n");
    EXPECT_EQ(std::string(255, 'n'), std::string(method_name(0)));
}

// Names whose second bytes are 0x5C (表, ソ, 能) come back byte for byte.
TEST_F(SettingsFile, JapaneseNamesComeBackAsTheirCp932Bytes)
{
    settings("[mode]\r\nmaxnumber=2\r\n0=完全消去（ゼロ）\r\n1=表示ソフト\r\n2=能力１０回\r\n");
    EXPECT_EQ((std::vector<std::string>{"完全消去（ゼロ）", "表示ソフト", "能力１０回"}), methods());
    EXPECT_EQ("\x95\x5c\x8e\xa6\x83\x5c\x83\x74\x83\x67", std::string(method_name(1)));
}

TEST_F(SettingsFile, EveryReadLooksAtTheFileAfresh)
{
    settings("[mode]\r\nmaxnumber=1\r\n");
    EXPECT_EQ(1, highest_method_index());
    DeleteFileA(ini.c_str());
    settings("[mode]\r\nmaxnumber=4\r\n");
    EXPECT_EQ(4, highest_method_index());
}

TEST_F(SettingsFile, WithoutTheExecutablesPathShowsAnErrorAndAsksToQuit)
{
    settings("[mode]\r\nmaxnumber=3\r\n");
    ScriptedBoxes boxes;
    MSG stale;
    while (PeekMessageA(&stale, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    module_file_name = no_module_file_name;

    EXPECT_STREQ("", read_setting("mode", "maxnumber"));

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("can't GetModuleFileName(NULL,,)\r\n" + system_text(ERROR_NOT_ENOUGH_MEMORY),
              boxes.shown[0].text);
    EXPECT_EQ(nullptr, boxes.shown[0].owner);
    MSG quit;
    ASSERT_TRUE(PeekMessageA(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) << "no quit request";
    EXPECT_EQ(1u, quit.wParam);
}

// ----------------------------------------------------------- the folder picker's style

struct Picker {
    const char *file;
    int new_style;
};

static void PrintTo(const Picker &c, std::ostream *out)
{
    *out << c.file;
}

class PickerStyle : public SettingsFile, public ::testing::WithParamInterface<Picker> {};

TEST_P(PickerStyle, IsNewOnlyForExactlyOne)
{
    settings(GetParam().file);
    EXPECT_EQ(GetParam().new_style, new_browse_dialog());
}

INSTANTIATE_TEST_SUITE_P(
    Values, PickerStyle,
    ::testing::Values(Picker{"[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=1\r\n", 1},
                      Picker{"[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=yes\r\n", 0},
                      Picker{"[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=01\r\n", 0},
                      Picker{"[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=\" 1\"\r\n", 0},
                      Picker{"[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=\r\n", 0},
                      Picker{"[mode]\r\nBIF_NEWDIALOGSTYLE=1\r\n", 0}, Picker{"", 0}));

TEST_F(SettingsFile, ThePickerStyleIsReadOnceForTheProcess)
{
    settings("[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=1\r\n");
    EXPECT_EQ(1, new_browse_dialog());
    DeleteFileA(ini.c_str());
    settings("[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=0\r\n");
    EXPECT_EQ(1, new_browse_dialog()) << "a change of the file shows at the next start";

    use_new_browse_dialog = 2;
    EXPECT_EQ(0, new_browse_dialog());
    DeleteFileA(ini.c_str());
    settings("[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=1\r\n");
    EXPECT_EQ(0, new_browse_dialog());
}
