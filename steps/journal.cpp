// The run's journal: where a long run stands, in its work folder, so that a
// run the session's end (or a power cut) interrupted can go on from the step
// it was in, and which files in the folder are the run's. A few hundred bytes
// at the start of each step, and a line for each work file as it is made.
//
// Another account may be able to write the journal (on FAT, or through a
// hole elsewhere), so it is proof only when it is ours: every line is
// sealed with an HMAC-SHA-256 under a random key made when the run begins
// and kept in the registry, where other accounts can neither write nor read
// it. A journal that fails its seal, names numbers out of range, or belongs
// to another folder is no journal.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "steps/step_runner.h"
#include "engine/wipe_engine.h"
#include <wincrypt.h>
#include <sddl.h>

// The headers for Windows XP leave it out; Windows XP SP3 and later have it.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

#define JOURNAL_VERSION 2
// Room for a journal's lines before the files it vouches for.
#define JOURNAL_HEADER_SIZE 1024
#define JOURNAL_KEY_BYTES 32
#define JOURNAL_KEY_PATH "Software\\vanta\\Journals"
// Zeros after a journal's text, written while the volume has room: the lines
// of the files a step makes (a thousand and more) go there when it is full;
// past them, a line goes where the volume gives the journal room.
#define JOURNAL_ROOM 0x10000
// A file line: "file=" (a file by its index), "name=" (a work file by its
// number, before it is made) or "temp=" (a journal's new file by the random
// part of its name, before it is made), 16 hex digits, a blank, 32 hex
// digits of its seal, CR LF. Each is sealed with the seal of the journal it
// is written into.
#define FILE_LINE_SIZE 56
#define FILE_SEAL_BYTES 16

char run_id[40];
volatile LONG resume_interrupted_run;
JournalKeyProc journal_key_store;

// The key of this part of the run (none until begin_journal_key), and
// where the journal stands: its open handle, where its text ends and how
// long the file is (whole clusters), the seal its files' lines are bound to.
static BYTE run_key[JOURNAL_KEY_BYTES];
static int run_key_ready;
static HANDLE journal_file = INVALID_HANDLE_VALUE;
static unsigned long long journal_text_end, journal_file_size;
static DWORD journal_cluster;
static char journal_seal[2 * 32 + 1];
// The journal an earlier part left, as it was read (its file index), so that
// only that one is deleted when this part writes none.
static unsigned long long read_journal_index;
static int read_journal_found;
// Where that journal's text ends, how long it is and its seal: a part that
// goes on from it writes its lines there until its own journal is in place.
static unsigned long long read_text_end, read_file_size;
static char read_seal[2 * 32 + 1];

unsigned long long text_hash(const void *bytes, size_t length, unsigned long long hash)
{
    // FNV-1a, 64 bits: a changed byte anywhere changes it
    const unsigned char *at = (const unsigned char *)bytes;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ at[i]) * 0x100000001B3ull;
    return hash;
}

// ---------------------------------------------------------------- seals

static HCRYPTPROV crypto_provider(void)
{
    static HCRYPTPROV provider;
    if (!provider && !CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        provider = 0;
    return provider;
}

// SHA-256 of first and second, one after the other: 1, or 0 when the system
// has no SHA-256 (the journal is then never proof).
static int sha256(const BYTE *first, DWORD first_length, const BYTE *second, DWORD second_length, BYTE *digest)
{
    HCRYPTHASH hash;
    DWORD length = 32;
    if (!crypto_provider() || !CryptCreateHash(crypto_provider(), CALG_SHA_256, 0, 0, &hash))
        return 0;
    int done = CryptHashData(hash, first, first_length, 0) && CryptHashData(hash, second, second_length, 0) &&
               CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == 32;
    CryptDestroyHash(hash);
    return done;
}

// HMAC-SHA-256 of text under key, as hexadecimal text of digest_bytes bytes.
static int seal(const BYTE *key, const char *text, size_t length, int digest_bytes, char *hex)
{
    BYTE inner_pad[64], outer_pad[64], inner[32], outer[32];
    for (int i = 0; i < 64; ++i) {
        BYTE k = i < JOURNAL_KEY_BYTES ? key[i] : 0;
        inner_pad[i] = k ^ 0x36, outer_pad[i] = k ^ 0x5C;
    }
    if (!sha256(inner_pad, 64, (const BYTE *)text, (DWORD)length, inner) || !sha256(outer_pad, 64, inner, 32, outer))
        return 0;
    for (int i = 0; i < digest_bytes; ++i)
        snprintf(hex + 2 * i, 3, "%02x", outer[i]);
    return 1;
}

// ---------------------------------------------------------------- the key

// The registry value that keeps the key of the work folder's journal: one a
// folder, by its identity, so that runs on other folders keep theirs.
static void key_value_name(char *name, size_t size, const FolderIdentity *folder = &work_folder_identity)
{
    snprintf(name, size, "%08lx-%016llx", (unsigned long)folder->volume, folder->index);
}

// The key's place: under HKEY_LOCAL_MACHINE for a folder SYSTEM or the
// Administrators own, when this run has an administrator's rights in force
// (only they may write there), else under the account's own
// HKEY_CURRENT_USER. Made with a DACL that lets no one else read it: SYSTEM,
// the Administrators, and in HKEY_CURRENT_USER the account itself by its SID
// (an ACE for CREATOR OWNER would grant it nothing on the key itself:
// Windows puts the maker in its place only in ACEs a new key inherits).
static LSTATUS open_key_root(HKEY hive, int create, HKEY *root)
{
    if (!create)
        return win.RegOpenKeyExA(hive, JOURNAL_KEY_PATH, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, root);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    char *account = NULL, sddl[256];
    if (hive != HKEY_LOCAL_MACHINE && (!token_user_sid(sid, sizeof sid) || !ConvertSidToStringSidA(sid, &account)))
        return GetLastError() ? (LSTATUS)GetLastError() : ERROR_INVALID_SID;
    snprintf(sddl, sizeof sddl, "D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)%s%s%s", account ? "(A;OICI;KA;;;" : "",
             account ? account : "", account ? ")" : "");
    if (account)
        LocalFree(account);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, NULL))
        return GetLastError() ? (LSTATUS)GetLastError() : ERROR_INVALID_SECURITY_DESCR;
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
    LSTATUS status = win.RegCreateKeyExA(hive, JOURNAL_KEY_PATH, 0, NULL, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &security,
                                         root, NULL);
    LocalFree(descriptor);
    return status;
}

static LSTATUS WINAPI registry_key_store(int operation, int machine, const char *name, BYTE *key)
{
    HKEY hive = machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, root;
    LSTATUS status = open_key_root(hive, operation == KEY_STORE_WRITE, &root);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD type = 0, size = JOURNAL_KEY_BYTES;
    if (operation == KEY_STORE_WRITE) {
        status = win.RegSetValueExA(root, name, 0, REG_BINARY, key, JOURNAL_KEY_BYTES);
        // written through once, when the run begins
        if (status == ERROR_SUCCESS)
            status = win.RegFlushKey(root);
    } else if (operation == KEY_STORE_READ) {
        status = win.RegQueryValueExA(root, name, NULL, &type, key, &size);
        if (status == ERROR_SUCCESS && (type != REG_BINARY || size != JOURNAL_KEY_BYTES))
            status = ERROR_INVALID_DATA;
    } else {
        status = win.RegDeleteValueA(root, name);
    }
    win.RegCloseKey(root);
    return status;
}

DWORD begin_journal_key(int machine_owned)
{
    char name[40];
    run_key_ready = 0;
    if (!journal_key_store)
        journal_key_store = registry_key_store;
    if (!crypto_provider() || !CryptGenRandom(crypto_provider(), JOURNAL_KEY_BYTES, run_key))
        return GetLastError() ? GetLastError() : NTE_PROV_DLL_NOT_FOUND;
    key_value_name(name, sizeof name);
    // the machine's for a folder SYSTEM or the Administrators own; where
    // this account can't write there (or the folder has no owner), its own
    LSTATUS status = ERROR_ACCESS_DENIED;
    // HKEY_LOCAL_MACHINE takes writes from an elevated token only: a run
    // without its administrator's rights in force keeps its key as its own
    if (machine_owned && token_elevated())
        status = journal_key_store(KEY_STORE_WRITE, 1, name, run_key);
    if (status != ERROR_SUCCESS && (machine_owned != 1 || !token_elevated()))
        status = journal_key_store(KEY_STORE_WRITE, 0, name, run_key);
    if (status != ERROR_SUCCESS)
        return (DWORD)status;
    run_key_ready = 1;
    return 0;
}

// The key an earlier part of the run on this folder left: 1 with key set.
static int earlier_key(BYTE *key, const FolderIdentity *folder = &work_folder_identity)
{
    char name[40];
    if (!journal_key_store)
        journal_key_store = registry_key_store;
    key_value_name(name, sizeof name, folder);
    // an earlier part's key under HKEY_LOCAL_MACHINE is out of reach of a
    // token that is not elevated: that part can't be taken up from here
    return (token_elevated() && journal_key_store(KEY_STORE_READ, 1, name, key) == ERROR_SUCCESS) ||
           journal_key_store(KEY_STORE_READ, 0, name, key) == ERROR_SUCCESS;
}

static void forget_journal_key(void)
{
    char name[40];
    if (!journal_key_store)
        journal_key_store = registry_key_store;
    key_value_name(name, sizeof name);
    if (token_elevated())
        journal_key_store(KEY_STORE_DELETE, 1, name, NULL);
    journal_key_store(KEY_STORE_DELETE, 0, name, NULL);
    run_key_ready = 0;
}

// ---------------------------------------------------------------- writing

// The journal's lines before its seal.
static int compose_journal(const RunJournal *journal, char *text, size_t size)
{
    int length = snprintf(text, size,
                          "vanta journal=%d\r\nfolder=%08lx-%016llx\r\nmethod=%d\r\nscript=%016llx\r\nstep=%d\r\n"
                          "steps=%d\r\nrun_id=%s\r\nstarted=%s\r\ncreated=%d\r\npasses=%d\r\n"
                          "bytes_written=%llu\r\nbytes_verified=%llu\r\n",
                          JOURNAL_VERSION, (unsigned long)journal->folder.volume, journal->folder.index,
                          journal->method, journal->script_hash, journal->step, journal->steps, journal->run_id,
                          journal->started, journal->created, journal->passes, journal->bytes_written,
                          journal->bytes_verified);
    return length < 0 || (size_t)length >= size ? -1 : length;
}

// The line that vouches for a file, bound to the journal's seal; kind is
// "file" or "temp".
static int file_line(const BYTE *key, const char *journal_seal_text, const char *kind, unsigned long long value,
                     char *line)
{
    char sealed[128], hex[2 * FILE_SEAL_BYTES + 1];
    int length = snprintf(sealed, sizeof sealed, "%s %s=%016llx", journal_seal_text, kind, value);
    if (!seal(key, sealed, (size_t)length, FILE_SEAL_BYTES, hex))
        return 0;
    snprintf(line, FILE_LINE_SIZE + 1, "%s=%016llx %s\r\n", kind, value, hex);
    return 1;
}

// The volume's allocation unit under the work folder; 64 KiB when it does not say.
static DWORD cluster_bytes_of(void)
{
    char root[MAX_PATH];
    DWORD per_cluster = 0, per_sector = 0, free_clusters, clusters;
    if (volume_root_of(work_folder_path, root) != 0 ||
        !GetDiskFreeSpaceA(root, &per_cluster, &per_sector, &free_clusters, &clusters) || !per_cluster ||
        !per_sector || per_cluster * per_sector > 0x10000)
        return 0x10000;
    return per_cluster * per_sector;
}

// Zeros from at to the next whole cluster past length: the journal holds its
// clusters through the passes, where no fill reaches, so they are written
// whole and nothing a deleted file left in them stays behind the text.
static BOOL write_zeros_to(HANDLE file, unsigned long long at, unsigned long long end)
{
    static const char zeros[0x10000] = {0};
    DWORD written = 0;
    for (; at < end; at += written) {
        DWORD part = end - at < sizeof zeros ? (DWORD)(end - at) : (DWORD)sizeof zeros;
        if (!win.WriteFile(file, zeros, part, &written, NULL) || written != part)
            return FALSE;
    }
    return TRUE;
}

static void close_journal_file(void)
{
    if (journal_file != INVALID_HANDLE_VALUE)
        win.CloseHandle(journal_file);
    journal_file = INVALID_HANDLE_VALUE;
}

// The journal file of index again, when it is there by its name: that
// very file, not whatever has its name.
static void reopen_journal(unsigned long long index)
{
    DWORD code = 0;
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE file = open_in_work_folder(JOURNAL_NAME, GENERIC_WRITE | DELETE, 0, OPEN_EXISTING, &code);
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (index && win.GetFileInformationByHandle(file, &info) &&
        (((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow) == index)
        journal_file = file;
    else
        win.CloseHandle(file);
}

static void note_line(const char *kind, unsigned long long value);

static void moment(int which)
{
    if (run_moment)
        run_moment(which);
}

DWORD write_journal(const RunJournal *journal)
{
    static char text[JOURNAL_HEADER_SIZE + FILE_LINE_SIZE * 64];
    // the new journal's seal: the one in place keeps its own until the new
    // one has taken its place, so that every line it holds, and every line
    // it gets after a replacement that failed, is proven by it
    char temporary[40], line[FILE_LINE_SIZE + 1], new_seal[2 * 32 + 1];
    DWORD random = 0;
    DWORD code = 0;
    if (!run_key_ready || !work_folder)
        return ERROR_INVALID_HANDLE;
    int length = compose_journal(journal, text, JOURNAL_HEADER_SIZE - 80);
    if (length < 0)
        return ERROR_BUFFER_OVERFLOW;
    if (!seal(run_key, text, (size_t)length, 32, new_seal))
        return NTE_BAD_ALGID;
    length += snprintf(text + length, sizeof text - length, "seal=%s\r\n", new_seal);

    // a new file under a name no one can have put there, written whole and
    // through, then in the old one's place in one move: a power cut leaves
    // the one or the other, never half of one
    CryptGenRandom(crypto_provider(), sizeof random, (BYTE *)&random);
    snprintf(temporary, sizeof temporary, JOURNAL_NAME ".%08lx", (unsigned long)random);
    // vouched for by the journal it is to replace before it is made, by a
    // name no one could have guessed: a run cut short anywhere after leaves
    // the next part a file it may delete
    moment(MOMENT_BEFORE_TEMP_LINE);
    note_line("temp", random);
    moment(MOMENT_AFTER_TEMP_LINE);
    HANDLE file = open_in_work_folder(temporary, GENERIC_WRITE | DELETE, 0, CREATE_NEW, &code);
    if (file == INVALID_HANDLE_VALUE)
        return code;
    moment(MOMENT_JOURNAL_MADE);
    journal_cluster = cluster_bytes_of();
    // the files the run has now, each vouched for by a line of its own
    size_t count = list_run_files(NULL, 0);
    unsigned long long *indexes = (unsigned long long *)malloc((count ? count : 1) * sizeof *indexes);
    if (!indexes) {
        delete_open_file(file);
        win.CloseHandle(file);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    count = list_run_files(indexes, count);
    unsigned long long size = (unsigned long long)length;
    DWORD written = 0;
    BOOL whole = win.WriteFile(file, text, (DWORD)length / 2, &written, NULL) && written == (DWORD)length / 2;
    moment(MOMENT_JOURNAL_HALF);
    whole = whole && win.WriteFile(file, text + length / 2, (DWORD)(length - length / 2), &written, NULL) &&
            written == (DWORD)(length - length / 2);
    for (size_t i = 0; whole && i < count; ++i, size += FILE_LINE_SIZE)
        whole = file_line(run_key, new_seal, "file", indexes[i], line) &&
                win.WriteFile(file, line, FILE_LINE_SIZE, &written, NULL) && written == FILE_LINE_SIZE;
    // room for the lines of the files the step makes, taken while the volume
    // has room: they are made when it is full
    unsigned long long end = (size + JOURNAL_ROOM + journal_cluster - 1) / journal_cluster * journal_cluster;
    free(indexes);
    whole = whole && write_zeros_to(file, size, end) && win.FlushFileBuffers(file);
    code = whole ? 0 : GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    if (code) {
        // the journal before it stays as it was (a full volume takes no new
        // one); what reached this one's clusters is on the disk before they
        // are free again
        win.FlushFileBuffers(file);
        delete_open_file(file);
        win.CloseHandle(file);
        return code;
    }
    // the old journal's handle goes first: a file open without sharing its
    // deletion can't be replaced; should the move fail, it is taken up again
    // only a journal of the run's own is replaced: another file of its name
    // stays, and the run goes without one
    unsigned long long old_index = journal_index;
    close_journal_file();
    code = rename_open_file(file, JOURNAL_NAME, old_index != 0);
    if (code) {
        delete_open_file(file);
        win.CloseHandle(file);
        reopen_journal(old_index);
        return code;
    }
    moment(MOMENT_JOURNAL_MOVED);
    journal_file = file;
    snprintf(journal_seal, sizeof journal_seal, "%s", new_seal);
    journal_text_end = size, journal_file_size = end;
    BY_HANDLE_FILE_INFORMATION info;
    if (win.GetFileInformationByHandle(file, &info))
        journal_index = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return 0;
}

// A line added to the journal in place; one that fails costs only the
// chance to vouch for its file.
static void note_line(const char *kind, unsigned long long value)
{
    char line[FILE_LINE_SIZE + 1];
    if (journal_file == INVALID_HANDLE_VALUE || !run_key_ready || !file_line(run_key, journal_seal, kind, value, line))
        return;
    LARGE_INTEGER at;
    DWORD written = 0;
    if (journal_text_end + FILE_LINE_SIZE > journal_file_size) {
        at.QuadPart = (LONGLONG)journal_file_size;
        if (!win.SetFilePointerEx(journal_file, at, NULL, FILE_BEGIN) ||
            !write_zeros_to(journal_file, journal_file_size, journal_file_size + journal_cluster))
            return;
        journal_file_size += journal_cluster;
    }
    at.QuadPart = (LONGLONG)journal_text_end;
    if (win.SetFilePointerEx(journal_file, at, NULL, FILE_BEGIN) &&
        win.WriteFile(journal_file, line, FILE_LINE_SIZE, &written, NULL) && written == FILE_LINE_SIZE)
        journal_text_end += FILE_LINE_SIZE;
}

void journal_note_file(const char *name, unsigned long long index)
{
    (void)name;
    note_line("file", index);
}

void journal_note_name(const char *name)
{
    note_line("name", strtoull(name, NULL, 10));
}

DWORD go_on_with_journal(void)
{
    if (!read_journal_found || !earlier_key(run_key))
        return ERROR_INVALID_DATA;
    close_journal_file();
    reopen_journal(read_journal_index);
    if (journal_file == INVALID_HANDLE_VALUE)
        return ERROR_FILE_NOT_FOUND;
    snprintf(journal_seal, sizeof journal_seal, "%s", read_seal);
    journal_text_end = read_text_end, journal_file_size = read_file_size;
    journal_cluster = cluster_bytes_of();
    journal_index = read_journal_index;
    run_key_ready = 1;
    return 0;
}

// ---------------------------------------------------------------- reading

// A decimal number of at most 18 digits, nothing else: 1 with *number set.
static int decimal(const char *text, unsigned long long *number)
{
    size_t length = strlen(text);
    if (length == 0 || length > 18 || strspn(text, "0123456789") != length)
        return 0;
    *number = strtoull(text, NULL, 10);
    return 1;
}

static int hexadecimal(const char *text, size_t digits, unsigned long long *number)
{
    if (strlen(text) != digits || strspn(text, "0123456789abcdef") != digits)
        return 0;
    *number = strtoull(text, NULL, 16);
    return 1;
}

// The next line of text from *at (without its CR LF) into line; 0 when
// there is none, or it does not end in CR LF, or it does not fit.
static int next_line(const char **at, char *line, size_t size)
{
    const char *end = strstr(*at, "\r\n");
    if (!end || (size_t)(end - *at) >= size)
        return 0;
    memcpy(line, *at, end - *at);
    line[end - *at] = 0;
    *at = end + 2;
    return 1;
}

// The value of the line key=value in order: the key must be the next line's.
static int keyed_line(const char **at, const char *key, char *value, size_t size)
{
    char line[JOURNAL_HEADER_SIZE];
    size_t key_length = strlen(key);
    if (!next_line(at, line, sizeof line) || strncmp(line, key, key_length) != 0 || line[key_length] != '=' ||
        strlen(line + key_length + 1) >= size)
        return 0;
    strcpy(value, line + key_length + 1);
    return 1;
}

// The header's lines in their order, each value in range: 0 with *journal
// filled, or ERROR_INVALID_DATA.
static DWORD parse_header(const char *text, const char **after, RunJournal *journal, char *sealed_with,
                          size_t *sealed_length)
{
    const char *at = text;
    char value[JOURNAL_HEADER_SIZE];
    unsigned long long numbers[9], serial = 0;
    const char *keys[] = {"vanta journal", "method", "step", "steps", "created", "passes", "bytes_written",
                          "bytes_verified"};
    // version, folder, method, script, step, steps, run_id, started, created, passes, bytes
    if (!keyed_line(&at, keys[0], value, sizeof value) || !decimal(value, &numbers[0]) ||
        numbers[0] != JOURNAL_VERSION || !keyed_line(&at, "folder", value, sizeof value) || strlen(value) != 25 ||
        value[8] != '-')
        return ERROR_INVALID_DATA;
    value[8] = 0;
    if (!hexadecimal(value, 8, &serial) || !hexadecimal(value + 9, 16, &journal->folder.index))
        return ERROR_INVALID_DATA;
    journal->folder.volume = (DWORD)serial;
    if (!keyed_line(&at, "method", value, sizeof value) || !decimal(value, &numbers[1]) ||
        !keyed_line(&at, "script", value, sizeof value) || !hexadecimal(value, 16, &journal->script_hash) ||
        !keyed_line(&at, "step", value, sizeof value) || !decimal(value, &numbers[2]) ||
        !keyed_line(&at, "steps", value, sizeof value) || !decimal(value, &numbers[3]) ||
        !keyed_line(&at, "run_id", journal->run_id, sizeof journal->run_id) ||
        !keyed_line(&at, "started", journal->started, sizeof journal->started))
        return ERROR_INVALID_DATA;
    for (int k = 4; k < 8; ++k)
        if (!keyed_line(&at, keys[k], value, sizeof value) || !decimal(value, &numbers[k]))
            return ERROR_INVALID_DATA;
    // numbers out of range are no journal: nothing wraps to another step
    if (numbers[1] > HIGHEST_METHOD_INDEX || numbers[3] < 1 || numbers[3] > JOURNAL_MOST_STEPS || numbers[2] < 1 ||
        numbers[2] > numbers[3] || numbers[4] > 1 || numbers[5] > 0x7FFFFFFF ||
        numbers[6] > 0x3FFFFFFFFFFFFFFFull || numbers[7] > 0x3FFFFFFFFFFFFFFFull)
        return ERROR_INVALID_DATA;
    journal->method = (int)numbers[1];
    journal->step = (int)numbers[2];
    journal->steps = (int)numbers[3];
    journal->created = (int)numbers[4];
    journal->passes = (int)numbers[5];
    journal->bytes_written = numbers[6];
    journal->bytes_verified = numbers[7];
    // its own line, right after what it seals
    *sealed_length = (size_t)(at - text);
    if (!keyed_line(&at, "seal", sealed_with, 2 * 32 + 1) || strlen(sealed_with) != 64)
        return ERROR_INVALID_DATA;
    *after = at;
    return 0;
}

DWORD read_journal(RunJournal *journal)
{
    static char text[JOURNAL_HEADER_SIZE + 0x10000];
    char header_seal[2 * 32 + 1], expected[2 * 32 + 1], line[FILE_LINE_SIZE + 1];
    BYTE key[JOURNAL_KEY_BYTES];
    DWORD code = 0, got = 0;
    memset(journal, 0, sizeof *journal);
    read_journal_found = 0;
    HANDLE file = open_in_work_folder(JOURNAL_NAME, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &code);
    if (file == INVALID_HANDLE_VALUE)
        return code == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : code;
    BY_HANDLE_FILE_INFORMATION info;
    unsigned long long index = 0, size = 0;
    if (win.GetFileInformationByHandle(file, &info)) {
        index = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        size = ((unsigned long long)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    }
    if (!win.ReadFile(file, text, JOURNAL_HEADER_SIZE, &got, NULL)) {
        win.CloseHandle(file);
        return ERROR_INVALID_DATA;
    }
    text[got] = 0;
    const char *at = text;
    size_t sealed_length = 0;
    code = parse_header(text, &at, journal, header_seal, &sealed_length);
    // sealed under the key this folder's run left, or no journal at all
    if (!code && (!earlier_key(key) || !seal(key, text, sealed_length, 32, expected) || strcmp(expected, header_seal) != 0))
        code = ERROR_INVALID_DATA;
    if (!code && (journal->folder.volume != work_folder_identity.volume ||
                  journal->folder.index != work_folder_identity.index))
        code = ERROR_INVALID_DATA;   // another folder's
    if (code) {
        win.CloseHandle(file);
        return code;
    }
    // the journal is the run's: it stays out of the deletion, and goes only as itself
    read_journal_index = journal_index = index, read_journal_found = 1;
    read_file_size = size;
    snprintf(read_seal, sizeof read_seal, "%s", header_seal);
    // the files it vouches for, a line each until the zeros; a line that
    // fails its seal vouches for nothing
    read_text_end = (unsigned long long)(at - text);
    size_t have = got - (size_t)(at - text);
    memmove(text, at, have);
    for (;;) {
        text[have] = 0;
        const char *cursor = text;
        while (next_line(&cursor, line, sizeof line)) {
            unsigned long long index = 0;
            char own[FILE_LINE_SIZE + 1], name[40];
            int temp = strncmp(line, "temp=", 5) == 0, named = strncmp(line, "name=", 5) == 0;
            if ((!temp && !named && strncmp(line, "file=", 5) != 0) || strlen(line) != FILE_LINE_SIZE - 2 ||
                line[21] != ' ')
                continue;
            line[4] = line[21] = 0;
            if (!hexadecimal(line + 5, 16, &index) || !file_line(key, header_seal, line, index, own) ||
                strncmp(own + 22, line + 22, 2 * FILE_SEAL_BYTES) != 0)
                continue;
            if (!temp && !named) {
                note_run_file(index);
            } else if (index <= 0xFFFFFFFFull) {
                // a file by its name, when it was made at all (a plain file
                // with one link): a journal's new file, or a work file made
                // before its ID line
                if (temp)
                    snprintf(name, sizeof name, JOURNAL_NAME ".%08lx", (unsigned long)index);
                else
                    work_file_name((unsigned)index, name);
                vouch_for_work_file(name);
            }
        }
        read_text_end += (unsigned long long)(cursor - text);
        have -= (size_t)(cursor - text);
        memmove(text, cursor, have);
        if (have && memchr(text, 0, have))
            break;   // the zeros after the text
        if (!win.ReadFile(file, text + have, (DWORD)(sizeof text - 1 - have), &got, NULL) || got == 0)
            break;
        have += got;
    }
    win.CloseHandle(file);
    return 0;
}

int interrupted_run_method(const char *folder)
{
    char full[MAX_PATH], text[JOURNAL_HEADER_SIZE + 1], header_seal[2 * 32 + 1], expected[2 * 32 + 1];
    BYTE key[JOURNAL_KEY_BYTES];
    RunJournal journal;
    FolderIdentity work;
    DWORD length = folder && *folder ? GetFullPathNameA(folder, sizeof full, full, NULL) : 0;
    if (!length || length >= sizeof full)
        return -1;
    char *work_path = path_join(full, WORK_FOLDER_NAME), *path = path_join(work_path, JOURNAL_NAME);
    int method = -1;
    // read as it is, never through a link, and held by no one meanwhile: the
    // run that goes on reads it again through its held folder
    HANDLE file = folder_identity_of(work_path, &work) == 0
                      ? win.CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL)
                      : INVALID_HANDLE_VALUE;
    DWORD got = 0;
    if (file != INVALID_HANDLE_VALUE && win.ReadFile(file, text, JOURNAL_HEADER_SIZE, &got, NULL)) {
        const char *after = text;
        size_t sealed_length = 0;
        text[got] = 0;
        // the folder's own, sealed under its run's key
        if (!parse_header(text, &after, &journal, header_seal, &sealed_length) && journal.folder.volume == work.volume &&
            journal.folder.index == work.index && earlier_key(key, &work) &&
            seal(key, text, sealed_length, 32, expected) && strcmp(expected, header_seal) == 0)
            method = journal.method;
    }
    if (file != INVALID_HANDLE_VALUE)
        win.CloseHandle(file);
    free(path), free(work_path);
    return method;
}

// ---------------------------------------------------------------- the end

void close_journal(void)
{
    close_journal_file();
    run_key_ready = 0, read_journal_found = 0, journal_index = 0;
}

void delete_journal(void)
{
    DWORD code = 0;
    if (journal_file != INVALID_HANDLE_VALUE) {
        // its zeros on the disk first: they cover what a deleted file left in its clusters
        win.FlushFileBuffers(journal_file);
        delete_open_file(journal_file);
        close_journal_file();
    } else if (read_journal_found) {
        // the earlier part's, when this part wrote none: that very file, not
        // whatever has its name
        // the zeros of the clusters it grew by on the disk first, as above
        HANDLE file = open_in_work_folder(JOURNAL_NAME, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_DATA, 0,
                                          OPEN_EXISTING, &code);
        BY_HANDLE_FILE_INFORMATION info;
        if (file != INVALID_HANDLE_VALUE) {
            if (win.GetFileInformationByHandle(file, &info) &&
                (((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow) == read_journal_index) {
                win.FlushFileBuffers(file);
                delete_open_file(file);
            }
            win.CloseHandle(file);
        }
    }
    read_journal_found = 0, journal_index = 0;
    if (work_folder)
        forget_journal_key();
}

void journal_local_time(char *text, size_t size)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(text, size, "%04u-%02u-%02u %02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute);
}

int script_hash(const char *script, unsigned long long *hash)
{
    char block[4096];
    HANDLE file = win.CreateFileA(script, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    *hash = TEXT_HASH_START;
    DWORD got = 0;
    BOOL read = TRUE;
    while ((read = win.ReadFile(file, block, sizeof block, &got, NULL)) && got > 0)
        *hash = text_hash(block, got, *hash);
    win.CloseHandle(file);
    return read != 0;
}
