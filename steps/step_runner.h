// Step scripts and settings: what the rest of vanta may call.
//   - run_steps: one erase method's step script, from the transfer buffer to
//     the deletion of the work files
//   - read_setting: the settings file next to the executable
//   - read_text_file: the one reader of the settings file and the scripts
#ifndef VANTA_STEPS_STEP_RUNNER_H
#define VANTA_STEPS_STEP_RUNNER_H

#include <windows.h>
#include "support/messages.h"
#include "engine/wipe_engine.h"

// Results of a run and of its parts.
#define RUN_DONE     0   // all steps done, work files deleted
#define RUN_STOPPED  1   // the abort flag was seen
#define RUN_INTERNAL 2   // no buffer, path too long, script short of lines
#define RUN_REPORTED 3   // failure already shown to the user

// The exit codes a run started with /exit ends the program with. A run
// without switches ends the program with 0 as always.
#define EXIT_CODE_DONE      0   // every step succeeded
#define EXIT_CODE_BAD_LINE  1   // the command line is wrong, or no folder was given
#define EXIT_CODE_METHOD    2   // the method can't run
#define EXIT_CODE_FAILED    3   // a failure on the way
#define EXIT_CODE_DIFFERS   4   // a verify found differing bytes
#define EXIT_CODE_STOPPED   5   // Abort, Close, the session's end
#define EXIT_CODE_FOLDER    6   // the folder can't be used
// How a run ended, for its exit code and its report: every ending has its
// code in one table (exit_code_of_ending), and the README's and /?'s tables
// say the same.
enum RunEnding {
    ENDING_DONE,            // every step succeeded (0)
    ENDING_BAD_LINE,        // the command line is wrong (1)
    ENDING_NO_FOLDER,       // no folder: /start without one, Start with the box empty (1)
    ENDING_REPORT_REFUSED,  // a report in the work folder, or a link in an elevated run (1)
    ENDING_METHOD,          // no script, no steps, a line or a word it can't read (2)
    ENDING_FAILED,          // a failure on the way (3)
    ENDING_FOLDER_LEFT,     // a run that did its work, whose folder could not be removed (3)
    ENDING_NO_RECORD,       // a run that did its work, whose record went nowhere (3)
    ENDING_DIFFERS,         // a verify found differing bytes (4)
    ENDING_STOPPED,         // Abort, Close, the session's end (5)
    ENDING_FOLDER,          // the folder can't be used (6)
    ENDING_NOT_GONE_ON,     // No to going on with a run that can't go on: its leftovers deleted (6)
    ENDINGS
};
int exit_code_of_ending(int ending);
// How the run on the worker ended (ENDING_...).
extern int run_ending;
// The step lines of the run's script as read, " / " between them.
extern char run_script_steps[STATUS_TEXT_SIZE];

// An executable path longer than this leaves no room for a script name.
#define MAX_MODULE_PATH 256
// A step line holds at most STEP_LINE_LIMIT characters before its line end:
// room for a byte list of 512 values however it is written ("0xff, " each),
// and a longer one is refused before anything is written, never cut into
// another step. One read of a line: the line, its CR LF and the zero.
#define STEP_LINE_LIMIT 4096
#define STEP_LINE_SIZE (STEP_LINE_LIMIT + 3)
// Method indices are one decimal digit in the script's name.
#define HIGHEST_METHOD_INDEX 9

// The executable's own path, as GetModuleFileNameA gives it; tests put in a
// failing one.
typedef DWORD (WINAPI *ModuleFileNameProc)(HMODULE, LPSTR, DWORD);
extern ModuleFileNameProc module_file_name;

// ------------------------------------------------------- step scripts

int run_steps(HWND owner, int status_id, int step_id, int method_index,
              volatile LONG *abort_flag);
// The argument word of a step line, or null when it has none.
const char *step_argument(const char *line);
// True when the passes can't read the word of a step line (after the cut of
// its line end): not a number, a list of numbers, random, dod or /nomft.
// The passes take such a word as the number it starts with, mostly 0.
int word_unreadable(const char *line);
// True when a step line begins with a keyword and goes on with characters no
// keyword has before its first blank ("erase,verfy 0", "eraseX", "verifying"):
// it would run as the keyword it begins with.
int keyword_mistyped(const char *line);

// ------------------------------------------------------- the journal

// Where a long run stands and which files in its work folder are the run's:
// written at the start of each step into its work folder (JOURNAL_NAME is
// no work file's name), with a line for each work file as it is made, so
// that a run the session's end or a power cut interrupted can go on from the
// step it was in and delete what it left. Sealed under a key of the run's in
// the registry: one no one else could have written is the only proof.
#define JOURNAL_NAME "vanta.journal"
#define TEXT_HASH_START 0xCBF29CE484222325ull
// More steps than a journal names is no journal.
#define JOURNAL_MOST_STEPS 1000000
struct RunJournal {
    FolderIdentity folder;            // the work folder it belongs to
    int method;                       // the method's index
    unsigned long long script_hash;   // of the script's bytes (text_hash)
    int step, steps;                  // the step to go on from, of how many
    char run_id[40];                  // the run's ID, kept by every part
    char started[40];                 // when its first part began (local time)
    int created;                      // the run made the work folder
    int passes;                       // totals of the parts so far
    unsigned long long bytes_written, bytes_verified;
};
// The run's ID: a GUID, new for each run; a run that goes on keeps its first part's.
extern char run_id[40];
// /resume: an unattended run goes on from its folder's journal (see run_steps).
extern volatile LONG resume_interrupted_run;
// Set by the window thread when the session ends: a run stopped then keeps
// its journal (its work files still go), to go on at the next Start.
extern volatile LONG keep_journal_at_stop;
// The step this run went on from (0: it began at step 1); the step a run
// that kept its journal can go on from next time (0: it kept none); the
// /resume of an unattended run found no journal to go on from.
extern int run_resumed_from;
extern int run_resume_step;
extern int resume_found_nothing;
// The method of an interrupted run that /resume found and could not go on
// with (another method, or its script changed since): this run began at
// step 1 (-1: none).
extern int resume_other_method;
// Why this run has no journal, or keeps an older one than its step (0: it
// wrote each it tried): said once at its end, and the run went on without.
extern DWORD journal_unwritten;
// The run's end deleted every work file it had made: their space is back.
extern int work_files_gone;

// The method of the interrupted run whose journal is in folder's work
// folder (sealed under its run's key, and the folder's own), or -1: the
// dialog selects it when it opens on the folder, or the folder is picked.
int interrupted_run_method(const char *folder);

// FNV-1a (64 bits) of length bytes, going on from hash (TEXT_HASH_START).
unsigned long long text_hash(const void *bytes, size_t length, unsigned long long hash);
// The hash of a script's bytes: 1, or 0 when it can't be read.
int script_hash(const char *script, unsigned long long *hash);

// Where the journal's key is kept (the registry); tests put in one that
// keeps it elsewhere, or refuses. operation: KEY_STORE_*; machine: the
// machine's (HKEY_LOCAL_MACHINE) or the account's (HKEY_CURRENT_USER).
#define KEY_STORE_WRITE  1
#define KEY_STORE_READ   2
#define KEY_STORE_DELETE 3
typedef LSTATUS (WINAPI *JournalKeyProc)(int operation, int machine, const char *name, BYTE *key);
extern JournalKeyProc journal_key_store;

// A new key for the held work folder's journal, written through once:
// machine_owned 1 (SYSTEM or the Administrators own the folder) the
// machine's, 0 the account's, -1 (no owner: FAT) the machine's where this
// account may write there, else its own. 0, or the code (no journal then).
DWORD begin_journal_key(int machine_owned);
// Replaces the held folder's journal in one move (a new file written
// through, then moved over the old one) with journal and a line for each of
// the run's files; later files get theirs as they are made
// (journal_note_file, the work folder's work_file_made). 0, or the code.
DWORD write_journal(const RunJournal *journal);
void journal_note_file(const char *name, unsigned long long index);
// A work file vouched for by its name before it is made (work_file_named).
void journal_note_name(const char *name);
// A part that goes on from the journal read_journal found keeps the run's
// key, and adds its lines to that journal until its own takes its place
// (then a run cut short in between can still prove it). 0, or the code.
DWORD go_on_with_journal(void);
// The held folder's journal: 0 with *journal read and the files it vouches
// for counted as the run's, or the code (ERROR_INVALID_DATA: a journal whose
// seal fails, cut short or changed, with numbers out of range, or another
// folder's, is none).
DWORD read_journal(RunJournal *journal);
// The journal (this part's, or the one an earlier part left) deleted with its key.
void delete_journal(void);
// The journal let go of, kept for the next Start.
void close_journal(void);
// The local time as a journal keeps it ("2026-12-07 21:30").
void journal_local_time(char *text, size_t size);

// ------------------------------------------------------- text files

// A settings file or a step script, read whole by read_text_file into the
// ANSI code page: UTF-16 with a byte-order mark, UTF-8 with one, UTF-8
// without one, else code page 932 (see text_file.cpp for a file that reads
// both ways). Where the ANSI code page is the file's own, its bytes are kept
// as they are. At most TEXT_FILE_LIMIT bytes are read.
#define TEXT_FILE_LIMIT (1 << 20)
struct TextFile {
    char *text;             // zero-ended; null when nothing was read
    size_t length;          // its bytes before that zero (the file's own zeros kept)
    size_t at;              // where next_text_line goes on
    unsigned char *lost;    // per line from 1: a character the code page can't show ("?" now)
    int lines;              // lines that lost[] counts
};
// 0 with *file read, or the system's error code (*file then holds no text).
DWORD read_text_file(const char *path, TextFile *file);
void release_text_file(TextFile *file);
// The next line as fgets reads one: at most size - 1 bytes, up to and with
// its LF; 0 at the end of the text.
int next_text_line(TextFile *file, char *line, size_t size);
// 1 when line (from 1) has a character the ANSI code page can't show.
int text_line_lost(const TextFile *file, int line);
// The next line of a step script (line holds STEP_LINE_SIZE bytes) as
// next_text_line reads it: 1, 0 at the end of the text, or -1 for a line of
// more than STEP_LINE_LIMIT characters before its line end (what is left of
// it passed over).
int next_step_line(TextFile *file, char *line);

// ------------------------------------------------------- settings file

// The value of key in section of the settings file, or the empty text: keys
// and sections in any case, ";" lines comments, blanks around a value and a
// pair of quotes around it dropped, as the profile API reads them. The
// text lives in setting_value until the next read.
extern char setting_value[256];
const char *read_setting(const char *section, const char *key);
// The highest method index: mode/maxnumber read as atoi reads it, at most 9;
// below 0 there are no methods.
int highest_method_index(void);
// The display name of a method, in setting_value: mode/<index>; on an
// English run mode/<index>.en when the file has any such key. A slot without
// it on an English run, or whose name has a character the ANSI code page
// can't show, is "Method N" and, when its script has steps, ": " and its step
// lines, " / " between them (the first such name met puts the file and line
// into method_name_note, unless that holds a text already).
const char *method_name(int index);
extern char method_name_note[STATUS_TEXT_SIZE];
// The folder picker's style, read at its first use and kept for the process:
// 1 when SHBrowseForFolder/BIF_NEWDIALOGSTYLE is exactly "1", else 0.
extern int use_new_browse_dialog;   // 2 until read
int new_browse_dialog(void);

#endif
