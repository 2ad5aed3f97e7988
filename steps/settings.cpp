// The settings file next to the executable: method names, how many methods
// there are, and the folder picker's style. Read only, never written, and
// read by our own reader and parser (see text_file.cpp).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "steps/step_runner.h"
#include "support/messages.h"

char setting_value[256];
int use_new_browse_dialog = 2;
char method_name_note[STATUS_TEXT_SIZE];

// A file beside the executable: its path without the last cut characters,
// and tail. 0, or 1 when the path won't do (a cut path would name some other
// file); a path the system can't give at all ends the program.
static int beside_program(char *path, size_t size, size_t cut, const char *tail)
{
    char module[MAX_PATH + 1];
    DWORD length = module_file_name(NULL, module, sizeof module);
    if (length == 0) {
        run_context.last_error = GetLastError();
        error_box(NULL, MB_OK | MB_ICONERROR, "can't GetModuleFileName(NULL,,)\r\n");
        PostQuitMessage(1);
        return 1;
    }
    if (length > MAX_PATH || length < cut)
        return 1;
    int written = snprintf(path, size, "%.*s%s", (int)(length - cut), module, tail);
    return written < 0 || (size_t)written >= size;
}

// Copies length bytes of from into to (size bytes), cut before a character
// that does not fit whole.
static void copy_whole(char *to, size_t size, const char *from, size_t length)
{
    size_t have = 0;
    while (have < length && from[have]) {
        size_t step = IsDBCSLeadByte((BYTE)from[have]) && have + 1 < length ? 2 : 1;
        if (have + step >= size)
            break;
        have += step;
    }
    memcpy(to, from, have);
    to[have] = 0;
}

// The names of sections and keys, case ignored as the profile API ignores it
// (ASCII letters; the trail byte of a double-byte character is no letter).
// A key "*.en" stands for every key that ends in ".en".
static int same_name(const char *name, size_t length, const char *wanted)
{
    size_t wanted_length = strlen(wanted);
    if (wanted[0] == '*') {
        ++wanted, --wanted_length;
        if (length < wanted_length)
            return 0;
        name += length - wanted_length, length = wanted_length;
    }
    if (length != wanted_length)
        return 0;
    for (size_t i = 0; i < length; ++i) {
        char a = name[i], b = wanted[i];
        if (IsDBCSLeadByte((BYTE)a) && i + 1 < length) {
            if (a != b || name[i + 1] != wanted[i + 1])
                return 0;
            ++i;
        } else if ((a >= 'A' && a <= 'Z' ? a + 32 : a) != (b >= 'A' && b <= 'Z' ? b + 32 : b)) {
            return 0;
        }
    }
    return 1;
}

static int is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// The line (from 1) of key in section, its value in value (size bytes), or
// 0 when the file has none.
static int find_setting(const TextFile *file, const char *section, const char *key, char *value, size_t size)
{
    int in_section = 0, number = 0;
    const char *end = file->text ? file->text + file->length : NULL;
    for (const char *at = file->text; at && at < end;) {
        const char *line_end = (const char *)memchr(at, '\n', (size_t)(end - at));
        const char *next = line_end ? line_end + 1 : end;
        if (!line_end)
            line_end = end;
        ++number;
        while (at < line_end && is_blank(*at))
            ++at;
        while (line_end > at && is_blank(line_end[-1]))
            --line_end;
        if (at < line_end && *at == '[') {
            const char *close = line_end;
            while (close > at && close[-1] != ']')
                --close;
            const char *name = at + 1, *name_end = close > at ? close - 1 : at;
            while (name < name_end && is_blank(*name))
                ++name;
            while (name_end > name && is_blank(name_end[-1]))
                --name_end;
            in_section = close > at && same_name(name, (size_t)(name_end - name), section);
        } else if (in_section && at < line_end && *at != ';') {
            const char *equals = (const char *)memchr(at, '=', (size_t)(line_end - at));
            const char *name_end = equals;
            while (name_end && name_end > at && is_blank(name_end[-1]))
                --name_end;
            if (equals && same_name(at, (size_t)(name_end - at), key)) {
                const char *from = equals + 1;
                while (from < line_end && is_blank(*from))
                    ++from;
                // a value in quotes loses them
                if (line_end - from >= 2 && (*from == '"' || *from == '\'') && line_end[-1] == *from)
                    ++from, --line_end;
                copy_whole(value, size, from, (size_t)(line_end - from));
                return number;
            }
        }
        at = next;
    }
    return 0;
}

// The settings file read whole: 0, or 1 when there is no path for it (a
// missing file reads as one without text).
static int read_settings(TextFile *file, char *path, size_t size)
{
    memset(file, 0, sizeof *file);
    if (beside_program(path, size, 3, "ini"))
        return 1;
    read_text_file(path, file);
    return 0;
}

const char *read_setting(const char *section, const char *key)
{
    char path[MAX_PATH + 1];
    TextFile file;
    setting_value[0] = 0;
    if (read_settings(&file, path, sizeof path))
        return setting_value;
    find_setting(&file, section, key, setting_value, sizeof setting_value);
    release_text_file(&file);
    return setting_value;
}

int highest_method_index(void)
{
    int highest = atoi(read_setting("mode", "maxnumber"));
    return highest > HIGHEST_METHOD_INDEX ? HIGHEST_METHOD_INDEX : highest;
}

// A method without a name this run can show: its number and its script's
// step lines as the runner reads them, " / " between them.
static void unnamed_method(int index)
{
    char path[MAX_PATH + 16], line[STEP_LINE_SIZE], name[sizeof setting_value * 2];
    TextFile script;
    int length = snprintf(name, sizeof name, program_text(IDS_METHOD_UNNAMED), index);
    int count = 0;
    memset(&script, 0, sizeof script);
    if (!beside_program(path, sizeof path, 4, "") && snprintf(path + strlen(path), 16, "%d.run", index) > 0 &&
        read_text_file(path, &script) == 0 && next_text_line(&script, line, sizeof line))
        count = atoi(line);
    for (int step = 1; step <= count && next_text_line(&script, line, sizeof line) && length < (int)sizeof name; ++step) {
        size_t cut = strcspn(line, "\r");
        while (cut > 0 && strchr(" \t\n", line[cut - 1]))
            --cut;
        length += snprintf(name + length, sizeof name - length, "%s%.*s", step == 1 ? ": " : " / ", (int)cut, line);
    }
    release_text_file(&script);
    copy_whole(setting_value, sizeof setting_value, name, strlen(name));
}

const char *method_name(int index)
{
    char path[MAX_PATH + 1], key[16];
    TextFile file;
    setting_value[0] = 0;
    if (read_settings(&file, path, sizeof path))
        return setting_value;
    // an English run takes the English names where the file has them; a file
    // without any gives its names as they are
    int english = program_language == LANGUAGE_ENGLISH && find_setting(&file, "mode", "*.en", key, sizeof key);
    snprintf(key, sizeof key, english ? "%d.en" : "%d", index);
    int line = find_setting(&file, "mode", key, setting_value, sizeof setting_value);
    int lost = text_line_lost(&file, line);
    release_text_file(&file);
    if (lost && !method_name_note[0])
        snprintf(method_name_note, sizeof method_name_note, program_text(IDS_LINE_NOT_SHOWN), path, line);
    if (lost || (english && !setting_value[0]))
        unnamed_method(index);
    return setting_value;
}

int new_browse_dialog(void)
{
    // read once: a change of the file shows at the program's next start
    if (use_new_browse_dialog == 2)
        use_new_browse_dialog =
            strcmp(read_setting("SHBrowseForFolder", "BIF_NEWDIALOGSTYLE"), "1") == 0;
    return use_new_browse_dialog;
}
