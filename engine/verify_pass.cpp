// Verify pass: reads every work file back past the system's cache and, when
// the step names what was written (a byte value, a byte list, "dod"), checks
// every byte read against it.
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
// Damaged media in the file being read: the answer about going on past it
// (0 until asked, once a file) and the sectors gone past.
static int file_skip_answer;
static unsigned file_damaged;
int verify_gives_space_back;
int verify_must_read;
DWORD verify_give_back_bytes = GIVE_BACK_BYTES;

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

// Takes in the bytes read at offset: compared, counted, shown.
static void take_read(const unsigned char *data, DWORD got, unsigned long long offset)
{
    if (compare_bytes && !mismatch_seen)
        mismatch_seen = block_differs(data, got, offset);
    verify_read_bytes += got;
    run_totals.bytes_verified += got;
    report_pass_progress(verify_read_bytes, verify_whole);
    // what is left to read, and how fast it goes, as the fill shows its free space
    show_pass_progress(PASS_VERIFY, verify_read_bytes,
                       verify_whole > verify_read_bytes ? verify_whole - verify_read_bytes : 0);
}

// Moves the file's position to offset: 0, or 3 with the failure reported
// (reading on from anywhere else would compare the wrong bytes).
static int seek_to(HANDLE file, const char *path, unsigned long long offset)
{
    LONG high = (LONG)(offset >> 32);
    SetLastError(NO_ERROR);
    if (file_calls.seek(file, (LONG)(DWORD)offset, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        run_context.last_error = GetLastError();
        report_pass_error("SetFilePointer(%s): ", path);
        return 3;
    }
    return 0;
}

// A read that failed: 1 the stop (a read cut short by it is the stop, not
// damaged media), 3 a failure reported, 0 damaged media to go round.
static int read_failed(const char *path)
{
    DWORD code = GetLastError();
    if (abort_requested(run_context.abort_flag))
        return 1;
    run_context.last_error = code;
    if (code == ERROR_CRC || code == ERROR_SECTOR_NOT_FOUND)
        return 0;
    report_pass_error("ReadFile(%s): ", path);
    return 3;
}

// A stretch of a transfer that damaged media refused: read again at its own
// place in the buffer, and when it is refused again, in halves, down to the
// sector. Each damaged sector is counted and gone past; the first one of a
// file is asked about, and the answer holds for the rest of the file. 0 read,
// 1 the stop, 3 the file given up (reported).
static int read_around_damage(HANDLE file, const char *path, unsigned long long transfer_start,
                              unsigned long long offset, DWORD length)
{
    if (abort_requested(run_context.abort_flag))
        return 1;
    if (seek_to(file, path, offset))
        return 3;
    unsigned char *place = run_context.transfer_buffer + (offset - transfer_start);
    DWORD got = 0;
    if (file_calls.read(file, place, length, &got, NULL)) {
        take_read(place, got > length ? length : got, offset);
        return 0;
    }
    int failed = read_failed(path);
    if (failed)
        return failed;
    if (length > sector_bytes) {
        DWORD half = (length / 2) & ~(sector_bytes - 1);
        if (half == 0)
            half = sector_bytes;
        int result = read_around_damage(file, path, transfer_start, offset, half);
        return result ? result : read_around_damage(file, path, transfer_start, offset + half, length - half);
    }
    ++file_damaged;
    ++run_totals.damaged_sectors;
    if (!file_skip_answer)
        file_skip_answer = ask_to_skip(path, offset) ? IDYES : IDNO;
    return file_skip_answer == IDYES ? 0 : 3;
}

// Reads the open file from offset to its end in whole transfers. 0, 1 the
// stop, 3 the file given up (reported).
static int verify_to_end(HANDLE file, const char *path, unsigned long long offset)
{
    unsigned long long size = win.GetFileSize(file, NULL);
    if (seek_to(file, path, offset))
        return 3;
    do {
        if (abort_requested(run_context.abort_flag))
            return 1;
        DWORD got = 0;
        BOOL read_ok = file_calls.read(file, run_context.transfer_buffer, TRANSFER_SIZE, &got, NULL);
        if (read_ok) {
            take_read(run_context.transfer_buffer, got > TRANSFER_SIZE ? TRANSFER_SIZE : got, offset);
            // nothing delivered below the size: the file shrank, and reading
            // again would only deliver nothing again
            if (got == 0)
                break;
            offset += got > TRANSFER_SIZE ? TRANSFER_SIZE : got;
            continue;
        }
        int failed = read_failed(path);
        if (failed)
            return failed;
        // one damaged sector is one sector gone past, not the whole transfer
        // read again a sector further on for every sector it holds
        DWORD length = size - offset < TRANSFER_SIZE ? (DWORD)(size - offset) : TRANSFER_SIZE;
        length = (length + sector_bytes - 1) & ~(sector_bytes - 1);
        int result = read_around_damage(file, path, offset, offset, length ? length : sector_bytes);
        if (result)
            return result;
        offset += length ? length : sector_bytes;
        if (seek_to(file, path, offset))
            return 3;
    } while (offset < size);
    return 0;
}

int verify_file(const WorkEntry *entry)
{
    char path[MAX_PATH];
    DWORD code = 0;
    if (abort_requested(run_context.abort_flag))
        return 1;
    work_entry_path(entry->name, path);

    // A file that no later step reads again gives its space back as it is
    // read: from its end, a block at a time, each block read forward and then
    // cut off, so that the volume is full only for moments. Where the file
    // can't be opened for that (another program reads it), it is read whole.
    int give_back = verify_gives_space_back;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (give_back)
        file = open_work_file(entry->name, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_FLAG_NO_BUFFERING, &code);
    if (file == INVALID_HANDLE_VALUE) {
        give_back = 0;
        file = open_work_file(entry->name, GENERIC_READ, FILE_FLAG_NO_BUFFERING, &code);
    }
    if (file == INVALID_HANDLE_VALUE) {
        run_context.last_error = code;
        return (int)report_pass_error("CreateFile(%s): ", path);
    }

    mismatch_seen = 0;
    file_skip_answer = 0;
    file_damaged = 0;
    int result;
    if (!give_back) {
        result = verify_to_end(file, path, 0);
    } else {
        // work files stay below 1 GiB; a wider offset keeps a larger file
        // from wrapping round
        unsigned long long size = win.GetFileSize(file, NULL);
        // whole sectors, and whole transfers: each block is read forward as usual
        DWORD step = verify_give_back_bytes < TRANSFER_SIZE ? TRANSFER_SIZE : verify_give_back_bytes;
        unsigned long long block = size ? (size - 1) / step * step : 0;
        for (;; block -= step) {
            if ((result = verify_to_end(file, path, block)) != 0)
                break;
            // the block's clusters go back to the volume; should the cut
            // fail, the deletion after the file gives them back all the same
            LONG high = (LONG)(block >> 32);
            SetLastError(NO_ERROR);
            if (file_calls.seek(file, (LONG)(DWORD)block, &high, FILE_BEGIN) != INVALID_SET_FILE_POINTER ||
                GetLastError() == NO_ERROR)
                win.SetEndOfFile(file);
            if (block == 0)
                break;
        }
    }
    // read (or given up): what it held is told; a file that can't go now
    // goes with the deletion at the end of the run
    if (give_back && result != 1 && !delete_open_file(file))
        forget_run_file(entry->index);
    win.CloseHandle(file);
    if (result == 1)
        return 1;
    if (file_damaged && file_skip_answer == IDYES) {
        snprintf(verify_status, STATUS_TEXT_SIZE, program_text(IDS_DAMAGED_SECTORS), path, file_damaged);
        show_failure();
    }
    if (compare_bytes && mismatch_seen) {
        ++run_totals.differing_files;
        snprintf(verify_status, STATUS_TEXT_SIZE, "Verify error in %s", path);
        show_failure();
        result = 3;
    }
    return result;
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

// A file the walk reads: one of the run's, never anything else in the folder.
static int is_verified_entry(const WorkEntry *entry)
{
    return !(entry->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
           is_run_file(entry->index);
}

// The bytes the walk will read: the sizes of the run's files in the folder.
static unsigned long long files_to_read(void)
{
    static WorkListing listing;
    WorkEntry entry;
    unsigned long long whole = 0;
    begin_work_listing(&listing);
    while (next_work_entry(&listing, &entry))
        if (is_verified_entry(&entry))
            whole += entry.size;
    end_work_listing(&listing);
    return whole;
}

int verify_folder(int count, const char *const *args)
{
    static WorkListing listing;
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
    int held = begin_pass_hold(folder);
    if (held < 0) {
        free(folder);
        return 0;
    }

    sector_bytes = volume_sector_bytes(folder);
    // the whole the progress is measured against: the files as the pass finds them
    verify_whole = files_to_read();
    verify_read_bytes = 0;
    reset_progress();

    WorkEntry entry;
    int result = 0;
    begin_work_listing(&listing);
    while (result == 0 && next_work_entry(&listing, &entry)) {
        if (!is_verified_entry(&entry))
            continue;
        // one file's trouble has been shown; the others are still checked,
        // but a stop ends the walk: a verify cut short has not verified
        if (verify_file(&entry) == 1 || abort_requested(run_context.abort_flag))
            result = 1;
    }
    end_work_listing(&listing);
    // An erase that cut its files to nothing, or files gone meanwhile: a
    // verify that read no byte after the run wrote some has checked nothing;
    // nor has one in a run that went on from its journal without writing.
    if (result == 0 && verify_read_bytes == 0 && (run_totals.bytes_written > 0 || verify_must_read)) {
        snprintf(verify_status, STATUS_TEXT_SIZE, program_text(IDS_NOTHING_TO_VERIFY), folder);
        show_failure();
    }
    end_pass_hold(held);
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
