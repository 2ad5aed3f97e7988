// The work folder $VANTA$$: the one place a run writes, and the only code
// that makes, lists, opens, cuts, deletes and removes anything in it.
//
// Other accounts may write into the folder the user chose, so every name in
// the work folder may have been planted there. The folder is held open for
// the whole run by a handle nobody can rename or delete it under; every file
// is made, listed and opened relative to that handle, never through a link;
// a file is written, cut or deleted only when its file ID is one this run
// made (or its journal vouches for), and only after its own handle says it
// is a plain file with one link on the folder's volume.
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "engine/wipe_engine.h"
#include <winternl.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>
#include "support/messages.h"


char work_folder_path[MAX_PATH];
LONG work_folder_created;
HANDLE work_folder;
FolderIdentity work_folder_identity;
WorkFileMadeProc work_file_made;
WorkFileNamedProc work_file_named;
RunMomentProc run_moment;
unsigned long long work_folder_calls;
int work_folder_machine_owned = -1;

// File indexes on the folder's volume, in an open-addressed table that
// grows by doubling. 0 is an empty slot, GONE one whose index was taken out.
#define GONE (~0ull)
struct IndexTable {
    unsigned long long *slots;
    size_t size, used;
};
// What a run made (or its journal vouched for), and what of it the run has
// deleted: a file another program still holds open keeps its name, pending,
// until it lets go, and is still the run's.
static IndexTable run_files, deleted_files;

// Names in the folder that are not the run's: left where they are, named once.
static char foreign_names[STATUS_TEXT_SIZE];
static int foreign_count;

// ---------------------------------------------------------------- the run's files

static size_t slot_of(unsigned long long index, size_t size)
{
    // the index's bits spread over the table (a multiplicative hash)
    return (size_t)((index * 0x9E3779B97F4A7C15ull) >> 20) & (size - 1);
}

static void put(unsigned long long *slots, size_t size, unsigned long long key)
{
    size_t at = slot_of(key - 1, size);
    while (slots[at] != 0 && slots[at] != key)
        at = (at + 1) & (size - 1);
    slots[at] = key;
}

static int table_has(const IndexTable *table, unsigned long long index)
{
    if (!table->size)
        return 0;
    for (size_t at = slot_of(index, table->size);; at = (at + 1) & (table->size - 1)) {
        if (table->slots[at] == 0)
            return 0;
        if (table->slots[at] == index + 1)
            return 1;
    }
}

static int table_put(IndexTable *table, unsigned long long index)
{
    if (table_has(table, index))
        return 1;
    // at most half full, so every probe ends at an empty slot
    if ((table->used + 1) * 2 > table->size) {
        size_t size = table->size ? table->size * 2 : 1024;
        unsigned long long *slots = (unsigned long long *)calloc(size, sizeof *slots);
        if (!slots)
            return 0;
        table->used = 0;
        for (size_t i = 0; i < table->size; ++i)
            if (table->slots[i] != 0 && table->slots[i] != GONE)
                put(slots, size, table->slots[i]), ++table->used;
        free(table->slots);
        table->slots = slots, table->size = size;
    }
    put(table->slots, table->size, index + 1);
    ++table->used;
    return 1;
}

static void table_take(IndexTable *table, unsigned long long index)
{
    if (!table->size)
        return;
    for (size_t at = slot_of(index, table->size); table->slots[at] != 0; at = (at + 1) & (table->size - 1))
        if (table->slots[at] == index + 1) {
            table->slots[at] = GONE;
            return;
        }
}

static void table_clear(IndexTable *table)
{
    free(table->slots);
    table->slots = NULL, table->size = table->used = 0;
}

int note_run_file(unsigned long long index)
{
    return table_put(&run_files, index);
}

int is_run_file(unsigned long long index)
{
    return table_has(&run_files, index);
}

void forget_run_file(unsigned long long index)
{
    table_take(&run_files, index);
    // its name may stay a while (pending) where another program holds it
    table_put(&deleted_files, index);
}

int is_deleted_run_file(unsigned long long index)
{
    return !is_run_file(index) && table_has(&deleted_files, index);
}

void forget_run_files(void)
{
    table_clear(&run_files);
    table_clear(&deleted_files);
    foreign_names[0] = 0, foreign_count = 0;
}

size_t list_run_files(unsigned long long *indexes, size_t room)
{
    size_t count = 0;
    for (size_t i = 0; i < run_files.size; ++i)
        if (run_files.slots[i] != 0 && run_files.slots[i] != GONE) {
            if (count < room)
                indexes[count] = run_files.slots[i] - 1;
            ++count;
        }
    return count;
}

// ---------------------------------------------------------------- names

// A name of the folder as the system's calls take it.
static int wide_name(const char *name, WCHAR *wide, int room)
{
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, wide, room) > 0;
}

void work_file_name(unsigned number, char *name)
{
    snprintf(name, 16, "%8.8u", number);
}

void work_entry_path(const char *name, char *path)
{
    snprintf(path, MAX_PATH, "%s\\%s", work_folder_path, name);
}

// ---------------------------------------------------------------- opening relative to the folder

HANDLE WINAPI create_in_folder(HANDLE folder, LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags)
{
    // CreateFile's dispositions as NtCreateFile knows them; any other is refused
    static const ULONG dispositions[] = {0, FILE_CREATE, FILE_OVERWRITE_IF, FILE_OPEN, FILE_OPEN_IF, FILE_OVERWRITE};
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file = NULL;
    text.Buffer = (PWSTR)name;
    text.Length = text.MaximumLength = (USHORT)(wcslen(name) * sizeof(WCHAR));
    // a name is the name, whatever its case; never a link followed
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, NULL);
    ULONG options = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;
    if (flags & FILE_FLAG_WRITE_THROUGH)
        options |= FILE_WRITE_THROUGH;
    if (flags & FILE_FLAG_NO_BUFFERING)
        options |= FILE_NO_INTERMEDIATE_BUFFERING;
    // What CreateFileW asks for besides the caller's rights, and NtCreateFile
    // does not: without SYNCHRONIZE no synchronous transfer, without
    // FILE_READ_ATTRIBUTES no question to the handle about what it is.
    access |= SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    ++work_folder_calls;
    NTSTATUS status = win.NtCreateFile(&file, access, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share,
                                       dispositions[disposition], options, NULL, 0);
    if (status < 0) {
        // a name that is taken, in the one word every caller knows it by; a
        // file whose deletion is pending (another program still holds it)
        // as itself, not as the access denied Windows makes of it
        DWORD code = status == (NTSTATUS)0xC0000056 ? ERROR_DELETE_PENDING : status_code(status);
        SetLastError(code == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : code);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// The passes' reads, writes and moves, through the system's calls as the program makes them.
static BOOL WINAPI write_through_table(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED at)
{
    return win.WriteFile(file, buffer, size, written, at);
}

static BOOL WINAPI read_through_table(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED at)
{
    return win.ReadFile(file, buffer, size, got, at);
}

static DWORD WINAPI seek_through_table(HANDLE file, LONG low, PLONG high, DWORD method)
{
    return win.SetFilePointer(file, low, high, method);
}

FileCalls file_calls = { create_in_folder, write_through_table, read_through_table, seek_through_table };

// The handle's file: a plain file with one link on the work folder's volume.
// 0 with *index its file index, or the reason it is no file of the run's.
static DWORD plain_file(HANDLE file, unsigned long long *index)
{
    BY_HANDLE_FILE_INFORMATION info;
    ++work_folder_calls;
    if (!win.GetFileInformationByHandle(file, &info))
        return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    *index = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return WORK_FILE_NOT_PLAIN;
    if (info.nNumberOfLinks != 1)
        return WORK_FILE_LINKED;
    if (info.dwVolumeSerialNumber != work_folder_identity.volume)
        return WORK_FILE_ELSEWHERE;
    return 0;
}

// FILE_INTERNAL_INFORMATION: the file's index, from its handle alone.

// The index of a file the run has just made new. Made with CREATE_NEW
// relative to the held folder, never through a link, it is a plain file on
// the folder's volume with no other name: its index is all there is to
// learn. (The full check asks the volume for its serial, for every file: a
// round trip to the volume's driver, under Wine to a process of its own,
// which made a pass of small files on NTFS take twice as long.)
static DWORD new_file_index(HANDLE file, unsigned long long *index)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER internal;
    ++work_folder_calls;
    NTSTATUS status = win.NtQueryInformationFile(file, &io, &internal, sizeof internal, FILE_INTERNAL_CLASS);
    if (status < 0)
        return status_code(status);
    *index = (unsigned long long)internal.QuadPart;
    return 0;
}

static int pending_run_name(const WCHAR *wide);

HANDLE make_work_file(const char *name, DWORD access, DWORD flags, DWORD *code)
{
    WCHAR wide[MAX_PATH];
    unsigned long long index = 0;
    *code = 0;
    if (!work_folder || !wide_name(name, wide, MAX_PATH)) {
        *code = work_folder ? ERROR_INVALID_NAME : ERROR_INVALID_HANDLE;
        return INVALID_HANDLE_VALUE;
    }
    // in the journal by its name before it is made: a run cut short between
    // the make and its ID line leaves a file the next part may take for its own
    if (run_moment)
        run_moment(MOMENT_BEFORE_NAME_LINE);
    if (work_file_named)
        work_file_named(name);
    if (run_moment)
        run_moment(MOMENT_AFTER_NAME_LINE);
    // only new: a name that is taken is someone's, planted or not (DELETE:
    // a new file that fails its check goes again at once), or a file of the
    // run's own that another program still holds after its deletion
    HANDLE file = file_calls.create(work_folder, wide, access | DELETE, FILE_SHARE_READ, CREATE_NEW, flags);
    if (file == INVALID_HANDLE_VALUE) {
        *code = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
        if (*code == ERROR_FILE_EXISTS && pending_run_name(wide))
            *code = ERROR_DELETE_PENDING;
        return file;
    }
    if ((*code = new_file_index(file, &index)) != 0 || !note_run_file(index)) {
        if (!*code)
            *code = ERROR_NOT_ENOUGH_MEMORY;
        // new, so the run's own: it goes again
        delete_open_file(file);
        win.CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    // in the journal by its ID before a byte goes in
    if (run_moment)
        run_moment(MOMENT_WORK_FILE_MADE);
    if (work_file_made)
        work_file_made(name, index);
    return file;
}

static HANDLE open_entry(const WCHAR *wide, DWORD access, DWORD flags, unsigned long long *index, DWORD *code)
{
    HANDLE file = file_calls.create(work_folder, wide, access, FILE_SHARE_READ, OPEN_EXISTING, flags);
    if (file == INVALID_HANDLE_VALUE) {
        *code = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
        return file;
    }
    if ((*code = plain_file(file, index)) != 0) {
        win.CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// The name is a file of the run's that it has deleted and another program
// still holds: Windows refuses to open it (delete pending); Wine opens it,
// and its index says whose it is.
static int pending_run_name(const WCHAR *wide)
{
    unsigned long long index = 0;
    DWORD code = 0;
    HANDLE file = open_entry(wide, FILE_READ_ATTRIBUTES, 0, &index, &code);
    if (file == INVALID_HANDLE_VALUE)
        return code == ERROR_DELETE_PENDING;
    win.CloseHandle(file);
    return is_deleted_run_file(index);
}

// A file of the run's opened again by name, checked through its handle,
// with its index.
static HANDLE open_run_file(const char *name, DWORD access, DWORD flags, unsigned long long *index, DWORD *code)
{
    WCHAR wide[MAX_PATH];
    *code = 0;
    if (!work_folder || !wide_name(name, wide, MAX_PATH)) {
        *code = work_folder ? ERROR_INVALID_NAME : ERROR_INVALID_HANDLE;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = open_entry(wide, access, flags, index, code);
    if (file != INVALID_HANDLE_VALUE && !is_run_file(*index)) {
        win.CloseHandle(file);
        *code = WORK_FILE_NOT_OURS;
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

HANDLE open_work_file(const char *name, DWORD access, DWORD flags, DWORD *code)
{
    unsigned long long index = 0;
    return open_run_file(name, access, flags, &index, code);
}

DWORD vouch_for_work_file(const char *name)
{
    WCHAR wide[MAX_PATH];
    unsigned long long index = 0;
    DWORD code = 0;
    if (!work_folder || !wide_name(name, wide, MAX_PATH))
        return ERROR_INVALID_HANDLE;
    HANDLE file = open_entry(wide, FILE_READ_ATTRIBUTES, 0, &index, &code);
    if (file == INVALID_HANDLE_VALUE)
        return code;
    win.CloseHandle(file);
    return note_run_file(index) ? 0 : ERROR_NOT_ENOUGH_MEMORY;
}

DWORD flush_and_close(HANDLE file)
{
    ++work_folder_calls;
    DWORD code = win.FlushFileBuffers(file) ? 0 : GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    win.CloseHandle(file);
    return code;
}

DWORD delete_open_file(HANDLE file)
{
    // FILE_DISPOSITION_INFORMATION: deleted when its last handle closes
    BOOLEAN gone = TRUE;
    IO_STATUS_BLOCK io;
    ++work_folder_calls;
    NTSTATUS status = win.NtSetInformationFile(file, &io, &gone, sizeof gone, FILE_DISPOSITION_CLASS);
    return status < 0 ? status_code(status) : 0;
}

DWORD delete_work_file(const char *name)
{
    WCHAR wide[MAX_PATH];
    DWORD code = 0, again = 0;
    unsigned long long index = 0, now = 0;
    HANDLE file = open_run_file(name, DELETE | FILE_READ_ATTRIBUTES, 0, &index, &code);
    if (file == INVALID_HANDLE_VALUE)
        return code;
    code = delete_open_file(file);
    win.CloseHandle(file);
    if (code)
        return code;
    // Gone before it counts as given back. Windows refuses a deletion it
    // can't make, and keeps the name of one another program holds, pending
    // (it can't be opened then); Wine says yes and may keep the file all the
    // same (a volume that has turned read-only, a holder sharing deletion):
    // a file that is still there as itself is the run's, and not deleted.
    HANDLE still = wide_name(name, wide, MAX_PATH) ? open_entry(wide, FILE_READ_ATTRIBUTES, 0, &now, &again)
                                                   : INVALID_HANDLE_VALUE;
    if (still != INVALID_HANDLE_VALUE) {
        win.CloseHandle(still);
        if (now == index)
            return WORK_FILE_STAYED;
    }
    forget_run_file(index);
    return 0;
}

HANDLE open_in_work_folder(const char *name, DWORD access, DWORD share, DWORD disposition, DWORD *code)
{
    WCHAR wide[MAX_PATH];
    unsigned long long index = 0;
    *code = 0;
    if (!work_folder || !wide_name(name, wide, MAX_PATH)) {
        *code = work_folder ? ERROR_INVALID_NAME : ERROR_INVALID_HANDLE;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = file_calls.create(work_folder, wide, access, share, disposition, FILE_FLAG_WRITE_THROUGH);
    if (file == INVALID_HANDLE_VALUE) {
        *code = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
        return file;
    }
    if ((*code = plain_file(file, &index)) != 0) {
        // one it made new is its own: it goes again
        if (disposition == CREATE_NEW && (access & DELETE))
            delete_open_file(file);
        win.CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// FILE_RENAME_INFORMATION, room for a name.
struct RenameInformation {
    BOOLEAN replace;
    HANDLE folder;
    ULONG length;
    WCHAR name[MAX_PATH];
};

DWORD rename_open_file(HANDLE file, const char *name, int replace)
{
    RenameInformation rename;
    memset(&rename, 0, sizeof rename);
    if (!wide_name(name, rename.name, MAX_PATH))
        return ERROR_INVALID_NAME;
    // A bare name with no folder: within the file's own folder, the held one,
    // which Windows then does not open as the rename's target. Named through
    // the held folder's handle, the target would be opened for writing, and
    // the held handle, which holds DELETE and shares no deletion, refuses
    // that open: no such rename could ever succeed on Windows.
    rename.replace = replace != 0;
    rename.length = (ULONG)(wcslen(rename.name) * sizeof(WCHAR));
    IO_STATUS_BLOCK io;
    ULONG size = (ULONG)(offsetof(RenameInformation, name) + rename.length);
    ++work_folder_calls;
    NTSTATUS status = win.NtSetInformationFile(file, &io, &rename, size, FILE_RENAME_CLASS);
    if (status == (NTSTATUS)0xC000003B) {
        // Wine takes no bare name (STATUS_OBJECT_PATH_SYNTAX_BAD), and opens
        // no target folder either: there the held folder names it
        rename.folder = work_folder;
        ++work_folder_calls;
        status = win.NtSetInformationFile(file, &io, &rename, size, FILE_RENAME_CLASS);
    }
    return status < 0 ? status_code(status) : 0;
}

// ---------------------------------------------------------------- listing

int next_work_entry(WorkListing *listing, WorkEntry *entry)
{
    for (;;) {
        if (!listing->filled || listing->at >= listing->filled) {
            IO_STATUS_BLOCK io;
            if (!listing->handle || listing->done)
                return 0;
            ++work_folder_calls;
            NTSTATUS status = win.NtQueryDirectoryFile(listing->handle, NULL, NULL, NULL, &io, listing->buffer,
                                                   sizeof listing->buffer, FILE_ID_BOTH_CLASS, FALSE, NULL,
                                                   !listing->begun);
            listing->begun = 1;
            if (status < 0 || io.Information == 0) {
                listing->done = 1;
                return 0;
            }
            listing->filled = (ULONG)io.Information, listing->at = 0;
        }
        const FILE_ID_BOTH_DIR_INFORMATION *found = (const FILE_ID_BOTH_DIR_INFORMATION *)(listing->buffer + listing->at);
        listing->at = found->NextEntryOffset ? listing->at + found->NextEntryOffset : listing->filled;
        int length = (int)(found->FileNameLength / sizeof(WCHAR));
        if ((length == 1 && found->FileName[0] == L'.') ||
            (length == 2 && found->FileName[0] == L'.' && found->FileName[1] == L'.'))
            continue;
        if (length >= MAX_PATH)
            length = MAX_PATH - 1;
        memcpy(entry->wide, found->FileName, length * sizeof(WCHAR));
        entry->wide[length] = 0;
        // a name the code page can't show keeps its '?' for the texts only
        int bytes = WideCharToMultiByte(CP_ACP, 0, entry->wide, length, entry->name, MAX_PATH - 1, NULL, NULL);
        entry->name[bytes > 0 ? bytes : 0] = 0;
        entry->index = (unsigned long long)found->FileId.QuadPart;
        entry->attributes = found->FileAttributes;
        entry->size = (unsigned long long)found->EndOfFile.QuadPart;
        return 1;
    }
}

void begin_work_listing(WorkListing *listing)
{
    UNICODE_STRING none = {0, 0, NULL};
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    listing->filled = listing->at = 0;
    listing->begun = listing->done = 0;
    listing->handle = NULL;
    if (!work_folder)
        return;
    // the held folder itself, opened again through its handle: a listing of
    // its own each time (Wine keeps a handle's first listing for good)
    InitializeObjectAttributes(&attributes, &none, 0, work_folder, NULL);
    ++work_folder_calls;
    if (win.NtCreateFile(&listing->handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &io, NULL, 0,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                     FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, NULL, 0) < 0)
        listing->handle = NULL;
}

void end_work_listing(WorkListing *listing)
{
    if (listing->handle)
        win.CloseHandle(listing->handle);
    listing->handle = NULL;
}

// ---------------------------------------------------------------- names left

void note_foreign_entry(const char *name)
{
    // each name once, a line each (ending in CR LF), as many as fit; the
    // count says how many there were
    char line[MAX_PATH + 4], inner[MAX_PATH + 4];
    snprintf(line, sizeof line, "%s\r\n", name);
    snprintf(inner, sizeof inner, "\n%s", line);
    if (strncmp(foreign_names, line, strlen(line)) == 0 || strstr(foreign_names, inner))
        return;
    ++foreign_count;
    size_t have = strlen(foreign_names);
    if (have + strlen(line) < sizeof foreign_names)
        memcpy(foreign_names + have, line, strlen(line) + 1);
}

int foreign_entry_count(void)
{
    return foreign_count;
}

const char *foreign_entry_names(void)
{
    return foreign_names;
}

// ---------------------------------------------------------------- the folder itself

// Where the last character of a path starts: a trail byte of 0x5C is part of
// its double-byte character, never a separator.
static size_t last_character(const char *path, size_t length)
{
    size_t last = 0;
    for (size_t i = 0; i < length; ++i) {
        last = i;
        if (IsDBCSLeadByte((BYTE)path[i]) && i + 1 < length)
            ++i;
    }
    return last;
}

// The folder as Windows means it: "D:" is the drive's current directory (its
// root in a fresh process), "data" lies in the current directory. A trailing
// separator goes: "D:\data\" and "D:\data" are one folder. 0, or the error
// code with full empty.
static DWORD absolute_folder(const char *folder, char *full, DWORD size)
{
    DWORD length = GetFullPathNameA(folder, size, full, NULL);
    if (length == 0 || length >= size) {
        DWORD code = length ? ERROR_BUFFER_OVERFLOW : GetLastError();
        full[0] = 0;
        return code ? code : ERROR_INVALID_NAME;
    }
    // "C:\" keeps its separator: without it, it would mean the current directory
    for (size_t last; length > 3; full[length = (DWORD)last] = 0) {
        last = last_character(full, length);
        if (full[last] != '\\' && full[last] != '/')
            break;
    }
    return 0;
}

int prepare_work_folder_path(HWND dialog, const char *folder, const char **text)
{
    char full[MAX_PATH * 2];
    static char device_text[STATUS_TEXT_SIZE];

    // the mark belongs to the run it was set in
    work_folder_created = 0;
    DWORD failed = absolute_folder(folder, full, sizeof full);
    // A device (\\.\U:, CON) or a name handed to the system as it is
    // (\\?\Volume{...}\) is no folder a run can hold and query the way it
    // queries a drive or a folder a volume is mounted in: refused before
    // anything is made. A volume without a letter is mounted in a folder,
    // or given a letter, to be erased.
    if (path_names_device(folder) || (!failed && path_names_device(full))) {
        snprintf(device_text, sizeof device_text, program_text(IDS_FOLDER_DEVICE), folder);
        show_message_box(dialog, device_text, MB_OK | MB_ICONWARNING);
        *text = device_text;
        return 3;
    }
    // a separator, the eight characters of the name and the zero must fit:
    // a work folder path is never cut into another name
    if (!failed && strlen(full) + 10 >= MAX_PATH)
        failed = ERROR_BUFFER_OVERFLOW;
    if (failed) {
        run_context.last_error = failed;
        error_box(dialog, MB_ICONWARNING, "%s: ", full[0] ? full : folder);
        *text = program_text(IDS_CANNOT_CREATE_FOLDER);
        return 3;
    }
    char *joined = path_join(full, WORK_FOLDER_NAME);
    snprintf(work_folder_path, sizeof work_folder_path, "%s", joined);
    free(joined);
    return 0;
}

PSECURITY_DESCRIPTOR protected_folder_descriptor(void)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    char *text = NULL, sddl[256];
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!token_user_sid(sid, sizeof sid) || !ConvertSidToStringSidA(sid, &text))
        return NULL;
    snprintf(sddl, sizeof sddl, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)", text);
    LocalFree(text);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, NULL))
        return NULL;
    return descriptor;
}

// Well-known accounts a work folder may belong to.
static int is_sid(PSID sid, const char *text)
{
    PSID known = NULL;
    int same = ConvertStringSidToSidA(text, &known) && EqualSid(sid, known);
    if (known)
        LocalFree(known);
    return same;
}

static int trusted_account(PSID sid, PSID account)
{
    return EqualSid(sid, account) || is_sid(sid, "S-1-5-18") || is_sid(sid, "S-1-5-32-544");
}

// Rights on a folder that let an account put, change or take away what is in it.
#define WRITE_RIGHTS (FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD | \
                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL)

// True when someone but the trusted accounts (and CREATOR OWNER, whose ACE
// only gives the maker of a new file rights on that file) may write.
static int others_may_write(PACL dacl, PSID account)
{
    if (!dacl)
        return 1;   // no DACL: everyone may do anything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER *ace = NULL;
        if (!GetAce(dacl, i, (void **)&ace))
            return 1;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE || ace->AceType == SYSTEM_AUDIT_ACE_TYPE ||
            ace->AceType == SYSTEM_ALARM_ACE_TYPE)
            continue;
        // an allowing ACE of another form (object, callback): taken as allowing anyone
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return 1;
        ACCESS_ALLOWED_ACE *allowed = (ACCESS_ALLOWED_ACE *)ace;
        PSID sid = (PSID)&allowed->SidStart;
        if ((allowed->Mask & WRITE_RIGHTS) && !trusted_account(sid, account) && !is_sid(sid, "S-1-3-0"))
            return 1;
    }
    return 0;
}

DWORD check_folder_security(HANDLE folder, int reset, int *machine_owned)
{
    BYTE account[SECURITY_MAX_SID_SIZE];
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!token_user_sid(account, sizeof account))
        return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    DWORD code = win.GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 &owner, NULL, &dacl, NULL, &descriptor);
    // FAT and exFAT keep no owner and no DACL: what holds there is the held
    // handle and the file IDs
    if (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION || (!code && !owner && !dacl)) {
        if (descriptor)
            LocalFree(descriptor);
        return 0;
    }
    if (code)
        return code;
    DWORD result = 0;
    if (owner && machine_owned)
        *machine_owned = !EqualSid(owner, account) || is_sid(owner, "S-1-5-18") || is_sid(owner, "S-1-5-32-544");
    if (!owner || !trusted_account(owner, account)) {
        result = WORK_FOLDER_FOREIGN_OWNER;
    } else if (others_may_write(dacl, account)) {
        // one an older vanta made under a folder others may write to: its
        // DACL is made the work folder's own where this account may, on the
        // folder alone (nothing in it is touched)
        PSECURITY_DESCRIPTOR own = reset ? protected_folder_descriptor() : NULL;
        result = WORK_FOLDER_OTHERS_WRITE;
        if (own) {
            ++work_folder_calls;
            if (win.SetKernelObjectSecurity(folder, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                            own)) {
                PACL now = NULL;
                PSECURITY_DESCRIPTOR again = NULL;
                if (!win.GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &now, NULL,
                                         &again) &&
                    !others_may_write(now, account))
                    result = 0;
                if (again)
                    LocalFree(again);
            }
            LocalFree(own);
        }
    }
    LocalFree(descriptor);
    return result;
}

DWORD check_work_folder_owner(void)
{
    work_folder_machine_owned = -1;
    return check_folder_security(work_folder, 1, &work_folder_machine_owned);
}

void note_made_folder_owner(void)
{
    // a folder made now is the token's default owner's: the Administrators
    // for an elevated administrator, else the account
    HANDLE token;
    BYTE owner[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
    DWORD length = 0;
    work_folder_machine_owned = 0;
    if (!win.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return;
    if (win.GetTokenInformation(token, TokenOwner, owner, sizeof owner, &length)) {
        PSID sid = ((TOKEN_OWNER *)owner)->Owner;
        work_folder_machine_owned = is_sid(sid, "S-1-5-18") || is_sid(sid, "S-1-5-32-544");
    }
    win.CloseHandle(token);
}

// The handle's volume serial and file index, and its attributes.
static DWORD identity_of(HANDLE handle, FolderIdentity *identity, DWORD *attributes)
{
    BY_HANDLE_FILE_INFORMATION info;
    ++work_folder_calls;
    if (!win.GetFileInformationByHandle(handle, &info))
        return GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    *attributes = info.dwFileAttributes;
    return 0;
}

DWORD folder_identity_of(const char *path, FolderIdentity *identity)
{
    DWORD attributes = 0;
    memset(identity, 0, sizeof *identity);
    HANDLE folder = win.CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return GetLastError() ? GetLastError() : ERROR_PATH_NOT_FOUND;
    DWORD code = identity_of(folder, identity, &attributes);
    win.CloseHandle(folder);
    return code;
}

// The work folder, made new in the chosen folder (parent) or opened there
// as itself, never through a link: FILE_CREATE (or FILE_OPEN) relative to
// the parent's handle, with its DACL in the same call. *folder is the handle
// to hold, *made 1 when it was made now. 0, or the status.
static NTSTATUS open_work_folder(HANDLE parent, PSECURITY_DESCRIPTOR own, ULONG disposition, ACCESS_MASK access,
                                 HANDLE *folder, int *made)
{
    WCHAR name[16];
    UNICODE_STRING text;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    MultiByteToWideChar(CP_ACP, 0, WORK_FOLDER_NAME, -1, name, 16);
    text.Buffer = name;
    text.Length = text.MaximumLength = (USHORT)(wcslen(name) * sizeof(WCHAR));
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, own);
    // a new one is a folder; one that is there is opened as whatever it is,
    // so that a file of that name is told as such
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                    (disposition == FILE_CREATE ? FILE_DIRECTORY_FILE : 0);
    ++work_folder_calls;
    *folder = NULL;
    NTSTATUS status = win.NtCreateFile(folder, access, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, options, NULL, 0);
    if (status >= 0)
        *made = disposition == FILE_CREATE;
    return status;
}

DWORD hold_work_folder(int *made)
{
    *made = 0;
    release_work_folder();
    // a junction or symbolic link in its place, as a listing shows it (Wine
    // opens a link to a folder as that folder)
    DWORD attributes = win.GetFileAttributesA(work_folder_path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_NOT_READY)
            return code;
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return WORK_FOLDER_LINK;
    }

    // The folder the user chose names the volume the run is for, and the
    // work folder is made or opened in it through its handle.
    char *chosen = path_dir_part(work_folder_path);
    HANDLE parent = win.CreateFileA(chosen, FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, NULL);
    free(chosen);
    if (parent == INVALID_HANDLE_VALUE) {
        // the work folder's path leads nowhere: said of that path
        DWORD code = GetLastError();
        return code && code != ERROR_FILE_NOT_FOUND ? code : ERROR_PATH_NOT_FOUND;
    }
    FolderIdentity volume;
    DWORD code = identity_of(parent, &volume, &attributes);

    // Held for the whole run: listing and adding, and DELETE, which no one
    // shares, so that no one renames or deletes it while the run lasts (a
    // handle without data or DELETE access would hold nothing). WRITE_DAC
    // where this account has it, to make an older folder's DACL the work
    // folder's own. A new one is made with its own DACL and held in the same
    // call: made first and opened after, another account could swap it for
    // a junction in between.
    ACCESS_MASK access = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | DELETE |
                         READ_CONTROL | SYNCHRONIZE;
    HANDLE folder = NULL;
    PSECURITY_DESCRIPTOR own = code ? NULL : protected_folder_descriptor();
    NTSTATUS status = (NTSTATUS)0xC0000001;   // STATUS_UNSUCCESSFUL
    if (!code) {
        status = open_work_folder(parent, own, FILE_CREATE, access | WRITE_DAC, &folder, made);
        if (status == (NTSTATUS)0xC0000035) {   // STATUS_OBJECT_NAME_COLLISION: one is there
            status = open_work_folder(parent, NULL, FILE_OPEN, access | WRITE_DAC, &folder, made);
            if (status == (NTSTATUS)0xC0000022)   // STATUS_ACCESS_DENIED: no WRITE_DAC for this account
                status = open_work_folder(parent, NULL, FILE_OPEN, access, &folder, made);
        }
        if (status < 0)
            code = status_code(status);
    }
    if (own)
        LocalFree(own);
    win.CloseHandle(parent);
    FolderIdentity held;
    if (!code)
        code = identity_of(folder, &held, &attributes);
    if (!code && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        code = ERROR_ALREADY_EXISTS;   // a file of that name
    else if (!code && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        code = WORK_FOLDER_LINK;
    else if (!code && held.volume != volume.volume)
        code = WORK_FOLDER_ELSEWHERE;
    if (code) {
        // one made now and not taken goes again, through the handle it was made with
        if (*made)
            delete_open_file(folder);
        if (folder)
            win.CloseHandle(folder);
        *made = 0;
        return code;
    }
    work_folder = folder;
    work_folder_identity = held;
    return 0;
}

// A folder that reads as compressed would give its work files compression,
// and a compressed zero or byte pattern costs the volume next to nothing:
// the fill would never fill it. File systems without compression don't mark
// it so; if one answers "not supported" all the same, nothing is compressed
// there either. 0, or the error code of a folder that stays compressed.
DWORD keep_work_files_uncompressed(void)
{
    FolderIdentity identity;
    DWORD attributes = 0;
    if (identity_of(work_folder, &identity, &attributes) || !(attributes & FILE_ATTRIBUTE_COMPRESSED))
        return 0;
    USHORT format = COMPRESSION_FORMAT_NONE;
    DWORD returned = 0, code = 0;
    ++work_folder_calls;
    if (!win.DeviceIoControl(work_folder, FSCTL_SET_COMPRESSION, &format, sizeof format, NULL, 0, &returned, NULL))
        code = GetLastError();
    if (code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION)
        return 0;
    return code;
}

void release_work_folder(void)
{
    if (work_folder)
        win.CloseHandle(work_folder);
    work_folder = NULL;
}

// What the held folder holds: every entry, and how many of them are files
// of the run's it has deleted that another program still holds (pending),
// those named into names ("folder\\name " and the reason, a line each).
static int entries_left(int *pending, char *names, size_t size)
{
    static WorkListing listing;
    WorkEntry entry;
    int entries = 0;
    *pending = 0;
    if (names)
        names[0] = 0;
    begin_work_listing(&listing);
    while (next_work_entry(&listing, &entry)) {
        ++entries;
        if (!is_deleted_run_file(entry.index))
            continue;
        ++*pending;
        size_t have = names ? strlen(names) : size;
        if (have + 3 < size) {
            // deleted, and still there: another program has it open
            DWORD saved = run_context.last_error;
            run_context.last_error = WORK_FILE_STAYED;
            format_system_error(names + have, (unsigned)(size - have - 3), "%s\\%s ", work_folder_path, entry.name);
            run_context.last_error = saved;
            if (strlen(names) > have && names[strlen(names) - 1] != '\n')
                strcat(names, "\r\n");
            // kept with the run's failures, for its record
            note_run_failure(names + have);
        }
    }
    end_work_listing(&listing);
    return entries;
}

int remove_work_folder(HWND dialog, const char **text)
{
    static char removal_text[STATUS_TEXT_SIZE];
    int result = 0;
    if (work_folder_created && work_folder && foreign_count == 0) {
        // Files the run deleted that another program (an indexer, a scanner)
        // still holds keep their names, and the folder can't go until they
        // do: Windows refuses it (not empty), Wine says yes and keeps it. The
        // folder waits for them a while, as a held file is tried again; what
        // else is in it won't go by waiting.
        DWORD start = GetTickCount(), code = 0;
        for (;;) {
            int pending = 0, entries = entries_left(&pending, NULL, 0);
            code = entries ? ERROR_DIR_NOT_EMPTY : delete_open_file(work_folder);
            if (code != ERROR_DIR_NOT_EMPTY || (entries && pending < entries) ||
                GetTickCount() - start >= delete_retry_ms)
                break;
            Sleep(DELETE_RETRY_STEP_MS);
        }
        if (code) {
            run_context.last_error = code;
            error_box(dialog, MB_ICONWARNING, "%s: ", work_folder_path);
            // the run's files still pending, each with why, over the folder's word
            int pending = 0;
            entries_left(&pending, removal_text, sizeof removal_text - strlen(program_text(IDS_CANNOT_DELETE_FOLDER)) - 1);
            size_t have = strlen(removal_text);
            snprintf(removal_text + have, sizeof removal_text - have, "%s", program_text(IDS_CANNOT_DELETE_FOLDER));
            *text = removal_text;
            result = 1;
        }
    }
    release_work_folder();
    // forgotten either way, so that a later close does not try again
    work_folder_created = 0;
    work_folder_path[0] = 0;
    return result;
}

int begin_pass_hold(const char *folder)
{
    if (work_folder)
        return 0;
    snprintf(work_folder_path, sizeof work_folder_path, "%s", folder);
    HANDLE held = win.CreateFileA(folder, FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                          DELETE | READ_CONTROL | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    DWORD code = held == INVALID_HANDLE_VALUE ? (GetLastError() ? GetLastError() : ERROR_PATH_NOT_FOUND) : 0;
    DWORD attributes = 0;
    if (!code && !(code = identity_of(held, &work_folder_identity, &attributes)) &&
        (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
        code = ERROR_DIRECTORY;
    if (code) {
        if (held != INVALID_HANDLE_VALUE)
            win.CloseHandle(held);
        run_context.last_error = code;
        report_pass_error("CreateFile(%s): ", folder);
        return -1;
    }
    work_folder = held;
    return 1;
}

void end_pass_hold(int held)
{
    if (held == 1)
        release_work_folder();
}

// ---------------------------------------------------------------- the deletion

DWORD delete_retry_ms = DELETE_RETRY_MS;
unsigned long long journal_index;

// Work files that could not be deleted: each named with its reason in the
// status box and kept as a failure of the run, one box for them all.
static char left_box[2048];
static char deletion_status[STATUS_TEXT_SIZE];

static void note_file_left(HWND owner, int status_id, const char *folder, const char *name)
{
    format_system_error(deletion_status, STATUS_TEXT_LIMIT, "%s\\%s ", folder, name);
    SetDlgItemTextA(owner, status_id, deletion_status);
    note_run_failure(deletion_status);
    // the box gives the reason a line of its own, as every box of a file does
    size_t have = strlen(left_box);
    format_system_error(left_box + have, (unsigned)(sizeof left_box - 1 - have), "%s\\%s\r\n", folder, name);
}

static int report_files_left(HWND owner)
{
    if (!left_box[0])
        return 0;
    show_message_box(owner, left_box, MB_OK | MB_ICONWARNING);
    return 3;
}

// Scanners, indexers and sync clients open new files for a moment without
// letting them be deleted: such a file is tried again for a while.
static int is_held(DWORD code)
{
    // a deletion cut by the session's end's cancel of a transfer is tried again too
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_ACCESS_DENIED || code == ERROR_OPERATION_ABORTED || code == WORK_FILE_STAYED;
}

static char held_names[HELD_FILES_MAX][MAX_PATH];

int delete_work_files(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
                      const char *folder)
{
    static WorkListing listing;
    WorkEntry entry;
    int held = 0;
    (void)step_id;

    left_box[0] = 0;
    int holding = work_folder ? 0 : begin_pass_hold(folder);
    if (holding < 0)
        return 3;
    // every file of the run's that can go goes: one that can't is named, and
    // the rest still give their space back
    int result = 0;
    begin_work_listing(&listing);
    while (next_work_entry(&listing, &entry)) {
        if (abort_requested(abort_flag)) {
            result = 1;
            break;
        }
        if (journal_index && entry.index == journal_index)
            continue;
        // one the run deleted, still listed while another program holds it
        if (is_deleted_run_file(entry.index))
            continue;
        if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
            !is_run_file(entry.index)) {
            note_foreign_entry(entry.name);
            continue;
        }
        DWORD code = delete_work_file(entry.name);
        if (code == ERROR_DELETE_PENDING) {
            forget_run_file(entry.index);   // deleted already: it goes when its holder lets go
        } else if (code == WORK_FILE_NOT_OURS) {
            note_foreign_entry(entry.name);   // another file has its name since the listing
        } else if (code && is_held(code) && held < HELD_FILES_MAX) {
            strcpy(held_names[held++], entry.name);
        } else if (code) {
            run_context.last_error = code;
            note_file_left(owner, status_id, folder, entry.name);
        }
    }
    end_work_listing(&listing);

    // the held ones again, until they go or the time is up
    DWORD start = GetTickCount();
    while (held > 0 && result == 0) {
        int still = 0;
        int last_round = GetTickCount() - start >= delete_retry_ms;
        if (!last_round)
            Sleep(DELETE_RETRY_STEP_MS);
        for (int i = 0; i < held; ++i) {
            DWORD code = delete_work_file(held_names[i]);
            if (!code || code == WORK_FILE_NOT_OURS || code == ERROR_FILE_NOT_FOUND || code == ERROR_DELETE_PENDING)
                continue;
            if (is_held(code) && !last_round) {
                memmove(held_names[still++], held_names[i], MAX_PATH);
                continue;
            }
            run_context.last_error = code;
            note_file_left(owner, status_id, folder, held_names[i]);
        }
        held = still;
        if (abort_requested(abort_flag))
            result = 1;
    }
    if (report_files_left(owner) != 0 && result == 0)
        result = 3;
    end_pass_hold(holding);
    return result;
}
