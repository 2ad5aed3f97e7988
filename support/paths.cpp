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
