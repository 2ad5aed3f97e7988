// Joining and cutting paths as byte strings in the ANSI code page, without
// touching the file system.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "support/messages.h"

static int is_separator(char c)
{
    return c == '\\' || c == '/';
}

// Callers use joined paths and folder parts without a check, so running out
// of memory there ends the program with a line on stderr.
static void out_of_memory(void)
{
    fprintf(stderr, "%s: inadequate memory.\n", PROGRAM_NAME);
    exit(1);
}

int is_ascii_alpha(int c)
{
    // bytes of the upper half never count, whatever the code page calls them
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

static int is_drive(const char *path)
{
    return is_ascii_alpha((unsigned char)path[0]) && path[1] == ':';
}

char *path_join(const char *folder, const char *name)
{
    size_t folder_length = strlen(folder);
    size_t name_length = strlen(name);
    const char *prefix = folder;
    const char *between = "";

    if (folder_length == 1 && is_separator(folder[0])) {
        prefix = "\\";
    } else if ((folder_length == 2 && is_drive(folder)) ||
               (folder_length == 3 && is_drive(folder) && is_separator(folder[2]))) {
        // "C:x" stays drive-relative; "C:\" and "C:/" keep their own separator
    } else if (folder_length > 0) {
        // a trailing separator is not looked at: "D:\data\" gets a second one
        between = "\\";
    }

    size_t size = strlen(prefix) + strlen(between) + name_length + 1;
    char *joined = (char *)malloc(size);
    if (!joined)
        out_of_memory();
    snprintf(joined, size, "%s%s%s", prefix, between, name);
    return joined;
}

static size_t root_prefix_length(const char *path)
{
    if (is_separator(path[0]))
        return is_separator(path[1]) ? 2 : 1;
    if (is_drive(path))
        return is_separator(path[2]) ? 3 : 2;
    return 0;
}

// Cuts the last component off a copy of path; the root prefix survives.
static char *cut_last_component(const char *path)
{
    char *copy = strdup(path);
    if (!copy)
        return NULL;
    size_t root = root_prefix_length(copy);
    char *cut = copy + root;
    for (char *p = cut; *p; ++p) {
        if (IsDBCSLeadByte((BYTE)*p) && p[1]) {
            ++p;   // a trail byte of 0x5C is part of the character, no separator
        } else if (is_separator(*p)) {
            cut = p;
        }
    }
    *cut = 0;
    return copy;
}

char *path_dir_part(const char *path)
{
    char *dir = cut_last_component(path);
    if (!dir)
        out_of_memory();
    return dir;
}

char *parent_path(const char *path)
{
    return cut_last_component(path);
}

// The names Windows keeps for devices in every folder, COM0 and LPT0 and
// the superscript digits included (Windows 10 and later).
static int is_device_name(const WCHAR *name)
{
    static const WCHAR *const names[] = { L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$" };
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (lstrcmpiW(name, names[i]) == 0)
            return 1;
    if (wcslen(name) != 4 || (_wcsnicmp(name, L"COM", 3) != 0 && _wcsnicmp(name, L"LPT", 3) != 0))
        return 0;
    WCHAR digit = name[3];
    return (digit >= L'0' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
}

int path_names_device(const char *path)
{
    // \\.\ (or //./) is the device namespace; \\?\ and \??\ hand the name
    // over unchecked
    if (is_separator(path[0]) && is_separator(path[1]) && path[2] == '.' && is_separator(path[3]))
        return PATH_DEVICE;
    if (is_separator(path[0]) && (is_separator(path[1]) || path[1] == '?') && path[2] == '?' &&
        is_separator(path[3]))
        return PATH_RAW;
    // the last part, with no drive before it, up to its first dot or colon,
    // without the blanks that end it: "nul .csv" and "C:nul:" are NUL too
    const char *last = is_drive(path) ? path + 2 : path;
    for (const char *at = last; *at; ++at) {
        if (IsDBCSLeadByte((BYTE)*at) && at[1])
            ++at;
        else if (is_separator(*at))
            last = at + 1;
    }
    size_t length = strcspn(last, ".:");
    while (length > 0 && last[length - 1] == ' ')
        --length;
    WCHAR name[8];
    int units = length < sizeof name ? MultiByteToWideChar(CP_ACP, 0, last, (int)length, name, 7) : 0;
    if (units <= 0)
        return 0;
    name[units] = 0;
    return is_device_name(name) ? PATH_DEVICE : 0;
}
