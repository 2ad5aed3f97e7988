// The command line: a folder, and the switches that let a run go without a
// person at the window. A line without switches means what it always meant.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "ui/dialog.h"
#include "steps/step_runner.h"
#include "support/messages.h"

CommandLine command_line;

// A line that came as UTF-16: lost_mask[i] is 1 where byte i of lost_line
// stands for a character the ANSI code page has no form for.
static const char *lost_line, *lost_mask;

static int lost_between(const char *from, const char *to)
{
    for (const char *at = from; lost_mask && at < to; ++at)
        if (lost_mask[at - lost_line])
            return 1;
    return 0;
}

// The next token from *p: blanks end it outside quotes; the quotes go (a
// blank or a quote is never the trail byte of a double-byte character).
// Returns 0 when the line has no more tokens; a token longer than size - 1
// is cut, and marked by *cut.
static int next_token(const char **p, char *token, size_t size, int *cut)
{
    const char *at = *p;
    size_t length = 0;
    int quoted = 0;
    *cut = 0;
    while (*at == ' ' || *at == '\t')
        ++at;
    if (!*at)
        return 0;
    for (; *at && (quoted || (*at != ' ' && *at != '\t')); ++at) {
        if (*at == '"') {
            quoted = !quoted;
            continue;
        }
        if (length + 1 < size)
            token[length++] = *at;
        else
            *cut = 1;
    }
    token[length] = 0;
    *p = at;
    return 1;
}

// The program's own path: quoted, or up to the first blank.
static const char *after_program_path(const char *line)
{
    const char *p = line;
    while (*p == ' ')
        ++p;
    if (*p == '"') {
        p = strchr(p + 1, '"');
        return p ? p + 1 : "";
    }
    p = strchr(p, ' ');
    return p ? p : "";
}

static int is_switch(const char *token)
{
    return token[0] == '/' || token[0] == '-';
}

// The switch's name matches name, and *value is what follows a colon, if any.
static int switch_is(const char *token, const char *name, const char **value)
{
    size_t length = strlen(name);
    if (_strnicmp(token + 1, name, length) != 0)
        return 0;
    char next = token[1 + length];
    if (next != 0 && next != ':')
        return 0;
    *value = next == ':' ? token + 2 + length : NULL;
    return 1;
}

// Keeps the first thing wrong with the line and how it ends the run; the rest is
// still read, so that /exit and /report are known however the line goes wrong.
static void wrong(CommandLine *parsed, UINT id, const char *first, const char *second,
                  int how = ENDING_BAD_LINE)
{
    if (parsed->error[0])
        return;
    snprintf(parsed->error, sizeof parsed->error, program_text(id), first, second);
    parsed->error_ending = how;
}

// LANGUAGE_... for a /lang value, or -1.
static int language_named(const char *value)
{
    if (value && _stricmp(value, "ja") == 0)
        return LANGUAGE_JAPANESE;
    if (value && _stricmp(value, "en") == 0)
        return LANGUAGE_ENGLISH;
    return -1;
}

// Two spellings of one file name: Windows' file names ignore case.
static int same_file_name(const char *first, const char *second)
{
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE | SORT_STRINGSORT, first, -1, second, -1) ==
           CSTR_EQUAL;
}

int parse_command_line(const char *line, CommandLine *parsed)
{
    char token[COMMAND_LINE_FOLDER_SIZE + 16];
    // a switch given again must say the same: these are their first tokens
    char method_token[sizeof token], report_token[sizeof token], language_token[sizeof token];
    const char *rest = after_program_path(line), *p = rest;
    int cut, switches = 0;

    memset(parsed, 0, sizeof *parsed);
    parsed->method = -1;
    parsed->language = -1;
    while (next_token(&p, token, sizeof token, &cut))
        switches += is_switch(token);
    // without switches the folder is read exactly as it always was
    if (!switches) {
        const char *from = command_line_folder(line, parsed->folder);
        // a name the code page can't hold would name another folder
        if (from && lost_between(from, from + strlen(parsed->folder))) {
            wrong(parsed, IDS_NAME_NOT_SHOWN, parsed->folder, "", ENDING_FOLDER);
            parsed->folder[0] = 0;
        }
        return parsed->error[0] != 0;
    }

    for (p = rest;;) {
        const char *value = NULL, *from = p;
        if (!next_token(&p, token, sizeof token, &cut))
            break;
        int lost = lost_between(from, p);
        if (!is_switch(token)) {
            if (lost)
                wrong(parsed, IDS_NAME_NOT_SHOWN, token, "", ENDING_FOLDER);
            else if (parsed->folder[0])
                wrong(parsed, IDS_TWO_FOLDERS, parsed->folder, token);
            else
                snprintf(parsed->folder, sizeof parsed->folder, "%s", token);
        } else if (switch_is(token, "?", &value) && !value) {
            parsed->help = 1;
        } else if (switch_is(token, "start", &value) && !value) {
            parsed->start = 1;
        } else if (switch_is(token, "exit", &value) && !value) {
            parsed->exit_when_done = 1;
        } else if (switch_is(token, "yes", &value) && !value) {
            parsed->yes = 1;
        } else if (switch_is(token, "skip", &value) && !value) {
            parsed->skip = 1;
        } else if (switch_is(token, "resume", &value) && !value) {
            parsed->resume = 1;
        } else if (switch_is(token, "method", &value)) {
            char *end = NULL;
            long method = value && *value ? strtol(value, &end, 10) : -1;
            if (!value || !*value || *end || method < 0 || method > 9)
                wrong(parsed, IDS_NO_SUCH_METHOD, value ? value : "", "");
            else if (parsed->method >= 0 && parsed->method != (int)method)
                wrong(parsed, IDS_SWITCH_TWICE, method_token, token);
            else if (parsed->method < 0) {
                parsed->method = (int)method;
                snprintf(method_token, sizeof method_token, "%s", token);
            }
        } else if (switch_is(token, "lang", &value)) {
            int language = language_named(value);
            char code_page[16];
            snprintf(code_page, sizeof code_page, "%u", GetACP());
            if (language < 0)
                wrong(parsed, IDS_NO_SUCH_LANGUAGE, token, "");
            // Japanese texts read only in code page 932: what this PC has instead, and what to do
            else if (language == LANGUAGE_JAPANESE && GetACP() != 932)
                wrong(parsed, IDS_JAPANESE_NEEDS_932, token, code_page);
            else if (parsed->language >= 0 && parsed->language != language)
                wrong(parsed, IDS_SWITCH_TWICE, language_token, token);
            else if (parsed->language < 0) {
                parsed->language = language;
                snprintf(language_token, sizeof language_token, "%s", token);
            }
        } else if (switch_is(token, "report", &value) && value && *value && !cut &&
                   strlen(value) < sizeof parsed->report) {
            if (lost)
                wrong(parsed, IDS_NAME_NOT_SHOWN, value, "");
            // a device takes the record and keeps nothing (NUL), or shows it
            // and keeps nothing (CON); which names are devices differs
            // between Windows versions (nul.csv), so all of them are refused
            else if (path_names_device(value) == PATH_DEVICE)
                wrong(parsed, IDS_REPORT_DEVICE, value, "");
            else if (parsed->report[0] && !same_file_name(parsed->report, value))
                wrong(parsed, IDS_SWITCH_TWICE, report_token, token);
            else if (!parsed->report[0]) {
                snprintf(parsed->report, sizeof parsed->report, "%s", value);
                snprintf(report_token, sizeof report_token, "%s", token);
            }
        } else {
            wrong(parsed, IDS_BAD_SWITCH, token, "");
        }
    }
    if (parsed->start && !parsed->folder[0])
        wrong(parsed, IDS_START_WITHOUT_FOLDER, "", "", ENDING_NO_FOLDER);
    return parsed->error[0] != 0;
}

int parse_wide_command_line(const WCHAR *wide, CommandLine *parsed)
{
    // a character takes at most 3 bytes in an ANSI code page (65001)
    static char line[32768 * 3 + 8], mask[sizeof line];
    size_t have = 0;
    for (const WCHAR *at = wide; *at && have + 8 < sizeof line;) {
        int units = IS_HIGH_SURROGATE(at[0]) && IS_LOW_SURROGATE(at[1]) ? 2 : 1, lost;
        int got = ansi_from_wide(CP_ACP, at, units, line + have, 8, &lost);
        memset(mask + have, lost, got);
        have += got;
        at += units;
    }
    line[have] = 0;
    lost_line = line, lost_mask = mask;
    int wrong_line = parse_command_line(line, parsed);
    lost_line = lost_mask = NULL;
    return wrong_line;
}

int command_line_language(const char *line)
{
    char token[COMMAND_LINE_FOLDER_SIZE + 16];
    int cut;
    for (const char *p = after_program_path(line); next_token(&p, token, sizeof token, &cut);) {
        const char *value = NULL;
        if (is_switch(token) && switch_is(token, "lang", &value))
            return language_named(value);
    }
    return -1;
}
