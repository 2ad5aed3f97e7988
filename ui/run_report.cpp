// The record of a run for an auditor: one line a run appended to the file
// that /report names, comma-separated (CSV) in UTF-8 with a byte-order mark,
// so that Excel and PowerShell's Import-Csv read its Japanese texts as they
// are; a header line names the fields when the file is new.
#include <stdio.h>
#include <string.h>
#include "ui/dialog.h"
#include "ui/work_folder.h"
#include "engine/wipe_engine.h"
#include "steps/step_runner.h"
#include "support/messages.h"

#define REPORT_LINE_SIZE 16384

static const char REPORT_HEADER[] =
    "version,computer,user,started,ended,folder,volume,volume_label,volume_serial,file_system,"
    "volume_bytes,method,method_name,steps,passes,bytes_written,bytes_verified,"
    "verify_differences,free_before,free_after,out_of_reach,failures,ending,exit_code\r\n";

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
} report_run;

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
    }
    report_run.free_before = free_bytes_of(folder);
}

// Appends text as one CSV field: quoted, its quotes doubled, a comma before
// it unless it is the first; cut where the line is full.
static void add_field(char *line, const char *text)
{
    // room is kept for the closing quote and the line's end
    const size_t last = REPORT_LINE_SIZE - 8;
    size_t at = strlen(line);
    if (at + 4 > last)
        return;
    if (at)
        line[at++] = ',';
    line[at++] = '"';
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
    add_field(line, text);
}

DWORD write_run_report(const char *ending, int exit_code)
{
    static char line[REPORT_LINE_SIZE];
    static WCHAR wide[REPORT_LINE_SIZE];
    static char utf8[REPORT_LINE_SIZE * 3];
    char text[MAX_PATH];
    DWORD size;

    if (!command_line.report[0])
        return 0;
    line[0] = 0;
    add_field(line, program_text(IDS_VERSION));
    text[0] = 0, size = sizeof text;
    GetComputerNameA(text, &size);
    add_field(line, text);
    text[0] = 0, size = sizeof text;
    GetUserNameA(text, &size);
    add_field(line, text);
    add_field(line, report_run.started);
    local_time(text, sizeof text);
    add_field(line, text);
    add_field(line, report_run.folder);
    add_field(line, report_run.root);
    add_field(line, report_run.label);
    snprintf(text, sizeof text, "%04lX-%04lX", report_run.serial >> 16, report_run.serial & 0xFFFF);
    add_field(line, report_run.root[0] ? text : "");
    add_field(line, report_run.file_system);
    add_number(line, report_run.volume_bytes);
    snprintf(text, sizeof text, "%d", report_run.method);
    add_field(line, report_run.method >= 0 ? text : "");
    add_field(line, report_run.method_name);
    add_field(line, run_script_steps);
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
    add_field(line, failures);
    add_field(line, ending);
    snprintf(text, sizeof text, "%d", exit_code);
    add_field(line, text);
    strcat(line, "\r\n");

    // the ANSI code page's text as UTF-8, which every spreadsheet reads alike
    int characters = MultiByteToWideChar(CP_ACP, 0, line, -1, wide, REPORT_LINE_SIZE);
    int length = characters ? WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, NULL, NULL) : 0;
    if (length <= 1)
        return ERROR_NO_UNICODE_TRANSLATION;

    HANDLE file = CreateFileA(command_line.report, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD written = 0, code = 0;
    if (GetFileSize(file, NULL) == 0) {
        static const char bom_and_header[] = "\xEF\xBB\xBF";
        if (!WriteFile(file, bom_and_header, 3, &written, NULL) ||
            !WriteFile(file, REPORT_HEADER, sizeof REPORT_HEADER - 1, &written, NULL))
            code = GetLastError();
    }
    if (!code && (!WriteFile(file, utf8, (DWORD)(length - 1), &written, NULL) || written != (DWORD)(length - 1)))
        code = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    CloseHandle(file);
    return code;
}
