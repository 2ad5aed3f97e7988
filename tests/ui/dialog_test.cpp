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

// The line as Windows keeps it, in UTF-16: a folder or a report with a
// character code page 932 can't hold is refused (best fit would make the yen
// sign a backslash, naming another folder); /lang chooses the language.
TEST(CommandLine, ANameTheCodePageCantHoldIsRefusedAndLangChoosesTheLanguage)
{
    load_texts(GetModuleHandleA(NULL));
    auto text = [](UINT id, const char *first, const char *second = "") {
        char composed[STATUS_TEXT_SIZE];
        snprintf(composed, sizeof composed, program_text(id), first, second);
        return std::string(composed);
    };
    const struct { const char *name; std::wstring line; std::string folder, report, error; int code, language, asked; } rows[] = {
        {"a folder, no switches", L"vanta.exe \"D:\\a\x00A5" L"b\"", "", "", text(IDS_NAME_NOT_SHOWN, "D:\\a?b"), 6, -1, -1},
        {"a folder with switches", L"vanta.exe D:\\a\x00A5" L"b /start /exit", "", "", text(IDS_NAME_NOT_SHOWN, "D:\\a?b"), 6, -1, -1},
        {"a report", L"vanta.exe D:\\x \"/report:D:\\r\x00A5.csv\"", "D:\\x", "", text(IDS_NAME_NOT_SHOWN, "D:\\r?.csv"), 1, -1, -1},
        {"a name code page 932 holds", L"vanta.exe D:\\\x8868 /report:\xFF0E.csv", "D:\\表", "．.csv", "", 0, -1, -1},
        {"English", L"vanta.exe D:\\x /lang:en", "D:\\x", "", "", 0, LANGUAGE_ENGLISH, LANGUAGE_ENGLISH},
        {"Japanese, its value in capitals, twice", L"vanta.exe D:\\x /LANG:JA -lang:ja", "D:\\x", "", "", 0, LANGUAGE_JAPANESE, LANGUAGE_JAPANESE},
        {"a language vanta does not speak", L"vanta.exe D:\\x /lang:fr", "D:\\x", "", text(IDS_NO_SUCH_LANGUAGE, "/lang:fr"), 1, -1, -1},
        {"no language", L"vanta.exe D:\\x /lang", "D:\\x", "", text(IDS_NO_SUCH_LANGUAGE, "/lang"), 1, -1, -1},
        {"two languages", L"vanta.exe D:\\x /lang:ja /lang:en", "D:\\x", "", text(IDS_SWITCH_TWICE, "/lang:ja", "/lang:en"), 1,
         LANGUAGE_JAPANESE, LANGUAGE_JAPANESE},
        {"a switch that only begins like it", L"vanta.exe D:\\x /language:en", "D:\\x", "", text(IDS_BAD_SWITCH, "/language:en"), 1, -1, -1},
        // a report that is a device keeps no record: refused as the line is read, and not taken
        {"NUL", L"vanta.exe D:\\x /start /report:NUL", "D:\\x", "", text(IDS_REPORT_DEVICE, "NUL"), 1, -1, -1},
        {"CON", L"vanta.exe D:\\x /report:CON", "D:\\x", "", text(IDS_REPORT_DEVICE, "CON"), 1, -1, -1},
        {"nul with an extension", L"vanta.exe D:\\x /report:nul.csv", "D:\\x", "", text(IDS_REPORT_DEVICE, "nul.csv"), 1, -1, -1},
        {"COM1", L"vanta.exe D:\\x /report:COM1", "D:\\x", "", text(IDS_REPORT_DEVICE, "COM1"), 1, -1, -1},
        {"a device in a folder", L"vanta.exe D:\\x \"/report:D:\\logs\\Lpt9 .txt\"", "D:\\x", "",
         text(IDS_REPORT_DEVICE, "D:\\logs\\Lpt9 .txt"), 1, -1, -1},
        {"the device namespace", L"vanta.exe D:\\x /report:\\\\.\\D:\\r.csv", "D:\\x", "", text(IDS_REPORT_DEVICE, "\\\\.\\D:\\r.csv"), 1, -1, -1},
        {"a name that only begins like a device", L"vanta.exe D:\\x /report:D:\\console.csv", "D:\\x", "D:\\console.csv", "", 0, -1, -1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        CommandLine parsed;
        EXPECT_EQ(!r.error.empty(), parse_wide_command_line(r.line.c_str(), &parsed));
        EXPECT_EQ(r.folder, parsed.folder);
        EXPECT_EQ(r.report, parsed.report);
        EXPECT_EQ(r.error, parsed.error);
        EXPECT_EQ(r.code, exit_code_of_ending(parsed.error_ending));
        EXPECT_EQ(r.language, parsed.language);
        char ansi[256];
        int lost;
        ansi_from_wide(CP_ACP, r.line.c_str(), -1, ansi, sizeof ansi, &lost);
        EXPECT_EQ(r.asked, command_line_language(ansi)) << "the language chosen at start";
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

// A DLL another account put beside the program loads before the search is
// made safe, and no more after it (a process of its own: the search is the
// process's for good).
static int dll_search_child()
{
    HMODULE before = LoadLibraryA("vanta_probe.dll");
    if (!before)
        return 2;   // the probe is not beside the test program: the test proves nothing
    FreeLibrary(before);
    secure_dll_search();
    return LoadLibraryA("vanta_probe.dll") ? 1 : 0;
}
static TestChild dll_search("dll-search", dll_search_child);

TEST(StartUp, ADllBesideTheProgramNoLongerLoadsOnceTheSearchIsSafe)
{
    EXPECT_EQ(0u, run_child_process("dll-search")) << "2: no probe beside the program; 1: it still loaded";
}
