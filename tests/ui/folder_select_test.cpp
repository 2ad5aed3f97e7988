// The system's folder picker behind Browse, driven from its own loop, and dropped names.
#include "dialog_bench.h"

static std::function<void(HWND)> at_picker;
static std::string seen;   // the picker's title, then per look its status line (or "new") and OK

static void CALLBACK find_picker(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND picker = NULL;
    while ((picker = FindWindowExA(NULL, picker, "#32770", NULL)) && !GetDlgItem(picker, 0x3742)) {}
    if (picker && KillTimer(NULL, timer))
        seen = window_text(picker, 0x3742) + ":", at_picker(picker);
}

static void look(HWND picker)
{
    bool new_style = GetWindowLongA(GetDlgItem(picker, 0x3745), GWL_STYLE) & WS_VISIBLE;
    seen += (new_style ? "new" : window_text(picker, 0x3743)) +
            (IsWindowEnabled(GetDlgItem(picker, IDOK)) ? "+|" : "-|");
}

TEST_F(DialogBench, ThePickerComesFromTheSettingsAndOnlyAFolderIsTaken)
{
    LPITEMIDLIST computer = NULL;   // no part of the file system
    SHGetSpecialFolderLocation(NULL, CSIDL_DRIVES, &computer);
    auto windows = [](HWND p) { SendMessageA(p, BFFM_SETSELECTIONA, TRUE, (LPARAM)"C:\\windows"); };
    // a folder whose name code page 932 can't hold: refused, the folder box as it was
    const std::wstring yen = L"C:\\users\\a\x00A5" L"b";
    ASSERT_TRUE(CreateDirectoryW(yen.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS);
    char yen_box[STATUS_TEXT_SIZE];
    snprintf(yen_box, sizeof yen_box, program_text(IDS_NAME_NOT_SHOWN), "C:\\users\\a?b");
    const struct { std::string style; int answer; std::function<void(HWND)> act;
                   std::string seen, folder, box; } cases[] = {
        {"1", IDCANCEL, windows, "new+|", "C:\\users", ""},
        {"1", IDOK, [&](HWND p) { SendMessageW(p, BFFM_SETSELECTIONW, TRUE, (LPARAM)yen.c_str()); }, "new+|", "C:\\users", yen_box},
        {"01", IDOK, windows, "C:\\users+|", "C:\\windows", ""},
        {"", IDOK, [&](HWND p) {   // then OK past the grey button, as a key could
             SendMessageA(p, BFFM_SETSELECTIONA, FALSE, (LPARAM)computer), look(p), windows(p);
             // a typed name that the new-style picker can't validate keeps it open
             seen += std::to_string(browse_callback(p, BFFM_VALIDATEFAILEDA, 0, 0));
             look(p), SendMessageA(p, BFFM_SETSELECTIONA, FALSE, (LPARAM)computer);
         },
        "C:\\users+|-|1C:\\windows-|", "C:\\users", "bad folder - not a part of the file system."}};
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\windows"));
    for (const auto &c : cases) {
        open_dialog(("[SHBrowseForFolder]\r\nBIF_NEWDIALOGSTYLE=" + c.style).c_str());
        SetDlgItemTextA(dialog, IDC_FOLDER, "C:\\users"), boxes.clear(), use_new_browse_dialog = 2;
        at_picker = [&](HWND p) {
            SetCurrentDirectoryA("C:\\");   // whatever the picker does to it meanwhile
            look(p), c.act(p), PostMessageA(p, WM_COMMAND, c.answer, 0);
        };
        SetTimer(NULL, 0, 20, find_picker), press(IDC_BROWSE);
        EXPECT_EQ("フォルダ:" + c.seen, seen);
        EXPECT_EQ(c.folder, text_of(IDC_FOLDER));
        EXPECT_EQ(c.box, boxes.empty() ? "" : boxes[0].text);
        EXPECT_EQ("C:\\windows", current_directory());
    }
    RemoveDirectoryW(yen.c_str());
    CoTaskMemFree(computer);
}

TEST_F(DialogBench, DroppedNamesComeBackSpelledAsStoredAndTheLastStays)
{
    // 表 ends in the byte 0x5C, which is no separator inside the character
    for (const char *folder : {"One", "Two", "写真", "写真\\表", "写真\\表\\Data"})
        ASSERT_TRUE(CreateDirectoryA((root + folder).c_str(), NULL)) << folder;
    ASSERT_TRUE(write_file(root + "写真\\Mixed Case.txt", "a file goes in like a folder"));
    // a run of method 1 was killed in "Killed": its work folder keeps its sealed journal
    ASSERT_TRUE(CreateDirectoryA((root + "Killed").c_str(), NULL));
    snprintf(work_folder_path, sizeof work_folder_path, "%s", (root + "Killed\\$VANTA$$").c_str());
    int made = 0;
    ASSERT_EQ(0u, hold_work_folder(&made));
    ASSERT_EQ(0u, begin_journal_key(0));
    RunJournal journal = {};
    journal.folder = work_folder_identity, journal.method = 1, journal.step = 1, journal.steps = 1, journal.created = 1;
    ASSERT_EQ(0u, write_journal(&journal));
    close_journal(), release_work_folder(), forget_run_files(), work_folder_path[0] = 0;
    user_files = digest_tree(root);
    // names each ended by "|"; the method the list shows after the drop: the
    // killed run's for its folder, as it was for any other
    const struct { std::string names, folder; int method; } drops[] = {
        {root + "ONE|" + root + "two|", root + "Two", 0},
        {root + "写真\\表\\DATA|", root + "写真\\表\\Data", 0},
        {root + "写真\\表\\.\\..\\mixed CASE.TXT|", root + "写真\\Mixed Case.txt", 0},
        {root + "ONE\\not there|", root + "ONE\\not there", 0}, {root + "|", root, 0}, {"q:\\|", "q:\\", 0},
        {root + "killed|", root + "Killed", 1}, {root + "ONE|", root + "One", 1}};
    for (const auto &drop : drops) {
        auto *files = (DROPFILES *)GlobalAlloc(GPTR, sizeof(DROPFILES) + drop.names.size() + 1);
        files->pFiles = sizeof(DROPFILES);   // the names follow, each ended by a zero
        std::replace_copy(drop.names.begin(), drop.names.end(), (char *)(files + 1), '|', '\0');
        SendMessageA(dialog, WM_DROPFILES, (WPARAM)files, 0);   // its DragFinish frees it
        EXPECT_EQ(drop.folder, text_of(IDC_FOLDER)) << drop.names;
        EXPECT_EQ(drop.method, SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0)) << drop.names;
    }
    // the journal and its key go
    snprintf(work_folder_path, sizeof work_folder_path, "%s", (root + "Killed\\$VANTA$$").c_str());
    ASSERT_EQ(0u, hold_work_folder(&made));
    ASSERT_EQ(0u, read_journal(&journal));
    delete_journal(), release_work_folder(), forget_run_files(), work_folder_path[0] = 0;
    remove_tree(root + "Killed"), user_files = digest_tree(root);
    // as Explorer drops them, in UTF-16: a name code page 932 can't hold is
    // refused with a box (best fit would make the yen sign a backslash)
    const std::wstring wide_root(root.begin(), root.end());
    const struct { std::wstring names; std::string folder, box; } wide_drops[] = {
        {wide_root + L"ONE|" + wide_root + L"\x5199\x771F|", root + "写真", ""},
        {wide_root + L"Two|" + wide_root + L"a\x00A5" L"b|", root + "Two", root + "a?b"},
    };
    for (const auto &drop : wide_drops) {
        SCOPED_TRACE(drop.folder);
        boxes.clear();
        auto *files = (DROPFILES *)GlobalAlloc(GPTR, sizeof(DROPFILES) + (drop.names.size() + 1) * sizeof(WCHAR));
        files->pFiles = sizeof(DROPFILES), files->fWide = TRUE;
        std::replace_copy(drop.names.begin(), drop.names.end(), (WCHAR *)(files + 1), L'|', L'\0');
        SendMessageA(dialog, WM_DROPFILES, (WPARAM)files, 0);
        EXPECT_EQ(drop.folder, text_of(IDC_FOLDER));
        char box[STATUS_TEXT_SIZE] = "";
        if (!drop.box.empty())
            snprintf(box, sizeof box, program_text(IDS_NAME_NOT_SHOWN), drop.box.c_str());
        EXPECT_EQ(std::string(box), boxes.empty() ? "" : boxes[0].text);
    }
}
