// Fill pass: overwrites the free space of the work folder's volume with
// numbered work files until the volume refuses a 512-byte write.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

int random_mode;
int dod_mode;
int byte_list_count;
int nomft_mode;
unsigned char byte_values[BYTE_LIST_MAX];
unsigned char byte_pattern[BYTE_LIST_MAX];
int dod_fill_byte = -1;
SeedClockProc seed_clock = GetTickCount;

// Set when the pass has reported a failure: it then ends as one (result 3).
static int pass_failed;
static char pass_text[STATUS_TEXT_SIZE];
// The most the probe has found free in this pass, what it found last, and
// what the pass has written.
static unsigned long long pass_most_free, pass_last_free;
unsigned long long pass_bytes_written;

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

// The pattern costs the volume less than it takes: compressed or deduplicated.
// Every later write would cost it as little, so the pass ends here.
static int report_pattern_stored_small(void)
{
    pass_failed = 1;
    const char *text = program_text(IDS_PATTERN_STORED_SMALL);
    show_message_box(run_context.owner, text, MB_OK | MB_ICONWARNING);
    set_status_text(text);
    note_run_failure(text);
    return (int)ERROR_GEN_FAILURE;
}

// The size of the next write from what the probe says is free: the main
// phase writes whole buffers; below that, what is free (in whole sectors),
// or twice the last write when the volume took more than the probe said.
// Never above limit, nor past MAX_FILE_BYTES.
static DWORD next_write_size(unsigned long long free_bytes, DWORD last_size, int outran_probe,
                             DWORD limit, DWORD file_bytes, DWORD sector)
{
    DWORD size;
    if (free_bytes >= TRANSFER_SIZE) {
        size = TRANSFER_SIZE;
    } else {
        size = (DWORD)free_bytes & ~(sector - 1);
        if (outran_probe && last_size * 2 > size)
            size = last_size * 2 > TRANSFER_SIZE ? TRANSFER_SIZE : last_size * 2;
        if (size < sector)
            size = sector;
    }
    if (size > limit)
        size = limit;
    if (size > MAX_FILE_BYTES - file_bytes)
        size = MAX_FILE_BYTES - file_bytes;
    return size;
}

// A refused write or file that means the volume is full, not failing.
static int is_full_code(DWORD code)
{
    return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
}

// A work file that can't be created because the volume is full ends the
// numbering; with room left (no inode, no directory entry, a medium that
// fails) it is a failure: free space would stay unwritten without a word. A
// name someone else's file has taken is no failure: the number is passed
// over, and the name is told.
static int refused_work_file(const char *name, const char *path, DWORD code)
{
    unsigned long long free_bytes;
    // a file of the run's own, deleted and still held by another program
    // (an indexer, a scanner): its number is passed over, without a word
    if (code == ERROR_DELETE_PENDING)
        return FILL_NAME_TAKEN;
    if (code == ERROR_FILE_EXISTS) {
        note_foreign_entry(name);
        snprintf(pass_text, sizeof pass_text, program_text(IDS_NAME_TAKEN), path);
        set_status_text(pass_text);
        return FILL_NAME_TAKEN;
    }
    if (is_full_code(code)) {
        DWORD failed = query_free_bytes(&free_bytes);
        if (failed) {
            pass_failed = 1;
            return (int)failed;
        }
        pass_last_free = free_bytes;
        if (free_bytes < probe_cluster_bytes || free_bytes < probe_sector_bytes)
            return 1;
    }
    run_context.last_error = code;
    pass_failed = 1;
    report_pass_error("CreateFile(%s): ", path);
    // a failure without a code must still end the numbering
    return code > 1 ? (int)code : (int)ERROR_GEN_FAILURE;
}

// A call on the open work file failed (code 0: the system gave none): it is
// reported, the file closed, and the pass ends as a failure.
static int work_file_failed(HANDLE file, const char *format, const char *path, DWORD code)
{
    run_context.last_error = code ? code : ERROR_GEN_FAILURE;
    pass_failed = 1;
    report_pass_error(format, path);
    flush_and_close(file);
    return (int)run_context.last_error;
}

// What the pass wrote into a work file did not reach the disk: its bytes
// can't be counted as written over what was there.
static int flush_failed(const char *path, DWORD code)
{
    run_context.last_error = code;
    pass_failed = 1;
    report_pass_error("FlushFileBuffers(%s): ", path);
    return (int)code;
}

int fill_work_file(unsigned number)
{
    unsigned char *buffer = run_context.transfer_buffer;
    unsigned long long free_bytes;
    char name[16], path[MAX_PATH];
    DWORD written, code;

    if (abort_requested(run_context.abort_flag))
        return 1;
    work_file_name(number, name);
    work_entry_path(name, path);
    HANDLE file = make_work_file(name, GENERIC_READ | GENERIC_WRITE,
                                 FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, &code);
    if (file == INVALID_HANDLE_VALUE)
        return refused_work_file(name, path, code);

    fill_random(FIRST_WRITE_BYTES);
    // the first write's outcome does not matter (an uncached volume refuses
    // its odd size): the writes below start at 0
    file_calls.write(file, buffer, FIRST_WRITE_BYTES, &written, NULL);
    if (file_calls.seek(file, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return work_file_failed(file, "SetFilePointer(%s): ", path, GetLastError());

    // Every write is sized by the probe before it. Below a buffer's worth of
    // free space that is the tail: it ends when the volume refuses a sector.
    // A size the volume refused is never tried again in this file (limit
    // halves at each refusal) while the probe says no more than it said then,
    // so a volume that refuses what it says it has ends the tail within 14
    // refusals; room that comes back is written in whole buffers again. A
    // volume that takes more than it says (a reserve the probe leaves out)
    // gets doubled writes up to the buffer's size.
    DWORD file_bytes = 0, size = 0, limit = TRANSFER_SIZE;
    unsigned long long free_at_refusal = 0;
    int outran_probe = 0, refused = 0;
    for (;;) {
        DWORD failed = query_free_bytes(&free_bytes);
        if (failed) {
            // reported once: without the figure the pass can't go on sizing its writes
            pass_failed = 1;
            flush_and_close(file);
            return (int)failed;
        }
        pass_last_free = free_bytes;
        if (refused && free_bytes > free_at_refusal)
            limit = TRANSFER_SIZE, refused = 0;
        // the most the probe has said: one that said nothing at first (a
        // reserve it leaves out, room freed meanwhile) still shows progress
        if (free_bytes > pass_most_free)
            pass_most_free = free_bytes;
        report_pass_progress(pass_bytes_written, pass_most_free);
        show_pass_progress(PASS_FILL, pass_bytes_written, free_bytes);
        DWORD sector = probe_sector_bytes;
        if (limit < sector)
            limit = sector;
        size = next_write_size(free_bytes, size, outran_probe, limit, file_bytes, sector);
        // Twice the most the volume has said it had free, and a work file
        // more, written while it still says it has room: it keeps the pattern
        // in less room than it takes. Bound by the free space, not the
        // volume's size: a nearly full 16 TB share would take days per pass.
        // A volume that says it is full and takes more all the same keeps a
        // reserve the probe leaves out; random data can't be stored smaller.
        if (!random_mode && pass_bytes_written > 2 * pass_most_free + MAX_FILE_BYTES &&
            free_bytes >= probe_cluster_bytes && free_bytes > 0) {
            flush_and_close(file);
            return report_pattern_stored_small();
        }
        // a random pass writes only words drawn for this very write
        fill_random((int)size);

        if (abort_requested(run_context.abort_flag)) {
            flush_and_close(file);
            return 1;
        }
        written = 0;
        BOOL wrote = file_calls.write(file, buffer, size, &written, NULL);
        code = wrote ? 0 : GetLastError();
        if (written > size)
            written = size;
        // a part of a sector can't be written again unbuffered: the next
        // write starts on the last whole sector, and covers the rest again
        written -= written % sector;
        file_bytes += written;
        pass_bytes_written += written;
        // a write cut short by the stop (the session's end cancels the one in
        // flight) is the stop, not a failing medium
        if (!wrote && abort_requested(run_context.abort_flag)) {
            flush_and_close(file);
            return 1;
        }
        // only a full volume refuses a write for want of room; any other
        // refusal is a failing medium, and the space after it stays unwritten
        if (!wrote && !is_full_code(code))
            return work_file_failed(file, "WriteFile(%s): ", path, code);
        // a short count, not the call's result, tells us the volume is full
        if (written != size &&
            file_calls.seek(file, (LONG)file_bytes, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
            return work_file_failed(file, "SetFilePointer(%s): ", path, GetLastError());
        if (written == size) {
            outran_probe = size > free_bytes;
            if (file_bytes >= MAX_FILE_BYTES) {
                if ((code = flush_and_close(file)) != 0)
                    return flush_failed(path, code);
                return 0;
            }
            continue;
        }
        if (size <= sector)
            break;
        limit = (size / 2) & ~(sector - 1);
        if (limit < sector)
            limit = sector;
        free_at_refusal = free_bytes, refused = 1;
        outran_probe = 0;
    }
    if ((code = flush_and_close(file)) != 0 && !is_full_code(code))
        return flush_failed(path, code);
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

    int held = begin_pass_hold(folder);
    if (held < 0)
        return 3;
    prepare_probe(folder);

    if (!run_context.transfer_buffer) {
        run_context.last_error = GetLastError();
        report_pass_error("VirtualAlloc(): ");
        end_pass_hold(held);
        return 1;
    }

    prepare_pattern(count, args);

    pass_failed = 0;
    pass_most_free = 0;
    pass_last_free = 0;
    pass_bytes_written = 0;
    probe_volume_free = 0;
    unsigned number;
    for (number = 1; number <= MAX_WORK_FILE_NUMBER; ++number) {
        // a work file's path that does not fit is one no other program can open
        if (format_work_file_path(path, folder, number) != 0) {
            if (abort_requested(run_context.abort_flag))
                break;
            run_context.last_error = ERROR_FILENAME_EXCED_RANGE;
            pass_failed = 1;
            report_pass_error("CreateFile(%s\\%8.8u): ", folder, number);
            break;
        }
        // the loop stops at the first file that is not full; a name someone
        // else's file has taken is passed over
        int filled = fill_work_file(number);
        if (filled != 0 && filled != FILL_NAME_TAKEN)
            break;
    }

    // while the volume is still full: what the file system took for the
    // work files reaches its own place before any of it is given back (the
    // result goes unused on purpose: without an administrator's rights there
    // is no flush, and the files themselves were flushed as they closed)
    flush_volume_of(folder);
    run_totals.bytes_written += pass_bytes_written;
    ++run_totals.passes;
    if (pass_failed)        // free space is left unwritten: no success to claim
        result = 3;
    else if (abort_requested(run_context.abort_flag))
        result = 1;
    // what the volume still takes inside its file records; its other results
    // (not NTFS, a file the full volume refused) are its ordinary ends
    else if (fill_record_slack(number > MAX_WORK_FILE_NUMBER ? MAX_WORK_FILE_NUMBER : number, folder) == 1 &&
             abort_requested(run_context.abort_flag))
        result = 1;
    if (result == 0)
        ++run_totals.passes_finished;
    // free space the caller may not write (a quota, a reserve for others):
    // what the volume had free beyond the caller's share when the pass ended
    if (result == 0 && probe_volume_free > pass_last_free &&
        probe_volume_free - pass_last_free > run_totals.bytes_out_of_reach)
        run_totals.bytes_out_of_reach = probe_volume_free - pass_last_free;
    if (result == 0)
        report_pass_progress(1, 1);

    end_pass_hold(held);
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
