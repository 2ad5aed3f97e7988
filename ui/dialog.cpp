// The main dialog: its set-up, and the routing of its messages and commands
// to the run control and the folder selection.
#include <stdio.h>
#include <string.h>
#include "ui/dialog.h"
#include <commctrl.h>
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "support/messages.h"

const char *command_line_folder(const char *line, char *folder)
{
    const char *p = line;
    folder[0] = 0;

    // tabs are no blanks here
    while (*p == ' ')
        ++p;
    if (*p == '"') {
        p = strchr(p + 1, '"');
        // an unterminated quote swallows the whole line: no folder
        if (!p)
            return NULL;
        ++p;
    } else {
        p = strchr(p, ' ');
        if (!p)
            return NULL;
    }
    while (*p == ' ')
        ++p;

    const char *end;
    if (*p == '"') {
        ++p;
        end = strchr(p, '"');
    } else {
        end = strchr(p, ' ');
    }
    size_t length = end ? (size_t)(end - p) : strlen(p);
    if (length > COMMAND_LINE_FOLDER_SIZE - 1)
        length = COMMAND_LINE_FOLDER_SIZE - 1;
    memcpy(folder, p, length);
    folder[length] = 0;
    return p;
}

// The /? box: the usage line with every switch, /lang among them, then
// each switch a line, /lang last, then the exit codes. The usage text holds
// the line, the switches and the exit codes, a blank line between them.
static void compose_usage(char *usage, size_t size)
{
    const char *all = program_text(IDS_USAGE), *switches = strstr(all, "\r\n"), *codes = NULL;
    for (const char *at = switches; at && (at = strstr(at, "\r\n\r\n")) != NULL; at += 4)
        codes = at;
    if (!switches || !codes || codes == switches) {
        snprintf(usage, size, "%s\r\n\r\n%s", all, program_text(IDS_USAGE_LANGUAGE));
        return;
    }
    snprintf(usage, size, "%s%.*s\r\n%s%s", program_text(IDS_USAGE_LINE), (int)(codes - switches), switches,
             program_text(IDS_USAGE_LANGUAGE), codes);
}

// On a folder whose work folder holds an interrupted run's journal, that
// run's method: Start then asks whether to go on with it, not with method 0.
static void select_interrupted_method(HWND dialog)
{
    char folder[MAX_PATH] = "";
    GetDlgItemTextA(dialog, IDC_FOLDER, folder, sizeof folder);
    int method = interrupted_run_method(folder);
    if (method >= 0 && method < (int)SendDlgItemMessageA(dialog, IDC_METHOD, CB_GETCOUNT, 0, 0))
        SendDlgItemMessageA(dialog, IDC_METHOD, CB_SETCURSEL, (WPARAM)method, 0);
}

void init_dialog(HWND dialog)
{
    char folder[COMMAND_LINE_FOLDER_SIZE];

    SetDlgItemTextA(dialog, IDC_STEP, program_text(IDS_VERSION));
    SetDlgItemTextA(dialog, IDC_STATUS, program_text(IDS_INTRO));
    EnableWindow(GetDlgItem(dialog, IDABORT), FALSE);
    // empty until a run moves it
    SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETRANGE32, 0, RUN_PROGRESS_FULL);
    SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, 0, 0);

    // in index order, empty names too: an entry's index is its method's
    int highest = highest_method_index();
    method_name_note[0] = 0;
    for (int index = 0; index <= highest; ++index)
        SendDlgItemMessageA(dialog, IDC_METHOD, CB_ADDSTRING, 0, (LPARAM)method_name(index));
    SendDlgItemMessageA(dialog, IDC_METHOD, CB_SETCURSEL, 0, 0);
    if (method_name_note[0]) {
        // a name this Windows can't show: which file and line, once
        char status[STATUS_TEXT_SIZE];
        snprintf(status, sizeof status, "%s\r\n%s", program_text(IDS_INTRO), method_name_note);
        SetDlgItemTextA(dialog, IDC_STATUS, status);
    }

    DragAcceptFiles(dialog, TRUE);

    // shown as given: Start tells the user what is wrong with it; a name
    // the code page can't hold is refused, as it would name another folder
    int wrong = parse_wide_command_line(GetCommandLineW(), &command_line);
    if (command_line.folder[0])
        SetDlgItemTextA(dialog, IDC_FOLDER, command_line.folder);
    if (!wrong && command_line.method > highest) {
        snprintf(folder, sizeof folder, "%d", command_line.method);
        snprintf(command_line.error, sizeof command_line.error, program_text(IDS_NO_SUCH_METHOD), folder);
        command_line.error_ending = ENDING_BAD_LINE;
        wrong = 1;
    }
    if (command_line.method >= 0 && !wrong)
        SendDlgItemMessageA(dialog, IDC_METHOD, CB_SETCURSEL, (WPARAM)command_line.method, 0);
    // a person will press Start; a run that starts at once runs the method it is given
    else if (!wrong && !command_line.start && command_line.folder[0])
        select_interrupted_method(dialog);
    answer_yes_to_folder = command_line.yes;
    skip_damaged_sectors = command_line.skip;
    resume_interrupted_run = command_line.resume;
    unattended = command_line.start && command_line.exit_when_done;
    if (wrong) {
        // nothing starts; with /exit no box waits: the exit code and the report say it
        SetDlgItemTextA(dialog, IDC_STATUS, command_line.error);
        if (command_line.exit_when_done) {
            unattended = 1;
            begin_run_report(command_line.folder, command_line.method);
            end_run_record(dialog, command_line.error, command_line.error_ending);
        } else {
            show_message_box(dialog, command_line.error, MB_OK | MB_ICONWARNING);
        }
        return;
    }
    if (command_line.help) {
        char usage[4096];
        compose_usage(usage, sizeof usage);
        show_message_box(dialog, usage, MB_OK | MB_ICONINFORMATION);
        PostQuitMessage(0);
        return;
    }
    if (command_line.start)
        PostMessageA(dialog, WM_COMMAND, IDC_START, 0);
}

static void browse(HWND dialog)
{
    char folder[MAX_PATH];

    folder[0] = 0;
    GetDlgItemTextA(dialog, IDC_FOLDER, folder, sizeof folder);
    const char *picked = browse_for_folder(dialog, folder, program_text(IDS_BROWSE_TITLE));
    if (picked) {
        SetDlgItemTextA(dialog, IDC_FOLDER, picked);
        select_interrupted_method(dialog);
    }
}

static BOOL on_command(HWND dialog, int id)
{
    switch (id) {
    case IDCANCEL:
    case IDM_QUIT:
        // the window is left to the end of the process
        PostQuitMessage(stop_run_and_record(dialog));
        return TRUE;
    case IDABORT:
        request_abort(dialog);
        return TRUE;
    case IDC_START:
        start_run(dialog);
        return TRUE;
    case IDC_BROWSE:
        browse(dialog);
        return TRUE;
    case IDM_ABOUT:
        // the one box with a caption of its own
        message_box_proc(dialog, program_text(IDS_VERSION), program_text(IDS_ABOUT_CAPTION),
                         MB_OK);
        return TRUE;
    }
    return FALSE;
}

// The code the program ends with once the window has gone.
static int quit_code;

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)lparam;
    switch (message) {
    case WM_INITDIALOG: {
        // one 32 x 32 image serves as the small and the big icon
        HICON icon = (HICON)LoadImageA(instance, MAKEINTRESOURCEA(IDI_VANTA), IMAGE_ICON,
                                       GetSystemMetrics(SM_CXSMICON),
                                       GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
        if (icon) {
            SendMessageA(dialog, WM_SETICON, ICON_SMALL, (LPARAM)icon);
            SendMessageA(dialog, WM_SETICON, ICON_BIG, (LPARAM)icon);
        }
        init_dialog(dialog);
        return TRUE;
    }
    case WM_COMMAND:
        return on_command(dialog, LOWORD(wparam));
    case WM_CLOSE:
        quit_code = stop_run_and_record(dialog);
        DestroyWindow(dialog);
        return TRUE;
    case WM_DESTROY:
        stop_run(dialog);
        PostQuitMessage(quit_code);
        quit_code = 0;
        return TRUE;
    case WM_DROPFILES:
        on_drop_files(dialog, (HDROP)wparam);
        // a run took its method at Start: the list shows it to the end
        if (wipe_job.thread_id == 0)
            select_interrupted_method(dialog);
        return TRUE;
    case WM_WIPE_DONE:
        on_run_done(dialog);
        return TRUE;
    case WM_QUERYENDSESSION:
        // Only asked: the shutdown may yet be cancelled, and a run of hours
        // goes on then. The run stops when the session does end.
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_ENDSESSION:
        // The session ends: the run stops, gives its space back and is
        // recorded; then the program ends itself, with its own exit code,
        // before the system ends it with 0.
        if (wparam)
            end_process((UINT)on_end_session(dialog));
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_RUN_PROGRESS:
        on_run_progress(dialog, (int)wparam);
        return TRUE;
    case WM_TIMER:
        if (wparam != COLLECT_TIMER_ID)
            return FALSE;
        on_collect_timer(dialog);
        return TRUE;
    }
    return FALSE;
}
