// NTFS record slack: a volume that takes no more clusters still takes small
// files inside its file records. Writing them overwrites whatever deleted
// files left in those records.
#include <stdio.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include "support/messages.h"

#define SLACK_FIRST_WRITE 1024   // fits no file record: tells small records from large ones
#define FILE_SYSTEM_NAME_SIZE 64
// Room given back to a full volume when it refuses a new name: enough for a
// few hundred more index entries.
#define SLACK_RELEASE_BYTES 0x10000
// What a release must buy: files that cost the volume under 512 bytes each
// took free records; new records cost more.
#define SLACK_CHEAP_FILES (SLACK_RELEASE_BYTES / 512)

int slack_file_budget = -1;

typedef BOOL (WINAPI *VolumeInformationByHandleProc)(HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD,
                                                     LPDWORD, LPWSTR, DWORD);

// The file system of the volume that holds the held work folder (Vista and
// later): asked through its handle, whatever its path names now.
static int file_system_by_handle(char *file_system)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    VolumeInformationByHandleProc by_handle = (VolumeInformationByHandleProc)(void (*)(void))(
        kernel ? GetProcAddress(kernel, "GetVolumeInformationByHandleW") : NULL);
    if (!by_handle || !work_folder)
        return 0;
    WCHAR name[FILE_SYSTEM_NAME_SIZE];
    return by_handle(work_folder, NULL, 0, NULL, NULL, NULL, name, FILE_SYSTEM_NAME_SIZE) &&
           WideCharToMultiByte(CP_ACP, 0, name, -1, file_system, FILE_SYSTEM_NAME_SIZE, NULL, NULL) > 0;
}

// True when the volume that holds the folder calls its file system NTFS:
// asked through the held folder, or at that volume's own root, which for a
// volume mounted in a folder is that folder, not the drive's root.
static int folder_is_on_ntfs(const char *folder)
{
    char root[MAX_PATH];
    char file_system[FILE_SYSTEM_NAME_SIZE];

    int known = file_system_by_handle(file_system);
    if (!known)
        known = volume_root_of(folder, root) == 0 &&
                GetVolumeInformationA(root, NULL, 0, NULL, NULL, NULL, file_system, sizeof file_system);
    return known && _strnicmp(file_system, "NTFS", 4) == 0;
}

// Work file number of the run's for the pass's writes: a new one, or one the
// run made before (the probe file, a large file). INVALID_HANDLE_VALUE when
// it can be neither: *taken when someone else's file has the name (it is
// named, and the number passed over). *reopened when it is one the run made
// before, which may hold bytes.
static HANDLE slack_file(unsigned number, int *taken, int *reopened)
{
    char name[16];
    DWORD code = 0;
    work_file_name(number, name);
    *taken = 0;
    HANDLE file = make_work_file(name, GENERIC_WRITE, FILE_FLAG_WRITE_THROUGH, &code);
    // the run's own, deleted and still held: passed over, and not named
    if (file == INVALID_HANDLE_VALUE && code == ERROR_DELETE_PENDING)
        *taken = 1;
    if (file == INVALID_HANDLE_VALUE && code == ERROR_FILE_EXISTS) {
        if (reopened)
            *reopened = 1;
        file = open_work_file(name, GENERIC_WRITE, FILE_FLAG_WRITE_THROUGH, &code);
        if (file == INVALID_HANDLE_VALUE && code != ERROR_SHARING_VIOLATION) {
            note_foreign_entry(name);
            *taken = 1;
        }
    }
    return file;
}

// Cuts a file of the run's back to nothing through a handle of its own,
// opened again with the run's checks; the bytes stay behind in its record.
// A file that can't be cut keeps them, which does no harm.
static void truncate_slack_file(unsigned number)
{
    char name[16];
    DWORD code = 0;
    work_file_name(number, name);
    HANDLE file = open_work_file(name, GENERIC_READ | GENERIC_WRITE,
                                 FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING, &code);
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (file_calls.seek(file, 0, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER)
        win.SetEndOfFile(file);
    win.CloseHandle(file);
}

// The small files written and not yet cut, their handles still open. What is
// written into them must be on the disk before they are cut: a batch is
// flushed one file after another, then each is cut through the handle that
// wrote it (a flush between every write and its cut cost the pass more than
// its own writes, and a second open a file, with its checks, as much again).
#define SLACK_BATCH 64
static HANDLE uncut_files[SLACK_BATCH];
static unsigned uncut_count;

static void cut_written_files(void)
{
    for (unsigned i = 0; i < uncut_count; ++i)
        win.FlushFileBuffers(uncut_files[i]);
    for (unsigned i = 0; i < uncut_count; ++i) {
        // the bytes stay behind in its record; a file that can't be cut
        // keeps them, which does no harm
        if (file_calls.seek(uncut_files[i], 0, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER)
            win.SetEndOfFile(uncut_files[i]);
        win.CloseHandle(uncut_files[i]);
    }
    uncut_count = 0;
}

// One small file of slack_size bytes, cut back after its write (a large
// file of the run's is cut to nothing first) with the rest of its batch. 0;
// 2 when someone else's file has the number; 3 when the file can't be made
// or takes fewer bytes.
static int write_slack_file(unsigned number, DWORD slack_size)
{
    int taken = 0, reopened = 0;
    HANDLE file = slack_file(number, &taken, &reopened);
    if (file == INVALID_HANDLE_VALUE)
        return taken ? 2 : 3;
    fill_random((int)slack_size + 4);
    DWORD written = 0;
    // a file of the run's cut to nothing first (a new one is empty)
    if (reopened && file_calls.seek(file, 0, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER)
        win.SetEndOfFile(file);
    // judged by the count: a full volume may still answer TRUE
    file_calls.write(file, run_context.transfer_buffer, slack_size, &written, NULL);
    if (written != slack_size) {
        // not cut: on the disk before the deletion gives its space back
        flush_and_close(file);
        cut_written_files();
        return 3;
    }
    uncut_files[uncut_count++] = file;
    if (uncut_count == SLACK_BATCH)
        cut_written_files();
    return 0;
}

// The largest write from 4096 (or 1023) down to 2 that the probe file takes
// whole, into *slack_size (0 when none). The probe file is the first number
// from *number on that no one else's file has; *number is set to it. 0, 1 on
// abort, 3 when the probe file can't be made.
static int find_slack_size(unsigned *number, DWORD *slack_size)
{
    *slack_size = 0;
    fill_random(SLACK_LARGEST_SIZE);
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int taken = 1; taken && *number < MAX_WORK_FILE_NUMBER;)
        if ((file = slack_file(*number, &taken, NULL)) == INVALID_HANDLE_VALUE && taken)
            ++*number;
    if (file == INVALID_HANDLE_VALUE)
        return 3;

    DWORD written = 0;
    file_calls.write(file, run_context.transfer_buffer, SLACK_FIRST_WRITE, &written, NULL);
    DWORD trial = written == SLACK_FIRST_WRITE ? SLACK_LARGEST_SIZE : SLACK_FIRST_WRITE - 1;

    int result = 0;
    // a single byte is never tried: 0 then means no size was found
    for (; trial > 1; --trial) {
        if (abort_requested(run_context.abort_flag)) {
            result = 1;
            break;
        }
        file_calls.seek(file, 0, NULL, FILE_BEGIN);
        written = 0;
        file_calls.write(file, run_context.transfer_buffer, trial, &written, NULL);
        if (written == trial) {
            *slack_size = trial;
            break;
        }
    }
    flush_and_close(file);
    return result;
}

// Gives the volume back at least SLACK_RELEASE_BYTES from the ends of the
// large files of the run's, the highest-numbered first, each cut on a
// multiple of that size. The clusters keep the pattern just written. Returns
// the bytes freed.
static long long release_fill_space(unsigned *large_number)
{
    char name[16];
    long long freed = 0;

    for (; *large_number >= 1 && freed < SLACK_RELEASE_BYTES; --*large_number) {
        DWORD code = 0;
        work_file_name(*large_number, name);
        HANDLE file = open_work_file(name, GENERIC_WRITE, FILE_FLAG_WRITE_THROUGH, &code);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        DWORD size = win.GetFileSize(file, NULL);
        if (size != INVALID_FILE_SIZE && size > 0) {
            DWORD keep = size > SLACK_RELEASE_BYTES
                ? (size - SLACK_RELEASE_BYTES) & ~(DWORD)(SLACK_RELEASE_BYTES - 1) : 0;
            if (file_calls.seek(file, (LONG)keep, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                win.SetEndOfFile(file))
                freed += size - keep;
        }
        win.CloseHandle(file);
        if (freed >= SLACK_RELEASE_BYTES)
            break;   // this file may still hold more for the next release
    }
    return freed;
}

// New small files from first_number until the volume refuses one.
//
// A full volume refuses the work folder a new name long before its free
// records are taken, because the folder's index can't grow. So on a refusal
// the end of the large files is given back and the phase goes on, for as long
// as what was given back buys new files cheaply: taking a free record costs
// the volume only an index entry (about 200 bytes), a record the table must
// grow for costs 1024 bytes or more, for good. When a release buys fewer than
// SLACK_CHEAP_FILES, every free record is taken. 1 on abort, 3 when the phase
// ended at a file the volume did not take (or at the run's budget), 0 when the
// numbers ran out; *taken: the files it created.
static int fill_free_records(unsigned first_number, unsigned last_number, DWORD slack_size, unsigned *taken)
{
    unsigned large_number = last_number;
    int released = 0;
    int taken_since_release = 0;

    *taken = 0;
    for (unsigned number = first_number; number < MAX_WORK_FILE_NUMBER;) {
        if (abort_requested(run_context.abort_flag))
            return 1;
        // the records the first pass took are free again: as many files as
        // that take them, without growing the table another time
        if (slack_file_budget >= 0 && *taken >= (unsigned)slack_file_budget)
            return 3;
        int written = write_slack_file(number, slack_size);
        if (written == 0 || written == 2) {
            // a name someone else's file has is passed over
            *taken += written == 0;
            taken_since_release += written == 0;
            ++number;
            continue;
        }
        if (released && taken_since_release < SLACK_CHEAP_FILES)
            return 3;
        if (!release_fill_space(&large_number))
            return 3;
        released = 1;
        taken_since_release = 0;
    }
    return 0;
}

static int pack_record_slack(unsigned last_number, const char *folder);

int fill_record_slack(unsigned last_number, const char *folder)
{
    if (!run_context.transfer_buffer)
        return 1;
    int held = begin_pass_hold(folder);
    if (held < 0)
        return 3;
    uncut_count = 0;
    int result = pack_record_slack(last_number, folder);
    // however the pass ended, what it wrote is cut back
    cut_written_files();
    end_pass_hold(held);
    return result;
}

static int pack_record_slack(unsigned last_number, const char *folder)
{
    DWORD slack_size;

    if (!folder_is_on_ntfs(folder))
        return 1;

    unsigned probe = last_number + 1;
    int result = find_slack_size(&probe, &slack_size);
    if (result != 0)
        return result;

    if (slack_size == 0) {
        // A fresh file that takes not even two bytes keeps nothing in a file
        // record: NTFS in name only. Empty files would only use up its
        // inodes, millions of them.
        result = 3;
    } else if (slack_size == SLACK_LARGEST_SIZE) {
        // 4096 bytes fit no file record: they went to a free cluster. The
        // fill ended early, and on a volume with room new files are never
        // refused; on NTFS they would grow the record table into the room.
        truncate_slack_file(probe);
    } else {
        unsigned taken = 0;
        result = fill_free_records(probe, last_number, slack_size, &taken);
        if (result == 1)
            return 1;
        // the first pass of a run sets what the later ones may take
        if (slack_file_budget < 0)
            slack_file_budget = (int)taken;
    }

    // the verify of an "erase,verify" step still reads the large files
    if (nomft_mode == 1)
        return result;

    // the large files' own records; cutting a file frees clusters that hold
    // the pass's pattern (a number someone else's file has is passed over)
    for (unsigned number = 1; number <= last_number; ++number) {
        if (abort_requested(run_context.abort_flag))
            return 1;
        int written = write_slack_file(number, slack_size);
        if (written != 0 && written != 2)
            return 3;
    }
    return result;
}
