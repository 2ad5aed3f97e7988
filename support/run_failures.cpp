// The failures a run has shown, kept in order for the run's end. A later
// pass's progress text or a cleared status box must not leave the user
// believing that a run with a failed file or a differing byte went well.
#include <stdio.h>
#include <string.h>
#include "support/messages.h"

// Room kept free for the line that counts what did not fit.
#define MORE_LINE_ROOM 80

static char failure_lines[STATUS_TEXT_SIZE];
static char failure_text[STATUS_TEXT_SIZE];
static int failure_count;
static int lines_kept;

void clear_run_failures(void)
{
    failure_lines[0] = 0;
    failure_count = 0;
    lines_kept = 0;
}

void note_run_failure(const char *text)
{
    ++failure_count;
    // the system texts end with a line break of their own
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
        --length;
    size_t have = strlen(failure_lines);
    size_t separator = have ? 2 : 0;
    // a text is kept whole or not at all, like the system texts in a report;
    // once one is left out, so are the later ones: the first are shown, in order
    if (lines_kept < failure_count - 1 || have + separator + length > STATUS_TEXT_LIMIT - MORE_LINE_ROOM)
        return;
    if (separator)
        memcpy(failure_lines + have, "\r\n", 2);
    memcpy(failure_lines + have + separator, text, length);
    failure_lines[have + separator + length] = 0;
    ++lines_kept;
}

int run_failure_count(void)
{
    return failure_count;
}

const char *run_failure_text(void)
{
    if (lines_kept == failure_count)
        return failure_lines;
    char more[MORE_LINE_ROOM];
    snprintf(more, sizeof more, program_text(IDS_MORE_FAILURES), failure_count - lines_kept);
    snprintf(failure_text, sizeof failure_text, "%s%s%s", failure_lines, lines_kept ? "\r\n" : "",
             more);
    return failure_text;
}
