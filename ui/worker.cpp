// The worker thread that carries a run, and the run's control from the
// window thread: Start, Abort, the collection of a finished worker, and the
// abort-and-wait that comes before every way of ending the program.
#include <errno.h>
#include <process.h>
#include <stdio.h>
#include <string.h>
#include "ui/dialog.h"
#include <commctrl.h>
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "support/messages.h"

#define THREAD_TIME_OUT_TEXT "Thread did not stop in 15 seconds."

WipeJob wipe_job;
volatile LONG abort_flag;
DWORD stop_wait_ms = STOP_WAIT_MS;
ExitProcessProc end_process = ExitProcess;
ExecutionStateProc set_execution_state = SetThreadExecutionState;
static HCURSOR previous_cursor;
static char end_worker_text[256];
// Close, the close request and the window's destruction each stop the run;
// the worker is waited for once, and its time-out shown once.
static int stop_waited;
// A run ends once: the first ending (the worker's own, Close, the session's
// end) decides its status, its record and its exit code (wipe_job.ended);
// whatever comes after it finds the run ended and changes nothing.
static int run_end_code;
// The session is ending: no box may wait for a person.
static int session_ending;

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

// A box the worker shows waits for its answer; at the session's end it gets
// the one an unattended run gives (the worker then keeps its text for the
// report and shows no other).
static BOOL CALLBACK close_worker_box(HWND window, LPARAM answer)
{
    char kind[16];
    if (GetClassNameA(window, kind, sizeof kind) && strcmp(kind, "#32770") == 0)
        PostMessageA(window, WM_COMMAND, (WPARAM)answer, 0);
    return TRUE;
}

// Waits at most stop_wait_ms for the worker to end. The worker hands its
// texts and boxes to this thread and waits for them, so the messages it sends
// are let through meanwhile; a plain wait would hold it until the time-out.
// Posted messages stay queued for the message loop. At the session's end a
// box of the worker's is closed as soon as it is seen.
static DWORD wait_for_worker(void)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= stop_wait_ms)
            return WaitForSingleObject(wipe_job.thread, 0);
        if (session_ending)
            EnumThreadWindows(wipe_job.thread_id, close_worker_box, (LPARAM)open_box_answer);
        DWORD slice = stop_wait_ms - spent;
        if (session_ending && slice > BOX_LOOK_MS)
            slice = BOX_LOOK_MS;
        DWORD woken = MsgWaitForMultipleObjectsEx(1, &wipe_job.thread, slice, QS_SENDMESSAGE,
                                                  MWMO_INPUTAVAILABLE);
        if (woken == WAIT_TIMEOUT && slice < stop_wait_ms - spent)
            continue;
        if (woken != WAIT_OBJECT_0 + 1)
            return woken;
        MSG message;
        PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

typedef BOOL (WINAPI *CancelSynchronousIoProc)(HANDLE);

// A 4 MiB write-through on a slow disk may take longer than the session's
// end allows: the transfer in flight is cancelled (Vista and later), and the
// worker, which sees the stop, takes the cancelled call for it.
static void cancel_transfer_in_flight(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    CancelSynchronousIoProc cancel = (CancelSynchronousIoProc)(void (*)(void))(
        kernel ? GetProcAddress(kernel, "CancelSynchronousIo") : NULL);
    if (cancel)
        cancel(wipe_job.thread);
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
    // the latest position, posted or not: one message stands for all since
    InterlockedExchange(&run_position_queued, 0);
    if (run_position > position)
        position = run_position;
    // a report that outlived its run moves nothing
    if (wipe_job.thread_id == 0 || position < 0 || position > RUN_PROGRESS_FULL)
        return;
    if (position > (int)SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0))
        SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, (WPARAM)position, 0);
    show_run_position(dialog, position);
}

// Every Start begins a record of its own, one that goes nowhere included:
// nothing of an earlier run's figures, steps or failures is carried into it.
static void begin_run_record(const char *folder, int method_index)
{
    wipe_job.ended = 0;
    memset(&run_totals, 0, sizeof run_totals);
    clear_run_failures();
    run_script_steps[0] = 0;
    unattended_texts[0] = 0;
    begin_run_report(folder, method_index);
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
    int index = (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCURSEL, 0, 0);
    begin_run_record(folder, index);
    if (!folder[0]) {
        set_status(dialog, program_text(IDS_NO_FOLDER));
        end_run_record(dialog, program_text(IDS_NO_FOLDER), ENDING_NO_FOLDER);
        return;
    }
    if (prepare_work_folder_path(dialog, folder, &text) != 0) {
        set_status(dialog, text);
        end_run_record(dialog, text, ENDING_FOLDER);
        return;
    }
    // a report the run can't write to safely is a wrong line: it takes no record
    UINT refused = report_refusal();
    if (refused) {
        char reason[STATUS_TEXT_SIZE];
        snprintf(reason, sizeof reason, program_text(refused), command_line.report);
        command_line.report[0] = 0;
        set_status(dialog, reason);
        end_run_record(dialog, reason, ENDING_REPORT_REFUSED);
        return;
    }
    abort_flag = 0;
    set_status(dialog, "");
    if (start_worker(dialog, index, &text) != 0) {
        set_status(dialog, text);
        end_run_record(dialog, text, ENDING_FAILED);
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
    wipe_job.ended = 0;
    stop_waited = 0;
    session_ending = 0;
    keep_journal_at_stop = 0;

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
    // A wipe left to run overnight must not stop when the PC would sleep; the
    // display may still turn off. The state belongs to this thread, so it
    // ends with the run however the run ends.
    set_execution_state(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    int result = run_steps(run->owner, run->status_id, run->step_id, run->method_index,
                           run->abort_ptr);
    set_execution_state(ES_CONTINUOUS);
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

// A line under the ending, its own line break dropped (the names end in one).
static void add_ending_line(char *ending, size_t size, const char *line)
{
    size_t length = strlen(ending), add = strlen(line);
    while (add && (line[add - 1] == '\r' || line[add - 1] == '\n'))
        --add;
    snprintf(ending + length, size - length, "%s%.*s", length ? "\r\n" : "", (int)add, line);
}

// "Aborted", and under it what the run had done before the stop (once it
// had begun to write: the passes that went to their end, the bytes written
// and verified, and, when its end deleted every work file, that the space is
// back), then what had gone wrong.
static void stopped_text(char *text, size_t size)
{
    snprintf(text, size, "%s", program_text(IDS_ABORTED));
    if (run_totals.passes > 0) {
        char written[40], verified[40];
        format_byte_count(written, sizeof written, run_totals.bytes_written);
        format_byte_count(verified, sizeof verified, run_totals.bytes_verified);
        size_t have = strlen(text);
        snprintf(text + have, size - have, "\r\n");
        have = strlen(text);
        snprintf(text + have, size - have, program_text(IDS_STOPPED_DONE), run_totals.passes_finished, written,
                 verified);
        if (work_files_gone) {
            have = strlen(text);
            snprintf(text + have, size - have, "\r\n%s", program_text(IDS_SPACE_GIVEN_BACK));
        }
    }
    if (run_failure_count()) {
        size_t have = strlen(text);
        snprintf(text + have, size - have, "\r\n%s", run_failure_text());
    }
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
    } else if (exit_code == RUN_STOPPED) {
        stopped_text(ending, sizeof ending);
    } else {
        // any other ending left its own text: the error, the differing file, the reason
        ending[0] = 0;
        GetDlgItemTextA(dialog, IDC_STATUS, ending, sizeof ending);
    }
    // the runner's result decides: a stop it saw is RUN_STOPPED, and a stop
    // that came after every step had done its work changes nothing
    int how = exit_code == RUN_DONE ? ENDING_DONE : exit_code == RUN_STOPPED ? ENDING_STOPPED : run_ending;
    char line[STATUS_TEXT_SIZE];
    if (resume_found_nothing)
        add_ending_line(ending, sizeof ending, program_text(IDS_NOTHING_TO_RESUME));
    if (resume_other_method >= 0) {
        snprintf(line, sizeof line, program_text(IDS_RESUME_OTHER_METHOD), resume_other_method);
        add_ending_line(ending, sizeof ending, line);
    }
    if (journal_unwritten) {
        // with the system's reason, as every failed call is told
        DWORD saved = run_context.last_error;
        run_context.last_error = journal_unwritten;
        format_system_error(line, STATUS_TEXT_LIMIT, "%s\r\n", program_text(IDS_JOURNAL_UNWRITTEN));
        run_context.last_error = saved;
        add_ending_line(ending, sizeof ending, line);
    }
    // what someone else put in the work folder stays, and the folder with it
    if (foreign_entry_count()) {
        snprintf(line, sizeof line, program_text(IDS_NAMES_LEFT), foreign_entry_names());
        add_ending_line(ending, sizeof ending, line);
    }
    if (run_resume_step) {
        // the session's end: the folder keeps the journal the next Start goes on from
        snprintf(line, sizeof line, program_text(IDS_RESUME_LATER), run_resume_step);
        add_ending_line(ending, sizeof ending, line);
        release_work_folder();
        work_folder_created = 0;
        work_folder_path[0] = 0;
    }
    // a folder that stays says so under the reason: the files left in it
    else if (remove_work_folder(dialog, &text) != 0) {
        size_t length = strlen(ending);
        snprintf(ending + length, sizeof ending - length, "%s%s", length ? "\r\n" : "", text);
        if (how == ENDING_DONE)
            how = ENDING_FOLDER_LEFT;
    }
    // a run that Close ended before its worker did keeps what it said then
    if (!wipe_job.ended)
        set_status(dialog, ending);
    SetCursor(previous_cursor);
    enable_inputs(dialog, TRUE);
    SetFocus(dialog);
    end_run_record(dialog, ending, how);
}

// The report of the run, when one is asked for. Where the record went
// instead of the report, or why it went nowhere, is said in the status box
// under the ending; a record written nowhere makes a success a failure: the
// auditor's record is missing.
static int write_record(HWND dialog, const char *ending, int how)
{
    char note[STATUS_TEXT_SIZE], status[STATUS_TEXT_SIZE];
    DWORD failed = write_run_report(ending, exit_code_of_ending(how), note);
    if (note[0]) {
        // the note is shown whole: the ending gives way
        int room = (int)(sizeof status - strlen(note) - 3);
        snprintf(status, sizeof status, "%.*s\r\n%s", room > 0 ? room : 0, ending, note);
        set_status(dialog, status);
    }
    return exit_code_of_ending(failed && how == ENDING_DONE ? ENDING_NO_RECORD : how);
}

// The record being written further down the stack (its report tried again
// while a spreadsheet holds it): its ending and code, for the session's end,
// which comes as a message sent into that wait and ends the program before
// the wait would return; it writes the record itself.
static int record_writing, record_taken_over;
static char record_ending[STATUS_TEXT_SIZE];
static int record_how;

int end_run_record(HWND dialog, const char *ending, int how)
{
    if (wipe_job.ended)
        return run_end_code;
    wipe_job.ended = 1;
    // the code is known before the record is written: an ending that comes
    // meanwhile takes it, not the last run's
    record_how = how;
    run_end_code = exit_code_of_ending(how);
    snprintf(record_ending, sizeof record_ending, "%s", ending);
    record_writing = 1, record_taken_over = 0;
    int code = write_record(dialog, record_ending, how);
    record_writing = 0;
    if (record_taken_over)
        return run_end_code;
    run_end_code = code;
    if (command_line.exit_when_done)
        PostQuitMessage(run_end_code);
    return run_end_code;
}

int stop_run_and_record(HWND dialog)
{
    stop_run(dialog);
    return command_line.exit_when_done && wipe_job.ended ? run_end_code : 0;
}

void on_run_done(HWND dialog)
{
    DWORD exit_code = 0;

    // a run that has ended is not ended again by a late message
    if (wipe_job.thread_id == 0 && wipe_job.ended)
        return;
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
        // A stop that already waits further down (a Close) is waited for
        // once; but the session's end, sent into that wait, waits here too
        // and ends the run itself: Windows does not wait for the one below.
        int nested = stop_waited;
        if (nested && !session_ending)
            return;
        stop_waited = 1;
        enable_control(dialog, IDABORT, FALSE);
        enable_control(dialog, IDCANCEL, FALSE);
        abort_flag = 1;
        set_status(dialog, program_text(IDS_ABORTING));
        if (session_ending)
            cancel_transfer_in_flight();
        // the worker deletes its work files before it ends
        DWORD waited = wait_for_worker();
        // ended meanwhile by the session's end, sent into this wait
        if (wipe_job.thread_id == 0 || (wipe_job.ended && !nested))
            return;
        enable_control(dialog, IDABORT, TRUE);
        enable_control(dialog, IDCANCEL, TRUE);
        if (waited == WAIT_TIMEOUT) {
            // still running, maybe still deleting: its folder is left alone,
            // and the run ends here as stopped
            char ending[STATUS_TEXT_SIZE];
            report_time_out(dialog);
            stopped_text(ending, sizeof ending);
            end_run_record(dialog, ending, ENDING_STOPPED);
            return;
        }
        // the worker has ended: its own result tells how the run ended (an
        // Abort after its last step had done its work changes nothing of it)
        DWORD exit_code = 0;
        GetExitCodeThread(wipe_job.thread, &exit_code);
        collect_run(dialog, exit_code);
        return;
    }
    // no worker: a folder of an earlier run that was left goes now
    if (remove_work_folder(dialog, &text) != 0)
        set_status(dialog, text);
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
    // no one will answer a box now: a question takes the unattended answer;
    // a held work file or report is tried again only as long as Windows waits;
    // the run keeps its journal, to go on where it stopped at the next Start
    session_ending = 1;
    unattended = 1;
    keep_journal_at_stop = 1;
    if (delete_retry_ms > SESSION_END_RETRY_MS)
        delete_retry_ms = SESSION_END_RETRY_MS;
    if (report_retry_ms > SESSION_END_RETRY_MS)
        report_retry_ms = SESSION_END_RETRY_MS;
    int code;
    if (record_writing) {
        // the record is being written further down: written here instead,
        // within the time Windows waits, and the wait below gives up its try
        record_taken_over = 1;
        run_end_code = write_record(dialog, record_ending, record_how);
        report_taken_over();
        code = command_line.exit_when_done ? run_end_code : 0;
    } else {
        code = stop_run_and_record(dialog);
    }
    if (blocked && unblock)
        unblock(dialog);
    return code;
}

void request_abort(HWND dialog)
{
    // an Abort that comes once the run has ended changes nothing of its ending
    if (wipe_job.thread_id == 0 || wipe_job.finished)
        return;
    abort_flag = 1;
    enable_control(dialog, IDABORT, FALSE);
    set_status(dialog, program_text(IDS_ABORTING));
}
