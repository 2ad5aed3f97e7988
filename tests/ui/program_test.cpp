// vanta.exe as the user starts it: a process of its own, with the methods
// shipped beside it, driven from this test program through its window (found
// by process, class and status control) on a real volume (tmpfs, Y:).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <map>
#include <string>
#include <vector>
#include "engine/engine_checks.h"
#include "test_helpers.h"
#include "ui/resource.h"

namespace {

const char FINISHED[] = "消去が終了しました。";
const char INTRO[] = "ディスクの未使用領域を消去します。消去方法とフォルダを指定してください。";

// The program under test, as Wine sees the build tree (drive Z: is /).
std::string program_path()
{
    const char *unix_path = getenv("VANTA_EXE");
    if (!unix_path || !*unix_path)
        return std::string();
    std::string path = std::string("Z:") + unix_path;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

struct Found {
    DWORD process;
    HWND dialog;
};

BOOL CALLBACK match_dialog(HWND window, LPARAM param)
{
    Found *found = (Found *)param;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char class_name[16];
    GetClassNameA(window, class_name, sizeof class_name);
    if (process == found->process && strcmp(class_name, "#32770") == 0 &&
        GetDlgItem(window, IDC_STATUS)) {
        found->dialog = window;
        return FALSE;
    }
    return TRUE;
}

// One run of vanta.exe.
struct Program {
    PROCESS_INFORMATION process = {};
    HWND dialog = NULL;

    bool start(const std::string &arguments, WORD show = SW_SHOWNORMAL)
    {
        std::string command = "\"" + program_path() + "\"" + arguments;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = show;
        if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                            &process))
            return false;
        for (int i = 0; i < 1000 && !dialog; ++i) {
            Found found = {process.dwProcessId, NULL};
            EnumWindows(match_dialog, (LPARAM)&found);
            dialog = found.dialog;
            if (!dialog)
                Sleep(10);
        }
        // answered once the program's message loop runs
        DWORD_PTR ignored;
        return dialog &&
               SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
    }
    std::string text(int id) { return window_text(dialog, id); }
    void command(int id)
    {
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     (LPARAM)GetDlgItem(dialog, id));
    }
    bool wait_for_status(const std::string &wanted, DWORD limit_ms)
    {
        for (DWORD waited = 0; waited < limit_ms; waited += 20) {
            if (text(IDC_STATUS) == wanted)
                return true;
            Sleep(20);
        }
        return false;
    }
    // The exit code, or 0xFFFFFFFF when the program has not ended in time.
    DWORD exit_code(DWORD limit_ms = 20000)
    {
        if (WaitForSingleObject(process.hProcess, limit_ms) != WAIT_OBJECT_0)
            return 0xFFFFFFFF;
        DWORD code = 0xFFFFFFFE;
        GetExitCodeProcess(process.hProcess, &code);
        return code;
    }
    ~Program()
    {
        if (process.hProcess) {
            if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0)
                TerminateProcess(process.hProcess, 99);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }
};

} // namespace

class VantaExe : public ::testing::Test {
protected:
    std::string root;
    std::map<std::string, std::string> user_before;

    void SetUp() override
    {
        ASSERT_FALSE(program_path().empty()) << "VANTA_EXE is not set";
        root = volume_root("program_tmpfs");
        ASSERT_FALSE(root.empty()) << "no volume program_tmpfs on this bench";
        clear_volume(root);
        plant_user_files(root);
        ASSERT_TRUE(CreateDirectoryA((root + "my folder").c_str(), NULL));
        ASSERT_TRUE(write_file(root + "my folder\\kept.txt", "a user's file beside the work folder"));
        user_before = digest_tree(root);
    }
    void TearDown() override
    {
        if (!root.empty()) {
            EXPECT_EQ(user_before, digest_tree(root)) << "a file outside the work folder changed";
            clear_volume(root);
        }
    }
};

TEST(VantaImage, IsAGuiSubsystemPe32ForI386)
{
    std::string image;
    ASSERT_TRUE(read_file(program_path(), &image)) << program_path();
    ASSERT_GT(image.size(), 0x200u);
    ASSERT_EQ("MZ", image.substr(0, 2));
    DWORD pe = *(const DWORD *)&image[0x3C];
    ASSERT_EQ(std::string("PE\0\0", 4), image.substr(pe, 4));
    EXPECT_EQ(0x14C, *(const WORD *)&image[pe + 4]) << "machine";
    const char *optional = &image[pe + 24];
    EXPECT_EQ(0x10B, *(const WORD *)optional) << "PE32";
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, *(const WORD *)(optional + 68));
}

TEST_F(VantaExe, ErasesTheFolderNamedOnItsCommandLineAndEndsWithZero)
{
    Program vanta;
    ASSERT_TRUE(vanta.start(" \"" + root + "my folder\""));

    EXPECT_EQ(root + "my folder", vanta.text(IDC_FOLDER));
    EXPECT_EQ("Version 8", vanta.text(IDC_STEP));
    EXPECT_EQ(INTRO, vanta.text(IDC_STATUS));
    // the methods shipped beside the program, the first one selected
    EXPECT_EQ(3, (int)SendDlgItemMessageA(vanta.dialog, IDC_METHOD, CB_GETCOUNT, 0, 0));
    EXPECT_EQ(0, (int)SendDlgItemMessageA(vanta.dialog, IDC_METHOD, CB_GETCURSEL, 0, 0));
    EXPECT_EQ("ゼロで1回上書き", vanta.text(IDC_METHOD));

    vanta.command(IDC_START);
    ASSERT_TRUE(vanta.wait_for_status(FINISHED, 60000)) << "status: " << vanta.text(IDC_STATUS);
    EXPECT_EQ("step 1 of 1: erase", vanta.text(IDC_STEP));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(vanta.dialog, IDC_START)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(vanta.dialog, IDABORT)));

    vanta.command(IDCANCEL);
    EXPECT_EQ(0u, vanta.exit_code());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((root + "my folder\\$VANTA$$").c_str()))
        << "the work folder stayed";
    // the folder that held the work folder has a new write time, nothing else
    user_before.erase("my folder");
    std::map<std::string, std::string> after = digest_tree(root);
    EXPECT_EQ(1u, after.erase("my folder"));
    EXPECT_EQ(user_before, after);
    user_before = digest_tree(root);
}

TEST_F(VantaExe, EveryWayOfClosingEndsWithZero)
{
    struct Way {
        const char *name;
        std::function<void(Program &)> close;
    } ways[] = {
        {"Close", [](Program &p) { p.command(IDCANCEL); }},
        {"Esc", [](Program &p) {
             PostMessageA(GetDlgItem(p.dialog, IDC_METHOD), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
         }},
        {"close request", [](Program &p) { PostMessageA(p.dialog, WM_CLOSE, 0, 0); }},
        {"quit command", [](Program &p) { PostMessageA(p.dialog, WM_COMMAND, IDM_QUIT, 0); }},
    };
    for (Way &way : ways) {
        Program vanta;
        ASSERT_TRUE(vanta.start("")) << way.name;
        EXPECT_EQ("", vanta.text(IDC_FOLDER)) << "no folder on the command line";
        way.close(vanta);
        EXPECT_EQ(0u, vanta.exit_code()) << way.name;
    }
}

TEST_F(VantaExe, TheAboutCommandShowsTheVersion)
{
    Program vanta;
    ASSERT_TRUE(vanta.start(""));
    vanta.command(IDM_ABOUT);
    HWND box = NULL;
    for (int i = 0; i < 500 && !box; ++i) {
        box = FindWindowA("#32770", "About vanta");
        if (!box)
            Sleep(10);
    }
    ASSERT_TRUE(box != NULL) << "no About box";
    EXPECT_EQ("Version 8", window_text(box, 0xFFFF));
    EXPECT_EQ(vanta.dialog, GetWindow(box, GW_OWNER));
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    vanta.command(IDCANCEL);
    EXPECT_EQ(0u, vanta.exit_code());
}

TEST_F(VantaExe, AMinimisedStartShowsTheDialogMinimisedWithItsSetUpDone)
{
    Program vanta;
    ASSERT_TRUE(vanta.start(" " + root, SW_SHOWMINIMIZED));
    EXPECT_TRUE(IsIconic(vanta.dialog));
    EXPECT_EQ(root, vanta.text(IDC_FOLDER));
    EXPECT_EQ("Version 8", vanta.text(IDC_STEP));
    vanta.command(IDCANCEL);
    EXPECT_EQ(0u, vanta.exit_code());
}
