// The record of a run for an auditor: one line a run appended to the file
// that /report names, comma-separated (CSV) in UTF-8 with a byte-order mark,
// so that Excel and PowerShell's Import-Csv read its texts, Japanese or
// English, as they are; a header line names the fields when the file is new. Many PCs append
// to one report, often on a share, and a spreadsheet may hold it open: a
// record goes out whole in one write, and is never lost without a word.
#include <objbase.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "ui/dialog.h"
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "support/messages.h"
#include "ui/version.h"

// The byte-order mark and the header, written in one with the first record.
// Fields added since the first version come last, so that a report begun by
// an older vanta keeps its columns.
static const char REPORT_HEADER[] =
    "\xEF\xBB\xBF"
    "version,computer,user,started,ended,folder,volume,volume_label,volume_serial,file_system,"
    "volume_bytes,method,method_name,steps,passes,bytes_written,bytes_verified,"
    "verify_differences,free_before,free_after,out_of_reach,failures,ending,exit_code,"
    "run_id,disk_bus,disk_vendor,disk_model,disk_serial,solid_state,trim,damaged_sectors,"
    "resumed_from_step,language\r\n";
#define REPORT_HEADER_LENGTH ((DWORD)sizeof REPORT_HEADER - 1)

DWORD report_retry_ms = REPORT_RETRY_MS;
// The record was written meanwhile by the session's end, sent into a wait
// for the report: the try that waited gives up.
static int record_written_meanwhile;
#define REPORT_WRITTEN_MEANWHILE 0x20000021
// The report's folder is not written in: vanta's own reason, in a text.
#define REPORT_FOLDER_REFUSED    0x20000022

void report_taken_over(void)
{
    record_written_meanwhile = 1;
}
ReportWriteProc report_write = WriteFile;

static struct {
    char started[40];
    char folder[MAX_PATH];
    char root[MAX_PATH];
    char label[MAX_PATH];
    char file_system[MAX_PATH];
    DWORD serial;
    unsigned long long volume_bytes, free_before;
    int method;
    char method_name[256];
    DiskInfo disk;
} report_run;

// The header, then the record as UTF-8: what goes out in one write.
static char report_out[REPORT_HEADER_LENGTH + REPORT_LINE_SIZE * 3];

// The error mode the process had before a run turned the system's boxes off.
static UINT error_mode_before;
static int error_mode_held;

static void hold_error_mode(void)
{
    if (error_mode_held)
        return;
    // SetErrorMode is the only way to read the mode that works on Windows XP
    error_mode_before = SetErrorMode(SEM_FAILCRITICALERRORS);
    SetErrorMode(error_mode_before | SEM_FAILCRITICALERRORS);
    error_mode_held = 1;
}

static void release_error_mode(void)
{
    if (!error_mode_held)
        return;
    SetErrorMode(error_mode_before);
    error_mode_held = 0;
}

void new_run_id(void)
{
    GUID guid;
    run_id[0] = 0;
    if (CoCreateGuid(&guid) != S_OK)
        return;
    snprintf(run_id, sizeof run_id, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
             (unsigned long)guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
             guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

// Local time with its offset from UTC, as ISO 8601 writes it.
static void local_time(char *text, size_t size)
{
    SYSTEMTIME now;
    TIME_ZONE_INFORMATION zone;
    GetLocalTime(&now);
    DWORD kind = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias + (kind == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : kind == TIME_ZONE_ID_STANDARD ? zone.StandardBias : 0);
    LONG east = -bias;
    snprintf(text, size, "%04u-%02u-%02uT%02u:%02u:%02u%c%02ld:%02ld", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond, east < 0 ? '-' : '+', labs(east) / 60, labs(east) % 60);
}

static unsigned long long free_bytes_of(const char *folder)
{
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExA(folder, &available, NULL, NULL) ? available.QuadPart : 0;
}

void begin_run_report(const char *folder, int method_index)
{
    hold_error_mode();
    new_run_id();
    memset(&report_run, 0, sizeof report_run);
    local_time(report_run.started, sizeof report_run.started);
    snprintf(report_run.folder, sizeof report_run.folder, "%s", folder);
    report_run.method = method_index;
    snprintf(report_run.method_name, sizeof report_run.method_name, "%s",
             method_index >= 0 ? method_name(method_index) : "");
    if (volume_root_of(folder, report_run.root) == 0) {
        GetVolumeInformationA(report_run.root, report_run.label, sizeof report_run.label,
                              &report_run.serial, NULL, NULL, report_run.file_system,
                              sizeof report_run.file_system);
        ULARGE_INTEGER total;
        if (GetDiskFreeSpaceExA(report_run.root, NULL, &total, NULL))
            report_run.volume_bytes = total.QuadPart;
        query_disk(report_run.root, &report_run.disk);
    }
    run_on_solid_state = strcmp(report_run.disk.solid_state, "yes") == 0;
    report_run.free_before = free_bytes_of(folder);
}

void add_report_field(char *line, const char *text)
{
    // room is kept for the closing quote and the line's end
    const size_t last = REPORT_LINE_SIZE - 8;
    size_t at = strlen(line);
    if (at + 5 > last)
        return;
    if (at)
        line[at++] = ',';
    line[at++] = '"';
    // a spreadsheet runs a field that starts so as a formula
    if (*text && strchr("=+-@\t\r'", *text))
        line[at++] = '\'';
    for (; *text && at + 2 < last; ++text) {
        if (*text == '"')
            line[at++] = '"';
        line[at++] = *text;
    }
    line[at++] = '"';
    line[at] = 0;
}

static void add_number(char *line, unsigned long long number)
{
    char text[32];
    snprintf(text, sizeof text, "%llu", number);
    add_report_field(line, text);
}

// The record's line, as UTF-8 behind the header in report_out. Its length,
// or 0 when its text has no UTF-8 form.
static DWORD compose_record(const char *ending, int exit_code)
{
    static char line[REPORT_LINE_SIZE];
    static WCHAR wide[REPORT_LINE_SIZE];
    char text[MAX_PATH];
    DWORD size;

    line[0] = 0;
    // the file version, which a machine compares: the About text is for people
    add_report_field(line, VANTA_VERSION_TEXT);
    text[0] = 0, size = sizeof text;
    GetComputerNameA(text, &size);
    add_report_field(line, text);
    text[0] = 0, size = sizeof text;
    GetUserNameA(text, &size);
    add_report_field(line, text);
    add_report_field(line, report_run.started);
    local_time(text, sizeof text);
    add_report_field(line, text);
    add_report_field(line, report_run.folder);
    add_report_field(line, report_run.root);
    add_report_field(line, report_run.label);
    snprintf(text, sizeof text, "%04lX-%04lX", report_run.serial >> 16, report_run.serial & 0xFFFF);
    add_report_field(line, report_run.root[0] ? text : "");
    add_report_field(line, report_run.file_system);
    add_number(line, report_run.volume_bytes);
    snprintf(text, sizeof text, "%d", report_run.method);
    add_report_field(line, report_run.method >= 0 ? text : "");
    add_report_field(line, report_run.method_name);
    add_report_field(line, run_script_steps);
    add_number(line, (unsigned long long)run_totals.passes);
    add_number(line, run_totals.bytes_written);
    add_number(line, run_totals.bytes_verified);
    add_number(line, (unsigned long long)run_totals.differing_files);
    add_number(line, report_run.free_before);
    add_number(line, report_run.folder[0] ? free_bytes_of(report_run.folder) : 0);
    add_number(line, run_totals.bytes_out_of_reach);
    // what went wrong: the failures the run kept, and any box no one saw
    char failures[STATUS_TEXT_SIZE + sizeof unattended_texts + 2];
    snprintf(failures, sizeof failures, "%s%s%s", run_failure_count() ? run_failure_text() : "",
             run_failure_count() && unattended_texts[0] ? "\r\n" : "", unattended_texts);
    add_report_field(line, failures);
    add_report_field(line, ending);
    snprintf(text, sizeof text, "%d", exit_code);
    add_report_field(line, text);
    add_report_field(line, run_id);
    add_report_field(line, report_run.disk.bus);
    add_report_field(line, report_run.disk.vendor);
    add_report_field(line, report_run.disk.model);
    add_report_field(line, report_run.disk.serial);
    add_report_field(line, report_run.disk.solid_state);
    add_report_field(line, report_run.disk.trim);
    add_number(line, run_totals.damaged_sectors);
    snprintf(text, sizeof text, "%d", run_resumed_from);
    add_report_field(line, run_resumed_from ? text : "");
    // the language of ending, failures and method_name: scripts branch on exit_code
    add_report_field(line, language_code());
    strcat(line, "\r\n");

    // the ANSI code page's text as UTF-8, which every spreadsheet reads alike
    if (!report_out[0])
        memcpy(report_out, REPORT_HEADER, REPORT_HEADER_LENGTH);
    char *utf8 = report_out + REPORT_HEADER_LENGTH;
    int characters = MultiByteToWideChar(CP_ACP, 0, line, -1, wide, REPORT_LINE_SIZE);
    int length = characters ? WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, REPORT_LINE_SIZE * 3, NULL, NULL)
                            : 0;
    return length > 1 ? (DWORD)(length - 1) : 0;
}

static int is_empty(HANDLE file)
{
    DWORD high = 0;
    return win.GetFileSize(file, &high) == 0 && high == 0;
}

int report_links_refused = -1;

// An open report an elevated run does not write through: a link, or a file
// with another name too (another account's link to a file of the system's).
// 0, or the code that says which.
static DWORD report_handle_refused(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (report_links_refused < 0)
        report_links_refused = token_elevated();
    if (!report_links_refused || !win.GetFileInformationByHandle(file, &info))
        return 0;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        return WORK_FILE_NOT_PLAIN;
    return info.nNumberOfLinks > 1 ? WORK_FILE_LINKED : 0;
}

// The record (after the header when header is set) in one write to the
// open file's end. 0, or the system's error code.
static DWORD write_record(HANDLE file, DWORD record_length, int header)
{
    const char *from = header ? report_out : report_out + REPORT_HEADER_LENGTH;
    DWORD length = record_length + (header ? REPORT_HEADER_LENGTH : 0), written = 0;
    if (!report_write(file, from, length, &written, NULL))
        return GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    return written != length ? ERROR_HANDLE_DISK_FULL : 0;   // a short count: the volume is full
}

// One try at appending the composed record of record_length bytes to path.
// 0, or the system's error code.
static DWORD append_once(const char *path, DWORD record_length)
{
    int header = 0;
    // one writer at a time while readers go on: a record is one write to the
    // file's end, and no other writer's can land on it (where two processes'
    // appends meet, as under Wine, one was lost without a word); a writer
    // that finds the file held tries again. The link itself, never what it
    // points to.
    HANDLE file = win.CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        // the process that makes the file writes the header, with its record
        file = win.CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        header = 1;
    } else if (file != INVALID_HANDLE_VALUE) {
        // an empty file made ready beforehand: its header goes first
        header = is_empty(file);
    }
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD code = report_handle_refused(file);
    if (!code)
        code = write_record(file, record_length, header);
    win.CloseHandle(file);
    return code;
}

static int same_folder(const FolderIdentity *one, const FolderIdentity *other)
{
    return one->volume == other->volume && one->index == other->index;
}

// True when the report lies in the work folder, which the run removes before
// its record is written: some folder on the report's path is the work folder
// (by file ID: a short name, a volume name, a subst drive or a folder a
// volume is mounted in name one folder many ways), or, the work folder not
// made yet, the first folder of the path that is not there yet would be it.
static int report_in_work_folder(const char *report)
{
    char full[MAX_PATH];
    FolderIdentity work, chosen, at;
    DWORD length = GetFullPathNameA(report, sizeof full, full, NULL);
    if (!length || length >= sizeof full || !work_folder_path[0])
        return 0;
    int work_there = folder_identity_of(work_folder_path, &work) == 0;
    char *chosen_path = path_dir_part(work_folder_path);
    int chosen_there = folder_identity_of(chosen_path, &chosen) == 0;
    free(chosen_path);
    int inside = 0, found = 0;
    char folder[MAX_PATH], parent[MAX_PATH];
    char *part = path_dir_part(full);
    snprintf(folder, sizeof folder, "%s", part);
    free(part);
    while (!inside && folder[0]) {
        part = path_dir_part(folder);
        snprintf(parent, sizeof parent, "%s", part);
        free(part);
        if (folder_identity_of(folder, &at) == 0) {
            found = 1;
            inside = work_there && same_folder(&at, &work);
        } else if (!found && chosen_there && folder_identity_of(parent, &at) == 0 && same_folder(&at, &chosen)) {
            const char *name = folder + strlen(parent);
            name += *name == '\\' || *name == '/';
            inside = CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, -1, WORK_FOLDER_NAME, -1) == CSTR_EQUAL;
        }
        if (strcmp(parent, folder) == 0)
            break;
        strcpy(folder, parent);
    }
    return inside;
}

UINT report_refusal(void)
{
    if (!command_line.report[0])
        return 0;
    if (report_in_work_folder(command_line.report))
        return IDS_REPORT_IN_WORK_FOLDER;
    HANDLE file = win.CreateFileA(command_line.report, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD refused = report_handle_refused(file);
    win.CloseHandle(file);
    return refused ? IDS_REPORT_LINK : 0;
}

// ---------------------------------------------------------------- the report's folder

// The report's folder, held while the record goes in (an elevated run): no
// one renames it or puts a link in its place meanwhile.
static HANDLE report_folder;

static void release_report_folder(void)
{
    if (report_folder)
        win.CloseHandle(report_folder);
    report_folder = NULL;
}

// A folder on another computer, where the share's own rules hold, not ours.
static int on_network(const char *full)
{
    if ((full[0] == '\\' || full[0] == '/') && (full[1] == '\\' || full[1] == '/'))
        return !(full[2] == '?' || full[2] == '.') || _strnicmp(full + 3, "\\UNC\\", 5) == 0;
    char root[4] = {full[0], ':', '\\', 0};
    return is_ascii_alpha(full[0]) && full[1] == ':' && GetDriveTypeA(root) == DRIVE_REMOTE;
}

// An elevated run writes in the report's folder only as it would take an
// existing work folder: held as itself, never through a link, owned by this
// account, SYSTEM or the Administrators, and no one else may write in it
// (its DACL is never changed: it is the administrator's). 0 with the folder
// held, or the code that says why not (refusal: the text, for vanta's own).
static DWORD hold_report_folder(const char *folder, char *refusal)
{
    HANDLE held = win.CreateFileA(folder, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                              SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (held == INVALID_HANDLE_VALUE)
        return GetLastError() ? GetLastError() : ERROR_PATH_NOT_FOUND;
    BY_HANDLE_FILE_INFORMATION info;
    UINT why = 0;
    DWORD code = win.GetFileInformationByHandle(held, &info) ? 0 : GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    if (!code && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        why = IDS_REPORT_FOLDER_LINK;
    else if (!code && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        code = ERROR_DIRECTORY;
    else if (!code && (code = check_folder_security(held, 0, NULL)) != 0)
        why = code == WORK_FOLDER_FOREIGN_OWNER ? IDS_REPORT_FOLDER_FOREIGN_OWNER
              : code == WORK_FOLDER_OTHERS_WRITE ? IDS_REPORT_FOLDER_OTHERS_WRITE : 0;
    if (why) {
        snprintf(refusal, STATUS_TEXT_SIZE, program_text(why), folder);
        code = REPORT_FOLDER_REFUSED;
    }
    if (code) {
        win.CloseHandle(held);
        return code;
    }
    report_folder = held;
    return 0;
}

// A fleet's first run finds no folder for its report (%ProgramData%\vanta on
// a fresh PC): its last level is made, with the work folder's own DACL
// (SYSTEM, the Administrators and this account; on a share, the share's
// own), in a folder that is there; a deeper path is not made. Then, in an
// elevated run, the folder is held and checked: users may make folders in
// %ProgramData%, and one another account made first is theirs. 0, or the
// code that says why the record does not go there (refusal: the text, for
// vanta's own).
static DWORD prepare_report_folder(const char *report, char *refusal)
{
    char full[MAX_PATH];
    refusal[0] = 0;
    DWORD length = GetFullPathNameA(report, sizeof full, full, NULL);
    if (!length || length >= sizeof full)
        return 0;   // the write says what is wrong with the name
    char *folder = path_dir_part(full), *parent = path_dir_part(folder);
    int remote = on_network(full);
    DWORD code = 0;
    if (strcmp(folder, parent) != 0 && win.GetFileAttributesA(folder) == INVALID_FILE_ATTRIBUTES &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
        if (win.GetFileAttributesA(parent) == INVALID_FILE_ATTRIBUTES) {
            code = GetLastError();
            if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
                snprintf(refusal, STATUS_TEXT_SIZE, program_text(IDS_REPORT_FOLDER_MISSING), folder, parent);
                code = REPORT_FOLDER_REFUSED;
            }
        } else {
            // with its DACL from the start: set later, the new folder could be swapped in between
            PSECURITY_DESCRIPTOR own = remote ? NULL : protected_folder_descriptor();
            SECURITY_ATTRIBUTES security = {sizeof security, own, FALSE};
            if (!win.CreateDirectoryA(folder, own ? &security : NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
                code = GetLastError() ? GetLastError() : ERROR_PATH_NOT_FOUND;
            if (own)
                LocalFree(own);
        }
    }
    if (report_links_refused < 0)
        report_links_refused = token_elevated();
    if (!code && report_links_refused && !remote)
        code = hold_report_folder(folder, refusal);
    free(folder);
    free(parent);
    return code;
}

// Waits ms while the window goes on painting; nothing else of its queue is
// taken, so no command comes in the middle of a run's end.
static void wait_painting(DWORD ms)
{
    DWORD start = GetTickCount();
    for (DWORD spent = 0; spent < ms; spent = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, NULL, FALSE, ms - spent, QS_PAINT);
        MSG message;
        while (PeekMessageA(&message, NULL, WM_PAINT, WM_PAINT, PM_REMOVE))
            DispatchMessageA(&message);
    }
}

// Appends the composed record to path, trying again while another program
// holds the file (a spreadsheet opens it for writing and lets others only
// read) or locks a range of it, or another writer makes or empties it
// meanwhile, for report_retry_ms. 0, or the last try's error code.
static DWORD append_record(const char *path, DWORD record_length, int new_only)
{
    // a file beside the report is made new, never one someone put there
    // under its name, and tried again as the report is
    HANDLE made = new_only ? win.CreateFileA(path, FILE_APPEND_DATA | DELETE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, NULL)
                           : NULL;
    if (made == INVALID_HANDLE_VALUE)
        return GetLastError() ? GetLastError() : ERROR_FILE_EXISTS;
    DWORD start = GetTickCount();
    for (;;) {
        DWORD code = made ? write_record(made, record_length, 1) : append_once(path, record_length);
        int again = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
                    code == ERROR_FILE_EXISTS || code == ERROR_FILE_NOT_FOUND;
        if (!again || GetTickCount() - start >= report_retry_ms) {
            if (made) {
                // made new by this try and holding no record: it goes, so
                // that no empty file is left to be taken for one
                if (code)
                    delete_open_file(made);
                win.CloseHandle(made);
            }
            return code;
        }
        wait_painting(REPORT_RETRY_INTERVAL_MS);
        if (record_written_meanwhile) {
            if (made) {
                // made by this try, and empty: it goes
                delete_open_file(made);
                win.CloseHandle(made);
            }
            return REPORT_WRITTEN_MEANWHILE;
        }
    }
}

// The file beside report for a record the report could not take, named with
// the computer and the time: report-PC1-20261207T213000.csv for report.csv.
static DWORD name_file_beside(const char *report, char *beside)
{
    size_t length = strlen(report), name = 0, dot = length;
    for (size_t i = 0; i < length; ++i) {
        if (report[i] == '\\' || report[i] == '/' || report[i] == ':')
            name = i + 1, dot = length;
        else if (report[i] == '.' && i > name)
            dot = i;
        else if (IsDBCSLeadByte((BYTE)report[i]) && i + 1 < length)
            ++i;   // a 0x5C trail byte is no separator
    }
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof computer;
    if (!GetComputerNameA(computer, &size))
        computer[0] = 0;
    SYSTEMTIME now;
    GetLocalTime(&now);
    int written = snprintf(beside, MAX_PATH, "%.*s-%s-%04u%02u%02uT%02u%02u%02u%s", (int)dot, report, computer,
                           now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, report + dot);
    return written < 0 || written >= MAX_PATH ? ERROR_FILENAME_EXCED_RANGE : 0;
}

// The file for a record that neither the report nor its folder took: in
// this account's temporary folder (C:\Windows\Temp for SYSTEM), which is
// always there, named as the file beside the report would be.
static DWORD name_file_in_temp(const char *report, char *name)
{
    char temp[MAX_PATH], path[MAX_PATH];
    DWORD length = GetTempPathA(sizeof temp, temp);
    if (!length || length >= sizeof temp)
        return length ? ERROR_BUFFER_OVERFLOW : GetLastError() ? GetLastError() : ERROR_PATH_NOT_FOUND;
    const char *base = report;
    for (size_t i = 0; report[i]; ++i) {
        if (report[i] == '\\' || report[i] == '/' || report[i] == ':')
            base = report + i + 1;
        else if (IsDBCSLeadByte((BYTE)report[i]) && report[i + 1])
            ++i;   // a 0x5C trail byte is no separator
    }
    int written = snprintf(path, sizeof path, "%s%s%s", temp, temp[length - 1] == '\\' ? "" : "\\", base);
    if (written < 0 || written >= (int)sizeof path)
        return ERROR_FILENAME_EXCED_RANGE;
    return name_file_beside(path, name);
}

// text (STATUS_TEXT_SIZE bytes) with the system's reason for code, without the line break it ends in.
static void compose_note(char *text, DWORD code, UINT id, const char *first, const char *second)
{
    run_context.last_error = code;
    format_system_error(text, STATUS_TEXT_LIMIT, program_text(id), first, second);
    size_t length = strlen(text);
    while (length && (text[length - 1] == '\r' || text[length - 1] == '\n'))
        text[--length] = 0;
}

// text (STATUS_TEXT_SIZE bytes): id with first and second, then why: the
// text of vanta's own refusal, or the system's reason for code.
static void compose_reason(char *text, DWORD code, const char *refusal, UINT id, const char *first,
                           const char *second)
{
    if (code != REPORT_FOLDER_REFUSED) {
        compose_note(text, code, id, first, second);
        return;
    }
    snprintf(text, STATUS_TEXT_SIZE, program_text(id), first, second);
    size_t have = strlen(text);
    snprintf(text + have, STATUS_TEXT_SIZE - have, "%s", refusal);
}

// A line under note (STATUS_TEXT_SIZE bytes), cut where it is full.
static void add_note_line(char *note, const char *line)
{
    size_t have = strlen(note);
    snprintf(note + have, STATUS_TEXT_SIZE - have, "%s%s", have ? "\r\n" : "", line);
}

DWORD write_run_report(const char *ending, int exit_code, char *note)
{
    char beside[MAX_PATH], temp[MAX_PATH], refusal[STATUS_TEXT_SIZE], line[STATUS_TEXT_SIZE];
    char beside_line[STATUS_TEXT_SIZE];
    static char ending_with_note[STATUS_TEXT_SIZE * 2 + 2];

    note[0] = beside_line[0] = temp[0] = 0;
    if (!command_line.report[0]) {
        release_error_mode();
        return 0;
    }
    DWORD length = compose_record(ending, exit_code);
    record_written_meanwhile = 0;
    if (!length) {
        compose_note(note, ERROR_NO_UNICODE_TRANSLATION, IDS_REPORT_FAILED, command_line.report, "");
        release_error_mode();
        return ERROR_NO_UNICODE_TRANSLATION;
    }
    DWORD code = prepare_report_folder(command_line.report, refusal);
    int folder_taken = code == 0;
    if (folder_taken)
        code = append_record(command_line.report, length, 0);
    if (code && code != REPORT_WRITTEN_MEANWHILE && folder_taken) {
        // the record goes beside the report, and says so there and in the status box
        DWORD beside_code = name_file_beside(command_line.report, beside);
        compose_note(note, code, IDS_REPORT_ELSEWHERE, beside, command_line.report);
        snprintf(ending_with_note, sizeof ending_with_note, "%s\r\n%s", ending, note);
        length = compose_record(ending_with_note, exit_code);
        if (!beside_code)
            // a file of its own, new: never one someone put there under its name
            beside_code = length ? append_record(beside, length, 1) : ERROR_NO_UNICODE_TRANSLATION;
        if (!beside_code || beside_code == REPORT_WRITTEN_MEANWHILE)
            code = beside_code;
        else
            compose_note(beside_line, beside_code, IDS_REPORT_FAILED, beside, "");
    }
    release_report_folder();
    if (code == REPORT_WRITTEN_MEANWHILE)
        // the session's end wrote it, and said where
        note[0] = 0;
    if (!code || code == REPORT_WRITTEN_MEANWHILE) {
        release_error_mode();
        return 0;
    }

    // Neither the report nor its folder took it: the account's temporary
    // folder does, and the record and the status box say where and why. The
    // report lacks it all the same: a success becomes a failure.
    DWORD temp_code = name_file_in_temp(command_line.report, temp);
    if (!temp_code) {
        compose_reason(note, code, refusal, IDS_REPORT_ELSEWHERE, temp, command_line.report);
        if (beside_line[0])
            add_note_line(note, beside_line);
        snprintf(ending_with_note, sizeof ending_with_note, "%s\r\n%s", ending, note);
        // the code the run ends with, as the caller makes it
        length = compose_record(ending_with_note, exit_code == EXIT_CODE_DONE ? EXIT_CODE_FAILED : exit_code);
        temp_code = length ? append_record(temp, length, 1) : ERROR_NO_UNICODE_TRANSLATION;
        if (temp_code == REPORT_WRITTEN_MEANWHILE)
            note[0] = 0;
        if (!temp_code || temp_code == REPORT_WRITTEN_MEANWHILE) {
            release_error_mode();
            return temp_code ? 0 : code;
        }
    }
    // written nowhere: each place and why, and that there is no record
    compose_reason(note, code, refusal, IDS_REPORT_FAILED, command_line.report, "");
    if (beside_line[0])
        add_note_line(note, beside_line);
    compose_note(line, temp_code, IDS_REPORT_FAILED, temp, "");
    add_note_line(note, line);
    add_note_line(note, program_text(IDS_NO_RECORD_WRITTEN));
    release_error_mode();
    return code;
}
