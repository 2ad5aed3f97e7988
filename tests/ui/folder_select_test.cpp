// The folder picker behind Browse and the names dropped onto the dialog. The
// picker is the system's own (Wine's shell32), run modally on the test's
// thread while a second thread of the test looks at it and ends it. Drops
// are hand-built HDROPs of real names on a real volume (tmpfs, X:).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <functional>
#include <string>
#include "control_log.h"
#include "dialog_bench.h"
#include "engine/engine_checks.h"
#include "steps/step_runner.h"
#include "test_helpers.h"
#include "tests/support/exhaust_memory.h"
#include "ui/dialog.h"

namespace {

// Control ids of the system's picker.
const int PICKER_TITLE = 0x3742;
const int PICKER_STATUS = 0x3743;
const int PICKER_EDIT = 0x3745;

// The picker as the test's second thread sees it.
struct Picker {
    HWND window = NULL;
    std::string title;            // the title line above the tree
    bool status_shown = false;    // the classic picker's status line
    bool edit_shown = false;      // the new-style picker's name box
    std::string status;
    bool ok_enabled = false;
    std::string current_directory;

    void look()
    {
        title = window_text(window, PICKER_TITLE);
        HWND line = GetDlgItem(window, PICKER_STATUS);
        // the control's own style: the picker itself may not be shown yet
        status_shown = line && (GetWindowLongA(line, GWL_STYLE) & WS_VISIBLE);
        status = window_text(window, PICKER_STATUS);
        HWND edit = GetDlgItem(window, PICKER_EDIT);
        edit_shown = edit && (GetWindowLongA(edit, GWL_STYLE) & WS_VISIBLE);
        ok_enabled = IsWindowEnabled(GetDlgItem(window, IDOK)) != 0;
        char path[MAX_PATH];
        GetCurrentDirectoryA(sizeof path, path);
        current_directory = path;
    }
    void press(int id) { PostMessageA(window, WM_COMMAND, id, 0); }
};

// Waits on a thread of its own for the picker that the dialog owns, lets it
// settle, looks at it and hands it to the test's action, which must end it.
struct PickerDriver {
    PickerDriver(HWND owner, std::function<void(Picker &)> act) : owner(owner), act(act)
    {
        thread = CreateThread(NULL, 0, run, this, 0, NULL);
    }
    ~PickerDriver() { finish(); }
    void finish()
    {
        if (thread) {
            WaitForSingleObject(thread, 30000);
            CloseHandle(thread);
            thread = NULL;
        }
    }
    static DWORD WINAPI run(void *param)
    {
        PickerDriver *self = (PickerDriver *)param;
        for (int i = 0; i < 1000; ++i) {
            HWND w = NULL;
            while ((w = FindWindowExA(NULL, w, "#32770", NULL)))
                if (w != self->owner && GetWindow(w, GW_OWNER) == self->owner &&
                    GetDlgItem(w, PICKER_TITLE))
                    break;
            if (w) {
                self->seen = true;
                self->picker.window = w;
                // answered once the picker's own loop runs: its set-up and the
                // initial selection are done by then
                DWORD_PTR ignored;
                SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored);
                self->picker.look();
                self->act(self->picker);
                return 0;
            }
            Sleep(10);
        }
        return 1;
    }
    HWND owner;
    std::function<void(Picker &)> act;
    Picker picker;
    bool seen = false;
    HANDLE thread;
};

std::string current_directory_now()
{
    char path[MAX_PATH];
    GetCurrentDirectoryA(sizeof path, path);
    return path;
}

LPITEMIDLIST my_computer()
{
    LPITEMIDLIST item = NULL;
    SHGetSpecialFolderLocation(NULL, CSIDL_DRIVES, &item);
    return item;
}

} // namespace

class FolderPicker : public DialogBench {
protected:
    std::string saved_directory;
    void SetUp() override
    {
        DialogBench::SetUp();
        saved_directory = current_directory_now();
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(saved_directory.c_str());
        DialogBench::TearDown();
    }
    void open_with_style(const char *value)
    {
        std::string settings = "[mode]\r\nmaxnumber=0\r\n0=zeros\r\n";
        if (value)
            settings += std::string("[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=") + value + "\r\n";
        use_new_browse_dialog = 2;
        open_dialog(settings.c_str());
    }
};

TEST_F(FolderPicker, ExactlyOneGivesTheNewStylePickerAnythingElseTheClassicOne)
{
    struct Case {
        const char *value;   // null: no such key
        bool new_style;
    } cases[] = {{"1", true},    {"0", false},   {"01", false}, {"1.0", false},
                 {"1 x", false}, {"yes", false}, {"", false},   {nullptr, false}};
    // (blanks around a value are the profile reader's to strip: " 1" reads "1")
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value ? std::string("value \"") + c.value + "\"" : "no key");
        if (dialog)
            DestroyWindow(dialog);
        pump.drain();
        open_with_style(c.value);
        bool expect_new = c.new_style;
        SetDlgItemTextA(dialog, IDC_FOLDER, "C:\\windows");
        PickerDriver driver(dialog, [](Picker &p) { p.press(IDCANCEL); });
        press(IDC_BROWSE);
        driver.finish();
        ASSERT_TRUE(driver.seen);
        EXPECT_EQ(expect_new, driver.picker.edit_shown);
        EXPECT_EQ(!expect_new, driver.picker.status_shown);
        EXPECT_EQ(expect_new ? 1 : 0, use_new_browse_dialog);
        EXPECT_EQ("フォルダ", driver.picker.title);
        EXPECT_EQ("C:\\windows", text_of(IDC_FOLDER)) << "a cancelled picker changes nothing";
    }
}

TEST_F(FolderPicker, TheStyleIsReadOncePerProcess)
{
    open_with_style("1");
    {
        PickerDriver driver(dialog, [](Picker &p) { p.press(IDCANCEL); });
        EXPECT_EQ(nullptr, browse_for_folder(dialog, "C:\\", "t"));
        EXPECT_TRUE(driver.picker.edit_shown);
    }
    EXPECT_EQ(1, com_initialized) << "the new-style picker needs COM";
    ASSERT_TRUE(write_file(settings_path(), "[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=0\r\n"));
    {
        PickerDriver driver(dialog, [](Picker &p) { p.press(IDCANCEL); });
        browse_for_folder(dialog, "C:\\", "t");
        EXPECT_TRUE(driver.picker.edit_shown) << "a change of the file showed before a restart";
    }
}

TEST_F(FolderPicker, OpensAtAnExistingFolderTextAndReturnsThePickedPath)
{
    open_with_style("0");
    SetDlgItemTextA(dialog, IDC_FOLDER, "C:\\windows\\system32");
    PickerDriver driver(dialog, [](Picker &p) { p.press(IDOK); });
    press(IDC_BROWSE);
    driver.finish();

    EXPECT_EQ("C:\\windows\\system32", driver.picker.status) << "the initial selection";
    EXPECT_TRUE(driver.picker.ok_enabled);
    EXPECT_EQ("C:\\windows\\system32", text_of(IDC_FOLDER));
    EXPECT_STREQ("C:\\windows\\system32", picked_path);
}

TEST_F(FolderPicker, AFolderTextThatNamesNothingOpensAtTheCurrentDirectory)
{
    open_with_style("0");
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows"));
    for (const char *text : {"C:\\no such folder", ""}) {
        SetDlgItemTextA(dialog, IDC_FOLDER, text);
        PickerDriver driver(dialog, [](Picker &p) { p.press(IDCANCEL); });
        press(IDC_BROWSE);
        driver.finish();
        EXPECT_EQ("C:\\windows", driver.picker.status) << "\"" << text << "\"";
        EXPECT_EQ(text, text_of(IDC_FOLDER));
    }
}

TEST_F(FolderPicker, TheCurrentDirectoryIsTheSameAfterThePickerAsBefore)
{
    open_with_style("0");
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows"));
    for (int answer : {IDOK, IDCANCEL}) {
        PickerDriver driver(dialog, [answer](Picker &p) {
            // whatever moves the directory while the picker is open
            SetCurrentDirectoryA("C:\\users");
            p.press(answer);
        });
        browse_for_folder(dialog, "C:\\", "t");
        driver.finish();
        EXPECT_EQ("C:\\windows", current_directory_now()) << answer;
    }
}

TEST_F(FolderPicker, OkIsEnabledExactlyWhileTheSelectionIsInTheFileSystem)
{
    open_with_style("0");
    bool ok_on_computer = true, ok_on_folder = false, ok_after_validate = true;
    std::string status_on_computer = "(unseen)", status_on_folder;
    int validate_result = 0, other_result = -1;
    PickerDriver driver(dialog, [&](Picker &p) {
        LPITEMIDLIST computer = my_computer();
        // through the picker: it tells the callback of the new selection
        SendMessageA(p.window, BFFM_SETSELECTIONA, FALSE, (LPARAM)computer);
        Sleep(100);
        p.look();
        ok_on_computer = p.ok_enabled;
        status_on_computer = p.status;
        SendMessageA(p.window, BFFM_SETSELECTIONA, TRUE, (LPARAM) "C:\\users");
        Sleep(100);
        p.look();
        ok_on_folder = p.ok_enabled;
        status_on_folder = p.status;
        // a typed name the picker can't validate
        validate_result = browse_callback(p.window, BFFM_VALIDATEFAILEDA, (LPARAM) "nowhere", 0);
        p.look();
        ok_after_validate = p.ok_enabled;
        other_result = browse_callback(p.window, WM_USER + 77, 0, 0);
        CoTaskMemFree(computer);
        p.press(IDCANCEL);
    });
    browse_for_folder(dialog, "C:\\", "t");
    driver.finish();

    EXPECT_FALSE(ok_on_computer);
    EXPECT_EQ("", status_on_computer);
    EXPECT_TRUE(ok_on_folder);
    EXPECT_EQ("C:\\users", status_on_folder);
    EXPECT_EQ(1, validate_result) << "the picker must stay open";
    EXPECT_FALSE(ok_after_validate);
    EXPECT_EQ(0, other_result);
}

TEST_F(FolderPicker, AnItemOutsideTheFileSystemIsABadFolder)
{
    BoxHook boxes;
    open_with_style("0");
    SetDlgItemTextA(dialog, IDC_FOLDER, "C:\\windows");
    PickerDriver driver(dialog, [](Picker &p) {
        LPITEMIDLIST computer = my_computer();
        SendMessageA(p.window, BFFM_SETSELECTIONA, FALSE, (LPARAM)computer);
        CoTaskMemFree(computer);
        // past the greyed button, as a keyboard shortcut could
        p.press(IDOK);
    });
    press(IDC_BROWSE);
    driver.finish();

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ("bad folder - not a part of the file system.", boxes.shown[0].text);
    EXPECT_EQ("vanta", boxes.shown[0].caption);
    EXPECT_EQ((UINT)MB_ICONWARNING, boxes.shown[0].style);
    EXPECT_EQ(dialog, boxes.shown[0].owner);
    EXPECT_EQ("C:\\windows", text_of(IDC_FOLDER));
}

TEST_F(FolderPicker, WithoutATitleThePickerSaysSelectFolder)
{
    open_with_style("0");
    PickerDriver driver(dialog, [](Picker &p) { p.press(IDCANCEL); });
    browse_for_folder(dialog, "C:\\", nullptr);
    driver.finish();
    EXPECT_EQ("select folder", driver.picker.title);
}

// ----------------------------------------------------------- drops

class Drop : public DialogBench {
protected:
    std::string root;
    std::string drive;   // "X:"
    std::string saved_directory;

    void SetUp() override
    {
        DialogBench::SetUp();
        root = volume_root("dialog_tmpfs");
        ASSERT_FALSE(root.empty()) << "no volume dialog_tmpfs on this bench";
        drive = root.substr(0, 2);
        clear_volume(root);
        saved_directory = current_directory_now();
        open_dialog();
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(saved_directory.c_str());
        DialogBench::TearDown();
        if (!root.empty())
            clear_volume(root);
    }
    std::string drop(const std::vector<std::string> &names)
    {
        SetDlgItemTextA(dialog, IDC_FOLDER, "(before the drop)");
        EXPECT_EQ(TRUE, dialog_proc(dialog, WM_DROPFILES, (WPARAM)make_drop(names), 0));
        return text_of(IDC_FOLDER);
    }
    void make_folder(const std::string &path) { ASSERT_TRUE(CreateDirectoryA(path.c_str(), NULL)) << path; }
};

TEST_F(Drop, EveryNamePassesThroughTheFolderBoxAndTheLastStays)
{
    make_folder(root + "One");
    make_folder(root + "Two");
    make_folder(root + "Three");
    ControlLog folder_box(dialog, IDC_FOLDER);
    EXPECT_EQ(root + "Three", drop({root + "one", root + "TWO", root + "three"}));
    EXPECT_EQ((std::vector<std::string>{"(before the drop)", root + "One", root + "Two",
                                        root + "Three"}),
              folder_box.texts);
}

TEST_F(Drop, RootsComeBackUnchanged)
{
    std::string lower = drive;
    lower[0] = (char)tolower(lower[0]);
    EXPECT_EQ(drive + "\\", drop({drive + "\\"}));
    EXPECT_EQ(lower + "\\", drop({lower + "\\"})) << "a root keeps its letter case";
    EXPECT_EQ("\\\\", drop({"\\\\"}));
}

TEST_F(Drop, NamesComeBackSpelledAsStoredLongNameAndCase)
{
    make_folder(root + "Long Folder Name");
    ASSERT_TRUE(write_file(root + "Long Folder Name\\Mixed Case File.txt", "x"));
    char short_path[MAX_PATH];
    ASSERT_NE(0u, GetShortPathNameA((root + "Long Folder Name\\Mixed Case File.txt").c_str(),
                                    short_path, sizeof short_path));
    ASSERT_EQ(std::string::npos, std::string(short_path).find("Long")) << short_path;

    EXPECT_EQ(root + "Long Folder Name\\Mixed Case File.txt", drop({short_path}))
        << "dropped as " << short_path;
    EXPECT_EQ(root + "Long Folder Name\\Mixed Case File.txt",
              drop({root + "LONG FOLDER NAME\\mixed case file.TXT"}))
        << "a file goes into the folder box like a folder";
}

TEST_F(Drop, JapaneseNamesKeepEveryCharacterAndTheirSeparators)
{
    // 表 ends in the byte 0x5C, which is no separator inside the character
    make_folder(root + "写真");
    make_folder(root + "写真\\表");
    make_folder(root + "写真\\表\\Data");
    ASSERT_EQ('\\', std::string("表")[1]);
    EXPECT_EQ(root + "写真\\表\\Data", drop({root + "写真\\表\\DATA"}));
    EXPECT_EQ(root + "写真\\表", drop({root + "写真\\表"}));
}

TEST_F(Drop, NamesThatDoNotExistComeBackAsFullPaths)
{
    make_folder(root + "Here");
    ASSERT_TRUE(SetCurrentDirectoryA((root + "Here").c_str()));
    EXPECT_EQ(root + "HERE\\not there\\deeper", drop({root + "HERE\\not there\\deeper"}))
        << "a name that is not there is left as given, its existing part too";
    EXPECT_EQ(root + "Here\\relative", drop({"relative"}));
    EXPECT_EQ(root + "Here", drop({"..\\here\\."}));
}

TEST_F(Drop, AnEmptyOrAbsentNameResolvesToTheEmptyText)
{
    for (const char *name : {"", (const char *)nullptr}) {
        char *resolved = resolve_path(name);
        ASSERT_TRUE(resolved != nullptr);
        EXPECT_STREQ("", resolved);
        free(resolved);
    }
}

namespace {

int drop_without_memory()
{
    instance = GetModuleHandleA(NULL);
    load_texts(instance);
    HWND dialog = CreateDialogParamA(instance, "IDD_DIALOG", NULL, dialog_proc, 0);
    if (!dialog)
        return 10;
    SetDlgItemTextA(dialog, IDC_FOLDER, "kept");
    // nothing is painted once memory is gone: the drawing code is not loaded yet
    ShowWindow(dialog, SW_HIDE);
    HDROP dropped = make_drop({"C:\\windows\\system32"});
    exhaust_memory();
    SendMessageA(dialog, WM_DROPFILES, (WPARAM)dropped, 0);
    char text[64] = "(unread)";
    GetDlgItemTextA(dialog, IDC_FOLDER, text, sizeof text);
    return text[0] == 0 ? 0 : 11;
}
TestChild drop_without_memory_child("drop_without_memory", drop_without_memory);

} // namespace

TEST_F(Drop, WithoutMemoryTheFolderBoxIsEmptied)
{
    EXPECT_EQ(0u, run_child_process("drop_without_memory"));
}
