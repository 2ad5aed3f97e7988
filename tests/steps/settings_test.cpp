// The settings file beside this test program (vanta.exe reads vanta.ini),
// read through the platform's profile reader.
#include <gtest/gtest.h>
#include "steps/step_runner.h"
#include "test_helpers.h"

static void settings(const std::string &text)   // "" removes the file
{
    std::string ini = own_path().substr(0, own_path().size() - 3) + "ini";
    DeleteFileA(ini.c_str());
    ASSERT_TRUE(text.empty() || write_file(ini, text)) << ini;
}

TEST(SettingsFile, MethodsFollowMaxnumber)
{
    const std::string n300(300, 'n'), e;
    std::pair<std::string, std::vector<std::string>> cases[] = {{"[mode]\r\nmaxnumber=3\r\n3=four\r\n1=two\r\n0=one\r\n2=three\r\n", {"one", "two", "three", "four"}},
                 {"[mode]\r\nmaxnumber=12\r\n9=nine\r\n10=ten\r\n", {e, e, e, e, e, e, e, e, e, "nine"}},
                 {"[mode]\r\nmaxnumber=10\r\n", std::vector<std::string>(10)}, {"[mode]\r\nmaxnumber=-1\r\n0=zero\r\n", {}},
                 {"[mode]\r\nmaxnumber=2 methods\r\n0=first\r\n2=third\r\n", {"first", e, "third"}},
                 {"[mode]\r\nmaxnumber=none\r\n0=only\r\n1=two\r\n", {"only"}}, {"[other]\r\nmaxnumber=5\r\n", {e}},
                 {"", {e}}, {"[mode]\r\n0=" + n300 + "\r\n", {n300.substr(0, 255)}},
                 // second bytes 0x5C: 表 is 95 5C, ソ 83 5C, 能 94 5C
                 {"[mode]\r\nmaxnumber=2\r\n0=完全消去（ゼロ）\r\n1=表示ソフト\r\n2=能力１０回\r\n",
                  {"完全消去（ゼロ）", "\x95\x5c\x8e\xa6\x83\x5c\x83\x74\x83\x67", "能力１０回"}}};
    for (auto &c : cases) {
        settings(c.first);
        std::vector<std::string> names;
        for (int i = 0; i <= highest_method_index(); ++i)
            names.push_back(method_name(i));
        EXPECT_EQ(c.second, names) << c.first;
    }
    settings("");
}

// Exactly "1" in its own section picks the newer style, read at the first use only.
TEST(SettingsFile, PickerStyleIsNewOnlyForExactlyOneAndReadOnce)
{
    const char *picker = "SHBrowseForFolder", *cases[][3] = {{picker, "1", "new"}, {picker, "yes", ""}, {picker, "01", ""},
                                                             {picker, "\" 1\"", ""}, {picker, "", ""}, {"mode", "1", ""}};
    for (auto &c : cases) {
        use_new_browse_dialog = 2;
        settings(std::string("[") + c[0] + "]\r\nBIF_NEWDIALOGSTYLE=" + c[1] + "\r\n");
        EXPECT_EQ(*c[2] ? 1 : 0, new_browse_dialog()) << c[0] << "/" << c[1];
        settings(std::string("[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=") + (*c[2] ? "0" : "1") + "\r\n");
        EXPECT_EQ(*c[2] ? 1 : 0, new_browse_dialog()) << "changed after the first use";
    }
    use_new_browse_dialog = 2;
    settings("");
}
