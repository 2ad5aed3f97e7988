// The run's journal: where a long run stands, in its work folder, so that a
// run the session's end (or a power cut) interrupted can go on from the step
// it was in. A few hundred bytes at the start of each step.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "steps/step_runner.h"
#include "engine/wipe_engine.h"

#define JOURNAL_VERSION 1
// Room for every line of a journal, the check included.
#define JOURNAL_TEXT_SIZE 2048

char run_id[40];
volatile LONG resume_interrupted_run;

unsigned long long text_hash(const void *bytes, size_t length, unsigned long long hash)
{
    // FNV-1a, 64 bits: a changed byte anywhere changes it
    const unsigned char *at = (const unsigned char *)bytes;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ at[i]) * 0x100000001B3ull;
    return hash;
}

// The journal's path, and the one a new journal is written to before it
// takes the old one's place. 0, or the error code when the path does not fit.
static DWORD journal_paths(const char *work_folder, char *path, char *next)
{
    int length = snprintf(path, MAX_PATH, "%s\\" JOURNAL_NAME, work_folder);
    int next_length = snprintf(next, MAX_PATH, "%s\\" JOURNAL_NAME ".new", work_folder);
    if (length < 0 || length >= MAX_PATH || next_length < 0 || next_length >= MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    return 0;
}

// The journal's lines, the last one the check of all before it.
static int compose_journal(const RunJournal *journal, char *text, size_t size)
{
    int length = snprintf(text, size,
                          "vanta journal=%d\r\nfolder=%s\r\nmethod=%d\r\nscript=%016llx\r\nstep=%d\r\n"
                          "steps=%d\r\nrun_id=%s\r\nstarted=%s\r\ncreated=%d\r\npasses=%d\r\n"
                          "bytes_written=%llu\r\nbytes_verified=%llu\r\n",
                          JOURNAL_VERSION, journal->folder, journal->method, journal->script_hash,
                          journal->step, journal->steps, journal->run_id, journal->started,
                          journal->created, journal->passes, journal->bytes_written,
                          journal->bytes_verified);
    if (length < 0 || (size_t)length >= size)
        return -1;
    int check = snprintf(text + length, size - length, "check=%016llx\r\n",
                         text_hash(text, (size_t)length, TEXT_HASH_START));
    if (check < 0 || (size_t)check >= size - length)
        return -1;
    return length + check;
}

// The volume's allocation unit under the work folder; 64 KiB when it does not say.
static DWORD cluster_bytes_of(const char *work_folder)
{
    char root[MAX_PATH];
    DWORD per_cluster = 0, per_sector = 0, free_clusters, clusters;
    if (volume_root_of(work_folder, root) != 0 ||
        !GetDiskFreeSpaceA(root, &per_cluster, &per_sector, &free_clusters, &clusters) ||
        !per_cluster || !per_sector)
        return 0x10000;
    return per_cluster * per_sector;
}

DWORD write_journal(const char *work_folder, const RunJournal *journal)
{
    char path[MAX_PATH], next[MAX_PATH], text[JOURNAL_TEXT_SIZE];
    DWORD failed = journal_paths(work_folder, path, next);
    if (failed)
        return failed;
    int length = compose_journal(journal, text, sizeof text);
    if (length < 0)
        return ERROR_BUFFER_OVERFLOW;
    HANDLE file = CreateFileA(next, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    // The journal holds its clusters through the passes, where no fill
    // reaches: they are written whole, so that nothing a deleted file left
    // in them stays behind the text (zeros end the text).
    static const char zeros[0x10000] = {0};
    DWORD cluster = cluster_bytes_of(work_folder), written = 0;
    unsigned long long whole_size = ((unsigned long long)length + cluster - 1) / cluster * cluster;
    BOOL whole = WriteFile(file, text, (DWORD)length, &written, NULL) && written == (DWORD)length;
    for (unsigned long long done = (DWORD)length; whole && done < whole_size; done += written) {
        DWORD part = whole_size - done < sizeof zeros ? (DWORD)(whole_size - done) : (DWORD)sizeof zeros;
        whole = WriteFile(file, zeros, part, &written, NULL) && written == part;
    }
    whole = whole && FlushFileBuffers(file);
    failed = whole ? 0 : GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    CloseHandle(file);
    // the new one takes the old one's place in one move: a power cut leaves
    // the one or the other, never half of one
    if (!failed && !MoveFileExA(next, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        failed = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    if (failed)
        DeleteFileA(next);
    return failed;
}

// The value of key in the journal's text, copied into value (size bytes);
// false when the line is missing or does not fit.
static int journal_value(const char *text, const char *key, char *value, size_t size)
{
    size_t key_length = strlen(key);
    for (const char *line = text; *line; line = strchr(line, '\n') ? strchr(line, '\n') + 1 : "") {
        if (strncmp(line, key, key_length) != 0 || line[key_length] != '=')
            continue;
        const char *start = line + key_length + 1;
        size_t length = strcspn(start, "\r\n");
        if (length >= size)
            return 0;
        memcpy(value, start, length);
        value[length] = 0;
        return 1;
    }
    return 0;
}

static int journal_number(const char *text, const char *key, unsigned long long *number, int base)
{
    char value[32], *end;
    if (!journal_value(text, key, value, sizeof value) || !value[0])
        return 0;
    *number = strtoull(value, &end, base);
    return *end == 0;
}

DWORD read_journal(const char *work_folder, RunJournal *journal)
{
    char path[MAX_PATH], next[MAX_PATH], text[JOURNAL_TEXT_SIZE];
    memset(journal, 0, sizeof *journal);
    DWORD failed = journal_paths(work_folder, path, next);
    if (failed)
        return failed;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() ? GetLastError() : ERROR_FILE_NOT_FOUND;
    DWORD got = 0;
    BOOL read = ReadFile(file, text, sizeof text - 1, &got, NULL);
    CloseHandle(file);
    if (!read)
        return ERROR_INVALID_DATA;
    text[got] = 0;

    // every line but the check is covered by it: a journal cut short, a byte
    // changed or a line added is no journal
    const char *check_line = strstr(text, "check=");
    unsigned long long check = 0, values[8];
    if (!check_line || (check_line != text && check_line[-1] != '\n') ||
        !journal_number(check_line, "check", &check, 16) ||
        check != text_hash(text, (size_t)(check_line - text), TEXT_HASH_START))
        return ERROR_INVALID_DATA;
    const char *keys[] = {"vanta journal", "method", "step", "steps", "created", "passes",
                          "bytes_written", "bytes_verified"};
    for (int k = 0; k < 8; ++k)
        if (!journal_number(text, keys[k], &values[k], 10))
            return ERROR_INVALID_DATA;
    if (values[0] != JOURNAL_VERSION || !journal_number(text, "script", &journal->script_hash, 16) ||
        !journal_value(text, "folder", journal->folder, sizeof journal->folder) ||
        !journal_value(text, "run_id", journal->run_id, sizeof journal->run_id) ||
        !journal_value(text, "started", journal->started, sizeof journal->started))
        return ERROR_INVALID_DATA;
    journal->method = (int)values[1];
    journal->step = (int)values[2];
    journal->steps = (int)values[3];
    journal->created = values[4] != 0;
    journal->passes = (int)values[5];
    journal->bytes_written = values[6];
    journal->bytes_verified = values[7];
    if (journal->step < 1 || journal->step > journal->steps)
        return ERROR_INVALID_DATA;
    return 0;
}

void journal_local_time(char *text, size_t size)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(text, size, "%04u-%02u-%02u %02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute);
}

void delete_journal(const char *work_folder)
{
    char path[MAX_PATH], next[MAX_PATH];
    if (journal_paths(work_folder, path, next) == 0)
        DeleteFileA(path), DeleteFileA(next);
}

int script_hash(const char *script, unsigned long long *hash)
{
    char block[4096];
    FILE *file = fopen(script, "rb");
    if (!file)
        return 0;
    *hash = TEXT_HASH_START;
    for (size_t got; (got = fread(block, 1, sizeof block, file)) > 0;)
        *hash = text_hash(block, got, *hash);
    fclose(file);
    return 1;
}
