// The dialog at start-up, its method list, the command-line folder, About and the ends.
#include "dialog_bench.h"
#include <commctrl.h>

TEST_F(DialogBench, StartsWithItsControlsInOrderItsTextsAndOnlyAbortGreyed)
{
    char folder[COMMAND_LINE_FOLDER_SIZE];   // this program's own arguments, if any
    command_line_folder(GetCommandLineA(), folder);
    std::string tab_order;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        tab_order += std::to_string(GetDlgCtrlID(child)) + " " + text_of(GetDlgCtrlID(child)) + "|";
    EXPECT_EQ("120 消去方法(&M)|142 zeros|121 フォルダ名(&F)|143 " + std::string(folder) +
              "|147 Version 8|145 参照(&B)|144 開始(&S)|3 中断(&A)|2 閉じる(&C)|146 "
              "ディスクの未使用領域を消去します。消去方法とフォルダを指定してください。|148 |", tab_order);
    EXPECT_EQ("111101", controls());
    // the run's progress bar: a plain one, last, no tab stop, empty, counting in thousandths
    HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    char kind[64] = "";
    GetClassNameA(bar, kind, sizeof kind);
    EXPECT_EQ("msctls_progress32", std::string(kind));
    EXPECT_EQ((LONG)(WS_CHILD | WS_VISIBLE), GetWindowLongA(bar, GWL_STYLE) & ~(LONG)0xFFFF);
    EXPECT_EQ(0, SendMessageA(bar, PBM_GETPOS, 0, 0));
    EXPECT_EQ(RUN_PROGRESS_FULL, SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    RECT status, under;
    GetWindowRect(GetDlgItem(dialog, IDC_STATUS), &status), GetWindowRect(bar, &under);
    EXPECT_LT(under.bottom, status.top) << "the bar sits above the status box";
    EXPECT_TRUE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
    press(IDM_ABOUT);
    EXPECT_EQ("Version 8|About vanta", boxes.at(0).text + "|" + boxes.at(0).caption);
}

TEST_F(DialogBench, ListsTheMethodsOfTheSettingsFileInIndexOrder)
{
    const struct { const char *settings; Strings names; } cases[] = {
        {"[mode]\r\nmaxnumber=3\r\n0=zz\r\n2=消去\r\n3=aa\r\n", {"zz", "", "消去", "aa"}},
        {"[mode]\r\nmaxnumber=-1\r\n0=zero\r\n", {}}, {nullptr, {""}}};   // no settings file
    for (const auto &c : cases) {
        open_dialog(c.settings);
        Strings got;
        char name[256];
        while (SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETLBTEXT, got.size(), (LPARAM)name) >= 0)
            got.push_back(name);
        EXPECT_EQ(c.names, got);
        EXPECT_EQ(got.empty() ? CB_ERR : 0,
                  SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0));
    }
}

TEST(CommandLine, TheFolderIsTheTokenBehindTheProgramsPath)
{
    const struct { std::string line, folder; } cases[] = {
        {"\"C:\\Program Files\\vanta.exe\" \"D:\\my data\\表\"", "D:\\my data\\表"},
        {"\"C:\\Program Files\\vanta.exe\" D:\\my data", "D:\\my"},
        {"\"C:\\vanta.exe\"D:\\x", "D:\\x"}, {"\"C:\\vanta.exe D:\\x", ""},
        {"  C:\\vanta.exe\tD:\\x", ""}, {"vanta.exe \"D:\\no end quote", "D:\\no end quote"},
        {"vanta.exe " + std::string(300, 'a') + " tail", std::string(260, 'a')}};
    for (const auto &c : cases) {
        char folder[COMMAND_LINE_FOLDER_SIZE];
        command_line_folder(c.line.c_str(), folder);
        EXPECT_EQ(c.folder, folder) << c.line;
    }
}

// What ends the program, posted at the loop's first fetch (none: it fails).
struct Ending { const char *module; UINT message; WPARAM wparam; bool kept; const char *fatal; };
static const Ending *ending;

static BOOL WINAPI first_fetch(LPMSG message, HWND window, UINT low, UINT high)
{
    get_message = GetMessageA;
    if (!ending->message)
        return SetLastError(ERROR_INVALID_WINDOW_HANDLE), -1;
    PostMessageA(FindWindowA("#32770", "vanta"), ending->message, ending->wparam, 0);
    PostQuitMessage(7);   // the loop's end, with 7 unless that message ends it with 0
    return GetMessageA(message, window, low, high);
}

TEST_F(DialogBench, EndsWithZeroByCloseQuitEscOrCloseRequestAndWithOneWhenItFails)
{
    DestroyWindow(dialog), until([] { return true; });   // run_program makes its own
    const Ending endings[] = {   // kernel32 holds no template; the others reset get_message
        {"kernel32.dll", 0, 0, false, "CreateDialog() "}, {NULL, 0, 0, true, "GetMessage() "},
        {NULL, WM_COMMAND, IDCANCEL, true, NULL}, {NULL, WM_COMMAND, IDM_QUIT, true, NULL},
        {NULL, WM_KEYDOWN, VK_ESCAPE, true, NULL}, {NULL, WM_CLOSE, 0, false, NULL}};
    for (const Ending &e : endings) {
        SCOPED_TRACE(std::to_string(e.message) + " " + std::to_string(e.wparam));
        ending = &e, get_message = first_fetch, boxes.clear();
        EXPECT_EQ(e.fatal ? 1 : 0, run_program(GetModuleHandleA(e.module), SW_SHOWNORMAL));
        EXPECT_EQ(e.kept, IsWindow(FindWindowA("#32770", "vanta")) != 0);
        DestroyWindow(FindWindowA("#32770", "vanta")), until([] { return true; });   // its quit too
        EXPECT_EQ(e.fatal ? e.fatal + system_text(run_context.last_error) + "|1" : "",
                  boxes.empty() ? "" : boxes[0].text + "|" + std::to_string(boxes[0].style));
    }
}
