// Message boxes and status texts with the system's error text appended.
//
// Every text is composed in a buffer of fixed size. The system's text for
// run_context.last_error is appended whole or not at all: a cut system text
// would read as a different error.
#include "support/messages.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FATAL_TEXT_SIZE 4096
#define ERROR_TEXT_SIZE 2048

MessageBoxProc message_box_proc = MessageBoxA;

static char fatal_text[FATAL_TEXT_SIZE];
static char fatal_system_text[FATAL_TEXT_SIZE];
static char error_text[ERROR_TEXT_SIZE];
static char pass_status_text[STATUS_TEXT_SIZE];

volatile LONG unattended;
int unattended_answer = IDNO;
volatile LONG open_box_answer = IDOK;
int answer_yes_to_folder;
int skip_damaged_sectors;
char unattended_texts[4096];

// No one is there: the text goes to the run's report, whole or not at all.
static void keep_for_report(const char *text)
{
    size_t have = strlen(unattended_texts), length = strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
        --length;
    if (have + 2 + length < sizeof unattended_texts) {
        if (have)
            memcpy(unattended_texts + have, "\r\n", 2), have += 2;
        memcpy(unattended_texts + have, text, length);
        unattended_texts[have + length] = 0;
    }
}

int show_message_box(HWND owner, const char *text, UINT style)
{
    int answer = (style & 0xF) == MB_YESNO ? unattended_answer : IDOK;
    unattended_answer = IDNO;
    if (!unattended) {
        open_box_answer = answer;
        int chosen = message_box_proc(owner, text, PROGRAM_NAME, style);
        if (!unattended)
            return chosen;
        // the session ended while the box waited: it was closed with the
        // answer no one there would have given, whatever closed it
    }
    keep_for_report(text);
    return answer;
}

// Formats at most limit bytes into buffer (limit + 1 bytes); the zero goes
// behind the cut. An absent or empty format leaves the caller's part empty.
static void compose(char *buffer, unsigned limit, const char *format, va_list args)
{
    buffer[0] = 0;
    if (format && *format)
        vsnprintf(buffer, (size_t)limit + 1, format, args);
    buffer[limit] = 0;
}

// The system's text for code in language, allocated by the system, or null.
static char *system_text_in(DWORD code, LANGID language)
{
    char *text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  NULL, code, language, (LPSTR)&text, 0, NULL);
    if (length == 0) {
        if (text)
            LocalFree(text);
        return NULL;
    }
    return text;
}

// The system's text for code, or null: on an English run in English where
// Windows has it, so that a reason reads in the language of the text before it.
static char *system_text(DWORD code)
{
    // vanta's own refusals of a file in its work folder give their own reason
    static const struct { DWORD code; UINT id; } own[] = {
        {WORK_FILE_NOT_PLAIN, IDS_WORK_FILE_NOT_PLAIN}, {WORK_FILE_LINKED, IDS_WORK_FILE_LINKED},
        {WORK_FILE_ELSEWHERE, IDS_WORK_FILE_ELSEWHERE}, {WORK_FILE_NOT_OURS, IDS_WORK_FILE_NOT_OURS},
        {WORK_FILE_STAYED, IDS_WORK_FILE_STAYED}};
    for (const auto &reason : own) {
        if (reason.code != code)
            continue;
        // a copy the caller releases as it releases the system's, with its line end
        const char *line = program_text(reason.id);
        size_t length = strlen(line);
        char *text = (char *)LocalAlloc(LMEM_FIXED, length + 3);
        if (text)
            memcpy(text, line, length), memcpy(text + length, "\r\n", 3);
        return text;
    }
    char *text = program_language == LANGUAGE_ENGLISH
                     ? system_text_in(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))
                     : NULL;
    return text ? text : system_text_in(code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT));
}

// Appends the system text when the combined text stays below limit bytes.
static void append_whole(char *buffer, size_t limit, const char *text)
{
    if (!text)
        return;
    size_t have = strlen(buffer);
    size_t add = strlen(text);
    if (have + add < limit)
        memcpy(buffer + have, text, add + 1);
}

static void release(char *text)
{
    if (text)
        LocalFree(text);
}

// Formats at most limit bytes, then appends the system text for last_error
// when the whole stays below bound bytes.
static void compose_with_system_text(char *buffer, unsigned limit, size_t bound,
                                     const char *format, va_list args)
{
    compose(buffer, limit, format, args);
    char *text = system_text(run_context.last_error);
    append_whole(buffer, bound, text);
    release(text);
}

void fatal_box(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    compose(fatal_text, FATAL_TEXT_SIZE - 1, format, args);
    va_end(args);
    if (show_message_box(NULL, fatal_text, MB_OKCANCEL) == IDCANCEL)
        exit(1);
}

void fatal_system_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    compose_with_system_text(fatal_system_text, FATAL_TEXT_SIZE - 1, FATAL_TEXT_SIZE, format, args);
    va_end(args);
    fatal_box("%s", fatal_system_text);
}

int error_box(HWND owner, UINT style, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    compose_with_system_text(error_text, ERROR_TEXT_SIZE - 1, ERROR_TEXT_SIZE, format, args);
    va_end(args);
    return show_message_box(owner, error_text, style);
}

static DWORD warn_box_v(const char *format, va_list args)
{
    char warning[STATUS_TEXT_SIZE];
    compose(warning, STATUS_TEXT_LIMIT, format, args);
    char *text = system_text(run_context.last_error);
    append_whole(warning, STATUS_TEXT_SIZE, text);
    show_message_box(run_context.owner, warning, MB_OK | MB_ICONWARNING);
    release(text);
    // read after the box: the caller hands it on as its own result
    return run_context.last_error;
}

DWORD warn_box(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    DWORD code = warn_box_v(format, args);
    va_end(args);
    return code;
}

char *format_system_error(char *buffer, unsigned size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    compose_with_system_text(buffer, size, size, format, args);
    va_end(args);
    return buffer;
}

DWORD report_pass_error(const char *format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    DWORD code = warn_box_v(format, args);
    compose_with_system_text(pass_status_text, STATUS_TEXT_LIMIT, STATUS_TEXT_LIMIT, format, again);
    va_end(again);
    va_end(args);
    set_status_text(pass_status_text);
    note_run_failure(pass_status_text);
    return code;
}
