// Wipe engine: what the rest of vanta may call.
#ifndef VANTA_ENGINE_WIPE_ENGINE_H
#define VANTA_ENGINE_WIPE_ENGINE_H

#include <windows.h>

// One transfer buffer serves every write and read of a run.
#define TRANSFER_SIZE   0x400000      // 4,194,304 bytes: every full write
#define MAX_FILE_BYTES  0x40000000    // 1 GiB: a work file is closed here (256 full writes)
#define FIRST_WRITE_BYTES 700         // the first write into every new work file
#define MIN_WRITE_BYTES 512           // the smallest sector: tail writes are whole sectors
#define MAX_WORK_FILE_NUMBER 99999999u
#define BYTE_LIST_MAX   512

// ------------------------------------------------------- file calls

// The engine's reads and writes of work files go through these, Win32's own
// unless a test puts in ones that refuse what Windows refuses on a handle
// opened unbuffered (sizes, positions and buffers off the sector size), which
// Wine accepts, or that fail the way damaged media do.
typedef HANDLE (WINAPI *CreateFileProc)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                        HANDLE);
typedef BOOL (WINAPI *WriteFileProc)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL (WINAPI *ReadFileProc)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef DWORD (WINAPI *SetFilePointerProc)(HANDLE, LONG, PLONG, DWORD);
struct FileCalls {
    CreateFileProc create;
    WriteFileProc write;
    ReadFileProc read;
    SetFilePointerProc seek;
};
extern FileCalls file_calls;

// ------------------------------------------------------- transfer buffer

// Allocates the run's transfer buffer into run_context (zero-filled, page
// aligned). Returns 0, or the system's error code with nothing allocated.
DWORD alloc_transfer_buffer(void);
// Releases it in full and clears the pointer; harmless when none is held.
void release_transfer_buffer(void);

// ------------------------------------------------------- work files

// Formats "<folder>\%8.8u" into path (MAX_PATH bytes). Returns 0, or
// ERROR_FILENAME_EXCED_RANGE when the name would not fit: a work-file path is
// never cut into another name.
DWORD format_work_file_path(char *path, const char *folder, unsigned number);
// True for a work file's name: digits only. Only such files are ever deleted.
int is_work_file_name(const char *name);

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

// The clock a "random" or "dod" pass seeds the generator from: timeGetTime,
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
// 0 the file reached MAX_FILE_BYTES; 1 the volume is full or the abort flag
// was seen; any other value: a failure, already reported.
int fill_work_file(const char *path);
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
// Sets probe_path and probe_root for the work folder, which is current.
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
// format_progress into the status control, at most once a second and only
// when the text changed.
void show_progress(unsigned long long free_bytes);

// ------------------------------------------------------- the run's progress

// Posted to the run's window whenever the run's position grows: wParam is the
// position, 0 to RUN_PROGRESS_FULL (full only at the end of a run whose every
// step succeeded).
#define WM_RUN_PROGRESS   (WM_APP + 1)
#define RUN_PROGRESS_FULL 1000

// What a run has done, for the summary at its end.
struct RunTotals {
    unsigned long long bytes_written;    // by its fill passes, into their work files
    unsigned long long bytes_verified;   // read back by its verify passes
    int passes;                          // fill passes that ran
    unsigned long long bytes_out_of_reach;   // free, but not the caller's to write
    unsigned long long elapsed_ms;       // from its first step to its end
    int differing_files;                 // files a verify found bytes in that differ
    unsigned damaged_sectors;            // sectors a verify could not read and went past
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
int verify_file(const char *path);

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
