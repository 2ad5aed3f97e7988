// The one reader of the settings file and the step scripts. Notepad saves
// UTF-8 without a byte-order mark (Windows 10 and 11), UTF-8 with one, UTF-16
// ("Unicode"), or the ANSI code page; older files are code page 932. Each is
// read whole into the ANSI code page the program works in, through our own
// code: the profile API of one system decodes a byte-order mark that
// another's takes for text.
#include <stdlib.h>
#include <string.h>
#include "steps/step_runner.h"
#include "support/messages.h"
#include "support/system_calls.h"

// The text of bytes as they are (the ANSI code page's own, or ASCII).
static DWORD keep_as_is(const char *bytes, size_t size, TextFile *file)
{
    file->text = (char *)malloc(size + 1);
    if (!file->text)
        return ERROR_NOT_ENOUGH_MEMORY;
    memcpy(file->text, bytes, size);
    file->text[size] = 0;
    file->length = size;
    return 0;
}

// The text of UTF-16 units in the ANSI code page, line by line, each line
// that has a character the code page can't show marked. The number of such
// lines, or -1 when memory runs out.
static int convert(const WCHAR *wide, size_t units, TextFile *file)
{
    int lines = 1, lost_lines = 0;
    for (size_t i = 0; i < units; ++i)
        lines += wide[i] == L'\n';
    // a unit takes at most 3 bytes (UTF-8), "?" for one that is lost 1
    size_t room = units * 3 + 1;
    file->text = (char *)malloc(room);
    file->lost = (unsigned char *)calloc((size_t)lines + 1, 1);
    if (!file->text || !file->lost)
        return -1;
    file->lines = lines;
    size_t have = 0;
    int line = 1;
    for (size_t at = 0; at < units; ++line) {
        size_t end = at;
        while (end < units && wide[end] != L'\n')
            ++end;
        end += end < units;   // the LF goes with its line
        int lost;
        have += ansi_from_wide(CP_ACP, wide + at, (int)(end - at), file->text + have, (int)(room - have), &lost);
        file->lost[line] = (unsigned char)lost;
        lost_lines += lost;
        at = end;
    }
    file->text[have] = 0;
    file->length = have;
    return lost_lines;
}

// bytes (size) of code page (CP_UTF8, 932) through UTF-16 into the ANSI code
// page: the lost lines, or -1 when memory runs out.
static int convert_from(UINT code_page, const char *bytes, size_t size, TextFile *file)
{
    int units = size ? MultiByteToWideChar(code_page, 0, bytes, (int)size, NULL, 0) : 0;
    WCHAR *wide = (WCHAR *)malloc(((size_t)units + 1) * sizeof(WCHAR));
    if (!wide)
        return -1;
    units = size ? MultiByteToWideChar(code_page, 0, bytes, (int)size, wide, units) : 0;
    int lost = convert(wide, (size_t)units, file);
    free(wide);
    return lost;
}

static int is_ascii(const unsigned char *bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] >= 0x80)
            return 0;
    return 1;
}

static DWORD decode(const unsigned char *bytes, size_t size, TextFile *file)
{
    int lost;
    if (size >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
        // UTF-16, little-endian as Notepad's "Unicode" or big-endian
        size_t units = (size - 2) / 2;
        WCHAR *wide = (WCHAR *)malloc((units + 1) * sizeof(WCHAR));
        if (!wide)
            return ERROR_NOT_ENOUGH_MEMORY;
        for (size_t i = 0; i < units; ++i)
            wide[i] = bytes[0] == 0xFF ? (WCHAR)(bytes[2 + 2 * i] | bytes[3 + 2 * i] << 8)
                                       : (WCHAR)(bytes[2 + 2 * i] << 8 | bytes[3 + 2 * i]);
        lost = convert(wide, units, file);
        free(wide);
    } else if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        lost = convert_from(CP_UTF8, (const char *)bytes + 3, size - 3, file);
    } else if (is_ascii(bytes, size)) {
        return keep_as_is((const char *)bytes, size, file);
    } else {
        // No byte-order mark: the reading whose every character this Windows
        // can show, UTF-8 first. A file in code page 932 is seldom valid
        // UTF-8; where it is (half-width katakana "ﾃｩ" is C3 A9, UTF-8 "é"),
        // code page 932 keeps it byte for byte, while a Windows that has "é"
        // and no katakana shows "é". Valid UTF-8 that is no code page 932
        // and has a character this Windows can't show is UTF-8 all the same.
        const char *text = (const char *)bytes;
        int utf8 = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, (int)size, NULL, 0) > 0;
        if (utf8) {
            if ((lost = convert_from(CP_UTF8, text, size, file)) == 0)
                return 0;
            release_text_file(file);
        }
        if (!utf8 || MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text, (int)size, NULL, 0) > 0) {
            if (GetACP() == 932)
                return keep_as_is(text, size, file);
            if ((lost = convert_from(932, text, size, file)) == 0 || !utf8)
                return lost < 0 ? ERROR_NOT_ENOUGH_MEMORY : 0;
            release_text_file(file);
        }
        lost = convert_from(CP_UTF8, text, size, file);
    }
    return lost < 0 ? ERROR_NOT_ENOUGH_MEMORY : 0;
}

DWORD read_text_file(const char *path, TextFile *file)
{
    memset(file, 0, sizeof *file);
    HANDLE handle = win.CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() ? GetLastError() : ERROR_FILE_NOT_FOUND;
    DWORD high = 0, size = win.GetFileSize(handle, &high), got = 0, code = 0;
    if (high || size > TEXT_FILE_LIMIT)
        size = TEXT_FILE_LIMIT;
    unsigned char *bytes = (unsigned char *)malloc(size + 1);
    if (!bytes)
        code = ERROR_NOT_ENOUGH_MEMORY;
    for (DWORD part = 0; !code && got < size; got += part)
        if (!win.ReadFile(handle, bytes + got, size - got, &part, NULL))
            code = GetLastError() ? GetLastError() : ERROR_READ_FAULT;
        else if (part == 0)
            break;   // the file got shorter meanwhile
    win.CloseHandle(handle);
    if (!code)
        code = decode(bytes, got, file);
    free(bytes);
    if (code)
        release_text_file(file);
    return code;
}

void release_text_file(TextFile *file)
{
    free(file->text);
    free(file->lost);
    memset(file, 0, sizeof *file);
}

int next_text_line(TextFile *file, char *line, size_t size)
{
    if (!file->text || file->at >= file->length || size < 2)
        return 0;
    size_t have = 0;
    while (have + 1 < size && file->at < file->length) {
        char c = file->text[file->at++];
        line[have++] = c;
        if (c == '\n')
            break;
    }
    line[have] = 0;
    return 1;
}

int text_line_lost(const TextFile *file, int line)
{
    return file->lost && line >= 1 && line <= file->lines && file->lost[line];
}

int next_step_line(TextFile *file, char *line)
{
    size_t from = file->at;
    if (!next_text_line(file, line, STEP_LINE_SIZE))
        return 0;
    size_t length = file->at - from;
    // the buffer ran out before the line did
    int whole = line[length - 1] == '\n' || file->at >= file->length;
    if (line[length - 1] == '\n')
        --length;
    if (length && line[length - 1] == '\r')
        --length;
    if (whole && length <= STEP_LINE_LIMIT)
        return 1;
    while (file->at < file->length && file->text[file->at++] != '\n')
        ;
    return -1;
}
