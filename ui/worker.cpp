// The worker thread that carries a run, and the run's control from the
// window thread: Start, Abort, the collection of a finished worker, and the
// abort-and-wait that comes before every way of ending the program.
#include <errno.h>
#include <process.h>
#include <stdio.h>
#include <string.h>
#include "ui/dialog.h"
#include <commctrl.h>
#include "ui/work_folder.h"
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "support/messages.h"

#define THREAD_TIME_OUT_TEXT "Thread did not stop in 15 seconds."

WipeJob wipe_job;
volatile LONG abort_flag;
DWORD stop_wait_ms = STOP_WAIT_MS;
static HCURSOR previous_cursor;
static char end_worker_text[256];
// Close, the close request and the window's destruction each stop the run;
// the worker is waited for once, and its time-out shown once.
static int stop_waited;

static void set_status(HWND dialog, const char *text)
{
    SetDlgItemTextA(dialog, IDC_STATUS, text);
}

static void enable_control(HWND dialog, int id, BOOL enable)
{
    EnableWindow(GetDlgItem(dialog, id), enable);
}

// The inputs a run greys, and Abort, which only a run enables.
static void enable_inputs(HWND dialog, BOOL enable)
{
    enable_control(dialog, IDC_METHOD, enable);
    enable_control(dialog, IDC_FOLDER, enable);
    enable_control(dialog, IDC_BROWSE, enable);
    enable_control(dialog, IDC_START, enable);
    enable_control(dialog, IDABORT, !enable);
}

// Waits at most stop_wait_ms for the worker to end. The worker hands its
// texts and boxes to this thread and waits for them, so the messages it sends
// are let through meanwhile; a plain wait would hold it until the time-out.
// Posted messages stay queued for the message loop.
static DWORD wait_for_worker(void)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= stop_wait_ms)
            return WaitForSingleObject(wipe_job.thread, 0);
        DWORD woken = MsgWaitForMultipleObjectsEx(1, &wipe_job.thread, stop_wait_ms - spent,
                                                  QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (woken != WAIT_OBJECT_0 + 1)
            return woken;
        MSG message;
        PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

static void report_time_out(HWND dialog)
{
    show_message_box(dialog, THREAD_TIME_OUT_TEXT, MB_ICONERROR);
}

// The window's title tells the run's share done, so that a minimised window
// still shows it; without a run it is the program's name again.
static void show_run_position(HWND dialog, int position)
{
    char title[32];
    if (position < 0)
        snprintf(title, sizeof title, "%s", PROGRAM_NAME);
    else
        snprintf(title, sizeof title, "%d%% - %s", position * 100 / RUN_PROGRESS_FULL, PROGRAM_NAME);
    SetWindowTextA(dialog, title);
}

void on_run_progress(HWND dialog, int position)
{
    // a report that outlived its run moves nothing
    if (wipe_job.thread_id == 0 || position < 0 || position > RUN_PROGRESS_FULL)
        return;
    if (position > (int)SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0))
        SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, (WPARAM)position, 0);
    show_run_position(dialog, position);
}

void start_run(HWND dialog)
{
    char folder[MAX_PATH];
    const char *text = "";

    // A Start that reaches us while a worker is tracked (the button is grey,
    // so it came from elsewhere) must not touch the running worker's folder
    // path or its abort flag.
    if (wipe_job.thread_id != 0) {
        set_status(dialog, program_text(IDS_ALREADY_STARTED));
        return;
    }
    folder[0] = 0;
    GetDlgItemTextA(dialog, IDC_FOLDER, folder, sizeof folder);
    if (!folder[0]) {
        set_status(dialog, program_text(IDS_NO_FOLDER));
        end_run_record(dialog, program_text(IDS_NO_FOLDER), EXIT_CODE_FOLDER);
        return;
    }
    int index = (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0);
    begin_run_report(folder, index);
    if (prepare_work_folder_path(dialog, folder, &text) != 0) {
        set_status(dialog, text);
        end_run_record(dialog, text, EXIT_CODE_FOLDER);
        return;
    }
    abort_flag = 0;
    set_status(dialog, "");
    unattended_texts[0] = 0;
    if (start_worker(dialog, index, &text) != 0) {
        set_status(dialog, text);
        end_run_record(dialog, text, EXIT_CODE_FAILED);
        return;
    }
    enable_inputs(dialog, FALSE);
    previous_cursor = SetCursor(LoadCursorA(NULL, IDC_WAIT));
    // the bar and the title follow this run from nothing
    SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, 0, 0);
    show_run_position(dialog, 0);
}

int start_worker(HWND dialog, int method_index, const char **text)
{
    unsigned thread_id = 0;

    wipe_job.thread_id = 0;
    wipe_job.thread = NULL;
    wipe_job.owner = dialog;
    wipe_job.status_id = IDC_STATUS;
    wipe_job.step_id = IDC_STEP;
    wipe_job.method_index = method_index;
    wipe_job.abort_ptr = &abort_flag;
    wipe_job.finished = 0;
    stop_waited = 0;

    uintptr_t thread = _beginthreadex(NULL, 0, worker_main, &wipe_job, 0, &thread_id);
    if (!thread) {
        *text = strerror(errno);
        return 1;
    }
    wipe_job.thread = (HANDLE)thread;
    wipe_job.thread_id = thread_id;
    return 0;
}

unsigned __stdcall worker_main(void *job)
{
    WipeJob *run = (WipeJob *)job;
    int result = run_steps(run->owner, run->status_id, run->step_id, run->method_index,
                           run->abort_ptr);
    run->finished = 1;
    PostMessageA(run->owner, WM_WIPE_DONE, 0, 0);
    return (unsigned)result;
}

int end_worker(HWND dialog, const char **text)
{
    (void)dialog;
    int result = 0;
    if (!CloseHandle(wipe_job.thread)) {
        DWORD code = GetLastError();
        snprintf(end_worker_text, sizeof end_worker_text,
                 "Internal Error:endthread:CloseHandle(%d)=%d,threadid=%d",
                 (int)(INT_PTR)wipe_job.thread, (int)code, (int)wipe_job.thread_id);
        *text = end_worker_text;
        result = 1;
    }
    wipe_job.thread_id = 0;
    wipe_job.thread = NULL;
    wipe_job.finished = 0;
    return result;
}

// "Aborted", and under it what had gone wrong before the stop.
static void stopped_text(char *text, size_t size)
{
    snprintf(text, size, "%s%s%s", program_text(IDS_ABORTED), run_failure_count() ? "\r\n" : "",
             run_failure_count() ? run_failure_text() : "");
}

// The end of a run whose worker has ended: its handle released, its work
// folder removed when this run created it (the worker has deleted the work
// files, whatever the ending), the outcome in the status box, the inputs back.
static void collect_run(HWND dialog, DWORD exit_code)
{
    const char *text = "";
    char ending[STATUS_TEXT_SIZE];

    KillTimer(dialog, COLLECT_TIMER_ID);
    if (end_worker(dialog, &text) != 0) {
        // the controls stay as during the run: something is badly wrong
        set_status(dialog, text);
        return;
    }
    show_run_position(dialog, -1);
    if (exit_code == RUN_DONE) {
        // what the run did, under the word that it is done; an Abort that
        // came after the last step had done its work changes nothing of it
        snprintf(ending, sizeof ending, "%s\r\n%s", program_text(IDS_FINISHED), run_summary_text());
        SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, RUN_PROGRESS_FULL, 0);
    } else if (abort_flag == 1 || exit_code == RUN_STOPPED) {
        stopped_text(ending, sizeof ending);
    } else {
        // any other ending left its own text: the error, the differing file, the reason
        ending[0] = 0;
        GetDlgItemTextA(dialog, IDC_STATUS, ending, sizeof ending);
    }
    int code = exit_code == RUN_DONE ? EXIT_CODE_DONE
               : abort_flag == 1 || exit_code == RUN_STOPPED ? EXIT_CODE_STOPPED : run_exit_code;
    // a folder that stays says so under the reason: the files left in it
    if (remove_work_folder(dialog, &text) != 0) {
        size_t length = strlen(ending);
        snprintf(ending + length, sizeof ending - length, "%s%s", length ? "\r\n" : "", text);
        if (code == EXIT_CODE_DONE)
            code = EXIT_CODE_FAILED;
    }
    set_status(dialog, ending);
    SetCursor(previous_cursor);
    enable_inputs(dialog, TRUE);
    SetFocus(dialog);
    end_run_record(dialog, ending, code);
}

// The report of the run, when one is asked for. Where the record went
// instead of the report, or why it went nowhere, is said in the status box
// under the ending; a record written nowhere makes a success a failure: the
// auditor's record is missing.
static int write_record(HWND dialog, const char *ending, int exit_code)
{
    char note[STATUS_TEXT_SIZE], status[STATUS_TEXT_SIZE];
    DWORD failed = write_run_report(ending, exit_code, note);
    if (note[0]) {
        // the note is shown whole: the ending gives way
        int room = (int)(sizeof status - strlen(note) - 3);
        snprintf(status, sizeof status, "%.*s\r\n%s", room > 0 ? room : 0, ending, note);
        set_status(dialog, status);
    }
    return failed && exit_code == EXIT_CODE_DONE ? EXIT_CODE_FAILED : exit_code;
}

int end_run_record(HWND dialog, const char *ending, int exit_code)
{
    exit_code = write_record(dialog, ending, exit_code);
    if (command_line.exit_when_done)
        PostQuitMessage(exit_code);
    return exit_code;
}

// The record of a run stopped by Close or the session's end; the code the
// program ends with.
static int record_stopped_run(HWND dialog)
{
    char ending[STATUS_TEXT_SIZE];
    stopped_text(ending, sizeof ending);
    int code = write_record(dialog, ending, EXIT_CODE_STOPPED);
    return command_line.exit_when_done ? code : 0;
}

int stop_run_and_record(HWND dialog)
{
    int running = wipe_job.thread_id != 0;
    stop_run(dialog);
    return running ? record_stopped_run(dialog) : 0;
}

void on_run_done(HWND dialog)
{
    DWORD exit_code = 0;

    if (wipe_job.thread_id != 0) {
        // only the worker's own message, posted as it ends, ends a run
        if (!wipe_job.finished)
            return;
        if (wait_for_worker() == WAIT_TIMEOUT) {
            // it posted its end but has not ended: not collected, nothing of
            // its folder touched; collected once it has ended
            report_time_out(dialog);
            SetTimer(dialog, COLLECT_TIMER_ID, COLLECT_INTERVAL_MS, NULL);
            return;
        }
        GetExitCodeThread(wipe_job.thread, &exit_code);
    }
    collect_run(dialog, exit_code);
}

void on_collect_timer(HWND dialog)
{
    DWORD exit_code = 0;
    if (wipe_job.thread_id == 0) {
        KillTimer(dialog, COLLECT_TIMER_ID);
        return;
    }
    if (WaitForSingleObject(wipe_job.thread, 0) != WAIT_OBJECT_0)
        return;
    GetExitCodeThread(wipe_job.thread, &exit_code);
    collect_run(dialog, exit_code);
}

void stop_run(HWND dialog)
{
    const char *text = "";

    if (wipe_job.thread_id != 0) {
        if (stop_waited)
            return;
        stop_waited = 1;
        enable_control(dialog, IDABORT, FALSE);
        enable_control(dialog, IDCANCEL, FALSE);
        abort_flag = 1;
        set_status(dialog, program_text(IDS_ABORTING));
        // the worker deletes its work files before it ends
        DWORD waited = wait_for_worker();
        enable_control(dialog, IDABORT, TRUE);
        enable_control(dialog, IDCANCEL, TRUE);
        if (waited == WAIT_TIMEOUT) {
            // still running, maybe still deleting: its folder is left alone
            report_time_out(dialog);
            return;
        }
    }
    // the worker has ended: a folder this run created goes with it
    if (remove_work_folder(dialog, &text) != 0)
        set_status(dialog, text);
}

// The session ends (logoff, shutdown, a restart for updates): the run stops
// writing as soon as Windows asks whether it may end.
void on_query_end_session(HWND dialog)
{
    if (wipe_job.thread_id == 0 || abort_flag == 1)
        return;
    request_abort(dialog);
}

typedef BOOL (WINAPI *BlockReasonCreateProc)(HWND, LPCWSTR);
typedef BOOL (WINAPI *BlockReasonDestroyProc)(HWND);

// Before the session ends, the work files go and a folder this run created
// with them, or the volume would stay full. Windows waits for this answer a
// few seconds, longer while it can show the reason (Vista and later).
int on_end_session(HWND dialog)
{
    HMODULE user = GetModuleHandleA("user32.dll");
    BlockReasonCreateProc block = (BlockReasonCreateProc)(void (*)(void))(
        user ? GetProcAddress(user, "ShutdownBlockReasonCreate") : NULL);
    BlockReasonDestroyProc unblock = (BlockReasonDestroyProc)(void (*)(void))(
        user ? GetProcAddress(user, "ShutdownBlockReasonDestroy") : NULL);
    int blocked = 0;
    if (wipe_job.thread_id != 0 && block) {
        WCHAR reason[STATUS_TEXT_SIZE];
        if (MultiByteToWideChar(CP_ACP, 0, program_text(IDS_DELETING_WORK_FILES), -1, reason,
                                STATUS_TEXT_SIZE))
            blocked = block(dialog, reason);
    }
    int code = stop_run_and_record(dialog);
    if (blocked && unblock)
        unblock(dialog);
    return code;
}

void request_abort(HWND dialog)
{
    abort_flag = 1;
    enable_control(dialog, IDABORT, FALSE);
    set_status(dialog, program_text(IDS_ABORTING));
}
