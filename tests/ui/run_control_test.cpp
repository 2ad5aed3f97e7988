// Start, Abort, the end of a run and closing during one, driven through the
// real dialog on a real volume (tmpfs, X:). The worker is the real one and
// runs real step scripts beside this test program; the work folder goes into
// the volume's root beside the user's files, which must never change.
#include <gtest/gtest.h>
#include <errno.h>
#include <process.h>
#include <string.h>
#include <algorithm>
#include <map>
#include <string>
#include "control_log.h"
#include "dialog_bench.h"
#include "engine/engine_checks.h"
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "test_helpers.h"
#include "ui/dialog.h"
#include "ui/work_folder.h"

namespace {

const char TIME_OUT[] = "Thread did not stop in 15 seconds.";

bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Polls a condition from a thread that must not touch the window thread.
bool wait_for(const std::function<bool()> &done, DWORD limit_ms = 20000)
{
    for (DWORD waited = 0; waited < limit_ms; waited += 10) {
        if (done())
            return true;
        Sleep(10);
    }
    return done();
}

} // namespace

class RunControl : public DialogBench {
protected:
    std::string root;
    std::string work;
    std::map<std::string, std::string> user_before;

    void SetUp() override
    {
        DialogBench::SetUp();
        root = volume_root("dialog_tmpfs");
        ASSERT_FALSE(root.empty()) << "no volume dialog_tmpfs on this bench";
        clear_volume(root);
        plant_user_files(root);
        user_before = digest_tree(root);
        work = root + "$VANTA$$";
        open_dialog();
    }
    void TearDown() override
    {
        DialogBench::TearDown();
        if (!root.empty()) {
            EXPECT_EQ(user_before, digest_tree(root)) << "a file outside the work folder changed";
            clear_volume(root);
        }
    }
    void start_in(const std::string &folder)
    {
        SetDlgItemTextA(dialog, IDC_FOLDER, folder.c_str());
        press(IDC_START);
    }
    // Runs the loop until the run has been collected by on_run_done.
    bool run_to_end()
    {
        return pump.until([] { return wipe_job.thread_id == 0; }, 60000);
    }
    void expect_idle_controls()
    {
        for (int id : {IDC_METHOD, IDC_FOLDER, IDC_BROWSE, IDC_START, IDCANCEL})
            EXPECT_TRUE(enabled(id)) << id;
        EXPECT_FALSE(enabled(IDABORT));
    }
    void expect_running_controls()
    {
        for (int id : {IDC_METHOD, IDC_FOLDER, IDC_BROWSE, IDC_START})
            EXPECT_FALSE(enabled(id)) << id;
        EXPECT_TRUE(enabled(IDCANCEL)) << "a run does not grey Close";
    }
};

// ----------------------------------------------------------- before a run

TEST_F(RunControl, StartWithAnEmptyFolderBoxSays407AndChangesNothingElse)
{
    BoxHook boxes;
    abort_flag = 1;   // as an aborted run leaves it
    strcpy(work_folder_path, "X:\\earlier\\$VANTA$$");

    start_in("");
    pump.drain();

    EXPECT_EQ(NO_FOLDER, text_of(IDC_STATUS));
    EXPECT_EQ(1, abort_flag);
    EXPECT_STREQ("X:\\earlier\\$VANTA$$", work_folder_path);
    EXPECT_EQ(0u, wipe_job.thread_id);
    expect_idle_controls();
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(RunControl, StartWithA250ByteFolderWarnsSays408AndStartsNothing)
{
    BoxHook boxes;
    abort_flag = 1;
    std::string folder = root + std::string(250 - root.size(), 'f');

    start_in(folder);
    pump.drain();

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(folder + ": " + system_text(ERROR_BUFFER_OVERFLOW), boxes.shown[0].text);
    EXPECT_EQ((UINT)MB_ICONWARNING, boxes.shown[0].style);
    EXPECT_EQ(dialog, boxes.shown[0].owner);
    EXPECT_EQ(CANNOT_CREATE, text_of(IDC_STATUS));
    EXPECT_EQ(1, abort_flag);
    EXPECT_EQ(0u, wipe_job.thread_id);
    expect_idle_controls();
    EXPECT_FALSE(exists(work));
}

// ----------------------------------------------------------- a whole run

TEST_F(RunControl, ARunFillsTheFreeSpaceThenFinishesAndRemovesTheWorkFolder)
{
    BoxHook boxes;
    script(0, "2\r\nerase 0x5a\r\nlook\r\n");
    ControlLog steps(dialog, IDC_STEP);
    HCURSOR before = GetCursor();
    bool looked = false;
    steps.on_text = [&](const std::string &text) {
        if (text != "step 2 of 2: look")
            return;
        // the worker waits in its SetDlgItemTextA: the run's state, as it is
        looked = true;
        expect_running_controls();
        EXPECT_TRUE(enabled(IDABORT));
        EXPECT_EQ(LoadCursorA(NULL, IDC_WAIT), GetCursor());
        EXPECT_NE(0u, wipe_job.thread_id);
        EXPECT_EQ(0, wipe_job.finished);
        WorkFiles files = check_work_files(work, block_of(0x5a).data());
        EXPECT_EQ("", files.problem);
        EXPECT_FALSE(files.names.empty());
        EXPECT_LT(free_bytes_of(root), 512u * 1024) << "the free space was not filled";
    };

    start_in(root);
    EXPECT_EQ("", text_of(IDC_STATUS)) << "Start empties the status box";
    ASSERT_TRUE(run_to_end());

    EXPECT_TRUE(looked);
    EXPECT_EQ(FINISHED, text_of(IDC_STATUS));
    EXPECT_EQ("step 2 of 2: look", text_of(IDC_STEP));
    EXPECT_FALSE(exists(work)) << "the work folder of the run stayed";
    EXPECT_EQ(0, work_folder_created);
    EXPECT_STREQ("", work_folder_path);
    expect_idle_controls();
    EXPECT_EQ(before, GetCursor());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(RunControl, TheSelectedEntryChoosesTheScript)
{
    DestroyWindow(dialog);
    pump.drain();
    open_dialog("[mode]\r\nmaxnumber=1\r\n0=zero\r\n1=one\r\n");
    script(1, "1\r\nmethod one\r\n");
    SendDlgItemMessageA(dialog, IDC_METHOD, CB_SETCURSEL, 1, 0);

    start_in(root);
    ASSERT_TRUE(run_to_end());

    EXPECT_EQ("step 1 of 1: method one", text_of(IDC_STEP));
    EXPECT_EQ(FINISHED, text_of(IDC_STATUS));
}

TEST_F(RunControl, AnAbortedRunKeepsItsWorkFilesAndTheNextStartMeetsTheQuestion)
{
    BoxHook boxes;
    script(0, "2\r\nerase\r\nlook\r\n");
    ControlLog steps(dialog, IDC_STEP);
    std::string status_at_abort;
    bool abort_greyed = false;
    steps.on_text = [&](const std::string &text) {
        if (text != "step 2 of 2: look")
            return;
        press(IDABORT);
        status_at_abort = text_of(IDC_STATUS);
        abort_greyed = !enabled(IDABORT);
    };

    start_in(root);
    ASSERT_TRUE(run_to_end());

    EXPECT_EQ(ABORTING, status_at_abort) << "at once, before the worker has ended";
    EXPECT_TRUE(abort_greyed);
    EXPECT_EQ(ABORTED, text_of(IDC_STATUS));
    expect_idle_controls();
    std::vector<std::string> left = list_folder(work);
    ASSERT_FALSE(left.empty()) << "the work files of the aborted run are gone";
    EXPECT_EQ("00000001", left[0]);
    EXPECT_EQ(1, work_folder_created) << "still ours";

    // the folder is there now: the next Start asks. No ends that run with 3;
    // the folder is still marked ours and holds the files, so its removal
    // fails and says so
    steps.on_text = nullptr;
    boxes.handler = [](const BoxRecord &) { return IDNO; };
    start_in(root);
    ASSERT_TRUE(run_to_end());
    ASSERT_EQ(2u, boxes.shown.size());
    EXPECT_EQ(0u, boxes.shown[0].text.find("処理を続けますか？\r\n" + work + "\r\n"));
    EXPECT_EQ(work + ": " + system_text(ERROR_DIR_NOT_EMPTY), boxes.shown[1].text);
    EXPECT_EQ(CANNOT_DELETE, text_of(IDC_STATUS));
    EXPECT_EQ(left, list_folder(work)) << "No wrote or deleted something";
}

TEST_F(RunControl, AUsersFolderDeclinedKeepsTheRunsErrorText)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    ASSERT_TRUE(write_file(work + "\\00000001", "the user's"));
    user_before = digest_tree(root);
    BoxHook boxes;
    boxes.handler = [](const BoxRecord &) { return IDNO; };
    script(0, "1\r\nerase\r\n");

    start_in(root);
    ASSERT_TRUE(run_to_end());

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(CANNOT_CREATE, text_of(IDC_STATUS)) << "the run's error text, not 416";
    EXPECT_EQ((std::vector<std::string>{"00000001"}), list_folder(work));
    expect_idle_controls();
}

TEST_F(RunControl, ARunEndingWithThreeKeepsItsErrorTextAndRemovesTheEmptyFolder)
{
    BoxHook boxes;   // no script for method 0

    start_in(root);
    ASSERT_TRUE(run_to_end());

    EXPECT_EQ(script_path(0) + ": " + strerror(ENOENT), text_of(IDC_STATUS));
    EXPECT_FALSE(exists(work));
    expect_idle_controls();
}

TEST_F(RunControl, ARunEndingWithTwoFinishesWhenItsFolderCanBeRemoved)
{
    BoxHook boxes;
    script(0, "");   // no first line

    start_in(root);
    ASSERT_TRUE(run_to_end());

    EXPECT_EQ(FINISHED, text_of(IDC_STATUS));
    EXPECT_FALSE(exists(work));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(RunControl, AFolderThatCannotBeRemovedIsReportedWith409AndForgotten)
{
    BoxHook boxes;
    // two steps missing: the work files of the first stay in the folder
    script(0, "3\r\nerase\r\n");

    start_in(root);
    ASSERT_TRUE(run_to_end());

    ASSERT_EQ(1u, boxes.shown.size());
    EXPECT_EQ(work + ": " + system_text(ERROR_DIR_NOT_EMPTY), boxes.shown[0].text);
    EXPECT_EQ((UINT)MB_ICONWARNING, boxes.shown[0].style);
    EXPECT_EQ(CANNOT_DELETE, text_of(IDC_STATUS));
    EXPECT_TRUE(exists(work));
    EXPECT_EQ(0, work_folder_created);
    EXPECT_STREQ("", work_folder_path);
    expect_idle_controls();

    // forgotten: closing does not try again
    press(IDCANCEL);
    pump.drain();
    EXPECT_EQ(1u, boxes.shown.size());
    EXPECT_TRUE(exists(work));
}

TEST_F(RunControl, AWipeDoneWithoutAWorkerReportsTheHandleAndChangesNothingElse)
{
    BoxHook boxes;
    PostMessageA(dialog, WM_WIPE_DONE, 0, 0);
    pump.drain();

    EXPECT_EQ("Internal Error:endthread:CloseHandle(0)=6,threadid=0", text_of(IDC_STATUS));
    expect_idle_controls();
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(RunControl, ADropDuringARunRewritesTheGreyFolderBoxOnly)
{
    BoxHook boxes;
    script(0, "2\r\nerase\r\nlook\r\n");
    ControlLog steps(dialog, IDC_STEP);
    std::string dropped_text;
    steps.on_text = [&](const std::string &text) {
        if (text != "step 2 of 2: look")
            return;
        SendMessageA(dialog, WM_DROPFILES, (WPARAM)make_drop({root + "Docs"}), 0);
        dropped_text = text_of(IDC_FOLDER);
    };
    CreateDirectoryA((root + "Docs").c_str(), NULL);
    user_before = digest_tree(root);

    start_in(root);
    ASSERT_TRUE(run_to_end());

    EXPECT_EQ(root + "Docs", dropped_text);
    EXPECT_EQ(FINISHED, text_of(IDC_STATUS));
    EXPECT_FALSE(exists(work)) << "the run kept the folder it took at Start";
    EXPECT_FALSE(exists(root + "Docs\\$VANTA$$"));
}

// ----------------------------------------------------------- Start during a run

TEST_F(RunControl, AStartThatArrivesDuringARunTouchesNeitherItsFolderNorItsAbort)
{
    // a user's own work folder: the worker asks, and waits for the answer
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    ASSERT_TRUE(write_file(work + "\\00000001", "the user's"));
    user_before = digest_tree(root);
    HANDLE answer = CreateEventA(NULL, TRUE, FALSE, NULL);
    BoxHook boxes;
    boxes.handler = [&](const BoxRecord &) {
        WaitForSingleObject(answer, 30000);
        return IDYES;
    };
    script(0, "1\r\nerase\r\n");
    CreateDirectoryA((root + "Other").c_str(), NULL);
    user_before = digest_tree(root);

    start_in(root);
    ASSERT_TRUE(pump.until([&] { return boxes.count() == 1; }));
    press(IDABORT);
    // the button is grey: this Start comes from elsewhere
    SetDlgItemTextA(dialog, IDC_FOLDER, (root + "Other").c_str());
    EXPECT_EQ(TRUE, dialog_proc(dialog, WM_COMMAND, IDC_START, 0));

    EXPECT_EQ(ALREADY_STARTED, text_of(IDC_STATUS));
    EXPECT_EQ(work, std::string(work_folder_path)) << "the running worker's folder was changed";
    EXPECT_EQ(1, abort_flag) << "the abort request was undone";
    SetEvent(answer);
    ASSERT_TRUE(run_to_end());
    EXPECT_EQ(ABORTED, text_of(IDC_STATUS));
    EXPECT_EQ((std::vector<std::string>{"00000001"}), list_folder(work));
    EXPECT_FALSE(exists(root + "Other\\$VANTA$$"));
    CloseHandle(answer);
}

// ----------------------------------------------------------- closing during a run

TEST_F(RunControl, CloseDuringARunLetsTheWorkersTextThroughAndEndsPromptly)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    user_before = digest_tree(root);
    script(0, "1\r\nerase\r\n");
    ControlLog status(dialog, IDC_STATUS);
    bool greyed_while_waiting = false;
    std::string status_while_waiting;
    BoxHook boxes;
    boxes.handler = [&](const BoxRecord &box) {
        if (box.text == TIME_OUT)
            return IDOK;
        // the worker's question: Close now, and answer only once the window
        // thread waits for us; the No makes the runner put its text into the
        // status box, from this thread, while the window thread waits
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        wait_for([] { return abort_flag == 1; });
        Sleep(200);
        greyed_while_waiting = !IsWindowEnabled(GetDlgItem(dialog, IDCANCEL)) &&
                               !IsWindowEnabled(GetDlgItem(dialog, IDABORT));
        status_while_waiting = window_text(dialog, IDC_STATUS);
        return IDNO;
    };

    DWORD started = GetTickCount();
    start_in(root);
    ASSERT_TRUE(pump.until([&] { return pump.quit_seen; }, 60000));
    DWORD took = GetTickCount() - started;

    EXPECT_LT(took, 10000u) << "Close waited for the time-out instead of the worker";
    EXPECT_FALSE(boxes.saw(TIME_OUT));
    EXPECT_EQ(0u, pump.quit_code);
    EXPECT_TRUE(greyed_while_waiting);
    EXPECT_EQ(ABORTING, status_while_waiting);
    EXPECT_TRUE(status.saw(CANNOT_CREATE)) << "the worker's text did not get through";
    EXPECT_TRUE(enabled(IDCANCEL)) << "Close is enabled again after the wait";
    EXPECT_TRUE(exists(work)) << "the user's folder stays";
}

namespace {

// The fill pass's clock, on the worker thread: every call is two seconds on,
// so that every write shows its progress. At the second call it has the
// program closed and returns only once the window thread waits for the
// worker, whose next progress text then goes to a waiting window thread.
HWND closing_dialog;
int clock_calls;
DWORD WINAPI closing_clock(void)
{
    if (++clock_calls == 2) {
        PostMessageA(closing_dialog, WM_COMMAND, IDCANCEL, 0);
        wait_for([] { return abort_flag == 1; });
        Sleep(200);
    }
    return 10000 + 2000 * (DWORD)clock_calls;
}

} // namespace

TEST_F(RunControl, CloseDuringAFillLetsItsProgressThroughAndEndsPromptly)
{
    BoxHook boxes;
    script(0, "1\r\nerase\r\n");
    ControlLog status(dialog, IDC_STATUS);
    closing_dialog = dialog;
    clock_calls = 0;
    last_shown_tick = 0;
    progress_tick = closing_clock;

    DWORD started = GetTickCount();
    start_in(root);
    bool quit = pump.until([&] { return pump.quit_seen; }, 60000);
    DWORD took = GetTickCount() - started;
    progress_tick = GetTickCount;

    ASSERT_TRUE(quit);
    EXPECT_GE(clock_calls, 2) << "the fill showed no progress";
    EXPECT_LT(took, 10000u) << "Close waited for the time-out instead of the worker";
    EXPECT_FALSE(boxes.saw(TIME_OUT));
    // the progress the worker sent while the window thread waited came through
    auto aborting = std::find(status.texts.begin(), status.texts.end(), ABORTING);
    ASSERT_TRUE(aborting != status.texts.end());
    ASSERT_TRUE(aborting + 1 != status.texts.end());
    EXPECT_NE(std::string::npos, aborting[1].find("KB")) << aborting[1];
    std::vector<std::string> left = list_folder(work);
    EXPECT_FALSE(left.empty()) << "an aborted fill keeps its work files";
}

TEST_F(RunControl, CloseGivesUpOnAWorkerThatDoesNotStopAfter15Seconds)
{
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    user_before = digest_tree(root);
    script(0, "1\r\nerase\r\n");
    HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
    BoxHook boxes;
    boxes.handler = [&](const BoxRecord &box) {
        if (box.text == TIME_OUT) {
            SetEvent(release);
            return IDOK;
        }
        // a worker that takes no notice of the abort for 20 seconds
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        WaitForSingleObject(release, 20000);
        return IDNO;
    };

    start_in(root);
    ASSERT_TRUE(pump.until([&] { return pump.quit_seen; }, 60000));

    ASSERT_EQ(2u, boxes.count());
    EXPECT_EQ(TIME_OUT, boxes.shown[1].text);
    EXPECT_EQ((UINT)MB_ICONERROR, boxes.shown[1].style);
    EXPECT_EQ(dialog, boxes.shown[1].owner);
    EXPECT_EQ("vanta", boxes.shown[1].caption);
    EXPECT_EQ(0u, pump.quit_code);
    EXPECT_TRUE(enabled(IDCANCEL));
    CloseHandle(release);
}

TEST_F(RunControl, ClosingRemovesAFolderOfOursUnlessARunWasAborted)
{
    BoxHook boxes;
    for (LONG aborted : {1, 0}) {
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL) || exists(work));
        strcpy(work_folder_path, work.c_str());
        work_folder_created = 1;
        abort_flag = aborted;

        press(IDCANCEL);
        pump.drain();

        EXPECT_EQ(aborted == 1, exists(work)) << "abort flag " << aborted;
    }
    EXPECT_TRUE(boxes.shown.empty());
}

// ----------------------------------------------------------- no thread

namespace {

// Takes every free block of address space, so that no thread stack fits.
void reserve_address_space()
{
    for (SIZE_T size = (SIZE_T)1 << 30; size >= 0x10000;)
        if (!VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS))
            size /= 2;
}

unsigned __stdcall nothing(void *)
{
    return 0;
}

int thread_creation_fails()
{
    instance = GetModuleHandleA(NULL);
    load_texts(instance);
    HWND dialog = CreateDialogParamA(instance, "IDD_DIALOG", NULL, dialog_proc, 0);
    if (!dialog)
        return 10;
    std::string root = volume_root("dialog_tmpfs");
    SetDlgItemTextA(dialog, IDC_FOLDER, root.c_str());
    // nothing is painted once memory is gone: the drawing code is not loaded yet
    ShowWindow(dialog, SW_HIDE);
    reserve_address_space();
    // what the runtime says when it can't make a thread now
    if (_beginthreadex(NULL, 0, nothing, NULL, 0, NULL) != 0)
        return 11;
    std::string expected = strerror(errno);

    SendMessageA(dialog, WM_COMMAND, IDC_START, 0);

    if (window_text(dialog, IDC_STATUS) != expected)
        return 12;
    if (wipe_job.thread_id != 0 || wipe_job.thread != NULL)
        return 13;
    for (int id : {IDC_METHOD, IDC_FOLDER, IDC_BROWSE, IDC_START})
        if (!IsWindowEnabled(GetDlgItem(dialog, id)))
            return 14;
    if (IsWindowEnabled(GetDlgItem(dialog, IDABORT)))
        return 15;
    if (GetFileAttributesA((root + "$VANTA$$").c_str()) != INVALID_FILE_ATTRIBUTES)
        return 16;
    return 0;
}
TestChild thread_creation_child("thread_creation_fails", thread_creation_fails);

} // namespace

TEST_F(RunControl, AThreadThatCannotBeMadeIsReportedWithTheRuntimesText)
{
    EXPECT_EQ(0u, run_child_process("thread_creation_fails"));
}
