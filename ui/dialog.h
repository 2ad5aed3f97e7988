// Main window and run control: what the rest of vanta (and its tests) may call.
//   - start-up and the message loop (main.cpp)
//   - the main dialog (dialog.cpp)
//   - the worker thread and the run's Start, Abort, end and stop (worker.cpp)
//   - the folder picker and dropped names (folder_select.cpp)
// The work folder belongs to the engine: engine/wipe_engine.h.
#ifndef VANTA_UI_DIALOG_H
#define VANTA_UI_DIALOG_H

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include "ui/resource.h"
#include "support/messages.h"

// ------------------------------------------------------- start-up

// The program's module, whose resources hold the dialog, the icon and the texts.
extern HINSTANCE instance;

// The message loop's fetch (GetMessageA); tests put in one that fails.
typedef BOOL (WINAPI *GetMessageProc)(LPMSG, HWND, UINT, UINT);
extern GetMessageProc get_message;

// Before anything else: the DLLs loaded from here on come from the system's
// folder only (or, where the system can't say so, not from the current one).
void secure_dll_search(void);

// Texts, the language, common controls, the dialog and its message loop.
// Returns the exit code: the quit code (0), or 1 when the dialog or the loop
// fails.
int run_program(HINSTANCE module, int show_state);
// The main dialog of the program's language from instance's resources, or
// null with the system's error code.
HWND create_main_dialog(void);

// ------------------------------------------------------- the dialog

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
void init_dialog(HWND dialog);

// Room for the folder that a command line names: 260 bytes and the zero.
#define COMMAND_LINE_FOLDER_SIZE (MAX_PATH + 1)
// The folder token behind the program's own path on a command line, at most
// 260 bytes; the empty text when there is none. Returns where it begins in
// line, or null.
const char *command_line_folder(const char *line, char *folder);

// ------------------------------------------------------- command line

// What the command line asks for. Switches (/ or -, case ignored,
// /name:value): /method:N, /start, /exit, /yes, /skip, /resume, /report:FILE,
// /lang:ja|en, /?.
struct CommandLine {
    char folder[COMMAND_LINE_FOLDER_SIZE];   // the one plain token, or empty
    int method;                              // -1: not given
    int start, exit_when_done, yes, skip, help, resume;
    int language;                            // LANGUAGE_..., -1: not given
    char report[MAX_PATH];                   // empty: no report
    char error[STATUS_TEXT_SIZE];            // why the line is wrong
    int error_ending;                        // its ending (ENDING_...): the line, the folder
};
extern CommandLine command_line;
// 0, or 1 with parsed->error saying what is wrong with the line.
int parse_command_line(const char *line, CommandLine *parsed);
// The same for the line as Windows keeps it (GetCommandLineW): the folder
// and the report are refused when they have a character the ANSI code page
// can't hold, which best-fit mapping would turn into another name.
int parse_wide_command_line(const WCHAR *line, CommandLine *parsed);
// The language the line's first /lang asks for (LANGUAGE_...), or -1.
int command_line_language(const char *line);

// ------------------------------------------------------- the run's report

// Appends the record of the run that has just ended to command_line.report
// (CSV, UTF-8; the process that makes the file writes its byte-order mark and
// header line in the same write as its record). A report whose folder is
// missing gets it made (its last level only); in an elevated run the folder
// must be one vanta would take as a work folder. A report another program
// holds is tried again every REPORT_RETRY_INTERVAL_MS for report_retry_ms;
// then the record goes to a file beside it named with the computer and the
// time; where the report's folder took none, to a file so named in the
// account's temporary folder. 0 when the record is in the report or beside
// it, else the report's error code. note (STATUS_TEXT_SIZE bytes) gets the
// lines the status box adds: empty when the report took the record, else
// the file that did and why the report did not, or why none did.
DWORD write_run_report(const char *ending, int exit_code, char *note);
// The record was written by the session's end, sent into the wait of the
// write below it: that write gives up its try.
void report_taken_over(void);
// Whether the report may take the record of a run on work_folder_path: 0, or
// the text that says why not (IDS_REPORT_IN_WORK_FOLDER: the run removes the
// folder the report would be in; IDS_REPORT_LINK: an elevated run writes
// through no link and no file with another name too).
UINT report_refusal(void);
// An elevated run refuses a report that is a link or has another name too,
// and writes in no report folder that it would not take as a work folder:
// 1 or 0, or -1 until the token is asked (tests set it).
extern int report_links_refused;
// Takes what the report needs before a run begins: a new run ID, the time,
// the folder, its volume, the disk beneath and its free space, the method.
// From here until write_run_report has written the record the system shows
// no box of its own for a drive without its medium (SEM_FAILCRITICALERRORS):
// a scheduled task naming an empty card reader must not wait for a person.
void begin_run_report(const char *folder, int method_index);

#define REPORT_RETRY_MS          30000
#define REPORT_RETRY_INTERVAL_MS 100
// How long a report held by another program is tried: REPORT_RETRY_MS; tests
// shorten it.
extern DWORD report_retry_ms;
// The report's writes (WriteFile); tests put in one that meets a locked range,
// which Wine does not enforce.
typedef BOOL (WINAPI *ReportWriteProc)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
extern ReportWriteProc report_write;

// Appends text to a record's line as one CSV field: quoted, its quotes
// doubled, a comma before it unless it is the first; a text that a
// spreadsheet would run as a formula (or one that starts with an apostrophe,
// so that one leading apostrophe can always be taken off again) gets a
// leading apostrophe. Cut where the line (REPORT_LINE_SIZE bytes) is full.
#define REPORT_LINE_SIZE 16384
void add_report_field(char *line, const char *text);

// Makes run_id (steps/step_runner.h) a new GUID in lowercase text at each
// run's start; a run that goes on from its journal takes its first part's.
void new_run_id(void);

// The disk beneath a volume, as the system describes it; each text is empty
// where the system does not say (Wine says little: a bus and nothing more).
struct DiskInfo {
    char bus[24];            // "NVMe", "SATA", "USB", ...
    char vendor[64];
    char model[128];
    char serial[128];
    char solid_state[4];     // "yes" (no seek penalty), "no", or empty
    char trim[4];            // "yes", "no", or empty
};
// Asks the volume of root ("D:\", a mount point's folder) through
// IOCTL_STORAGE_QUERY_PROPERTY, on a handle opened without access rights (no
// administrator needed).
void query_disk(const char *root, DiskInfo *disk);
// The query's DeviceIoControl; tests put in one that answers as a disk would.
typedef BOOL (WINAPI *DiskIoControlProc)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
extern DiskIoControlProc disk_io_control;

// ------------------------------------------------------- run control

#define WM_WIPE_DONE  0x500    // posted by the worker when its run has ended
#define STOP_WAIT_MS  15000    // the bound of every wait for the worker
#define BOX_LOOK_MS   50       // at the session's end, how often a wait looks for a worker's box
// At the session's end a held work file or report is tried again this long at
// most: the stop, the deletion and the record must fit in the few seconds
// Windows waits.
#define SESSION_END_RETRY_MS 1000
// A worker that posted its end but did not end within the wait is collected
// by a timer once it has.
#define COLLECT_TIMER_ID     1
#define COLLECT_INTERVAL_MS  500

// The bound of every wait for the worker: STOP_WAIT_MS; tests shorten it.
extern DWORD stop_wait_ms;

// The one run of the process. Every field is 32 bits wide.
struct WipeJob {
    unsigned thread_id;            // 0: no worker is tracked
    HANDLE thread;
    HWND owner;                    // the dialog
    int status_id;                 // IDC_STATUS
    int step_id;                   // IDC_STEP
    int method_index;              // the list's selection at Start, -1 for none
    volatile LONG *abort_ptr;      // &abort_flag
    volatile LONG finished;        // set by the worker just before WM_WIPE_DONE
    LONG ended;                    // the run's ending is decided: its status, record and code
};

extern WipeJob wipe_job;
// 1 once Abort, Close or quit has been asked for; cleared by the next Start.
extern volatile LONG abort_flag;

void start_run(HWND dialog);
void request_abort(HWND dialog);
// The end of a run's record, how (ENDING_...) it ended: the report appended
// (a failure to write it is added to the status box, and makes a success a
// failure), and with /exit the program asked to end with the ending's exit
// code. Returns the code.
int end_run_record(HWND dialog, const char *ending, int how);
// Close or quit: stops the run like stop_run; a run that was going on is
// recorded as stopped. The code the program ends with (0, or with /exit 5
// for a run that was stopped).
int stop_run_and_record(HWND dialog);

// WM_ENDSESSION (the session does end; WM_QUERYENDSESSION only asks, and a
// run goes on when the end is cancelled): the run stops, a box it shows is
// closed with the unattended answer, its work files and a folder it created
// are gone and its record written before this returns; the code the program
// ends with, as stop_run_and_record gives it.
int on_end_session(HWND dialog);
// How the program ends itself at the session's end (ExitProcess); tests put
// in one that keeps the code.
typedef VOID (WINAPI *ExitProcessProc)(UINT);
extern ExitProcessProc end_process;
void on_run_done(HWND dialog);
void stop_run(HWND dialog);
// WM_TIMER with COLLECT_TIMER_ID: collects a worker that has ended since.
void on_collect_timer(HWND dialog);
// WM_RUN_PROGRESS: the bar moves forward to the run's position (0 to 1000),
// and the title shows its percentage.
void on_run_progress(HWND dialog, int position);
int start_worker(HWND dialog, int method_index, const char **text);
// How the worker keeps the system awake for its run (SetThreadExecutionState);
// tests put in one that keeps the calls.
typedef EXECUTION_STATE (WINAPI *ExecutionStateProc)(EXECUTION_STATE);
extern ExecutionStateProc set_execution_state;
unsigned __stdcall worker_main(void *job);
int end_worker(HWND dialog, const char **text);

// ------------------------------------------------------- folder picker and drop

// The picked path; valid until the next browse.
extern char picked_path[MAX_PATH];
// 1 once the new-style picker has initialized COM; never uninitialized.
extern int com_initialized;

// The picked folder, or null when the user cancelled or picked something
// that is no part of the file system.
const char *browse_for_folder(HWND owner, const char *folder, const char *title);
int CALLBACK browse_callback(HWND picker, UINT message, LPARAM param, LPARAM data);
// Puts every dropped name, resolved, into the folder box; the last one stays.
// A picked or dropped name the ANSI code page can't hold is refused with a
// box that names it.
int on_drop_files(HWND dialog, HDROP drop);
// The full path of name with every existing component spelled as stored
// (long name, letter case); a new heap string, or null when memory runs out.
char *resolve_path(const char *name);

#endif
