// The real main dialog, made in the test's thread, which runs the message loop
// (with the dialog's keys) whenever a test waits, beside a user's files on a
// real volume (tmpfs, X:) that must never change. The test answers every box.
#ifndef VANTA_TESTS_UI_DIALOG_BENCH_H
#define VANTA_TESTS_UI_DIALOG_BENCH_H

#include <gtest/gtest.h>
#include "control_log.h"
#include "engine/engine_checks.h"
#include "steps/step_runner.h"
#include "support/messages.h"
#include "test_helpers.h"
#include "ui/dialog.h"
#include "engine/wipe_engine.h"
#include <commctrl.h>
#include <algorithm>

using Strings = std::vector<std::string>;

// Named as vanta names its settings file ("ini") and its scripts ("0.run").
inline std::string beside_exe(const std::string &tail)
{
    return own_path().substr(0, own_path().size() - (tail == "ini" ? 3 : 4)) + tail;
}

// Starts another Windows program that holds path open for ms: as a reader
// that lets others write but not delete, or with mode "spreadsheet" as a
// spreadsheet holds its workbook (others may only read). Returns once it has
// the file (its process, or null).
inline HANDLE hold_open(const std::string &path, DWORD ms, const std::string &mode = "")
{
    std::string exe = std::string("Z:") + (getenv("VANTA_HOLD_FILE") ? getenv("VANTA_HOLD_FILE") : "");
    std::replace(exe.begin(), exe.end(), '/', '\\');
    std::string command = "\"" + exe + "\" \"" + path + "\" " + std::to_string(ms) + " vanta_hold_ready " + mode;
    // a holder still running keeps the event, set: this one waits for its own
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, "vanta_hold_ready");
    ResetEvent(ready);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        CloseHandle(process.hThread), WaitForSingleObject(ready, 10000);
    CloseHandle(ready);
    return process.hProcess;
}

class DialogBench : public ::testing::Test {
protected:
    static inline DialogBench *bench;
    std::string root = volume_root("dialog_tmpfs"), work = root + "$VANTA$$";
    std::map<std::string, std::string> user_files;
    HWND dialog = NULL;
    std::vector<BoxRecord> boxes;   // never two at once: a worker's box waits for its answer
    volatile LONG box_count = 0;
    std::function<int(const BoxRecord &)> answer;   // IDOK when unset
    bool quit_seen = false;                         // a quit with code 0
    int quit_code = -1;                             // the last quit's code

    static int WINAPI box(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
    {
        bench->boxes.push_back(BoxRecord{owner, text, caption, style}), InterlockedIncrement(&bench->box_count);
        return bench->answer ? bench->answer(BoxRecord{owner, text, caption, style}) : IDOK;
    }
    void SetUp() override
    {
        bench = this, message_box_proc = box;
        InitCommonControls();   // as the program does before its dialog
        load_texts(instance = GetModuleHandleA(NULL));
        ASSERT_FALSE(root.empty()) << "no volume dialog_tmpfs on this bench";
        clear_volume(root), plant_user_files(root), user_files = digest_tree(root), open_dialog();
    }
    void TearDown() override
    {
        abort_flag = 1;   // a worker left by a failed test must not outlive it
        until([] { return !wipe_job.thread || !WaitForSingleObject(wipe_job.thread, 0); });
        CloseHandle(wipe_job.thread), ZeroMemory((void *)&wipe_job, sizeof wipe_job);
        abort_flag = work_folder_created = work_folder_path[0] = 0;
        stop_wait_ms = STOP_WAIT_MS;
        unattended = 0, end_process = ExitProcess, delete_retry_ms = DELETE_RETRY_MS, report_retry_ms = REPORT_RETRY_MS;
        memset(&command_line, 0, sizeof command_line), command_line.method = -1;
        DestroyWindow(dialog), until([] { return true; });
        message_box_proc = MessageBoxA;
        if (root.empty())
            return;
        EXPECT_EQ(user_files, digest_tree(root)) << "a file outside the work folder changed";
        clear_volume(root);
    }
    void open_dialog(const char *settings = "[mode]\r\nmaxnumber=1\r\n0=zeros\r\n1=one\r\n")
    {
        DestroyWindow(dialog), until([] { return true; });   // its quit too
        DeleteFileA(beside_exe("ini").c_str());
        ASSERT_TRUE(!settings || write_file(beside_exe("ini"), settings));
        ASSERT_TRUE((dialog = create_main_dialog()));   // in the program's language
    }
    bool until(const std::function<bool()> &done, DWORD limit_ms = 60000)
    {
        for (DWORD start = GetTickCount();; MsgWaitForMultipleObjects(0, 0, 0, 10, QS_ALLINPUT)) {
            for (MSG m; PeekMessageA(&m, NULL, 0, 0, PM_REMOVE); )
                if (m.message == WM_QUIT)
                    quit_seen = m.wParam == 0, quit_code = (int)m.wParam;
                else if (!IsDialogMessageA(dialog, &m))
                    DispatchMessageA(&m);
            if (done() || GetTickCount() - start >= limit_ms)
                return done();
        }
    }
    void start_in(const std::string &folder, const char *script = nullptr, int method = 0)
    {
        std::string path = beside_exe(std::to_string(method) + ".run");
        DeleteFileA(path.c_str());
        ASSERT_TRUE(!script || write_file(path, script));
        SendDlgItemMessageA(dialog, IDC_METHOD, CB_SETCURSEL, method, 0);
        SetDlgItemTextA(dialog, IDC_FOLDER, folder.c_str());
        press(IDC_START);
    }
    bool collected() { return until([] { return wipe_job.thread_id == 0; }); }
    std::string text_of(int id) { return window_text(dialog, id); }
    void press(int id) { SendMessageA(dialog, WM_COMMAND, id, (LPARAM)GetDlgItem(dialog, id)); }
    // A row's volume before the row: the user's files (planted on a volume
    // other than the bench's own), its work folder and its free space.
    struct RowVolume { std::string work; std::map<std::string, std::string> files; unsigned long long free; };
    RowVolume row_volume(const std::string &volume)
    {
        if (volume != root)
            plant_user_files(volume);
        return RowVolume{volume + "$VANTA$$", digest_tree(volume), free_bytes_of(volume)};
    }
    std::string controls()   // list, folder, Browse, Start, Abort, Close: 1 enabled, 0 grey
    {
        std::string on;
        for (int id : {IDC_METHOD, IDC_FOLDER, IDC_BROWSE, IDC_START, IDABORT, IDCANCEL})
            on += "01"[IsWindowEnabled(GetDlgItem(dialog, id)) != 0];
        return on;
    }
};

#endif
