// Fill pass: overwrites the free space of the work folder's volume with
// numbered work files until the volume refuses a 512-byte write.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include <mmsystem.h>
#include "support/messages.h"

int random_mode;
int dod_mode;
int byte_list_count;
int nomft_mode;
unsigned char byte_values[BYTE_LIST_MAX];
unsigned char byte_pattern[BYTE_LIST_MAX];
int dod_fill_byte = -1;
SeedClockProc seed_clock = timeGetTime;

// Set when the pass has reported a failure: it then ends as one (result 3).
static int pass_failed;
// The file being made follows a full 1 GiB one.
static int after_full_file;

DWORD format_work_file_path(char *path, const char *folder, unsigned number)
{
    int length = snprintf(path, MAX_PATH, "%s\\%8.8u", folder, number);
    if (length < 0 || length > MAX_PATH - 1) {
        // a cut name would be another file's name
        path[0] = 0;
        return ERROR_FILENAME_EXCED_RANGE;
    }
    return 0;
}

// Low 8 bits of a word read as strtol reads it with base 0; out-of-range
// values come back clamped to the ends of the 32-bit range.
static unsigned char word_byte(const char *word, char **end)
{
    long value = strtol(word, end, 0);
    return (unsigned char)(value & 0xFF);
}

int parse_byte_block(const char *word, unsigned char *values, unsigned char *block)
{
    int count = 0;
    const char *position = word;

    while (*position && count < BYTE_LIST_MAX) {
        char *end;
        values[count++] = word_byte(position, &end);
        // anything but a comma here ends the list; only a comma moves us on,
        // so the walk always advances and always ends
        if (*end != ',')
            break;
        position = end + 1;
    }

    for (int k = 0; k < BYTE_LIST_MAX; ++k)
        block[k] = count ? values[k % count] : 0;
    return count;
}

int parse_byte_list(const char *word)
{
    return parse_byte_block(word, byte_values, byte_pattern);
}

void apply_byte_list(unsigned char *destination, unsigned length)
{
    unsigned done = 0;
    for (; length - done >= BYTE_LIST_MAX; done += BYTE_LIST_MAX)
        memcpy(destination + done, byte_pattern, BYTE_LIST_MAX);
    memcpy(destination + done, byte_pattern, length - done);
}

int fill_work_file(const char *path)
{
    unsigned char *buffer = run_context.transfer_buffer;
    unsigned long long free_bytes;
    DWORD written;

    if (abort_requested(run_context.abort_flag))
        return 1;

    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        // the file after a full one finds no room: the volume's normal end
        if (after_full_file && (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL))
            return 1;
        run_context.last_error = code;
        pass_failed = 1;
        report_pass_error("CreateFile(%s): ", path);
        // a failure without a code must still end the numbering
        return code > 1 ? (int)code : (int)ERROR_GEN_FAILURE;
    }

    fill_random(FIRST_WRITE_BYTES);
    // the first write's outcome does not matter: the main phase rewrites from 0
    WriteFile(file, buffer, FIRST_WRITE_BYTES, &written, NULL);
    SetFilePointer(file, 0, NULL, FILE_BEGIN);

    LONG total = 0;
    DWORD chunk;
    for (;;) {
        DWORD failed = query_free_bytes(&free_bytes);
        if (failed) {
            pass_failed = 1;
            CloseHandle(file);
            return (int)failed;
        }
        show_progress(free_bytes);
        if (free_bytes == 0)
            chunk = MIN_WRITE_BYTES;
        else if (free_bytes < TRANSFER_SIZE)
            chunk = (DWORD)free_bytes;
        else
            chunk = TRANSFER_SIZE;
        // a random pass writes only words drawn for this very write
        fill_random((int)chunk);

        if (abort_requested(run_context.abort_flag)) {
            CloseHandle(file);
            return 1;
        }
        written = 0;
        WriteFile(file, buffer, chunk, &written, NULL);
        // a short count, not the call's result, tells us the volume is full;
        // a complete write smaller than the buffer means the same
        if (written != TRANSFER_SIZE)
            break;
        total += (LONG)chunk;
        if (total >= MAX_FILE_BYTES) {
            CloseHandle(file);
            return 0;
        }
    }

    // Tail: halve the write until the volume refuses even 512 bytes.
    DWORD size = chunk / 2;
    while (size >= MIN_WRITE_BYTES) {
        // a failed probe has shown its own box; keep going with the smallest write
        if (query_free_bytes(&free_bytes) != 0 || free_bytes == 0)
            size = MIN_WRITE_BYTES;
        else if (free_bytes < TRANSFER_SIZE)
            size = (DWORD)free_bytes;

        if (abort_requested(run_context.abort_flag)) {
            CloseHandle(file);
            return 1;
        }
        written = 0;
        WriteFile(file, buffer, size, &written, NULL);
        if (written != size)
            size /= 2;
    }
    CloseHandle(file);
    return 1;
}

// Fills the whole buffer from the pattern word and sets the pattern state.
static void prepare_pattern(int count, const char *const *args)
{
    unsigned char *buffer = run_context.transfer_buffer;

    if (count < 3) {
        memset(buffer, 0, TRANSFER_SIZE);
    } else {
        const char *word = args[2];
        if (_stricmp(word, "random") == 0) {
            random_mode = 1;
        } else if (_stricmp(word, "dod") == 0) {
            dod_mode = 1;
        } else {
            if (strchr(word, ','))
                byte_list_count = parse_byte_list(word);
            char *end;
            memset(buffer, word_byte(word, &end), TRANSFER_SIZE);
        }
    }

    const char *last_word = args[count - 1];
    if (count >= 3 && _stricmp(last_word, "/nomft") == 0)
        nomft_mode = 1;

    if (random_mode || dod_mode)
        mt_seed(seed_clock());
    if (dod_mode) {
        // kept for the run: a later "verify dod" compares with this byte
        dod_fill_byte = (unsigned char)mt_next();
        memset(buffer, dod_fill_byte, TRANSFER_SIZE);
    }

    if (byte_list_count)
        apply_byte_list(buffer, TRANSFER_SIZE);
}

int erase_free_space(int count, const char *const *args)
{
    const char *folder = args[1];
    char saved_directory[MAX_PATH];
    char path[MAX_PATH];
    int result = 0;

    random_mode = 0;
    dod_mode = 0;
    byte_list_count = 0;
    nomft_mode = 0;

    if (!get_free_ex_ready)
        look_up_free_ex();
    // speed samples start afresh with every pass
    reset_progress();

    DWORD saved_length = GetCurrentDirectoryA(MAX_PATH, saved_directory);
    if (saved_length == 0 || saved_length >= MAX_PATH)
        saved_directory[0] = 0;
    // the basic free-space query measures the current directory's volume: in
    // any other directory it would measure some other volume
    if (!SetCurrentDirectoryA(folder)) {
        run_context.last_error = GetLastError();
        report_pass_error("SetCurrentDirectory(%s): ", folder);
        return 3;
    }
    DWORD probe_length = GetCurrentDirectoryA(MAX_PATH, probe_path);
    if (probe_length == 0 || probe_length >= MAX_PATH)
        probe_path[0] = 0;

    if (!run_context.transfer_buffer) {
        run_context.last_error = GetLastError();
        report_pass_error("VirtualAlloc(): ");
        if (saved_directory[0])
            SetCurrentDirectoryA(saved_directory);
        return 1;
    }

    prepare_pattern(count, args);

    pass_failed = 0;
    unsigned number;
    for (number = 1; number <= MAX_WORK_FILE_NUMBER; ++number) {
        if (format_work_file_path(path, folder, number) != 0) {
            if (abort_requested(run_context.abort_flag))
                break;
            // too long a name fails like a file that can't be created
            run_context.last_error = ERROR_FILENAME_EXCED_RANGE;
            pass_failed = 1;
            report_pass_error("CreateFile(%s\\%8.8u): ", folder, number);
            break;
        }
        // the loop stops at the first file that is not full
        after_full_file = number > 1;
        if (fill_work_file(path) != 0)
            break;
    }

    if (pass_failed)        // free space is left unwritten: no success to claim
        result = 3;
    else if (abort_requested(run_context.abort_flag))
        result = 1;
    else    // what the volume still takes inside its file records
        fill_record_slack(number > MAX_WORK_FILE_NUMBER ? MAX_WORK_FILE_NUMBER : number, folder);

    if (saved_directory[0])
        SetCurrentDirectoryA(saved_directory);
    return result;
}

static int run_erase(HWND owner, int status_id, volatile LONG *abort_flag, int count,
                     const char *const *args)
{
    run_context.owner = owner;
    run_context.status_id = status_id;
    run_context.abort_flag = abort_flag;
    int result = erase_free_space(count, args);
    if (result == 0)
        set_status_text("");
    return result;
}

int erase_step(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
               const char *word, const char *work_folder)
{
    (void)step_id;
    const char *args[4] = { PROGRAM_NAME, work_folder, word, NULL };
    return run_erase(owner, status_id, abort_flag, word ? 3 : 2, args);
}

int erase_step_nomft(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
                     const char *word, const char *work_folder)
{
    (void)step_id;
    const char *args[4] = { PROGRAM_NAME, work_folder, word ? word : "/nomft", "/nomft" };
    return run_erase(owner, status_id, abort_flag, word ? 4 : 3, args);
}
