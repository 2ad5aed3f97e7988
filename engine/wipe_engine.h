// Wipe engine: what the rest of vanta may call.
#ifndef VANTA_ENGINE_WIPE_ENGINE_H
#define VANTA_ENGINE_WIPE_ENGINE_H

#include <windows.h>
#include <accctrl.h>
#include "support/system_calls.h"

// One transfer buffer serves every write and read of a run.
#define TRANSFER_SIZE   0x400000      // 4,194,304 bytes: every full write
#define MAX_FILE_BYTES  0x40000000    // 1 GiB: a work file is closed here (256 full writes)
#define FIRST_WRITE_BYTES 700         // the first write into every new work file
#define MIN_WRITE_BYTES 512           // the smallest sector: tail writes are whole sectors
#define MAX_WORK_FILE_NUMBER 99999999u
#define BYTE_LIST_MAX   512

// ------------------------------------------------------- file calls

// The engine's opens, reads and writes of the files in the work folder go
// through these: its own open relative to the held folder and Win32's reads
// and writes, unless a test puts in ones that refuse what Windows refuses on
// a handle opened unbuffered (sizes, positions and buffers off the sector
// size), which Wine accepts, or that fail the way damaged media do.
// create: name in folder, never through a link; disposition and flags as
// CreateFile takes them (CREATE_NEW, OPEN_EXISTING, FILE_FLAG_WRITE_THROUGH,
// FILE_FLAG_NO_BUFFERING); INVALID_HANDLE_VALUE with the last error set.
typedef HANDLE (WINAPI *CreateInFolderProc)(HANDLE folder, LPCWSTR name, DWORD access, DWORD share,
                                            DWORD disposition, DWORD flags);
typedef BOOL (WINAPI *WriteFileProc)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL (WINAPI *ReadFileProc)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef DWORD (WINAPI *SetFilePointerProc)(HANDLE, LONG, PLONG, DWORD);
struct FileCalls {
    CreateInFolderProc create;
    WriteFileProc write;
    ReadFileProc read;
    SetFilePointerProc seek;
};
extern FileCalls file_calls;
HANDLE WINAPI create_in_folder(HANDLE folder, LPCWSTR name, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags);

// ------------------------------------------------------- transfer buffer

// Allocates the run's transfer buffer into run_context (zero-filled, page
// aligned). Returns 0, or the system's error code with nothing allocated.
DWORD alloc_transfer_buffer(void);
// Releases it in full and clears the pointer; harmless when none is held.
void release_transfer_buffer(void);

// ------------------------------------------------------- the work folder

// Everything a run makes lives in the work folder $VANTA$$ of the chosen
// folder, and only the work folder's code touches anything in it. Another
// account may write into the chosen folder, so every name in the work folder
// may have been planted: the folder is held open for the whole run by a
// handle that no one can rename or delete it under; every file is made,
// listed and opened relative to that handle and never through a link; and a
// file is written, cut or deleted only when its file ID is one this run made
// or its journal vouches for, and its own handle says it is a plain file with
// one link on the folder's volume. Anything else is left where it is, named.
#define WORK_FOLDER_NAME "$VANTA$$"

// "<folder>\$VANTA$$" as the run names it (texts, the record); empty until a Start sets it.
extern char work_folder_path[MAX_PATH];
// 1 when this run made the folder and so removes it at the end.
extern LONG work_folder_created;
// The folder, held from the run's start to its end; NULL when none is held.
extern HANDLE work_folder;
// A folder as its handle knows it: the volume's serial and its file index.
struct FolderIdentity {
    DWORD volume;
    unsigned long long index;
};
extern FolderIdentity work_folder_identity;

// Its refusals of the folder and its files: WORK_FOLDER_* and WORK_FILE_*
// (support/messages.h).

// The system calls the work folder's code has made (the fill bench counts
// what the checks cost a file).
extern unsigned long long work_folder_calls;

// 0 with work_folder_path set; 3 when the folder text is too long (warning
// shown, *text is string 408, the path unchanged), or names a device or a
// volume as the system takes it (\\.\, \\?\, CON: warning shown, *text says so).
int prepare_work_folder_path(HWND dialog, const char *folder, const char **text);
// Makes work_folder_path (with a DACL of its own: SYSTEM, the
// Administrators and this account) or opens the one there, and holds it.
// 0 with *made set and the folder held; ERROR_SHARING_VIOLATION when another
// run (or program) holds it; WORK_FOLDER_LINK, WORK_FOLDER_ELSEWHERE,
// ERROR_ALREADY_EXISTS for a file of that name, or the system's code.
DWORD hold_work_folder(int *made);
// The held folder may be taken: its owner is this account, SYSTEM or the
// Administrators, and no one else may write in it (where others may and this
// account can, its DACL is made the work folder's own first). 0, or
// WORK_FOLDER_FOREIGN_OWNER, WORK_FOLDER_OTHERS_WRITE, or the system's code.
// FAT and exFAT keep no owner: 0.
DWORD check_work_folder_owner(void);
// The same check of any folder held through folder (READ_CONTROL; WRITE_DAC
// when reset is set and a DACL that lets others write is to be made the work
// folder's own); *machine_owned, unless null, is set as below when the folder
// has an owner.
DWORD check_folder_security(HANDLE folder, int reset, int *machine_owned);
// The work folder's own DACL: SYSTEM, the Administrators and the running
// account, each with full access, inherited by what is made in it and
// protected from what the folder around it grants. LocalFree it; null when
// the account's SID can't be had.
PSECURITY_DESCRIPTOR protected_folder_descriptor(void);
// Who owns the folder check_work_folder_owner took (or note_made_folder_owner,
// for one made now): 1 SYSTEM or the Administrators, 0 this account, -1 no
// one (FAT, exFAT).
extern int work_folder_machine_owned;
void note_made_folder_owner(void);
// A held folder marked compressed is made plain: 0, or the system's code.
DWORD keep_work_files_uncompressed(void);
// The held folder let go, without removing it.
void release_work_folder(void);
// At the run's end: the folder removed through its handle when this run made
// it and nothing but the run's files were in it; let go either way. 0, or 1
// when the removal failed (warning shown, *text string 409).
int remove_work_folder(HWND dialog, const char **text);
// The identity of the folder at path, followed to where it leads.
DWORD folder_identity_of(const char *path, FolderIdentity *identity);

// A pass run on its own (a bench, a test) holds the folder it is given for its
// length; in a run, the run holds it. 1 held here (end_pass_hold lets it go),
// 0 the run holds one, -1 the folder can't be held (reported: a pass failure).
int begin_pass_hold(const char *folder);
void end_pass_hold(int held);

// Formats "<folder>\%8.8u" into path (MAX_PATH bytes). Returns 0, or
// ERROR_FILENAME_EXCED_RANGE when the name would not fit: a work file's path
// no other program could open is no path to make.
DWORD format_work_file_path(char *path, const char *folder, unsigned number);
// "00000001" for 1: a work file's name (16 bytes).
void work_file_name(unsigned number, char *name);
// "<work folder>\name", for texts (MAX_PATH bytes).
void work_entry_path(const char *name, char *path);
// A new file name in the held folder (never one that is there: the name of a
// file someone else put there gives ERROR_FILE_EXISTS), checked and counted
// as the run's. Its handle, or INVALID_HANDLE_VALUE with *code.
HANDLE make_work_file(const char *name, DWORD access, DWORD flags, DWORD *code);
// A file of the run's, by name: INVALID_HANDLE_VALUE with *code when it is
// not there, not a plain file with one link on the folder's volume
// (WORK_FILE_*), or not one the run made (WORK_FILE_NOT_OURS).
HANDLE open_work_file(const char *name, DWORD access, DWORD flags, DWORD *code);
// Deletes a file of the run's by name through its own handle: 0, or the code.
DWORD delete_work_file(const char *name);
// What was written through the handle put on the disk, and the handle
// closed: 0, or the flush's code (closed either way). Every work file goes
// through it before its space is given back: a system that holds written
// data in its cache (a disk or driver that does not honour write-through)
// drops it unwritten when the file is cut or deleted first, and the disk
// keeps what was there before.
DWORD flush_and_close(HANDLE file);
// Marks the open file for deletion when its last handle closes: 0, or the code.
DWORD delete_open_file(HANDLE file);
// Another file of the folder (the journal), checked as a work file is, but
// for its ID; CreateFile's dispositions. Its handle, or INVALID_HANDLE_VALUE with *code.
HANDLE open_in_work_folder(const char *name, DWORD access, DWORD share, DWORD disposition, DWORD *code);
// Gives an open file of the folder another name there (with replace, in
// place of a file of that name): 0, or the code.
DWORD rename_open_file(HANDLE file, const char *name, int replace);
// The plain file name counted as the run's (what the journal of an
// interrupted run vouches for; tests): 0, or the code.
DWORD vouch_for_work_file(const char *name);

// Each file the run makes, by its name before it is made and by its index
// as soon as it is (the journal keeps them).
typedef void (*WorkFileMadeProc)(const char *name, unsigned long long index);
extern WorkFileMadeProc work_file_made;
typedef void (*WorkFileNamedProc)(const char *name);
extern WorkFileNamedProc work_file_named;

// The moments at which a run's files on the disk change, told to run_moment
// (tests stop the run there, as a kill or a power cut would).
enum RunMoment {
    MOMENT_BEFORE_TEMP_LINE,   // a new journal: before the journal in place vouches for its file
    MOMENT_AFTER_TEMP_LINE,    // ... after it, before the file is made
    MOMENT_JOURNAL_MADE,       // ... its file made, empty
    MOMENT_JOURNAL_HALF,       // ... in the middle of its text
    MOMENT_JOURNAL_MOVED,      // ... moved into the journal's place
    MOMENT_BEFORE_NAME_LINE,   // a work file: before the journal vouches for its name
    MOMENT_AFTER_NAME_LINE,    // ... after it, before the file is made
    MOMENT_WORK_FILE_MADE,     // ... made, before its ID line
    MOMENTS
};
typedef void (*RunMomentProc)(int moment);
extern RunMomentProc run_moment;
// The run's files by file index: counted, asked about, forgotten.
int note_run_file(unsigned long long index);
int is_run_file(unsigned long long index);
void forget_run_file(unsigned long long index);
// A file of the run's that the run has deleted: where another program still
// holds it open (an indexer, a scanner), its name stays, pending, until it
// lets go.
int is_deleted_run_file(unsigned long long index);
// A new run: none is the run's, no name noted.
void forget_run_files(void);
// Up to room of the run's files' indexes into indexes; how many there are
// (room 0: only how many).
size_t list_run_files(unsigned long long *indexes, size_t room);

// A work file that another program holds open is tried again every
// DELETE_RETRY_STEP_MS for delete_retry_ms (DELETE_RETRY_MS; tests shorten
// it); at most HELD_FILES_MAX of them at once, the rest are named at once.
#define DELETE_RETRY_MS      3000
#define DELETE_RETRY_STEP_MS 100
#define HELD_FILES_MAX       64
extern DWORD delete_retry_ms;
// Deletes the run's files in the work folder (folder: its path, for texts;
// a folder none holds is held for the deletion); one that can't be deleted
// is named and the others still go; anything else in the folder but the
// journal is named once and left. 0 done, 1 aborted, 3 a file could not be
// deleted (reported).
int delete_work_files(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
                      const char *folder);
// The journal's file index, which the deletion passes over (0: none).
extern unsigned long long journal_index;

// The held folder's entries, "." and ".." left out.
struct WorkEntry {
    WCHAR wide[MAX_PATH];
    char name[MAX_PATH];              // in the ANSI code page, for texts
    unsigned long long index, size;
    DWORD attributes;
};
struct WorkListing {
    HANDLE handle;
    BYTE buffer[0x10000];
    ULONG filled, at;
    int begun, done;
};
void begin_work_listing(WorkListing *listing);
// 1 with *entry the next entry, 0 at the end.
int next_work_entry(WorkListing *listing, WorkEntry *entry);
void end_work_listing(WorkListing *listing);

// Names in the work folder that are not the run's (planted, an earlier run's
// its journal did not vouch for): left, and named once each at the run's end.
void note_foreign_entry(const char *name);
int foreign_entry_count(void);
// One a line, each ending in CR LF, as many as fit a status text.
const char *foreign_entry_names(void);

// ------------------------------------------------------- fill pass

// EraseArgs: program name, work folder, [pattern word], [option word].
typedef const char *EraseArgs[4];

extern int random_mode;
extern int dod_mode;
extern int byte_list_count;
extern int nomft_mode;
extern unsigned char byte_values[BYTE_LIST_MAX];
extern unsigned char byte_pattern[BYTE_LIST_MAX];
// The byte the latest "dod" fill of the run chose, or -1 when none has run
// since the run began (run_steps sets it back).
extern int dod_fill_byte;

// The clock a "random" or "dod" pass seeds the generator from: GetTickCount,
// milliseconds since the system started. Tests put their own in.
typedef DWORD (WINAPI *SeedClockProc)(void);
extern SeedClockProc seed_clock;

int erase_step(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
               const char *word, const char *work_folder);
int erase_step_nomft(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
                     const char *word, const char *work_folder);
// 0 the volume was filled; 1 aborted, or no transfer buffer; 3 a failure was
// reported on the way (a work file that can't be created, a free-space probe
// that failed, a work folder that can't be made current): free space may be
// left unwritten, and the step ends with the text in the status box.
int erase_free_space(int count, const char *const *args);
// Work file number: 0 the file reached MAX_FILE_BYTES; 1 the volume is full
// or the abort flag was seen; FILL_NAME_TAKEN a file someone else put there
// has the name (it is named, and the number passed over); any other value: a
// failure, already reported.
#define FILL_NAME_TAKEN (-1)
int fill_work_file(unsigned number);
// The bytes the current (or last) fill pass has written into its work files.
extern unsigned long long pass_bytes_written;
// A byte-list word ("0x55,0xaa", "1,2,3") into its values and the 512-byte
// block the fill repeats: byte k of the block is value k mod count. Returns
// the count (at most BYTE_LIST_MAX; a stray character ends the list).
int parse_byte_block(const char *word, unsigned char *values, unsigned char *block);
// parse_byte_block into the pass's byte_values and byte_pattern.
int parse_byte_list(const char *word);
void apply_byte_list(unsigned char *destination, unsigned length);

// ------------------------------------------------------- free-space probe

typedef BOOL (WINAPI *GetDiskFreeSpaceExProc)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                              PULARGE_INTEGER);
typedef BOOL (WINAPI *GetDiskFreeSpaceProc)(LPCSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD);

extern GetDiskFreeSpaceExProc get_free_ex;   // looked up at run time, or null
extern int get_free_ex_ready;                // the lookup has been made this run
extern GetDiskFreeSpaceProc get_free_basic;  // GetDiskFreeSpaceA; tests may fake a failure
extern char probe_path[MAX_PATH];            // the work folder, as the system spells it
// The root of the volume that holds the work folder ("D:\", or the folder a
// volume is mounted in, "C:\mnt\data\"); empty: the current directory's.
extern char probe_root[MAX_PATH];

// What the last successful probe found besides the caller's free bytes: the
// volume's allocation unit, its size, and its free bytes whoever may use them
// (more than the caller's share under a quota or a reserve kept for others).
extern unsigned long long probe_cluster_bytes;
extern unsigned long long probe_volume_bytes;
extern unsigned long long probe_volume_free;
// The volume's sector size, from the same query: unbuffered transfers and
// their file positions are whole sectors.
extern DWORD probe_sector_bytes;

// The root of the volume that holds path, ending in a backslash, into root
// (MAX_PATH bytes). 0, or the error code with root empty.
DWORD volume_root_of(const char *path, char *root);
// The sector size of the volume that holds folder; MIN_WRITE_BYTES when the
// volume does not say.
DWORD volume_sector_bytes(const char *folder);
// The volume that holds folder flushed whole, while its work files still hold
// it: their data, and the blocks the file system took from free space for
// what it keeps of them (the folder's entries, the blocks that map a large
// file), which some write to their journal first and in place only later; a
// block freed before that keeps what it held. 0, or the code (opening a
// volume to flush it takes an administrator's rights).
DWORD flush_volume_of(const char *folder);
// Sets probe_path and probe_root for the work folder (a full path).
void prepare_probe(const char *folder);

void look_up_free_ex(void);
// 0 with *free_bytes set, or the error code already reported to the user.
DWORD query_free_bytes(unsigned long long *free_bytes);

// ------------------------------------------------------- pattern generator

// MT19937, process-wide. An unseeded generator seeds itself with 5489.
// generator_path: which code makes whole blocks, chosen from what the
// processor has at the first regeneration; tests set it to force a path.
#define GENERATOR_UNKNOWN (-1)
#define GENERATOR_PLAIN 0
#define GENERATOR_SSE2 1
#define GENERATOR_AVX2 2
extern int generator_path;
void mt_seed(unsigned seed);
unsigned mt_next(void);
void mt_next_state(void);
// In random_mode, puts the next count / 4 outputs into the transfer buffer as
// little-endian words; bytes past the last whole word are left alone.
void fill_random(int count);

// ------------------------------------------------------- progress text

// The clocks behind the display; tests put their own in.
typedef DWORD (WINAPI *ProgressTickProc)(void);   // milliseconds, wrapping
typedef long long (*ProgressTimeProc)(void);      // UTC in 100-ns units
extern ProgressTickProc progress_tick;            // GetTickCount
extern ProgressTimeProc progress_time;            // GetSystemTime as a file time
extern DWORD last_shown_tick;                     // spans passes and runs

void reset_progress(void);
// Free line, and a speed line once two samples are a tenth of a second apart.
// Every call takes a speed sample. The text lives until the next call.
char *format_progress(unsigned long long free_bytes);

// Which pass of the run's is running, for the progress text: its fill
// passes (erase) and its verify passes, each numbered from 1 in the order of
// the method's script, and how many of each the script has (0: a pass run
// on its own, shown as the first of one).
struct PassNumbers { int fill, fills, verify, verifies; };
extern PassNumbers pass_numbers;
// What the status control shows during a pass, each figure with its words
// and unit: which pass of how many, the bytes it has done (written, or
// verified) and those left (free, or to read), the speed (from
// format_progress's samples of what is left) and the run's time left. At
// most once a second, and only when the text changed.
#define PASS_FILL   0
#define PASS_VERIFY 1
void show_pass_progress(int kind, unsigned long long done, unsigned long long left);
// A byte count as the progress text shows it: its number in KB, MB or GB (the
// bands of the free-space line), with thousands separators and the unit;
// per_second: the speed's bands, bytes themselves up to 1,024.
void format_figure(char *text, size_t size, unsigned long long bytes, int per_second);

// ------------------------------------------------------- the run's progress

// Posted to the run's window whenever the run's position grows: wParam is the
// position, 0 to RUN_PROGRESS_FULL (full only at the end of a run whose every
// step succeeded).
#define WM_RUN_PROGRESS   (WM_APP + 1)
#define RUN_PROGRESS_FULL 1000
// The latest position, and whether a WM_RUN_PROGRESS is in the window's queue
// (at most one is: its handler clears the mark and takes the latest position).
extern volatile LONG run_position;
extern volatile LONG run_position_queued;

// What a run has done, for the summary at its end.
struct RunTotals {
    unsigned long long bytes_written;    // by its fill passes, into their work files
    unsigned long long bytes_verified;   // read back by its verify passes
    int passes;                          // fill passes that ran
    unsigned long long bytes_out_of_reach;   // free, but not the caller's to write
    unsigned long long elapsed_ms;       // from its first step to its end
    int differing_files;                 // files a verify found bytes in that differ
    unsigned damaged_sectors;            // sectors a verify could not read and went past
    int passes_finished;                 // fill passes that went to their end
};
extern RunTotals run_totals;

// The runner: the run's steps begin, a pass of a step begins (part of parts:
// an "erase,verify" step has two), the run ends (a run whose every step
// succeeded is full). Outside a run the passes' reports go nowhere.
void begin_run_progress(int step_count);
// A run that goes on from step steps_done + 1: the steps before count as
// done, and the time left is reckoned from this part's own pace.
void skip_run_progress(int steps_done);
void begin_step_progress(int step, int part, int parts);
void end_run_progress(int succeeded);
// The passes: how far the current one has come (a fill: bytes written of the
// free space it found; a verify: bytes read of the work files' size).
void report_pass_progress(unsigned long long done, unsigned long long whole);
// A line break and the time the run has left ("残り約 …"), once the run has
// gone on long enough for an estimate; else the empty text.
const char *run_time_left_line(void);
// One line: bytes overwritten, passes, bytes verified if any, time taken;
// then a line for free space out of the caller's reach, if there was any, and
// one for a solid-state disk, whose spare blocks no free-space erase reaches.
const char *run_summary_text(void);
// 1 when the run's volume lies on a solid-state disk (no seek penalty, as the
// system says); the program sets it at a run's start.
extern int run_on_solid_state;

// The arithmetic behind them.
double run_fraction(int step, int count, int part, int parts, double pass_fraction);
// The time left in seconds from the run's elapsed seconds and the fraction
// done, pulled towards from the previous estimate (-1: none yet) made
// since_previous seconds ago; -1 while nothing is done.
double estimate_time_left(double previous, double since_previous, double elapsed, double fraction);
void format_time_left(char *text, size_t size, double seconds);
void format_elapsed(char *text, size_t size, unsigned seconds);
void format_byte_count(char *text, size_t size, unsigned long long bytes);

// ------------------------------------------------------- verify pass

// VerifyArgs: program name, file pattern (work folder and "*."), [expected byte word].
typedef const char *VerifyArgs[3];

int verify_step(HWND owner, int status_id, int step_id, volatile LONG *abort_flag,
                const char *word, const char *work_folder);
// Set by the runner for a verify whose files no later step reads again: each
// work file gives its space back while it is read (from its end, 64 MiB at a
// time, each block cut off once read) and is deleted once read, so that the
// volume is not held full through the verify.
extern int verify_gives_space_back;
#define GIVE_BACK_BYTES 0x4000000     // 64 MiB: one seek and one cut a block, nothing to a disk
// The block of such a file (GIVE_BACK_BYTES; at least a transfer); tests shorten it.
extern DWORD verify_give_back_bytes;
// 0 the walk went through (each file's trouble is shown and kept as a
// failure of the run, and so is a walk that read no byte after the run wrote
// some); 1 aborted, or no transfer buffer.
int verify_folder(int count, const char *const *args);
int verify_file(const WorkEntry *entry);
// Set by the runner for a run that went on from its journal: a verify there
// that reads no byte has checked nothing, even though this part wrote none.
extern int verify_must_read;

// ------------------------------------------------------- NTFS record slack

#define SLACK_LARGEST_SIZE 4096       // the largest small file the pass tries

// After a fill that stopped at work file last_number: on a full NTFS volume,
// small files numbered from last_number + 1 until the volume takes no more,
// each cut back to nothing after its write (the ends of the large files are
// given back while that lets new files into free records); then, unless
// nomft_mode is 1, files 1 to last_number rewritten the same way. Shows
// nothing. 0 every phase ran to its end, 1 not NTFS (nothing written) or
// aborted, 3 a file could not be created or written whole (the usual end on
// a full volume).
int fill_record_slack(unsigned last_number, const char *folder);
// How many small files the first record-slack pass of a run created, -1 until
// one has (a run starts by setting it back). Once the first pass has taken the
// free records, deleting its files frees them again: later passes create that
// many and no more, so the record table grows once per run, not once a pass.
extern int slack_file_budget;

#endif
