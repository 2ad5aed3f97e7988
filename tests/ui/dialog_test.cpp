// The main dialog: its template as the program's resources hold it, its
// set-up from the settings file and the command line, and the routing of its
// messages and commands. The dialog is the real one, made from the template
// by CreateDialogParamA in the test's thread.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>
#include "dialog_bench.h"
#include "steps/step_runner.h"
#include "test_helpers.h"
#include "ui/dialog.h"
#include "ui/work_folder.h"

namespace {

// ----------------------------------------------------------- the template as stored

struct Item {
    DWORD ex_style;
    DWORD style;
    short x, y, cx, cy;
    DWORD id;
    std::string class_name;
    std::string text;
};

struct Template {
    WORD version = 0;
    WORD signature = 0;
    DWORD ex_style = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    bool menu = true;
    bool own_class = true;
    std::string title;
    WORD point_size = 0;
    std::string font;
    std::vector<Item> items;
};

std::string ansi(const WCHAR *text)
{
    char buffer[512];
    int length = WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
    return length > 0 ? std::string(buffer) : std::string("(unconvertible)");
}

// A name or an ordinal field; returns the position behind it.
const WORD *name_or_ordinal(const WORD *p, std::string *name, bool *present)
{
    static const char *const classes[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar",
                                          "ComboBox"};
    if (*p == 0) {
        *present = false;
        name->clear();
        return p + 1;
    }
    *present = true;
    if (*p == 0xFFFF) {
        WORD ordinal = p[1];
        *name = ordinal >= 0x80 && ordinal <= 0x85 ? classes[ordinal - 0x80]
                                                   : "#" + std::to_string(ordinal);
        return p + 2;
    }
    *name = ansi((const WCHAR *)p);
    while (*p)
        ++p;
    return p + 1;
}

bool read_template(Template *t)
{
    HRSRC found = FindResourceA(GetModuleHandleA(NULL), "IDD_DIALOG", (LPCSTR)RT_DIALOG);
    if (!found)
        return false;
    const WORD *p = (const WORD *)LockResource(LoadResource(GetModuleHandleA(NULL), found));
    if (!p)
        return false;
    t->version = p[0];
    t->signature = p[1];
    if (t->signature != 0xFFFF)
        return false;   // only the extended form is read here
    const BYTE *b = (const BYTE *)p;
    t->ex_style = *(const DWORD *)(b + 8);
    t->style = *(const DWORD *)(b + 12);
    WORD count = *(const WORD *)(b + 16);
    t->x = *(const short *)(b + 18);
    t->y = *(const short *)(b + 20);
    t->cx = *(const short *)(b + 22);
    t->cy = *(const short *)(b + 24);
    p = (const WORD *)(b + 26);
    std::string ignored;
    p = name_or_ordinal(p, &ignored, &t->menu);
    p = name_or_ordinal(p, &ignored, &t->own_class);
    t->title = ansi((const WCHAR *)p);
    while (*p)
        ++p;
    ++p;
    if (t->style & DS_SETFONT) {
        t->point_size = p[0];
        p += 3;   // size, weight, italic and charset
        t->font = ansi((const WCHAR *)p);
        while (*p)
            ++p;
        ++p;
    }
    for (WORD i = 0; i < count; ++i) {
        b = (const BYTE *)(((UINT_PTR)p + 3) & ~(UINT_PTR)3);
        Item item;
        item.ex_style = *(const DWORD *)(b + 4);
        item.style = *(const DWORD *)(b + 8);
        item.x = *(const short *)(b + 12);
        item.y = *(const short *)(b + 14);
        item.cx = *(const short *)(b + 16);
        item.cy = *(const short *)(b + 18);
        item.id = *(const DWORD *)(b + 20);
        p = (const WORD *)(b + 24);
        bool present;
        p = name_or_ordinal(p, &item.class_name, &present);
        p = name_or_ordinal(p, &item.text, &present);
        WORD extra = *p++;
        p = (const WORD *)((const BYTE *)p + extra);
        t->items.push_back(item);
    }
    return true;
}

const DWORD LABEL = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
const DWORD BUTTON = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

const Item EXPECTED[] = {
    {0, LABEL, 4, 5, 82, 10, 120, "Static", "消去方法(&M)"},
    {0, WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, 4, 18, 172, 50, 142,
     "ComboBox", ""},
    {0, LABEL, 4, 36, 60, 10, 121, "Static", "フォルダ名(&F)"},
    {0, WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 4, 48, 114, 11, 143,
     "Edit", ""},
    {0, LABEL, 4, 81, 172, 10, 147, "Static", " "},
    {0, BUTTON, 124, 47, 51, 13, 145, "Button", "参照(&B)"},
    {0, BUTTON | WS_GROUP, 4, 65, 51, 13, 144, "Button", "開始(&S)"},
    {0, BUTTON, 64, 65, 51, 13, 3, "Button", "中断(&A)"},
    {0, BUTTON, 124, 65, 51, 13, 2, "Button", "閉じる(&C)"},
    {WS_EX_STATICEDGE,
     WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 4, 92,
     172, 27, 146, "Edit", ""},
};

} // namespace

TEST(DialogTemplate, IsLaidOutAsTheProgramsWindow)
{
    Template t;
    ASSERT_TRUE(read_template(&t)) << "no template named IDD_DIALOG in the resources";
    EXPECT_EQ((DWORD)(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                      DS_SETFONT),
              t.style);
    EXPECT_EQ(0u, t.ex_style);
    EXPECT_EQ(6, t.x);
    EXPECT_EQ(18, t.y);
    EXPECT_EQ(180, t.cx);
    EXPECT_EQ(124, t.cy);
    EXPECT_FALSE(t.menu);
    EXPECT_FALSE(t.own_class) << "the standard dialog class";
    EXPECT_EQ("vanta", t.title);
    EXPECT_EQ(12, t.point_size);
    EXPECT_EQ("System", t.font);

    ASSERT_EQ(10u, t.items.size());
    for (size_t i = 0; i < 10; ++i) {
        const Item &want = EXPECTED[i];
        const Item &got = t.items[i];
        SCOPED_TRACE("control " + std::to_string(i + 1) + ", id " + std::to_string(want.id));
        EXPECT_EQ(want.id, got.id);
        EXPECT_STRCASEEQ(want.class_name.c_str(), got.class_name.c_str());
        EXPECT_EQ(want.text, got.text);
        EXPECT_EQ(want.style, got.style) << std::hex << got.style;
        EXPECT_EQ(want.ex_style, got.ex_style);
        EXPECT_EQ(want.x, got.x);
        EXPECT_EQ(want.y, got.y);
        EXPECT_EQ(want.cx, got.cx);
        EXPECT_EQ(want.cy, got.cy);
        if (got.class_name == "Button") {
            EXPECT_EQ(0u, got.style & 0xF) << "a default push button or another kind";
        }
    }
}

// ----------------------------------------------------------- the live dialog

class MainDialog : public DialogBench {};

TEST_F(MainDialog, StartsWithVersionIntroductionAndAbortGreyed)
{
    open_dialog();
    EXPECT_EQ("Version 8", text_of(IDC_STEP));
    EXPECT_EQ(INTRO, text_of(IDC_STATUS));
    EXPECT_EQ("", text_of(IDC_FOLDER)) << "this test program's command line names no folder";
    EXPECT_FALSE(enabled(IDABORT));
    for (int id : {IDC_METHOD, IDC_FOLDER, IDC_BROWSE, IDC_START, IDCANCEL})
        EXPECT_TRUE(enabled(id)) << id;
    char title[64];
    GetWindowTextA(dialog, title, sizeof title);
    EXPECT_STREQ("vanta", title);
    EXPECT_TRUE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) << "drops not accepted";
}

TEST_F(MainDialog, ControlsComeInTemplateOrderAndTabFromTheMethodList)
{
    open_dialog();
    std::vector<int> order;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        order.push_back(GetDlgCtrlID(child));
    EXPECT_EQ((std::vector<int>{120, 142, 121, 143, 147, 145, 144, 3, 2, 146}), order);

    // the first tab stop takes the focus; Abort is grey and skipped
    EXPECT_EQ(GetDlgItem(dialog, IDC_METHOD), GetFocus());
    std::vector<int> tabs;
    HWND at = GetDlgItem(dialog, IDC_METHOD);
    for (int i = 0; i < 5; ++i) {
        tabs.push_back(GetDlgCtrlID(at));
        at = GetNextDlgTabItem(dialog, at, FALSE);
    }
    EXPECT_EQ((std::vector<int>{142, 143, 145, 144, 2}), tabs);
    EXPECT_EQ(GetDlgItem(dialog, IDC_METHOD), at) << "the tab order wraps to the method list";
}

TEST_F(MainDialog, ControlsSitWhereTheTemplatePlacesThem)
{
    open_dialog();
    for (const Item &want : EXPECTED) {
        if (want.id == IDC_METHOD)
            continue;   // its height holds the dropped list
        RECT expected = {want.x, want.y, want.x + want.cx, want.y + want.cy};
        MapDialogRect(dialog, &expected);
        RECT got;
        HWND control = GetDlgItem(dialog, want.id);
        GetWindowRect(control, &got);
        MapWindowPoints(NULL, dialog, (POINT *)&got, 2);
        EXPECT_EQ(expected.left, got.left) << want.id;
        EXPECT_EQ(expected.top, got.top) << want.id;
        EXPECT_EQ(expected.right, got.right) << want.id;
        EXPECT_EQ(expected.bottom, got.bottom) << want.id;
    }
    RECT size = {0, 0, 180, 124};
    MapDialogRect(dialog, &size);
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(size.right, client.right);
    EXPECT_EQ(size.bottom, client.bottom);
}

TEST_F(MainDialog, UsesIcon101AsItsSmallAndBigIcon)
{
    open_dialog();
    HICON small = (HICON)SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0);
    HICON big = (HICON)SendMessageA(dialog, WM_GETICON, ICON_BIG, 0);
    ASSERT_TRUE(small != NULL);
    EXPECT_EQ(small, big) << "one image serves as both";
    ICONINFO info;
    ASSERT_TRUE(GetIconInfo(small, &info));
    BITMAP bitmap;
    GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    EXPECT_EQ(GetSystemMetrics(SM_CXSMICON), bitmap.bmWidth) << "loaded at the small-icon size";
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
}

// ----------------------------------------------------------- the method list

std::vector<std::string> list_entries(HWND dialog)
{
    std::vector<std::string> names;
    int count = (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        char name[512];
        name[0] = 0;
        SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETLBTEXT, i, (LPARAM)name);
        names.push_back(name);
    }
    return names;
}

TEST_F(MainDialog, ListsTheMethodsInIndexOrderUnsortedWithEmptyNamesKept)
{
    open_dialog("[mode]\r\nmaxnumber=3\r\n0=zz last by name\r\n2=消去\r\n3=aa first by name\r\n");
    EXPECT_EQ((std::vector<std::string>{"zz last by name", "", "消去", "aa first by name"}),
              list_entries(dialog));
    EXPECT_EQ(0, (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0));
}

TEST_F(MainDialog, ListsTenMethodsAtMostAndNoneBelowZero)
{
    open_dialog("[mode]\r\nmaxnumber=12\r\n9=nine\r\n");
    std::vector<std::string> names = list_entries(dialog);
    ASSERT_EQ(10u, names.size());
    EXPECT_EQ("nine", names[9]);
    DestroyWindow(dialog);
    pump.drain();

    open_dialog("[mode]\r\nmaxnumber=-1\r\n0=zero\r\n");
    EXPECT_TRUE(list_entries(dialog).empty());
    EXPECT_EQ(CB_ERR, (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0));
}

TEST_F(MainDialog, WithoutASettingsFileListsOneMethodWithAnEmptyName)
{
    open_dialog(nullptr);
    EXPECT_EQ((std::vector<std::string>{""}), list_entries(dialog));
    EXPECT_EQ(0, (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0));
}

// ----------------------------------------------------------- commands

TEST_F(MainDialog, AboutShowsTheVersionUnderItsOwnCaption)
{
    BoxHook boxes;
    open_dialog();
    // the notification code in the high word is not looked at
    EXPECT_EQ(TRUE, dialog_proc(dialog, WM_COMMAND, MAKEWPARAM(IDM_ABOUT, 7), 0));
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("Version 8", boxes.shown[0].text);
    EXPECT_EQ("About vanta", boxes.shown[0].caption);
    EXPECT_EQ((UINT)MB_OK, boxes.shown[0].style);
    EXPECT_EQ(dialog, boxes.shown[0].owner);
}

TEST_F(MainDialog, OnlyTheCommandsOfTheTableAreHandled)
{
    BoxHook boxes;
    open_dialog();
    SetDlgItemTextA(dialog, IDC_FOLDER, "C:\\");
    // picking a method or typing a folder starts nothing
    EXPECT_EQ(FALSE, dialog_proc(dialog, WM_COMMAND, MAKEWPARAM(IDC_METHOD, CBN_SELCHANGE), 0));
    EXPECT_EQ(FALSE, dialog_proc(dialog, WM_COMMAND, MAKEWPARAM(IDC_FOLDER, EN_CHANGE), 0));
    EXPECT_EQ(FALSE, dialog_proc(dialog, WM_COMMAND, MAKEWPARAM(999, 0), 0));
    EXPECT_EQ(FALSE, dialog_proc(dialog, WM_USER + 1, 0, 0));
    pump.drain();
    EXPECT_EQ(0u, wipe_job.thread_id);
    EXPECT_EQ(INTRO, text_of(IDC_STATUS));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(pump.quit_seen);
}

TEST_F(MainDialog, CloseAndQuitPostQuitZeroAndLeaveTheWindow)
{
    for (int id : {IDCANCEL, IDM_QUIT}) {
        open_dialog();
        pump.quit_seen = false;
        EXPECT_EQ(TRUE, dialog_proc(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0));
        pump.drain();
        EXPECT_TRUE(pump.quit_seen) << id;
        EXPECT_EQ(0u, pump.quit_code) << id;
        EXPECT_TRUE(IsWindow(dialog)) << "the window is not destroyed first";
        DestroyWindow(dialog);
        pump.drain();
    }
}

TEST_F(MainDialog, TheCloseRequestDestroysTheWindowAndPostsQuitZero)
{
    open_dialog();
    SendMessageA(dialog, WM_CLOSE, 0, 0);
    pump.drain();
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_TRUE(pump.quit_seen);
    EXPECT_EQ(0u, pump.quit_code);
}

TEST_F(MainDialog, EscapeIsTheCloseCommand)
{
    open_dialog();
    // as the keyboard would deliver it: to the focused control, through the
    // dialog's keyboard handling in the loop
    PostMessageA(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    pump.drain();
    EXPECT_TRUE(pump.quit_seen);
    EXPECT_EQ(0u, pump.quit_code);
}

TEST_F(MainDialog, AltWithAnUnderlinedLetterPressesItsButton)
{
    open_dialog();
    // Alt+S is Start: with the empty folder box it says so
    PostMessageA(GetFocus(), WM_SYSCHAR, 's', 1 << 29);
    pump.drain();
    EXPECT_EQ(NO_FOLDER, text_of(IDC_STATUS));
    // Alt+F moves to the folder box behind its label
    PostMessageA(GetFocus(), WM_SYSCHAR, 'f', 1 << 29);
    pump.drain();
    EXPECT_EQ(GetDlgItem(dialog, IDC_FOLDER), GetFocus());
}

// ----------------------------------------------------------- the command line

struct CommandLine {
    const char *line;
    const char *folder;
};

class CommandLineFolder : public ::testing::TestWithParam<CommandLine> {};

TEST_P(CommandLineFolder, IsTheTokenBehindTheProgramsPath)
{
    char folder[COMMAND_LINE_FOLDER_SIZE + 8];
    memset(folder, 'x', sizeof folder);
    command_line_folder(GetParam().line, folder);
    EXPECT_STREQ(GetParam().folder, folder) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(Lines, CommandLineFolder, ::testing::Values(
    CommandLine{"\"C:\\Program Files\\vanta.exe\" \"D:\\my data\\写真\"", "D:\\my data\\写真"},
    CommandLine{"\"C:\\Program Files\\vanta.exe\" D:\\my data\\写真", "D:\\my"},
    CommandLine{"\"C:\\vanta.exe\"D:\\x", "D:\\x"},
    CommandLine{"\"C:\\vanta.exe D:\\x", ""},
    CommandLine{"C:\\vanta.exe   D:\\x  more words", "D:\\x"},
    CommandLine{"  C:\\vanta.exe D:\\x", "D:\\x"},
    CommandLine{"C:\\vanta.exe\tD:\\x", ""},
    CommandLine{"C:\\vanta.exe \tD:\\x", "\tD:\\x"},
    CommandLine{"C:\\vanta.exe \"D:\\no end quote", "D:\\no end quote"},
    CommandLine{"C:\\vanta.exe \"\" D:\\x", ""},
    CommandLine{"C:\\vanta.exe", ""},
    CommandLine{"C:\\vanta.exe   ", ""},
    CommandLine{"\"C:\\vanta.exe\"", ""},
    CommandLine{"", ""}));

TEST(CommandLineFolderLength, TakesTheFirst260BytesOfALongerToken)
{
    std::string token = "D:\\" + std::string(300, 'a');
    char folder[COMMAND_LINE_FOLDER_SIZE];
    command_line_folder(("vanta.exe " + token + " tail").c_str(), folder);
    EXPECT_EQ(token.substr(0, 260), std::string(folder));
    command_line_folder(("vanta.exe \"" + token.substr(0, 260) + "\"").c_str(), folder);
    EXPECT_EQ(token.substr(0, 260), std::string(folder));
}

// ----------------------------------------------------------- start-up

namespace {

// Drives a dialog that run_program makes, from a thread of the test's own:
// waits for it and then does what the test asks.
struct Driver {
    explicit Driver(std::function<void(HWND)> act) : act(act)
    {
        thread = CreateThread(NULL, 0, run, this, 0, NULL);
    }
    ~Driver()
    {
        WaitForSingleObject(thread, 30000);
        CloseHandle(thread);
    }
    static DWORD WINAPI run(void *param)
    {
        Driver *self = (Driver *)param;
        for (int i = 0; i < 1000 && !self->dialog; ++i) {
            self->dialog = FindWindowA("#32770", "vanta");
            if (self->dialog && !GetDlgItem(self->dialog, IDC_STATUS))
                self->dialog = NULL;
            if (!self->dialog)
                Sleep(10);
        }
        // answered only once the program's loop runs, after its ShowWindow
        DWORD_PTR ignored;
        if (self->dialog &&
            SendMessageTimeoutA(self->dialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored))
            self->act(self->dialog);
        return 0;
    }
    std::function<void(HWND)> act;
    HWND dialog = NULL;
    HANDLE thread;
};

DWORD WINAPI no_module_file_name(HMODULE, LPSTR, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

DWORD WINAPI failing_fetch(LPMSG, HWND, UINT, UINT)
{
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return (DWORD)-1;
}

int create_dialog_failure_cancelled()
{
    ScriptedBoxes boxes;
    boxes.answer(IDCANCEL);
    load_texts(GetModuleHandleA(NULL));
    // a module without the template: the creation fails
    run_program(GetModuleHandleA("kernel32.dll"), SW_SHOWNORMAL);
    return 42;   // not reached: Cancel ends the process with 1
}
TestChild create_dialog_failure_child("create_dialog_failure_cancelled",
                                      create_dialog_failure_cancelled);

} // namespace

class StartUp : public DialogBench {
protected:
    void TearDown() override
    {
        get_message = GetMessageA;
        HWND left = FindWindowA("#32770", "vanta");
        if (left && GetDlgItem(left, IDC_STATUS))
            DestroyWindow(left);
        DialogBench::TearDown();
    }
};

TEST_F(StartUp, ShowsTheDialogAndEndsWithZeroWhenEscapeIsPressed)
{
    ASSERT_TRUE(write_file(settings_path(), "[mode]\r\nmaxnumber=1\r\n0=a\r\n1=b\r\n"));
    bool visible = false, minimised = true;
    std::string step;
    int entries = 0;
    Driver driver([&](HWND dialog) {
        visible = IsWindowVisible(dialog) != 0;
        minimised = IsIconic(dialog) != 0;
        step = window_text(dialog, IDC_STEP);
        entries = (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCOUNT, 0, 0);
        // Esc through the program's own loop and its keyboard handling
        PostMessageA(GetDlgItem(dialog, IDC_METHOD), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    });
    EXPECT_EQ(0, run_program(GetModuleHandleA(NULL), SW_SHOWNORMAL));
    ASSERT_TRUE(driver.dialog != NULL) << "no dialog appeared";
    EXPECT_TRUE(visible);
    EXPECT_FALSE(minimised);
    EXPECT_EQ("Version 8", step);
    EXPECT_EQ(2, entries);
}

TEST_F(StartUp, AMinimisedStartShowsTheDialogMinimisedAndSetUp)
{
    bool minimised = false;
    std::string status;
    Driver driver([&](HWND dialog) {
        minimised = IsIconic(dialog) != 0;
        status = window_text(dialog, IDC_STATUS);
        PostMessageA(dialog, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(0, run_program(GetModuleHandleA(NULL), SW_SHOWMINIMIZED));
    EXPECT_TRUE(minimised);
    EXPECT_EQ(INTRO, status);
}

TEST_F(StartUp, TheQuitCommandEndsTheLoopWithZero)
{
    Driver driver([&](HWND dialog) { PostMessageA(dialog, WM_COMMAND, IDM_QUIT, 0); });
    EXPECT_EQ(0, run_program(GetModuleHandleA(NULL), SW_SHOWNORMAL));
}

TEST_F(StartUp, ADialogThatCannotBeMadeIsFatalAndEndsWithOne)
{
    ScriptedBoxes boxes;
    EXPECT_EQ(1, run_program(GetModuleHandleA("kernel32.dll"), SW_SHOWNORMAL));
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_NE(0u, run_context.last_error);
    EXPECT_EQ("CreateDialog() " + [] {
        char *text = NULL;
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_FROM_SYSTEM,
                       NULL, run_context.last_error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       (LPSTR)&text, 0, NULL);
        std::string s = text ? text : "";
        if (text)
            LocalFree(text);
        return s;
    }(), boxes.shown[0].text);
    EXPECT_EQ((UINT)MB_OKCANCEL, boxes.shown[0].style);
    EXPECT_EQ(NULL, boxes.shown[0].owner);
    EXPECT_EQ(1u, run_child_process("create_dialog_failure_cancelled")) << "Cancel ends with 1";
}

TEST_F(StartUp, AFailingMessageFetchIsFatalAndEndsWithOne)
{
    ScriptedBoxes boxes;
    get_message = (GetMessageProc)failing_fetch;
    EXPECT_EQ(1, run_program(GetModuleHandleA(NULL), SW_SHOWNORMAL));
    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, run_context.last_error);
    EXPECT_EQ(0u, boxes.shown[0].text.rfind("GetMessage() ", 0)) << boxes.shown[0].text;
    EXPECT_GT(boxes.shown[0].text.size(), strlen("GetMessage() ")) << "no system text";
}

TEST_F(StartUp, WithoutTheProgramsPathTheSetUpQuitsWithOne)
{
    ScriptedBoxes boxes;
    module_file_name = no_module_file_name;
    EXPECT_EQ(1, run_program(GetModuleHandleA(NULL), SW_SHOWNORMAL));
    ASSERT_FALSE(boxes.shown.empty());
    EXPECT_EQ(0u, boxes.shown[0].text.rfind("can't GetModuleFileName(NULL,,)\r\n", 0));
}
