// Verify pass: reads every work file back past the system's cache and, when
// the step names what was written (a byte value, a byte list, "dod"), checks
// every byte read against it.
#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

static int compare_bytes;
// The work folder's sector size: an uncached read starts on a whole sector.
static DWORD sector_bytes = MIN_WRITE_BYTES;
// The work files' size when the pass began, and what it has read since.
static unsigned long long verify_whole, verify_read_bytes;
// What the fill wrote, by file offset: byte k of a work file is byte k mod 512
// here. Each write of the fill starts at the buffer's start and at a file
// offset that is a multiple of 512 (an uncached volume moves a file's end in
// whole sectors; the record-slack pass only cuts files back on 64 KiB lines).
static unsigned char expected_block[BYTE_LIST_MAX];
static unsigned char list_values[BYTE_LIST_MAX];
static int mismatch_seen;
static char verify_status[STATUS_TEXT_SIZE];

// Puts the pass's status buffer, cut at 771 characters, into the status box;
// every text the pass shows there tells of a failure of the run.
static void show_failure(void)
{
    verify_status[STATUS_TEXT_LIMIT] = 0;
    set_status_text(verify_status);
    note_run_failure(verify_status);
}

// Asks whether to skip the damaged stretch; true when the user said go on.
static int ask_to_skip(const char *path, unsigned long long offset)
{
    unattended_answer = skip_damaged_sectors ? IDYES : IDNO;
    int answer = error_box(run_context.owner, MB_YESNO | MB_ICONWARNING, "%s\r\n%s: near %d\r\n",
                           program_text(IDS_CONTINUE_QUESTION), path, (int)offset);
    format_system_error(verify_status, STATUS_TEXT_LIMIT, "ReadFile(%s): near %d ", path,
                        (int)offset);
    show_failure();
    return answer != IDNO;
}

// True when the bytes read at offset differ from what the fill put there.
static int block_differs(const unsigned char *data, DWORD length, unsigned long long offset)
{
    DWORD phase = (DWORD)(offset % BYTE_LIST_MAX);
    for (DWORD done = 0; done < length; phase = 0) {
        DWORD run = BYTE_LIST_MAX - phase;
        if (run > length - done)
            run = length - done;
        if (memcmp(data + done, expected_block + phase, run) != 0)
            return 1;
        done += run;
    }
    return 0;
}

int verify_file(const char *path)
{
    unsigned char *buffer = run_context.transfer_buffer;

    if (abort_requested(run_context.abort_flag))
        return 1;

    HANDLE file = file_calls.create(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_FLAG_NO_BUFFERING, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        run_context.last_error = GetLastError();
        return (int)report_pass_error("CreateFile(%s): ", path);
    }

    // work files stay below 1 GiB; a wider offset keeps a larger stray file
    // from wrapping the offset round and reading for ever
    unsigned long long size = GetFileSize(file, NULL);
    unsigned long long offset = 0;
    mismatch_seen = 0;

    do {
        if (abort_requested(run_context.abort_flag)) {
            CloseHandle(file);
            return 1;
        }
        DWORD got = 0;
        BOOL read_ok = file_calls.read(file, buffer, TRANSFER_SIZE, &got, NULL);
        if (got > TRANSFER_SIZE)
            got = TRANSFER_SIZE;

        if (read_ok) {
            if (compare_bytes && !mismatch_seen)
                mismatch_seen = block_differs(buffer, got, offset);
            verify_read_bytes += got;
            run_totals.bytes_verified += got;
            report_pass_progress(verify_read_bytes, verify_whole);
            // what is left to read, and how fast it goes, as the fill shows its free space
            show_progress(verify_whole > verify_read_bytes ? verify_whole - verify_read_bytes : 0);
            // nothing delivered below the size: the file shrank, and reading
            // again would only deliver nothing again
            if (got == 0)
                break;
            offset += got;
            continue;
        }

        DWORD code = GetLastError();
        // a read cut short by the stop is the stop, not damaged media
        if (abort_requested(run_context.abort_flag)) {
            CloseHandle(file);
            return 1;
        }
        run_context.last_error = code;
        if (code != ERROR_CRC && code != ERROR_SECTOR_NOT_FOUND) {
            CloseHandle(file);
            report_pass_error("ReadFile(%s): ", path);
            return 3;
        }
        if (!ask_to_skip(path, offset)) {
            CloseHandle(file);
            return 3;
        }
        // on past the damaged sector: uncached reads start on a sector boundary
        offset = (offset + sector_bytes) & ~(unsigned long long)(sector_bytes - 1);
        LONG high = (LONG)(offset >> 32);
        SetLastError(NO_ERROR);
        if (file_calls.seek(file, (LONG)(DWORD)offset, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
            GetLastError() != NO_ERROR) {
            // reading on from anywhere else would compare the wrong bytes
            run_context.last_error = GetLastError();
            CloseHandle(file);
            report_pass_error("SetFilePointer(%s): ", path);
            return 3;
        }
    } while (offset < size);

    CloseHandle(file);
    if (compare_bytes && mismatch_seen) {
        ++run_totals.differing_files;
        snprintf(verify_status, STATUS_TEXT_SIZE, "Verify error in %s", path);
        show_failure();
        return 3;
    }
    return 0;
}

// The expected bytes for a step's word, as the fill pass reads the same word.
// 0 when there is nothing to compare with: "dod" before any "dod" fill of the run.
static int expect_from_word(const char *word)
{
    if (_stricmp(word, "dod") == 0) {
        if (dod_fill_byte < 0)
            return 0;
        memset(expected_block, dod_fill_byte, sizeof expected_block);
    } else {
        // one value or a list, read as the fill reads it: "0xff", "255",
        // "0377" and "-1" all mean 0xFF, a word without a number means 0
        parse_byte_block(word, list_values, expected_block);
    }
    return 1;
}

// Names without an extension: "*." means them, but not every listing honours
// that (Wine's returns every name).
static int is_verified_entry(const struct _finddata_t *entry)
{
    return strcmp(entry->name, ".") != 0 && strcmp(entry->name, "..") != 0 &&
           !(entry->attrib & _A_SUBDIR) && !strchr(entry->name, '.');
}

// The bytes the walk will read: the sizes of the files the pattern lists.
static unsigned long long files_to_read(const char *pattern)
{
    unsigned long long whole = 0;
    struct _finddata_t entry;
    intptr_t listing = _findfirst(pattern, &entry);
    if (listing == -1)
        return 0;
    do {
        if (is_verified_entry(&entry))
            whole += entry.size;
    } while (_findnext(listing, &entry) == 0);
    _findclose(listing);
    return whole;
}

int verify_folder(int count, const char *const *args)
{
    const char *pattern = args[1];
    compare_bytes = 0;
    mismatch_seen = 0;

    char *folder = path_dir_part(pattern);
    if (count >= 3)
        compare_bytes = expect_from_word(args[2]);

    if (!run_context.transfer_buffer) {
        run_context.last_error = GetLastError();
        report_pass_error("VirtualAlloc(): ");
        free(folder);
        return 1;
    }

    sector_bytes = volume_sector_bytes(folder);
    // the whole the progress is measured against: the files as the pass finds them
    verify_whole = files_to_read(pattern);
    verify_read_bytes = 0;
    reset_progress();

    struct _finddata_t entry;
    intptr_t listing = _findfirst(pattern, &entry);
    if (listing == -1) {
        snprintf(verify_status, STATUS_TEXT_SIZE, "_findfirst(%s): %s", pattern, strerror(errno));
        show_failure();
        free(folder);
        return 0;
    }
    int result = 0;
    do {
        if (!is_verified_entry(&entry))
            continue;
        char *path = path_join(folder, entry.name);
        // one file's trouble has been shown; the others are still checked,
        // but a stop ends the walk: a verify cut short has not verified
        if (verify_file(path) == 1 || abort_requested(run_context.abort_flag))
            result = 1;
        free(path);
    } while (result == 0 && _findnext(listing, &entry) == 0);

    _findclose(listing);
    // An erase that cut its files to nothing, or files gone meanwhile: a
    // verify that read no byte after the run wrote some has checked nothing.
    if (result == 0 && verify_read_bytes == 0 && run_totals.bytes_written > 0) {
        snprintf(verify_status, STATUS_TEXT_SIZE, program_text(IDS_NOTHING_TO_VERIFY), folder);
        show_failure();
    }
    free(folder);
    return result;
}

int verify_step(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
                const char *word, const char *work_folder)
{
    (void)step_id;
    run_context.owner = owner;
    run_context.status_id = status_id;
    run_context.abort_flag = abort_flag;

    // names without an extension: the work files, not what else lies there
    char *pattern = path_join(work_folder, "*.");
    VerifyArgs args = { PROGRAM_NAME, pattern, NULL };
    int count = 2;
    if (word && _strnicmp(word, "random", 6) != 0) {
        args[2] = word;
        count = 3;
    }
    set_status_text("verify");
    int result = verify_folder(count, args);
    free(pattern);
    return result;
}
