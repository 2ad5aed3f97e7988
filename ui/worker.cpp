// The worker thread that carries a run, and the run's control from the
// window thread: Start, Abort, the collection of a finished worker, and the
// abort-and-wait that comes before every way of ending the program.
#include <errno.h>
#include <process.h>
#include <stdio.h>
#include <string.h>
#include "ui/dialog.h"
#include "ui/work_folder.h"
#include "steps/step_runner.h"
#include "support/messages.h"

#define THREAD_TIME_OUT_TEXT "Thread did not stop in 15 seconds."

WipeJob wipe_job;
volatile LONG abort_flag;
static HCURSOR previous_cursor;
static char end_worker_text[256];

static void set_status(HWND dialog, const char *text)
{
    SetDlgItemTextA(dialog, IDC_STATUS, text);
}

static void enable_control(HWND dialog, int id, BOOL enable)
{
    EnableWindow(GetDlgItem(dialog, id), enable);
}

// Waits at most STOP_WAIT_MS for the worker to end. The worker hands its
// texts and boxes to this thread and waits for them, so the messages it sends
// are let through meanwhile; a plain wait would hold it until the time-out.
// Posted messages stay queued for the message loop.
static DWORD wait_for_worker(void)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= STOP_WAIT_MS)
            return WAIT_TIMEOUT;
        DWORD woken = MsgWaitForMultipleObjectsEx(1, &wipe_job.thread, STOP_WAIT_MS - spent,
                                                  QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (woken != WAIT_OBJECT_0 + 1)
            return woken;
        MSG message;
        PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

static void wait_or_report(HWND dialog)
{
    if (wait_for_worker() == WAIT_TIMEOUT)
        show_message_box(dialog, THREAD_TIME_OUT_TEXT, MB_ICONERROR);
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
        return;
    }
    if (prepare_work_folder_path(dialog, folder, &text) != 0) {
        set_status(dialog, text);
        return;
    }
    abort_flag = 0;
    set_status(dialog, "");
    int index = (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0);
    if (start_worker(dialog, index, &text) != 0) {
        set_status(dialog, text);
        return;
    }
    enable_control(dialog, IDC_METHOD, FALSE);
    enable_control(dialog, IDC_FOLDER, FALSE);
    enable_control(dialog, IDC_BROWSE, FALSE);
    enable_control(dialog, IDC_START, FALSE);
    enable_control(dialog, IDABORT, TRUE);
    previous_cursor = SetCursor(LoadCursorA(NULL, IDC_WAIT));
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

void on_run_done(HWND dialog)
{
    DWORD exit_code = 0;
    const char *text = "";

    if (wipe_job.thread_id != 0) {
        wait_or_report(dialog);
        GetExitCodeThread(wipe_job.thread, &exit_code);
    }
    if (abort_flag == 1)
        set_status(dialog, program_text(IDS_ABORTED));
    if (end_worker(dialog, &text) != 0) {
        // the controls stay as during the run: something is badly wrong
        set_status(dialog, text);
        return;
    }
    if (abort_flag == 0) {
        if (remove_work_folder(dialog, &text) != 0)
            set_status(dialog, text);
        else if (exit_code != RUN_REPORTED)
            set_status(dialog, program_text(IDS_FINISHED));
    }
    SetCursor(previous_cursor);
    enable_control(dialog, IDC_METHOD, TRUE);
    enable_control(dialog, IDC_FOLDER, TRUE);
    enable_control(dialog, IDC_BROWSE, TRUE);
    enable_control(dialog, IDC_START, TRUE);
    enable_control(dialog, IDABORT, FALSE);
    SetFocus(dialog);
}

void stop_run(HWND dialog)
{
    const char *text = "";

    if (wipe_job.thread_id != 0) {
        enable_control(dialog, IDABORT, FALSE);
        enable_control(dialog, IDCANCEL, FALSE);
        abort_flag = 1;
        set_status(dialog, program_text(IDS_ABORTING));
        wait_or_report(dialog);
        enable_control(dialog, IDABORT, TRUE);
        enable_control(dialog, IDCANCEL, TRUE);
    }
    // a folder of ours left by a run that was not aborted
    if (abort_flag == 0 && remove_work_folder(dialog, &text) != 0)
        set_status(dialog, text);
}

void request_abort(HWND dialog)
{
    abort_flag = 1;
    enable_control(dialog, IDABORT, FALSE);
    set_status(dialog, program_text(IDS_ABORTING));
}
